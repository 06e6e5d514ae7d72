// UTF-8 decoding is checked against a reference decoder by the utf8_fuzz
// target, on its seeds (tests/fuzz/corpus/utf8_fuzz) and on arbitrary bytes.
#include "tokenizer/segmenter/Unicode.h"

#include <gtest/gtest.h>

#include <vector>

namespace korva::typing::text::segmenter {

TEST(LocalVector, GrowsToHeapAndClearsBackInline) {
  util::LocalVector<int> v;
  for (int i = 0; i < 16; ++i) v.push_back(i);
  const int* inline_storage = v.begin();
  EXPECT_EQ(v.capacity(), 16u);
  v.push_back(v[0]);  // the argument lives in the storage being replaced
  EXPECT_EQ(v.capacity(), 32u);
  EXPECT_EQ(v.size(), 17u);
  EXPECT_EQ(v[16], 0);
  EXPECT_EQ(v[15], 15);

  util::LocalVector<int> copy(v);
  EXPECT_NE(copy.begin(), v.begin());
  ASSERT_EQ(copy.size(), 17u);
  EXPECT_EQ(copy[16], 0);
  util::LocalVector<int> small;
  small.push_back(7);
  copy = small;
  copy = copy;
  EXPECT_EQ(copy.capacity(), 16u);
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0], 7);

  v.clear();
  EXPECT_TRUE(v.empty());
  EXPECT_EQ(v.begin(), inline_storage);
  v.reserve(100);
  EXPECT_EQ(v.capacity(), 100u);
}

}  // namespace korva::typing::text::segmenter
