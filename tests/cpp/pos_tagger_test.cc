#include "tokenizer/segmenter/PosTagger.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/MPSegment.h"

namespace korva::typing::text::segmenter {

typedef std::vector<std::pair<std::string, std::string>> Tagged;

TEST(PosTagger, FallbackTagsFromCharacters) {
  const std::pair<const char*, const char*> cases[] = {
      {"2024", "m"}, {"ab", "eng"}, {"1a", "m"}, {"a", "x"}, {"中文", "x"}, {"中a", "eng"}, {"", "x"}};
  PosTagger tagger;
  for (const auto& c : cases) {
    RuneStrArray runes;
    ASSERT_TRUE(DecodeRunesInString(c.first, runes));
    EXPECT_STREQ(tagger.SpecialRule(runes), c.second) << c.first;
  }
}

TEST(PosTagger, DictionaryTagsAndFallbacks) {
  testutil::TempFile main("中国 10 ns\n中 30 zg\n");
  testutil::TempFile user("ab\n2024 \n");
  DictTrie dict(main.path(), user.path());
  MPSegment segment(&dict);
  Tagged res{{"kept", "t"}};
  EXPECT_TRUE(segment.Tag("中国人 ab2024", res));
  // ab is stored with an empty tag
  EXPECT_EQ(res, (Tagged{{"kept", "t"}, {"中国", "ns"}, {"人", "x"}, {" ", "x"}, {"ab", "eng"},
                         {"2024", "m"}}));
  Tagged empty;
  EXPECT_FALSE(segment.Tag("", empty));

  testutil::StderrCapture capture;
  EXPECT_EQ(PosTagger().LookupTag("\xFF", segment), "x");
  EXPECT_TRUE(testutil::IsRecords(capture.Take(), R"(csrc/tokenizer/segmenter/PosTagger\.cc)",
                                  {"ERROR Decode failed."}));
}

}  // namespace korva::typing::text::segmenter
