#include "tokenizer/segmenter/util/Logging.h"

#include <ctime>
#include <exception>
#include <iostream>

namespace korva {
namespace typing {
namespace text {
namespace util {

const char* const LOG_LEVEL_ARRAY[5] = {"DEBUG", "INFO", "WARN", "ERROR", "FATAL"};
const char* const LOG_TIME_FORMAT = "%Y-%m-%d %H:%M:%S";

namespace {
const char* LevelName(size_t level) {
  return level < 5 ? LOG_LEVEL_ARRAY[level] : "UNKNOWN";
}
}  // namespace

Logger::Logger(size_t level, const char* filename, int lineno) : level_(level) {
  char buf[32];
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  size_t n = std::strftime(buf, sizeof(buf), LOG_TIME_FORMAT, &local);
  stream_.write(buf, static_cast<std::streamsize>(n));
  stream_ << ' ' << filename << ':' << lineno << ' ' << LevelName(level) << ' ';
  message_begin_ = stream_.str().size();
}

Logger::~Logger() noexcept(false) {
  std::string record = stream_.str();
  // Text and line feed in one write, so that records from several threads do
  // not interleave inside a line.
  std::cerr << (record + '\n');
  std::cerr.flush();
  std::cerr.clear();  // a failure to write is ignored
  // While another exception unwinds the stack a throw would terminate.
  if (level_ == LL_FATAL && std::uncaught_exceptions() == 0) {
    throw FatalError(record.substr(message_begin_));
  }
}

}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
