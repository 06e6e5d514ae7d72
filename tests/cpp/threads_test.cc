// One segmenter cut from several threads at once gives every thread the
// single-threaded result. Under ThreadSanitizer (CMAKE_CXX_FLAGS=
// -fsanitize=thread) this also shows that a cut writes nothing shared.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "segmenter_files.h"
#include "test_support.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace korva::typing::text::segmenter {

TEST(Threads, ShareOneSegmenter) {
  const SegmenterFiles files;
  const Segmenter seg(files.dict, files.hmm, files.user, files.idf, files.stop);
  const std::vector<std::string> sentences = {
      "小明的中国北京大学人民学生", "abc123 3.14，小晓明一二三", "", "\xFF\xFE",
      "中国人民大学生在北京。一个小王", std::string(3000, 'a') + "中国"};
  std::vector<std::vector<std::string>> expected(2 * sentences.size());
  testutil::StderrCapture quiet;  // the undecodable sentence logs a record per cut
  for (size_t i = 0; i < sentences.size(); ++i) {
    seg.Cut(sentences[i], expected[2 * i], true);
    seg.CutForSearch(sentences[i], expected[2 * i + 1], true);
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

}  // namespace korva::typing::text::segmenter
