#pragma once
// Usage:
//   norvane::bm25::CheckBm25Parameters(b, k1);  // or CheckEncoderParameters
//   const double average = norvane::bm25::AverageLength(length_total, doc_count);
//   const double k = norvane::bm25::LengthNorm(length, average, b, k1);
//   const double tf = norvane::bm25::Saturate(count, k);     // a document weight
//   const double idf = norvane::bm25::Idf(doc_count + 1.0, df);  // a query weight
//
// Thread safety: pure functions.
// Throws: the Check functions std::invalid_argument with their engine's
// fixed text; the rest nothing.
//
// The BM25 weighting that pynorvane's BM25 and the toolkit's SparseEncoder
// share: a model saved by one weighs the same in the other, to the last
// bit. Each expression keeps its order of operations; reordering any of
// them (even (1 - b) + b n / avg) changes results in the last bits.

#include <cmath>
#include <cstddef>
#include <stdexcept>

namespace norvane {
namespace bm25 {

// The mean document length, in double: a total near the top of long long
// and a count near the top of int are both exact enough.
inline double AverageLength(long long length_total, int doc_count) {
  return static_cast<double>(length_total) / static_cast<double>(doc_count);
}

// K = k1 (1 - b + b len / avg), the saturation constant of a document of
// `length` tokens.
inline double LengthNorm(size_t length, double average, double b, double k1) {
  return ((static_cast<double>(length) / average) * b + (1.0 - b)) * k1;
}

// tf / (K + tf): a token's weight in a document where it occurs f times.
inline double Saturate(double f, double k) { return f / (k + f); }

// ln(N1 / (df + 0.5)) with N1 the document count plus one (in double: a
// loaded count may be the largest int). An unknown token weighs as one of
// a single document: Idf(n1, 1.0).
inline double Idf(double n1, double df) { return std::log(n1 / (df + 0.5)); }

// pynorvane's BM25: any finite b and k1. A NaN or an infinity would make
// every weight NaN, and the model file unreadable.
inline void CheckBm25Parameters(double b, double k1) {
  if (!std::isfinite(b) || !std::isfinite(k1)) {
    throw std::invalid_argument("b and k1 must be finite numbers");
  }
}

// The sparse encoder: b between 0 and 1 (outside it long documents weigh
// more than short ones, or weights turn negative), k1 finite and not
// negative.
inline bool EncoderBValid(double b) { return b >= 0.0 && b <= 1.0; }
inline bool EncoderK1Valid(double k1) { return k1 >= 0.0 && std::isfinite(k1); }

inline void CheckEncoderParameters(double b, double k1) {
  if (!EncoderBValid(b)) throw std::invalid_argument("b must be between 0 and 1");
  if (!EncoderK1Valid(k1)) throw std::invalid_argument("k1 must be >= 0");
}

}  // namespace bm25
}  // namespace norvane
