// Decoder invariants on arbitrary bytes: a decode either fails with nothing
// in the output or covers the text exactly, code point by code point. The
// pre-filter, with the default separators or with separators taken from the
// input, hands out pieces that cover the decoded sentence once, in order. (The
// word converters are checked through the cuts of cut_fuzz.)
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz_check.h"
#include "tokenizer/segmenter/PreFilter.h"
#include "tokenizer/segmenter/SegmentBase.h"
#include "tokenizer/segmenter/Unicode.h"

using namespace korva::typing::text::segmenter;

namespace {

// The lenient decoder as a reference: the lead byte alone sets the length,
// the payload bits are taken whatever the continuation bytes hold (overlong
// forms, surrogates, values past U+10FFFF); only a lead byte of 0xF8 or above
// and a sequence cut off by the end fail, with nothing in *lens.
bool Decode(const uint8_t* data, size_t size, std::vector<uint32_t>* runes,
            std::vector<uint32_t>* lens) {
  for (size_t i = 0; i < size;) {
    const uint8_t b = data[i];
    const size_t n = b < 0x80 ? 1 : b <= 0xDF ? 2 : b <= 0xEF ? 3 : b <= 0xF7 ? 4 : 0;
    if (n == 0 || size - i < n) return runes->clear(), lens->clear(), false;
    uint32_t rune = n == 1 ? b : b & (0xFF >> (n + 1));
    for (size_t k = 1; k < n; ++k) rune = rune << 6 | (data[i + k] & 0x3F);
    runes->push_back(rune);
    lens->push_back(static_cast<uint32_t>(n));
    i += n;
  }
  return true;
}

// Exposes the separator set of the segment base.
class Separators : public SegmentBase {
 public:
  void Cut(const std::string&, std::vector<std::string>&) const override {}
  const std::unordered_set<Rune>& Symbols() const { return symbols_; }
};

void CheckPieces(const std::unordered_set<Rune>& symbols, const std::string& sentence,
                 const RuneStrArray& runes) {
  PreFilter filter(symbols, sentence);
  size_t covered = 0;
  while (filter.HasNext()) {
    PreFilter::Range piece = filter.Next();
    FUZZ_CHECK(piece.begin < piece.end);
    const size_t n = static_cast<size_t>(piece.end - piece.begin);
    // The pieces are the decoded code points in order, wherever they are kept.
    FUZZ_CHECK(covered + n <= runes.size());
    for (size_t k = 0; k < n; ++k) {
      const RuneStr& got = piece.begin[k];
      const RuneStr& want = runes[covered + k];
      FUZZ_CHECK(got.rune == want.rune && got.offset == want.offset && got.len == want.len &&
                 got.unicode_offset == covered + k);
    }
    if (symbols.count(piece.begin->rune) > 0) {
      FUZZ_CHECK(n == 1);
    } else {
      for (const RuneStr* r = piece.begin; r != piece.end; ++r) FUZZ_CHECK(symbols.count(r->rune) == 0);
      // Maximal: a run stops only at a separator or at the end.
      if (covered + n < runes.size()) FUZZ_CHECK(symbols.count(runes[covered + n].rune) > 0);
    }
    covered += n;
  }
  FUZZ_CHECK(covered == runes.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceLogsUnlessAsked();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::vector<uint32_t> want, lens;
  const bool ok = Decode(data, size, &want, &lens);
  // Stale output is replaced, or cleared when the decode fails.
  RuneStrArray runes(1, RuneStr());
  FUZZ_CHECK(DecodeRunesInString(text, runes) == ok);
  FUZZ_CHECK(runes.size() == want.size());
  uint32_t offset = 0;
  for (size_t k = 0; k < runes.size(); ++k) {
    const RuneStr& r = runes[k];
    FUZZ_CHECK(r.rune == want[k] && r.len == lens[k] && r.offset == offset);
    FUZZ_CHECK(r.unicode_offset == k && r.unicode_length == 1);
    offset += r.len;
  }

  Unicode unicode(1, 1);
  FUZZ_CHECK(DecodeRunesInString(text, unicode) == ok);
  FUZZ_CHECK(unicode.size() == runes.size());
  for (size_t k = 0; k < unicode.size(); ++k) FUZZ_CHECK(unicode[k] == runes[k].rune);

  static const Separators defaults;
  CheckPieces(defaults.Symbols(), text, runes);
  // Bytes before the first 0x01 are a separator string of their own.
  const size_t cut = text.find('\x01');
  if (cut != std::string::npos) {
    Separators custom;
    const bool reset = custom.ResetSeparators(text.substr(0, cut));
    const std::string rest = text.substr(cut + 1);
    RuneStrArray rest_runes;
    DecodeRunesInString(rest, rest_runes);
    if (reset) FUZZ_CHECK(!custom.Symbols().empty() || cut == 0);
    CheckPieces(custom.Symbols(), rest, rest_runes);
  }
  return 0;
}
