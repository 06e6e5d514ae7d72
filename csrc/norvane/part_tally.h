#pragma once
// A fit's counting by parts: statistics are split by the top bits of a
// token's table hash (PartOf), and Tally sums one part's occurrences over
// the many texts of a round.
//
// Usage, per part of a round:
//   Tally tally;  tally.Reset(expected);
//   tally.Add(token, low_hash) ...;   // then tally.keys, tally.counts
// Hashes are TokenTable::Hash of the tokens (Tally takes their low 32
// bits). Views are kept, not copied: the bytes must outlive the tally.
// Thread safety: one object per thread. Throws std::bad_alloc only.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "norvane/token_counter.h"

namespace norvane {

// Statistics are split by the top bits of a token's table hash: a fit fills
// the parts in parallel, and each part's share of a batch is counted while
// it fits in cache instead of missing it on every token.
constexpr int kPartBits = 6;
constexpr size_t kParts = size_t{1} << kPartBits;

inline size_t PartOf(size_t hash) {
  return static_cast<size_t>(static_cast<uint64_t>(hash) >> (64 - kPartBits));
}

// A token of at most eight bytes as one integer: two of equal length are
// equal exactly when these are. Longer tokens give 0.
inline uint64_t ShortBytes(std::string_view t) {
  const auto* p = reinterpret_cast<const unsigned char*>(t.data());
  const size_t n = t.size();
  if (n >= 4 && n <= 8) {
    uint32_t a0, a1;
    std::memcpy(&a0, p, 4);
    std::memcpy(&a1, p + n - 4, 4);
    return static_cast<uint64_t>(a1) << 32 | a0;
  }
  if (n > 0 && n < 4) {
    return p[0] | static_cast<uint64_t>(p[n / 2]) << 8 | static_cast<uint64_t>(p[n - 1]) << 16;
  }
  return 0;
}

// Sums occurrences of (token, hash) pairs into keys and counts, for
// TokenTable::add_counts. The hash is the low 32 bits of the table hash: a
// round's occurrences are kept in 16 bytes each, and the few distinct keys
// are hashed in full once more. A short key's bytes are kept beside it: a
// match is then confirmed without reading them from wherever the first
// occurrence lies, a cache miss on most tokens.
class Tally {
 public:
  void Reset(size_t expected) {
    size_t capacity = 64;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.assign(capacity, 0u);
    keys.clear();
    hashes.clear();
    counts.clear();
    heads_.clear();
    keys.reserve(expected);
    hashes.reserve(expected);
    counts.reserve(expected);
    heads_.reserve(expected);
  }

  void Add(std::string_view token, uint32_t hash) {
    const size_t mask = slots_.size() - 1;
    const uint64_t head = ShortBytes(token);
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t held = slots_[slot];
      if (held == 0) {
        keys.push_back(token);
        hashes.push_back(hash);
        counts.push_back(1);
        heads_.push_back(head);
        slots_[slot] = static_cast<uint32_t>(keys.size());
        return;
      }
      const std::string_view key = keys[held - 1];
      if (hashes[held - 1] == hash && key.size() == token.size() &&
          (token.size() <= 8 ? heads_[held - 1] == head : SameToken(key, token))) {
        ++counts[held - 1];
        return;
      }
    }
  }

  std::vector<std::string_view> keys;
  std::vector<uint32_t> hashes;
  std::vector<int> counts;

 private:
  std::vector<uint32_t> slots_;
  std::vector<uint64_t> heads_;  // ShortBytes of each key
};

}  // namespace norvane
