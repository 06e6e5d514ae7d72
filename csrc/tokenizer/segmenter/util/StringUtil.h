#pragma once
// Usage:
//   std::ifstream in = util::OpenInput(path);
//   util::Split(line, fields, " ");
//
// Thread safety: pure functions. Throws: only std::bad_alloc.

#include <cstddef>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

namespace korva {
namespace typing {
namespace text {
namespace util {

// Byte-string helpers for the data-file loaders. Delimiters and white space
// are ASCII, so multi-byte UTF-8 sequences pass through untouched.

// The six ASCII white-space bytes, whatever the process's locale says.
bool IsSpace(unsigned c);
std::string& LTrim(std::string& s);
std::string& RTrim(std::string& s);
std::string& Trim(std::string& s);
bool StartsWith(const std::string& str, const std::string& prefix);

// Splits at any single byte of pattern. Adjacent or leading delimiters give
// empty pieces; a trailing delimiter gives none. After maxsplit pieces the
// rest of src becomes the last piece.
void Split(const std::string& src, std::vector<std::string>& res, const std::string& pattern,
           size_t maxsplit = std::numeric_limits<size_t>::max());
std::vector<std::string> Split(const std::string& src, const std::string& pattern,
                               size_t maxsplit = std::numeric_limits<size_t>::max());

// What atof gives in the "C" locale: the longest leading number (decimal,
// hexadecimal, inf, nan, after white space), 0 when there is none. atof
// itself reads the decimal point of whatever locale the process has set.
double AtoF(const std::string& text);

// Opens a data file for reading, past a leading UTF-8 byte order mark. The
// stream is left closed, as for a missing file, when the path is not a
// regular file (a directory, a pipe, a device: reading one may wait forever
// or never end), when nothing can be read from it, or when it holds a NUL
// byte, which would cut it short and open another file.
std::ifstream OpenInput(const std::string& path);

// The next line of a data file without its line feed and without one
// carriage return before it, so CR LF files read like LF files. False at the
// end of the file and after a read error (then in.bad() is true).
bool ReadLine(std::istream& in, std::string& line);

}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
