#pragma once

// Usage:
//   DictTrie dict("main_dict.txt", "user1.txt|user2.txt");
//   const DictUnit* unit = dict.Find(runes.begin(), runes.end());  // null if no word
//   double weight = unit ? unit->weight : dict.GetMinWeight();
//
// Thread safety: complete when the constructor returns and read-only
// afterwards, so one object serves many threads.
// Throws: the constructor throws util::FatalError (a std::runtime_error) after
// writing a FATAL record, for a path that is no readable regular file, a read
// error, a main-dictionary line without exactly three fields or an empty main
// dictionary. Lookups throw nothing.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <fstream>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "tokenizer/segmenter/Trie.h"
#include "tokenizer/segmenter/Unicode.h"
#include "tokenizer/segmenter/util/Logging.h"
#include "tokenizer/segmenter/util/StringUtil.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

const size_t DICT_COLUMN_NUM = 3;
extern const char* const UNKNOWN_TAG;
// Score of an impossible event.
const double MIN_DOUBLE = -3.14e100;

// The word dictionary: main and user entries with log-probability weights and
// the trie over them.
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
  // base's entries and weights with more user-dictionary lines ("word",
  // "word tag" or "word freq tag"), weighed as base weighs its user words.
  DictTrie(const DictTrie& base, const std::vector<std::string>& user_lines);
  ~DictTrie();

  DictTrie(const DictTrie&) = delete;
  DictTrie& operator=(const DictTrie&) = delete;

  const DictUnit* Find(const RuneStr* begin, const RuneStr* end) const;
  void Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
            size_t max_word_len = MAX_WORD_LENGTH) const;

  // Asked for every lone code point of a cut; most setups have no user
  // dictionary, so the empty case skips hashing.
  bool IsUserDictSingleChineseWord(const Rune& word) const {
    return !user_dict_single_chinese_word_.empty() && user_dict_single_chinese_word_.count(word) > 0;
  }
  const Trie& GetTrie() const { return *trie_; }

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
  void SetWeightStatistics(UserWordWeightOption option);
  static double LeadingDouble(const std::string& s);
  static long long LeadingInteger(const std::string& s);
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

// The loaders live here so that their log records name this header.

inline void DictTrie::LoadDict(const std::string& file_path) {
  std::ifstream ifs = util::OpenInput(file_path);
  CHECK_OR_FATAL(ifs.is_open()) << "open " << file_path << " failed.";
  std::string line;
  std::vector<std::string> buf;
  DictUnit node_info;
  while (util::ReadLine(ifs, line)) {
    util::Split(line, buf, " ");
    CHECK_OR_FATAL(buf.size() == DICT_COLUMN_NUM) << "split result illegal, line:" << line;
    if (MakeNodeInfo(node_info, buf[0], LeadingDouble(buf[1]), buf[2])) {
      static_node_infos_.push_back(node_info);
    }
  }
  CHECK_OR_FATAL(!ifs.bad()) << "read " << file_path << " failed";
}

inline void DictTrie::LoadUserDict(const std::string& file_paths) {
  std::vector<std::string> files = util::Split(file_paths, "|;");
  for (const std::string& file : files) {
    std::ifstream ifs = util::OpenInput(file);
    CHECK_OR_FATAL(ifs.is_open()) << "open " << file << " failed";
    std::string line;
    while (util::ReadLine(ifs, line)) {
      if (line.empty()) {
        continue;
      }
      InserUserDictNode(line);
    }
    CHECK_OR_FATAL(!ifs.bad()) << "read " << file << " failed";
  }
}

inline void DictTrie::InserUserDictNode(const std::string& line) {
  std::vector<std::string> buf = util::Split(line, " ");
  // Lines the cut could never use are reported rather than dropped in silence.
  const char* unusable = nullptr;
  if (line.find('\t') != std::string::npos) {
    unusable = "a tab";
  } else if (buf.size() > DICT_COLUMN_NUM) {
    unusable = "more than three fields";
  } else if (std::find(buf.begin(), buf.end(), std::string()) != buf.end()) {
    unusable = "an empty field";
  }
  if (unusable != nullptr) {
    LOG_RECORD(ERROR) << "user dict line with " << unusable << " skipped: " << line;
    return;
  }
  DictUnit node_info;
  bool ok = false;
  switch (buf.size()) {
    case 1:
      ok = MakeNodeInfo(node_info, buf[0], user_word_default_weight_, UNKNOWN_TAG);
      break;
    case 2:
      // The second field is a tag, not a frequency.
      ok = MakeNodeInfo(node_info, buf[0], user_word_default_weight_, buf[1]);
      break;
    case 3: {
      double freq = static_cast<double>(LeadingInteger(buf[1]));
      ok = MakeNodeInfo(node_info, buf[0], std::log(freq / freq_sum_), buf[2]);
      break;
    }
  }
  if (!ok) {
    return;
  }
  if (node_info.word.size() > MAX_WORD_LENGTH) {
    LOG_RECORD(ERROR) << "user dict word longer than " << MAX_WORD_LENGTH
                      << " characters skipped: " << line;
    return;
  }
  static_node_infos_.push_back(node_info);
  if (node_info.word.size() == 1) {
    user_dict_single_chinese_word_.insert(node_info.word[0]);
  }
}

inline bool DictTrie::MakeNodeInfo(DictUnit& node_info, const std::string& word, double weight,
                                   const std::string& tag) {
  Unicode runes;
  if (!DecodeRunesInString(word, runes)) {
    LOG_RECORD(ERROR) << "Decode " << word << " failed.";
    return false;
  }
  node_info.word = runes;
  node_info.weight = weight;
  node_info.tag = tag;
  return true;
}

inline void DictTrie::SetStaticWordWeights(UserWordWeightOption option) {
  CHECK_OR_FATAL(!static_node_infos_.empty());
  SetWeightStatistics(option);
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
