#pragma once
// Rows of encoded texts in compressed-row form, and their writing.
//
// Usage:
//   SparseRows rows;
//   RowWriter writer(/*keep_tokens=*/false, rows);
//   writer.Add(token, id, weight); ...; writer.EndRow();   // or writer.Row(...)
//   Concatenate(parts, row_count, false, out);             // rows of threads, in order
// Thread safety: a writer and its rows belong to one thread. Throws
// std::bad_alloc only.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/bm25_weighting.h"

namespace norvane {

// Encoded texts in compressed-row form: row r owns entries
// [indptr[r], indptr[r + 1]), in ascending id order. With tokens kept, each
// entry is one distinct token (its bytes are token_bytes[token_ends[e - 1],
// token_ends[e])); otherwise tokens that share an id are one entry holding
// the sum of their weights.
struct SparseRows {
  std::vector<int64_t> indptr;
  std::vector<int64_t> ids;
  std::vector<double> weights;
  std::string token_bytes;
  std::vector<uint64_t> token_ends;
};

// Sorts keys (an id in the high 32 bits, distinct low bits) ascending;
// spare and starts are scratch.
void SortKeys(std::vector<uint64_t>& keys, std::vector<uint64_t>& spare,
              std::vector<uint32_t>& starts);

// Builds rows of SparseRows: a row's entries are added in any order and
// written sorted by id, then by order of addition.
class RowWriter {
 public:
  RowWriter(bool keep_tokens, SparseRows& rows) : keep_tokens_(keep_tokens), rows_(rows) {
    rows_.indptr.push_back(0);
  }

  void Add(std::string_view token, uint32_t id, double weight) {
    row_.push_back({token, id, weight});
  }

  // A whole row of (id, count) pairs without token bytes, weighed f/(k+f).
  template <typename IdCount>
  void Row(const IdCount* tokens, size_t n, double k) {
    order_.resize(n);
    for (size_t e = 0; e < n; ++e) order_[e] = (static_cast<uint64_t>(tokens[e].id) << 32) | e;
    SortKeys(order_, spare_, starts_);
    const size_t row_start = rows_.ids.size();
    for (uint64_t key : order_) {
      const auto id = static_cast<int64_t>(key >> 32);
      const double f = tokens[key & 0xFFFFFFFFu].count;
      const double weight = bm25::Saturate(f, k);
      if (rows_.ids.size() > row_start && rows_.ids.back() == id) {
        rows_.weights.back() += weight;
        continue;
      }
      rows_.ids.push_back(id);
      rows_.weights.push_back(weight);
    }
    rows_.indptr.push_back(static_cast<int64_t>(rows_.ids.size()));
  }

  // Writes the row of the entries added since the last one.
  void EndRow();

 private:
  struct Entry {
    std::string_view token;
    uint32_t id;
    double weight;
  };

  bool keep_tokens_;
  SparseRows& rows_;
  std::vector<Entry> row_;
  std::vector<uint64_t> order_;
  std::vector<uint64_t> spare_;
  std::vector<uint32_t> starts_;
};

// Appends the rows of parts to out, in order; parts are emptied.
void Concatenate(std::vector<SparseRows>& parts, size_t rows, bool keep_tokens, SparseRows& out);

}  // namespace norvane
