#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <string_view>
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

// A growable array that keeps its first N elements inside the object: the
// per-call arrays of short token lists then cost no heap allocation, which
// was a large part of a short query's time.
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

  static size_t Hash(std::string_view key);

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
// first member found wrong.
ModelFile ReadModelFile(const std::string& json_data);
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

// Sparse lexical encoder. Keeps corpus statistics only; document vectors carry
// saturated term frequencies and query vectors normalised IDF weights, so their
// dot product is a BM25-style score. Integer tokens share the table with string
// tokens under their decimal text.
class BM25 {
 public:
  BM25(double b, double k1);  // std::invalid_argument unless both are finite
  ~BM25();

  void train(const std::vector<std::string>& corpus);
  void train(const std::vector<long long>& corpus);
  void train(const std::vector<std::vector<long long>>& corpus);

  // Restores statistics from the model file's text (not its path). Token
  // counts are merged into the ones held; on any error nothing changes.
  void load(const std::string& json_data);
  // Writes the model file; an existing file is replaced only once the new
  // text is completely written.
  void dump(const std::string& filename) const;

  std::map<std::string, double> encode_document(const std::vector<std::string>& tokens);
  std::map<long long, double> encode_document(const std::vector<long long>& tokens);
  std::map<std::string, double> encode_query(const std::vector<std::string>& tokens);
  std::map<long long, double> encode_query(const std::vector<long long>& tokens);

  // The same operations for callers that keep their own token objects (the
  // Python binding), on tokens[0, n). An encoder writes one weight per
  // distinct token into `weights`, which has room for n, in ascending key
  // order and paired with the index of the token's first occurrence; it
  // returns how many it wrote. The forms above are built on these.
  using IndexedWeight = std::pair<size_t, double>;
  void train(const std::string_view* tokens, size_t n);
  void train(const long long* tokens, size_t n);
  size_t encode_document(const std::string_view* tokens, size_t n, IndexedWeight* weights) const;
  size_t encode_document(const long long* tokens, size_t n, IndexedWeight* weights) const;
  size_t encode_query(const std::string_view* tokens, size_t n, IndexedWeight* weights) const;
  size_t encode_query(const long long* tokens, size_t n, IndexedWeight* weights) const;

 private:
  void _train(const long long* tokens, size_t n);
  void _train(const std::string_view* tokens, size_t n);
  // Sets weights[i] to the IDF of keys[i] for i < n, then normalises.
  void _weigh_query(const std::string_view* keys, size_t n, IndexedWeight* weights) const;
  template <typename Token>
  size_t _encode_document(const Token* tokens, size_t n, IndexedWeight* weights) const;

  void _count_document(size_t length);
  void _check_initialized() const;
  double _length_norm(size_t length) const;

  double _b;
  double _k1;
  int _doc_count = 0;
  long long _doc_length_total = 0;
  double _doc_length_average = 0.0;
  TokenTable _doc_token_frequency;
};

}  // namespace text
}  // namespace typing
}  // namespace korva
