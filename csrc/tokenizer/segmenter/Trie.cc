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
  runes_.clear();
  nodes_.push_back(TrieNode{0, 0, nullptr});
  runes_.push_back(0);

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
      nodes_[pending.node].ptValue = valuePointers[items[i].index];
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
      nodes_.push_back(TrieNode{0, 0, nullptr});
      runes_.push_back(rune);
      i = j;
    }
    std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(stack_mark), stack.end());
    nodes_[pending.node].first_child = first;
    nodes_[pending.node].child_count = static_cast<uint32_t>(nodes_.size()) - first;
  }
  nodes_.shrink_to_fit();

  runes_.shrink_to_fit();
  root_index_.assign(ROOT_INDEX_RUNES, 0);
  const TrieNode& root = nodes_[0];
  for (uint32_t i = root.first_child; i < root.first_child + root.child_count; ++i) {
    if (runes_[i] < ROOT_INDEX_RUNES) root_index_[runes_[i]] = i;
  }
}

const TrieNode* Trie::Child(const TrieNode& node, Rune rune) const {
  // Branch-free lower bound over the children's code points.
  const Rune* base = runes_.data() + node.first_child;
  size_t count = node.child_count;
  if (count == 0) return nullptr;
  while (count > 1) {
    const size_t half = count / 2;
    base = base[half - 1] < rune ? base + half : base;
    count -= half;
  }
  if (*base != rune) return nullptr;
  return &nodes_[static_cast<size_t>(base - runes_.data())];
}

const TrieNode* Trie::RootChild(Rune rune) const {
  if (rune >= ROOT_INDEX_RUNES) return Child(nodes_[0], rune);
  const uint32_t index = root_index_[rune];
  return index == 0 ? nullptr : &nodes_[index];
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
  return node->ptValue;
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
    res[i].nexts.push_back(std::pair<size_t, const DictUnit*>(i, node->ptValue));
    for (size_t j = i + 1; j < n && j - i + 1 <= max_word_len; ++j) {
      node = Child(*node, begin[j].rune);
      if (node == nullptr) {
        break;
      }
      if (node->ptValue != nullptr) {
        res[i].nexts.push_back(std::pair<size_t, const DictUnit*>(j, node->ptValue));
      }
    }
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
