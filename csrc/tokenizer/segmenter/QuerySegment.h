#pragma once
// Usage:
//   QuerySegment seg(&dict, &model);  // borrows both
//   std::vector<std::string> words;
//   seg.Cut(sentence, words);         // sub-words before each long word
//
// Thread safety: Cut is const and keeps its working data in locals (or a
// caller's Scratch, one per thread), so one object may cut on many threads.
// Throws: only std::bad_alloc.

#include <string>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/MixSegment.h"
#include "tokenizer/segmenter/SegmentBase.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Search-engine mode: the accurate cut, with the two- and three-rune
// dictionary words found inside each longer word emitted before it.
class QuerySegment : public SegmentBase {
 public:
  QuerySegment(const DictTrie* dictTrie, const HMMModel* model);
  ~QuerySegment() override;

  typedef MixSegment::Scratch Scratch;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutStrings<QuerySegment>(sentence, words, true);
  }
  void Cut(const std::string& sentence, std::vector<std::string>& words, bool hmm) const {
    CutStrings<QuerySegment>(sentence, words, hmm);
  }
  void Cut(const std::string& sentence, std::vector<Word>& words, bool hmm = true) const {
    CutSentence<QuerySegment>(sentence, words, hmm);
  }
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm = true) const {
    CutSentence<QuerySegment>(sentence, words, hmm);
  }
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
           bool hmm) const {
    CutRange<QuerySegment>(begin, end, res, hmm);
  }
  // The core: every other Cut comes here.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res, bool hmm,
           Scratch& scratch) const;

 private:
  MixSegment mixSeg_;
  const DictTrie* trie_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
