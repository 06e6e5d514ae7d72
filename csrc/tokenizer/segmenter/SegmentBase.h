#pragma once

// Usage (every segmenter):
//   MixSegment seg(&dict, &model);
//   std::vector<std::string> words;
//   seg.Cut("小明的北京", words);
//
// Thread safety: Cut is const and keeps its working data in locals, so one
// segmenter may cut on many threads at once; ResetSeparators is a write and
// must not run alongside cuts.
// Throws: cuts throw nothing but std::bad_alloc; the constructor of a
// segmenter that loads its own files throws what DictTrie and HMMModel throw.

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
  // Every segmenter has one core function, which appends the word ranges of
  // one piece (a stretch between separators) using the caller's working
  // buffers, of the segmenter's type Scratch:
  //   void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
  //            Options... options, Scratch& scratch) const;
  // Its other Cut overloads are these adapters over it (Self: the segmenter).

  // A sentence as Word or WordSpan values; its pieces share one Scratch.
  template <class Self, class Out, class... Options>
  void CutSentence(const std::string& sentence, std::vector<Out>& words,
                   Options... options) const {
    typename Self::Scratch scratch;
    std::vector<WordRange> ranges;
    CutSentenceWith<Self>(sentence, words, scratch, ranges, options...);
  }

  // The same with the caller's buffers, which a caller cutting many
  // sentences on one thread keeps, so that a cut allocates nothing once
  // they have grown.
  template <class Self, class Out, class... Options>
  void CutSentenceWith(const std::string& sentence, std::vector<Out>& words,
                       typename Self::Scratch& scratch, std::vector<WordRange>& ranges,
                       Options... options) const {
    const Self& self = static_cast<const Self&>(*this);
    CutPieces(sentence, words, ranges,
              [&](const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res) {
                self.Cut(begin, end, res, options..., scratch);
              });
  }

  // A sentence as strings: the Word form, then the texts.
  template <class Self, class... Options>
  void CutStrings(const std::string& sentence, std::vector<std::string>& words,
                  Options... options) const {
    std::vector<Word> tmp;
    CutSentence<Self>(sentence, tmp, options...);
    GetStringsFromWords(tmp, words);
  }

  // One piece with working buffers of its own.
  template <class Self, class... Options>
  void CutRange(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                Options... options) const {
    typename Self::Scratch scratch;
    static_cast<const Self&>(*this).Cut(begin, end, res, options..., scratch);
  }

  // Splits the sentence at the separators, lets cut_piece append the word
  // ranges of every piece, then turns the ranges into words (Word or
  // WordSpan). wrs is the buffer of ranges, refilled piece by piece.
  template <class Out, class PieceCut>
  void CutPieces(const std::string& sentence, std::vector<Out>& words,
                 std::vector<WordRange>& wrs, PieceCut cut_piece) const {
    PreFilter pre_filter(symbols_, sentence);
    words.clear();
    // About one word per code point at most (a search cut adds a few).
    words.reserve(pre_filter.Size());
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
