#include "tokenizer/segmenter/HMMSegment.h"

#include <cstdint>

#include "tokenizer/segmenter/DictTrie.h"
namespace korva {
namespace typing {
namespace text {
namespace segmenter {

namespace {

bool IsAsciiLetter(Rune r) { return ('a' <= r && r <= 'z') || ('A' <= r && r <= 'Z'); }

bool IsAsciiDigit(Rune r) { return '0' <= r && r <= '9'; }

}  // namespace

HMMSegment::HMMSegment(const std::string& filePath)
    : model_(new HMMModel(filePath)), isNeedDestroy_(true) {}

HMMSegment::HMMSegment(const HMMModel* model) : model_(model), isNeedDestroy_(false) {}

HMMSegment::~HMMSegment() {
  if (isNeedDestroy_) {
    delete model_;
  }
}

void HMMSegment::Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                     Scratch& scratch) const {
  const RuneStr* left = begin;
  const RuneStr* right = begin;
  while (right != end) {
    if (right->rune >= 0x80) {
      right++;
      continue;
    }
    if (left != right) {
      InternalCut(left, right, res, scratch);
    }
    left = right;
    right = SequentialLetterRule(left, end);
    if (right == left) {
      right = NumbersRule(left, end);
      if (right == left) {
        right = left + 1;
      }
    }
    res.push_back(WordRange(left, right - 1));
    left = right;
  }
  if (left != right) {
    InternalCut(left, right, res, scratch);
  }
}

const RuneStr* HMMSegment::SequentialLetterRule(const RuneStr* begin,
                                                const RuneStr* end) const {
  if (begin == end || !IsAsciiLetter(begin->rune)) {
    return begin;
  }
  const RuneStr* p = begin + 1;
  while (p != end && (IsAsciiLetter(p->rune) || IsAsciiDigit(p->rune))) {
    p++;
  }
  return p;
}

const RuneStr* HMMSegment::NumbersRule(const RuneStr* begin, const RuneStr* end) const {
  if (begin == end || !IsAsciiDigit(begin->rune)) {
    return begin;
  }
  const RuneStr* p = begin + 1;
  while (p != end && (IsAsciiDigit(p->rune) || p->rune == '.')) {
    p++;
  }
  return p;
}

void HMMSegment::InternalCut(const RuneStr* begin, const RuneStr* end,
                             std::vector<WordRange>& res, Scratch& scratch) const {
  std::vector<size_t>& status = scratch.status;
  Viterbi(begin, end, status, scratch);
  const RuneStr* left = begin;
  for (size_t i = 0; i < status.size(); i++) {
    if (status[i] % 2) {  // E or S closes a word
      res.push_back(WordRange(left, begin + i));
      left = begin + i + 1;
    }
  }
}

void HMMSegment::Viterbi(const RuneStr* begin, const RuneStr* end, std::vector<size_t>& status,
                         Scratch& scratch) const {
  const size_t X = end - begin;
  const size_t Y = HMMModel::STATUS_SUM;
  status.clear();
  if (X == 0) {
    return;
  }
  // Rune-major tables: entry (rune x, state y) lives at x * Y + y, so a step
  // reads the previous rune's four states from one place.
  // Every entry read below is written first, so the tables need no clearing.
  std::vector<double>& weight = scratch.weight;
  std::vector<int32_t>& path = scratch.path;
  if (weight.size() < X * Y) {
    weight.resize(X * Y);
    path.resize(X * Y);
  }

  const double* first_emit = model_->GetEmitProbs(begin->rune);
  for (size_t y = 0; y < Y; y++) {
    weight[y] = model_->startProb[y] + first_emit[y];
    path[y] = -1;
  }

  for (size_t x = 1; x < X; x++) {
    const double* emits = model_->GetEmitProbs((begin + x)->rune);
    for (size_t y = 0; y < Y; y++) {
      double best = MIN_DOUBLE;
      int32_t from = HMMModel::E;
      const double emit = emits[y];
      for (size_t p = 0; p < Y; p++) {
        const double t = (weight[(x - 1) * Y + p] + model_->transProb[p][y]) + emit;
        if (t > best) {
          best = t;
          from = static_cast<int32_t>(p);
        }
      }
      weight[x * Y + y] = best;
      path[x * Y + y] = from;
    }
  }

  const double endE = weight[(X - 1) * Y + HMMModel::E];
  const double endS = weight[(X - 1) * Y + HMMModel::S];
  int32_t stat = endE >= endS ? HMMModel::E : HMMModel::S;

  status.resize(X);
  for (size_t x = X; x-- > 0;) {
    status[x] = static_cast<size_t>(stat);
    stat = path[x * Y + stat];
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
