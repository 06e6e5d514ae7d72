#include "tokenizer/segmenter/KeywordExtractor.h"

#include <cstdlib>
#include <fstream>
#include <vector>

#include "tokenizer/segmenter/util/Logging.h"
#include "tokenizer/segmenter/util/StringUtil.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

KeywordExtractor::KeywordExtractor(const DictTrie* dictTrie, const HMMModel* model,
                                   const std::string& idfPath,
                                   const std::string& stopWordPath)
    : segment_(dictTrie, model), idfAverage_(0.0) {
  LoadIdfDict(idfPath);
  LoadStopWordDict(stopWordPath);
}

void KeywordExtractor::LoadIdfDict(const std::string& idfPath) {
  std::ifstream ifs(idfPath.c_str());
  CHECK_OR_FATAL(ifs.is_open()) << "open " << idfPath << " failed";
  std::string line;
  std::vector<std::string> buf;
  double sum = 0.0;
  size_t lineno = 0;
  for (; std::getline(ifs, line); lineno++) {
    if (line.empty()) {
      LOG_RECORD(ERROR) << "lineno: " << lineno << " empty. skipped.";
      continue;
    }
    util::Split(line, buf, " ");
    if (buf.size() != 2) {
      LOG_RECORD(ERROR) << "line: " << line << ", lineno: " << lineno << " empty. skipped.";
      continue;
    }
    const double idf = atof(buf[1].c_str());
    idfMap_[buf[0]] = idf;
    sum += idf;
  }
  idfAverage_ = sum / lineno;
}

void KeywordExtractor::LoadStopWordDict(const std::string& filePath) {
  std::ifstream ifs(filePath.c_str());
  CHECK_OR_FATAL(ifs.is_open()) << "open " << filePath << " failed";
  std::string line;
  while (std::getline(ifs, line)) {
    stopWords_.insert(line);
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
