#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

namespace korva::typing::text::testutil {

// A file with the given bytes under the test temp folder, removed when the
// object dies.
class TempFile {
 public:
  explicit TempFile(const std::string& content) {
    static int counter = 0;
    path_ = testing::TempDir() + "norvane_" + std::to_string(getpid()) + "_" +
            std::to_string(counter++) + ".txt";
    std::ofstream(path_, std::ios::binary) << content;
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
    if (!taken_) testing::internal::GetCapturedStderr();
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
                std::regex_replace(record, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") + "\n";
  }
  if (std::regex_match(text, std::regex(expected + "$"))) return testing::AssertionSuccess();
  return testing::AssertionFailure() << "stderr was:\n" << text;
}

// An HMM model file: the start line, transitions that allow B->E, B->M,
// M->M, M->E, E->B, E->S, S->B and S->S, then the given emission lines.
inline std::string HmmText(const std::vector<std::string>& emissions, std::string start = "",
                           const std::string& eol = "\n") {
  const std::string x = "-3.14e100";
  if (start.empty()) start = "-0.6 " + x + " " + x + " -0.8";
  std::string text = start + eol;
  for (const std::string& row : {x + " -0.5 -0.9 " + x, "-0.7 " + x + " " + x + " -0.7",
                                 x + " -0.6 -0.8 " + x, "-0.7 " + x + " " + x + " -0.7"}) {
    text += row + eol;
  }
  for (const std::string& row : emissions) text += row + eol;
  return text;
}

}  // namespace korva::typing::text::testutil
