#pragma once

#include <string>
#include <unordered_set>

#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Decodes one sentence and hands out, in order, the maximal runs of
// non-separators and each separator alone. Lives for one cut call.
class PreFilter {
 public:
  struct Range {
    const RuneStr* begin;
    const RuneStr* end;
  };

  // symbols must outlive the filter. A sentence that does not decode writes
  // an ERROR record and yields no pieces.
  PreFilter(const std::unordered_set<Rune>& symbols, const std::string& sentence);

  PreFilter(const PreFilter&) = delete;
  PreFilter& operator=(const PreFilter&) = delete;

  bool HasNext() const { return cursor_ != sentence_.end(); }
  Range Next();

 private:
  const RuneStr* cursor_;
  RuneStrArray sentence_;
  const std::unordered_set<Rune>& symbols_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
