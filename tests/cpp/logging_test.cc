#include "tokenizer/segmenter/util/Logging.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace korva {
namespace typing {
namespace text {
namespace util {
namespace {

const char* const kHeader = R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d tests/cpp/logging_test\.cc:\d+ )";

bool CheckPasses(int x) {
  CHECK_OR_FATAL(x > 0) << "x was " << x;
  return true;
}

TEST(Logging, RecordLayoutPerLevel) {
  testing::internal::CaptureStderr();
  LOG_RECORD(ERROR) << "a" << 1 << ' ' << 2.5;
  LOG_RECORD(WARNING);
  { Logger(LL_DEBUG, "f.h", 7).Stream() << "d"; }
  std::string err = testing::internal::GetCapturedStderr();
  // Pieces join without separators; an empty message keeps the trailing
  // space after the level; the level-2 name is WARN; records come in order.
  std::regex expected(std::string("^") + kHeader + "ERROR a1 2\\.5\n" + kHeader + "WARN \n" +
                      R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d f\.h:7 DEBUG d)" + "\n$");
  EXPECT_TRUE(std::regex_match(err, expected)) << err;
}

TEST(Logging, FailedCheckWritesFatalRecordThenThrows) {
  testing::internal::CaptureStderr();
  EXPECT_TRUE(CheckPasses(1));
  try {
    CheckPasses(-3);
    ADD_FAILURE() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "exp: [x > 0] false. x was -3");
  }
  std::string err = testing::internal::GetCapturedStderr();
  std::regex expected(std::string("^") + kHeader + R"(FATAL exp: \[x > 0\] false\. x was -3)" +
                      "\n$");
  EXPECT_TRUE(std::regex_match(err, expected)) << err;
}

TEST(Logging, FatalRecordWithoutDetailAndTimestampIsLocalTime) {
  testing::internal::CaptureStderr();
  EXPECT_THROW({ LOG_RECORD(FATAL); }, FatalError);
  std::string err = testing::internal::GetCapturedStderr();
  ASSERT_GE(err.size(), 19u);
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char year[8];
  std::strftime(year, sizeof(year), "%Y-", &local);
  EXPECT_EQ(err.substr(0, 5), year);
  EXPECT_EQ(err.substr(err.size() - 8), " FATAL \n");
}

TEST(Logging, FatalRecordDuringUnwindingDoesNotTerminate) {
  testing::internal::CaptureStderr();
  try {
    Logger logger(LL_FATAL, "f.h", 1);
    throw std::logic_error("first");
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "first");
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("f.h:1 FATAL \n"), std::string::npos);
}

}  // namespace
}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
