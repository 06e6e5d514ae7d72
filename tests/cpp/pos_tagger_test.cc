#include "tokenizer/segmenter/PosTagger.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/MPSegment.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {
namespace {

using testutil::IsRecords;
using testutil::StderrCapture;
using testutil::TempFile;

typedef std::vector<std::pair<std::string, std::string>> Tagged;

TEST(PosTagger, FallbackTagsFromCharacters) {
  const std::pair<const char*, const char*> cases[] = {
      {"2024", "m"}, {"ab", "eng"},     {"a1", "eng"}, {"1a", "m"}, {"a", "x"}, {"1", "x"},
      {"中文", "x"}, {"12中文", "m"}, {"中a", "eng"},  {"", "x"},   {"a中1", "eng"}};
  PosTagger tagger;
  for (const auto& c : cases) {
    RuneStrArray runes;
    ASSERT_TRUE(DecodeRunesInString(c.first, runes));
    EXPECT_STREQ(tagger.SpecialRule(runes), c.second) << c.first;
  }
}

TEST(PosTagger, DictionaryTagsAndFallbacks) {
  TempFile main("中国 10 ns\n中 30 zg\n");
  TempFile user("ab\n2024 \n");
  DictTrie dict(main.path(), user.path());
  MPSegment segment(&dict);
  PosTagger tagger;
  EXPECT_EQ(tagger.LookupTag("中国", segment), "ns");
  EXPECT_EQ(tagger.LookupTag("ab", segment), "eng");  // stored with an empty tag
  EXPECT_EQ(tagger.LookupTag("人", segment), "x");

  Tagged res{{"kept", "t"}};
  EXPECT_TRUE(segment.Tag("中国人 ab2024", res));
  EXPECT_EQ(res, (Tagged{{"kept", "t"},
                         {"中国", "ns"},
                         {"人", "x"},
                         {" ", "x"},
                         {"ab", "eng"},
                         {"2024", "m"}}));

  Tagged empty;
  EXPECT_FALSE(segment.Tag("", empty));
  Tagged prefilled{{"a", "b"}};
  EXPECT_TRUE(segment.Tag("", prefilled));
  EXPECT_EQ(prefilled, (Tagged{{"a", "b"}}));

  StderrCapture capture;
  EXPECT_EQ(tagger.LookupTag("\xFF", segment), "x");
  EXPECT_TRUE(IsRecords(capture.Take(), R"(csrc/tokenizer/segmenter/PosTagger\.cc)",
                        {"ERROR Decode failed."}));
}

}  // namespace
}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
