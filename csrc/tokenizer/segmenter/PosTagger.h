#pragma once
// Usage:
//   PosTagger tagger;
//   std::vector<std::pair<std::string, std::string>> tagged;
//   tagger.Tag(sentence, tagged, mix_segment);
//
// Thread safety: stateless; any number of threads may tag at once.
// Throws: only std::bad_alloc.

#include <string>
#include <utility>
#include <vector>

#include "tokenizer/segmenter/SegmentTagged.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

extern const char* const POS_M;
extern const char* const POS_ENG;
extern const char* const POS_X;

// Tags the words of a cut with their dictionary tag, or with a tag derived
// from their characters when the dictionary has none. Stateless.
class PosTagger {
 public:
  // Appends one (word, tag) pair per word of src as cut by segment; true if
  // res is not empty afterwards.
  bool Tag(const std::string& src, std::vector<std::pair<std::string, std::string>>& res,
           const SegmentTagged& segment) const;
  std::string LookupTag(const std::string& str, const SegmentTagged& segment) const;
  // Only the prefix up to half of the code points counted as ASCII decides
  // between "m" and "eng", so a single code point always gets "x".
  const char* SpecialRule(const RuneStrArray& unicode) const;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
