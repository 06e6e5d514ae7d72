#include "tokenizer/segmenter/QuerySegment.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

QuerySegment::QuerySegment(const DictTrie* dictTrie, const HMMModel* model)
    : mixSeg_(dictTrie, model), trie_(dictTrie) {}

QuerySegment::~QuerySegment() {}

void QuerySegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                       bool hmm, Scratch& scratch) const {
  std::vector<WordRange>& mixRes = scratch.words;
  mixRes.clear();
  mixRes.reserve(static_cast<size_t>(end - begin));
  mixSeg_.Cut(begin, end, mixRes, hmm, scratch);
  for (const WordRange& w : mixRes) {
    const size_t len = w.Length();
    if (len > 2) {
      for (size_t i = 0; i + 1 < len; i++) {
        if (trie_->Find(w.left + i, w.left + i + 2) != nullptr) {
          res.push_back(WordRange(w.left + i, w.left + i + 1));
        }
      }
    }
    if (len > 3) {
      for (size_t i = 0; i + 2 < len; i++) {
        if (trie_->Find(w.left + i, w.left + i + 3) != nullptr) {
          res.push_back(WordRange(w.left + i, w.left + i + 2));
        }
      }
    }
    res.push_back(w);
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
