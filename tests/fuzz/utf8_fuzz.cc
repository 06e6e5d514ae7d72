// Decoder invariants on arbitrary bytes: a decode either fails with nothing
// in the output or covers the text exactly, code point by code point, and the
// word converters give back byte slices of the input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "tokenizer/segmenter/Unicode.h"

using namespace korva::typing::text::segmenter;

namespace {

// Whether the lenient decoder must accept the text: only a lead byte of 0xF8
// or above and a sequence cut off by the end fail.
bool Decodable(const uint8_t* data, size_t size) {
  size_t i = 0;
  while (i < size) {
    uint8_t b = data[i];
    size_t n = b < 0x80 ? 1 : b <= 0xDF ? 2 : b <= 0xEF ? 3 : b <= 0xF7 ? 4 : 0;
    if (n == 0 || size - i < n) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  RuneStrArray runes;
  const bool ok = DecodeRunesInString(text, runes);
  FUZZ_CHECK(ok == Decodable(data, size));
  if (!ok) {
    FUZZ_CHECK(runes.empty());
  } else {
    uint32_t offset = 0;
    for (size_t k = 0; k < runes.size(); ++k) {
      const RuneStr& r = runes[k];
      FUZZ_CHECK(r.offset == offset);
      FUZZ_CHECK(r.len >= 1 && r.len <= 4);
      FUZZ_CHECK(r.unicode_offset == k);
      FUZZ_CHECK(r.unicode_length == 1);
      FUZZ_CHECK(r.rune < 0x200000);
      offset += r.len;
    }
    FUZZ_CHECK(offset == size);
  }

  Unicode unicode;
  FUZZ_CHECK(DecodeRunesInString(text, unicode) == ok);
  FUZZ_CHECK(unicode.size() == runes.size());
  for (size_t k = 0; k < unicode.size(); ++k) FUZZ_CHECK(unicode[k] == runes[k].rune);

  if (runes.empty()) return 0;
  // One range per code point, plus one covering everything: the words
  // concatenate back to the input.
  std::vector<WordRange> ranges;
  for (const RuneStr& r : runes) ranges.emplace_back(&r, &r);
  ranges.emplace_back(runes.begin(), runes.end() - 1);
  std::vector<Word> words;
  GetWordsFromWordRanges(text, ranges, words);
  FUZZ_CHECK(words.size() == ranges.size());
  std::string joined;
  for (size_t k = 0; k + 1 < words.size(); ++k) joined += words[k].word;
  FUZZ_CHECK(joined == text);
  FUZZ_CHECK(words.back().word == text);
  FUZZ_CHECK(words.back().unicode_length == runes.size());

  std::vector<std::string> strings(3, "stale");
  GetStringsFromWords(words, strings);
  FUZZ_CHECK(strings.size() == words.size());
  return 0;
}
