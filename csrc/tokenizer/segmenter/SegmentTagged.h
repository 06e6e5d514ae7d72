#pragma once
// Usage: the base of segmenters that can tag their words (MPSegment,
// MixSegment); PosTagger takes one.
//
// Thread safety: as SegmentBase: Tag is const and may run on many threads.
// Throws: Tag only std::bad_alloc.

#include <string>
#include <utility>
#include <vector>

#include "tokenizer/segmenter/SegmentBase.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

class DictTrie;

// A segmenter with a dictionary, which can therefore tag its words.
class SegmentTagged : public SegmentBase {
 public:
  SegmentTagged() {}
  virtual ~SegmentTagged() {}

  virtual bool Tag(const std::string& src,
                   std::vector<std::pair<std::string, std::string>>& res) const = 0;
  virtual const DictTrie* GetDictTrie() const = 0;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
