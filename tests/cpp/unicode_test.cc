#include "tokenizer/segmenter/Unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korva::typing::text::segmenter {

TEST(Unicode, LenientForms) {
  const struct {
    std::string bytes;
    Rune rune;
    uint32_t len;
  } cases[] = {
      {std::string("\xC0\x80", 2), 0, 2},  // overlong NUL
      {"\x80" "A", 1, 2},                   // stray continuation as lead
      {"\xED\xA0\x80", 0xD800, 3},          // surrogate
      {"\xF7\xBF\xBF\xBF", 0x1FFFFF, 4},    // beyond U+10FFFF
      {"\xE4\x41\x41", 0x4041, 3},          // bad continuations
  };
  for (const auto& c : cases) {
    RuneStrArray runes;
    ASSERT_TRUE(DecodeRunesInString(c.bytes, runes));
    ASSERT_EQ(runes.size(), 1u);
    EXPECT_EQ(runes[0].rune, c.rune);
    EXPECT_EQ(runes[0].len, c.len);
  }
}

TEST(Unicode, FailuresLeaveOutputEmpty) {
  for (const std::string s : {"中文\xE4\xB8", "ab\xFF" "cd", "\xF8\x80\x80\x80\x80", "\xF0\x98"}) {
    RuneStrArray runes(1, RuneStr());
    EXPECT_FALSE(DecodeRunesInString(s, runes)) << s;
    EXPECT_TRUE(runes.empty());
    Unicode unicode(1, 1);
    EXPECT_FALSE(DecodeRunesInString(s, unicode));
    EXPECT_TRUE(unicode.empty());
  }
  EXPECT_EQ(DecodeRuneInString("\xFF", 1).len, 0u);
  EXPECT_EQ(DecodeRuneInString("", 0).len, 0u);
}

TEST(LocalVector, GrowsToHeapAndClearsBackInline) {
  util::LocalVector<int> v;
  for (int i = 0; i < 16; ++i) v.push_back(i);
  const int* inline_storage = v.begin();
  EXPECT_EQ(v.capacity(), 16u);
  v.push_back(v[0]);  // the argument lives in the storage being replaced
  EXPECT_EQ(v.capacity(), 32u);
  EXPECT_EQ(v.size(), 17u);
  EXPECT_EQ(v[16], 0);
  EXPECT_EQ(v[15], 15);

  util::LocalVector<int> copy(v);
  EXPECT_NE(copy.begin(), v.begin());
  ASSERT_EQ(copy.size(), 17u);
  EXPECT_EQ(copy[16], 0);
  util::LocalVector<int> small;
  small.push_back(7);
  copy = small;
  copy = copy;
  EXPECT_EQ(copy.capacity(), 16u);
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0], 7);

  v.clear();
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.begin(), inline_storage);
  v.reserve(100);
  EXPECT_EQ(v.capacity(), 100u);
}

}  // namespace korva::typing::text::segmenter
