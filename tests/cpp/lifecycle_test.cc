// Constructions that fail half-way through loading. Under the sanitizer build
// (NORVANE_SANITIZE) the leak check at exit fails the test if anything was left
// behind, as it does for the working segmenters and encoders of the other tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "segmenter_files.h"
#include "test_support.h"
#include "tokenizer/segmenter/Segmenter.h"
#include "tokenizer/segmenter/util/Logging.h"

namespace korva::typing::text {

using segmenter::Segmenter;
using testutil::StderrCapture;

TEST(Lifecycle, EveryFailingConstructionCleansUp) {
  SegmenterFiles files;
  const std::string bad_line = files.Write("bad_line", "中国 10 ns\n中 30\n");
  const std::string no_words = files.Write("no_words", "\xFF\xFE 3 x\n");
  const std::string short_model = files.Write("short", testutil::HmmText({"小:-1.0", "明:-1.0"}));
  const std::string bad_emission =
      files.Write("bad_emission", testutil::HmmText({"小:-1.0", "明:-1.0", "晓晓:-1.0", "的:-0.5"}));
  const std::string missing = files.dict + ".missing";
  const std::string d = files.dict, h = files.hmm, u = files.user, i = files.idf,
                    s = files.stop;
  // Each fails at a different step, with the earlier members already built.
  const std::vector<std::vector<std::string>> cases = {
      {missing, h, u, i, s},     {bad_line, h, u, i, s},     {no_words, h, u, i, s},
      {d, h, u + ";" + missing, i, s}, {d, missing, u, i, s}, {d, short_model, u, i, s},
      {d, bad_emission, u, i, s}, {d, h, u, missing, s},     {d, h, u, i, missing},
  };
  StderrCapture quiet;
  for (const auto& c : cases) {
    EXPECT_THROW(Segmenter(c[0], c[1], c[2], c[3], c[4]), util::FatalError)
        << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4];
  }
}

}  // namespace korva::typing::text
