// Every cutting mode of the facade on arbitrary bytes over a small fixed
// dictionary and model. A sentence that decodes comes back whole: the
// accurate and HMM cuts concatenate to it, the search cut is the accurate cut
// with two- and three-code-point sub-words in front of longer words. One that
// does not decode gives no words at all.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "../cpp/segmenter_files.h"
#include "tokenizer/segmenter/Segmenter.h"
#include "tokenizer/segmenter/Unicode.h"

using namespace korva::typing::text::segmenter;

namespace {

std::unique_ptr<SegmenterFiles> files;
std::unique_ptr<Segmenter> segmenter;

std::string Join(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) {
    FUZZ_CHECK(!word.empty());
    text += word;
  }
  return text;
}

size_t CodePoints(const std::string& word) {
  Unicode runes;
  FUZZ_CHECK(DecodeRunesInString(word, runes));
  return runes.size();
}

void CheckSearchCut(const std::vector<std::string>& accurate,
                    const std::vector<std::string>& search) {
  size_t j = 0;
  for (const std::string& word : search) {
    FUZZ_CHECK(j < accurate.size());
    if (word == accurate[j]) {
      ++j;
      continue;
    }
    // A sub-word: a piece of the accurate word it precedes.
    const size_t n = CodePoints(word);
    FUZZ_CHECK(n == 2 || n == 3);
    FUZZ_CHECK(CodePoints(accurate[j]) > n);
    FUZZ_CHECK(accurate[j].find(word) != std::string::npos);
  }
  FUZZ_CHECK(j == accurate.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceLogsUnlessAsked();
  files.reset(new SegmenterFiles());
  segmenter.reset(new Segmenter(files->dict, files->hmm, files->user, files->idf, files->stop));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string sentence(reinterpret_cast<const char*>(data), size);
  RuneStrArray runes;
  const bool decodes = DecodeRunesInString(sentence, runes);

  std::vector<std::string> accurate, search, plain, hmm_only, all;
  segmenter->Cut(sentence, accurate, true);
  segmenter->CutForSearch(sentence, search, true);
  segmenter->Cut(sentence, plain, false);
  segmenter->CutHMM(sentence, hmm_only);
  segmenter->CutAll(sentence, all);

  if (!decodes || sentence.empty()) {
    FUZZ_CHECK(accurate.empty() && search.empty() && plain.empty() && hmm_only.empty() &&
               all.empty());
    return 0;
  }
  FUZZ_CHECK(Join(accurate) == sentence);
  FUZZ_CHECK(Join(plain) == sentence);
  FUZZ_CHECK(Join(hmm_only) == sentence);
  CheckSearchCut(accurate, search);
  for (const std::string& word : all) {
    FUZZ_CHECK(!word.empty() && sentence.find(word) != std::string::npos);
  }

  std::vector<Word> words;
  segmenter->Cut(sentence, words, true);
  FUZZ_CHECK(words.size() == accurate.size());
  uint32_t offset = 0, unicode_offset = 0;
  for (size_t i = 0; i < words.size(); ++i) {
    FUZZ_CHECK(words[i].word == accurate[i]);
    FUZZ_CHECK(words[i].offset == offset);
    FUZZ_CHECK(words[i].unicode_offset == unicode_offset);
    offset += static_cast<uint32_t>(words[i].word.size());
    unicode_offset += words[i].unicode_length;
  }
  FUZZ_CHECK(unicode_offset == runes.size());
  return 0;
}
