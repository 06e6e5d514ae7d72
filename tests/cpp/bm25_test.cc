#include "search/bm25/bm25.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace korva {
namespace typing {
namespace text {
namespace {

// The several-documents form is not reachable from Python.
TEST(BM25, TrainSeveralDocumentsSkipsEmptyInnerLists) {
  BM25 model(0.75, 1.2);
  model.train(std::vector<std::vector<long long>>{{1}, {}, {2}});
  // Two documents of one token each: average length 1, so K = k1 and a single
  // token weighs 1 / (1.2 + 1).
  auto weights = model.encode_document(std::vector<long long>{1});
  ASSERT_EQ(weights.size(), 1u);
  EXPECT_NEAR(weights.at(1), 1.0 / 2.2, 1e-12);
  // N1 = 3, count of '2' is 1.
  auto query = model.encode_query(std::vector<long long>{2, 9});
  EXPECT_NEAR(query.at(2), 0.5, 1e-12);
}

TEST(BM25, TrainSeveralDocumentsRejectsEmptyOuterList) {
  BM25 model(0.75, 1.2);
  EXPECT_THROW(model.train(std::vector<std::vector<long long>>{}), std::runtime_error);
  EXPECT_THROW(model.encode_query(std::vector<long long>{1}), std::runtime_error);
}

}  // namespace
}  // namespace text
}  // namespace typing
}  // namespace korva
