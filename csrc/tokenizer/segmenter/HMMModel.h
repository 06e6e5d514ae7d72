#pragma once

#include <string>
#include <unordered_map>
#include <vector>
#include <fstream>

#include "tokenizer/segmenter/Unicode.h"

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
  double GetEmitProb(const EmitProbMap* ptMp, Rune key, double defVal) const;
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
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
