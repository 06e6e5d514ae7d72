#include "tokenizer/segmenter/PreFilter.h"

#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

namespace {

// Bytes of the sequence each lead byte starts as DecodeRuneInString reads
// it, 0 where it fails: the check of a whole sentence without decoding.
struct LeadLengths {
  unsigned char bytes[256];
  constexpr LeadLengths() : bytes() {
    for (int b = 0; b < 256; ++b) {
      bytes[b] = b < 0x80 ? 1 : b <= 0xDF ? 2 : b <= 0xEF ? 3 : b <= 0xF7 ? 4 : 0;
    }
  }
};
constexpr LeadLengths kLeadLength;

}  // namespace

PreFilter::PreFilter(const std::unordered_set<Rune>& symbols, const std::string& sentence)
    : sentence_(sentence), symbols_(symbols) {
  for (Rune rune : symbols_) {
    if (rune < 128) {
      ascii_[rune >> 6] |= uint64_t{1} << (rune & 63);
    } else if (other_count_ < OTHER_SLOTS) {
      other_[other_count_++] = rune;
      other_bits_ |= uint64_t{1} << (rune & 63);
    } else {
      few_ = false;
    }
  }
  // The whole sentence must decode before any piece is handed out; this pass
  // also counts the code points. Offsets are 32-bit.
  const auto* text = reinterpret_cast<const unsigned char*>(sentence.data());
  const size_t size = sentence.size();
  size_t code_points = 0;
  for (size_t i = 0; i < size; ++code_points) {
    const size_t length = kLeadLength.bytes[text[i]];
    if (length == 0 || size - i < length || size > UINT32_MAX) {
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
    // A three-byte sequence, most of Chinese text, decoded without the
    // general checks; the same value DecodeRuneInString gives.
    const auto* b = reinterpret_cast<const unsigned char*>(text + position_);
    const RuneStrLite rune =
        (b[0] & 0xF0) == 0xE0 && end_ - position_ >= 3
            ? RuneStrLite(((b[0] & 0x0Fu) << 12) | ((b[1] & 0x3Fu) << 6) | (b[2] & 0x3Fu), 3)
            : DecodeRuneInString(text + position_, end_ - position_);
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
