#pragma once
// Usage:
//   RuneStrArray runes;
//   if (DecodeRunesInString(sentence, runes)) ...  // false: not decodable
//   RuneStrLite r = DecodeRuneInString(p, left);   // r.len 0: failed
//
// Thread safety: pure functions. Throws: only std::bad_alloc.
//
// The segmenter's lenient UTF-8 decoding, on which its published cuts
// rest; the toolkit's strict decoder is norvane/utf8.h.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tokenizer/segmenter/util/LocalVector.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

typedef uint32_t Rune;

// One decoded code point with its place in the sentence.
struct RuneStr {
  Rune rune;
  uint32_t offset;          // byte offset of its first byte
  uint32_t len;             // bytes, 1 to 4
  uint32_t unicode_offset;  // index among the sentence's code points
  uint32_t unicode_length;  // 1 for a decoded code point

  RuneStr() : rune(0), offset(0), len(0), unicode_offset(0), unicode_length(0) {}
  RuneStr(Rune r, uint32_t o, uint32_t l, uint32_t uo, uint32_t ul)
      : rune(r), offset(o), len(l), unicode_offset(uo), unicode_length(ul) {}
};

// Result of decoding one code point; len 0 means failure.
struct RuneStrLite {
  uint32_t rune;
  uint32_t len;

  RuneStrLite() : rune(0), len(0) {}
  RuneStrLite(uint32_t r, uint32_t l) : rune(r), len(l) {}
};

typedef util::LocalVector<Rune> Unicode;
typedef util::LocalVector<RuneStr> RuneStrArray;

// A closed range: right points at the last code point of the word.
struct WordRange {
  const RuneStr* left;
  const RuneStr* right;

  WordRange(const RuneStr* l, const RuneStr* r) : left(l), right(r) {}
  size_t Length() const { return static_cast<size_t>(right - left + 1); }
};

struct Word {
  std::string word;
  uint32_t offset;
  uint32_t unicode_offset;
  uint32_t unicode_length;

  Word(const std::string& w, uint32_t o)
      : word(w), offset(o), unicode_offset(0), unicode_length(0) {}
  Word(const std::string& w, uint32_t o, uint32_t uo, uint32_t ul)
      : word(w), offset(o), unicode_offset(uo), unicode_length(ul) {}
};

// Where a word lies in its sentence, for callers that take the word out of the
// sentence themselves and need no copy of its bytes.
struct WordSpan {
  uint32_t offset;  // bytes
  uint32_t length;  // bytes
  uint32_t unicode_offset;
  uint32_t unicode_length;
};

// Lenient: only a lead byte of 0xF8 or above and a sequence cut off by the
// end of the text fail; continuation bytes are not validated. Inline: every
// cut decodes its sentence one code point at a time.
inline RuneStrLite DecodeRuneInString(const char* str, size_t len) {
  RuneStrLite failed(0, 0);
  if (str == nullptr || len == 0) {
    return failed;
  }
  const unsigned char* b = reinterpret_cast<const unsigned char*>(str);
  uint32_t b0 = b[0];
  if (b0 < 0x80) {
    return RuneStrLite(b0, 1);
  }
  if (b0 <= 0xDF) {
    if (len < 2) {
      return failed;
    }
    return RuneStrLite(((b0 & 0x1F) << 6) | (b[1] & 0x3F), 2);
  }
  if (b0 <= 0xEF) {
    if (len < 3) {
      return failed;
    }
    return RuneStrLite(((b0 & 0x0F) << 12) | ((b[1] & 0x3F) << 6) | (b[2] & 0x3F), 3);
  }
  if (b0 <= 0xF7) {
    if (len < 4) {
      return failed;
    }
    return RuneStrLite(
        ((b0 & 0x07) << 18) | ((b[1] & 0x3F) << 12) | ((b[2] & 0x3F) << 6) | (b[3] & 0x3F), 4);
  }
  return failed;
}

// Appends the UTF-8 of cp, a code point other than a surrogate.
inline void AppendUtf8(uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// On failure the output is left empty, never partial.
bool DecodeRunesInString(const char* s, size_t len, RuneStrArray& runes);
bool DecodeRunesInString(const std::string& s, RuneStrArray& runes);
bool DecodeRunesInString(const char* s, size_t len, Unicode& unicode);
bool DecodeRunesInString(const std::string& s, Unicode& unicode);

inline WordSpan GetSpanFromRunes(const RuneStr* left, const RuneStr* right) {
  return WordSpan{left->offset, right->offset + right->len - left->offset, left->unicode_offset,
                  right->unicode_offset + right->unicode_length - left->unicode_offset};
}
Word GetWordFromRunes(const std::string& s, const RuneStr* left, const RuneStr* right);
// Appends one word per range; callers clear words first.
void GetWordsFromWordRanges(const std::string& s, const std::vector<WordRange>& wrs,
                            std::vector<Word>& words);
// Appends one span per range.
void GetWordsFromWordRanges(const std::string& s, const std::vector<WordRange>& wrs,
                            std::vector<WordSpan>& spans);
void GetStringsFromWords(const std::vector<Word>& words, std::vector<std::string>& strs);

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
