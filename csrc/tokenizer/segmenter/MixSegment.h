#pragma once
// Usage:
//   MixSegment seg(&dict, &model);  // borrows both
//   std::vector<WordSpan> spans;
//   seg.Cut(sentence, spans, /*hmm=*/true);
//
// Thread safety: Cut is const and keeps its working data in locals (or a
// caller's Scratch, one per thread), so one object may cut on many threads.
// Throws: only std::bad_alloc.

#include <string>
#include <utility>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/HMMSegment.h"
#include "tokenizer/segmenter/MPSegment.h"
#include "tokenizer/segmenter/PosTagger.h"
#include "tokenizer/segmenter/SegmentTagged.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Accurate mode: the dictionary cut, with every stretch of single runes that
// the user dictionary does not claim re-cut by the HMM segmenter.
class MixSegment : public SegmentTagged {
 public:
  // Working buffers of one sentence, reused from piece to piece.
  struct Scratch {
    MPSegment::Scratch routes;
    std::vector<WordRange> dict_words;
    std::vector<WordRange> words;  // a piece's accurate cut, for callers that refine it
    HMMSegment::Scratch hmm;
    std::vector<WordRange> ranges;  // a piece's words, in a cut of a whole sentence
  };

  MixSegment(const DictTrie* dictTrie, const HMMModel* model);
  ~MixSegment() override;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutStrings<MixSegment>(sentence, words, true);
  }
  void Cut(const std::string& sentence, std::vector<std::string>& words, bool hmm) const {
    CutStrings<MixSegment>(sentence, words, hmm);
  }
  void Cut(const std::string& sentence, std::vector<Word>& words, bool hmm = true) const {
    CutSentence<MixSegment>(sentence, words, hmm);
  }
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm = true) const {
    CutSentence<MixSegment>(sentence, words, hmm);
  }
  // The same with the caller's buffers (one Scratch per thread).
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm,
           Scratch& scratch) const {
    CutSentenceWith<MixSegment>(sentence, words, scratch, scratch.ranges, hmm);
  }
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
           bool hmm) const {
    CutRange<MixSegment>(begin, end, res, hmm);
  }
  // The core: every other Cut comes here.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res, bool hmm,
           Scratch& scratch) const;

  bool Tag(const std::string& src,
           std::vector<std::pair<std::string, std::string>>& res) const override;
  const DictTrie* GetDictTrie() const override;

 private:
  MPSegment mpSeg_;
  HMMSegment hmmSeg_;
  PosTagger tagger_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
