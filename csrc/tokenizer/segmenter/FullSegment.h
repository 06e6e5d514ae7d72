#pragma once

#include <string>
#include <vector>

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/SegmentBase.h"
#include "tokenizer/segmenter/Unicode.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

// Full mode: every dictionary word of two or more runes, overlapping or not,
// plus the runes that no such word covers.
class FullSegment : public SegmentBase {
 public:
  explicit FullSegment(const std::string& dictPath);
  explicit FullSegment(const DictTrie* dictTrie);
  ~FullSegment() override;

  FullSegment(const FullSegment&) = delete;
  FullSegment& operator=(const FullSegment&) = delete;

  void Cut(const std::string& sentence, std::vector<std::string>& words) const override;
  void Cut(const std::string& sentence, std::vector<Word>& words) const;
  void Cut(const RuneStr* begin, const RuneStr* end, std::vector<WordRange>& res) const;

 private:
  const DictTrie* dictTrie_;
  bool isNeedDestroy_;
};

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
