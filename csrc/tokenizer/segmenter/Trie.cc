#include "tokenizer/segmenter/Trie.h"

#include <algorithm>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

namespace {

// Keys order[lo, hi) share their first `depth` code points and reach `node`.
struct PendingNode {
  uint32_t node;
  size_t lo;
  size_t hi;
  size_t depth;
};

// The first two code points packed so that most comparisons while sorting
// touch only this array; 0 stands for "no code point".
template <typename Key>
uint64_t PackedPrefix(const Key& key) {
  uint64_t first = key.size > 0 ? key.runes[0] + 1ull : 0;
  uint64_t second = key.size > 1 ? key.runes[1] + 1ull : 0;
  return (first << 32) | second;
}

struct SortItem {
  uint64_t prefix;
  uint32_t index;
};

}  // namespace

void DictWord::Assign(const Rune* runes, size_t size) {
  Release();
  Rune* target = size > DICT_WORD_INLINE ? new Rune[size] : inline_;
  std::copy(runes, runes + size, target);
  if (size > DICT_WORD_INLINE) heap_ = target;
  size_ = static_cast<uint32_t>(size);
}

void DictWord::Take(DictWord& other) {
  Release();
  size_ = other.size_;
  if (size_ > DICT_WORD_INLINE) {
    heap_ = other.heap_;
  } else {
    std::copy(other.inline_, other.inline_ + size_, inline_);
  }
  other.size_ = 0;
}

void DictWord::Release() {
  if (size_ > DICT_WORD_INLINE) delete[] heap_;
  size_ = 0;
}

Trie::Trie(const std::vector<Unicode>& keys, const std::vector<const DictUnit*>& valuePointers) {
  size_t count = std::min(keys.size(), valuePointers.size());
  std::vector<Key> key_pointers(count);
  for (size_t i = 0; i < count; ++i) {
    key_pointers[i] = Key{keys[i].begin(), keys[i].size()};
  }
  CreateTrie(key_pointers, valuePointers);
}

Trie::Trie(const std::vector<const DictUnit*>& valuePointers) {
  std::vector<Key> key_pointers(valuePointers.size());
  for (size_t i = 0; i < valuePointers.size(); ++i) {
    const DictWord& word = valuePointers[i]->word;
    key_pointers[i] = Key{word.begin(), word.size()};
  }
  CreateTrie(key_pointers, valuePointers);
}

void Trie::CreateTrie(const std::vector<Key>& keys,
                      const std::vector<const DictUnit*>& valuePointers) {
  nodes_.clear();
  values_.clear();
  nodes_.push_back(TrieNode{0, 0, 0, 0, 0.0});

  std::vector<SortItem> items;
  items.reserve(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) {
    if (keys[i].size > 0) {
      items.push_back(SortItem{PackedPrefix(keys[i]), static_cast<uint32_t>(i)});
    }
  }
  // Equal keys keep load order (index as the last criterion), so that the
  // last one loaded wins below.
  std::sort(items.begin(), items.end(), [&keys](const SortItem& a, const SortItem& b) {
    if (a.prefix != b.prefix) {
      return a.prefix < b.prefix;
    }
    const Key& ka = keys[a.index];
    const Key& kb = keys[b.index];
    if (ka.size > 2 || kb.size > 2) {
      const Rune* a_end = ka.runes + ka.size;
      const Rune* b_end = kb.runes + kb.size;
      if (std::lexicographical_compare(ka.runes, a_end, kb.runes, b_end)) {
        return true;
      }
      if (std::lexicographical_compare(kb.runes, b_end, ka.runes, a_end)) {
        return false;
      }
    }
    return a.index < b.index;
  });

  // The sorted keys copied into one array, so that the walk below reads
  // memory in order.
  std::vector<size_t> starts(items.size() + 1, 0);
  for (size_t i = 0; i < items.size(); ++i) {
    starts[i + 1] = starts[i] + keys[items[i].index].size;
  }
  std::vector<Rune> runes;
  runes.reserve(starts.back());
  for (const SortItem& item : items) {
    const Key& key = keys[item.index];
    runes.insert(runes.end(), key.runes, key.runes + key.size);
  }
  auto length = [&starts](size_t i) { return starts[i + 1] - starts[i]; };
  auto rune_at = [&starts, &runes](size_t i, size_t depth) { return runes[starts[i] + depth]; };

  // Depth first; each node's children are appended together so that they
  // stay contiguous.
  std::vector<PendingNode> stack;
  stack.push_back(PendingNode{0, 0, items.size(), 0});
  while (!stack.empty()) {
    PendingNode pending = stack.back();
    stack.pop_back();
    size_t i = pending.lo;
    // Keys ending here sort before their extensions.
    while (i < pending.hi && length(i) == pending.depth) {
      SetValue(nodes_[pending.node], valuePointers[items[i].index]);
      ++i;
    }
    uint32_t first = static_cast<uint32_t>(nodes_.size());
    size_t stack_mark = stack.size();
    while (i < pending.hi) {
      Rune rune = rune_at(i, pending.depth);
      size_t j = i + 1;
      while (j < pending.hi && rune_at(j, pending.depth) == rune) {
        ++j;
      }
      stack.push_back(PendingNode{static_cast<uint32_t>(nodes_.size()), i, j, pending.depth + 1});
      nodes_.push_back(TrieNode{rune, 0, 0, 0, 0.0});
      i = j;
    }
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(stack_mark), stack.end());
    nodes_[pending.node].first_child = first;
    nodes_[pending.node].child_count = static_cast<uint32_t>(nodes_.size()) - first;
  }
  nodes_.shrink_to_fit();
  values_.shrink_to_fit();
  root_index_.assign(ROOT_INDEX_RUNES, 0);
  const TrieNode& root = nodes_[0];
  for (uint32_t i = root.first_child; i < root.first_child + root.child_count; ++i) {
    if (nodes_[i].rune < ROOT_INDEX_RUNES) root_index_[nodes_[i].rune] = i;
  }
  IndexEdges();
}

