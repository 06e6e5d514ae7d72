#pragma once
// Usage:
//   norvane::TokenTable table;
//   table["word"] += 1;                          // a new key starts at 0
//   table.add_counts(keys, counts, n);           // whole lists at once
//   const int* n = table.find(key, norvane::TokenTable::Hash(key));
//
// Thread safety: a plain container: const lookups may run together, nothing
// alongside a write.
// Throws: add_counts std::overflow_error when a count would leave the int
// range (the table is then as it was); all std::bad_alloc.
//
// The count per token of a model's statistics (BM25 and the sparse
// encoder). Open addressing over a flat array of entries, so a lookup
// touches one slot and one entry, and the lookups of a whole token list are
// prefetched together: the table is large and mostly out of cache, and
// waiting for one miss at a time dominated training. Iteration runs in
// order of insertion.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvane/byte_hash.h"

namespace norvane {

// Asks for the cache line at `address` ahead of its use: for loops that read
// objects scattered over the heap, so their cache misses overlap.
inline void PrefetchLine(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

class TokenTable {
 public:
  using Entry = std::pair<std::string, int>;

  int& operator[](std::string_view key);  // a new key starts at 0
  size_t size() const { return entries_.size(); }
  void reserve(size_t count);
  std::vector<Entry>::const_iterator begin() const { return entries_.begin(); }
  std::vector<Entry>::const_iterator end() const { return entries_.end(); }

  // Adds counts[i] to the count of keys[i], for i < n.
  void add_counts(const std::string_view* keys, const int* counts, size_t n);
  // The same for a caller that has the keys' hashes already: hashes[i] is
  // Hash(keys[i]).
  void add_counts(const std::string_view* keys, const size_t* hashes, const int* counts,
                  size_t n);
  // found[i] = the count of keys[i], or null when the key is absent.
  void find_counts(const std::string_view* keys, size_t n, const int** found) const;
  // The count of one key whose Hash is given, or null.
  const int* find(std::string_view key, size_t hash) const;

  static size_t Hash(std::string_view key) { return static_cast<size_t>(HashBytes(key)); }

 private:
  struct Slot {
    uint32_t tag;    // high bits of the key's hash
    uint32_t index;  // entry index + 1; 0 for a free slot
  };

  // The slot holding `key`, or the free slot where it belongs.
  size_t Probe(std::string_view key, size_t hash) const;
  void Prefetch(const size_t* hashes, size_t n) const;
  void Grow(size_t slots);

  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
};

}  // namespace norvane
