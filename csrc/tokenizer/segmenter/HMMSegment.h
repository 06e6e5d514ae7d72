#pragma once
// Usage:
//   HMMSegment seg(&model);             // or HMMSegment seg(model_path)
//   std::vector<std::string> words;
//   seg.Cut(sentence, words);
//
// Thread safety: Cut is const and keeps its working data in locals (or a
// caller's Scratch, one per thread), so one object may cut on many threads.
// Throws: the path constructor what HMMModel throws; cuts only
// std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/SegmentBase.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Cuts without a dictionary: ASCII letters and digits by two fixed rules,
// every other run by Viterbi tagging with the B/E/M/S model.
class HMMSegment : public SegmentBase {
 public:
  // Working tables of the Viterbi search, kept by a caller that cuts many
  // runs so that each run does not allocate its own.
  struct Scratch {
    std::vector<double> weight;
    std::vector<int32_t> path;
    std::vector<size_t> status;
  };

  explicit HMMSegment(const std::string& filePath);
  explicit HMMSegment(const HMMModel* model);
  ~HMMSegment() override;

  HMMSegment(const HMMSegment&) = delete;
  HMMSegment& operator=(const HMMSegment&) = delete;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override {
    CutStrings<HMMSegment>(sentence, words);
  }
  void Cut(const std::string& sentence, std::vector<Word>& words) const {
    CutSentence<HMMSegment>(sentence, words);
  }
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res) const {
    CutRange<HMMSegment>(begin, end, res);
  }
  // The core: every other Cut comes here.
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
           Scratch& scratch) const;

  // Each returns the end of the run it recognises at begin, or begin.
  const RuneStr* SequentialLetterRule(const RuneStr* begin, const RuneStr* end) const;
  const RuneStr* NumbersRule(const RuneStr* begin, const RuneStr* end) const;

  // The words of a run without ASCII, from its Viterbi tags.
  void InternalCut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res) const {
    Scratch scratch;
    InternalCut(begin, end, res, scratch);
  }
  void InternalCut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res,
                   Scratch& scratch) const;
  // The most likely tags of a run (HMMModel::B, E, M, S), ending in E or S.
  // Ties keep the earlier predecessor state, and E before S at the end.
  void Viterbi(const RuneStr* begin, const RuneStr* end, std::vector<size_t>& status) const {
    Scratch scratch;
    Viterbi(begin, end, status, scratch);
  }
  // The same with the tables in scratch (status may be scratch.status).
  void Viterbi(const RuneStr* begin, const RuneStr* end, std::vector<size_t>& status,
               Scratch& scratch) const;

 private:
  const HMMModel* model_;
  bool isNeedDestroy_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
