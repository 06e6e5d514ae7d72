#pragma once
// Usage: built by Segmenter, which hands out its tables:
//   const auto& idf = segmenter.extractor.IdfMap();
//
// Thread safety: immutable once built; the accessors may run on many
// threads at once.
// Throws: the constructor util::FatalError (a std::runtime_error) when the
// IDF or stop-word file cannot be opened or read; a bad line is skipped
// with an ERROR record.

#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/MixSegment.h"
#include "tokenizer/segmenter/util/Logging.h"
#include "tokenizer/segmenter/util/StringUtil.h"

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

// The loaders live in this header so that their log records name it.

inline void KeywordExtractor::LoadIdfDict(const std::string& idfPath) {
  std::ifstream ifs = util::OpenInput(idfPath);
  CHECK_OR_FATAL(ifs.is_open()) << "open " << idfPath << " failed";
  std::string line;
  std::vector<std::string> buf;
  double sum = 0.0;
  size_t lineno = 0;
  for (; util::ReadLine(ifs, line); lineno++) {
    if (line.empty()) {
      LOG_RECORD(ERROR) << "lineno: " << lineno << " empty. skipped.";
      continue;
    }
    util::Split(line, buf, " ");
    if (buf.size() != 2) {
      LOG_RECORD(ERROR) << "line: " << line << ", lineno: " << lineno << " empty. skipped.";
      continue;
    }
    const double idf = util::AtoF(buf[1]);
    idfMap_[buf[0]] = idf;
    sum += idf;
  }
  CHECK_OR_FATAL(!ifs.bad()) << "read " << idfPath << " failed";
  idfAverage_ = sum / lineno;
}

inline void KeywordExtractor::LoadStopWordDict(const std::string& filePath) {
  std::ifstream ifs = util::OpenInput(filePath);
  CHECK_OR_FATAL(ifs.is_open()) << "open " << filePath << " failed";
  std::string line;
  while (util::ReadLine(ifs, line)) {
    stopWords_.insert(line);
  }
  CHECK_OR_FATAL(!ifs.bad()) << "read " << filePath << " failed";
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
