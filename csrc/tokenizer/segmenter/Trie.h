#pragma once
// Usage:
//   Trie trie(dict_units);                    // words of the dictionary
//   const DictUnit* unit = trie.Find(begin, end);
//   trie.Find(begin, end, dags, max_word_len);  // every word at every place
//
// Thread safety: built once and read-only afterwards: the lookups are const
// and may run on many threads at once.
// Throws: only std::bad_alloc.
//
// The dictionary's words by their code points: a node array whose edges
// are looked up through a sorted child list, or through a hashed edge
// index for nodes with many children (the root by direct index).

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/segmenter/Unicode.h"
#include "tokenizer/segmenter/util/LocalVector.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Longest dictionary word, in code points, that the candidate search offers.
const size_t MAX_WORD_LENGTH = 512;

// The code points of a dictionary word. Most words are a few code points
// long, so up to DICT_WORD_INLINE of them live inside the object and only
// longer words take a heap block: a dictionary holds hundreds of thousands.
class DictWord {
 public:
  static const size_t DICT_WORD_INLINE = 4;

  DictWord() : size_(0) {}
  DictWord(const DictWord& other) : size_(0) { Assign(other.begin(), other.size()); }
  DictWord& operator=(const DictWord& other) {
    if (this != &other) Assign(other.begin(), other.size());
    return *this;
  }
  DictWord(DictWord&& other) noexcept : size_(0) { Take(other); }
  DictWord& operator=(DictWord&& other) noexcept {
    if (this != &other) Take(other);
    return *this;
  }
  DictWord& operator=(const Unicode& runes) {
    Assign(runes.begin(), runes.size());
    return *this;
  }
  ~DictWord() { Release(); }

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const Rune* begin() const { return size_ > DICT_WORD_INLINE ? heap_ : inline_; }
  const Rune* end() const { return begin() + size_; }
  const Rune& operator[](size_t i) const { return begin()[i]; }
  // Bytes held outside the object.
  size_t HeapBytes() const { return size_ > DICT_WORD_INLINE ? size_ * sizeof(Rune) : 0; }

 private:
  void Assign(const Rune* runes, size_t size);
  void Take(DictWord& other);
  void Release();

  uint32_t size_;
  union {
    Rune inline_[DICT_WORD_INLINE];
    Rune* heap_;
  };
};

struct DictUnit {
  DictWord word;
  double weight;  // raw frequency while the main dictionary loads, log-probability after
  std::string tag;
};

inline bool WeightCompare(const DictUnit& lhs, const DictUnit& rhs) {
  return lhs.weight < rhs.weight;
}

// Candidates for one position of a sentence and the best path from there.
struct Dag {
  RuneStr runestr;
  // (end position, entry or null for a lone code point)
  util::LocalVector<std::pair<size_t, const DictUnit*>> nexts;
  const DictUnit* pInfo;
  double weight;

  Dag() : pInfo(nullptr), weight(0.0) {}
};

// A node's children are a contiguous run of nodes sorted by code point, so a
// node costs no allocation of its own. A node carries the code point of its
// edge and the weight of its word, so the lookup of a child and the reading of
// its word touch one cache line.
struct TrieNode {
  Rune rune;             // code point of the edge into this node
  uint32_t first_child;  // index of the first child
  uint32_t child_count;
  uint32_t value;        // 1 + index of the entry of the word ending here, or 0
  double weight;         // that entry's weight, copied when the trie is built

  bool HasValue() const { return value != 0; }
};

// Prefix tree over code points, built once and read-only afterwards.
class Trie {
 public:
  // A later pair with the same key replaces an earlier one; empty keys are
  // not inserted.
  Trie(const std::vector<Unicode>& keys, const std::vector<const DictUnit*>& valuePointers);
  // Keyed by each entry's own word.
  explicit Trie(const std::vector<const DictUnit*>& valuePointers);

  Trie(const Trie&) = delete;
  Trie& operator=(const Trie&) = delete;

