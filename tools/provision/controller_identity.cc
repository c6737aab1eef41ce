#include "tools/provision/controller_identity.h"

#include "link/platform/hex.h"
#include "tools/provision/super_fast_hash.h"

namespace {

void PutHex(uint8_t byte, char* at) {
  at[0] = HexDigit(byte >> 4);
  at[1] = HexDigit(byte);
}

}  // namespace

bool IdentityInBootLoader(const IdentityBlock& identity) { return (identity[8] & 0x80) != 0; }

int IdentityFrequency(const IdentityBlock& identity) {
  return identity[13] + 256 * identity[14] + 1;
}

KeyText DefaultPassword(const IdentityBlock& identity) {
  KeyText text{};
  for (size_t i = 0; i < 4; ++i) PutHex(identity[12 - i], &text[2 * i]);
  return text;
}

KeyText DefaultApiKey(uint32_t serial) {
  const std::array<uint8_t, 4> bytes{
      static_cast<uint8_t>(serial >> 24), static_cast<uint8_t>(serial >> 16),
      static_cast<uint8_t>(serial >> 8), static_cast<uint8_t>(serial)};
  const uint32_t hash = SuperFastHash(bytes);
  KeyText text{};
  for (size_t i = 0; i < 4; ++i) PutHex(static_cast<uint8_t>(hash >> (24 - 8 * i)), &text[2 * i]);
  return text;
}

bool DerivedMac(uint32_t serial, MacText& text) {
  text = {};
  if (serial > kMaxProvisionedSerial) return false;
  const uint32_t rest = serial % 1000000;
  const std::array<uint8_t, 6> mac{kMacPrefix[0],
                                   kMacPrefix[1],
                                   kMacPrefix[2],
                                   static_cast<uint8_t>(serial / 1000000),
                                   static_cast<uint8_t>(rest >> 8),
                                   static_cast<uint8_t>(rest)};
  for (size_t i = 0; i < mac.size(); ++i) {
    PutHex(mac[i], &text[3 * i]);
    if (i + 1 < mac.size()) text[3 * i + 2] = ':';
  }
  return true;
}
