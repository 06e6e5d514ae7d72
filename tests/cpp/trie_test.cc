#include "tokenizer/segmenter/Trie.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {
namespace {

// Random keys over a small alphabet give nodes of every width: the root and
// the first levels have more children than a binary search is used for, the
// deeper ones fewer. Code points above the direct-index range reach the
// root's own children through the general child lookup.
TEST(Trie, FindsExactlyTheKeysOfEveryNodeWidth) {
  std::mt19937 rng(7);
  const std::vector<Rune> alphabet = {'a', 'b', 0x4E00, 0x4E01, 0x9FA5, 0x20000, 0x2A6D6};
  auto random_key = [&](size_t max_len) {
    Unicode key;
    const size_t len = 1 + rng() % max_len;
    for (size_t i = 0; i < len; ++i) {
      key.push_back(i < 2 ? 0x4E00 + rng() % 40 : alphabet[rng() % alphabet.size()]);
      if (rng() % 9 == 0) key[key.size() - 1] = alphabet[rng() % alphabet.size()];
    }
    return key;
  };
  std::map<std::vector<Rune>, size_t> reference;
  std::vector<Unicode> keys;
  std::vector<DictUnit> units(3000);
  for (size_t i = 0; i < units.size(); ++i) {
    keys.push_back(random_key(5));
    units[i].word = keys.back();
    units[i].weight = -static_cast<double>(i);
    reference[std::vector<Rune>(keys.back().begin(), keys.back().end())] = i;
  }
  // An empty key is never inserted; a repeated key keeps its last entry (the
  // reference map's).
  keys.push_back(Unicode());
  std::vector<const DictUnit*> values;
  for (const DictUnit& unit : units) values.push_back(&unit);
  values.push_back(&units[0]);
  Trie trie(keys, values);
  RuneStrArray none;
  EXPECT_EQ(trie.Find(none.begin(), none.end()), nullptr);

  // Every key, and as many probes that are mostly not keys.
  std::vector<Unicode> probes(keys.begin(), keys.end() - 1);
  for (size_t i = 0; i < 3000; ++i) probes.push_back(random_key(6));
  for (const Unicode& probe : probes) {
    RuneStrArray runes;
    for (size_t i = 0; i < probe.size(); ++i) runes.push_back(RuneStr(probe[i], 0, 1, i, 1));
    auto it = reference.find(std::vector<Rune>(probe.begin(), probe.end()));
    const DictUnit* found = trie.Find(runes.begin(), runes.end());
    ASSERT_EQ(found, it == reference.end() ? nullptr : &units[it->second]);
    // A walk sees the same entry and carries its weight.
    const TrieNode* node = trie.RootChild(probe[0]);
    for (size_t i = 1; node != nullptr && i < probe.size(); ++i) node = trie.Child(*node, probe[i]);
    ASSERT_EQ(node != nullptr ? trie.Value(*node) : nullptr, found);
    if (found != nullptr) {
      EXPECT_EQ(node->weight, found->weight);
    }
  }
}

}  // namespace
}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