namespace {

// The smallest power of two of at least `minimum` (and 2), as a shift that
// maps a 64-bit hash onto that many slots.
int ShiftFor(size_t minimum) {
  int bits = 1;
  while ((size_t{1} << bits) < minimum) ++bits;
  return 64 - bits;
}

}  // namespace

void Trie::IndexEdges() {
  size_t hashed = 0;
  for (const TrieNode& node : nodes_) {
    if (node.child_count > SEARCH_CHILDREN) hashed += node.child_count;
  }
  // About eight bits per edge: one failing lookup in ten gets past the filter.
  filter_shift_ = ShiftFor(8 * nodes_.size());
  edge_filter_.assign((size_t{1} << (64 - filter_shift_)) / 64 + 1, 0);
  // Up to 80% full: the filter has already turned away most lookups of
  // missing children, the ones that would probe longest.
  edge_shift_ = ShiftFor(hashed + hashed / 4);
  edges_.assign(hashed == 0 ? 0 : size_t{1} << (64 - edge_shift_), Edge{0, 0, 0});
  const size_t mask = edges_.size() - 1;
  for (uint32_t parent = 0; parent < nodes_.size(); ++parent) {
    const TrieNode& node = nodes_[parent];
    for (uint32_t child = node.first_child; child < node.first_child + node.child_count; ++child) {
      const uint64_t hash = EdgeHash(parent, nodes_[child].rune);
      const size_t bit = FilterBit(hash);
      edge_filter_[bit >> 6] |= uint64_t{1} << (bit & 63);
      if (node.child_count <= SEARCH_CHILDREN) continue;
      size_t slot = static_cast<size_t>(hash >> edge_shift_);
      while (edges_[slot].child != 0) slot = (slot + 1) & mask;
      edges_[slot] = Edge{parent, nodes_[child].rune, child};
    }
  }
}

const TrieNode* Trie::HashedChild(const TrieNode& node, Rune rune, uint64_t hash) const {
  const uint32_t parent = static_cast<uint32_t>(&node - nodes_.data());
  const size_t mask = edges_.size() - 1;
  for (size_t slot = static_cast<size_t>(hash >> edge_shift_);; slot = (slot + 1) & mask) {
    const Edge& edge = edges_[slot];
    if (edge.child == 0) return nullptr;
    if (edge.parent == parent && edge.rune == rune) return &nodes_[edge.child];
  }
}

// A null value leaves the node without a word; a later value for the same
// key replaces the earlier one.
void Trie::SetValue(TrieNode& node, const DictUnit* value) {
  if (value == nullptr) {
    node.value = 0;
    node.weight = 0.0;
    return;
  }
  if (!node.HasValue()) {
    values_.push_back(value);
    node.value = static_cast<uint32_t>(values_.size());
  } else {
    values_[node.value - 1] = value;
  }
  node.weight = value->weight;
}

const DictUnit* Trie::Find(const RuneStr* begin, const RuneStr* end) const {
  if (begin >= end) {
    return nullptr;
  }
  const TrieNode* node = RootChild(begin->rune);
  if (node == nullptr) {
    return nullptr;
  }
  for (const RuneStr* it = begin + 1; it != end; ++it) {
    node = Child(*node, it->rune);
    if (node == nullptr) {
      return nullptr;
    }
  }
  return Value(*node);
}

void Trie::Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
                size_t max_word_len) const {
  size_t n = begin < end ? static_cast<size_t>(end - begin) : 0;
  res.clear();
  res.resize(n);
  for (size_t i = 0; i < n; ++i) {
    res[i].runestr = begin[i];
    const TrieNode* node = RootChild(begin[i].rune);
    if (node == nullptr) {
      res[i].nexts.push_back(std::pair<size_t, const DictUnit*>(i, nullptr));
      continue;
    }
    res[i].nexts.push_back(std::pair<size_t, const DictUnit*>(i, Value(*node)));
    for (size_t j = i + 1; j < n && j - i + 1 <= max_word_len; ++j) {
      node = Child(*node, begin[j].rune);
      if (node == nullptr) {
        break;
      }
      if (node->HasValue()) {
        res[i].nexts.push_back(std::pair<size_t, const DictUnit*>(j, Value(*node)));
      }
    }
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
