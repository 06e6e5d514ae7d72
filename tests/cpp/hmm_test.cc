#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/FullSegment.h"
#include "tokenizer/segmenter/HMMModel.h"
#include "tokenizer/segmenter/HMMSegment.h"
#include "tokenizer/segmenter/KeywordExtractor.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace seg = korva::typing::text::segmenter;

namespace {

std::string WriteFile(const std::string& name, const std::string& text) {
  const std::string path = testing::TempDir() + "norvane_hmm_" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

const char kMin[] = "-3.14e100";

// Transitions allow B->E, B->M, M->M, M->E, E->B, E->S, S->B, S->S.
std::string Model(const std::string& start, const std::string& b, const std::string& e,
                  const std::string& m, const std::string& s, const std::string& eol = "\n") {
  const std::string x = kMin;
  return start + eol + x + " -0.5 -0.9 " + x + eol + "-0.7 " + x + " " + x + " -0.7" + eol + x +
         " -0.6 -0.8 " + x + eol + "-0.7 " + x + " " + x + " -0.7" + eol + b + eol + e + eol + m +
         eol + s + eol;
}

std::string DefaultModel(const std::string& eol = "\n") {
  return Model(std::string("-0.6 ") + kMin + " " + kMin + " -0.8", "小:-1.0,王:-1.0", "明:-1.0",
               "晓:-1.0", "的:-0.5,了:-0.5,小:-5", eol);
}

std::vector<std::string> HmmCut(const seg::HMMModel& model, const std::string& text) {
  seg::HMMSegment hmm(&model);
  std::vector<std::string> words;
  hmm.Cut(text, words);
  return words;
}

using Words = std::vector<std::string>;

}  // namespace

TEST(HMMModel, SkipsCommentsBlanksAndCarriageReturns) {
  seg::HMMModel plain(WriteFile("plain.model", DefaultModel()));
  std::string commented = "# header\n\n   # note\n" + DefaultModel("\r\n") + "  \t\n";
  commented.insert(commented.find("小:"), "# between\n\n");
  seg::HMMModel other(WriteFile("commented.model", commented));
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(plain.startProb[i], other.startProb[i]);
    for (int j = 0; j < 4; j++) EXPECT_EQ(plain.transProb[i][j], other.transProb[i][j]);
    EXPECT_EQ(*plain.emitProbVec[i], *other.emitProbVec[i]);
  }
  EXPECT_EQ(plain.startProb[seg::HMMModel::B], -0.6);
  EXPECT_EQ(plain.startProb[seg::HMMModel::E], seg::MIN_DOUBLE);
  EXPECT_EQ(plain.emitProbS.size(), 3u);
}

TEST(HMMModel, ReadsNumbersLikeAtofAndKeepsLastDuplicate) {
  seg::HMMModel model(WriteFile(
      "numbers.model", Model("abc -2.5xyz -3.14e100 0x10", "a:-1.0,", "b: -2,b:-3", "c:1", "d:4") +
                           "garbage line\nmore garbage\n"));
  EXPECT_EQ(model.startProb[0], 0.0);
  EXPECT_EQ(model.startProb[1], -2.5);
  EXPECT_EQ(model.startProb[2], seg::MIN_DOUBLE);
  EXPECT_EQ(model.startProb[3], 16.0);
  EXPECT_EQ(model.emitProbB.size(), 1u);
  EXPECT_EQ(model.GetEmitProb(&model.emitProbE, 'b', 0.0), -3.0);
  EXPECT_EQ(model.GetEmitProb(&model.emitProbE, 'z', 7.5), 7.5);
  EXPECT_EQ(model.emitProbE.size(), 1u);
}

TEST(HMMModel, RejectedFilesThrowTheFatalRecord) {
  const std::string x = kMin;
  const std::string start = "-0.6 " + x + " " + x + " -0.8";
  struct Case {
    std::string text, message, error;
  };
  const std::vector<Case> cases = {
      {"# only a comment\n", "exp: [GetLine(ifile, line)] false. ", ""},
      {Model(start, "小:-1", "明:-1", "晓:-1", ""), "exp: [GetLine(ifile, line)] false. ", ""},
      {Model("-0.6 1 2", "a:1", "b:1", "c:1", "d:1"), "exp: [tmp.size() == STATUS_SUM] false. ",
       ""},
      {Model("-0.6  1 2 3", "a:1", "b:1", "c:1", "d:1"), "exp: [tmp.size() == STATUS_SUM] false. ",
       ""},
      {Model(start, "ab:-1.0", "b:1", "c:1", "d:1"),
       "exp: [LoadEmitProb(line, emitProbB)] false. ", "TransCode failed."},
      {Model(start, "a:1", "a:-1.0,,b:-2.0", "c:1", "d:1"),
       "exp: [LoadEmitProb(line, emitProbE)] false. ", "emitProb illegal."},
      {Model(start, "a:1", "b:1", "c:1", "d:1, e:2"),
       "exp: [LoadEmitProb(line, emitProbS)] false. ", "TransCode failed."},
  };
  for (const Case& c : cases) {
    const std::string path = WriteFile("bad.model", c.text);
    testing::internal::CaptureStderr();
    try {
      seg::HMMModel model(path);
      ADD_FAILURE() << "accepted: " << c.text;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), c.message);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(" FATAL " + c.message + "\n"), std::string::npos) << err;
    if (!c.error.empty()) {
      EXPECT_LT(err.find(" ERROR " + c.error + "\n"), err.find(" FATAL ")) << err;
    }
  }
  const std::string missing = testing::TempDir() + "norvane_no_such.model";
  testing::internal::CaptureStderr();
  EXPECT_THROW(seg::HMMModel model(missing), std::runtime_error);
  EXPECT_NE(testing::internal::GetCapturedStderr().find(
                "FATAL exp: [ifile.is_open()] false. open " + missing + " failed\n"),
            std::string::npos);
}

