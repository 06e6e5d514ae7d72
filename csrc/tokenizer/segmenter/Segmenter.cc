#include "tokenizer/segmenter/Segmenter.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

Segmenter::Segmenter(const std::string& dict_path, const std::string& model_path,
                     const std::string& user_dict_path, const std::string& idfPath,
                     const std::string& stopWordPath)
    : dict_trie_(dict_path, user_dict_path, DictTrie::WordWeightMedian),
      model_(model_path),
      mp_seg_(&dict_trie_),
      hmm_seg_(&model_),
      mix_seg_(&dict_trie_, &model_),
      full_seg_(&dict_trie_),
      query_seg_(&dict_trie_, &model_),
      extractor(&dict_trie_, &model_, idfPath, stopWordPath) {}

void Segmenter::Cut(const std::string& sentence, std::vector<std::string>& words,
                    bool hmm) const {
  mix_seg_.Cut(sentence, words, hmm);
}

void Segmenter::Cut(const std::string& sentence, std::vector<Word>& words, bool hmm) const {
  mix_seg_.Cut(sentence, words, hmm);
}

void Segmenter::Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm) const {
  mix_seg_.Cut(sentence, words, hmm);
}

void Segmenter::Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm,
                    MixSegment::Scratch& scratch) const {
  mix_seg_.Cut(sentence, words, hmm, scratch);
}

void Segmenter::CutForSearch(const std::string& sentence, std::vector<std::string>& words,
                             bool hmm) const {
  query_seg_.Cut(sentence, words, hmm);
}

void Segmenter::CutForSearch(const std::string& sentence, std::vector<Word>& words,
                             bool hmm) const {
  query_seg_.Cut(sentence, words, hmm);
}

void Segmenter::CutForSearch(const std::string& sentence, std::vector<WordSpan>& words,
                             bool hmm) const {
  query_seg_.Cut(sentence, words, hmm);
}

void Segmenter::CutAll(const std::string& sentence, std::vector<std::string>& words) const {
  full_seg_.Cut(sentence, words);
}

void Segmenter::CutAll(const std::string& sentence, std::vector<Word>& words) const {
  full_seg_.Cut(sentence, words);
}

void Segmenter::CutHMM(const std::string& sentence, std::vector<std::string>& words) const {
  hmm_seg_.Cut(sentence, words);
}

void Segmenter::CutHMM(const std::string& sentence, std::vector<Word>& words) const {
  hmm_seg_.Cut(sentence, words);
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
