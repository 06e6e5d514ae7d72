// Measures the shared primitives against the alternatives they replaced, in
// one run, as ratios: the table hash (norvane/byte_hash.h), the per-list
// token counter (norvane/token_counter.h) and the small vector
// (norvane/small_vector.h). Tokens are the words of the dictionary, drawn
// by their frequencies into documents of a few hundred tokens.
// Usage: bench_primitives DICT_FILE
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/byte_hash.h"
#include "norvane/small_vector.h"
#include "norvane/token_counter.h"

namespace {

// The alternatives, as they were.

// The word cache's hash of the tokenizer binding.
uint64_t MultiplyHash(const char* p, size_t n) {
  uint64_t h = n * 0x9E3779B97F4A7C15ull;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    h = (h ^ v) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  }
  uint64_t v = 0;
  std::memcpy(&v, p, n);
  h = (h ^ v) * 0xC4CEB9FE1A85EC53ull;
  return h ^ (h >> 29);
}

// The sparse encoder's earlier per-text counter: std::vector storage kept
// across texts (the byte compare is the shared one).
class VectorCounter {
 public:
  struct Entry {
    std::string_view token;
    size_t hash;
    uint32_t count;
  };
  void Count(const std::string_view* tokens, const size_t* hashes, size_t n) {
    size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    slots_.assign(capacity, 0u);
    entries_.clear();
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < n; ++i) {
      const size_t hash = hashes[i];
      for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint32_t held = slots_[slot];
        if (held == 0) {
          entries_.push_back({tokens[i], hash, 1});
          slots_[slot] = static_cast<uint32_t>(entries_.size());
          break;
        }
        Entry& e = entries_[held - 1];
        if (e.hash == hash && norvane::SameToken(e.token, tokens[i])) {
          ++e.count;
          break;
        }
      }
    }
  }
  size_t size() const { return entries_.size(); }

 private:
  std::vector<uint32_t> slots_;
  std::vector<Entry> entries_;
};

// The segmenter's vector of plain elements: sixteen constructed in place.
template <class T>
class LocalVector16 {
 public:
  LocalVector16() : ptr_(buffer_), size_(0), capacity_(16) {}
  ~LocalVector16() {
    if (ptr_ != buffer_) ::operator delete(ptr_);
  }
  void reserve(size_t size) {
    if (size <= capacity_) return;
    T* next = static_cast<T*>(::operator new(size * sizeof(T)));
    std::uninitialized_copy(ptr_, ptr_ + size_, next);
    if (ptr_ != buffer_) ::operator delete(ptr_);
    ptr_ = next;
    capacity_ = size;
  }
  void push_back(const T& t) {
    if (size_ == capacity_) {
      T copy = t;
      reserve(capacity_ * 2);
      new (ptr_ + size_++) T(copy);
      return;
    }
    new (ptr_ + size_++) T(t);
  }
  size_t size() const { return size_; }
  const T& operator[](size_t i) const { return ptr_[i]; }

 private:
  T buffer_[16];
  T* ptr_;
  size_t size_;
  size_t capacity_;
};

// A decoded code point as the segmenter keeps it.
struct Rune {
  uint32_t rune, offset, len, unicode_offset, unicode_length;
  Rune() : rune(0), offset(0), len(0), unicode_offset(0), unicode_length(0) {}
  Rune(uint32_t r, uint32_t o) : rune(r), offset(o), len(3), unicode_offset(o), unicode_length(1) {}
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The best of five runs of fn.
template <class Fn>
double Best(Fn fn) {
  double best = 1e300;
  for (int r = 0; r < 5; ++r) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    best = std::min(best, Seconds(start));
  }
  return best;
}

