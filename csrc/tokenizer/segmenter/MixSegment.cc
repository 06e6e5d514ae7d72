#include "tokenizer/segmenter/MixSegment.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

MixSegment::MixSegment(const DictTrie* dictTrie, const HMMModel* model)
    : mpSeg_(dictTrie), hmmSeg_(model) {}

MixSegment::~MixSegment() {}

void MixSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                     bool hmm, Scratch& scratch) const {
  if (!hmm) {
    mpSeg_.Cut(begin, end, res, MAX_WORD_LENGTH, scratch.routes);
    return;
  }
  // A piece has at most one word per code point: room for the longest piece
  // so far saves growing the buffer word by word.
  std::vector<WordRange>& words = scratch.dict_words;
  words.clear();
  words.reserve(static_cast<size_t>(end - begin));
  mpSeg_.Cut(begin, end, words, MAX_WORD_LENGTH, scratch.routes);

  // A word the dictionary grouped, or a single rune the user dictionary
  // declared, stands as it is; runs of other single runes go to the HMM.
  auto keeps = [this](const WordRange& w) {
    return w.left != w.right || mpSeg_.IsUserDictSingleChineseWord(w.left->rune);
  };
  size_t i = 0;
  while (i < words.size()) {
    if (keeps(words[i])) {
      res.push_back(words[i]);
      i++;
      continue;
    }
    size_t j = i + 1;
    while (j < words.size() && !keeps(words[j])) {
      j++;
    }
    if (j == i + 1) {
      // The model cuts a single code point into itself whatever it holds.
      res.push_back(words[i]);
      i = j;
      continue;
    }
    hmmSeg_.Cut(words[i].left, words[j - 1].left + 1, res, scratch.hmm);
    i = j;
  }
}

bool MixSegment::Tag(const std::string& src,
                     std::vector<std::pair<std::string, std::string>>& res) const {
  return tagger_.Tag(src, res, *this);
}

const DictTrie* MixSegment::GetDictTrie() const { return mpSeg_.GetDictTrie(); }

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
