#include "tokenizer/segmenter/QuerySegment.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

QuerySegment::QuerySegment(const DictTrie* dictTrie, const HMMModel* model)
    : mixSeg_(dictTrie, model), trie_(dictTrie) {}

QuerySegment::~QuerySegment() {}

void QuerySegment::Cut(const std::string& sentence, std::vector<std::string>& words) const {
  Cut(sentence, words, true);
}

void QuerySegment::Cut(const std::string& sentence, std::vector<std::string>& words,
                       bool hmm) const {
  std::vector<Word> tmp;
  Cut(sentence, tmp, hmm);
  GetStringsFromWords(tmp, words);
}

void QuerySegment::Cut(const std::string& sentence, std::vector<Word>& words,
                       bool hmm) const {
  CutSentence(sentence, words, hmm);
}

void QuerySegment::Cut(const std::string& sentence, std::vector<WordSpan>& words,
                       bool hmm) const {
  CutSentence(sentence, words, hmm);
}

template <class Out>
void QuerySegment::CutSentence(const std::string& sentence, std::vector<Out>& words,
                               bool hmm) const {
  MixSegment::Buffers buffers;
  CutPieces(sentence, words,
            [&](const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res) {
              Cut(begin, end, res, hmm, buffers);
            });
}

void QuerySegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                       bool hmm) const {
  MixSegment::Buffers buffers;
  Cut(begin, end, res, hmm, buffers);
}

void QuerySegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                       bool hmm, MixSegment::Buffers& buffers) const {
  std::vector<WordRange>& mixRes = buffers.words;
  mixRes.clear();
  mixRes.reserve(static_cast<size_t>(end - begin));
  mixSeg_.Cut(begin, end, mixRes, hmm, buffers);
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
