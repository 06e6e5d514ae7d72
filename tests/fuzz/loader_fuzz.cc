// The data-file loaders on arbitrary file contents. The first byte picks the
// file that gets the fuzzed contents (main dictionary, user dictionary, HMM
// model, IDF table or stop words); the other four are the valid fixed files.
// A rejected file must end in the fatal-check exception after its record,
// never in a crash; an accepted one must give a segmenter that cuts.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "../cpp/segmenter_files.h"
#include "tokenizer/segmenter/Segmenter.h"
#include "tokenizer/segmenter/Unicode.h"
#include "tokenizer/segmenter/util/Logging.h"

using namespace korva::typing::text::segmenter;
using korva::typing::text::util::FatalError;

namespace {

std::unique_ptr<SegmenterFiles> files;
std::string fuzzed_path;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SilenceLogsUnlessAsked();
  files.reset(new SegmenterFiles());
  fuzzed_path = files->Write("fuzzed.txt", "");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const int slot = data[0] % 5;
  const std::string contents(reinterpret_cast<const char*>(data + 1), size - 1);
  files->Write("fuzzed.txt", contents);

  std::string dict = files->dict, hmm = files->hmm, user = files->user, idf = files->idf,
              stop = files->stop;
  switch (slot) {
    case 0: dict = fuzzed_path; break;
    // Also as the second of two listed user dictionaries.
    case 1: user = (data[0] & 0x80) ? files->user + ";" + fuzzed_path : fuzzed_path; break;
    case 2: hmm = fuzzed_path; break;
    case 3: idf = fuzzed_path; break;
    default: stop = fuzzed_path; break;
  }

  std::unique_ptr<Segmenter> segmenter;
  try {
    segmenter.reset(new Segmenter(dict, hmm, user, idf, stop));
  } catch (const FatalError& e) {
    FUZZ_CHECK(std::string(e.what()).compare(0, 6, "exp: [") == 0);
    return 0;
  }
  // Weights and probabilities from the file may be anything (NaN, infinity,
  // huge): cutting must still cover the sentence.
  const std::string sentences[] = {"我爱北京大学的天气，小明和小王今天去了中国。",
                                   contents.substr(0, 64)};
  for (const std::string& sentence : sentences) {
    std::vector<std::string> words, search;
    segmenter->Cut(sentence, words, true);
    segmenter->CutForSearch(sentence, search, true);
    std::string joined;
    for (const std::string& word : words) joined += word;
    RuneStrArray runes;
    if (DecodeRunesInString(sentence, runes)) FUZZ_CHECK(joined == sentence);
    FUZZ_CHECK(words.empty() == search.empty());
  }
  return 0;
}
