#include "norvane/sparse_rows.h"

#include <algorithm>

namespace norvane {

// Ids are
// hashes, spread evenly: a counting pass puts each key into one of n
// buckets by its id's place in the id range, and an insertion pass orders
// the few keys that share a bucket. For the tens to hundreds of entries of
// a row this takes a fraction of the instructions of a comparison sort.
void SortKeys(std::vector<uint64_t>& keys, std::vector<uint64_t>& spare,
              std::vector<uint32_t>& starts) {
  const size_t n = keys.size();
  if (n < 16) {
    std::sort(keys.begin(), keys.end());
    return;
  }
  auto bucket = [n](uint64_t key) { return static_cast<size_t>(((key >> 32) * n) >> 32); };
  starts.assign(n + 1, 0);
  for (const uint64_t key : keys) ++starts[bucket(key) + 1];
  for (size_t b = 1; b <= n; ++b) starts[b] += starts[b - 1];
  spare.resize(n);
  for (const uint64_t key : keys) spare[starts[bucket(key)]++] = key;
  for (size_t i = 1; i < n; ++i) {
    const uint64_t key = spare[i];
    size_t j = i;
    for (; j > 0 && spare[j - 1] > key; --j) spare[j] = spare[j - 1];
    spare[j] = key;
  }
  keys.swap(spare);
}

void RowWriter::EndRow() {
  order_.resize(row_.size());
  for (size_t e = 0; e < row_.size(); ++e) {
    order_[e] = (static_cast<uint64_t>(row_[e].id) << 32) | e;  // one integer sort
  }
  SortKeys(order_, spare_, starts_);
  const size_t row_start = rows_.ids.size();
  for (uint64_t key : order_) {
    const Entry& e = row_[key & 0xFFFFFFFFu];
    const auto id = static_cast<int64_t>(e.id);
    if (!keep_tokens_ && rows_.ids.size() > row_start && rows_.ids.back() == id) {
      rows_.weights.back() += e.weight;  // tokens sharing an id share the entry
      continue;
    }
    rows_.ids.push_back(id);
    rows_.weights.push_back(e.weight);
    if (keep_tokens_) {
      rows_.token_bytes.append(e.token.data(), e.token.size());
      rows_.token_ends.push_back(rows_.token_bytes.size());
    }
  }
  rows_.indptr.push_back(static_cast<int64_t>(rows_.ids.size()));
  row_.clear();
}

void Concatenate(std::vector<SparseRows>& parts, size_t rows, bool keep_tokens,
                 SparseRows& out) {
  if (parts.size() == 1) {  // one thread, one round: nothing to join
    out = std::move(parts[0]);
    return;
  }
  out = SparseRows();
  size_t entries = 0;
  size_t bytes = 0;
  for (const auto& p : parts) entries += p.ids.size(), bytes += p.token_bytes.size();
  out.indptr.reserve(rows + 1);
  out.ids.reserve(entries);
  out.weights.reserve(entries);
  out.indptr.push_back(0);
  if (keep_tokens) out.token_bytes.reserve(bytes), out.token_ends.reserve(entries);
  for (auto& p : parts) {
    const int64_t base = static_cast<int64_t>(out.ids.size());
    for (size_t r = 1; r < p.indptr.size(); ++r) out.indptr.push_back(base + p.indptr[r]);
    out.ids.insert(out.ids.end(), p.ids.begin(), p.ids.end());
    out.weights.insert(out.weights.end(), p.weights.begin(), p.weights.end());
    const uint64_t shift = out.token_bytes.size();
    out.token_bytes += p.token_bytes;
    for (uint64_t end : p.token_ends) out.token_ends.push_back(shift + end);
    p = SparseRows();  // freed as soon as copied
  }
}

}  // namespace norvane
