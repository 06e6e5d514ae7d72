#include "tokenizer/segmenter/MPSegment.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/PosTagger.h"

namespace korva::typing::text::segmenter {

typedef std::vector<std::string> Words;
typedef std::vector<std::pair<std::string, std::string>> Tagged;

class MPSegmentTest : public testing::Test {
 protected:
  Words CutWith(const std::string& sentence, size_t max_word_len = MAX_WORD_LENGTH) {
    Words words{"stale"};
    segment_.Cut(sentence, words, max_word_len);
    return words;
  }

  testutil::TempFile main_{"中国 10 ns\n中 30 zg\n"};
  testutil::TempFile user_{"人民 n\n北京 5 ns\n中国人 0 n\nab\n2024 \n"};
  DictTrie dict_{main_.path(), user_.path()};
  MPSegment segment_{&dict_};
};

TEST_F(MPSegmentTest, MaximumProbabilityPath) {
  // 中国 (2 ln 0.25 with the lone 人) beats 中 + 国 + 人 (ln 0.75 + 2 ln 0.25);
  // the zero-frequency user word 中国人 is never chosen.
  EXPECT_EQ(CutWith("中国人"), (Words{"中国", "人"}));
  EXPECT_EQ(CutWith(" 人民北京，中国 "), (Words{" ", "人民", "北京", "，", "中国", " "}));
  EXPECT_EQ(CutWith("中国人", 1), (Words{"中", "国", "人"}));
  EXPECT_THROW(MPSegment none(nullptr), std::invalid_argument);
  Words virtual_cut;
  static_cast<const SegmentBase&>(segment_).Cut("中国人", virtual_cut);
  EXPECT_EQ(virtual_cut, (Words{"中国", "人"}));
}

TEST_F(MPSegmentTest, DictionaryTagsAndFallbacks) {
  Tagged res{{"kept", "t"}};
  EXPECT_TRUE(segment_.Tag("中国人 ab2024", res));
  // ab is stored with an empty tag
  EXPECT_EQ(res, (Tagged{{"kept", "t"}, {"中国", "ns"}, {"人", "x"}, {" ", "x"}, {"ab", "eng"},
                         {"2024", "m"}}));
  Tagged empty;
  EXPECT_FALSE(segment_.Tag("", empty));

  testutil::StderrCapture capture;
  EXPECT_EQ(PosTagger().LookupTag("\xFF", segment_), "x");
  EXPECT_TRUE(testutil::IsRecords(capture.Take(), R"(csrc/tokenizer/segmenter/PosTagger\.cc)",
                                  {"ERROR Decode failed."}));
}

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

}  // namespace korva::typing::text::segmenter
