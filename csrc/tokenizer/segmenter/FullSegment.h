#pragma once
// Usage:
//   FullSegment seg(&dict);             // or FullSegment seg(dict_path)
//   std::vector<std::string> words;
//   seg.Cut(sentence, words);           // every word of two or more runes
//
// Thread safety: Cut is const and keeps its working data in locals (or a
// caller's Scratch, one per thread), so one object may cut on many threads.
// Throws: the path constructor what DictTrie throws; cuts only
// std::bad_alloc.

#include <string>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/SegmentBase.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Full mode: every dictionary word of two or more runes, overlapping or not,
// plus the runes that no such word covers.
class FullSegment : public SegmentBase {
 public:
  explicit FullSegment(const std::string& dictPath);
  explicit FullSegment(const DictTrie* dictTrie);
  ~FullSegment() override;

  FullSegment(const FullSegment&) = delete;
  FullSegment& operator=(const FullSegment&) = delete;

  // The candidate lists of a piece, reused from piece to piece.
  typedef std::vector<Dag> Scratch;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutStrings<FullSegment>(sentence, words);
  }
  void Cut(const std::string& sentence, std::vector<Word>& words) const {
    CutSentence<FullSegment>(sentence, words);
  }
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res) const {
    CutRange<FullSegment>(begin, end, res);
  }
  // The core: every other Cut comes here.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
           Scratch& dags) const;

 private:
  const DictTrie* dictTrie_;
  bool isNeedDestroy_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
