#include "tokenizer/segmenter/util/StringUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korva::typing::text::util {

typedef std::vector<std::string> Pieces;

TEST(StringUtil, Split) {
  const size_t all = static_cast<size_t>(-1);
  const struct {
    std::string src, pattern;
    size_t maxsplit;
    Pieces expected;
  } cases[] = {
      {"", " ", all, {}},
      {"a  b", " ", all, {"a", "", "b"}},  // inner separators give empty pieces,
      {" a", " ", all, {"", "a"}},          // a leading one too,
      {"a b ", " ", all, {"a", "b"}},       // a trailing one does not
      {"   ", " ", all, {"", "", ""}},
      {"a b c", " ", 1, {"a", "b c"}},
      {"a ", " ", 0, {"a "}},
      {"a.txt|b;c", "|;", all, {"a.txt", "b", "c"}},
      {"ab", "", all, {"ab"}},
  };
  for (const auto& c : cases) {
    Pieces out{"stale"};
    Split(c.src, out, c.pattern, c.maxsplit);
    EXPECT_EQ(out, c.expected) << "'" << c.src << "' on '" << c.pattern << "'";
    EXPECT_EQ(Split(c.src, c.pattern, c.maxsplit), c.expected);
  }
}

TEST(StringUtil, TrimStartsWithAndIsSpace) {
  std::string s = " \t\r\n\v\fab c\r\n ", left = "  a ", right = "  a ";
  EXPECT_EQ(Trim(s), "ab c");
  EXPECT_EQ(LTrim(left), "a ");
  EXPECT_EQ(RTrim(right), "  a");
  // only ASCII white space: not U+3000, nor bytes above 0x7F
  std::string other = "\xE3\x80\x80x\xA0\x85";
  EXPECT_EQ(Trim(other), "\xE3\x80\x80x\xA0\x85");
  EXPECT_TRUE(StartsWith("#x", "#"));
  EXPECT_TRUE(StartsWith("abc", ""));
  EXPECT_FALSE(StartsWith("", "#"));
  EXPECT_FALSE(StartsWith("ab", "abc"));
  EXPECT_TRUE(IsSpace(9));
  EXPECT_FALSE(IsSpace('a'));
  EXPECT_FALSE(IsSpace(0x3000));
  EXPECT_FALSE(IsSpace(0xFFFFFF85u));
}

}  // namespace korva::typing::text::util
