#include "tokenizer/segmenter/PreFilter.h"

#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

PreFilter::PreFilter(const std::unordered_set<Rune>& symbols, const std::string& sentence)
    : symbols_(symbols) {
  if (!DecodeRunesInString(sentence, sentence_)) {
    LOG_RECORD(ERROR) << "decode failed. ";
  }
  cursor_ = sentence_.begin();
}

PreFilter::Range PreFilter::Next() {
  Range range;
  range.begin = cursor_;
  while (cursor_ != sentence_.end()) {
    if (symbols_.count(cursor_->rune) > 0) {
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
