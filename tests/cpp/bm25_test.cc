#include "search/bm25/bm25.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace korva::typing::text {

// The several-documents form is not reachable from Python.
TEST(BM25, TrainSeveralDocuments) {
  BM25 model(0.75, 1.2);
  EXPECT_THROW(model.train(std::vector<std::vector<long long>>{}), std::runtime_error);
  EXPECT_THROW(model.encode_query(std::vector<long long>{1}), std::runtime_error);
  // Empty inner lists are skipped: two documents of one token each, average
  // length 1, so K = k1 and a single token weighs 1 / (1.2 + 1).
  model.train(std::vector<std::vector<long long>>{{1}, {}, {2}});
  EXPECT_NEAR(model.encode_document(std::vector<long long>{1}).at(1), 1.0 / 2.2, 1e-12);
  // N1 = 3, count of '2' is 1.
  EXPECT_NEAR(model.encode_query(std::vector<long long>{2, 9}).at(2), 0.5, 1e-12);
}

// Keys that share long prefixes, contain NUL bytes or exceed eight bytes,
// enough of them to make the table grow several times.
std::vector<std::string> TableKeys() {
  std::vector<std::string> keys = {"", std::string("a\0b", 3), std::string("a\0c", 3)};
  for (int i = 0; i < 5000; ++i) {
    keys.push_back("prefix-shared-" + std::to_string(i));
    keys.push_back(std::to_string(i));
  }
  return keys;
}

TEST(TokenTableTest, CountsAddUpAcrossBatchesAndSingleUpdates) {
  TokenTable table;
  const std::string_view absent = "a";
  const int sentinel = 1;
  const int* nothing = &sentinel;
  table.find_counts(&absent, 1, &nothing);  // an empty table finds nothing
  EXPECT_EQ(nothing, nullptr);
  const std::vector<std::string> keys = TableKeys();
  std::vector<std::string_view> views(keys.begin(), keys.end());
  std::vector<int> counts(keys.size());
  for (size_t i = 0; i < counts.size(); ++i) counts[i] = static_cast<int>(i % 7) + 1;
  table.add_counts(views.data(), counts.data(), views.size() / 2);
  table.add_counts(views.data(), counts.data(), views.size());
  for (size_t i = 0; i < keys.size(); i += 3) table[keys[i]] += 100;
  ASSERT_EQ(table.size(), keys.size());

  std::vector<const int*> found(views.size() + 1);
  views.push_back("absent");
  table.find_counts(views.data(), views.size(), found.data());
  for (size_t i = 0; i < keys.size(); ++i) {
    const int want = counts[i] * (i < keys.size() / 2 ? 2 : 1) + (i % 3 == 0 ? 100 : 0);
    ASSERT_NE(found[i], nullptr) << i;
    EXPECT_EQ(*found[i], want) << i;
  }
  EXPECT_EQ(found.back(), nullptr);

  // Iteration visits every entry once, with the count lookups see.
  size_t visited = 0;
  for (const auto& entry : table) {
    const std::string_view key = entry.first;
    const int* count = nullptr;
    table.find_counts(&key, 1, &count);
    ASSERT_EQ(count, &entry.second);
    ++visited;
  }
  EXPECT_EQ(visited, keys.size());
}

// Keys that agree on their first eight bytes, are prefixes of each other or
// hold NUL bytes; repeated in a list longer than the inline buffers.
TEST(BM25IndexedTest, CountsAndOrderMatchAnOrderedMapOnSharedPrefixes) {
  const std::vector<std::string> pool = {
      "abcdefgh", "abcdefghi", std::string("abcdefgh\0", 9), "abcdefg", "ab",
      std::string("ab\0", 3), "", "abcdefghijklmnopq", "abcdefghijklmnopr", "b"};
  std::vector<std::string> tokens;
  for (size_t i = 0; i < 300; ++i) tokens.push_back(pool[(i * 7 + i / 5) % pool.size()]);
  std::map<std::string, std::pair<size_t, int>> expected;  // first index, count
  for (size_t i = 0; i < tokens.size(); ++i) {
    auto& entry = expected.emplace(tokens[i], std::make_pair(i, 0)).first->second;
    ++entry.second;
  }
  BM25 model(0.75, 1.2);
  model.train(tokens);
  const std::vector<std::string_view> views(tokens.begin(), tokens.end());
  std::vector<BM25::IndexedWeight> weights(views.size());
  ASSERT_EQ(model.encode_document(views.data(), views.size(), weights.data()), expected.size());
  // The whole list has the average length, so K = k1.
  size_t i = 0;
  for (const auto& entry : expected) {
    const double f = entry.second.second;
    EXPECT_EQ(weights[i].first, entry.second.first) << i;
    EXPECT_DOUBLE_EQ(weights[i].second, f / (1.2 + f)) << i;
    ++i;
  }
}

}  // namespace korva::typing::text
