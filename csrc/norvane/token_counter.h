#pragma once
// Usage:
//   norvane::TokenCounter<std::string_view> counter;  // reuse it across lists
//   counter.Count(tokens, hashes, n);     // hashes[i]: HashBytes(tokens[i])
//   for (const auto& e : counter) use(e.token, e.hash, e.count);
//   counter.Reset(expected); counter.Add(token, hash);  // one token at a time
//
// Thread safety: a plain container: one thread at a time.
// Throws: std::bad_alloc only.
//
// The distinct tokens of one list with their counts, in order of first
// occurrence, by open addressing over a power-of-two table of at least
// twice the tokens (a hash match is confirmed on the tokens). Views are
// stored, not copied: the tokens must outlive the counter's use of them.
// Storage grows to the longest list counted and is reused after that.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "norvane/small_vector.h"

namespace norvane {

// Whether two tokens are equal. Equal tokens of one list are mostly one
// object (same bytes), and tokens are short: two overlapping word loads
// compare most of them without a library call.
inline bool SameToken(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (a.data() == b.data()) return true;
  if (n >= 8 && n <= 16) {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&a1, a.data() + n - 8, 8);
    std::memcpy(&b1, b.data() + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4 && n < 8) {
    uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 4);
    std::memcpy(&b0, b.data(), 4);
    std::memcpy(&a1, a.data() + n - 4, 4);
    std::memcpy(&b1, b.data() + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n > 0 && n < 4) {
    const auto* x = reinterpret_cast<const unsigned char*>(a.data());
    const auto* y = reinterpret_cast<const unsigned char*>(b.data());
    return x[0] == y[0] && x[n / 2] == y[n / 2] && x[n - 1] == y[n - 1];
  }
  return a == b;
}

inline bool SameToken(long long a, long long b) { return a == b; }

template <typename Token>
class TokenCounter {
 public:
  struct Entry {
    Token token;
    size_t hash;
    uint32_t count;
  };

  // Forgets what was counted; room for `expected` distinct tokens without
  // growing.
  void Reset(size_t expected) {
    size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.resize(capacity);
    std::memset(slots_.data(), 0, capacity * sizeof(uint32_t));
    entries_.resize(0);
    entries_.reserve(expected);
  }

  // Counts one more token, whose hash is given.
  void Add(const Token& token, size_t hash) {
    if (2 * (entries_.size() + 1) > slots_.size()) Grow();
    Insert(token, hash);
  }

  // Counts tokens[0, n) afresh; hashes[i] is the hash of tokens[i].
  void Count(const Token* tokens, const size_t* hashes, size_t n) {
    Reset(n);  // room for all: no growth check per token
    for (size_t i = 0; i < n; ++i) Insert(tokens[i], hashes[i]);
  }

  size_t size() const { return entries_.size(); }
  const Entry& operator[](size_t i) const { return entries_[i]; }
  const Entry* begin() const { return entries_.begin(); }
  const Entry* end() const { return entries_.end(); }

 private:
  void Insert(const Token& token, size_t hash) {
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t held = slots_[slot];
      if (held == 0) {
        entries_.push_back(Entry{token, hash, 1});
        slots_[slot] = static_cast<uint32_t>(entries_.size());
        return;
      }
      Entry& entry = entries_[held - 1];
      if (entry.hash == hash && SameToken(entry.token, token)) {
        ++entry.count;
        return;
      }
    }
  }

  void Grow() {
    const size_t capacity = slots_.size() < 16 ? 16 : 2 * slots_.size();
    slots_.resize(capacity);
    std::memset(slots_.data(), 0, capacity * sizeof(uint32_t));
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      size_t slot = entries_[i].hash & mask;
      while (slots_[slot] != 0) slot = (slot + 1) & mask;
      slots_[slot] = static_cast<uint32_t>(i + 1);
    }
  }

  SmallVector<uint32_t, 512> slots_;  // entry index + 1, 0 for a free slot
  SmallVector<Entry, 256> entries_;
};

}  // namespace norvane