volatile uint64_t sink;

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s DICT_FILE\n", argv[0]);
    return 2;
  }
  std::ifstream in(argv[1]);
  std::vector<std::string> words;
  std::vector<double> freqs;
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string word;
    double freq = 0;
    if (fields >> word >> freq) words.push_back(word), freqs.push_back(freq);
  }
  std::mt19937_64 rng(7);
  std::discrete_distribution<size_t> pick(freqs.begin(), freqs.end());
  // Documents of 50 to 500 tokens.
  std::vector<std::vector<std::string_view>> docs(4000);
  size_t tokens = 0;
  for (auto& doc : docs) {
    const size_t n = 50 + rng() % 451;
    for (size_t i = 0; i < n; ++i) doc.push_back(words[pick(rng)]);
    tokens += n;
  }
  std::printf("%zu words, %zu documents, %zu tokens\n", words.size(), docs.size(), tokens);

  // Hashes: every token of every document.
  const double shared_hash = Best([&] {
    uint64_t x = 0;
    for (const auto& doc : docs)
      for (std::string_view t : doc) x += norvane::HashBytes(t);
    sink = x;
  });
  const double multiply_hash = Best([&] {
    uint64_t x = 0;
    for (const auto& doc : docs)
      for (std::string_view t : doc) x += MultiplyHash(t.data(), t.size());
    sink = x;
  });
  std::printf("hash: HashBytes %.2f ns/token, the binding's multiply hash %.2f (ratio %.2f)\n",
              shared_hash / tokens * 1e9, multiply_hash / tokens * 1e9,
              multiply_hash / shared_hash);

  // Per-list counting, hashes given: a counter made per list (as BM25's
  // training does) and one reused across lists (as the encoder does).
  std::vector<std::vector<size_t>> hashes(docs.size());
  for (size_t d = 0; d < docs.size(); ++d)
    for (std::string_view t : docs[d]) hashes[d].push_back(norvane::HashBytes(t));
  const double shared_fresh = Best([&] {
    size_t x = 0;
    for (size_t d = 0; d < docs.size(); ++d) {
      norvane::TokenCounter<std::string_view> counter;
      counter.Count(docs[d].data(), hashes[d].data(), docs[d].size());
      x += counter.size();
    }
    sink = x;
  });
  const double shared_reused = Best([&] {
    size_t x = 0;
    norvane::TokenCounter<std::string_view> counter;
    for (size_t d = 0; d < docs.size(); ++d) {
      counter.Count(docs[d].data(), hashes[d].data(), docs[d].size());
      x += counter.size();
    }
    sink = x;
  });
  const double vector_fresh = Best([&] {
    size_t x = 0;
    for (size_t d = 0; d < docs.size(); ++d) {
      VectorCounter counter;
      counter.Count(docs[d].data(), hashes[d].data(), docs[d].size());
      x += counter.size();
    }
    sink = x;
  });
  const double vector_reused = Best([&] {
    size_t x = 0;
    VectorCounter counter;
    for (size_t d = 0; d < docs.size(); ++d) {
      counter.Count(docs[d].data(), hashes[d].data(), docs[d].size());
      x += counter.size();
    }
    sink = x;
  });
  std::printf("counter, made per list: TokenCounter %.2f ns/token, vector counter %.2f "
              "(ratio %.2f)\n", shared_fresh / tokens * 1e9, vector_fresh / tokens * 1e9,
              vector_fresh / shared_fresh);
  std::printf("counter, reused: TokenCounter %.2f ns/token, vector counter %.2f (ratio %.2f)\n",
              shared_reused / tokens * 1e9, vector_reused / tokens * 1e9,
              vector_reused / shared_reused);

  // Small vectors: a sentence's code points, 10 to 200 of them.
  const size_t kSentences = 200000;
  std::vector<uint32_t> lengths(kSentences);
  size_t runes = 0;
  for (auto& n : lengths) runes += n = 10 + rng() % 191;
  const double shared_vector = Best([&] {
    uint64_t x = 0;
    for (uint32_t n : lengths) {
      norvane::SmallVector<Rune, 16> v;
      for (uint32_t i = 0; i < n; ++i) v.push_back(Rune(i, i));
      x += v[n - 1].offset + v.size();
    }
    sink = x;
  });
  const double local_vector = Best([&] {
    uint64_t x = 0;
    for (uint32_t n : lengths) {
      LocalVector16<Rune> v;
      for (uint32_t i = 0; i < n; ++i) v.push_back(Rune(i, i));
      x += v[n - 1].offset + v.size();
    }
    sink = x;
  });
  std::printf("small vector: SmallVector %.2f ns/element, the segmenter's former vector %.2f "
              "(ratio %.2f)\n", shared_vector / runes * 1e9, local_vector / runes * 1e9,
              local_vector / shared_vector);
  return 0;
}
