#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

bool DecodeRunesInString(const char* s, size_t len, RuneStrArray& runes) {
  runes.clear();
  // Offsets are 32-bit; a longer text cannot be positioned.
  if (len > UINT32_MAX) {
    return false;
  }
  runes.reserve(len / 2);
  for (uint32_t i = 0, j = 0; i < len;) {
    RuneStrLite rp = DecodeRuneInString(s + i, len - i);
    if (rp.len == 0) {
      runes.clear();
      return false;
    }
    runes.push_back(RuneStr(rp.rune, i, rp.len, j, 1));
    i += rp.len;
    ++j;
  }
  return true;
}

bool DecodeRunesInString(const std::string& s, RuneStrArray& runes) {
  return DecodeRunesInString(s.data(), s.size(), runes);
}

bool DecodeRunesInString(const char* s, size_t len, Unicode& unicode) {
  unicode.clear();
  RuneStrArray runes;
  if (!DecodeRunesInString(s, len, runes)) {
    return false;
  }
  unicode.reserve(runes.size());
  for (const RuneStr& r : runes) {
    unicode.push_back(r.rune);
  }
  return true;
}

bool DecodeRunesInString(const std::string& s, Unicode& unicode) {
  return DecodeRunesInString(s.data(), s.size(), unicode);
}

Word GetWordFromRunes(const std::string& s, const RuneStr* left, const RuneStr* right) {
  const WordSpan span = GetSpanFromRunes(left, right);
  return Word(s.substr(span.offset, span.length), span.offset, span.unicode_offset,
              span.unicode_length);
}

void GetWordsFromWordRanges(const std::string& s, const std::vector<WordRange>& wrs,
                            std::vector<Word>& words) {
  for (const WordRange& wr : wrs) {
    words.push_back(GetWordFromRunes(s, wr.left, wr.right));
  }
}

void GetWordsFromWordRanges(const std::string&, const std::vector<WordRange>& wrs,
                            std::vector<WordSpan>& spans) {
  for (const WordRange& wr : wrs) {
    spans.push_back(GetSpanFromRunes(wr.left, wr.right));
  }
}

void GetStringsFromWords(const std::vector<Word>& words, std::vector<std::string>& strs) {
  strs.resize(words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    strs[i] = words[i].word;
  }
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
