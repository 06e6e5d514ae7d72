#pragma once

// Usage:
//   Segmenter seg(dict_path, hmm_path, user_dict_paths, idf_path, stop_word_path);
//   std::vector<std::string> words;
//   seg.Cut("我爱北京天安门", words, /*hmm=*/true);  // accurate mode
//   seg.CutForSearch("中华人民共和国", words);       // plus sub-words of long words
//
// Thread safety: construction is the only write; every const method may be
// called from many threads at once on one object.
// Throws: the constructor throws util::FatalError (a std::runtime_error) with
// the FATAL record's message when a loader refuses a data file. Cuts throw
// nothing but std::bad_alloc; bytes that are not UTF-8 give no words and an
// ERROR record on standard error.

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
  // The same with working buffers the caller keeps for its next cuts (one per
  // thread).
  void Cut(const std::string& sentence, std::vector<WordSpan>& words, bool hmm,
           MixSegment::Scratch& scratch) const;
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
