// The encoder's analysis, its threaded batches against one thread, and fits
// racing encodes (run under ThreadSanitizer by tests/run_all.sh).
#include "norvane/sparse_encoder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "segmenter_files.h"

namespace norvane::sparse_encoder_test {

std::shared_ptr<const Tokenizer> SmallTokenizer() {
  static const SegmenterFiles files;
  return std::make_shared<const Tokenizer>(
      TokenizerPaths{files.dict, files.hmm, "", files.idf, files.stop}, false);
}

std::vector<std::string> Analyze(const std::string& text,
                                 std::string_view analysis = "words+bigrams/1") {
  const Analyzer analyzer(SmallTokenizer(), analysis);
  std::string folded;
  std::vector<Token> words;
  std::vector<std::string_view> tokens;
  analyzer.Analyze(text, folded, words, tokens);
  return std::vector<std::string>(tokens.begin(), tokens.end());
}

std::vector<TextItem> Items(const std::vector<std::string>& texts) {
  std::vector<TextItem> items;
  for (const auto& t : texts) items.push_back(TextItem::Text(t));
  return items;
}

TEST(Analyzer, FoldsDropsPunctuationAndStopWordsAddsPairsWithinRuns) {
  // Full-width letters and Latin-1 capitals fold; the stop word 的 is no
  // word but still pairs; no pair crosses the comma or the space.
  using V = std::vector<std::string>;
  EXPECT_EQ(Analyze("北京的大学，ＡＢ Éa"),
            (V{"北京", "大学", "ab", "é", "a", "北京", "京的", "的大", "大学", "ab", "éa"}));
  EXPECT_EQ(Analyze("，。！  "), V{});
  EXPECT_EQ(Analyze("我"), V{"我"});
}

// "\x01" + c for each character c: an n-gram token of the default analysis.
std::string Marked(const std::vector<std::string>& chars) {
  std::string out;
  for (const auto& c : chars) out += kNgramMark + c;
  return out;
}

TEST(Analyzer, DefaultKeepsWordsAndMarkedNgramsApartAndFoldsTraditional) {
  using V = std::vector<std::string>;
  // 北京 the word and 北京 the pair are two tokens; 的 is a stop word, yet a
  // character; the letters and digits join into one word apart from 大学.
  EXPECT_EQ(Analyze("北京的大学ab1", kAnalyses[0]),
            (V{"北京", "大学", "ab1", Marked({"北"}), Marked({"北", "京"}), Marked({"京"}),
               Marked({"京", "的"}), Marked({"的"}), Marked({"的", "大"}), Marked({"大"}),
               Marked({"大", "学"}), Marked({"学"}), Marked({"学", "a"}), Marked({"a"}),
               Marked({"a", "b"}), Marked({"b"}), Marked({"b", "1"}), Marked({"1"})}));
  EXPECT_EQ(Analyze("北京大學", kAnalyses[0]), Analyze("北京大学", kAnalyses[0]));
  EXPECT_EQ(Analyze("臺灣，天氣", kAnalyses[0]), Analyze("台湾，天气", kAnalyses[0]));
  EXPECT_NE(Analyze("北京大學"), Analyze("北京大学"));  // the earlier analysis does not fold
  EXPECT_EQ(Analyze("，。！  ", kAnalyses[0]), V{});
}

TEST(Analyzer, NamesItsAnalysisAndRefusesUnknownOnes) {
  for (const char* analysis : kAnalyses) {
    const Analyzer analyzer(SmallTokenizer(), analysis);
    EXPECT_EQ(analyzer.analysis(), analysis);
    EXPECT_EQ(analyzer.name().rfind(std::string(analysis) + ";dict=", 0), 0u);
  }
  EXPECT_THROW(Analyzer(SmallTokenizer(), "words"), std::invalid_argument);
  SparseEncoder old_one(SmallTokenizer(), 0.75, 1.2, kAnalyses[1]);
  old_one.Fit(Items({"北京"}), 1);
  SparseEncoder new_one(SmallTokenizer(), 0.75, 1.2);
  EXPECT_THROW(new_one.Restore(old_one.ModelText()), std::runtime_error);
  EXPECT_THROW(new_one.Merge(old_one), std::invalid_argument);
}

std::vector<std::string> Corpus() {
  std::vector<std::string> texts;
  for (int i = 0; i < 300; ++i) {
    texts.push_back("今天北京天气" + std::to_string(i % 17) + "，中国人民大学生" +
                    std::string(i % 5, 'x') + (i % 3 == 0 ? "我爱学生" : ""));
  }
  texts.push_back("");
  return texts;
}

void ExpectSameRows(const SparseRows& a, const SparseRows& b) {
  EXPECT_EQ(a.indptr, b.indptr);
  EXPECT_EQ(a.ids, b.ids);
  EXPECT_EQ(a.weights, b.weights);
  EXPECT_EQ(a.token_bytes, b.token_bytes);
}

class ByAnalysis : public testing::TestWithParam<const char*> {};

TEST_P(ByAnalysis, ThreadedBatchesEqualOneThread) {
  const std::vector<std::string> texts = Corpus();
  const std::vector<TextItem> items = Items(texts);
  SparseEncoder one(SmallTokenizer(), 0.75, 1.2, GetParam());
  SparseEncoder many(SmallTokenizer(), 0.75, 1.2, GetParam());
  one.Fit(items, 1);
  many.Fit(items, 4);
  EXPECT_EQ(one.ModelText(), many.ModelText());
  EXPECT_EQ(one.doc_count(), 300);  // the empty text is no document
  for (bool keep : {false, true}) {
    SparseRows a, b, c, d;
    one.EncodeDocuments(items, 1, keep, a);
    many.EncodeDocuments(items, 3, keep, b);
    ExpectSameRows(a, b);
    one.EncodeQueries(items, 1, keep, c);
    many.EncodeQueries(items, 3, keep, d);
    ExpectSameRows(c, d);
    for (unsigned threads : {1u, 3u}) {
      SparseEncoder fused(SmallTokenizer(), 0.75, 1.2, GetParam());
      SparseRows e;
      fused.FitEncodeDocuments(items, threads, keep, e);
      ExpectSameRows(a, e);
      EXPECT_EQ(fused.ModelText(), one.ModelText());
    }
    EXPECT_EQ(a.indptr.size(), texts.size() + 1);
    EXPECT_EQ(a.indptr[texts.size()], a.indptr[texts.size() - 1]);  // empty text, empty row
  }
}

INSTANTIATE_TEST_SUITE_P(SparseEncoder, ByAnalysis, testing::ValuesIn(kAnalyses));

TEST(SparseEncoder, FailedFitOrRestoreChangesNothing) {
  SparseEncoder enc(SmallTokenizer(), 0.75, 1.2);
  SparseRows rows;
  EXPECT_THROW(enc.EncodeQueries(Items({"北京"}), 1, false, rows), std::runtime_error);
  const std::string full = "{\"_doc_token_frequency\": {\"北京\": 5}, \"_doc_count\": " +
                           std::to_string(INT_MAX) +
                           ", \"_doc_length_average\": 1.0, \"_b\": 0.5, \"_k1\": 1.0}";
  enc.Restore(full);
  const std::string before = enc.ModelText();
  EXPECT_THROW(enc.Fit(Items({"北京"}), 1), std::overflow_error);
  EXPECT_THROW(enc.Restore("{\"_doc_count\": 1}"), std::runtime_error);
  EXPECT_EQ(enc.ModelText(), before);
  EXPECT_EQ(enc.b(), 0.5);
}

TEST(SparseEncoder, EncodesWhileAnotherThreadFits) {
  const std::vector<std::string> texts = Corpus();
  const std::vector<TextItem> items = Items(texts);
  SparseEncoder enc(SmallTokenizer(), 0.75, 1.2);
  enc.Fit(items, 1);
  std::thread fitter([&] {
    for (int round = 0; round < 5; ++round) enc.Fit(items, 2);
  });
  // Every query batch sees the statistics of a whole number of fits.
  std::vector<int> seen;
  for (int round = 0; round < 20; ++round) {
    SparseRows rows;
    enc.EncodeQueries(items, 2, false, rows);
    enc.EncodeDocuments(items, 2, false, rows);
    seen.push_back(enc.document_frequency("北京"));
  }
  fitter.join();
  for (int df : seen) EXPECT_EQ(df % 300, 0) << df;
  EXPECT_EQ(enc.doc_count(), 6 * 300);
}

TEST(SparseEncoder, CancelledCallsChangeNothing) {
  const std::vector<std::string> texts = Corpus();
  const std::vector<TextItem> items = Items(texts);
  for (const unsigned threads : {1u, 3u}) {
    SparseEncoder enc(SmallTokenizer(), 0.75, 1.2);
    enc.Fit(items, threads);
    const std::string before = enc.ModelText();
    std::atomic<bool> cancel{true};
    SparseRows rows;
    EXPECT_THROW(enc.Fit(items, threads, &cancel), Cancelled);
    EXPECT_THROW(enc.FitEncodeDocuments(items, threads, true, rows, &cancel), Cancelled);
    EXPECT_THROW(enc.EncodeDocuments(items, threads, false, rows, &cancel), Cancelled);
    EXPECT_THROW(enc.EncodeQueries(items, threads, false, rows, &cancel), Cancelled);
    EXPECT_EQ(enc.ModelText(), before);

    // A fit that completes marks the flag: a cancel after it comes too late.
    cancel = false;
    SparseEncoder twice(SmallTokenizer(), 0.75, 1.2);
    twice.Fit(items, threads);
    twice.Fit(items, threads);
    enc.Fit(items, threads, &cancel);
    EXPECT_TRUE(cancel.load());
    EXPECT_EQ(enc.ModelText(), twice.ModelText());
  }
}

TEST(SparseEncoder, CancelFromAnotherThreadStopsAWholeFitOrNone) {
  std::vector<std::string> texts;
  for (int round = 0; round < 200; ++round) {
    for (const std::string& text : Corpus()) texts.push_back(text + std::to_string(round));
  }
  const std::vector<TextItem> items = Items(texts);
  for (const int delay_ms : {0, 2, 20}) {
    SparseEncoder enc(SmallTokenizer(), 0.75, 1.2);
    enc.Fit(Items({"北京"}), 1);
    const std::string before = enc.ModelText();
    std::atomic<bool> cancel{false};
    std::thread canceller([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
      cancel.exchange(true);
    });
    SparseRows rows;
    bool cancelled = false;
    try {
      enc.FitEncodeDocuments(items, 2, false, rows, &cancel);
    } catch (const Cancelled&) {
      cancelled = true;
    }
    canceller.join();
    if (cancelled) {
      EXPECT_EQ(enc.ModelText(), before) << delay_ms;
    } else {
      EXPECT_EQ(enc.doc_count(), 1 + static_cast<int>(items.size())) << delay_ms;
      EXPECT_EQ(rows.indptr.size(), items.size() + 1);
    }
  }
}

}  // namespace norvane::sparse_encoder_test
