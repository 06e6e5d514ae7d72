#include "norvane/sparse_encoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "norvane/bm25_weighting.h"
#include "norvane/parallel.h"
#include "norvane/part_tally.h"
#include "norvane/token_counter.h"
#include "norvane/utf8.h"

namespace norvane {

namespace {

using korva::typing::text::TokenTable;

const char kNotFitted[] = "SparseEncoder is not fitted: call fit() with documents first";

static_assert(kParts == SparseEncoder::kPartCount, "one part per top-bits value");

size_t ItemBytes(const TextItem& item) {
  if (!item.given) return item.text.size() + 1;
  size_t bytes = 1;
  for (size_t t = 0; t < item.token_count; ++t) bytes += item.tokens[t].size() + 1;
  return bytes;
}

// Splits batch[begin, end) into about `parts` runs of similar byte counts;
// returns the run starts followed by end.
std::vector<size_t> SplitByBytes(const std::vector<TextItem>& batch, size_t begin, size_t end,
                                 size_t parts) {
  std::vector<size_t> weight(end - begin + 1, 0);
  for (size_t i = begin; i < end; ++i) weight[i - begin + 1] = weight[i - begin] + ItemBytes(batch[i]);
  std::vector<size_t> starts = {begin};
  const size_t total = weight.back();
  for (size_t p = 1; p < parts; ++p) {
    const size_t target = total / parts * p;
    const size_t at = begin + static_cast<size_t>(
        std::lower_bound(weight.begin(), weight.end(), target) - weight.begin());
    if (at > starts.back() && at < end) starts.push_back(at);
  }
  starts.push_back(end);
  return starts;
}

// Per-thread buffers of analysis.
struct Scratch {
  std::string folded;
  std::vector<Token> words;
  TokenizeScratch cut;
  std::vector<std::string_view> tokens;
  std::vector<size_t> hashes;  // TokenTable::Hash of each token
};

// The tokens of item: given, or analysed into scratch.folded; their hashes
// in scratch.hashes.
const std::string_view* TokensOf(const Analyzer& analyzer, const TextItem& item,
                                 Scratch& scratch, size_t& n) {
  if (item.given) {
    n = item.token_count;
    scratch.hashes.resize(n);
    for (size_t i = 0; i < n; ++i) scratch.hashes[i] = TokenTable::Hash(item.tokens[i]);
    return item.tokens;
  }
  analyzer.Analyze(item.text, scratch.folded, scratch.words, scratch.cut, scratch.tokens,
                   scratch.hashes);
  n = scratch.tokens.size();
  return scratch.tokens.data();
}


}  // namespace

// ---- SparseEncoder ------------------------------------------------------------

SparseEncoder::SparseEncoder(std::shared_ptr<const Tokenizer> tokenizer, double b, double k1,
                             std::string_view analysis)
    : analyzer_(std::move(tokenizer), analysis), b_(b), k1_(k1) {
  bm25::CheckEncoderParameters(b, k1);
}


namespace {

// How many keys ahead the tally fetches a key's bytes.
constexpr size_t kAhead = 16;

// Text of a batch taken per fit round: bounds the tokens held between the
// two stages of a round (about 16 bytes per distinct token of a text).
constexpr size_t kRoundBytes = size_t{32} << 20;

// Stage one of a fit round for one run of texts: each text's distinct tokens,
// sorted into the statistics' parts. Views point into the texts or `arena`.
struct Keyed {
  const char* data;
  uint32_t size;
  uint32_t hash;  // the low bits of the table hash, enough for a tally's slots

