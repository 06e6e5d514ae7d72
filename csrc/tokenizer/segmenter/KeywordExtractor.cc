#include "tokenizer/segmenter/KeywordExtractor.h"

namespace korva {
namespace typing {
namespace text {
namespace segmenter {

KeywordExtractor::KeywordExtractor(const DictTrie* dictTrie, const HMMModel* model,
                                   const std::string& idfPath,
                                   const std::string& stopWordPath)
    : segment_(dictTrie, model), idfAverage_(0.0) {
  LoadIdfDict(idfPath);
  LoadStopWordDict(stopWordPath);
}

}  // namespace segmenter
}  // namespace text
}  // namespace typing
}  // namespace korva
