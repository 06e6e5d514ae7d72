#include "search/bm25/bm25.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

#include "search/bm25/_json.h"

namespace korva {
namespace typing {
namespace text {

namespace {

const char kEmptyTraining[] = "trainning tokens_vec should not be empty";
const char kNotInitialized[] = "BM25 has not been initialized";

// The key under which a token is counted: strings as they are, integers by
// their decimal text so both kinds share one table.
const std::string& TokenKey(const std::string& token) { return token; }
std::string TokenKey(long long token) { return std::to_string(token); }

// Divides every weight by their sum, added in ascending key order.
template <typename Key>
void Normalise(std::map<Key, double>& weights) {
  double sum = 0.0;
  for (const auto& entry : weights) sum += entry.second;
  for (auto& entry : weights) entry.second /= sum;
}

}  // namespace

BM25::BM25(double b, double k1) : _b(b), _k1(k1) {}

BM25::~BM25() = default;

void BM25::train(const std::vector<std::string>& corpus) {
  if (corpus.empty()) throw std::runtime_error(kEmptyTraining);
  _train(corpus);
}

void BM25::train(const std::vector<long long>& corpus) {
  if (corpus.empty()) throw std::runtime_error(kEmptyTraining);
  _train(corpus);
}

void BM25::train(const std::vector<std::vector<long long>>& corpus) {
  if (corpus.empty()) throw std::runtime_error(kEmptyTraining);
  for (const auto& document : corpus) _train(document);
}

namespace {

template <typename Token, typename Counts, typename Table>
void AddCounts(const Counts& counts, Table& table) {
  for (const auto& entry : counts) table[TokenKey(entry.first)] += entry.second;
}

}  // namespace

void BM25::_train(const std::vector<long long>& corpus) {
  if (corpus.empty()) return;
  AddCounts<long long>(_token_frequency(corpus), _doc_token_frequency);
  _count_document(corpus.size());
}

void BM25::_train(const std::vector<std::string>& corpus) {
  if (corpus.empty()) return;
  AddCounts<std::string>(_token_frequency(corpus), _doc_token_frequency);
  _count_document(corpus.size());
}

namespace {

const char kEmptyJson[] = "json data should not be empty";
const char kOpenFailed[] = "Failed to dump: Unable to open file";

[[noreturn]] void ThrowDumpError(const char* what, int error) {
  throw std::runtime_error(std::string("Failed to dump: ") + what + ": " + std::strerror(error));
}

// Writes all of text to fd; false with errno set on failure.
bool WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return true;
}

// Writes, then closes, reporting either failure; the descriptor is closed in
// every case.
void WriteAndClose(int fd, const std::string& text, bool sync) {
  if (!WriteAll(fd, text) || (sync && ::fsync(fd) != 0)) {
    const int error = errno;
    ::close(fd);
    ThrowDumpError("Unable to write file", error);
  }
  if (::close(fd) != 0) ThrowDumpError("Unable to close file", errno);
}

// A path beside `target` in the same folder that did not exist, opened for
// writing; -1 with errno set when none can be created.
int CreateTemporary(const std::string& target, std::string& path, mode_t mode) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof(suffix), ".tmp%08x%08x", random(), random());
    path = target + suffix;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// A regular file (or a new one) is replaced by renaming a finished temporary
// file over it, so a failed dump never leaves a truncated model behind.
// Anything else that exists (a device, a pipe) is written in place.
void WriteModelFile(const std::string& filename, const std::string& text) {
  struct stat status;
  const bool exists = ::stat(filename.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    const int fd = ::open(filename.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) throw std::runtime_error(kOpenFailed);
    WriteAndClose(fd, text, false);
    return;
  }
  std::string target = filename;
  if (exists) {
    // Write through a symbolic link rather than replacing the link, and
    // refuse a file that could not be opened for writing in place.
    char* resolved = ::realpath(filename.c_str(), nullptr);
    if (resolved != nullptr) {
      target = resolved;
      std::free(resolved);
    }
    if (::access(target.c_str(), W_OK) != 0) throw std::runtime_error(kOpenFailed);
  }
  std::string temporary;
  const int fd = CreateTemporary(target, temporary, 0666);
  if (fd < 0) throw std::runtime_error(kOpenFailed);
  try {
    // Keep the permissions of the file being replaced.
    if (exists) ::fchmod(fd, status.st_mode & 07777);
    WriteAndClose(fd, text, true);
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
      ThrowDumpError("Unable to replace file", errno);
    }
  } catch (...) {
    ::unlink(temporary.c_str());
    throw;
  }
}

bool FitsInt(long value) { return value >= INT_MIN && value <= INT_MAX; }

int ReadInt(const json::JSON& value, const char* error) {
  bool ok = false;
  const long number = value.ToInt(ok);
  if (!ok || !FitsInt(number)) throw std::runtime_error(error);
  return static_cast<int>(number);
}

double ReadFloat(const json::JSON& value, const char* error) {
  bool ok = false;
  const double number = value.ToFloat(ok);
  if (!ok) throw std::runtime_error(error);
  return number;
}

// The token counts as an Object keyed by the escaped tokens. Sorted first (a
// local array sorts much faster than the scattered hash nodes), the members
// go into the tree in key order without searches.
json::JSON CountsObject(const std::unordered_map<std::string, int>& frequency) {
  std::vector<std::pair<std::string, int>> entries;
  entries.reserve(frequency.size());
  for (const auto& entry : frequency) {
    entries.emplace_back(json::json_escape(entry.first), entry.second);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& left, const auto& right) { return left.first < right.first; });
  json::JSON counts = json::Object();
  for (auto& entry : entries) counts[std::move(entry.first)] = entry.second;
  return counts;
}

}  // namespace

