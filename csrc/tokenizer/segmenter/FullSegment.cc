#include "tokenizer/segmenter/FullSegment.h"

#include <algorithm>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

FullSegment::FullSegment(const std::string& dictPath)
    : dictTrie_(new DictTrie(dictPath)), isNeedDestroy_(true) {}

FullSegment::FullSegment(const DictTrie* dictTrie) : dictTrie_(dictTrie), isNeedDestroy_(false) {}

FullSegment::~FullSegment() {
  if (isNeedDestroy_) {
    delete dictTrie_;
  }
}

void FullSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                      Scratch& dags) const {
  dictTrie_->Find(begin, end, dags, MAX_WORD_LENGTH);
  // First position not covered by any word considered so far.
  size_t maxIdx = 0;
  for (size_t i = 0; i < dags.size(); i++) {
    const Dag& dag = dags[i];
    for (size_t k = 0; k < dag.nexts.size(); k++) {
      const size_t j = dag.nexts[k].first;
      const size_t wordLen = j - i + 1;
      const bool alone = dag.nexts.size() == 1 && maxIdx <= i;
      if (wordLen >= 2 || alone) {
        res.push_back(WordRange(begin + i, begin + j));
      }
      maxIdx = std::max(maxIdx, i + wordLen);
    }
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
