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
  // Both token kinds share one table; a key past the inline string storage
  // is kept too (the sanitizer build checks it is freed).
  model.train(std::vector<std::string>{"2", std::string(100, 'x')});
  EXPECT_EQ(model.encode_query(std::vector<std::string>{"2", std::string(100, 'x')}).size(), 2u);
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

}  // namespace korva::typing::text
