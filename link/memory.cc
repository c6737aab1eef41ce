#include "link/memory.h"

#include <algorithm>
#include <array>

#include "link/report.h"
#include "link/transaction.h"
#include "link/variant.h"

namespace {

constexpr uint8_t kReadMemCommand = 0x02;
constexpr uint8_t kWriteMemCommand = 0x03;

uint32_t LittleEndian32(std::span<const uint8_t> bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

}  // namespace

namespace {

LinkResult ReadMemReply(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                        std::span<uint8_t> dest, bool data_needed) {
  if (size > kMaxFrameData || dest.size() < size) return LinkResult::kRefused;
  const LinkVariant& variant = ActiveLinkVariant();
  const TransactionMessages& messages = variant.read_mem;
  const std::array<uint8_t, 3> fields{size, static_cast<uint8_t>(address >> 8),
                                      static_cast<uint8_t>(address & 0xFF)};
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kReadMemCommand, .param1 = bus, .param2 = type, .data = fields},
      .checking = true,
      .accept = variant.read_mem_refuses_aa ? Acceptance::kVerifiedNotRefused
                                            : Acceptance::kVerified,
      .dest = dest.first(size),
  });
  const MemoryTarget target{bus, type, address, size};
  if (ReportStepFailure(messages, reply, &target)) return LinkResult::kFailed;
  if (reply.rejected()) {
    ReportRejected(messages, reply);
    return LinkResult::kFailed;
  }
  if (reply.no_data()) return data_needed ? LinkResult::kFailed : LinkResult::kDone;
  if (reply.accepted) return LinkResult::kDone;
  ReportVerifyFailed(messages, reply);
  return LinkResult::kFailed;
}

}  // namespace

LinkResult ReadMem(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                   std::span<uint8_t> dest) {
  return ReadMemReply(bus, type, size, address, dest, false);
}

LinkResult ReadMemWhole(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                        std::span<uint8_t> dest) {
  return ReadMemReply(bus, type, size, address, dest, true);
}

LinkResult WriteMem(uint8_t bus, uint8_t type, uint8_t size, uint16_t address,
                    std::span<const uint8_t> src) {
  if (size > kMaxMemoryWrite || src.size() < size) return LinkResult::kRefused;
  const LinkVariant& variant = ActiveLinkVariant();
  const TransactionMessages& messages = variant.write_mem;
  std::array<uint8_t, 3 + kMaxMemoryWrite> fields{size, static_cast<uint8_t>(address >> 8),
                                                  static_cast<uint8_t>(address & 0xFF)};
  std::copy_n(src.begin(), size, fields.begin() + 3);
  const LinkReply reply = LinkTransaction({
      .frame = {.command = kWriteMemCommand,
                .param1 = bus,
                .param2 = type,
                .data = std::span<const uint8_t>(fields).first(3 + size_t{size})},
      .checking = false,
      .accept = Acceptance::kAlways,
      .dest = {},
  });
  const MemoryTarget target{bus, type, address, size};
  if (ReportStepFailure(messages, reply, &target)) return LinkResult::kFailed;
  // A rejected write, and in most programs a status byte of 0xAA, fail
  // silently; the echo and checksum of the reply are not examined.
  if (reply.rejected()) return LinkResult::kFailed;
  if (variant.write_mem_refuses_status_aa && reply.status == kRefusalByte) {
    return LinkResult::kFailed;
  }
  if (reply.has_data() && reply.first_data == kRefusalByte) {
    ReportRefused(messages);
    return LinkResult::kFailed;
  }
  return LinkResult::kDone;
}

LinkResult ReadIdentity(std::span<uint8_t> dest, LockUse lock) {
  if (lock == LockUse::kTake) LinkLock();
  const bool read = I2cBlockRead(dest, kIdentityRegister);
  if (lock == LockUse::kTake) LinkUnlock();
  return read ? LinkResult::kDone : LinkResult::kFailed;
}

uint32_t IdentitySerial(std::span<const uint8_t> identity) {
  return LittleEndian32(identity.first(4));
}

uint32_t IdentityModel(std::span<const uint8_t> identity) {
  return LittleEndian32(identity.subspan(4, 4));
}
