#include "tokenizer/segmenter/util/Logging.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace korva::typing::text::util {

const std::string kHeader = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";

TEST(Logging, RecordLayoutPerLevel) {
  testing::internal::CaptureStderr();
  LOG_RECORD(ERROR) << "a" << 1 << ' ' << 2.5;
  LOG_RECORD(WARNING);
  { Logger(LL_DEBUG, "f.h", 7).Stream() << "d"; }
  std::string err = testing::internal::GetCapturedStderr();
  // Pieces join without separators; an empty message keeps the trailing
  // space after the level; the level-2 name is WARN; records come in order.
  const std::string here = kHeader + R"(tests/cpp/logging_test\.cc:\d+ )";
  EXPECT_TRUE(std::regex_match(err, std::regex("^" + here + "ERROR a1 2\\.5\n" + here + "WARN \n" +
                                               kHeader + "f\\.h:7 DEBUG d\n$")))
      << err;
}

// A failed check's record and exception text are checked through the loaders;
// a fatal record with nothing streamed into it still throws.
TEST(Logging, EmptyFatalRecordThrows) {
  testing::internal::CaptureStderr();
  EXPECT_THROW({ LOG_RECORD(FATAL); }, FatalError);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.substr(err.size() - 8), " FATAL \n") << err;
}

TEST(Logging, FatalRecordDuringUnwindingDoesNotTerminate) {
  testing::internal::CaptureStderr();
  try {
    Logger logger(LL_FATAL, "f.h", 1);
    throw std::logic_error("first");
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "first");
  }
  EXPECT_NE(testing::internal::GetCapturedStderr().find("f.h:1 FATAL \n"), std::string::npos);
}

}  // namespace korva::typing::text::util
