#pragma once
// Usage:
//   uint64_t h = norvane::HashBytes(token);     // table hash: slots, tags, parts
//   uint32_t id = norvane::Murmur3x86_32(token);  // a token's published id
//
// Thread safety: pure functions. Throws: nothing.
//
// HashBytes is this process's hash of token bytes for every table (its
// values are never stored or shown, so it may change); Murmur3x86_32 is
// MurmurHash3 x86_32 with seed 0, the id other sparse encoders and vector
// stores give a token, and must never change.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace norvane {

// splitmix64's finaliser: every input bit reaches every output bit, so both
// the low (slot) and the high (tag, part) bits of a hash are usable.
inline uint64_t MixBits(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

namespace byte_hash_detail {

// Up to eight bytes as a number, without a library call for the copy.
inline uint64_t LoadTail(const char* p, size_t n) {
  uint32_t low;
  uint32_t high;
  if (n >= 4) {
    // Two overlapping four-byte loads cover five to eight bytes.
    std::memcpy(&low, p, 4);
    std::memcpy(&high, p + n - 4, 4);
    return (static_cast<uint64_t>(high) << 32) | low;
  }
  if (n == 0) return 0;
  // One to three bytes: the first, the middle and the last.
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  return bytes[0] | (static_cast<uint64_t>(bytes[n / 2]) << 8) |
         (static_cast<uint64_t>(bytes[n - 1]) << 16);
}

inline uint32_t Rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

}  // namespace byte_hash_detail

// Tokens are short: eight bytes at a time beats a byte-wise hash. The
// length is mixed in first, so equal tails of different lengths differ.
inline uint64_t HashBytes(std::string_view token) {
  const char* p = token.data();
  size_t left = token.size();
  uint64_t h = 0x9E3779B97F4A7C15ull * (token.size() + 1);
  while (left > 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = MixBits(h ^ word);
    p += 8;
    left -= 8;
  }
  return MixBits(h ^ byte_hash_detail::LoadTail(p, left));
}

// MurmurHash3 x86_32, seed 0; blocks are read little-endian, as the
// reference implementation reads them on the machines it ships for.
inline uint32_t Murmur3x86_32(std::string_view bytes) {
  using byte_hash_detail::Rotl;
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t len = bytes.size();
  const uint32_t c1 = 0xcc9e2d51u;
  const uint32_t c2 = 0x1b873593u;
  uint32_t h = 0;
  const size_t blocks = len / 4;
  for (size_t i = 0; i < blocks; ++i) {
    uint32_t k;
    std::memcpy(&k, data + 4 * i, 4);
    k *= c1;
    k = Rotl(k, 15);
    k *= c2;
    h ^= k;
    h = Rotl(h, 13);
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
      k = Rotl(k, 15);
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