  std::string_view token() const { return {data, size}; }
};

// A text's distinct token by its id and count, kept when a fit also
// encodes its documents (the bytes apart, and only when rows keep them:
// most one-pass fits have twice as many such tokens as text bytes).
struct DocToken {
  uint32_t id;
  uint32_t count;
};

struct RunTokens {
  // A vector, not a string: moving a string may copy a short one held
  // inside the object and leave the views dangling; a vector's heap buffer
  // moves with it.
  std::vector<char> arena;
  std::vector<Keyed> parts[kParts];
  long long length = 0;
  int texts = 0;
  // With rows wanted: every text's tokens, ends[j] the end of text j's.
  std::vector<DocToken> tokens;
  std::vector<std::string_view> token_bytes;  // tokens' bytes, when kept
  std::vector<size_t> ends;
  std::vector<size_t> lengths;
};

// Texts between two reads of a cancel flag: a few milliseconds of work.
constexpr size_t kCancelStride = 256;

inline void ThrowIfCancelled(const std::atomic<bool>* cancel) {
  if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) throw Cancelled();
}

void CollectRun(const Analyzer& analyzer, const std::vector<TextItem>& batch, size_t begin,
                size_t end, bool rows, bool keep_tokens, RunTokens& run,
                const std::atomic<bool>* cancel) {
  Scratch scratch;
  TokenCounter<std::string_view> distinct;
  size_t bytes = 0;
  size_t all_bytes = 0;
  for (size_t i = begin; i < end; ++i) {
    bytes += analyzer.FoldedBound(batch[i].text.size()), all_bytes += ItemBytes(batch[i]);
  }
  run.arena.reserve(bytes);  // never grows past this, so views into it stay valid
  // Most parts and token lists never grow.
  const size_t expected = analyzer.ExpectedTokens(all_bytes);
  for (auto& part : run.parts) part.reserve(expected / kParts + 16);
  if (rows) run.tokens.reserve(expected);
  if (keep_tokens) run.token_bytes.reserve(expected);
  for (size_t i = begin; i < end; ++i) {
    if ((i - begin) % kCancelStride == 0) ThrowIfCancelled(cancel);
    size_t n = 0;
    const std::string_view* tokens = TokensOf(analyzer, batch[i], scratch, n);
    if (rows) run.lengths.push_back(n);
    if (n == 0) {
      if (rows) run.ends.push_back(run.tokens.size());
      continue;
    }
    if (!batch[i].given) {
      // The tokens outlive this text's scratch copy: move them to the arena,
      // which must not reallocate under the views of earlier texts.
      if (scratch.folded.size() > run.arena.capacity() - run.arena.size()) {
        throw std::logic_error("SparseEncoder: a folded text outgrew the analysis' bound");
      }
      const size_t shift = run.arena.size();
      run.arena.insert(run.arena.end(), scratch.folded.begin(), scratch.folded.end());
      const char* from = scratch.folded.data();
      const char* to = run.arena.data() + shift;
      for (auto& t : scratch.tokens) t = std::string_view(to + (t.data() - from), t.size());
    }
    distinct.Count(tokens, scratch.hashes.data(), n);
    const auto& entries = distinct;
    for (const auto& e : entries) {
      if (e.token.size() > UINT32_MAX) throw std::length_error("a token of 4 GiB or more");
      run.parts[PartOf(e.hash)].push_back(
          {e.token.data(), static_cast<uint32_t>(e.token.size()), static_cast<uint32_t>(e.hash)});
    }
    if (rows) {
      const size_t at = run.tokens.size();
      run.tokens.resize(at + entries.size());
      DocToken* out = run.tokens.data() + at;
      for (const auto& e : entries) *out++ = {Murmur3x86_32(e.token), e.count};
      if (keep_tokens) {
        for (const auto& e : entries) run.token_bytes.push_back(e.token);
      }
      run.ends.push_back(run.tokens.size());
    }
    run.length += static_cast<long long>(n);
    ++run.texts;
  }
}


// The end of the fit round starting at begin: about kRoundBytes of text.
size_t RoundEnd(const std::vector<TextItem>& batch, size_t begin) {
  size_t end = begin;
  for (size_t bytes = 0; end < batch.size() && bytes < kRoundBytes; ++end) {
    bytes += ItemBytes(batch[end]);
  }
  return end;
}

// Stage one of a fit round: the distinct tokens of batch[begin, end), in a
// few runs per thread, which even out texts of different cost.
std::vector<RunTokens> CollectRound(const Analyzer& analyzer, const std::vector<TextItem>& batch,
                                    size_t begin, size_t end, unsigned workers, bool rows,
                                    bool keep_tokens, const std::atomic<bool>* cancel) {
  const std::vector<size_t> starts =
      SplitByBytes(batch, begin, end, workers == 1 ? 1 : 4 * workers);
  std::vector<RunTokens> runs(starts.size() - 1);
  ParallelFor(runs.size(), workers, [&](size_t r) {
    CollectRun(analyzer, batch, starts[r], starts[r + 1], rows, keep_tokens, runs[r], cancel);
  });
  ThrowIfCancelled(cancel);
  return runs;
}

// Stage two: the round's occurrences of one part, summed into table.
void CountPart(const std::vector<RunTokens>& runs, size_t part, TokenTable& table) {
  size_t expected = 0;
  for (const RunTokens& run : runs) expected += run.parts[part].size();
  Tally tally;
  tally.Reset(expected);
  for (const RunTokens& run : runs) {
    const std::vector<Keyed>& keyed = run.parts[part];
    for (size_t i = 0; i < keyed.size(); ++i) {
      // The bytes lie wherever their text was: fetched ahead, they are
      // in cache when compared.
      if (i + kAhead < keyed.size()) __builtin_prefetch(keyed[i + kAhead].data);
      tally.Add(keyed[i].token(), keyed[i].hash);
    }
  }
  std::vector<size_t> hashes(tally.keys.size());
  for (size_t i = 0; i < hashes.size(); ++i) hashes[i] = TokenTable::Hash(tally.keys[i]);
  table.add_counts(tally.keys.data(), hashes.data(), tally.counts.data(), tally.keys.size());
}

// The rows of a run's texts, once the statistics are counted: tf / (K + tf),
// K = length_norm(the text's length).
template <typename LengthNorm>
void WriteRuns(const RunTokens& run, bool keep_tokens, const std::atomic<bool>* cancel,
               SparseRows& rows, LengthNorm length_norm) {
  rows.indptr.reserve(run.ends.size() + 1);
  rows.ids.reserve(run.tokens.size());
  rows.weights.reserve(run.tokens.size());
  RowWriter writer(keep_tokens, rows);
  size_t begin_token = 0;
  for (size_t j = 0; j < run.ends.size(); ++j) {
    if (j % kCancelStride == 0) ThrowIfCancelled(cancel);
    const double k = length_norm(run.lengths[j]);
    if (keep_tokens) {
      for (size_t t = begin_token; t < run.ends[j]; ++t) {
        const double f = run.tokens[t].count;
        writer.Add(run.token_bytes[t], run.tokens[t].id, bm25::Saturate(f, k));
      }
      writer.EndRow();
    } else {
      writer.Row(run.tokens.data() + begin_token, run.ends[j] - begin_token, k);
    }
    begin_token = run.ends[j];
  }
}

}  // namespace

