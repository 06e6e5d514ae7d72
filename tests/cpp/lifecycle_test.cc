// Objects built and destroyed many times, including constructions that fail
// half-way through loading. Under the sanitizer build (NORVANE_SANITIZE) the
// leak check at the end of each test fails it if anything was left behind.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "segmenter_files.h"
#include "search/bm25/bm25.h"
#include "test_support.h"
#include "tokenizer/segmenter/Segmenter.h"
#include "tokenizer/segmenter/util/Logging.h"

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NORVANE_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define NORVANE_LEAK_CHECK 1
#endif
#ifdef NORVANE_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace korva::typing::text {

using segmenter::Segmenter;
using testutil::StderrCapture;

class Lifecycle : public testing::Test {
 protected:
  void TearDown() override {
#ifdef NORVANE_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory leaked";
#endif
  }

  SegmenterFiles files_;
};

TEST_F(Lifecycle, SegmentersComeAndGo) {
  StderrCapture quiet;
  std::vector<std::string> first;
  for (int i = 0; i < 200; ++i) {
    Segmenter seg(files_.dict, files_.hmm, files_.user, files_.idf, files_.stop);
    std::vector<std::string> words, search;
    seg.Cut("小明在北京大学学习云计算，中国人。", words, true);
    seg.CutForSearch("中华人民共和国北京大学", search, true);
    if (i == 0) first = words;
    ASSERT_EQ(words, first);
    ASSERT_FALSE(search.empty());
  }
}

TEST_F(Lifecycle, EveryFailingConstructionCleansUp) {
  const std::string bad_line = files_.Write("bad_line", "中国 10 ns\n中 30\n");
  const std::string no_words = files_.Write("no_words", "\xFF\xFE 3 x\n");
  const std::string short_model = files_.Write("short", testutil::HmmText({"小:-1.0", "明:-1.0"}));
  const std::string bad_emission =
      files_.Write("bad_emission", testutil::HmmText({"小:-1.0", "明:-1.0", "晓晓:-1.0", "的:-0.5"}));
  const std::string missing = files_.dict + ".missing";
  const std::string d = files_.dict, h = files_.hmm, u = files_.user, i = files_.idf,
                    s = files_.stop;
  // Each fails at a different step, with the earlier members already built.
  const std::vector<std::vector<std::string>> cases = {
      {missing, h, u, i, s},     {bad_line, h, u, i, s},     {no_words, h, u, i, s},
      {d, h, u + ";" + missing, i, s}, {d, missing, u, i, s}, {d, short_model, u, i, s},
      {d, bad_emission, u, i, s}, {d, h, u, missing, s},     {d, h, u, i, missing},
  };
  StderrCapture quiet;
  for (int round = 0; round < 20; ++round) {
    for (const auto& c : cases) {
      EXPECT_THROW(Segmenter(c[0], c[1], c[2], c[3], c[4]), util::FatalError)
          << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4];
    }
  }
}

TEST_F(Lifecycle, EncodersComeAndGo) {
  for (int i = 0; i < 500; ++i) {
    BM25 model(0.75, 1.2);
    EXPECT_THROW(model.encode_query(std::vector<std::string>{"a"}), std::runtime_error);
    EXPECT_THROW(model.train(std::vector<std::string>{}), std::runtime_error);
    model.train(std::vector<std::string>{"a", "b", std::string(100, 'x')});
    model.train(std::vector<long long>{1, 2, 3, i});
    EXPECT_EQ(model.encode_document(std::vector<std::string>{"a"}).size(), 1u);
    EXPECT_EQ(model.encode_query(std::vector<long long>{1, 9}).size(), 2u);
  }
}

}  // namespace korva::typing::text
