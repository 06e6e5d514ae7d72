#include "tokenizer/segmenter/HMMModel.h"

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

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