void SparseEncoder::Fit(const std::vector<TextItem>& batch, unsigned threads,
                        std::atomic<bool>* cancel) {
  FitAndEncode(batch, threads, false, nullptr, cancel);
}

void SparseEncoder::FitEncodeDocuments(const std::vector<TextItem>& batch, unsigned threads,
                                       bool keep_tokens, SparseRows& out,
                                       std::atomic<bool>* cancel) {
  FitAndEncode(batch, threads, keep_tokens, &out, cancel);
}

void SparseEncoder::AddStatistics(Statistics& to, const Statistics& from, unsigned threads) {
  // Equal hashes put a token into the same part in both.
  ParallelFor(kParts, threads, [&](size_t part) {
    std::vector<std::string_view> keys;
    std::vector<int> counts;
    keys.reserve(from.parts[part].size());
    counts.reserve(from.parts[part].size());
    for (const auto& entry : from.parts[part]) {
      keys.push_back(entry.first);
      counts.push_back(entry.second);
    }
    to.parts[part].add_counts(keys.data(), counts.data(), keys.size());
  });
  to.doc_count += from.doc_count;
  to.length_total += from.length_total;
  to.max_count += from.max_count;
}

void SparseEncoder::FitAndEncode(const std::vector<TextItem>& batch, unsigned threads,
                                 bool keep_tokens, SparseRows* out, std::atomic<bool>* cancel) {
  const unsigned workers = WorkerCount(threads);
  std::vector<RunTokens> kept;  // every round's runs, when rows are wanted
  // The batch's counts, added to the statistics only once all is done: a
  // cancelled or failed fit leaves them as they were.
  Statistics staged;
  // Held throughout: encodes see all of a fit or nothing of it.
  std::unique_lock<std::shared_mutex> lock(mutex_);
  // Every count grows by at most the number of texts: checked once, no add
  // below can overflow.
  if (batch.size() > static_cast<size_t>(INT_MAX - stats_.doc_count) ||
      batch.size() > static_cast<size_t>(INT_MAX - stats_.max_count)) {
    throw std::overflow_error("SparseEncoder statistics would overflow");
  }
  for (size_t begin = 0; begin < batch.size();) {
    const size_t end = RoundEnd(batch, begin);
    std::vector<RunTokens> runs =
        CollectRound(analyzer_, batch, begin, end, workers, out != nullptr, keep_tokens, cancel);
    long long length = 0;
    int texts = 0;
    for (const RunTokens& run : runs) length += run.length, texts += run.texts;
    if (length > LLONG_MAX - stats_.length_total - staged.length_total) {
      throw std::overflow_error("SparseEncoder statistics would overflow");
    }
    ParallelFor(kParts, workers, [&](size_t part) { CountPart(runs, part, staged.parts[part]); });
    staged.doc_count += texts;
    staged.length_total += length;
    staged.max_count += texts;
    begin = end;
    if (out != nullptr) {
      for (RunTokens& run : runs) {
        for (auto& part : run.parts) std::vector<Keyed>().swap(part);
        kept.push_back(std::move(run));
      }
    }
  }
  if (out != nullptr) {
    // With nothing counted every text was empty: every row is empty, and
    // the average length is never needed.
    const int doc_count = stats_.doc_count + staged.doc_count;
    const double average =
        doc_count == 0 ? 1.0
                       : bm25::AverageLength(stats_.length_total + staged.length_total, doc_count);
    std::vector<SparseRows> parts(kept.size());
    ParallelFor(kept.size(), workers, [&](size_t r) {
      WriteRuns(kept[r], keep_tokens, cancel, parts[r],
                [&](size_t length) { return bm25::LengthNorm(length, average, b_, k1_); });
    });
    Concatenate(parts, batch.size(), keep_tokens, *out);
  }
  // The point of no return: from here on a cancel comes too late.
  if (cancel != nullptr && cancel->exchange(true)) throw Cancelled();
  Take(std::move(staged), workers);
}

