#pragma once
// MurmurHash3 x86_32 with seed 0: the id other sparse encoders and vector
// stores give a token, so vectors made here mix with theirs.
//
// Usage: uint32_t id = norvane::Murmur3("token");
// Thread safety: a pure function. Throws nothing.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace norvane {

inline uint32_t Rotl32(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline uint32_t Murmur3(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t len = bytes.size();
  const uint32_t c1 = 0xcc9e2d51u;
  const uint32_t c2 = 0x1b873593u;
  uint32_t h = 0;
  const size_t blocks = len / 4;
  for (size_t i = 0; i < blocks; ++i) {
    uint32_t k;
    std::memcpy(&k, data + 4 * i, 4);  // the reference reads blocks little-endian
    k *= c1;
    k = Rotl32(k, 15);
    k *= c2;
    h ^= k;
    h = Rotl32(h, 13);
    h = h * 5 + 0xe6546b64u;
  }
  const unsigned char* tail = data + 4 * blocks;
  uint32_t k = 0;
  switch (len & 3) {
    case 3:
      k ^= static_cast<uint32_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= static_cast<uint32_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = Rotl32(k, 15);
      k *= c2;
      h ^= k;
  }
  h ^= static_cast<uint32_t>(len);
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

}  // namespace norvane
