// The toolkit tokenizer's byte offsets, tags and parallel loop; the Python
// tests cover what the binding shows (code-point offsets, batches).
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "segmenter_files.h"
#include "norvane/t2s_table.h"
#include "norvane/parallel.h"
#include "norvane/tokenizer.h"
#include "test_support.h"
#include "tokenizer/segmenter/MixSegment.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace norvane {
namespace {

TokenizerPaths PathsOf(const SegmenterFiles& files) {
  return TokenizerPaths{files.dict, files.hmm, files.user, files.idf, files.stop};
}

// Every token's bytes are the code points its code-point offsets name.
void ExpectConsistent(const std::string& text, const std::vector<Token>& tokens) {
  std::vector<uint32_t> starts;  // byte offset of each code point, then the end
  for (uint32_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  }
  starts.push_back(static_cast<uint32_t>(text.size()));
  for (const Token& t : tokens) {
    ASSERT_LE(t.unicode_offset + t.unicode_length, starts.size() - 1);
    EXPECT_EQ(t.offset, starts[t.unicode_offset]);
    EXPECT_EQ(t.offset + t.length, starts[t.unicode_offset + t.unicode_length]);
  }
}

TEST(NorvaneTokenizer, TraditionalOffsetsPointIntoTheOriginal) {
  SegmenterFiles files;
  // 㗲 is three bytes of UTF-8, its simplified form 𠵾 four.
  files.Write("dict.txt", "𠵾中 10 n\n中国 10 ns\n人民 20 n\n");
  ASSERT_EQ(SimplifiedOf(U'㗲'), U'𠵾');
  const Tokenizer tok(PathsOf(files), true);
  const std::string text = "㗲中 中國人民";
  for (CutMode mode : {CutMode::kAccurate, CutMode::kSearch}) {
    std::vector<Token> tokens;
    tok.Tokenize(text, mode, tokens);
    ExpectConsistent(text, tokens);
    ASSERT_FALSE(tokens.empty());
    EXPECT_EQ(text.substr(tokens[0].offset, tokens[0].length), "㗲中");
    EXPECT_EQ(text.substr(tokens[2].offset, tokens[2].length), "中國");
  }
}

TEST(NorvaneTokenizer, TextThatIsNotUtf8GivesNoTokens) {
  const SegmenterFiles files;
  for (bool traditional : {false, true}) {
    const Tokenizer tok(PathsOf(files), traditional);
    // A lone byte above 0x7F, an overlong slash, a surrogate, a cut-off end.
    for (const std::string text : {"中\xFF", "\xC0\xAF", "\xED\xA0\x80", "中国\xE4\xB8"}) {
      std::vector<Token> tokens{Token{1, 1, 1, 1}};
      tok.Tokenize(text, CutMode::kAccurate, tokens);
      EXPECT_TRUE(tokens.empty()) << text;
    }
  }
}

TEST(NorvaneTokenizer, TagsEqualTheSegmentersOwnTagger) {
  const SegmenterFiles files;
  const Tokenizer tok(PathsOf(files), false);
  const korva::typing::text::segmenter::MixSegment mix(tok.segmenter().GetDictTrie(),
                                                       tok.segmenter().GetHMMModel());
  for (const std::string text : {"我爱北京大学的学生 ab 3.14 2024 x1", "小明了", ""}) {
    std::vector<std::pair<std::string, std::string>> expected, tagged;
    mix.Tag(text, expected);
    tok.Tag(text, tagged);
    EXPECT_EQ(tagged, expected) << text;
  }
}

TEST(ParallelFor, RunsEveryIndexOnce) {
  for (unsigned threads : {0u, 1u, 2u, 7u}) {
    for (size_t n : {0, 1, 3, 500}) {
      std::vector<std::atomic<int>> runs(n);
      ParallelFor(n, threads, [&](size_t i) { ++runs[i]; });
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(runs[i].load(), 1) << threads << " " << n;
    }
  }
}

// Under ThreadSanitizer (tests/run_all.sh) this also shows that cuts on one
// tokenizer share no written state.
TEST(ParallelFor, CutsOnOneTokenizerEqualSerialCuts) {
  const SegmenterFiles files;
  for (bool traditional : {false, true}) {
    const Tokenizer tok(PathsOf(files), traditional);
    std::vector<std::string> texts;
    for (int i = 0; i < 64; ++i) {
      texts.push_back(std::string(i % 7, 'a') + "我爱北京大學的學生，小明了");
    }
    std::vector<std::vector<Token>> serial(texts.size()), parallel(texts.size());
    for (size_t i = 0; i < texts.size(); ++i) tok.Tokenize(texts[i], CutMode::kSearch, serial[i]);
    ParallelFor(texts.size(), 4,
                [&](size_t i) { tok.Tokenize(texts[i], CutMode::kSearch, parallel[i]); });
    for (size_t i = 0; i < texts.size(); ++i) {
      ASSERT_EQ(parallel[i].size(), serial[i].size());
      for (size_t k = 0; k < serial[i].size(); ++k) {
        EXPECT_EQ(parallel[i][k].offset, serial[i][k].offset);
        EXPECT_EQ(parallel[i][k].length, serial[i][k].length);
      }
    }
  }
}

TEST(ParallelFor, RethrowsAfterTheOthersStop) {
  std::atomic<int> running{0};
  EXPECT_THROW(ParallelFor(1000, 4,
                           [&](size_t i) {
                             ++running;
                             if (i == 10) throw std::runtime_error("stop");
                             --running;
                           }),
               std::runtime_error);
  EXPECT_EQ(running.load(), 1);  // only the throwing call never finished
}

// consume sees items in order, once each, on the calling thread and outside
// `unlocked`; the calling thread's own producing happens inside it.
TEST(OrderedFor, ConsumesInOrderOnTheCallingThread) {
  const std::thread::id caller = std::this_thread::get_id();
  for (unsigned threads : {0u, 1u, 2u, 7u}) {
    for (size_t n : {0, 1, 3, 500}) {
      std::vector<std::atomic<int>> produced(n);
      std::vector<size_t> consumed;
      bool inside = false;
      OrderedFor(
          n, threads,
          [&](size_t i) {
            if (std::this_thread::get_id() == caller) {
              EXPECT_TRUE(inside);
            }
            ++produced[i];
          },
          [&](size_t i) {
            EXPECT_EQ(std::this_thread::get_id(), caller);
            EXPECT_FALSE(inside);
            EXPECT_EQ(produced[i].load(), 1);
            consumed.push_back(i);
          },
          [&](const std::function<void()>& step) {
            inside = true;
            step();
            inside = false;
          });
      ASSERT_EQ(consumed.size(), n) << threads;
      for (size_t i = 0; i < n; ++i) EXPECT_EQ(consumed[i], i);
    }
  }
}

TEST(OrderedFor, RethrowsAfterTheOthersStop) {
  for (bool in_consume : {false, true}) {
    std::atomic<int> running{0};
    size_t last_consumed = 0;
    auto produce = [&](size_t i) {
      ++running;
      if (!in_consume && i == 10) throw std::runtime_error("produce");
      --running;
    };
    auto consume = [&](size_t i) {
      if (in_consume && i == 10) throw std::runtime_error("consume");
      last_consumed = i;
    };
    EXPECT_THROW(OrderedFor(1000, 4, produce, consume,
                            [](const std::function<void()>& step) { step(); }),
                 std::runtime_error);
    EXPECT_EQ(running.load(), in_consume ? 0 : 1);  // only a throwing produce never finished
    if (in_consume) {
      EXPECT_EQ(last_consumed, 9u);
    }
    EXPECT_LE(last_consumed, 9u);
  }
}

}  // namespace
}  // namespace norvane
