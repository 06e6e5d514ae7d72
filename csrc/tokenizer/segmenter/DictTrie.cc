#include "tokenizer/segmenter/DictTrie.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

const char* const UNKNOWN_TAG = "";

namespace {

// Number at the start of the text, 0 when there is none or it does not fit.
// from_chars ignores the locale, unlike strtod.
template <class T>
T LeadingNumber(const std::string& s) {
  T value = 0;
  std::from_chars_result r = std::from_chars(s.data(), s.data() + s.size(), value);
  return r.ec == std::errc() ? value : 0;
}

}  // namespace

double DictTrie::LeadingDouble(const std::string& s) {
  // A "nan" or "inf" frequency would make the sum, and with it every weight
  // of the dictionary, undefined: it counts as no number.
  const double value = LeadingNumber<double>(s);
  return std::isfinite(value) ? value : 0.0;
}

long long DictTrie::LeadingInteger(const std::string& s) {
  return LeadingNumber<long long>(s);
}

DictTrie::DictTrie(const std::string& dict_path, const std::string& user_dict_paths,
                   UserWordWeightOption user_word_weight_opt)
    : freq_sum_(0.0),
      min_weight_(0.0),
      max_weight_(0.0),
      median_weight_(0.0),
      user_word_default_weight_(0.0) {
  Init(dict_path, user_dict_paths, user_word_weight_opt);
}

DictTrie::DictTrie(const DictTrie& base, const std::vector<std::string>& user_lines)
    : static_node_infos_(base.static_node_infos_),
      freq_sum_(base.freq_sum_),
      min_weight_(base.min_weight_),
      max_weight_(base.max_weight_),
      median_weight_(base.median_weight_),
      user_word_default_weight_(base.user_word_default_weight_),
      user_dict_single_chinese_word_(base.user_dict_single_chinese_word_) {
  for (const std::string& line : user_lines) {
    if (!line.empty()) InserUserDictNode(line);
  }
  Shrink();
  CreateTrie();
}

DictTrie::~DictTrie() {}

void DictTrie::Init(const std::string& dict_path, const std::string& user_dict_paths,
                    UserWordWeightOption user_word_weight_opt) {
  LoadDict(dict_path);
  CalcFreqSum();
  CalculateWeight();
  SetStaticWordWeights(user_word_weight_opt);
  if (!user_dict_paths.empty()) {
    LoadUserDict(user_dict_paths);
  }
  Shrink();
  CreateTrie();
}

const DictUnit* DictTrie::Find(const RuneStr* begin, const RuneStr* end) const {
  return trie_->Find(begin, end);
}

void DictTrie::Find(const RuneStr* begin, const RuneStr* end, std::vector<Dag>& res,
                    size_t max_word_len) const {
  trie_->Find(begin, end, res, max_word_len);
}

size_t DictTrie::MemoryBytes() const {
  size_t bytes = static_node_infos_.capacity() * sizeof(DictUnit) + trie_->MemoryBytes();
  for (const DictUnit& unit : static_node_infos_) {
    bytes += unit.word.HeapBytes();
    if (unit.tag.capacity() > 15) {
      bytes += unit.tag.capacity() + 1;
    }
  }
  bytes += user_dict_single_chinese_word_.size() * (sizeof(Rune) + 2 * sizeof(void*)) +
           user_dict_single_chinese_word_.bucket_count() * sizeof(void*);
  return bytes;
}

void DictTrie::CalcFreqSum() {
  freq_sum_ = 0.0;
  for (const DictUnit& unit : static_node_infos_) {
    freq_sum_ += unit.weight;
  }
}

void DictTrie::CalculateWeight() {
  for (DictUnit& unit : static_node_infos_) {
    unit.weight = std::log(unit.weight / freq_sum_);
  }
}

void DictTrie::SetWeightStatistics(UserWordWeightOption option) {
  // A zero or negative frequency gives an infinite or undefined weight; such
  // entries are left out of the statistics, or one of them would make every
  // unknown code point an impossible event (and sorting with NaN is unsafe).
  std::vector<double> weights;
  weights.reserve(static_node_infos_.size());
  for (const DictUnit& unit : static_node_infos_) {
    if (std::isfinite(unit.weight)) {
      weights.push_back(unit.weight);
    }
  }
  if (weights.empty()) {
    min_weight_ = max_weight_ = median_weight_ = MIN_DOUBLE;
  } else {
    // Same values as sorting the copy, in linear time.
    auto extremes = std::minmax_element(weights.begin(), weights.end());
    min_weight_ = *extremes.first;
    max_weight_ = *extremes.second;
    auto median = weights.begin() + static_cast<std::ptrdiff_t>(weights.size() / 2);
    std::nth_element(weights.begin(), median, weights.end());
    median_weight_ = *median;
  }
  switch (option) {
    case WordWeightMin:
      user_word_default_weight_ = min_weight_;
      break;
    case WordWeightMax:
      user_word_default_weight_ = max_weight_;
      break;
    case WordWeightMedian:
    default:
      user_word_default_weight_ = median_weight_;
      break;
  }
}

void DictTrie::Shrink() {
  static_node_infos_.shrink_to_fit();
}

void DictTrie::CreateTrie() {
  std::vector<const DictUnit*> values;
  values.reserve(static_node_infos_.size());
  for (const DictUnit& unit : static_node_infos_) {
    values.push_back(&unit);
  }
  trie_.reset(new Trie(values));
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
