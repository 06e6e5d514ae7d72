#pragma once

#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/segmenter/PreFilter.h"
#include "tokenizer/segmenter/Unicode.h"
#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Space, tab, line feed, fullwidth comma, ideographic full stop.
const char* const SPECIAL_SEPARATORS = " \t\n\xEF\xBC\x8C\xE3\x80\x82";

// Every segmenter owns its separator set; a sentence is split at these code
// points before it is cut, and each separator comes out as a word of its own.
class SegmentBase {
 public:
  SegmentBase() { CHECK_OR_FATAL(ResetSeparators(SPECIAL_SEPARATORS)); }
  virtual ~SegmentBase() {}

  virtual void Cut(const std::string& sentence, std::vector<std::string>& words) const = 0;

  // Replaces the separators by the code points of s. On a repeated code point
  // the ones before it stay in the set.
  bool ResetSeparators(const std::string& s) {
    symbols_.clear();
    RuneStrArray runes;
    if (!DecodeRunesInString(s, runes)) {
      LOG_RECORD(ERROR) << "decode " << s << " failed";
      return false;
    }
    for (const RuneStr& r : runes) {
      if (!symbols_.insert(r.rune).second) {
        LOG_RECORD(ERROR) << s.substr(r.offset, r.len) << " already exists";
        return false;
      }
    }
    return true;
  }

 protected:
  // The sentence-level driver the segmenters share: split the sentence at the
  // separators, let cut_piece append the word ranges of every piece, then turn
  // the ranges into words (Word or WordSpan).
  template <class Out, class PieceCut>
  void CutPieces(const std::string& sentence, std::vector<Out>& words, PieceCut cut_piece) const {
    PreFilter pre_filter(symbols_, sentence);
    words.clear();
    // About one word per code point at most (a search cut adds a few).
    words.reserve(pre_filter.Size());
    // One buffer of ranges, refilled piece by piece, instead of one for the
    // whole sentence.
    std::vector<WordRange> wrs;
    while (pre_filter.HasNext()) {
      PreFilter::Range range = pre_filter.Next();
      wrs.clear();
      cut_piece(range.begin, range.end, wrs);
      GetWordsFromWordRanges(sentence, wrs, words);
    }
  }

  std::unordered_set<Rune> symbols_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