void SparseEncoder::Take(Statistics&& staged, unsigned workers) {
  const bool empty = std::all_of(stats_.parts.begin(), stats_.parts.end(),
                                 [](const TokenTable& part) { return part.size() == 0; });
  if (empty && stats_.doc_count == 0 && stats_.length_total == 0) {
    stats_ = std::move(staged);  // a first fit: nothing to add to
  } else {
    AddStatistics(stats_, staged, workers);
  }
}

void SparseEncoder::EncodeDocuments(const std::vector<TextItem>& batch, unsigned threads,
                                    bool keep_tokens, SparseRows& out,
                                    const std::atomic<bool>* cancel) const {
  Encode(batch, threads, keep_tokens, false, out, cancel);
}

void SparseEncoder::EncodeQueries(const std::vector<TextItem>& batch, unsigned threads,
                                  bool keep_tokens, SparseRows& out,
                                  const std::atomic<bool>* cancel) const {
  Encode(batch, threads, keep_tokens, true, out, cancel);
}

void SparseEncoder::EncodeQueries(const std::vector<TextItem>& batch, int doc_count,
                                  const FrequencyOf& frequency, bool keep_tokens,
                                  SparseRows& out) const {
  Encode(batch, 1, keep_tokens, true, out, nullptr, doc_count, &frequency);
}

