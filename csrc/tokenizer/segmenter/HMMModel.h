#pragma once

// Usage:
//   HMMModel model("hmm_model.txt");
//   const double* emit = model.GetEmitProbs(rune);  // emit[HMMModel::B..S]
//
// Thread safety: loaded by the constructor and read-only afterwards, so one
// object serves many threads.
// Throws: the constructor throws util::FatalError (a std::runtime_error) after
// writing a FATAL record, for a path that is no readable regular file, a read
// error, a short file, a row without four values or a malformed emission
// line. Lookups throw nothing.

#include <array>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "tokenizer/segmenter/Unicode.h"
#include "tokenizer/segmenter/util/Logging.h"
#include "tokenizer/segmenter/util/StringUtil.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

typedef std::unordered_map<Rune, double> EmitProbMap;

// Parameters of the four-state tagger used on runs the dictionary leaves as
// single characters. Loaded once from the model file, read-only afterwards.
class HMMModel {
 public:
  enum { B = 0, E = 1, M = 2, S = 3, STATUS_SUM = 4 };

  explicit HMMModel(const std::string& modelPath);
  ~HMMModel();

  // emitProbVec points into this object, so a copy would dangle.
  HMMModel(const HMMModel&) = delete;
  HMMModel& operator=(const HMMModel&) = delete;

  void LoadModel(const std::string& filePath);
  // The emission value of key in one state's map, defVal where it has none.
  double GetEmitProb(const EmitProbMap* ptMp, Rune key, double defVal) const {
    EmitProbMap::const_iterator cit = ptMp->find(key);
    return cit == ptMp->end() ? defVal : cit->second;
  }
  // The emission log-probabilities of `rune` in states B, E, M, S, each
  // MIN_DOUBLE where its map has none, from one lookup: what the decoder
  // reads per code point. Kept in step with the maps by LoadModel.
  const double* GetEmitProbs(Rune rune) const;
  bool GetLine(std::ifstream& ifile, std::string& line);
  bool LoadEmitProb(const std::string& line, EmitProbMap& mp);

  char statMap[STATUS_SUM];
  double startProb[STATUS_SUM];
  double transProb[STATUS_SUM][STATUS_SUM];
  EmitProbMap emitProbB;
  EmitProbMap emitProbE;
  EmitProbMap emitProbM;
  EmitProbMap emitProbS;
  std::vector<EmitProbMap*> emitProbVec;

 private:
  void IndexEmitProbs();

  // Rows of four emission values; row 0 is the one for unknown code points.
  std::vector<std::array<double, STATUS_SUM>> emit_rows_;
  // Row per code point: by direct index below EMIT_INDEX_RUNES, by hash
  // above (0 for unknown).
  static constexpr Rune EMIT_INDEX_RUNES = 0x10000;
  std::vector<uint32_t> emit_index_;
  std::unordered_map<Rune, uint32_t> emit_index_high_;
};

// The loaders live in this header so that their log records name it.

inline void HMMModel::LoadModel(const std::string& filePath) {
  std::ifstream ifile = util::OpenInput(filePath);
  CHECK_OR_FATAL(ifile.is_open()) << "open " << filePath << " failed";
  std::string line;
  std::vector<std::string> tmp;

  CHECK_OR_FATAL(GetLine(ifile, line));
  util::Split(line, tmp, " ");
  CHECK_OR_FATAL(tmp.size() == STATUS_SUM);
  for (size_t j = 0; j < tmp.size(); j++) {
    startProb[j] = util::AtoF(tmp[j]);
  }

  for (size_t i = 0; i < STATUS_SUM; i++) {
    CHECK_OR_FATAL(GetLine(ifile, line));
    util::Split(line, tmp, " ");
    CHECK_OR_FATAL(tmp.size() == STATUS_SUM);
    for (size_t j = 0; j < tmp.size(); j++) {
      transProb[i][j] = util::AtoF(tmp[j]);
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
  IndexEmitProbs();
}

inline bool HMMModel::GetLine(std::ifstream& ifile, std::string& line) {
  while (util::ReadLine(ifile, line)) {
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

inline bool HMMModel::LoadEmitProb(const std::string& line, EmitProbMap& mp) {
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
    mp[unicode[0]] = util::AtoF(tmp2[1]);
  }
  return true;
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
