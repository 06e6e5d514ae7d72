#include "tokenizer/segmenter/Unicode.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace korva {
namespace typing {
namespace text {
namespace segmenter {
namespace {

void ExpectRune(const RuneStr& r, Rune rune, uint32_t offset, uint32_t len, uint32_t index) {
  EXPECT_EQ(r.rune, rune);
  EXPECT_EQ(r.offset, offset);
  EXPECT_EQ(r.len, len);
  EXPECT_EQ(r.unicode_offset, index);
  EXPECT_EQ(r.unicode_length, 1u);
}

TEST(Unicode, DecodesPositionedCodePoints) {
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString("中文", runes));
  ASSERT_EQ(runes.size(), 2u);
  ExpectRune(runes[0], 0x4E2D, 0, 3, 0);
  ExpectRune(runes[1], 0x6587, 3, 3, 1);

  ASSERT_TRUE(DecodeRunesInString("a\xC3\xA9\xF0\x9F\x98\x80z", runes));
  ASSERT_EQ(runes.size(), 4u);
  ExpectRune(runes[0], 'a', 0, 1, 0);
  ExpectRune(runes[1], 0xE9, 1, 2, 1);
  ExpectRune(runes[2], 0x1F600, 3, 4, 2);
  ExpectRune(runes[3], 'z', 7, 1, 3);

  EXPECT_TRUE(DecodeRunesInString("", runes));
  EXPECT_TRUE(runes.empty());
}

struct LenientCase {
  std::string bytes;
  Rune rune;
  uint32_t len;
};

std::ostream& operator<<(std::ostream& os, const LenientCase& c) {
  return os << "U+" << std::hex << c.rune;
}

class DecodeLenient : public testing::TestWithParam<LenientCase> {};

TEST_P(DecodeLenient, SingleCodePoint) {
  const LenientCase& c = GetParam();
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(c.bytes, runes));
  ASSERT_EQ(runes.size(), 1u);
  EXPECT_EQ(runes[0].rune, c.rune);
  EXPECT_EQ(runes[0].len, c.len);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DecodeLenient,
    testing::Values(LenientCase{std::string("\xC0\x80", 2), 0, 2},  // overlong NUL
                    LenientCase{"\x80" "A", 1, 2},                  // stray continuation as lead
                    LenientCase{"\xED\xA0\x80", 0xD800, 3},          // surrogate
                    LenientCase{"\xF7\xBF\xBF\xBF", 0x1FFFFF, 4},    // beyond U+10FFFF
                    LenientCase{"\xE4\x41\x41", 0x4041, 3},          // bad continuations
                    LenientCase{std::string("\0", 1), 0, 1}));

TEST(Unicode, FailuresLeaveOutputEmpty) {
  const std::string failing[] = {"中文\xE4\xB8", "ab\xFF" "cd", "\xF8\x80\x80\x80\x80", "\xC3",
                                 "\xF0\x9F\x98"};
  for (const std::string& s : failing) {
    RuneStrArray runes;
    runes.push_back(RuneStr());
    EXPECT_FALSE(DecodeRunesInString(s, runes)) << s;
    EXPECT_TRUE(runes.empty());
    Unicode unicode;
    unicode.push_back(1);
    EXPECT_FALSE(DecodeRunesInString(s, unicode));
    EXPECT_TRUE(unicode.empty());
  }
  EXPECT_EQ(DecodeRuneInString("\xFF", 1).len, 0u);
  EXPECT_EQ(DecodeRuneInString("", 0).len, 0u);
}

TEST(Unicode, DecodesBareCodePoints) {
  std::string text;
  for (int i = 0; i < 20; ++i) {
    text += "中";
  }
  text += "x";
  Unicode unicode;
  ASSERT_TRUE(DecodeRunesInString(text.data(), text.size(), unicode));
  ASSERT_EQ(unicode.size(), 21u);
  EXPECT_EQ(unicode[19], 0x4E2Du);
  EXPECT_EQ(unicode[20], Rune('x'));
}

TEST(Unicode, WordsFromRanges) {
  std::string s = "中文ab";
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString(s, runes));
  std::vector<WordRange> ranges{WordRange(&runes[0], &runes[1]), WordRange(&runes[2], &runes[3])};
  EXPECT_EQ(ranges[0].Length(), 2u);
  std::vector<Word> words{Word("kept", 9)};
  GetWordsFromWordRanges(s, ranges, words);
  ASSERT_EQ(words.size(), 3u);
  EXPECT_EQ(words[0].word, "kept");
  EXPECT_EQ(words[1].word, "中文");
  EXPECT_EQ(words[1].offset, 0u);
  EXPECT_EQ(words[1].unicode_offset, 0u);
  EXPECT_EQ(words[1].unicode_length, 2u);
  EXPECT_EQ(words[2].word, "ab");
  EXPECT_EQ(words[2].offset, 6u);
  EXPECT_EQ(words[2].unicode_offset, 2u);
  EXPECT_EQ(words[2].unicode_length, 2u);

  std::vector<std::string> strs{"x", "y", "z", "w"};
  GetStringsFromWords(words, strs);
  EXPECT_EQ(strs, (std::vector<std::string>{"kept", "中文", "ab"}));
  GetStringsFromWords({}, strs);
  EXPECT_TRUE(strs.empty());
}

TEST(LocalVector, GrowsToHeapAndClearsBackInline) {
  util::LocalVector<int> v;
  EXPECT_EQ(v.capacity(), 16u);
  for (int i = 0; i < 16; ++i) {
    v.push_back(i);
  }
  const int* inline_storage = v.begin();
  EXPECT_EQ(v.capacity(), 16u);
  v.push_back(v[0]);  // the argument lives in the storage being replaced
  EXPECT_EQ(v.capacity(), 32u);
  EXPECT_NE(v.begin(), inline_storage);
  EXPECT_EQ(v.size(), 17u);
  EXPECT_EQ(v[16], 0);
  EXPECT_EQ(v[15], 15);

  util::LocalVector<int> copy(v);
  EXPECT_EQ(copy.capacity(), 32u);
  EXPECT_NE(copy.begin(), v.begin());
  ASSERT_EQ(copy.size(), 17u);
  EXPECT_EQ(copy[16], 0);

  util::LocalVector<int> small;
  small.push_back(7);
  copy = small;
  EXPECT_EQ(copy.capacity(), 16u);
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0], 7);
  copy = copy;
  EXPECT_EQ(copy[0], 7);

  v.clear();
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.capacity(), 16u);
  EXPECT_EQ(v.begin(), inline_storage);

  v.reserve(8);
  EXPECT_EQ(v.capacity(), 16u);
  v.reserve(100);
  EXPECT_EQ(v.capacity(), 100u);
}

}  // namespace
}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
