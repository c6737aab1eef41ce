#include "link/transaction.h"

#include <algorithm>

#include "link/platform/platform.h"
#include "link/platform/sync.h"
#include "link/variant.h"

namespace {

// Per process, touched only under the link's lock.
LinkBuffer g_buffer{};
LinkSequence g_sequence;

Mutex g_local_lock;

bool UsesBusLock() {
  return ActiveLinkVariant().lock == LinkLockKind::kBusLock && BusLock().mutex != nullptr;
}

class LockGuard {
 public:
  LockGuard() { LinkLock(); }
  ~LockGuard() { LinkUnlock(); }
  LockGuard(const LockGuard&) = delete;
  LockGuard& operator=(const LockGuard&) = delete;
};

// Reads the reply: its head, then the data the head announces.  Leaves the
// reply in g_buffer.
bool ReadReply(LinkReply& reply) {
  if (!I2cBlockRead(std::span(g_buffer).first(kFrameHeadSize), 0)) {
    reply.failed = LinkStep::kHead;
    return false;
  }
  std::copy_n(g_buffer.begin(), kFrameHeadSize, reply.head.begin());
  reply.status = g_buffer[0];
  reply.length = g_buffer[2];
  reply.echoed_sequence = g_buffer[4];
  if (reply.status == kStatusRejected) return true;
  if (reply.length < kFrameNoDataLength) {
    // A malformed length: nothing more can be read sensibly.
    reply.failed = LinkStep::kHead;
    reply.malformed = true;
    return false;
  }
  const size_t data_size = reply.length - kFrameNoDataLength;
  if (data_size == 0) return true;
  if (!I2cBlockRead(std::span(g_buffer).subspan(kFrameHeadSize, data_size), kFrameHeadSize)) {
    reply.failed = LinkStep::kData;
    return false;
  }
  reply.data_size = data_size;
  reply.first_data = g_buffer[kFrameHeadSize];
  return true;
}

}  // namespace

void LinkLock() {
  if (UsesBusLock()) {
    BusLockAcquire();
  } else {
    g_local_lock.Lock();
  }
}

void LinkUnlock() {
  if (UsesBusLock()) {
    BusLockRelease();
  } else {
    g_local_lock.Unlock();
  }
}

uint8_t LinkSequenceValue() { return g_sequence.value; }
void SetLinkSequenceValue(uint8_t value) { g_sequence.value = value; }

bool WaitReady(int samples) {
  return GpioWaitValue(kReadyGpio, samples * 10, '1') == GpioWait::kSeen;
}

LinkReply LinkTransaction(const LinkRequest& request) {
  LinkReply reply;
  LockGuard guard;
  reply.sent_sequence = g_sequence.Next(request.checking ? SequenceRule::kAdvanceThenSend
                                                         : SequenceRule::kSendThenAdvance);
  const size_t size = BuildRequest(request.frame, reply.sent_sequence, g_buffer);
  if (size == 0 || !I2cBlockWrite(std::span(g_buffer).first(size), 0)) {
    reply.failed = LinkStep::kWrite;
    return reply;
  }
  if (!WaitReady()) {
    reply.failed = LinkStep::kWait;
    return reply;
  }
  if (!ReadReply(reply) || reply.status == kStatusRejected || reply.data_size == 0) {
    return reply;
  }
  reply.echo_ok = reply.echoed_sequence == reply.sent_sequence;
  for (size_t i = 1; i <= reply.length; ++i) {
    reply.byte_sum = static_cast<uint8_t>(reply.byte_sum + g_buffer[i]);
  }
  reply.checksum_ok = reply.byte_sum == 0;
  switch (request.accept) {
    case Acceptance::kAlways:
      reply.accepted = true;
      break;
    case Acceptance::kVerified:
      reply.accepted = reply.verified();
      break;
    case Acceptance::kVerifiedNotRefused:
      reply.accepted = reply.verified() && reply.first_data != kRefusalByte;
      break;
  }
  if (reply.accepted) {
    // The caller's buffer is sized for what it asked; more is never copied.
    reply.copied = std::min(reply.data_size, request.dest.size());
    std::copy_n(g_buffer.begin() + kFrameHeadSize, reply.copied, request.dest.begin());
  }
  return reply;
}

LinkOpen OpenLink() {
  const int bus = I2cBusLookup("0");
  if (bus < 0) return LinkOpen::kBadBus;
  char path[64];
  const int fd = I2cDeviceOpen(bus, path, false);
  if (fd < 0) return LinkOpen::kNoDevice;
  if (I2cSetSlave(fd, kMcuAddress, false) < 0) return LinkOpen::kNoDevice;
  return LinkOpen::kReady;
}

void SetupReadyLine() {
  GpioExport(kReadyGpio);
  GpioSetDirection(kReadyGpio, false);
}
