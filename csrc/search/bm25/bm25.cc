#include "search/bm25/bm25.h"

#include <cmath>
#include <stdexcept>

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
  const double n1 = static_cast<double>(_doc_count + 1);
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
