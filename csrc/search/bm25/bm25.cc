#include "search/bm25/bm25.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>

#include "norvane/bm25_weighting.h"
#include "norvane/token_counter.h"
#include "search/bm25/_json.h"

namespace korva {
namespace typing {
namespace text {

// Hashing.

namespace {

namespace weighting = norvane::bm25;
using norvane::TokenCounter;

size_t HashToken(std::string_view token) { return TokenTable::Hash(token); }

size_t HashToken(long long token) {
  return static_cast<size_t>(
      norvane::MixBits(static_cast<uint64_t>(token) + 0x9E3779B97F4A7C15ull));
}

// Counts loaded from a model file may already sit at the top of their range;
// going past it would be undefined, so such a document is refused whole.
const char kOverflow[] = "BM25 statistics would overflow";

}  // namespace

// Training.

namespace {

const char kEmptyTraining[] = "trainning tokens_vec should not be empty";

// Counts the distinct tokens of one document into counter, in order of
// first occurrence; each token is hashed once, and a string's hash is the
// one the model's table uses.
template <typename Token>
void CountTokens(const Token* tokens, size_t n, TokenCounter<Token>& counter) {
  SmallVector<size_t, 256> hashes(n);
  for (size_t i = 0; i < n; ++i) hashes[i] = HashToken(tokens[i]);
  counter.Count(tokens, hashes.data(), n);
}

// The keys under which integer tokens are counted: their decimal text, so
// both token kinds share one table. One buffer for all of them.
class DecimalKeys {
 public:
  explicit DecimalKeys(size_t count) : text_(count * kDigits), views_(count) {}

  void Set(size_t i, long long token) {
    char* out = &text_[i * kDigits];
    char* end = std::to_chars(out, out + kDigits, token).ptr;
    views_[i] = std::string_view(out, static_cast<size_t>(end - out));
  }

  const std::string_view* views() const { return views_.data(); }

