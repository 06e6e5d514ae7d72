#include "tokenizer/segmenter/HMMModel.h"

#include "tokenizer/segmenter/DictTrie.h"

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

void HMMModel::IndexEmitProbs() {
  emit_rows_.assign(1, {MIN_DOUBLE, MIN_DOUBLE, MIN_DOUBLE, MIN_DOUBLE});
  emit_index_.assign(EMIT_INDEX_RUNES, 0);
  emit_index_high_.clear();
  for (size_t state = 0; state < STATUS_SUM; ++state) {
    for (const auto& entry : *emitProbVec[state]) {
      uint32_t* row;
      if (entry.first < EMIT_INDEX_RUNES) {
        row = &emit_index_[entry.first];
      } else {
        row = &emit_index_high_[entry.first];
      }
      if (*row == 0) {
        *row = static_cast<uint32_t>(emit_rows_.size());
        emit_rows_.push_back(emit_rows_[0]);
      }
      emit_rows_[*row][state] = entry.second;
    }
  }
}

const double* HMMModel::GetEmitProbs(Rune rune) const {
  if (rune < EMIT_INDEX_RUNES) return emit_rows_[emit_index_[rune]].data();
  const auto found = emit_index_high_.find(rune);
  return emit_rows_[found == emit_index_high_.end() ? 0 : found->second].data();
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
