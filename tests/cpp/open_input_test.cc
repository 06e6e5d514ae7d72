#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "tokenizer/segmenter/util/StringUtil.h"

namespace korva {
namespace typing {
namespace text {
namespace util {
namespace {

using testutil::TempFile;

std::string ReadAll(std::ifstream& ifs) {
  std::string text, line;
  while (std::getline(ifs, line)) text += line + "|";
  return text;
}

TEST(OpenInput, SkipsOnlyAByteOrderMark) {
  const struct {
    std::string content;
    std::string read;
  } cases[] = {
      {"\xEF\xBB\xBF中 3 x\nb", "中 3 x|b|"},
      {"\xEF\xBB\xBF", ""},
      {"\xEF\xBB", "\xEF\xBB|"},          // too short to be a mark
      {"\xEF\xBC\x8C 1 w\n", "\xEF\xBC\x8C 1 w|"},  // a fullwidth comma starts the same way
      {"", ""},
      {"a\r\nb", "a\r|b|"},
  };
  for (const auto& c : cases) {
    TempFile file(c.content);
    std::ifstream ifs = OpenInput(file.path());
    ASSERT_TRUE(ifs.is_open());
    EXPECT_EQ(ReadAll(ifs), c.read);
  }
}

TEST(OpenInput, PathsThatCannotBeReadStayClosed) {
  TempFile file("x 1 y\n");
  EXPECT_FALSE(OpenInput(testing::TempDir()).is_open());  // a directory
  EXPECT_FALSE(OpenInput(file.path() + ".missing").is_open());
  EXPECT_FALSE(OpenInput("").is_open());
  // Cut at the NUL the path would name the existing file.
  EXPECT_FALSE(OpenInput(file.path() + std::string(1, '\0') + "x").is_open());
}

}  // namespace
}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
