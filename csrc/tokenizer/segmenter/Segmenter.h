#pragma once

#include <string>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/FullSegment.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/HMMSegment.h"
#include "tokenizer/segmenter/KeywordExtractor.h"
#include "tokenizer/segmenter/MPSegment.h"
#include "tokenizer/segmenter/MixSegment.h"
#include "tokenizer/segmenter/QuerySegment.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Loads the five data files once and serves every cutting mode over one
// shared dictionary and one shared model. Members are declared in the order
// they must be built: the dictionary and the model outlive their borrowers.
class Segmenter {
 public:
  Segmenter(const std::string& dict_path, const std::string& model_path,
            const std::string& user_dict_path, const std::string& idfPath,
            const std::string& stopWordPath);

  Segmenter(const Segmenter&) = delete;
  Segmenter& operator=(const Segmenter&) = delete;

  void Cut(const std::string& sentence, std::vector<std::string>& words, bool hmm = true) const;
  void Cut(const std::string& sentence, std::vector<Word>& words, bool hmm = true) const;
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm = true) const;
  void CutForSearch(const std::string& sentence, std::vector<std::string>& words,
                    bool hmm = true) const;
  void CutForSearch(const std::string& sentence, std::vector<Word>& words,
                    bool hmm = true) const;
  void CutForSearch(const std::string& sentence, std::vector<WordSpan>& words,
                    bool hmm = true) const;
  void CutAll(const std::string& sentence, std::vector<std::string>& words) const;
  void CutAll(const std::string& sentence, std::vector<Word>& words) const;
  void CutHMM(const std::string& sentence, std::vector<std::string>& words) const;
  void CutHMM(const std::string& sentence, std::vector<Word>& words) const;

  const DictTrie* GetDictTrie() const { return &dict_trie_; }
  const HMMModel* GetHMMModel() const { return &model_; }

 private:
  DictTrie dict_trie_;
  HMMModel model_;
  MPSegment mp_seg_;
  HMMSegment hmm_seg_;
  MixSegment mix_seg_;
  FullSegment full_seg_;
  QuerySegment query_seg_;

 public:
  KeywordExtractor extractor;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
