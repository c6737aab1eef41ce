#include "emulator/boot_loader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace emu {
namespace {

constexpr char kUpdateTag[] = "FWUPDATE";
constexpr char kDoneTag[] = "FWUPDONE";
constexpr size_t kTagSize = 8;

bool HasTag(std::span<const uint8_t> bytes, const char* tag) {
  return bytes.size() == kBootHeaderSize && std::memcmp(bytes.data(), tag, kTagSize) == 0;
}

uint32_t HeaderAddress(std::span<const uint8_t> bytes) {
  return static_cast<uint32_t>(bytes[8]) | static_cast<uint32_t>(bytes[9]) << 8 |
         static_cast<uint32_t>(bytes[10]) << 16 | static_cast<uint32_t>(bytes[11]) << 24;
}

std::string HeaderText(const char* tag, uint32_t address) {
  char text[32];
  std::snprintf(text, sizeof text, "%s %08X", tag, static_cast<unsigned>(address));
  return text;
}

}  // namespace

bool BootLoader::IsEntryRequest(std::span<const uint8_t> bytes) {
  return HasTag(bytes, kUpdateTag) && HeaderAddress(bytes) == kBootEntryAddress;
}

BootLoader::Event BootLoader::Write(std::span<const uint8_t> bytes, bool refuse_entry) {
  const bool update = HasTag(bytes, kUpdateTag);
  const bool done = HasTag(bytes, kDoneTag);
  if (update || done) {
    // A header always starts over, so a retry can re-send it after a
    // record that did not arrive whole.
    const uint32_t address = HeaderAddress(bytes);
    log_.headers.push_back(HeaderText(update ? kUpdateTag : kDoneTag, address));
    receiving_ = false;
    record_.clear();
    if (!active_) {
      if (!update || address != kBootEntryAddress) return Event::kNone;
      ++log_.entry_requests;
      if (!refuse_entry) active_ = true;
      return Event::kEntryRequest;
    }
    if (done) {
      active_ = false;
      log_.done = true;
      log_.done_address = address;
      return Event::kDone;
    }
    receiving_ = true;
    address_ = address;
    return Event::kNone;
  }
  if (!active_ || !receiving_) return Event::kNone;
  const size_t n = std::min(bytes.size(), kBootRecordSize - record_.size());
  record_.insert(record_.end(), bytes.begin(), bytes.begin() + static_cast<long>(n));
  if (record_.size() < kBootRecordSize) return Event::kNone;
  log_.records.push_back({address_, record_});
  receiving_ = false;
  record_.clear();
  return Event::kRecordComplete;
}

void BootLoader::SetActive(bool on) {
  active_ = on;
  receiving_ = false;
  record_.clear();
}

void BootLoader::ClearLog() { log_ = BootLoaderLog{}; }

}  // namespace emu
