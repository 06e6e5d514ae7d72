#pragma once
// Usage:
//   char32_t cp; size_t n = norvane::DecodeUtf8(p, left, cp);  // 0: not valid
//   norvane::AppendUtf8(cp, out);
//
// Thread safety: pure functions. Throws: AppendUtf8 only std::bad_alloc.
//
// Strict UTF-8, unlike the segmenter's lenient decoder: no overlong forms,
// no surrogates, nothing above U+10FFFF.

#include <cstddef>
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

using korva::typing::text::segmenter::AppendUtf8;

}  // namespace norvane
