#pragma once
// Usage:
//   LOG_RECORD(ERROR) << "open " << path << " failed";   // one line on stderr
//   CHECK_OR_FATAL(ok) << "bad line " << line;           // throws FatalError
//
// Thread safety: each record is one object; records of several threads may
// interleave by line, never within one.
// Throws: a FATAL record throws util::FatalError when its statement ends.
//
// The segmenter's logger: the one place that writes to standard error.

#include <cstddef>
#include <sstream>
#include <stdexcept>
#include <string>

namespace korva {
namespace typing {
namespace text {
namespace util {

enum : unsigned {
  LL_DEBUG = 0,
  LL_INFO = 1,
  LL_WARNING = 2,
  LL_ERROR = 3,
  LL_FATAL = 4,
};

extern const char* const LOG_LEVEL_ARRAY[5];
extern const char* const LOG_TIME_FORMAT;

// Thrown once a FATAL record has been written; what() is the record's message
// without the time, position and level header.
class FatalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One record per object: the header is written at construction, the message
// is appended through Stream(), and the whole line goes to standard error when
// the object dies at the end of the issuing statement. A FATAL record then
// throws FatalError so the issuing operation stops.
class Logger {
 public:
  Logger(size_t level, const char* filename, int lineno);
  ~Logger() noexcept(false);

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  std::ostream& Stream() { return stream_; }

 private:
  std::ostringstream stream_;
  size_t level_;
  size_t message_begin_;
};

}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva

#define LOG_RECORD(level)                                                                   \
  ::korva::typing::text::util::Logger(::korva::typing::text::util::LL_##level, __FILE__, \
                                      __LINE__)                                            \
      .Stream()

// The dangling-else form lets callers append a detail with <<, and evaluates
// the detail only when the check fails.
#define CHECK_OR_FATAL(exp) \
  if (exp) {                \
  } else                    \
    LOG_RECORD(FATAL) << "exp: [" #exp "] false. "
