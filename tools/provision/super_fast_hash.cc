#include "tools/provision/super_fast_hash.h"

namespace {

uint32_t Unit16(std::span<const uint8_t> data, size_t at) {
  return uint32_t{data[at]} << 8 | data[at + 1];
}

// A byte as the published hash takes its lone trailing bytes: signed.
uint32_t SignedByte(uint8_t byte) {
  return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(byte)));
}

}  // namespace

uint32_t SuperFastHash(std::span<const uint8_t> data) {
  if (data.empty()) return 0;
  uint32_t hash = static_cast<uint32_t>(data.size());
  const size_t blocks = data.size() / 4;
  const size_t rest = data.size() % 4;

  size_t at = 0;
  for (size_t i = 0; i < blocks; ++i, at += 4) {
    hash += Unit16(data, at);
    const uint32_t tmp = (Unit16(data, at + 2) << 11) ^ hash;
    hash = (hash << 16) ^ tmp;
    hash += hash >> 11;
  }

  switch (rest) {
    case 3:
      hash += Unit16(data, at);
      hash ^= hash << 16;
      hash ^= SignedByte(data[at + 2]) << 18;
      hash += hash >> 11;
      break;
    case 2:
      hash += Unit16(data, at);
      hash ^= hash << 11;
      hash += hash >> 17;
      break;
    case 1:
      hash += SignedByte(data[at]);
      hash ^= hash << 10;
      hash += hash >> 1;
      break;
    default:
      break;
  }

  // Avalanche the last bits.
  hash ^= hash << 3;
  hash += hash >> 5;
  hash ^= hash << 4;
  hash += hash >> 17;
  hash ^= hash << 25;
  hash += hash >> 6;
  return hash;
}
