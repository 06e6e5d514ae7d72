#include "tokenizer/segmenter/util/StringUtil.h"

#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>

namespace korva {
namespace typing {
namespace text {
namespace util {

namespace {
// A byte of 0x80 or above arrives sign-extended, far above 255, so it is
// never taken for white space.
bool IsSpaceByte(char c) {
  return IsSpace(static_cast<unsigned>(c));
}
}  // namespace

bool IsSpace(unsigned c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string& LTrim(std::string& s) {
  size_t i = 0;
  while (i < s.size() && IsSpaceByte(s[i])) {
    ++i;
  }
  s.erase(0, i);
  return s;
}

std::string& RTrim(std::string& s) {
  size_t n = s.size();
  while (n > 0 && IsSpaceByte(s[n - 1])) {
    --n;
  }
  s.erase(n);
  return s;
}

std::string& Trim(std::string& s) {
  return LTrim(RTrim(s));
}

bool StartsWith(const std::string& str, const std::string& prefix) {
  if (prefix.size() > str.size()) {
    return false;
  }
  return str.compare(0, prefix.size(), prefix) == 0;
}

void Split(const std::string& src, std::vector<std::string>& res, const std::string& pattern,
           size_t maxsplit) {
  res.clear();
  if (src.empty()) {
    return;
  }
  size_t start = 0;
  while (true) {
    size_t pos = src.find_first_of(pattern, start);
    if (pos == std::string::npos || res.size() >= maxsplit) {
      res.push_back(src.substr(start));
      return;
    }
    res.push_back(src.substr(start, pos - start));
    start = pos + 1;
    if (start >= src.size()) {
      return;
    }
  }
}

std::vector<std::string> Split(const std::string& src, const std::string& pattern,
                               size_t maxsplit) {
  std::vector<std::string> res;
  Split(src, res, pattern, maxsplit);
  return res;
}

double AtoF(const std::string& text) {
  // Created once and never changed; strtod_l reads it from any thread.
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t());
  return strtod_l(text.c_str(), nullptr, c_locale);
}

std::ifstream OpenInput(const std::string& path) {
  std::ifstream ifs;
  struct stat status;
  if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &status) != 0 ||
      !S_ISREG(status.st_mode)) {
    return ifs;
  }
  ifs.open(path, std::ios::binary);
  if (!ifs.is_open()) {
    return ifs;
  }
  const std::ifstream::int_type first = ifs.peek();
  if (ifs.bad()) {
    ifs.close();
    return ifs;
  }
  ifs.clear();
  // A UTF-8 byte order mark would otherwise become part of the first word or
  // number of the file. Only a file that starts like one is rewound.
  if (first == std::ifstream::traits_type::to_int_type('\xEF')) {
    char head[3] = {0, 0, 0};
    ifs.read(head, sizeof(head));
    if (ifs.gcount() != 3 || head[1] != '\xBB' || head[2] != '\xBF') {
      ifs.clear();
      ifs.seekg(0);
    }
  }
  return ifs;
}

bool ReadLine(std::istream& in, std::string& line) {
  if (!std::getline(in, line)) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