 private:
  static constexpr size_t kDigits = 20;  // "-9223372036854775808"
  SmallVector<char, 16 * kDigits> text_;
  SmallVector<std::string_view, 16> views_;
};

std::vector<std::string_view> Views(const std::vector<std::string>& tokens) {
  return std::vector<std::string_view>(tokens.begin(), tokens.end());
}

void CheckDocumentFits(int doc_count, long long length_total, size_t length) {
  if (doc_count == INT_MAX || length > static_cast<size_t>(LLONG_MAX) ||
      length_total > LLONG_MAX - static_cast<long long>(length)) {
    throw std::overflow_error(kOverflow);
  }
}

}  // namespace

BM25::BM25(double b, double k1) : _b(b), _k1(k1) {
  weighting::CheckBm25Parameters(b, k1);
}

BM25::~BM25() = default;

void BM25::train(const std::vector<std::string>& corpus) {
  const std::vector<std::string_view> views = Views(corpus);
  train(views.data(), views.size());
}

void BM25::train(const std::vector<long long>& corpus) { train(corpus.data(), corpus.size()); }

void BM25::train(const std::string_view* tokens, size_t n) {
  if (n == 0) throw std::runtime_error(kEmptyTraining);
  _train(tokens, n);
}

void BM25::train(const long long* tokens, size_t n) {
  if (n == 0) throw std::runtime_error(kEmptyTraining);
  _train(tokens, n);
}

void BM25::train(const std::vector<std::vector<long long>>& corpus) {
  if (corpus.empty()) throw std::runtime_error(kEmptyTraining);
  for (const auto& document : corpus) _train(document.data(), document.size());
}

void BM25::_train(const long long* tokens, size_t n) {
  if (n == 0) return;
  CheckDocumentFits(_doc_count, _doc_length_total, n);
  TokenCounter<long long> counter;
  CountTokens(tokens, n, counter);
  DecimalKeys keys(counter.size());
  SmallVector<int, 64> counts(counter.size());
  for (size_t i = 0; i < counter.size(); ++i) {
    keys.Set(i, counter[i].token);
    counts[i] = static_cast<int>(counter[i].count);
  }
  _doc_token_frequency.add_counts(keys.views(), counts.data(), counter.size());
  _count_document(n);
}

void BM25::_train(const std::string_view* tokens, size_t n) {
  if (n == 0) return;
  CheckDocumentFits(_doc_count, _doc_length_total, n);
  TokenCounter<std::string_view> counter;
  CountTokens(tokens, n, counter);
  SmallVector<std::string_view, 64> keys(counter.size());
  SmallVector<size_t, 64> hashes(counter.size());
  SmallVector<int, 64> counts(counter.size());
  for (size_t i = 0; i < counter.size(); ++i) {
    keys[i] = counter[i].token;
    hashes[i] = counter[i].hash;
    counts[i] = static_cast<int>(counter[i].count);
  }
  _doc_token_frequency.add_counts(keys.data(), hashes.data(), counts.data(), counter.size());
  _count_document(n);
}

void BM25::_count_document(size_t length) {
  ++_doc_count;
  _doc_length_total += static_cast<long long>(length);
  _doc_length_average = weighting::AverageLength(_doc_length_total, _doc_count);
}

// Encoding.

namespace {

const char kNotInitialized[] = "BM25 has not been initialized";

using IndexedWeight = BM25::IndexedWeight;

// A number that orders like the key: the integer with its sign bit flipped,
// or the first eight bytes of a string as a big-endian number (strings with
// equal prefixes are then compared in full).
uint64_t OrderKey(long long token) { return static_cast<uint64_t>(token) ^ (1ull << 63); }

uint64_t OrderKey(std::string_view token) {
  unsigned char bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  std::memcpy(bytes, token.data(), std::min<size_t>(token.size(), 8));
  uint64_t key = 0;
  for (unsigned char byte : bytes) key = (key << 8) | byte;
  return key;
}

// Orders two tokens of equal order key: integers are then equal; of two
// strings of at most eight bytes the shorter is a prefix of the other.
int CompareSameKey(long long, long long) { return 0; }

int CompareSameKey(std::string_view a, std::string_view b) {
  if (a.size() <= 8 && b.size() <= 8) return a.size() < b.size() ? -1 : a.size() > b.size();
  return a.compare(b);
}

struct Ordered {
  uint64_t key;
  size_t index;
};

// Pairs each distinct token of tokens[0, n) with its number of occurrences,
// in ascending key order (numeric for integers, byte-wise for strings, as
// std::map orders them); `first` is the index of its first occurrence.
// Writes at most n entries into `out` and returns their number. Sorting the
// list beats counting it in a hash table at these lengths, and gives the
// order the results need anyway.
template <typename Token>
size_t CountDistinct(const Token* tokens, size_t n, IndexedWeight* out) {
  SmallVector<Ordered, 64> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = {OrderKey(tokens[i]), i};
  std::sort(order.begin(), order.end(), [tokens](const Ordered& a, const Ordered& b) {
    if (a.key != b.key) return a.key < b.key;
    const int tail = CompareSameKey(tokens[a.index], tokens[b.index]);
    return tail != 0 ? tail < 0 : a.index < b.index;
  });
  size_t distinct = 0;
  for (size_t i = 0; i < n; ++i) {
    if (i > 0 && order[i].key == order[i - 1].key &&
        CompareSameKey(tokens[order[i].index], tokens[order[i - 1].index]) == 0) {
      out[distinct - 1].second += 1.0;
    } else {
      out[distinct++] = {order[i].index, 1.0};
    }
  }
  return distinct;
}

// Divides every weight by their sum, added in ascending key order.
void Normalise(IndexedWeight* weights, size_t n) {
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += weights[i].second;
  for (size_t i = 0; i < n; ++i) weights[i].second /= sum;
}

// An ordered map from what an indexed encoder form writes for `tokens`.
template <typename Token, typename Encode>
std::map<Token, double> ToMap(const std::vector<Token>& tokens, Encode encode) {
  std::vector<IndexedWeight> weights(tokens.size());
  const size_t count = encode(weights.data());
  std::map<Token, double> out;
  for (size_t i = 0; i < count; ++i) {
    out.emplace_hint(out.end(), tokens[weights[i].first], weights[i].second);
  }
  return out;
}

// The IDF of a token counted in *count documents; an unknown one (null)
// weighs as one counted once.
double Idf(const int* count, int doc_count) {
  const double n1 = static_cast<double>(doc_count) + 1.0;
  return weighting::Idf(n1, count == nullptr ? 1.0 : static_cast<double>(*count));
}

}  // namespace

void BM25::_check_initialized() const {
  if (_doc_count == 0 || std::fabs(_doc_length_average) < 1e-9) {
    throw std::runtime_error(kNotInitialized);
  }
}

double BM25::_length_norm(size_t length) const {
  return weighting::LengthNorm(length, _doc_length_average, _b, _k1);
}

template <typename Token>
size_t BM25::_encode_document(const Token* tokens, size_t n, IndexedWeight* weights) const {
  if (n == 0) return 0;
  _check_initialized();
  const double k = _length_norm(n);
  const size_t count = CountDistinct(tokens, n, weights);
  for (size_t i = 0; i < count; ++i) weights[i].second = weighting::Saturate(weights[i].second, k);
  return count;
}

size_t BM25::encode_document(const std::string_view* tokens, size_t n,
                             IndexedWeight* weights) const {
  return _encode_document(tokens, n, weights);
}

size_t BM25::encode_document(const long long* tokens, size_t n, IndexedWeight* weights) const {
  return _encode_document(tokens, n, weights);
}

// Every distinct token gets its IDF once; repeats add nothing.
void BM25::_weigh_query(const std::string_view* keys, size_t n, IndexedWeight* weights) const {
  SmallVector<const int*, 64> counts(n);
  _doc_token_frequency.find_counts(keys, n, counts.data());
  for (size_t i = 0; i < n; ++i) weights[i].second = Idf(counts[i], _doc_count);
  Normalise(weights, n);
}

size_t BM25::encode_query(const std::string_view* tokens, size_t n,
                          IndexedWeight* weights) const {
  if (n == 0) return 0;
  _check_initialized();
  const size_t count = CountDistinct(tokens, n, weights);
  SmallVector<std::string_view, 64> keys(count);
  for (size_t i = 0; i < count; ++i) keys[i] = tokens[weights[i].first];
  _weigh_query(keys.data(), count, weights);
  return count;
}

size_t BM25::encode_query(const long long* tokens, size_t n, IndexedWeight* weights) const {
  if (n == 0) return 0;
  _check_initialized();
  const size_t count = CountDistinct(tokens, n, weights);
  DecimalKeys keys(count);
  for (size_t i = 0; i < count; ++i) keys.Set(i, tokens[weights[i].first]);
  _weigh_query(keys.views(), count, weights);
  return count;
}

std::map<std::string, double> BM25::encode_document(const std::vector<std::string>& tokens) {
  const std::vector<std::string_view> views = Views(tokens);
  return ToMap(tokens, [&](IndexedWeight* out) {
    return encode_document(views.data(), views.size(), out);
  });
}

std::map<long long, double> BM25::encode_document(const std::vector<long long>& tokens) {
  return ToMap(tokens, [&](IndexedWeight* out) {
    return encode_document(tokens.data(), tokens.size(), out);
  });
}

std::map<std::string, double> BM25::encode_query(const std::vector<std::string>& tokens) {
  const std::vector<std::string_view> views = Views(tokens);
  return ToMap(tokens, [&](IndexedWeight* out) {
    return encode_query(views.data(), views.size(), out);
  });
}

std::map<long long, double> BM25::encode_query(const std::vector<long long>& tokens) {
  return ToMap(tokens, [&](IndexedWeight* out) {
    return encode_query(tokens.data(), tokens.size(), out);
  });
}

// The model file.

namespace {

const char kEmptyJson[] = "json data should not be empty";

const char kOpenFailed[] = "Failed to dump: Unable to open file";

[[noreturn]] void ThrowDumpError(const char* what, int error) {
  throw std::runtime_error(std::string("Failed to dump: ") + what + ": " + std::strerror(error));
}

// How long a pipe or device may take no bytes before the dump gives up: the
// caller holds the interpreter lock, so waiting forever would freeze it.
const int kStallMilliseconds = 5000;

// Writes all of text to fd; false with errno set on failure.
bool WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
      pollfd room = {fd, POLLOUT, 0};
      const int ready = ::poll(&room, 1, kStallMilliseconds);
      if (ready == 0) errno = ETIMEDOUT;
      if (ready == 0 || (ready < 0 && errno != EINTR)) return false;
      continue;
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

// A new path in the folder of `target`, opened for writing; -1 with errno set
// when none can be created. The name is short: the target's own may already
// be as long as the file system allows.
int CreateTemporary(const std::string& target, std::string& path, mode_t mode) {
  const std::string folder = target.substr(0, target.rfind('/') + 1);
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof(name), ".tmp%08x%08x", random(), random());
    path = folder + name;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

// A regular file (or a new one) is replaced by renaming a finished temporary
// file over it, so a failed dump never leaves a truncated model behind.
// Anything else that exists (a device, a pipe) is written in place, without
// blocking: a pipe that has no reader fails at once.
void WriteModelFile(const std::string& filename, const std::string& text) {
  // Cut at a NUL byte the path would name another file.
  if (filename.find('\0') != std::string::npos) throw std::runtime_error(kOpenFailed);
  struct stat status;
  const bool exists = ::stat(filename.c_str(), &status) == 0;
  if (exists && !S_ISREG(status.st_mode)) {
    const int fd = ::open(filename.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
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

namespace {

// A count: an Integral from 0 to INT_MAX.
int ReadCount(const json::JSON& value, const char* error) {
  bool ok = false;
  const long number = value.ToInt(ok);
  if (!ok || number < 0 || number > INT_MAX) throw std::runtime_error(error);
  return static_cast<int>(number);
}

// A finite number. An Integral is taken too: other JSON writers drop the
// ".0" of 2.0.
double ReadFloat(const json::JSON& value, const char* error) {
  bool ok = false;
  double number = value.ToFloat(ok);
  if (!ok) number = static_cast<double>(value.ToInt(ok));
  if (!ok || !std::isfinite(number)) throw std::runtime_error(error);
  return number;
}

// The token counts as an Object keyed by the escaped tokens. Sorted first (a
// local array sorts much faster than the scattered hash nodes), the members
// go into the tree in key order without searches.
json::JSON CountsObject(const TokenTable* tables, size_t table_count) {
  std::vector<std::pair<std::string, int>> entries;
  size_t total = 0;
  for (size_t t = 0; t < table_count; ++t) total += tables[t].size();
  entries.reserve(total);
  for (size_t t = 0; t < table_count; ++t) {
    for (const auto& entry : tables[t]) {
      entries.emplace_back(json::json_escape(entry.first), entry.second);
    }
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto& left, const auto& right) { return left.first < right.first; });
  json::JSON counts = json::Object();
  for (auto& entry : entries) counts[std::move(entry.first)] = entry.second;
  return counts;
}

}  // namespace

ModelFile ReadModelFile(const std::string& json_data, bool strict) {
  if (json_data.empty()) throw std::runtime_error(kEmptyJson);
  json::JSON data = strict ? json::JSON::LoadStrict(json_data) : json::JSON::Load(json_data);
  // Everything is read and checked in the order that decides which error a
  // text with several faults reports.
  ModelFile file;
  const json::JSON& counts = data["_doc_token_frequency"];
  size_t token_count = 0;
  for (const auto& member : counts.ObjectRange()) {
    ReadCount(member.second, "load doc_token_frequency failed");
    ++token_count;
  }
  file.doc_count = ReadCount(data["_doc_count"], "load doc_count failed");
  file.doc_length_average =
      ReadFloat(data["_doc_length_average"], "load doc_length_average failed");
  file.b = ReadFloat(data["_b"], "load b failed");
  file.k1 = ReadFloat(data["_k1"], "load k1 failed");
  // Later training needs a total length that matches the loaded average.
  const double total = file.doc_length_average * static_cast<double>(file.doc_count);
  if (file.doc_length_average < 0 || total >= 9.223372036854775808e18) {
    throw std::runtime_error("load doc_length_average failed");
  }
  file.doc_length_total = std::llround(total);
  for (const auto& member : data.ObjectRange()) {
    bool ok = false;
    if (member.first == "_doc_length_total") {
      file.doc_length_total = member.second.ToInt(ok);
      if (!ok || file.doc_length_total < 0) {
        throw std::runtime_error("load doc_length_total failed");
      }
    } else if (member.first == "_analysis") {
      file.analysis = json::json_unescape(member.second.ToString(ok));
      if (!ok) throw std::runtime_error("load analysis failed");
    }
  }
  file.counts.reserve(token_count);
  for (const auto& member : counts.ObjectRange()) {
    bool ok = false;
    file.counts.emplace_back(json::json_unescape(member.first),
                             static_cast<int>(member.second.ToInt(ok)));
  }
  return file;
}

std::string ModelFileText(const TokenTable* tables, size_t table_count, int doc_count,
                          double doc_length_average, double b, double k1,
                          const long long* doc_length_total, const std::string& analysis) {
  json::JSON data;
  data["_doc_token_frequency"] = CountsObject(tables, table_count);
  data["_doc_count"] = doc_count;
  data["_doc_length_average"] = doc_length_average;
  data["_b"] = b;
  data["_k1"] = k1;
  if (doc_length_total != nullptr) data["_doc_length_total"] = *doc_length_total;
  if (!analysis.empty()) data["_analysis"] = analysis;
  return data.dump(1, "  ");
}

void BM25::load(const std::string& json_data) {
  const ModelFile file = ReadModelFile(json_data);
  _doc_token_frequency.reserve(_doc_token_frequency.size() + file.counts.size());
  for (const auto& entry : file.counts) _doc_token_frequency[entry.first] = entry.second;
  _doc_count = file.doc_count;
  _doc_length_average = file.doc_length_average;
  _doc_length_total = file.doc_length_total;
  _b = file.b;
  _k1 = file.k1;
}

void BM25::dump(const std::string& filename) const {
  WriteModelFile(filename, ModelFileText(&_doc_token_frequency, 1, _doc_count,
                                         _doc_length_average, _b, _k1));
}

}  // namespace text
}  // namespace typing
}  // namespace korva