void SparseEncoder::Encode(const std::vector<TextItem>& batch, unsigned threads,
                           bool keep_tokens, bool query, SparseRows& out,
                           const std::atomic<bool>* cancel, int doc_count,
                           const FrequencyOf* frequency) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (frequency == nullptr) doc_count = stats_.doc_count;
  if (doc_count <= 0) throw std::runtime_error(kNotFitted);
  // Only documents are weighed by length: frequencies from elsewhere come
  // with no statistics of lengths here.
  const double average =
      query ? 0.0 : bm25::AverageLength(stats_.length_total, stats_.doc_count);
  const double n1 = static_cast<double>(doc_count) + 1.0;

  const unsigned workers = WorkerCount(threads);
  const std::vector<size_t> starts =
      SplitByBytes(batch, 0, batch.size(), workers == 1 ? 1 : 4 * workers);
  std::vector<SparseRows> parts(starts.size() - 1);
  ParallelFor(parts.size(), workers, [&](size_t r) {
    Scratch scratch;
    TokenCounter<std::string_view> distinct;
    std::vector<double> w;
    std::vector<size_t> order;
    RowWriter writer(keep_tokens, parts[r]);
    for (size_t i = starts[r]; i < starts[r + 1]; ++i) {
      if ((i - starts[r]) % kCancelStride == 0) ThrowIfCancelled(cancel);
      size_t n = 0;
      const std::string_view* tokens = TokensOf(analyzer_, batch[i], scratch, n);
      distinct.Count(tokens, scratch.hashes.data(), n);
      const auto& entries = distinct;
      const size_t m = entries.size();
      w.resize(m);
      if (query) {
        for (size_t e = 0; e < m; ++e) {
          const size_t hash = entries[e].hash;
          double f = 1.0;  // an unknown token counts as in one document
          if (frequency != nullptr) {
            const long long count = (*frequency)(entries[e].token, hash);
            if (count > 0) f = static_cast<double>(count);
          } else if (const int* found = stats_.parts[PartOf(hash)].find(entries[e].token, hash)) {
            f = static_cast<double>(*found);
          }
          w[e] = bm25::Idf(n1, f);
          if (!batch[i].given) w[e] *= analyzer_.QueryWeight(entries[e].token);
        }
        // Summed in byte order of the tokens, as BM25's own encoder does,
        // so a loaded BM25 gives the same weights to the last bit.
        order.resize(m);
        for (size_t e = 0; e < m; ++e) order[e] = e;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return entries[a].token < entries[b].token; });
        double sum = 0.0;
        for (size_t e : order) sum += w[e];
        for (double& x : w) x /= sum;
      } else {
        const double k = bm25::LengthNorm(n, average, b_, k1_);
        for (size_t e = 0; e < m; ++e) {
          const double f = entries[e].count;
          w[e] = bm25::Saturate(f, k);
        }
      }
      for (size_t e = 0; e < m; ++e) {
        writer.Add(entries[e].token, Murmur3x86_32(entries[e].token), w[e]);
      }
      writer.EndRow();
    }
  });
  lock.unlock();
  Concatenate(parts, batch.size(), keep_tokens, out);
}

SparseEncoder::Statistics SparseEncoder::CopyCompatible(const SparseEncoder& other) const {
  if (b_ != other.b_ || k1_ != other.k1_) {
    throw std::invalid_argument("cannot merge encoders with different b or k1");
  }
  if (analyzer_.name() != other.analyzer_.name()) {
    throw std::invalid_argument("cannot merge encoders of different analyses: " +
                                analyzer_.name() + " and " + other.analyzer_.name());
  }
  // Other's statistics are copied first under its own lock, so two encoders
  // merging each other cannot wait on each other.
  std::shared_lock<std::shared_mutex> lock(other.mutex_);
  return other.stats_;
}

void SparseEncoder::Merge(const SparseEncoder& other) {
  const Statistics copy = CopyCompatible(other);
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (copy.doc_count > INT_MAX - stats_.doc_count || copy.max_count > INT_MAX - stats_.max_count ||
      copy.length_total > LLONG_MAX - stats_.length_total) {
    throw std::overflow_error("SparseEncoder statistics would overflow");
  }
  AddStatistics(stats_, copy, 0);
}

void SparseEncoder::Subtract(const SparseEncoder& other) {
  const Statistics copy = CopyCompatible(other);
  std::unique_lock<std::shared_mutex> lock(mutex_);
  const char* const kNotHeld =
      "cannot subtract statistics these do not hold: the documents were not fitted here";
  if (copy.doc_count > stats_.doc_count || copy.length_total > stats_.length_total) {
    throw std::invalid_argument(kNotHeld);
  }
  // Checked whole before anything changes.
  for (size_t part = 0; part < kParts; ++part) {
    for (const auto& entry : copy.parts[part]) {
      const int* held = stats_.parts[part].find(entry.first, TokenTable::Hash(entry.first));
      if (held == nullptr || *held < entry.second) throw std::invalid_argument(kNotHeld);
    }
  }
  ParallelFor(kParts, 0, [&](size_t part) {
    if (copy.parts[part].size() == 0) return;
    std::vector<std::string_view> keys;
    std::vector<int> counts;
    bool emptied = false;
    for (const auto& entry : copy.parts[part]) {
      keys.push_back(entry.first);
      counts.push_back(-entry.second);
      emptied = emptied || *stats_.parts[part].find(entry.first, TokenTable::Hash(entry.first)) ==
                               entry.second;
    }
    TokenTable& table = stats_.parts[part];
    table.add_counts(keys.data(), counts.data(), keys.size());
    if (!emptied) return;
    // A token no document holds any more is unknown again, as if never fitted.
    TokenTable kept;
    kept.reserve(table.size());
    for (const auto& entry : table) {
      if (entry.second > 0) kept[entry.first] = entry.second;
    }
    table = std::move(kept);
  });
  stats_.doc_count -= copy.doc_count;
  stats_.length_total -= copy.length_total;
}

