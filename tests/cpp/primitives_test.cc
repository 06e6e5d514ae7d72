// The shared primitives of csrc/norvane against brute force: the token
// counter against std::map over random lists, the replacing decoder against
// the strict one it is built on.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/byte_hash.h"
#include "norvane/token_counter.h"
#include "norvane/utf8.h"

namespace norvane {

// Random lists over a small alphabet (many repeats, equal bytes at
// different addresses), counted both at once and one token at a time into
// reused counters, whose tables grow several times.
TEST(TokenCounter, CountsAsAMapDoes) {
  std::mt19937 rng(11);
  std::vector<std::string> pool;
  for (int i = 0; i < 2000; ++i) {
    std::string token;
    for (size_t k = 1 + rng() % 20; k > 0; --k) token += "ab\0\xe4"[rng() % 4];
    pool.push_back(token);
  }
  TokenCounter<std::string_view> all_at_once;
  TokenCounter<std::string_view> one_by_one;
  TokenCounter<long long> numbers;
  for (size_t n : {0u, 1u, 7u, 300u, 5000u, 3u}) {
    std::vector<std::string_view> tokens;
    std::vector<size_t> hashes;
    std::vector<long long> values;
    std::map<std::string_view, uint32_t> want;
    std::vector<std::string_view> first_seen;
    for (size_t i = 0; i < n; ++i) {
      tokens.push_back(pool[rng() % std::min(n / 2 + 1, pool.size())]);
      hashes.push_back(HashBytes(tokens.back()));
      values.push_back(static_cast<long long>(tokens.back().size()));
      if (want[tokens.back()]++ == 0) first_seen.push_back(tokens.back());
    }
    all_at_once.Count(tokens.data(), hashes.data(), n);
    one_by_one.Reset(0);
    for (size_t i = 0; i < n; ++i) one_by_one.Add(tokens[i], hashes[i]);
    for (const auto* counter : {&all_at_once, &one_by_one}) {
      ASSERT_EQ(counter->size(), want.size()) << n;
      for (size_t e = 0; e < counter->size(); ++e) {
        const auto& entry = (*counter)[e];
        EXPECT_EQ(entry.token, first_seen[e]);  // in order of first occurrence
        EXPECT_EQ(entry.count, want[entry.token]);
        EXPECT_EQ(entry.hash, HashBytes(entry.token));
      }
    }
    std::vector<size_t> value_hashes(values.begin(), values.end());  // collide freely
    numbers.Count(values.data(), value_hashes.data(), n);
    std::map<long long, uint32_t> by_value;
    for (long long v : values) ++by_value[v];
    ASSERT_EQ(numbers.size(), by_value.size());
    for (const auto& entry : numbers) EXPECT_EQ(entry.count, by_value[entry.token]);
  }
}

// Every one-, two- and three-byte sequence and the edges of the four-byte
// ones: a valid sequence reads as the strict decoder reads it, anything else
// as U+FFFD of one byte.
TEST(Utf8, ReplacementFollowsTheStrictDecoder) {
  std::vector<std::vector<unsigned char>> inputs;
  for (unsigned a = 0; a < 256; ++a) {
    inputs.push_back({static_cast<unsigned char>(a)});
    for (unsigned b = 0; b < 256; ++b) {
      inputs.push_back({static_cast<unsigned char>(a), static_cast<unsigned char>(b)});
      const auto lead = static_cast<unsigned char>(a);
      const auto second = static_cast<unsigned char>(b);
      if (a >= 0xE0) inputs.push_back({lead, second, 0x80});
      if (a >= 0xF0) inputs.push_back({lead, second, 0xBF, 0x80});
    }
  }
  for (const auto& in : inputs) {
    char32_t strict = 0;
    char32_t replaced = 0;
    const size_t n = DecodeUtf8(in.data(), in.size(), strict);
    const size_t m = DecodeUtf8OrReplacement(in.data(), in.size(), replaced);
    EXPECT_EQ(m, n == 0 ? 1 : n);
    EXPECT_EQ(replaced, n == 0 ? 0xFFFD : strict);
    // The validator reads the first sequence as the decoder does.
    EXPECT_TRUE(n == 0 ? !ValidUtf8(in.data(), in.size()) : ValidUtf8(in.data(), n));
  }
}

}  // namespace norvane