  // Entry whose word is exactly [begin, end), or null.
  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const;
  // One Dag per position of [begin, end) with the words starting there, in
  // increasing end position, none longer than max_word_len code points.
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
            size_t max_word_len = MAX_WORD_LENGTH) const;

  // Steps of a walk down the tree, for callers that use each word as it is
  // found instead of collecting candidate records: the root's child for a
  // code point, a node's child for the next one (null when there is none),
  // and the entry of a node's word.
  const TrieNode* RootChild(Rune rune) const {
    if (rune >= ROOT_INDEX_RUNES) return Child(nodes_[0], rune);
    const uint32_t index = root_index_[rune];
    return index == 0 ? nullptr : &nodes_[index];
  }
  const TrieNode* Child(const TrieNode& node, Rune rune) const {
    size_t count = node.child_count;
    if (count == 0) return nullptr;
    const uint64_t hash = EdgeHash(static_cast<uint32_t>(&node - nodes_.data()), rune);
    const size_t bit = FilterBit(hash);
    if (((edge_filter_[bit >> 6] >> (bit & 63)) & 1) == 0) return nullptr;
    if (count > SEARCH_CHILDREN) return HashedChild(node, rune, hash);
    // Branch-free lower bound over the children's code points.
    const TrieNode* base = nodes_.data() + node.first_child;
    while (count > 1) {
      const size_t half = count / 2;
      base = base[half - 1].rune < rune ? base + half : base;
      count -= half;
    }
    return base->rune == rune ? base : nullptr;
  }
  const DictUnit* Value(const TrieNode& node) const {
    return node.HasValue() ? values_[node.value - 1] : nullptr;
  }

  size_t NodeCount() const { return nodes_.size(); }
  size_t MemoryBytes() const {
    return nodes_.capacity() * sizeof(TrieNode) + values_.capacity() * sizeof(const DictUnit*) +
           root_index_.capacity() * sizeof(uint32_t) + edges_.capacity() * sizeof(Edge) +
           edge_filter_.capacity() * sizeof(uint64_t);
  }

 private:
  // The code points of one key, wherever they are stored.
  struct Key {
    const Rune* runes;
    size_t size;
  };
  void CreateTrie(const std::vector<Key>& keys, const std::vector<const DictUnit*>& valuePointers);
  void SetValue(TrieNode& node, const DictUnit* value);
  void IndexEdges();
  const TrieNode* HashedChild(const TrieNode& node, Rune rune, uint64_t hash) const;
  static uint64_t EdgeHash(uint32_t parent, Rune rune) {
    return ((static_cast<uint64_t>(parent) << 32) | rune) * 0x9E3779B97F4A7C15ull;
  }
  size_t FilterBit(uint64_t hash) const { return static_cast<size_t>(hash >> filter_shift_); }

  std::vector<TrieNode> nodes_;  // nodes_[0] is the root
  std::vector<const DictUnit*> values_;
  // The root has a child for nearly every character in use, too many for a
  // quick binary search: its children below ROOT_INDEX_RUNES are found by
  // direct index (node index, 0 for none).
  static constexpr Rune ROOT_INDEX_RUNES = 0x10000;
  std::vector<uint32_t> root_index_;
  // Most child lookups fail: a walk ends at the first code point that no
  // word continues with. A bit per hashed (parent, code point) pair, set for
  // every edge, answers most failures from a table small enough to stay in
  // cache, before the children themselves are read.
  std::vector<uint64_t> edge_filter_;
  int filter_shift_ = 63;
  // Binary search over a long run of children reads a cache line per step;
  // the children of nodes with more than SEARCH_CHILDREN of them (the first
  // characters of many words) are found by hashing instead: an
  // open-addressing table of (parent, code point) -> child, child 0 marking
  // an empty slot.
  static constexpr size_t SEARCH_CHILDREN = 16;
  struct Edge {
    uint32_t parent;
    Rune rune;
    uint32_t child;
  };
  std::vector<Edge> edges_;
  int edge_shift_ = 63;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
