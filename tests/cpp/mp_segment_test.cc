#include "tokenizer/segmenter/MPSegment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {
namespace {

using testutil::IsRecords;
using testutil::StderrCapture;
using testutil::TempFile;

typedef std::vector<std::string> Words;

Words CutWith(const MPSegment& segment, const std::string& sentence,
              size_t max_word_len = MAX_WORD_LENGTH) {
  Words words{"stale"};
  segment.Cut(sentence, words, max_word_len);
  return words;
}

class MPSegmentTest : public testing::Test {
 protected:
  MPSegmentTest()
      : main_("中国 10 ns\n中 30 zg\n"),
        user_("人民 n\n北京 5 ns\n中国人 0 n\n民\n"),
        dict_(main_.path(), user_.path()),
        segment_(&dict_) {}

  TempFile main_;
  TempFile user_;
  DictTrie dict_;
  MPSegment segment_;
};

TEST_F(MPSegmentTest, MaximumProbabilityPath) {
  // 中国 (2 ln 0.25 with the lone 人) beats 中 + 国 + 人 (ln 0.75 + 2 ln 0.25);
  // the zero-frequency user word 中国人 is never chosen.
  EXPECT_EQ(CutWith(segment_, "中国人"), (Words{"中国", "人"}));
  EXPECT_EQ(CutWith(segment_, "人民北京中国"), (Words{"人民", "北京", "中国"}));
  Words virtual_cut;
  static_cast<const SegmentBase&>(segment_).Cut("中国人", virtual_cut);
  EXPECT_EQ(virtual_cut, (Words{"中国", "人"}));
}

TEST_F(MPSegmentTest, PiecesSeparatorsAndLimits) {
  EXPECT_EQ(CutWith(segment_, "人"), Words{"人"});
  EXPECT_EQ(CutWith(segment_, "中"), Words{"中"});
  EXPECT_EQ(CutWith(segment_, " 中国人，中国 "),
            (Words{" ", "中国", "人", "，", "中国", " "}));
  EXPECT_EQ(CutWith(segment_, "中国人", 1), (Words{"中", "国", "人"}));
  EXPECT_EQ(CutWith(segment_, ""), Words{});
}

TEST_F(MPSegmentTest, UndecodableSentenceGivesNoWords) {
  StderrCapture capture;
  EXPECT_EQ(CutWith(segment_, "中国\xFF人"), Words{});
  EXPECT_TRUE(IsRecords(capture.Take(), R"(csrc/tokenizer/segmenter/PreFilter\.cc)",
                        {"ERROR decode failed. "}));
}

TEST_F(MPSegmentTest, RangeCutAppends) {
  RuneStrArray runes;
  ASSERT_TRUE(DecodeRunesInString("中国人", runes));
  std::vector<WordRange> ranges{WordRange(runes.begin(), runes.begin())};
  segment_.Cut(runes.begin(), runes.end(), ranges, MAX_WORD_LENGTH);
  ASSERT_EQ(ranges.size(), 3u);
  EXPECT_EQ(ranges[1].left, runes.begin());
  EXPECT_EQ(ranges[1].right, runes.begin() + 1);
  EXPECT_EQ(ranges[2].Length(), 1u);
  EXPECT_TRUE(segment_.IsUserDictSingleChineseWord(0x6C11));  // 民
  EXPECT_FALSE(segment_.IsUserDictSingleChineseWord(0x4EBA));
  EXPECT_EQ(segment_.GetDictTrie(), &dict_);
}

TEST(MPSegment, TiesKeepTheShorterWord) {
  // ln(4/16) + ln(4/16) == ln(1/16) exactly.
  ASSERT_EQ(std::log(4.0 / 16) + std::log(4.0 / 16), std::log(1.0 / 16));
  TempFile main("a 4 x\nb 4 x\nab 1 x\nz 7 x\n");
  DictTrie dict(main.path());
  MPSegment segment(&dict);
  EXPECT_EQ(CutWith(segment, "ab"), (Words{"a", "b"}));
}

TEST(MPSegment, ConcatenatedWordsEqualTheSentence) {
  TempFile main("中国 10 ns\n中 30 zg\n国人 3 n\n人民 9 n\nab 2 eng\n");
  DictTrie dict(main.path());
  MPSegment segment(&dict);
  const char* alphabet[] = {"中", "国", "人", "民", "a", "b", " ", "，", "。", "\r", "😀"};
  std::mt19937 rng(7);
  for (int round = 0; round < 300; ++round) {
    std::string sentence;
    int len = static_cast<int>(rng() % 40);
    for (int i = 0; i < len; ++i) {
      sentence += alphabet[rng() % 11];
    }
    std::string joined;
    for (const std::string& word : CutWith(segment, sentence)) {
      EXPECT_FALSE(word.empty());
      joined += word;
    }
    EXPECT_EQ(joined, sentence);
  }
}

TEST(MPSegment, RejectsMissingDictionary) {
  EXPECT_THROW(MPSegment segment(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
