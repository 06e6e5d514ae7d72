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

#include "norvane/tokenizer.h"
#include "search/bm25/bm25_internal.h"

namespace norvane {

// MurmurHash3 x86_32 with seed 0 of the bytes: the id other sparse encoders
// and vector stores give a token.
uint32_t Murmur3(std::string_view bytes);

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

// The analyses an encoder offers, by name; the first is the default.
//
// "words+ngrams/2": the text folded (ASCII and Latin-1 capitals to lower
// case, full-width forms to ASCII, traditional characters to simplified
// ones); the words of a cut by the dictionary alone, each run of letters and
// digits other than ideographs joined into one word, stop words and words
// without a letter or digit left out; then, as tokens of their own kind,
// every letter or digit and every pair of adjacent ones within a run of
// them, each character preceded by kNgramMark. A word and an n-gram of the
// same characters are distinct tokens, counted apart.
//
// "words+bigrams/1": the text folded without the traditional mapping; the
// words of an accurate cut (unknown stretches joined by the HMM) that hold a
// letter or digit and are not stop words; then every pair of adjacent
// letters or digits, as plain strings (a word and a pair of the same two
// characters are one token).
inline constexpr const char* kAnalyses[] = {"words+ngrams/2", "words+bigrams/1"};

// The k1 an encoder of analysis is given when the caller names none: n-gram
// tokens repeat within a passage more than words do, and saturate sooner.
double DefaultK1(std::string_view analysis);

// Query weight of a word token of "words+ngrams/2", as a multiple of its IDF
// (n-gram tokens: 1): a word match is stronger evidence than the n-grams it
// overlaps.
inline constexpr double kWordQueryWeight = 2.5;

// Precedes every character of an n-gram token: no word holds it, since a
// word is cut from the text at letters and digits and U+0001 is neither.
inline constexpr char kNgramMark = '\x01';

// What a text becomes for retrieval, by one of kAnalyses. Character n-grams
// cover words the dictionary splits differently in a question and in a
// passage; words keep the matches an n-gram alone would spread over
// unrelated text.
class Analyzer {
 public:
  // analysis: one of kAnalyses; std::invalid_argument for another name.
  explicit Analyzer(std::shared_ptr<const Tokenizer> tokenizer,
                    std::string_view analysis = kAnalyses[0]);

  // Tokens of text into out (cleared first), as views into `folded`, which
  // receives the folded text and must outlive them. `words` is scratch.
  void Analyze(std::string_view text, std::string& folded, std::vector<Token>& words,
               std::vector<std::string_view>& out) const;
  // The same, with the cut's working buffers in cut_scratch (one per thread)
  // and hashes[i] = TokenTable::Hash(out[i]) (cleared first).
  void Analyze(std::string_view text, std::string& folded, std::vector<Token>& words,
               TokenizeScratch& cut_scratch, std::vector<std::string_view>& out,
               std::vector<size_t>& hashes) const;

  // Names the analysis and the dictionary it cuts with; equal names give
  // equal tokens for equal texts.
  const std::string& name() const { return name_; }
  const std::shared_ptr<const Tokenizer>& tokenizer() const { return tokenizer_; }
  // The analysis alone, one of kAnalyses.
  const std::string& analysis() const { return analysis_; }
  // The factor a query's IDF of token gets: kWordQueryWeight for a word of
  // "words+ngrams/2", 1 otherwise.
  double QueryWeight(std::string_view token) const {
    return ngrams_ && (token.empty() || token[0] != kNgramMark) ? kWordQueryWeight : 1.0;
  }
  // About how many distinct tokens texts of text_bytes in all give, for
  // reserving: one per four bytes, two per three with the n-grams.
  size_t ExpectedTokens(size_t text_bytes) const {
    return ngrams_ ? text_bytes / 3 * 2 : text_bytes / 4;
  }
  // The most bytes Analyze leaves in `folded` for a text of text_bytes.
  size_t FoldedBound(size_t text_bytes) const {
    return ngrams_ ? 4 * text_bytes : text_bytes;
  }

 private:
  void AnalyzeNgrams(std::string_view text, std::string& folded, std::vector<Token>& words,
                     TokenizeScratch& cut_scratch, std::vector<std::string_view>& out,
                     std::vector<size_t>& hashes) const;
  // Whether word is a stop word (hash: TokenTable::Hash of it).
  bool IsStop(std::string_view word, size_t hash) const;

  std::shared_ptr<const Tokenizer> tokenizer_;
  std::string analysis_;
  bool ngrams_;  // "words+ngrams/2"
  std::string name_;
  // The tokenizer's stop words again, in a table looked up without a copy,
  // and a filter of bits set by their hashes: a clear bit spares most words
  // the lookup.
  korva::typing::text::TokenTable stop_words_;
  std::vector<uint64_t> stop_filter_;
};

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
  // Adds from's counts to to's, part by part; callers hold the lock.
  static void AddStatistics(Statistics& to, const Statistics& from, unsigned threads);
  // Average document length and K of a document; callers hold the lock.
  double Average() const;
  double LengthNorm(size_t length, double average) const;

  Analyzer analyzer_;
  double b_;
  double k1_;
  mutable std::shared_mutex mutex_;
  Statistics stats_;
};

}  // namespace norvane
