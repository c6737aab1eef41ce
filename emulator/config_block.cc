#include "emulator/config_block.h"

namespace emu {

uint8_t ConfigCrc8(std::span<const uint8_t> bytes) {
  uint8_t crc = 0x55;
  for (uint8_t byte : bytes) {
    for (int bit = 0; bit < 8; ++bit) {
      const bool mix = ((crc ^ (byte >> bit)) & 1) != 0;
      crc = static_cast<uint8_t>(crc >> 1);
      if (mix) crc ^= 0x8C;
    }
  }
  return crc;
}

void SealConfigBlock(std::array<uint8_t, kConfigBlockSize>& block) {
  block[0] = ConfigCrc8(std::span<const uint8_t>(block).subspan(1));
}

std::array<uint8_t, kConfigBlockSize> DefaultConfigBlock() {
  std::array<uint8_t, kConfigBlockSize> block{};
  block[1] = 1;      // format version
  block[2] = 0x01;   // reader interface: Wiegand
  block[8] = 0x08;   // internal sound
  block[56] = 0x10;  // lock kind 0x10 0x00: magnetic lock
  block[57] = 0x00;
  SealConfigBlock(block);
  return block;
}

}  // namespace emu
