// The two optimisers of the segmenter against test-only exhaustive searches:
// the dictionary route over every segmentation of every short string, and the
// Viterbi tags over every tag path. Small random tables with few distinct
// values make ties common, so the tie rules are checked as well.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/HMMSegment.h"
#include "tokenizer/segmenter/MPSegment.h"

namespace korva::typing::text::segmenter {
namespace {

// Code points of one to four UTF-8 bytes, so word offsets are checked too.
const std::vector<std::string> kLetters = {"a", "\xC3\xA9", "\xE4\xB8\xAD", "\xF0\x9F\x98\x80"};

// Calls fn with every string of 1..max_len letters, as letter indexes.
void ForEachString(size_t max_len, const std::function<void(const std::vector<int>&)>& fn) {
  std::vector<int> s;
  std::function<void()> extend = [&] {
    if (testing::Test::HasFatalFailure()) return;  // one report, not thousands
    if (!s.empty()) fn(s);
    if (s.size() == max_len) return;
    for (int c = 0; c < 4; ++c) {
      s.push_back(c);
      extend();
      s.pop_back();
    }
  };
  extend();
}

std::string Text(const std::vector<int>& s, size_t from = 0, size_t to = SIZE_MAX) {
  std::string text;
  for (size_t i = from; i < s.size() && i < to; ++i) text += kLetters[s[i]];
  return text;
}

// Weight of letters [i, j) as a candidate word, NaN for no candidate.
typedef double WordWeights[8][8];

// The best total weight of any segmentation of letters [from, size), every
// one of them enumerated (bit k of a mask cuts after letter from + k) and
// summed from the right, as a route accumulates.
double BestSuffix(size_t size, size_t from, const WordWeights& word_weight) {
  const size_t n = size - from;
  if (n == 0) return 0.0;
  double best = -INFINITY;
  for (uint32_t mask = 0; mask < (1u << (n - 1)); ++mask) {
    double total = 0.0;
    size_t end = size;
    for (size_t k = n - 1; k-- > 0 && !std::isnan(total);) {
      if (mask >> k & 1) {
        total += word_weight[from + k + 1][end];
        end = from + k + 1;
      }
    }
    total += word_weight[from][end];
    if (total > best) best = total;
  }
  return best;
}

TEST(BruteForce, DictionaryRouteOverEverySegmentation) {
  for (unsigned seed = 1; seed <= 4; ++seed) {
    std::mt19937 rng(seed);
    std::map<std::string, int> entries;
    while (entries.size() < 14) {
      std::vector<int> word(1 + rng() % 4);
      for (int& c : word) c = static_cast<int>(rng() % 4);
      entries[Text(word)] = 1 << (rng() % 3);
    }
    std::string lines = "z 5 x\n";  // a word off the alphabet raises the total
    for (const auto& entry : entries) lines += entry.first + " " + std::to_string(entry.second) + " x\n";
    testutil::TempFile file(lines);
    const DictTrie dict(file.path());
    const MPSegment segment(&dict);

    for (size_t max_len : {size_t{2}, MAX_WORD_LENGTH}) {
      ForEachString(7, [&](const std::vector<int>& s) {
        RuneStrArray runes;
        const std::string sentence = Text(s);
        ASSERT_TRUE(DecodeRunesInString(sentence, runes));
        WordWeights table;
        for (size_t i = 0; i < s.size(); ++i) {
          for (size_t j = i + 1; j <= s.size(); ++j) {
            const DictUnit* unit = dict.Find(runes.begin() + i, runes.begin() + j);
            table[i][j] = unit != nullptr && j - i <= max_len ? unit->weight
                          : j - i == 1                       ? dict.GetMinWeight()
                                                             : NAN;
          }
        }
        // From each position, the shortest word that a best route of the
        // rest completes to a best route: ties keep the shorter word.
        std::vector<double> best(s.size() + 1);
        for (size_t i = 0; i <= s.size(); ++i) best[i] = BestSuffix(s.size(), i, table);
        std::vector<std::string> expected;
        for (size_t i = 0; i < s.size();) {
          size_t j = i + 1;
          while (j <= s.size() && !(best[j] + table[i][j] == best[i])) ++j;
          ASSERT_LE(j, s.size()) << "no route reaches the best weight";
          expected.push_back(Text(s, i, j));
          i = j;
        }
        std::vector<std::string> words;
        segment.Cut(sentence, words, max_len);
        ASSERT_EQ(words, expected) << "seed " << seed << ", max_len " << max_len;
      });
    }
  }
}

TEST(BruteForce, ViterbiOverEveryTagPath) {
  // Quarter steps: every sum below is exact, so a tie is a tie.
  const double kValues[] = {0, -0.25, -0.5, -1, -1.5, -2};
  for (unsigned seed = 1; seed <= 3; ++seed) {
    std::mt19937 rng(seed);
    auto draw = [&] { return kValues[rng() % 6]; };
    double start[4], trans[4][4], emit[4][4];  // emit[state][letter]
    for (double& v : start) v = draw();
    for (auto& row : trans) {
      for (double& v : row) v = draw();
    }
    for (auto& row : emit) {
      for (double& v : row) v = draw();
    }
    std::string text;
    for (double v : start) text += std::to_string(v) + " ";
    for (const auto& row : trans) {
      text += "\n";
      for (double v : row) text += std::to_string(v) + " ";
    }
    for (const auto& row : emit) {
      text += "\n";
      for (int c = 0; c < 4; ++c) text += (c ? "," : "") + kLetters[c] + ":" + std::to_string(row[c]);
    }
    testutil::TempFile file(text);
    const HMMModel model(file.path());
    const HMMSegment segment(&model);

    ForEachString(5, [&](const std::vector<int>& s) {
      const size_t n = s.size();
      // Of the paths ending in E or S with the highest score, the one whose
      // tags read from the end are smallest (B < E < M < S): later ties are
      // settled first, and at the end E goes before S.
      std::vector<size_t> path(n, 0), expected;
      double best = -INFINITY;
      for (size_t code = 0; code < (size_t{1} << (2 * n)); ++code) {
        for (size_t x = 0; x < n; ++x) path[x] = code >> (2 * x) & 3;
        if (path[n - 1] != HMMModel::E && path[n - 1] != HMMModel::S) continue;
        double score = start[path[0]] + emit[path[0]][s[0]];
        for (size_t x = 1; x < n; ++x) score = score + trans[path[x - 1]][path[x]] + emit[path[x]][s[x]];
        const bool smaller = std::lexicographical_compare(path.rbegin(), path.rend(),
                                                          expected.rbegin(), expected.rend());
        if (score > best || (score == best && smaller)) {
          best = score;
          expected = path;
        }
      }
      RuneStrArray runes;
      ASSERT_TRUE(DecodeRunesInString(Text(s), runes));
      std::vector<size_t> status;
      segment.Viterbi(runes.begin(), runes.end(), status);
      ASSERT_EQ(status, expected) << "seed " << seed << ", text " << Text(s);
    });
  }
}

}  // namespace
}  // namespace korva::typing::text::segmenter
