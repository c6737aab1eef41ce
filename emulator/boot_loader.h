// The MCU's boot loader as seen from the bus: 12-byte headers ("FWUPDATE" or
// "FWUPDONE" and a 32-bit little-endian address) and 262-byte records, all
// written at register 0xFF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "emulator/mcu_emulator.h"

namespace emu {

inline constexpr uint8_t kBootRegister = 0xFF;
inline constexpr size_t kBootHeaderSize = 12;
inline constexpr size_t kBootRecordSize = 262;
inline constexpr uint32_t kBootEntryAddress = 0xFFFFFFFF;

class BootLoader {
 public:
  enum class Event {
    kNone,
    kEntryRequest,    // "FWUPDATE" 0xFFFFFFFF while the normal firmware runs
    kRecordComplete,  // a record is in: the ready line rises
    kDone,            // "FWUPDONE": back to the normal firmware, the line rises
  };

  // The normal firmware asks to enter the boot loader with this header.
  static bool IsEntryRequest(std::span<const uint8_t> bytes);

  // Handles one write at register 0xFF.  `refuse_entry` makes an entry
  // request stay without effect.
  Event Write(std::span<const uint8_t> bytes, bool refuse_entry);

  bool active() const { return active_; }
  void SetActive(bool on);
  const BootLoaderLog& log() const { return log_; }
  void ClearLog();

 private:
  bool active_ = false;
  bool receiving_ = false;  // a "FWUPDATE" header came; its record follows
  uint32_t address_ = 0;
  std::vector<uint8_t> record_;
  BootLoaderLog log_;
};

}  // namespace emu
