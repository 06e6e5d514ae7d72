#include "tokenizer/segmenter/util/StringUtil.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace korva {
namespace typing {
namespace text {
namespace util {
namespace {

typedef std::vector<std::string> Pieces;

struct SplitCase {
  std::string src;
  std::string pattern;
  size_t maxsplit;
  Pieces expected;
};

std::ostream& operator<<(std::ostream& os, const SplitCase& c) {
  return os << "'" << c.src << "' on '" << c.pattern << "'";
}

class SplitTest : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, Pieces) {
  const SplitCase& c = GetParam();
  Pieces out{"stale"};
  Split(c.src, out, c.pattern, c.maxsplit);
  EXPECT_EQ(out, c.expected);
  EXPECT_EQ(Split(c.src, c.pattern, c.maxsplit), c.expected);
}

const size_t kAll = static_cast<size_t>(-1);

INSTANTIATE_TEST_SUITE_P(
    Consequences, SplitTest,
    testing::Values(SplitCase{"", " ", kAll, {}}, SplitCase{"", "", kAll, {}},
                    SplitCase{"x", " ", kAll, {"x"}}, SplitCase{"x ", " ", kAll, {"x"}},
                    SplitCase{"a  b", " ", kAll, {"a", "", "b"}},
                    SplitCase{" a", " ", kAll, {"", "a"}},
                    SplitCase{"a b ", " ", kAll, {"a", "b"}}, SplitCase{"a,", ",", kAll, {"a"}},
                    SplitCase{" ", " ", kAll, {""}}, SplitCase{"   ", " ", kAll, {"", "", ""}},
                    SplitCase{"a b c", " ", 1, {"a", "b c"}},
                    SplitCase{"a b ", " ", 1, {"a", "b "}},
                    SplitCase{"a ", " ", 0, {"a "}},
                    SplitCase{"a|b;c", "|;", kAll, {"a", "b", "c"}},
                    SplitCase{"a.txt||b.txt", "|;", kAll, {"a.txt", "", "b.txt"}},
                    SplitCase{"中国 10 ns", " ", kAll, {"中国", "10", "ns"}},
                    SplitCase{"ab", "", kAll, {"ab"}}));

TEST(StringUtil, TrimRemovesOnlyAsciiWhiteSpace) {
  std::string s = " \t\r\n\v\fab c\r\n ";
  EXPECT_EQ(Trim(s), "ab c");
  std::string ideographic = "\xE3\x80\x80x\xE3\x80\x80";
  EXPECT_EQ(Trim(ideographic), "\xE3\x80\x80x\xE3\x80\x80");
  std::string blank = " \t ";
  EXPECT_EQ(Trim(blank), "");
  std::string left = "  a ";
  EXPECT_EQ(LTrim(left), "a ");
  std::string right = "  a ";
  EXPECT_EQ(RTrim(right), "  a");
  std::string high = "\xA0x\x85";
  EXPECT_EQ(Trim(high), "\xA0x\x85");
}

TEST(StringUtil, StartsWithAndIsSpace) {
  EXPECT_TRUE(StartsWith("#x", "#"));
  EXPECT_FALSE(StartsWith("", "#"));
  EXPECT_TRUE(StartsWith("abc", ""));
  EXPECT_FALSE(StartsWith("ab", "abc"));
  EXPECT_FALSE(StartsWith("abc", "b"));
  EXPECT_TRUE(IsSpace(9));
  EXPECT_TRUE(IsSpace(' '));
  EXPECT_FALSE(IsSpace('a'));
  EXPECT_FALSE(IsSpace(0x3000));
  EXPECT_FALSE(IsSpace(0xFFFFFF85u));
}

}  // namespace
}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
