#include "tokenizer/segmenter/DictTrie.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/util/Logging.h"

namespace korva::typing::text::segmenter {

using testutil::TempFile;

const char* const kMainDict = "中国 10 ns\n中 30 zg\n";

const DictUnit* FindWord(const DictTrie& dict, const std::string& word) {
  RuneStrArray runes;
  EXPECT_TRUE(DecodeRunesInString(word, runes));
  return dict.Find(runes.begin(), runes.end());
}

// Candidates of every position as (end, whether it ends a dictionary word).
typedef std::vector<std::vector<std::pair<size_t, bool>>> Candidates;

Candidates DagOf(const DictTrie& dict, const std::string& sentence,
                 size_t max_word_len = MAX_WORD_LENGTH) {
  RuneStrArray runes;
  EXPECT_TRUE(DecodeRunesInString(sentence, runes));
  std::vector<Dag> dags;
  dict.Find(runes.begin(), runes.end(), dags, max_word_len);
  Candidates out(dags.size());
  for (size_t i = 0; i < dags.size(); ++i) {
    EXPECT_EQ(dags[i].runestr.rune, runes[i].rune);
    for (const auto& next : dags[i].nexts) {
      if (next.second != nullptr) {
        EXPECT_EQ(next.second, dict.Find(runes.begin() + i, runes.begin() + next.first + 1));
      }
      out[i].emplace_back(next.first, next.second != nullptr);
    }
  }
  return out;
}

TEST(DictTrie, WeightsAndStatistics) {
  TempFile main(kMainDict);
  DictTrie dict(main.path());
  EXPECT_DOUBLE_EQ(dict.GetFreqSum(), 40.0);
  const DictUnit* zhongguo = FindWord(dict, "中国");
  ASSERT_NE(zhongguo, nullptr);
  EXPECT_DOUBLE_EQ(zhongguo->weight, std::log(0.25));
  EXPECT_EQ(zhongguo->tag, "ns");
  EXPECT_DOUBLE_EQ(FindWord(dict, "中")->weight, std::log(0.75));
  EXPECT_DOUBLE_EQ(dict.GetMinWeight(), std::log(0.25));
  EXPECT_DOUBLE_EQ(dict.GetMaxWeight(), std::log(0.75));
  EXPECT_DOUBLE_EQ(dict.GetUserWordDefaultWeight(), std::log(0.75));
  EXPECT_EQ(FindWord(dict, "国"), nullptr);
  EXPECT_EQ(FindWord(dict, "中国人"), nullptr);
  EXPECT_EQ(FindWord(dict, ""), nullptr);
  // The median is the upper middle of the sorted weights.
  TempFile odd("c 3 x\na 1 x\nb 2 x\n"), even("d 4 x\nb 2 x\na 1 x\nc 3 x\n");
  EXPECT_DOUBLE_EQ(DictTrie(odd.path()).GetMedianWeight(), std::log(2.0 / 6));
  EXPECT_DOUBLE_EQ(DictTrie(even.path()).GetMedianWeight(), std::log(3.0 / 10));
}

TEST(DictTrie, UserWordDefaultWeightOptions) {
  TempFile main("a 1 x\nb 2 x\nc 3 x\n");
  TempFile user("u\n");
  DictTrie low(main.path(), user.path(), DictTrie::WordWeightMin);
  DictTrie high(main.path(), user.path(), DictTrie::WordWeightMax);
  EXPECT_DOUBLE_EQ(FindWord(low, "u")->weight, std::log(1.0 / 6));
  EXPECT_DOUBLE_EQ(FindWord(high, "u")->weight, std::log(3.0 / 6));
}

// The candidate lists serve the full cut; the maximum-probability cut walks
// the trie itself.
TEST(DictTrie, DagListsEveryPrefixWordInOrder) {
  TempFile main("abcd 1 x\nab 1 x\nb 1 x\nabc 1 x\nbcdx 1 x\n");
  DictTrie dict(main.path());
  EXPECT_EQ(DagOf(dict, "abcd"), (Candidates{{{0, false}, {1, true}, {2, true}, {3, true}},
                                             {{1, true}}, {{2, false}}, {{3, false}}}));
  EXPECT_EQ(DagOf(dict, "abcd", 3), (Candidates{{{0, false}, {1, true}, {2, true}},
                                                {{1, true}}, {{2, false}}, {{3, false}}}));
  for (size_t len : {0, 1}) {
    EXPECT_EQ(DagOf(dict, "ab", len), (Candidates{{{0, false}}, {{1, true}}}));
  }
  EXPECT_TRUE(DagOf(dict, "").empty());
}

TEST(DictTrie, UserDictionaryFieldCounts) {
  TempFile main(kMainDict);
  const std::string too_long(MAX_WORD_LENGTH + 1, 'x');
  TempFile user("一\r\n\n北京 ns\n上海 20 ns\r\n天津 5 ns extra\n上海市 abc n\n天津  n\n 天津\n天津\tn\n" +
                too_long + "\n");
  testutil::StderrCapture capture;
  DictTrie dict(main.path(), user.path());
  // Lines the cut could never use are reported.
  EXPECT_TRUE(testutil::IsRecords(
      capture.Take(), R"(csrc/tokenizer/segmenter/DictTrie\.h)",
      {"ERROR user dict line with more than three fields skipped: 天津 5 ns extra",
       "ERROR user dict line with an empty field skipped: 天津  n",
       "ERROR user dict line with an empty field skipped:  天津",
       "ERROR user dict line with a tab skipped: 天津\tn",
       "ERROR user dict word longer than 512 characters skipped: " + too_long}));
  const DictUnit* yi = FindWord(dict, "一");
  ASSERT_NE(yi, nullptr);
  EXPECT_DOUBLE_EQ(yi->weight, dict.GetMedianWeight());
  EXPECT_EQ(yi->tag, "");
  EXPECT_TRUE(dict.IsUserDictSingleChineseWord(0x4E00));
  EXPECT_FALSE(dict.IsUserDictSingleChineseWord(0x4E2D));  // 中 is a main word only
  const DictUnit* beijing = FindWord(dict, "北京");
  ASSERT_NE(beijing, nullptr);
  EXPECT_DOUBLE_EQ(beijing->weight, dict.GetMedianWeight());
  EXPECT_EQ(beijing->tag, "ns");
  EXPECT_DOUBLE_EQ(FindWord(dict, "上海")->weight, std::log(20.0 / 40));
  EXPECT_EQ(FindWord(dict, "上海")->tag, "ns");
  EXPECT_EQ(FindWord(dict, "天津"), nullptr);
  EXPECT_TRUE(std::isinf(FindWord(dict, "上海市")->weight));  // no leading number: 0
  // User words leave the statistics alone.
  EXPECT_DOUBLE_EQ(dict.GetFreqSum(), 40.0);
  EXPECT_DOUBLE_EQ(dict.GetMaxWeight(), std::log(0.75));
  EXPECT_EQ(dict.Size(), 6u);
}

TEST(DictTrie, LaterEntriesOverrideEarlierOnes) {
  TempFile main("中国 10 ns\n中 30 zg\n中国 10 n\n");
  TempFile first("中 zz\nA\n");
  TempFile second("中 yy\n");
  DictTrie dict(main.path(), first.path() + ";" + second.path() + ";");
  EXPECT_EQ(FindWord(dict, "中国")->tag, "n");
  EXPECT_DOUBLE_EQ(dict.GetFreqSum(), 50.0);
  EXPECT_EQ(FindWord(dict, "中")->tag, "yy");
  EXPECT_TRUE(dict.IsUserDictSingleChineseWord('A'));
  DictTrie piped(main.path(), second.path() + "|" + first.path());
  EXPECT_EQ(FindWord(piped, "中")->tag, "zz");
}

TEST(DictTrie, MainLineLayout) {
  // One trailing space is harmless, so is a carriage return before the line
  // feed. The last line may lack its line feed.
  TempFile main("中国 10 ns \n中 30 zg\r\n人 60 n");
  DictTrie dict(main.path());
  EXPECT_EQ(FindWord(dict, "中国")->tag, "ns");
  EXPECT_EQ(FindWord(dict, "中")->tag, "zg");
  EXPECT_EQ(FindWord(dict, "人")->tag, "n");
  EXPECT_EQ(dict.Size(), 3u);
  EXPECT_DOUBLE_EQ(dict.GetFreqSum(), 100.0);
}

TEST(DictTrie, UndecodableWordsAreSkippedWithErrorRecord) {
  const char* const kFile = R"(csrc/tokenizer/segmenter/DictTrie\.h)";
  TempFile main("中国 10 ns\n\xFF\xFE 1000 x\n中 30 zg\n");
  TempFile user("ab\xE4\xB8\n\xF8 5 n\n");
  testutil::StderrCapture capture;
  DictTrie dict(main.path(), user.path());
  EXPECT_TRUE(testutil::IsRecords(
      capture.Take(), kFile,
      {"ERROR Decode \xFF\xFE failed.", "ERROR Decode ab\xE4\xB8 failed.",
       "ERROR Decode \xF8 failed."}));
  EXPECT_DOUBLE_EQ(dict.GetFreqSum(), 40.0);
  EXPECT_EQ(dict.Size(), 2u);
  // A dictionary of undecodable words only is empty.
  TempFile only("\xFF 1 x\n");
  testutil::StderrCapture again;
  EXPECT_THROW(DictTrie{only.path()}, util::FatalError);
  EXPECT_TRUE(testutil::IsRecords(
      again.Take(), kFile,
      {"ERROR Decode \xFF failed.", "FATAL exp: [!static_node_infos_.empty()] false. "}));
}

TEST(DictTrie, ZeroAndNegativeFrequenciesStayOutOfStatistics) {
  TempFile main("中国 10 ns\n零 0 m\n负 -5 m\n中 35 zg\n");
  DictTrie dict(main.path());
  EXPECT_DOUBLE_EQ(dict.GetFreqSum(), 40.0);
  EXPECT_DOUBLE_EQ(dict.GetMinWeight(), std::log(0.25));
  EXPECT_DOUBLE_EQ(dict.GetMaxWeight(), std::log(35.0 / 40));
  EXPECT_TRUE(std::isinf(FindWord(dict, "零")->weight));
  EXPECT_TRUE(std::isnan(FindWord(dict, "负")->weight));
  TempFile zeros("a 0 x\nb 0 x\n");
  DictTrie degenerate(zeros.path());
  EXPECT_EQ(degenerate.GetMinWeight(), MIN_DOUBLE);
  EXPECT_NE(FindWord(degenerate, "a"), nullptr);
}

TEST(DictTrie, WordsLongerThanTheCandidateLimit) {
  std::string longest;
  for (int i = 0; i < 600; ++i) longest += "字";
  TempFile file(longest + " 1 n\n");
  DictTrie dict(file.path());
  EXPECT_NE(FindWord(dict, longest), nullptr);
  // The 600-character word is never offered as a candidate.
  EXPECT_EQ(DagOf(dict, longest)[0].size(), 1u);
  EXPECT_EQ(DagOf(dict, longest, 600)[0].size(), 2u);
}

}  // namespace korva::typing::text::segmenter
