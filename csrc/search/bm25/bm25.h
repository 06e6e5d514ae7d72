#pragma once

// Usage:
//   BM25 model(/*b=*/0.75, /*k1=*/1.2);
//   model.train(std::vector<std::string>{"a", "b", "a"});  // one document per call
//   std::map<std::string, double> doc = model.encode_document(tokens);
//   std::map<std::string, double> query = model.encode_query(tokens);
//   model.dump("model.json");  // load(text) restores it
//
// Thread safety: none. train and load write the statistics, and the
// encoders must not run alongside them; the Python binding relies on the
// interpreter lock, which it holds through every call.
// Throws: std::runtime_error with fixed texts (an empty training document,
// encoding before any training, a bad model file, a failed dump; a malformed
// number in a model file gives std::invalid_argument or std::out_of_range),
// std::overflow_error when a count would overflow (the model is unchanged),
// std::invalid_argument for a b or k1 that is not finite, std::bad_alloc.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "search/bm25/bm25_internal.h"

namespace korva {
namespace typing {
namespace text {

// Sparse lexical encoder. Keeps corpus statistics only; document vectors carry
// saturated term frequencies and query vectors normalised IDF weights, so their
// dot product is a BM25-style score. Integer tokens share the table with string
// tokens under their decimal text.
class BM25 {
 public:
  BM25(double b, double k1);  // std::invalid_argument unless both are finite
  ~BM25();

  void train(const std::vector<std::string>& corpus);
  void train(const std::vector<long long>& corpus);
  void train(const std::vector<std::vector<long long>>& corpus);

  // Restores statistics from the model file's text (not its path). Token
  // counts are merged into the ones held; on any error nothing changes.
  void load(const std::string& json_data);
  // Writes the model file; an existing file is replaced only once the new
  // text is completely written.
  void dump(const std::string& filename) const;

  std::map<std::string, double> encode_document(const std::vector<std::string>& tokens);
  std::map<long long, double> encode_document(const std::vector<long long>& tokens);
  std::map<std::string, double> encode_query(const std::vector<std::string>& tokens);
  std::map<long long, double> encode_query(const std::vector<long long>& tokens);

  // The same operations for callers that keep their own token objects (the
  // Python binding), on tokens[0, n). An encoder writes one weight per
  // distinct token into `weights`, which has room for n, in ascending key
  // order and paired with the index of the token's first occurrence; it
  // returns how many it wrote. The forms above are built on these.
  using IndexedWeight = std::pair<size_t, double>;
  void train(const std::string_view* tokens, size_t n);
  void train(const long long* tokens, size_t n);
  size_t encode_document(const std::string_view* tokens, size_t n, IndexedWeight* weights) const;
  size_t encode_document(const long long* tokens, size_t n, IndexedWeight* weights) const;
  size_t encode_query(const std::string_view* tokens, size_t n, IndexedWeight* weights) const;
  size_t encode_query(const long long* tokens, size_t n, IndexedWeight* weights) const;

 private:
  void _train(const long long* tokens, size_t n);
  void _train(const std::string_view* tokens, size_t n);
  // Sets weights[i] to the IDF of keys[i] for i < n, then normalises.
  void _weigh_query(const std::string_view* keys, size_t n, IndexedWeight* weights) const;
  template <typename Token>
  size_t _encode_document(const Token* tokens, size_t n, IndexedWeight* weights) const;

  void _count_document(size_t length);
  void _check_initialized() const;
  double _length_norm(size_t length) const;

  double _b;
  double _k1;
  int _doc_count = 0;
  long long _doc_length_total = 0;
  double _doc_length_average = 0.0;
  TokenTable _doc_token_frequency;
};

}  // namespace text
}  // namespace typing
}  // namespace korva
