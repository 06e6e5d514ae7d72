#include "tokenizer/segmenter/PreFilter.h"

#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

PreFilter::PreFilter(const std::unordered_set<Rune>& symbols, const std::string& sentence)
    : sentence_(sentence), symbols_(symbols) {
  for (Rune rune : symbols_) {
    if (rune < 128) {
      ascii_[rune >> 6] |= uint64_t{1} << (rune & 63);
    } else if (other_count_ < OTHER_SLOTS) {
      other_[other_count_++] = rune;
    } else {
      few_ = false;
    }
  }
  // The whole sentence must decode before any piece is handed out; this pass
  // also counts the code points. Offsets are 32-bit.
  const char* text = sentence.data();
  const size_t size = sentence.size();
  size_t code_points = 0;
  for (size_t i = 0; i < size; ++code_points) {
    const size_t length = size <= UINT32_MAX ? DecodeRuneInString(text + i, size - i).len : 0;
    if (length == 0) {
      LOG_RECORD(ERROR) << "decode failed. ";
      return;
    }
    i += length;
  }
  size_ = code_points;
  end_ = size;
}

PreFilter::Range PreFilter::Next() {
  piece_.clear();
  const char* text = sentence_.data();
  while (position_ < end_) {
    const RuneStrLite rune = DecodeRuneInString(text + position_, end_ - position_);
    // A separator is a piece of its own and ends the piece before it.
    const bool separator = IsSeparator(rune.rune);
    if (separator && !piece_.empty()) break;
    piece_.push_back(RuneStr(rune.rune, static_cast<uint32_t>(position_), rune.len,
                             code_points_++, 1));
    position_ += rune.len;
    if (separator) break;
  }
  return Range{piece_.begin(), piece_.end()};
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
