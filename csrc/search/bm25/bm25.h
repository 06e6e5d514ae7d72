#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace korva {
namespace typing {
namespace text {

// Sparse lexical encoder. Keeps corpus statistics only; document vectors carry
// saturated term frequencies and query vectors normalised IDF weights, so their
// dot product is a BM25-style score. Integer tokens share the table with string
// tokens under their decimal text.
class BM25 {
 public:
  BM25(double b, double k1);
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

 private:
  void _train(const std::vector<long long>& corpus);
  void _train(const std::vector<std::string>& corpus);
  std::unordered_map<long long, int> _token_frequency(const std::vector<long long>& tokens);
  std::unordered_map<std::string, int> _token_frequency(const std::vector<std::string>& tokens);
  double idf(const std::string& qi);

  void _count_document(size_t length);
  void _check_initialized() const;
  double _length_norm(size_t length) const;

  double _b;
  double _k1;
  int _doc_count = 0;
  long long _doc_length_total = 0;
  double _doc_length_average = 0.0;
  std::unordered_map<std::string, int> _doc_token_frequency;
};

}  // namespace text
}  // namespace typing
}  // namespace korva
