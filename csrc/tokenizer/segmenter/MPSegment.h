#pragma once
// Usage:
//   MPSegment seg(&dict);  // borrows the dictionary
//   std::vector<std::string> words;
//   seg.Cut(sentence, words);
//
// Thread safety: Cut is const and keeps its working data in locals (or a
// caller's Scratch, one per thread), so one object may cut on many threads.
// Throws: only std::bad_alloc.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/PosTagger.h"
#include "tokenizer/segmenter/SegmentTagged.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Cuts a sentence into the dictionary words with the highest total
// log-probability; a lone code point that is not a word counts with the
// dictionary's minimum weight. Cuts are const and keep their working data in
// locals, so one object may cut on several threads at once.
class MPSegment : public SegmentTagged {
 public:
  // The best cut from one position of a piece to its end: its total weight
  // and the length in code points of its first word.
  struct Route {
    double weight;
    uint32_t length;
  };

  // Borrows the dictionary, which must outlive the segmenter.
  explicit MPSegment(const DictTrie* dictTrie);
  ~MPSegment() override;

  MPSegment(const MPSegment&) = delete;
  MPSegment& operator=(const MPSegment&) = delete;

  // The routes of a piece, reused from piece to piece.
  typedef std::vector<Route> Scratch;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutStrings<MPSegment>(sentence, words, MAX_WORD_LENGTH);
  }
  void Cut(const std::string& sentence, std::vector<std::string>& words,
           size_t max_word_len) const {
    CutStrings<MPSegment>(sentence, words, max_word_len);
  }
  void Cut(const std::string& sentence, std::vector<Word>& words,
           size_t max_word_len = MAX_WORD_LENGTH) const {
    CutSentence<MPSegment>(sentence, words, max_word_len);
  }
  // Appends the ranges of one piece.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
           size_t max_word_len = MAX_WORD_LENGTH) const {
    CutRange<MPSegment>(begin, end, words, max_word_len);
  }
  // The core: every other Cut comes here.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& words,
           size_t max_word_len, Scratch& routes) const;

  bool Tag(const std::string& src,
           std::vector<std::pair<std::string, std::string>>& res) const override;
  const DictTrie* GetDictTrie() const override { return dictTrie_; }

  bool IsUserDictSingleChineseWord(const Rune& value) const {
    return dictTrie_->IsUserDictSingleChineseWord(value);
  }

 private:
  void CalcDP(const RuneStr* begin, const RuneStr* end, size_t max_word_len,
              std::vector<Route>& routes) const;
  void CutByDag(const RuneStr* begin, const std::vector<Route>& routes,
                std::vector<WordRange>& words) const;

  const DictTrie* dictTrie_;
  bool isNeedDestroy_;
  PosTagger tagger_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
