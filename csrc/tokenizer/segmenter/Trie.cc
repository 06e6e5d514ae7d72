#include "tokenizer/segmenter/Trie.h"

#include <algorithm>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

namespace {

// Keys sharing a prefix of `depth` code points, all reaching one node.
struct PendingNode {
  uint32_t node;
  size_t lo;
  size_t hi;
  size_t depth;
};

bool KeyLess(const Unicode& a, const Unicode& b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

Trie::Trie(const std::vector<Unicode>& keys, const std::vector<const DictUnit*>& valuePointers) {
  CreateTrie(keys, valuePointers);
}

void Trie::CreateTrie(const std::vector<Unicode>& keys,
                      const std::vector<const DictUnit*>& valuePointers) {
  nodes_.clear();
  nodes_.push_back(TrieNode{0, 0, 0, nullptr});

  size_t count = std::min(keys.size(), valuePointers.size());
  std::vector<uint32_t> order;
  order.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (!keys[i].empty()) {
      order.push_back(static_cast<uint32_t>(i));
    }
  }
  // Stable, so equal keys stay in load order and the last one wins below.
  std::stable_sort(order.begin(), order.end(),
                   [&keys](uint32_t a, uint32_t b) { return KeyLess(keys[a], keys[b]); });

  // Breadth first, so that the children of each node are appended together
  // and stay contiguous.
  std::vector<PendingNode> queue;
  queue.push_back(PendingNode{0, 0, order.size(), 0});
  for (size_t q = 0; q < queue.size(); ++q) {
    PendingNode pending = queue[q];
    size_t i = pending.lo;
    // Keys ending here sort before their extensions.
    while (i < pending.hi && keys[order[i]].size() == pending.depth) {
      nodes_[pending.node].ptValue = valuePointers[order[i]];
      ++i;
    }
    uint32_t first = static_cast<uint32_t>(nodes_.size());
    while (i < pending.hi) {
      Rune rune = keys[order[i]][pending.depth];
      size_t j = i + 1;
      while (j < pending.hi && keys[order[j]][pending.depth] == rune) {
        ++j;
      }
      queue.push_back(
          PendingNode{static_cast<uint32_t>(nodes_.size()), i, j, pending.depth + 1});
      nodes_.push_back(TrieNode{rune, 0, 0, nullptr});
      i = j;
    }
    nodes_[pending.node].first_child = first;
    nodes_[pending.node].child_count = static_cast<uint32_t>(nodes_.size()) - first;
  }
  nodes_.shrink_to_fit();
}

const TrieNode* Trie::Child(const TrieNode& node, Rune rune) const {
  const TrieNode* first = nodes_.data() + node.first_child;
  const TrieNode* last = first + node.child_count;
  const TrieNode* it = std::lower_bound(
      first, last, rune, [](const TrieNode& n, Rune r) { return n.rune < r; });
  return it != last && it->rune == rune ? it : nullptr;
}

const DictUnit* Trie::Find(const RuneStr* begin, const RuneStr* end) const {
  if (begin >= end) {
    return nullptr;
  }
  const TrieNode* node = &nodes_[0];
  for (const RuneStr* it = begin; it != end; ++it) {
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
    const TrieNode* node = Child(nodes_[0], begin[i].rune);
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
