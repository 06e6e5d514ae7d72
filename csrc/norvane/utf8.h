#pragma once
// Usage:
//   char32_t cp; size_t n = norvane::DecodeUtf8(p, left, cp);  // 0: not valid
//   size_t m = norvane::DecodeUtf8OrReplacement(p, left, cp);  // never 0
//   norvane::AppendUtf8(cp, out);
//   bool ok = norvane::ValidUtf8(bytes, size);
//
// Thread safety: pure functions. Throws: AppendUtf8 only std::bad_alloc.
//
// The toolkit's one UTF-8 decoder and validator. Strict UTF-8, unlike the
// segmenter's lenient decoder (which pynorvane's published cuts rest on):
// no overlong forms, no surrogates, nothing above U+10FFFF.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "tokenizer/segmenter/Unicode.h"

namespace norvane {

// The length of the sequence at p (at most `left` bytes), 0 when it is not
// valid; cp is its code point.
inline size_t DecodeUtf8(const unsigned char* p, size_t left, char32_t& cp) {
  const unsigned b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (left < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (p[k] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

// As DecodeUtf8, for a caller that walks bytes not known to be UTF-8: a
// byte that does not start a valid sequence reads as U+FFFD of one byte.
inline size_t DecodeUtf8OrReplacement(const unsigned char* p, size_t left, char32_t& cp) {
  const size_t len = DecodeUtf8(p, left, cp);
  if (len != 0) return len;
  cp = 0xFFFD;
  return 1;
}

// Whether text is strict UTF-8, as DecodeUtf8 reads it. Eight ASCII bytes
// and a three-byte sequence of U+1000..U+CFFF or U+E000..U+FFFF (which can
// be neither overlong nor a surrogate) pass without decoding.
inline bool ValidUtf8(const unsigned char* text, size_t size) {
  size_t i = 0;
  while (i < size) {
    if (size - i >= 8) {
      uint64_t word;
      std::memcpy(&word, text + i, 8);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    const unsigned b0 = text[i];
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    // A run of such sequences, one four-byte load each.
    uint32_t four;
    while (size - i >= 4 && (std::memcpy(&four, text + i, 4), (four & 0xC0C000u) == 0x808000u) &&
           (four & 0xFFu) - 0xE1u <= 0xEFu - 0xE1u && (four & 0xFFu) != 0xEDu) {
      i += 3;
    }
    if (i >= size || text[i] < 0x80) continue;
    if (size - i >= 3 && text[i] >= 0xE1 && text[i] != 0xED && text[i] <= 0xEF &&
        (text[i + 1] & 0xC0) == 0x80 && (text[i + 2] & 0xC0) == 0x80) {
      i += 3;
    } else {
      char32_t cp;
      const size_t len = DecodeUtf8(text + i, size - i, cp);
      if (len == 0) return false;
      i += len;
    }
  }
  return true;
}

using korva::typing::text::segmenter::AppendUtf8;

}  // namespace norvane
