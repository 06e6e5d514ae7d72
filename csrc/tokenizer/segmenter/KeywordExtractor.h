#pragma once

#include <string>
#include <unordered_map>
#include <unordered_set>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/MixSegment.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Resources of keyword extraction: an IDF table, a stop-word list and a
// segmenter of its own over the shared dictionary and model.
class KeywordExtractor {
 public:
  KeywordExtractor(const DictTrie* dictTrie, const HMMModel* model, const std::string& idfPath,
                   const std::string& stopWordPath);

  void LoadIdfDict(const std::string& idfPath);
  void LoadStopWordDict(const std::string& filePath);

  const std::unordered_map<std::string, double>& IdfMap() const { return idfMap_; }
  double IdfAverage() const { return idfAverage_; }
  const std::unordered_set<std::string>& StopWords() const { return stopWords_; }

 private:
  MixSegment segment_;
  std::unordered_map<std::string, double> idfMap_;
  double idfAverage_;
  std::unordered_set<std::string> stopWords_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