TEST(HMMSegment, ViterbiTagsAndUnknownRunes) {
  seg::HMMModel model(WriteFile("viterbi.model", DefaultModel()));
  seg::HMMSegment hmm(&model);
  EXPECT_EQ(HmmCut(model, "小晓明了的"), Words({"小晓明", "了", "的"}));
  // a single rune always ends in E or S
  EXPECT_EQ(HmmCut(model, "晓"), Words({"晓"}));
  // from an unknown rune on, every rune stands alone
  EXPECT_EQ(HmmCut(model, "小明乙小明"), Words({"小明", "乙", "小", "明"}));
  EXPECT_EQ(HmmCut(model, "乙小明"), Words({"乙", "小", "明"}));
  EXPECT_EQ(HmmCut(model, "小明x小明"), Words({"小明", "x", "小明"}));
  EXPECT_EQ(HmmCut(model, ""), Words());
}

TEST(HMMSegment, TiesPreferEarlierStatesAndEndInE) {
  // All scores equal: predecessor B wins every tie, and the last rune is E.
  const std::string z = "0 0 0 0";
  std::string text = z + "\n" + z + "\n" + z + "\n" + z + "\n" + z + "\n";
  const std::string emit = "\xC3\xA1:0\n";  // U+00E1
  text += emit + emit + emit + emit;
  seg::HMMModel model(WriteFile("ties.model", text));
  seg::HMMSegment hmm(&model);
  seg::RuneStrArray runes;
  ASSERT_TRUE(seg::DecodeRunesInString("\xC3\xA1\xC3\xA1\xC3\xA1", runes));
  std::vector<size_t> status;
  hmm.Viterbi(runes.begin(), runes.end(), status);
  EXPECT_EQ(status, std::vector<size_t>({seg::HMMModel::B, seg::HMMModel::B, seg::HMMModel::E}));
}

TEST(FullSegment, EveryDictionaryWordAndUncoveredRunes) {
  const std::string dict = WriteFile("full.dict", "XY 5 n\nABC 4 n\nB 3 n\nAB 2 n\nZ 1 n\n");
  seg::DictTrie trie(dict);
  seg::FullSegment full(&trie);
  auto cut = [&full](const std::string& text) {
    Words words;
    full.Cut(text, words);
    return words;
  };
  EXPECT_EQ(cut("XYZ"), Words({"XY", "Z"}));
  EXPECT_EQ(cut("ABCB"), Words({"AB", "ABC", "B"}));
  EXPECT_EQ(cut("pq r"), Words({"p", "q", " ", "r"}));
  EXPECT_EQ(cut(""), Words());
}

TEST(KeywordExtractor, IdfAverageCountsSkippedLines) {
  const std::string dict = WriteFile("kw.dict", "XY 5 n\n");
  const std::string model = WriteFile("kw.model", DefaultModel());
  const std::string stop = WriteFile("kw.stop", "a\r\n\nb");
  seg::DictTrie trie(dict);
  seg::HMMModel hmm(model);
  testing::internal::CaptureStderr();
  seg::KeywordExtractor kw(&trie, &hmm, WriteFile("kw.idf", "a 1.0\n\nb 3.0 x\nw 1.5\nw 2.5"),
                           stop);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find(" ERROR lineno: 1 empty. skipped.\n"), std::string::npos) << err;
  EXPECT_NE(err.find(" ERROR line: b 3.0 x, lineno: 2 empty. skipped.\n"), std::string::npos);
  EXPECT_EQ(kw.IdfMap().size(), 2u);
  EXPECT_EQ(kw.IdfMap().at("w"), 2.5);
  EXPECT_DOUBLE_EQ(kw.IdfAverage(), 5.0 / 5);
  EXPECT_EQ(kw.StopWords(), std::unordered_set<std::string>({"a\r", "", "b"}));
}

TEST(Segmenter, LaterLoaderFailureUnwindsEarlierMembers) {
  const std::string dict = WriteFile("facade.dict", "北京 5 ns\n天安门 3 ns\n");
  const std::string model = WriteFile("facade.model", DefaultModel());
  const std::string idf = WriteFile("facade.idf", "北京 2.0\n");
  const std::string missing = testing::TempDir() + "norvane_missing.stop";
  testing::internal::CaptureStderr();
  EXPECT_THROW(seg::Segmenter(dict, model, "", idf, missing), std::runtime_error);
  testing::internal::GetCapturedStderr();
  seg::Segmenter segmenter(dict, model, "", idf, idf);
  Words words;
  segmenter.Cut("北京小明天安门", words, true);
  EXPECT_EQ(words, Words({"北京", "小明", "天安门"}));
  segmenter.CutForSearch("", words, true);
  EXPECT_TRUE(words.empty());
}