std::string SparseEncoder::ModelText() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const double average =
      stats_.doc_count == 0 ? 0.0 : bm25::AverageLength(stats_.length_total, stats_.doc_count);
  return korva::typing::text::ModelFileText(stats_.parts.data(), stats_.parts.size(),
                                            stats_.doc_count, average, b_, k1_,
                                            &stats_.length_total, analyzer_.name());
}

void SparseEncoder::Restore(const std::string& model_text) {
  const korva::typing::text::ModelFile file =
      korva::typing::text::ReadModelFile(model_text, /*strict=*/true);
  if (!ValidUtf8(reinterpret_cast<const unsigned char*>(file.analysis.data()),
                 file.analysis.size())) {
    throw std::runtime_error("_analysis is not valid UTF-8");
  }
  if (!file.analysis.empty() && file.analysis != analyzer_.name()) {
    throw std::runtime_error("the file was fitted with analysis '" + file.analysis +
                             "', this tokenizer gives '" + analyzer_.name() + "'");
  }
  if (!bm25::EncoderBValid(file.b)) throw std::runtime_error("load b failed");
  if (!bm25::EncoderK1Valid(file.k1)) throw std::runtime_error("load k1 failed");
  if (file.doc_count > 0 && file.doc_length_total == 0) {
    throw std::runtime_error("load doc_length_average failed");
  }
  Statistics fresh;
  for (const auto& entry : file.counts) {
    // One that is not UTF-8 could not be given back as a str; one in more
    // documents than there are would weigh below zero in a query.
    if (!ValidUtf8(reinterpret_cast<const unsigned char*>(entry.first.data()),
                   entry.first.size())) {
      throw std::runtime_error("_doc_token_frequency: a token is not valid UTF-8");
    }
    if (entry.second > file.doc_count) {
      throw std::runtime_error("_doc_token_frequency: the token '" + entry.first + "' is in " +
                               std::to_string(entry.second) + " documents, more than the " +
                               std::to_string(file.doc_count) + " of _doc_count");
    }
    fresh.parts[PartOf(TokenTable::Hash(entry.first))][entry.first] = entry.second;
    fresh.max_count = std::max<long long>(fresh.max_count, entry.second);
  }
  fresh.doc_count = file.doc_count;
  fresh.length_total = file.doc_length_total;
  std::unique_lock<std::shared_mutex> lock(mutex_);
  stats_ = std::move(fresh);
  b_ = file.b;
  k1_ = file.k1;
}

int SparseEncoder::doc_count() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return stats_.doc_count;
}

long long SparseEncoder::length_total() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return stats_.length_total;
}

std::vector<std::pair<uint64_t, int>> SparseEncoder::DocumentFrequencies() const {
  std::vector<std::pair<uint64_t, int>> table;
  {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    size_t size = 0;
    for (const auto& part : stats_.parts) size += part.size();
    table.reserve(size);
    for (const auto& part : stats_.parts) {
      for (const auto& entry : part) {
        table.emplace_back(static_cast<uint64_t>(TokenTable::Hash(entry.first)), entry.second);
      }
    }
  }
  std::sort(table.begin(), table.end());
  return table;
}

size_t SparseEncoder::vocabulary_size() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  size_t size = 0;
  for (const auto& part : stats_.parts) size += part.size();
  return size;
}

int SparseEncoder::document_frequency(std::string_view token) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const size_t hash = TokenTable::Hash(token);
  const int* found = stats_.parts[PartOf(hash)].find(token, hash);
  return found == nullptr ? 0 : *found;
}

}  // namespace norvane
