#include "tokenizer/segmenter/PreFilter.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"
#include "tokenizer/segmenter/SegmentBase.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {
namespace {

using testutil::IsRecords;
using testutil::StderrCapture;

// Exposes the separator set of the base class.
class PlainSegment : public SegmentBase {
 public:
  void Cut(const std::string&, std::vector<std::string>&) const override {}
  const std::unordered_set<Rune>& Symbols() const { return symbols_; }
};

std::vector<std::string> Pieces(const std::string& sentence) {
  PlainSegment segment;
  PreFilter filter(segment.Symbols(), sentence);
  std::vector<std::string> pieces;
  while (filter.HasNext()) {
    PreFilter::Range range = filter.Next();
    EXPECT_LT(range.begin, range.end);
    pieces.push_back(GetWordFromRunes(sentence, range.begin, range.end - 1).word);
  }
  return pieces;
}

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

struct PieceCase {
  std::string sentence;
  std::vector<std::string> pieces;
};

std::ostream& operator<<(std::ostream& os, const PieceCase& c) {
  return os << c.sentence;
}

class PreFilterPieces : public testing::TestWithParam<PieceCase> {};

TEST_P(PreFilterPieces, RunsAndSeparators) {
  EXPECT_EQ(Pieces(GetParam().sentence), GetParam().pieces);
}

INSTANTIATE_TEST_SUITE_P(
    Sentences, PreFilterPieces,
    testing::Values(PieceCase{"我爱，北京 天", {"我爱", "，", "北京", " ", "天"}},
                    PieceCase{"", {}}, PieceCase{"  ", {" ", " "}},
                    PieceCase{"北京欢迎你", {"北京欢迎你"}},
                    PieceCase{"\t北京。\n", {"\t", "北京", "。", "\n"}},
                    PieceCase{"a\rb\xE3\x80\x80" "c、d", {"a\rb\xE3\x80\x80" "c、d"}}));

TEST(PreFilter, UndecodableSentenceYieldsNothing) {
  StderrCapture capture;
  EXPECT_TRUE(Pieces("北京 \xFF 天").empty());
  EXPECT_TRUE(IsRecords(capture.Take(), R"(csrc/tokenizer/segmenter/PreFilter\.cc)",
                        {"ERROR decode failed. "}));
}

TEST(SegmentBase, DefaultSeparators) {
  PlainSegment segment;
  EXPECT_EQ(segment.Symbols(),
            (std::unordered_set<Rune>{' ', '\t', '\n', 0xFF0C, 0x3002}));
}

TEST(SegmentBase, ResetSeparatorsRecords) {
  const char* const file = R"(csrc/tokenizer/segmenter/SegmentBase\.h)";
  PlainSegment segment;
  {
    StderrCapture capture;
    EXPECT_FALSE(segment.ResetSeparators("，，"));
    EXPECT_TRUE(IsRecords(capture.Take(), file, {"ERROR ， already exists"}));
    EXPECT_EQ(segment.Symbols(), std::unordered_set<Rune>{0xFF0C});
  }
  {
    StderrCapture capture;
    EXPECT_FALSE(segment.ResetSeparators("ab\xE4"));
    EXPECT_TRUE(IsRecords(capture.Take(), file, {"ERROR decode ab\xE4 failed"}));
    EXPECT_TRUE(segment.Symbols().empty());
  }
  EXPECT_TRUE(segment.ResetSeparators("、"));
  EXPECT_EQ(segment.Symbols(), std::unordered_set<Rune>{0x3001});
  EXPECT_EQ(PieceLengths(segment.Symbols(), "a、b c"), (std::vector<size_t>{1, 1, 3}));
}

// ASCII separators on both halves of the ASCII range, and more non-ASCII ones
// than the filter keeps in its short list.
TEST(SegmentBase, ManySeparators) {
  PlainSegment segment;
  ASSERT_TRUE(segment.ResetSeparators("~!、。！？；：…—《》\xF0\xA0\x80\x80"));
  EXPECT_EQ(PieceLengths(segment.Symbols(), "ab~c!d、e》f\xF0\xA0\x80\x80g 。"),
            (std::vector<size_t>{2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 1}));
}

}  // namespace
}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
