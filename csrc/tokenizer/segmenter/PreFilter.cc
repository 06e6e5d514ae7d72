#include "tokenizer/segmenter/PreFilter.h"

#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

PreFilter::PreFilter(const std::unordered_set<Rune>& symbols, const std::string& sentence)
    : symbols_(symbols) {
  for (Rune rune : symbols_) {
    if (rune < 128) {
      ascii_[rune >> 6] |= uint64_t{1} << (rune & 63);
    } else if (other_count_ < OTHER_SLOTS) {
      other_[other_count_++] = rune;
    } else {
      few_ = false;
    }
  }
  if (!DecodeRunesInString(sentence, sentence_)) {
    LOG_RECORD(ERROR) << "decode failed. ";
  }
  cursor_ = sentence_.begin();
}

PreFilter::Range PreFilter::Next() {
  Range range;
  range.begin = cursor_;
  while (cursor_ != sentence_.end()) {
    if (IsSeparator(cursor_->rune)) {
      if (range.begin == cursor_) {
        ++cursor_;
      }
      range.end = cursor_;
      return range;
    }
    ++cursor_;
  }
  range.end = sentence_.end();
  return range;
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
