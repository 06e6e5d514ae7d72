#include "tokenizer/segmenter/MPSegment.h"

#include <stdexcept>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

MPSegment::MPSegment(const DictTrie* dictTrie) : dictTrie_(dictTrie), isNeedDestroy_(false) {
  if (dictTrie_ == nullptr) {
    throw std::invalid_argument("MPSegment needs a dictionary");
  }
}

MPSegment::~MPSegment() {
  if (isNeedDestroy_) {
    delete dictTrie_;
  }
}

void MPSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
                    size_t max_word_len, Scratch& routes) const {
  CalcDP(begin, end, max_word_len, routes);
  CutByDag(begin, routes, words);
}

bool MPSegment::Tag(const std::string& src,
                    std::vector<std::pair<std::string, std::string>>& res) const {
  return tagger_.Tag(src, res, *this);
}

// The candidates of a position are the words starting there, shortest first,
// beginning with its lone code point (a word or not); each is weighed against
// the best route after it as soon as the trie walk finds it, so no candidate
// lists are kept. Positions go from the end of the piece backwards, which
// makes the routes after any word known when it is found.
void MPSegment::CalcDP(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
                       std::vector<Route>& routes) const {
  const Trie& trie = dictTrie_->GetTrie();
  const double min_weight = dictTrie_->GetMinWeight();
  const size_t n = begin < end ? static_cast<size_t>(end - begin) : 0;
  routes.resize(n + 1);
  routes[n] = Route{0.0, 0};
  for (size_t i = n; i-- > 0;) {
    Route best{MIN_DOUBLE, 1};
    const TrieNode* node = trie.RootChild(begin[i].rune);
    const double single = node != nullptr && node->HasValue() ? node->weight : min_weight;
    // Strictly greater: ties keep the shorter word, and NaN never wins.
    const double alone = routes[i + 1].weight + single;
    if (alone > best.weight) best.weight = alone;
    for (size_t j = i + 1; node != nullptr && j < n && j - i + 1 <= max_word_len; ++j) {
      node = trie.Child(*node, begin[j].rune);
      if (node != nullptr && node->HasValue()) {
        const double value = routes[j + 1].weight + node->weight;
        if (value > best.weight) {
          best.weight = value;
          best.length = static_cast<uint32_t>(j - i + 1);
        }
      }
    }
    routes[i] = best;
  }
}

void MPSegment::CutByDag(const RuneStr* begin, const std::vector<Route>& routes,
                         std::vector<WordRange>& words) const {
  const size_t n = routes.size() - 1;
  for (size_t i = 0; i < n; i += routes[i].length) {
    words.push_back(WordRange(begin + i, begin + i + routes[i].length - 1));
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
