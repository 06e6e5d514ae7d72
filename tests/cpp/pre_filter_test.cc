#include "tokenizer/segmenter/PreFilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/SegmentBase.h"

namespace korva::typing::text::segmenter {

// Exposes the separator set of the base class.
class PlainSegment : public SegmentBase {
 public:
  void Cut(const std::string&, std::vector<std::string>&) const override {}
  const std::unordered_set<Rune>& Symbols() const { return symbols_; }
};

std::vector<size_t> PieceLengths(const std::unordered_set<Rune>& symbols,
                                 const std::string& sentence) {
  PreFilter filter(symbols, sentence);
  std::vector<size_t> lengths;
  while (filter.HasNext()) {
    PreFilter::Range range = filter.Next();
    lengths.push_back(static_cast<size_t>(range.end - range.begin));
  }
  return lengths;
}

TEST(SegmentBase, ResetSeparatorsRecords) {
  const char* const file = R"(csrc/tokenizer/segmenter/SegmentBase\.h)";
  PlainSegment segment;
  EXPECT_EQ(segment.Symbols(), (std::unordered_set<Rune>{' ', '\t', '\n', 0xFF0C, 0x3002}));
  {
    testutil::StderrCapture capture;
    EXPECT_FALSE(segment.ResetSeparators("，，"));
    EXPECT_TRUE(testutil::IsRecords(capture.Take(), file, {"ERROR ， already exists"}));
    EXPECT_EQ(segment.Symbols(), std::unordered_set<Rune>{0xFF0C});
  }
  {
    testutil::StderrCapture capture;
    EXPECT_FALSE(segment.ResetSeparators("ab\xE4"));
    EXPECT_TRUE(testutil::IsRecords(capture.Take(), file, {"ERROR decode ab\xE4 failed"}));
    EXPECT_TRUE(segment.Symbols().empty());
  }
  EXPECT_TRUE(segment.ResetSeparators("、"));
  EXPECT_EQ(PieceLengths(segment.Symbols(), "a、b c"), (std::vector<size_t>{1, 1, 3}));
}

}  // namespace korva::typing::text::segmenter
