#include "tokenizer/segmenter/PosTagger.h"

#include "tokenizer/segmenter/DictTrie.h"
#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

const char* const POS_M = "m";
const char* const POS_ENG = "eng";
const char* const POS_X = "x";

bool PosTagger::Tag(const std::string& src, std::vector<std::pair<std::string, std::string>>& res,
                    const SegmentTagged& segment) const {
  std::vector<std::string> words;
  segment.Cut(src, words);
  for (const std::string& word : words) {
    res.push_back(std::make_pair(word, LookupTag(word, segment)));
  }
  return !res.empty();
}

std::string PosTagger::LookupTag(const std::string& str, const SegmentTagged& segment) const {
  const DictTrie* dict = segment.GetDictTrie();
  RuneStrArray runes;
  if (!DecodeRunesInString(str, runes)) {
    LOG_RECORD(ERROR) << "Decode failed.";
    return POS_X;
  }
  const DictUnit* unit = dict != nullptr ? dict->Find(runes.begin(), runes.end()) : nullptr;
  if (unit != nullptr && !unit->tag.empty()) {
    return unit->tag;
  }
  return SpecialRule(runes);
}

const char* PosTagger::SpecialRule(const RuneStrArray& unicode) const {
  size_t m = 0;
  size_t eng = 0;
  size_t n = unicode.size();
  for (size_t i = 0; i < n && eng < n / 2; ++i) {
    if (unicode[i].rune < 0x80) {
      ++eng;
      if ('0' <= unicode[i].rune && unicode[i].rune <= '9') {
        ++m;
      }
    }
  }
  if (eng == 0) {
    return POS_X;
  }
  if (m == eng) {
    return POS_M;
  }
  return POS_ENG;
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
