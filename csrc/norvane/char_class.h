#pragma once
// Usage:
//   if (norvane::IsWordChar(cp)) ...    // a letter or digit
//   if (norvane::IsIdeograph(cp)) ...   // a CJK ideograph (or 々 〆 〇)
//
// Thread safety: pure functions. Throws: nothing.
//
// The one rule for "letter or digit" against "space, punctuation or
// symbol" in the toolkit: the sparse encoder's tokens and n-grams, and the
// tokenizer's keywords (a word of no letter or digit is none). It follows
// Unicode's categories (L* and N* are word characters; P*, S*, Z*, M* and
// C* are not) in Latin-1, General Punctuation, the currency signs, U+2190..
// U+2BFF (arrows to miscellaneous symbols), CJK Symbols and Punctuation,
// the CJK ideographs and the full-width forms up to U+FF65, except for
// numbers and marks that text of these languages uses as bullets and
// signs: ¼ ½ ¾, the circled, parenthesised and dotted numbers U+2460..
// U+249B, U+24EA..U+24FF and U+2776..U+2793, and U+3021..U+3029,
// U+3031..U+3035, U+3038..U+303C (Hangzhou numerals, kana repeat marks).
// Outside those blocks every character is a word character, category
// aside, except in private use (U+E000..U+F8FF), the vertical and small
// forms (U+FE10..U+FE6F), the specials (U+FFF0..U+FFFF) and the emoji and
// pictographs (U+1F000..U+1FAFF): a cheap test for the common case, where
// text of other scripts is taken whole. tests/test_char_class.py checks
// every code point against unicodedata.

namespace norvane {

inline bool IsWordChar(char32_t c) {
  if (c >= 0x4E00 && c <= 0x9FFF) return true;  // most of the text: CJK ideographs
  if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  if (c < 0xC0) return c == 0xAA || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB9 || c == 0xBA;
  if (c < 0x100) return c != 0xD7 && c != 0xF7;
  if (c >= 0x2000 && c <= 0x206F) return false;  // general punctuation
  if (c >= 0x20A0 && c <= 0x20CF) return false;  // currency
  if (c >= 0x2190 && c <= 0x2BFF) return false;  // arrows, maths, boxes, symbols
  if (c >= 0x3000 && c <= 0x303F) return c >= 0x3005 && c <= 0x3007;  // CJK punctuation
  if (c >= 0xFE10 && c <= 0xFE6F) return false;  // vertical and small forms
  if (c >= 0xFF00 && c <= 0xFF65) {
    return (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF3A) ||
           (c >= 0xFF41 && c <= 0xFF5A);
  }
  if (c >= 0xFFF0 && c <= 0xFFFF) return false;  // specials, the replacement mark
  if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use
  if (c >= 0x1F000 && c <= 0x1FAFF) return false;  // emoji and pictographs
  return true;
}

// Ideographs: characters a retrieval word never joins across by script.
inline bool IsIdeograph(char32_t c) {
  return (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x3FFFF) ||
         (c >= 0x3005 && c <= 0x3007);
}

}  // namespace norvane
