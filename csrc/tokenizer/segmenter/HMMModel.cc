#include "tokenizer/segmenter/HMMModel.h"

#include <cstdlib>

#include "tokenizer/segmenter/util/Logging.h"
#include "tokenizer/segmenter/util/StringUtil.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

HMMModel::HMMModel(const std::string& modelPath) {
  statMap[B] = 'B';
  statMap[E] = 'E';
  statMap[M] = 'M';
  statMap[S] = 'S';
  for (size_t i = 0; i < STATUS_SUM; i++) {
    startProb[i] = 0.0;
    for (size_t j = 0; j < STATUS_SUM; j++) {
      transProb[i][j] = 0.0;
    }
  }
  emitProbVec.push_back(&emitProbB);
  emitProbVec.push_back(&emitProbE);
  emitProbVec.push_back(&emitProbM);
  emitProbVec.push_back(&emitProbS);
  LoadModel(modelPath);
}

HMMModel::~HMMModel() {}

void HMMModel::LoadModel(const std::string& filePath) {
  std::ifstream ifile(filePath.c_str());
  CHECK_OR_FATAL(ifile.is_open()) << "open " << filePath << " failed";
  std::string line;
  std::vector<std::string> tmp;

  CHECK_OR_FATAL(GetLine(ifile, line));
  util::Split(line, tmp, " ");
  CHECK_OR_FATAL(tmp.size() == STATUS_SUM);
  for (size_t j = 0; j < tmp.size(); j++) {
    startProb[j] = atof(tmp[j].c_str());
  }

  for (size_t i = 0; i < STATUS_SUM; i++) {
    CHECK_OR_FATAL(GetLine(ifile, line));
    util::Split(line, tmp, " ");
    CHECK_OR_FATAL(tmp.size() == STATUS_SUM);
    for (size_t j = 0; j < tmp.size(); j++) {
      transProb[i][j] = atof(tmp[j].c_str());
    }
  }

  CHECK_OR_FATAL(GetLine(ifile, line));
  CHECK_OR_FATAL(LoadEmitProb(line, emitProbB));
  CHECK_OR_FATAL(GetLine(ifile, line));
  CHECK_OR_FATAL(LoadEmitProb(line, emitProbE));
  CHECK_OR_FATAL(GetLine(ifile, line));
  CHECK_OR_FATAL(LoadEmitProb(line, emitProbM));
  CHECK_OR_FATAL(GetLine(ifile, line));
  CHECK_OR_FATAL(LoadEmitProb(line, emitProbS));
}

double HMMModel::GetEmitProb(const EmitProbMap* ptMp, Rune key, double defVal) const {
  EmitProbMap::const_iterator cit = ptMp->find(key);
  if (cit == ptMp->end()) {
    return defVal;
  }
  return cit->second;
}

bool HMMModel::GetLine(std::ifstream& ifile, std::string& line) {
  while (std::getline(ifile, line)) {
    util::Trim(line);
    if (line.empty()) {
      continue;
    }
    if (util::StartsWith(line, "#")) {
      continue;
    }
    return true;
  }
  return false;
}

bool HMMModel::LoadEmitProb(const std::string& line, EmitProbMap& mp) {
  if (line.empty()) {
    return false;
  }
  std::vector<std::string> tmp, tmp2;
  Unicode unicode;
  util::Split(line, tmp, ",");
  for (size_t i = 0; i < tmp.size(); i++) {
    util::Split(tmp[i], tmp2, ":");
    if (2 != tmp2.size()) {
      LOG_RECORD(ERROR) << "emitProb illegal.";
      return false;
    }
    if (!DecodeRunesInString(tmp2[0], unicode) || unicode.size() != 1) {
      LOG_RECORD(ERROR) << "TransCode failed.";
      return false;
    }
    mp[unicode[0]] = atof(tmp2[1].c_str());
  }
  return true;
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
