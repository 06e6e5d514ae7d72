#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/FullSegment.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/HMMSegment.h"
#include "tokenizer/segmenter/KeywordExtractor.h"

namespace korva::typing::text::segmenter {

using testutil::HmmText;
using testutil::TempFile;
using Words = std::vector<std::string>;

const std::vector<std::string> kEmissions = {"小:-1.0,王:-1.0", "明:-1.0", "晓:-1.0",
                                             "的:-0.5,了:-0.5,小:-5"};

TEST(HMMModel, SkipsCommentsBlanksAndCarriageReturns) {
  TempFile plain_file(HmmText(kEmissions));
  std::string commented = "# header\n\n   # note\n" + HmmText(kEmissions, "", "\r\n") + "  \t\n";
  commented.insert(commented.find("小:"), "# between\n\n");
  TempFile commented_file(commented);
  HMMModel plain(plain_file.path()), other(commented_file.path());
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(plain.startProb[i], other.startProb[i]);
    for (int j = 0; j < 4; j++) EXPECT_EQ(plain.transProb[i][j], other.transProb[i][j]);
    EXPECT_EQ(*plain.emitProbVec[i], *other.emitProbVec[i]);
  }
  EXPECT_EQ(plain.startProb[HMMModel::B], -0.6);
  EXPECT_EQ(plain.startProb[HMMModel::E], MIN_DOUBLE);
  EXPECT_EQ(plain.emitProbS.size(), 3u);
}

TEST(HMMModel, ReadsNumbersLikeAtofAndKeepsLastDuplicate) {
  TempFile file(HmmText({"a:-1.0,", "b: -2,b:-3", "c:1", "d:4"}, "abc -2.5xyz -3.14e100 0x10") +
                "garbage line\nmore garbage\n");
  HMMModel model(file.path());
  EXPECT_EQ(model.startProb[0], 0.0);
  EXPECT_EQ(model.startProb[1], -2.5);
  EXPECT_EQ(model.startProb[2], MIN_DOUBLE);
  EXPECT_EQ(model.startProb[3], 16.0);
  EXPECT_EQ(model.emitProbB.size(), 1u);
  EXPECT_EQ(model.emitProbE.size(), 1u);
  EXPECT_EQ(model.GetEmitProb(&model.emitProbE, 'b', 0.0), -3.0);
  EXPECT_EQ(model.GetEmitProb(&model.emitProbE, 'z', 7.5), 7.5);
}

Words HmmCut(const HMMModel& model, const std::string& text) {
  Words words;
  HMMSegment(&model).Cut(text, words);
  return words;
}

TEST(HMMSegment, ViterbiTagsAndUnknownRunes) {
  TempFile file(HmmText(kEmissions));
  HMMModel model(file.path());
  // from an unknown rune on, every rune stands alone
  EXPECT_EQ(HmmCut(model, "小明乙小明"), Words({"小明", "乙", "小", "明"}));
  EXPECT_EQ(HmmCut(model, "小明x小明"), Words({"小明", "x", "小明"}));
}

TEST(FullSegment, EveryDictionaryWordAndUncoveredRunes) {
  TempFile dict("XY 5 n\nABC 4 n\nB 3 n\nAB 2 n\nZ 1 n\n");
  DictTrie trie(dict.path());
  FullSegment full(&trie);
  const std::vector<std::pair<std::string, Words>> cases = {
      {"XYZ", {"XY", "Z"}}, {"ABCB", {"AB", "ABC", "B"}}, {"pq r", {"p", "q", " ", "r"}}, {"", {}}};
  for (const auto& c : cases) {
    Words words;
    full.Cut(c.first, words);
    EXPECT_EQ(words, c.second) << c.first;
  }
}

TEST(KeywordExtractor, IdfAverageCountsSkippedLines) {
  TempFile dict("XY 5 n\n"), model(HmmText(kEmissions)), stop("a\r\n\nb");
  TempFile idf("a 1.0\n\nb 3.0 x\nc\t2.0\nw 1.5\nw 2.5");
  DictTrie trie(dict.path());
  HMMModel hmm(model.path());
  testutil::StderrCapture capture;
  KeywordExtractor kw(&trie, &hmm, idf.path(), stop.path());
  EXPECT_TRUE(testutil::IsRecords(capture.Take(), R"(csrc/tokenizer/segmenter/KeywordExtractor\.h)",
                                  {"ERROR lineno: 1 empty. skipped.",
                                   "ERROR line: b 3.0 x, lineno: 2 empty. skipped.",
                                   "ERROR line: c\t2.0, lineno: 3 empty. skipped."}));
  EXPECT_EQ(kw.IdfMap().size(), 2u);
  EXPECT_EQ(kw.IdfMap().at("w"), 2.5);
  EXPECT_DOUBLE_EQ(kw.IdfAverage(), 5.0 / 6);
  EXPECT_EQ(kw.StopWords(), std::unordered_set<std::string>({"a", "", "b"}));
}

}  // namespace korva::typing::text::segmenter
