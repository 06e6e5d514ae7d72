#include "tokenizer/segmenter/MPSegment.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace korva::typing::text::segmenter {

typedef std::vector<std::string> Words;

Words CutWith(const MPSegment& segment, const std::string& sentence,
              size_t max_word_len = MAX_WORD_LENGTH) {
  Words words{"stale"};
  segment.Cut(sentence, words, max_word_len);
  return words;
}

TEST(MPSegment, MaximumProbabilityPath) {
  testutil::TempFile main("中国 10 ns\n中 30 zg\n");
  testutil::TempFile user("人民 n\n北京 5 ns\n中国人 0 n\n");
  DictTrie dict(main.path(), user.path());
  MPSegment segment(&dict);
  // 中国 (2 ln 0.25 with the lone 人) beats 中 + 国 + 人 (ln 0.75 + 2 ln 0.25);
  // the zero-frequency user word 中国人 is never chosen.
  EXPECT_EQ(CutWith(segment, "中国人"), (Words{"中国", "人"}));
  EXPECT_EQ(CutWith(segment, " 人民北京，中国 "), (Words{" ", "人民", "北京", "，", "中国", " "}));
  EXPECT_EQ(CutWith(segment, "中国人", 1), (Words{"中", "国", "人"}));
  EXPECT_EQ(CutWith(segment, ""), Words{});
  EXPECT_THROW(MPSegment none(nullptr), std::invalid_argument);
  Words virtual_cut;
  static_cast<const SegmentBase&>(segment).Cut("中国人", virtual_cut);
  EXPECT_EQ(virtual_cut, (Words{"中国", "人"}));
}

}  // namespace korva::typing::text::segmenter
