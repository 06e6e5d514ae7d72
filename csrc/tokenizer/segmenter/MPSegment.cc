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

void MPSegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  Cut(sentence, words, MAX_WORD_LENGTH);
}

void MPSegment::Cut(const std::string& sentence, std::vector<std::string>& words,
                    size_t max_word_len) const {
  std::vector<Word> tmp;
  Cut(sentence, tmp, max_word_len);
  GetStringsFromWords(tmp, words);
}

void MPSegment::Cut(const std::string& sentence, std::vector<Word>& words,
                    size_t max_word_len) const {
  CutPieces(sentence, words,
            [&](const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& wrs) {
              Cut(begin, end, wrs, max_word_len);
            });
}

void MPSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
                    size_t max_word_len) const {
  std::vector<Dag> dags;
  Cut(begin, end, words, max_word_len, dags);
}

void MPSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
                    size_t max_word_len, std::vector<Dag>& dags) const {
  dictTrie_->Find(begin, end, dags, max_word_len);
  CalcDP(dags);
  CutByDag(begin, end, dags, words);
}

bool MPSegment::Tag(const std::string& src,
                    std::vector<std::pair<std::string, std::string>>& res) const {
  return tagger_.Tag(src, res, *this);
}

void MPSegment::CalcDP(std::vector<Dag>& dags) const {
  double min_weight = dictTrie_->GetMinWeight();
  size_t n = dags.size();
  for (size_t i = n; i-- > 0;) {
    Dag& dag = dags[i];
    dag.pInfo = nullptr;
    dag.weight = MIN_DOUBLE;
    for (const auto& next : dag.nexts) {
      size_t j = next.first;
      const DictUnit* p = next.second;
      double value =
          (j + 1 < n ? dags[j + 1].weight : 0.0) + (p != nullptr ? p->weight : min_weight);
      // Strictly greater: ties keep the shorter word, and NaN never wins.
      if (value > dag.weight) {
        dag.pInfo = p;
        dag.weight = value;
      }
    }
  }
}

void MPSegment::CutByDag(const RuneStr* begin, const RuneStr*, const std::vector<Dag>& dags,
                         std::vector<WordRange>& words) const {
  size_t i = 0;
  while (i < dags.size()) {
    const DictUnit* p = dags[i].pInfo;
    size_t length = p != nullptr ? p->word.size() : 1;
    words.push_back(WordRange(begin + i, begin + i + length - 1));
    i += length;
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
