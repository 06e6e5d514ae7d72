#pragma once

// Internal to the BM25 encoder and its users inside the project (the Python
// binding, the toolkit's sparse encoder): the token-count table, the model
// file, and the containers and prefetch helper of the encoder's hot loops.
// Not part of BM25's interface.
//
// Thread safety: TokenTable is a plain container (const lookups may run
// together, nothing alongside a write); the model-file functions share
// nothing.
// Throws: ReadModelFile std::runtime_error naming the first member found
// wrong (std::invalid_argument or std::out_of_range for a malformed number);
// WriteModelFile std::runtime_error starting "Failed to dump";
// TokenTable::add_counts std::overflow_error; all std::bad_alloc.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace korva {
namespace typing {
namespace text {

// Asks for the cache line at `address` ahead of its use: for loops that read
// objects scattered over the heap, so their cache misses overlap.
inline void PrefetchLine(const void* address) {
#if defined(__GNUC__)
  __builtin_prefetch(address);
#else
  (void)address;
#endif
}

// A growable array that keeps its first N elements inside the object, so the
// per-call arrays of short token lists cost no heap allocation. Unlike
// util::LocalVector it sizes its inline part per use (up to hundreds of
// elements) and leaves new plain elements uninitialised.
template <typename T, size_t N>
class SmallVector {
  static_assert(std::is_trivially_destructible<T>::value, "elements are never destroyed");

 public:
  SmallVector() = default;
  explicit SmallVector(size_t size) { resize(size); }
  SmallVector(const SmallVector&) = delete;
  SmallVector& operator=(const SmallVector&) = delete;

  // New elements are default-initialised: plain values are left unset.
  void resize(size_t size) {
    reserve(size);
    for (size_t i = size_; i < size; ++i) new (data_ + i) T;
    size_ = size;
  }
  void reserve(size_t capacity) {
    if (capacity <= capacity_) return;
    std::unique_ptr<T, Release> grown(static_cast<T*>(::operator new(capacity * sizeof(T))));
    std::uninitialized_copy(data_, data_ + size_, grown.get());
    heap_ = std::move(grown);
    data_ = heap_.get();
    capacity_ = capacity;
  }
  void push_back(const T& value) {
    if (size_ == capacity_) reserve(2 * capacity_);
    new (data_ + size_++) T(value);
  }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return size_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }

 private:
  struct Release {
    void operator()(T* p) const { ::operator delete(p); }
  };

  // Raw storage: only the elements in use are ever constructed.
  alignas(T) unsigned char inline_[N * sizeof(T)];
  std::unique_ptr<T, Release> heap_;
  T* data_ = reinterpret_cast<T*>(inline_);
  size_t size_ = 0;
  size_t capacity_ = N;
};

// The token table's hash, inline: the sparse encoder hashes every token of
// every text, and a call per token cost a fifth of the hashing.
namespace token_hash {

// splitmix64's finaliser: every input bit reaches every output bit, so both
// the low (slot) and the high (tag) bits of a hash are usable.
inline uint64_t Mix(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

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

// Tokens are short: eight bytes at a time beats a byte-wise hash. The
// length is mixed in first, so equal tails of different lengths differ.
inline uint64_t Bytes(std::string_view token) {
  const char* p = token.data();
  size_t left = token.size();
  uint64_t h = 0x9E3779B97F4A7C15ull * (token.size() + 1);
  while (left > 8) {
    uint64_t word;
    std::memcpy(&word, p, 8);
    h = Mix(h ^ word);
    p += 8;
    left -= 8;
  }
  return Mix(h ^ LoadTail(p, left));
}

}  // namespace token_hash

// The model's count per token key. Open addressing over a flat array of
// entries, so a lookup touches one slot and one entry, and the lookups of a
// whole token list are prefetched together: the table is large and mostly
// out of cache, and waiting for one miss at a time dominated training.
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

  static size_t Hash(std::string_view key) { return static_cast<size_t>(token_hash::Bytes(key)); }

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

// What a model file holds. Besides the members BM25 reads, a file may carry
// `_doc_length_total` (the exact total length, which the printed average
// cannot give back for large corpora) and `_analysis` (how texts became
// tokens); BM25 ignores both.
struct ModelFile {
  std::vector<std::pair<std::string, int>> counts;  // unescaped token, count
  int doc_count = 0;
  double doc_length_average = 0.0;
  long long doc_length_total = 0;  // the member, else the average times the count
  double b = 0.0;
  double k1 = 0.0;
  std::string analysis;  // empty when the member is absent
};

// Parses and checks a model file's text; throws std::runtime_error naming the
// first member found wrong. strict: the text must be valid JSON and nothing
// more (json::JSON::LoadStrict), else a fault is found only where it makes
// a member unreadable.
ModelFile ReadModelFile(const std::string& json_data, bool strict = false);
// The model file's text, the counts of tables[0, table_count) together (their
// keys must differ); `analysis` is written only when not empty, the total
// length only when given.
std::string ModelFileText(const TokenTable* tables, size_t table_count, int doc_count,
                          double doc_length_average, double b, double k1,
                          const long long* doc_length_total = nullptr,
                          const std::string& analysis = std::string());
// Writes text to filename; a regular file is replaced only once the new text
// is completely written (temporary file and rename). Throws std::runtime_error.
void WriteModelFile(const std::string& filename, const std::string& text);

}  // namespace text
}  // namespace typing
}  // namespace korva
