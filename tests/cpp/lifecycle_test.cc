// Objects built and destroyed many times, including constructions that fail
// half-way through loading. Under the sanitizer build (NORVANE_SANITIZE) the
// leak check at the end of each test fails it if anything was left behind.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

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

namespace korva {
namespace typing {
namespace text {
namespace {

using segmenter::Segmenter;
using testutil::StderrCapture;
using testutil::TempFile;

const char kMin[] = "-3.14e100";

std::string Model(const std::string& emissions) {
  const std::string x = kMin;
  return "-0.6 " + x + " " + x + " -0.8\n" + x + " -0.5 -0.9 " + x + "\n-0.7 " + x + " " + x +
         " -0.7\n" + x + " -0.6 -0.8 " + x + "\n-0.7 " + x + " " + x + " -0.7\n" + emissions;
}

class Lifecycle : public testing::Test {
 protected:
  void TearDown() override {
#ifdef NORVANE_LEAK_CHECK
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0) << "memory leaked";
#endif
  }

  TempFile dict_{"中国 10 ns\n中 30 zg\n北京 20 ns\n大学 15 n\n"};
  TempFile hmm_{Model("小:-1.0\n明:-1.0\n晓:-1.0\n的:-0.5\n")};
  TempFile user_{"小明 nr\n云计算 100 n\n一\n"};
  TempFile idf_{"中国 5.0\n\n北京 x y\n"};
  TempFile stop_{"的\r\n了\n"};
};

TEST_F(Lifecycle, SegmentersComeAndGo) {
  StderrCapture quiet;
  std::vector<std::string> first;
  for (int i = 0; i < 200; ++i) {
    Segmenter seg(dict_.path(), hmm_.path(), user_.path(), idf_.path(), stop_.path());
    std::vector<std::string> words, search;
    seg.Cut("小明在北京大学学习云计算，中国人。", words, true);
    seg.CutForSearch("中华人民共和国北京大学", search, true);
    if (i == 0) first = words;
    ASSERT_EQ(words, first);
    ASSERT_FALSE(search.empty());
  }
}

TEST_F(Lifecycle, EveryFailingConstructionCleansUp) {
  TempFile bad_line("中国 10 ns\n中 30\n");
  TempFile no_words("\xFF\xFE 3 x\n");
  TempFile short_model(Model("小:-1.0\n明:-1.0\n"));
  TempFile bad_emission(Model("小:-1.0\n明:-1.0\n晓晓:-1.0\n的:-0.5\n"));
  const std::string missing = dict_.path() + ".missing";
  const std::string d = dict_.path(), h = hmm_.path(), u = user_.path(), i = idf_.path(),
                    s = stop_.path();
  // Each fails at a different step, with the earlier members already built.
  const std::vector<std::vector<std::string>> cases = {
      {missing, h, u, i, s},           {bad_line.path(), h, u, i, s},
      {no_words.path(), h, u, i, s},   {d, h, u + ";" + missing, i, s},
      {d, h, u + "||" + u, i, s},      {d, missing, u, i, s},
      {d, short_model.path(), u, i, s}, {d, bad_emission.path(), u, i, s},
      {d, h, u, missing, s},           {d, h, u, i, missing},
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

}  // namespace
}  // namespace text
}  // namespace typing
}  // namespace korva