void BM25::load(const std::string& json_data) {
  if (json_data.empty()) throw std::runtime_error(kEmptyJson);
  json::JSON data = json::JSON::Load(json_data);
  // Everything is read and checked before the model is touched, in the order
  // that decides which error a text with several faults reports.
  const json::JSON& counts = data["_doc_token_frequency"];
  size_t token_count = 0;
  for (const auto& member : counts.ObjectRange()) {
    ReadInt(member.second, "load doc_token_frequency failed");
    ++token_count;
  }
  const int doc_count = ReadInt(data["_doc_count"], "load doc_count failed");
  const double average = ReadFloat(data["_doc_length_average"], "load doc_length_average failed");
  const double b = ReadFloat(data["_b"], "load b failed");
  const double k1 = ReadFloat(data["_k1"], "load k1 failed");
  // The file holds no total length; later training needs one that matches
  // the loaded average.
  const double total = average * static_cast<double>(doc_count);
  if (!std::isfinite(total) || std::fabs(total) >= 9.223372036854775808e18) {
    throw std::runtime_error("load doc_length_average failed");
  }

  _doc_token_frequency.reserve(_doc_token_frequency.size() + token_count);
  for (const auto& member : counts.ObjectRange()) {
    bool ok = false;
    _doc_token_frequency[json::json_unescape(member.first)] =
        static_cast<int>(member.second.ToInt(ok));
  }
  _doc_count = doc_count;
  _doc_length_average = average;
  _doc_length_total = std::llround(total);
  _b = b;
  _k1 = k1;
}

void BM25::dump(const std::string& filename) const {
  json::JSON data;
  data["_doc_token_frequency"] = CountsObject(_doc_token_frequency);
  data["_doc_count"] = _doc_count;
  data["_doc_length_average"] = _doc_length_average;
  data["_b"] = _b;
  data["_k1"] = _k1;
  WriteModelFile(filename, data.dump(1, "  "));
}

std::unordered_map<long long, int> BM25::_token_frequency(const std::vector<long long>& tokens) {
  std::unordered_map<long long, int> counts;
  counts.reserve(tokens.size());
  for (long long token : tokens) ++counts[token];
  return counts;
}

std::unordered_map<std::string, int> BM25::_token_frequency(
    const std::vector<std::string>& tokens) {
  std::unordered_map<std::string, int> counts;
  counts.reserve(tokens.size());
  for (const std::string& token : tokens) ++counts[token];
  return counts;
}

void BM25::_count_document(size_t length) {
  ++_doc_count;
  _doc_length_total += static_cast<long long>(length);
  _doc_length_average = static_cast<double>(_doc_length_total) / static_cast<double>(_doc_count);
}

double BM25::idf(const std::string& qi) {
  // In double: a loaded count may be the largest int.
  const double n1 = static_cast<double>(_doc_count) + 1.0;
  auto found = _doc_token_frequency.find(qi);
  if (found == _doc_token_frequency.end()) return std::log(n1 / 1.5);
  return std::log(n1 / (static_cast<double>(found->second) + 0.5));
}

void BM25::_check_initialized() const {
  if (_doc_count == 0 || std::fabs(_doc_length_average) < 1e-9) {
    throw std::runtime_error(kNotInitialized);
  }
}

double BM25::_length_norm(size_t length) const {
  const double n = static_cast<double>(length);
  return ((n / _doc_length_average) * _b + (1.0 - _b)) * _k1;
}

namespace {

template <typename Token, typename Counts>
std::map<Token, double> Saturate(const Counts& counts, double k) {
  std::map<Token, double> weights;
  for (const auto& entry : counts) {
    const double f = static_cast<double>(entry.second);
    weights.emplace(entry.first, f / (k + f));
  }
  return weights;
}

}  // namespace

std::map<std::string, double> BM25::encode_document(const std::vector<std::string>& tokens) {
  if (tokens.empty()) return {};
  _check_initialized();
  return Saturate<std::string>(_token_frequency(tokens), _length_norm(tokens.size()));
}

std::map<long long, double> BM25::encode_document(const std::vector<long long>& tokens) {
  if (tokens.empty()) return {};
  _check_initialized();
  return Saturate<long long>(_token_frequency(tokens), _length_norm(tokens.size()));
}

std::map<std::string, double> BM25::encode_query(const std::vector<std::string>& tokens) {
  if (tokens.empty()) return {};
  _check_initialized();
  std::map<std::string, double> weights;
  for (const std::string& token : tokens) {
    double& weight = weights[token];
    if (std::fabs(weight) < 1e-9) weight = idf(token);
  }
  Normalise(weights);
  return weights;
}

std::map<long long, double> BM25::encode_query(const std::vector<long long>& tokens) {
  if (tokens.empty()) return {};
  _check_initialized();
  std::map<long long, double> weights;
  for (long long token : tokens) {
    double& weight = weights[token];
    if (std::fabs(weight) < 1e-9) weight = idf(TokenKey(token));
  }
  Normalise(weights);
  return weights;
}

}  // namespace text
}  // namespace typing
}  // namespace korva
