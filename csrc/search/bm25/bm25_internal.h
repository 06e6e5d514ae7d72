#pragma once

// Usage:
//   ModelFile file = ReadModelFile(text, /*strict=*/true);
//   WriteModelFile(path, ModelFileText(&table, 1, doc_count, average, b, k1));
//
// Internal to the BM25 encoder and its users inside the project (the Python
// binding, the toolkit's sparse encoder): the model file, and the shared
// token table, small vector and prefetch helper under this namespace. Not
// part of BM25's interface.
//
// Thread safety: the model-file functions share nothing.
// Throws: ReadModelFile std::runtime_error naming the first member found
// wrong (std::invalid_argument or std::out_of_range for a malformed number);
// WriteModelFile std::runtime_error starting "Failed to dump"; all
// std::bad_alloc.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "norvane/small_vector.h"
#include "norvane/token_table.h"

namespace korva {
namespace typing {
namespace text {

// The shared primitives under the names this code and its users know.
using norvane::PrefetchLine;
using norvane::SmallVector;
using norvane::TokenTable;

// What a model file holds. Besides the members BM25 reads, a file may carry
// `_doc_length_total` (the exact total length, which the printed average
// cannot give back for large corpora) and `_analysis` (how texts became
// tokens); BM25 ignores both.
struct ModelFile {
  std::vector<std::pair<std::string, int>> counts;  // unescaped token, count
  int doc_count = 0;
  double doc_length_average = 0.0;
  long long doc_length_total = 0;  // the member, else the average times the count
  double b = 0.0;
  double k1 = 0.0;
  std::string analysis;  // empty when the member is absent
};

// Parses and checks a model file's text; throws std::runtime_error naming the
// first member found wrong. strict: the text must be valid JSON and nothing
// more (json::JSON::LoadStrict), else a fault is found only where it makes
// a member unreadable.
ModelFile ReadModelFile(const std::string& json_data, bool strict = false);
// The model file's text, the counts of tables[0, table_count) together (their
// keys must differ); `analysis` is written only when not empty, the total
// length only when given.
std::string ModelFileText(const TokenTable* tables, size_t table_count, int doc_count,
                          double doc_length_average, double b, double k1,
                          const long long* doc_length_total = nullptr,
                          const std::string& analysis = std::string());
// Writes text to filename; a regular file is replaced only once the new text
// is completely written (temporary file and rename). Throws std::runtime_error.
void WriteModelFile(const std::string& filename, const std::string& text);

}  // namespace text
}  // namespace typing
}  // namespace korva
