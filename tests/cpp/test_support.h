#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>
#include <unistd.h>

namespace korva {
namespace typing {
namespace text {
namespace testutil {

// A file with the given bytes under the test temp folder, removed when the
// object dies.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    static int counter = 0;
    path_ = testing::TempDir() + "norvane_" + std::to_string(getpid()) + "_" +
            std::to_string(counter++) + ".txt";
    std::ofstream out(path_, std::ios::binary);
    out << content;
  }
  ~TempFile() { std::remove(path_.c_str()); }

  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Standard error written while the object lives, for checking log records.
class StderrCapture {
 public:
  StderrCapture() { testing::internal::CaptureStderr(); }
  ~StderrCapture() {
    if (!taken_) {
      testing::internal::GetCapturedStderr();
    }
  }
  std::string Take() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

// Whether text is exactly the given records, one line each, issued from
// source files whose path (relative to the source root) matches file_pattern.
inline testing::AssertionResult IsRecords(const std::string& text, const std::string& file_pattern,
                                          const std::vector<std::string>& levels_and_messages) {
  std::string expected = "^";
  for (const std::string& record : levels_and_messages) {
    expected += R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d )" + file_pattern + R"(:\d+ )" +
                std::regex_replace(record, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                "\n";
  }
  expected += "$";
  if (std::regex_match(text, std::regex(expected))) {
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "stderr was:\n" << text;
}

}  // namespace testutil
}  // namespace text
}  // namespace typing
}  // namespace korva
