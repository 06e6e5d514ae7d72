#pragma once
// Usage (inside a cut):
//   PreFilter filter(separators, sentence);
//   while (filter.HasNext()) { PreFilter::Range piece = filter.Next(); ... }
//
// Thread safety: one filter per cut call; the separator set is only read.
// Throws: only std::bad_alloc. A sentence that does not decode writes an
// ERROR record to standard error and yields no pieces.

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>

#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Hands out, in order, the maximal runs of non-separators of one sentence and
// each separator alone, decoding one piece at a time: a range stays valid
// until the next call of Next. Lives for one cut call.
class PreFilter {
 public:
  struct Range {
    const RuneStr* begin;
    const RuneStr* end;
  };

  // symbols and sentence must outlive the filter. A sentence that does not
  // decode writes an ERROR record and yields no pieces.
  PreFilter(const std::unordered_set<Rune>& symbols, const std::string& sentence);

  PreFilter(const PreFilter&) = delete;
  PreFilter& operator=(const PreFilter&) = delete;

  bool HasNext() const { return position_ < end_; }
  // Code points of the sentence.
  size_t Size() const { return size_; }
  Range Next();

 private:
  bool IsSeparator(Rune rune) const {
    if (rune < 128) return (ascii_[rune >> 6] >> (rune & 63)) & 1;
    if (!few_) return symbols_.count(rune) > 0;
    // Most code points share their low six bits with no separator.
    if (((other_bits_ >> (rune & 63)) & 1) == 0) return false;
    for (size_t i = 0; i < other_count_; ++i) {
      if (other_[i] == rune) return true;
    }
    return false;
  }

  // Decoded runs are a small part of a long text: decoding the whole text
  // at once took 20 bytes per code point on top of the result.
  const std::string& sentence_;
  size_t position_ = 0;  // byte offset of the next piece
  size_t end_ = 0;       // the sentence's size, or 0 when it does not decode
  uint32_t code_points_ = 0;  // code points before position_
  size_t size_ = 0;
  RuneStrArray piece_;
  const std::unordered_set<Rune>& symbols_;
  // The separators copied for a quicker test than hashing every code point:
  // the ASCII ones as bits, up to OTHER_SLOTS others in a list (the set is
  // asked when there are more).
  static const size_t OTHER_SLOTS = 8;
  uint64_t ascii_[2] = {0, 0};
  Rune other_[OTHER_SLOTS] = {};
  uint64_t other_bits_ = 0;  // bit r & 63 set for every r in other_
  size_t other_count_ = 0;
  bool few_ = true;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
