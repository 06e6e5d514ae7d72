#pragma once
// Usage:
//   auto tok = std::make_shared<const norvane::Tokenizer>(paths, false);
//   norvane::SparseEncoder enc(tok, 0.75, 1.2);  // or (tok, 0.75, 1.2, "words+bigrams/1")
//   std::vector<norvane::TextItem> batch = {norvane::TextItem::Text(utf8)};
//   enc.Fit(batch, 0);
//   norvane::SparseRows rows;
//   enc.EncodeDocuments(batch, 0, false, rows);  // rows.ids / rows.weights per row
//
// Thread safety: EncodeDocuments, EncodeQueries and the const readers may run
// from many threads at once. Fit, FitEncodeDocuments, Merge and Restore take
// the statistics exclusively: they wait for running encodes, and encodes
// started meanwhile wait for them. A failed or cancelled call changes
// nothing, except a fit that runs out of memory while its counts are added
// in its last step.
// Cancelling: the batch calls take an optional flag, read every few hundred
// texts; once another thread sets it they throw Cancelled. A fit counts the
// whole batch apart and adds it only at the end: it first sets the flag
// itself, so a cancel that sees the flag already set was too late.
// Throws: std::invalid_argument for bad b or k1, an unknown analysis and for
// a merge of encoders that differ; std::runtime_error for encoding before
// any fit and for a bad
// model file (the message names what is wrong); std::overflow_error when a
// count would pass its range; Cancelled; std::bad_alloc.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvane/analyzer.h"
#include "norvane/byte_hash.h"
#include "norvane/sparse_rows.h"
#include "norvane/tokenizer.h"
#include "search/bm25/bm25_internal.h"

namespace norvane {

// One text of a batch: UTF-8 to analyse, or a list of tokens taken as given.
// The views must stay valid for the call.
struct TextItem {
  std::string_view text;
  const std::string_view* tokens = nullptr;
  size_t token_count = 0;
  bool given = false;

  static TextItem Text(std::string_view text) { return {text, nullptr, 0, false}; }
  static TextItem Tokens(const std::string_view* tokens, size_t n) {
    return {std::string_view(), tokens, n, true};
  }
};



// Thrown by a batch call whose cancel flag was set.
struct Cancelled : std::runtime_error {
  Cancelled() : std::runtime_error("the call was cancelled") {}
};

class SparseEncoder {
 public:
  // How many tables the statistics are split into.
  static constexpr size_t kPartCount = 64;

  // analysis: one of kAnalyses (std::invalid_argument for another).
  SparseEncoder(std::shared_ptr<const Tokenizer> tokenizer, double b, double k1,
                std::string_view analysis = kAnalyses[0]);

  // Counts, for every token, the documents of batch that hold it. Documents
  // without tokens are skipped. threads: 0 for one per core. cancel: see
  // above; null for none.
  void Fit(const std::vector<TextItem>& batch, unsigned threads,
           std::atomic<bool>* cancel = nullptr);

  // Fit, then EncodeDocuments of the same batch, cutting each text once.
  void FitEncodeDocuments(const std::vector<TextItem>& batch, unsigned threads, bool keep_tokens,
                          SparseRows& out, std::atomic<bool>* cancel = nullptr);

  // Saturated term frequencies tf / (K + tf), K = k1 (1 - b + b len / avglen).
  void EncodeDocuments(const std::vector<TextItem>& batch, unsigned threads, bool keep_tokens,
                       SparseRows& out, const std::atomic<bool>* cancel = nullptr) const;
  // IDF ln((N + 1) / (df + 0.5)) of each distinct token (an unknown one
  // counts as df 1), times the analyzer's QueryWeight for analysed texts
  // (not for given tokens), normalised to sum 1.
  void EncodeQueries(const std::vector<TextItem>& batch, unsigned threads, bool keep_tokens,
                     SparseRows& out, const std::atomic<bool>* cancel = nullptr) const;
  // The same with document frequencies from elsewhere: frequency(token,
  // TokenTable::Hash(token)) and doc_count documents stand for this
  // encoder's statistics (a store that keeps them on disk). std::runtime_error
  // when doc_count is 0, as for an encoder not fitted.
  using FrequencyOf = std::function<long long(std::string_view, size_t)>;
  void EncodeQueries(const std::vector<TextItem>& batch, int doc_count,
                     const FrequencyOf& frequency, bool keep_tokens, SparseRows& out) const;

  // Adds other's statistics; both must have equal b, k1 and analysis.
  void Merge(const SparseEncoder& other);
  // Takes other's statistics away again, as if the documents other fitted
  // had never been fitted here: tokens whose count reaches 0 are forgotten.
  // Throws std::invalid_argument, changing nothing, when these statistics do
  // not hold other's (a count or total would go below 0) or the encoders
  // differ as for Merge.
  void Subtract(const SparseEncoder& other);

  // The model file's text, and the statistics read back from one (replacing
  // those held). Restore refuses a file of another analysis.
  std::string ModelText() const;
  void Restore(const std::string& model_text);

  double b() const { return b_; }
  double k1() const { return k1_; }
  const Analyzer& analyzer() const { return analyzer_; }
  int doc_count() const;
  long long length_total() const;
  size_t vocabulary_size() const;
  // (TokenTable::Hash of the token, document frequency) of every token,
  // ascending by hash: the statistics as a store keeps them for lookups.
  std::vector<std::pair<uint64_t, int>> DocumentFrequencies() const;
  // Document frequency of token, 0 when unknown.
  int document_frequency(std::string_view token) const;

 private:
  // Document frequencies split into parts by the top bits of the token's
  // table hash (see sparse_encoder.cc).
  struct Statistics {
    std::vector<korva::typing::text::TokenTable> parts =
        std::vector<korva::typing::text::TokenTable>(kPartCount);
    int doc_count = 0;
    long long length_total = 0;
    long long max_count = 0;  // no count is larger: bounds what an addition can reach
  };

  // Copies other's statistics under its lock after checking it may be
  // merged with these.
  Statistics CopyCompatible(const SparseEncoder& other) const;
  void FitAndEncode(const std::vector<TextItem>& batch, unsigned threads, bool keep_tokens,
                    SparseRows* out, std::atomic<bool>* cancel);
  void Encode(const std::vector<TextItem>& batch, unsigned threads, bool keep_tokens, bool query,
              SparseRows& out, const std::atomic<bool>* cancel, int doc_count = 0,
              const FrequencyOf* frequency = nullptr) const;
  // Adds a fit's staged counts to the statistics (moves them in when there
  // are none yet); callers hold the lock.
  void Take(Statistics&& staged, unsigned workers);
  // Adds from's counts to to's, part by part; callers hold the lock.
  static void AddStatistics(Statistics& to, const Statistics& from, unsigned threads);

  Analyzer analyzer_;
  double b_;
  double k1_;
  mutable std::shared_mutex mutex_;
  Statistics stats_;
};

}  // namespace norvane
