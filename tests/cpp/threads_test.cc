// One segmenter cut from several threads at once gives every thread the
// single-threaded result. Under ThreadSanitizer (CMAKE_CXX_FLAGS=
// -fsanitize=thread) this also shows that a cut writes nothing shared.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace korva {
namespace typing {
namespace text {
namespace {

using segmenter::Segmenter;
using testutil::StderrCapture;
using testutil::TempFile;

TEST(Threads, ShareOneSegmenter) {
  const std::string x = "-3.14e100";
  TempFile dict("中国 10 ns\n中 30 zg\n北京 20 ns\n大学 15 n\n人民 12 n\n学生 9 n\n");
  TempFile hmm("-0.6 " + x + " " + x + " -0.8\n" + x + " -0.5 -0.9 " + x + "\n-0.7 " + x + " " +
               x + " -0.7\n" + x + " -0.6 -0.8 " + x + "\n-0.7 " + x + " " + x +
               " -0.7\n小:-1.0\n明:-1.0\n晓:-1.0\n的:-0.5\n");
  TempFile user("小明 nr\n一\n");
  TempFile idf("中国 5.0\n");
  TempFile stop("的\n");
  const Segmenter seg(dict.path(), hmm.path(), user.path(), idf.path(), stop.path());

  const std::vector<std::string> sentences = {
      "小明的中国北京大学人民学生", "abc123 3.14，小晓明一二三", "", "\xFF\xFE",
      "中国人民大学生在北京。一个小王", std::string(3000, 'a') + "中国"};
  std::vector<std::vector<std::string>> expected;
  StderrCapture quiet;  // the undecodable sentence logs a record per cut
  for (const std::string& s : sentences) {
    std::vector<std::string> words, search;
    seg.Cut(s, words, true);
    seg.CutForSearch(s, search, true);
    expected.push_back(words);
    expected.push_back(search);
  }

  std::vector<int> mismatches(8, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 200; ++round) {
        const size_t i = static_cast<size_t>(t + round) % sentences.size();
        std::vector<std::string> words, search;
        seg.Cut(sentences[i], words, true);
        seg.CutForSearch(sentences[i], search, true);
        if (words != expected[2 * i] || search != expected[2 * i + 1]) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(8, 0));
}

}  // namespace
}  // namespace text
}  // namespace typing
}  // namespace korva
