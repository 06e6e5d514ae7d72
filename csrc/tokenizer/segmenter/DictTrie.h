#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/segmenter/Trie.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

const size_t DICT_COLUMN_NUM = 3;
extern const char* const UNKNOWN_TAG;
// Score of an impossible event.
const double MIN_DOUBLE = -3.14e100;

// The word dictionary: main and user entries with log-probability weights and
// the trie over them. Complete when the constructor returns and read-only
// afterwards, so one object serves many threads. A missing file or a broken
// main line writes a FATAL record and throws util::FatalError.
class DictTrie {
 public:
  enum UserWordWeightOption {
    WordWeightMin = 0,
    WordWeightMedian = 1,
    WordWeightMax = 2,
  };

  // user_dict_paths lists files separated by '|' or ';'.
  explicit DictTrie(const std::string& dict_path, const std::string& user_dict_paths = "",
                    UserWordWeightOption user_word_weight_opt = WordWeightMedian);
  ~DictTrie();

  DictTrie(const DictTrie&) = delete;
  DictTrie& operator=(const DictTrie&) = delete;

  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const;
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
            size_t max_word_len = MAX_WORD_LENGTH) const;

  bool IsUserDictSingleChineseWord(const Rune& word) const;

  double GetMinWeight() const { return min_weight_; }
  double GetMaxWeight() const { return max_weight_; }
  double GetMedianWeight() const { return median_weight_; }
  double GetFreqSum() const { return freq_sum_; }
  double GetUserWordDefaultWeight() const { return user_word_default_weight_; }
  size_t Size() const { return static_node_infos_.size(); }
  // Heap bytes held by the entries and the trie (approximate for the tags
  // and the single-word set).
  size_t MemoryBytes() const;

 private:
  void Init(const std::string& dict_path, const std::string& user_dict_paths,
            UserWordWeightOption user_word_weight_opt);
  void LoadDict(const std::string& file_path);
  void LoadUserDict(const std::string& file_paths);
  void InserUserDictNode(const std::string& line);
  bool MakeNodeInfo(DictUnit& node_info, const std::string& word, double weight,
                    const std::string& tag);
  void CalcFreqSum();
  void CalculateWeight();
  void SetStaticWordWeights(UserWordWeightOption option);
  void Shrink();
  void CreateTrie();

  std::vector<DictUnit> static_node_infos_;
  std::unique_ptr<Trie> trie_;
  double freq_sum_;
  double min_weight_;
  double max_weight_;
  double median_weight_;
  double user_word_default_weight_;
  std::unordered_set<Rune> user_dict_single_chinese_word_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
