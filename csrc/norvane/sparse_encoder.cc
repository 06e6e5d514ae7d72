#include "norvane/sparse_encoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

namespace norvane {

namespace {

using korva::typing::text::TokenTable;

// Bumped whenever a text's tokens change, so statistics of an older analysis
// are refused rather than silently mixed.
const char kAnalysisName[] = "words+bigrams/1";
const char kNotFitted[] = "SparseEncoder is not fitted: call fit() with documents first";

inline uint32_t Rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// ---- Analysis ---------------------------------------------------------------

// The code point at p and its length in bytes; a byte that does not start a
// complete sequence reads as U+FFFD of one byte, which is no letter.
inline size_t Decode(const unsigned char* p, size_t left, char32_t& cp) {
  const unsigned b0 = p[0];
  cp = 0xFFFD;
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  const size_t len = (b0 & 0xE0) == 0xC0 ? 2 : (b0 & 0xF0) == 0xE0 ? 3 : (b0 & 0xF8) == 0xF0 ? 4 : 0;
  if (len == 0 || left < len) return 1;
  char32_t value = b0 & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) {
    if ((p[k] & 0xC0) != 0x80) return 1;
    value = (value << 6) | (p[k] & 0x3F);
  }
  cp = value;
  return len;
}

// Letters and digits, roughly: what is not a space, a punctuation mark or a
// symbol in the blocks text of these languages uses.
bool IsWordChar(char32_t c) {
  if (c < 0x80) return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z');
  if (c < 0xC0) return c == 0xAA || c == 0xB2 || c == 0xB3 || c == 0xB5 || c == 0xB9 || c == 0xBA;
  if (c < 0x100) return c != 0xD7 && c != 0xF7;
  if (c >= 0x2000 && c <= 0x206F) return false;  // general punctuation
  if (c >= 0x20A0 && c <= 0x20CF) return false;  // currency
  if (c >= 0x2190 && c <= 0x2BFF) return false;  // arrows, maths, boxes, symbols
  if (c >= 0x3000 && c <= 0x303F) return c >= 0x3005 && c <= 0x3007;  // CJK punctuation
  if (c >= 0xFE10 && c <= 0xFE6F) return false;  // vertical and small forms
  if (c >= 0xFF00 && c <= 0xFF65) {
    return (c >= 0xFF10 && c <= 0xFF19) || (c >= 0xFF21 && c <= 0xFF3A) ||
           (c >= 0xFF41 && c <= 0xFF5A);
  }
  if (c >= 0xFFF0 && c <= 0xFFFF) return false;  // specials, the replacement mark
  if (c >= 0xE000 && c <= 0xF8FF) return false;  // private use
  if (c >= 0x1F000 && c <= 0x1FAFF) return false;  // emoji and pictographs
  return true;
}

// Appends text with ASCII and Latin-1 capitals in lower case, full-width
// ASCII forms as ASCII and the ideographic space as a space. The result is
// never longer than text.
void Fold(std::string_view text, std::string& out) {
  out.clear();
  out.reserve(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      out += static_cast<char>(b0 >= 'A' && b0 <= 'Z' ? b0 | 0x20 : b0);
      ++p;
    } else if (b0 == 0xC3 && end - p >= 2 && p[1] >= 0x80 && p[1] <= 0x9E && p[1] != 0x97) {
      out += static_cast<char>(0xC3);  // U+00C0..U+00DE capitals, U+00D7 excepted
      out += static_cast<char>(p[1] + 0x20);
      p += 2;
    } else if ((b0 == 0xEF || b0 == 0xE3) && end - p >= 3) {
      char32_t cp;
      const size_t n = Decode(p, static_cast<size_t>(end - p), cp);
      if (n != 3) {
        out += static_cast<char>(b0);
        ++p;
        continue;
      }
      if (cp >= 0xFF01 && cp <= 0xFF5E) {
        const char ascii = static_cast<char>(cp - 0xFEE0);
        out += ascii >= 'A' && ascii <= 'Z' ? static_cast<char>(ascii | 0x20) : ascii;
      } else if (cp == 0x3000) {
        out += ' ';
      } else {
        out.append(reinterpret_cast<const char*>(p), 3);
      }
      p += 3;
    } else {
      out += static_cast<char>(b0);
      ++p;
    }
  }
}

bool HasWordChar(std::string_view word) {
  const auto* p = reinterpret_cast<const unsigned char*>(word.data());
  size_t left = word.size();
  while (left > 0) {
    char32_t cp;
    const size_t n = Decode(p, left, cp);
    if (IsWordChar(cp)) return true;
    p += n;
    left -= n;
  }
  return false;
}

// ---- Counting ---------------------------------------------------------------

// The distinct tokens of one text with their counts, by open addressing on
// their ids (an id match is confirmed on the bytes). Reused across texts.
class DistinctTokens {
 public:
  struct Entry {
    std::string_view token;
    uint32_t id;
    uint32_t count;
  };

  void Count(const std::string_view* tokens, size_t n) {
    size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    slots_.assign(capacity, 0u);
    entries_.clear();
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < n; ++i) {
      const uint32_t id = Murmur3(tokens[i]);
      for (size_t slot = id & mask;; slot = (slot + 1) & mask) {
        const uint32_t held = slots_[slot];
        if (held == 0) {
          entries_.push_back({tokens[i], id, 1});
          slots_[slot] = static_cast<uint32_t>(entries_.size());
          break;
        }
        Entry& e = entries_[held - 1];
        if (e.id == id && e.token == tokens[i]) {
          ++e.count;
          break;
        }
      }
    }
  }

  std::vector<Entry>& entries() { return entries_; }

 private:
  std::vector<uint32_t> slots_;  // entry index + 1, 0 for a free slot
  std::vector<Entry> entries_;
};

// Document frequencies of a run of texts: each token's count goes up once per
// text that holds it. Views point into the texts (or the chunk's folded
// copies), which outlive it.
class ChunkCounts {
 public:
  void Add(const std::string_view* tokens, size_t n, uint32_t text) {
    if ((entries_.size() + n) * 2 > slots_.size()) Grow((entries_.size() + n) * 2);
    const size_t mask = slots_.size() - 1;
    for (size_t i = 0; i < n; ++i) {
      const size_t hash = TokenTable::Hash(tokens[i]);
      for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint32_t held = slots_[slot];
        if (held == 0) {
          entries_.push_back({tokens[i], hash, 1, text});
          slots_[slot] = static_cast<uint32_t>(entries_.size());
          break;
        }
        Entry& e = entries_[held - 1];
        if (e.hash == hash && e.token == tokens[i]) {
          if (e.last_text != text) ++e.count, e.last_text = text;
          break;
        }
      }
    }
  }

  // Appends the counted tokens to the arrays TokenTable::add_counts takes.
  void AppendTo(std::vector<std::string_view>& keys, std::vector<size_t>& hashes,
                std::vector<int>& counts) const {
    for (const Entry& e : entries_) {
      keys.push_back(e.token);
      hashes.push_back(e.hash);
      counts.push_back(static_cast<int>(e.count));
    }
  }

  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    std::string_view token;
    size_t hash;
    uint32_t count;
    uint32_t last_text;
  };

  void Grow(size_t at_least) {
    size_t capacity = std::max<size_t>(64, slots_.size());
    while (capacity < at_least) capacity *= 2;
    slots_.assign(capacity, 0u);
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < entries_.size(); ++i) {
      size_t slot = entries_[i].hash & mask;
      while (slots_[slot] != 0) slot = (slot + 1) & mask;
      slots_[slot] = static_cast<uint32_t>(i + 1);
    }
  }

  std::vector<uint32_t> slots_;
  std::vector<Entry> entries_;
};

// Splits [0, n) into about `parts` runs of similar byte counts; returns the
// run starts followed by n.
std::vector<size_t> SplitByBytes(const std::vector<TextItem>& batch, size_t parts) {
  std::vector<size_t> weight(batch.size() + 1, 0);
  for (size_t i = 0; i < batch.size(); ++i) {
    const TextItem& item = batch[i];
    size_t bytes = item.given ? 0 : item.text.size();
    if (item.given) {
      for (size_t t = 0; t < item.token_count; ++t) bytes += item.tokens[t].size() + 1;
    }
    weight[i + 1] = weight[i] + bytes + 1;
  }
  std::vector<size_t> starts = {0};
  const size_t total = weight.back();
  for (size_t p = 1; p < parts; ++p) {
    const size_t target = total / parts * p;
    const size_t at = static_cast<size_t>(
        std::lower_bound(weight.begin(), weight.end(), target) - weight.begin());
    if (at > starts.back() && at < batch.size()) starts.push_back(at);
  }
  starts.push_back(batch.size());
  return starts;
}

unsigned Workers(unsigned threads) {
  return threads != 0 ? threads : std::max(1u, std::thread::hardware_concurrency());
}

// Per-thread buffers of analysis.
struct Scratch {
  std::string folded;
  std::vector<Token> words;
  std::vector<std::string_view> tokens;
};

// The tokens of item: given, or analysed into scratch.folded.
const std::string_view* TokensOf(const Analyzer& analyzer, const TextItem& item,
                                 Scratch& scratch, size_t& n) {
  if (item.given) {
    n = item.token_count;
    return item.tokens;
  }
  analyzer.Analyze(item.text, scratch.folded, scratch.words, scratch.tokens);
  n = scratch.tokens.size();
  return scratch.tokens.data();
}

}  // namespace

uint32_t Murmur3(std::string_view bytes) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t len = bytes.size();
  const uint32_t c1 = 0xcc9e2d51u;
  const uint32_t c2 = 0x1b873593u;
  uint32_t h = 0;
  const size_t blocks = len / 4;
  for (size_t i = 0; i < blocks; ++i) {
    uint32_t k;
    std::memcpy(&k, data + 4 * i, 4);  // the reference reads blocks little-endian
    k *= c1;
    k = Rotl(k, 15);
    k *= c2;
    h ^= k;
    h = Rotl(h, 13);
    h = h * 5 + 0xe6546b64u;
  }
  const unsigned char* tail = data + 4 * blocks;
  uint32_t k = 0;
  switch (len & 3) {
    case 3:
      k ^= static_cast<uint32_t>(tail[2]) << 16;
      [[fallthrough]];
    case 2:
      k ^= static_cast<uint32_t>(tail[1]) << 8;
      [[fallthrough]];
    case 1:
      k ^= tail[0];
      k *= c1;
      k = Rotl(k, 15);
      k *= c2;
      h ^= k;
  }
  h ^= static_cast<uint32_t>(len);
  h ^= h >> 16;
  h *= 0x85ebca6bu;
  h ^= h >> 13;
  h *= 0xc2b2ae35u;
  h ^= h >> 16;
  return h;
}

// ---- Analyzer -----------------------------------------------------------------

Analyzer::Analyzer(std::shared_ptr<const Tokenizer> tokenizer) : tokenizer_(std::move(tokenizer)) {
  if (!tokenizer_) throw std::invalid_argument("SparseEncoder needs a tokenizer");
  // The dictionary files by name only: the same bundled data installed in
  // different places cuts the same.
  auto base = [](const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  };
  const TokenizerPaths& paths = tokenizer_->paths();
  name_ = std::string(kAnalysisName) + ";dict=" + base(paths.dict) +
          ";user=" + base(paths.user_dict) + ";stop=" + base(paths.stop_words) +
          (tokenizer_->traditional() ? ";traditional" : "");
}

void Analyzer::Analyze(std::string_view text, std::string& folded, std::vector<Token>& words,
                       std::vector<std::string_view>& out) const {
  out.clear();
  Fold(text, folded);
  tokenizer_->Tokenize(folded, CutMode::kAccurate, words);
  const std::string_view all(folded);
  for (const Token& w : words) {
    const std::string_view word = all.substr(w.offset, w.length);
    if (HasWordChar(word) && !tokenizer_->IsStopWord(word)) out.push_back(word);
  }
  // Pairs of adjacent letters or digits: views of the folded text itself.
  const auto* base = reinterpret_cast<const unsigned char*>(folded.data());
  size_t previous = std::string::npos;  // start of the previous letter, if any
  for (size_t at = 0; at < folded.size();) {
    char32_t cp;
    const size_t n = Decode(base + at, folded.size() - at, cp);
    if (IsWordChar(cp)) {
      if (previous != std::string::npos) out.push_back(all.substr(previous, at + n - previous));
      previous = at;
    } else {
      previous = std::string::npos;
    }
    at += n;
  }
}

// ---- SparseEncoder ------------------------------------------------------------

SparseEncoder::SparseEncoder(std::shared_ptr<const Tokenizer> tokenizer, double b, double k1)
    : analyzer_(std::move(tokenizer)), b_(b), k1_(k1) {
  if (!(b >= 0.0 && b <= 1.0)) throw std::invalid_argument("b must be between 0 and 1");
  if (!(k1 >= 0.0) || !std::isfinite(k1)) throw std::invalid_argument("k1 must be >= 0");
}

void SparseEncoder::Fit(const std::vector<TextItem>& batch, unsigned threads) {
  const unsigned workers = Workers(threads);
  // A few runs per thread even out texts of different cost; each run's
  // table is merged once, so not many more.
  const std::vector<size_t> starts = SplitByBytes(batch, workers == 1 ? 1 : 2 * workers);
  const size_t runs = starts.size() - 1;
  std::vector<ChunkCounts> counts(runs);
  std::vector<std::string> arenas(runs);  // the folded texts each run's views point into
  std::vector<long long> lengths(runs, 0);
  std::vector<int> texts(runs, 0);
  ParallelFor(runs, workers, [&](size_t r) {
    Scratch scratch;
    size_t bytes = 0;
    for (size_t i = starts[r]; i < starts[r + 1]; ++i) bytes += batch[i].text.size();
    arenas[r].reserve(bytes);  // never grows past this, so views stay valid
    for (size_t i = starts[r]; i < starts[r + 1]; ++i) {
      size_t n = 0;
      const std::string_view* tokens = TokensOf(analyzer_, batch[i], scratch, n);
      if (n == 0) continue;
      if (!batch[i].given) {
        // Re-point the views from the scratch copy to the arena's.
        const size_t shift = arenas[r].size();
        arenas[r] += scratch.folded;
        const char* from = scratch.folded.data();
        const char* to = arenas[r].data() + shift;
        for (auto& t : scratch.tokens) t = std::string_view(to + (t.data() - from), t.size());
      }
      counts[r].Add(tokens, n, static_cast<uint32_t>(i - starts[r]));
      lengths[r] += static_cast<long long>(n);
      ++texts[r];
    }
  });

  std::vector<std::string_view> keys;
  std::vector<size_t> hashes;
  std::vector<int> values;
  size_t total = 0;
  for (const auto& c : counts) total += c.size();
  keys.reserve(total);
  hashes.reserve(total);
  values.reserve(total);
  for (const auto& c : counts) c.AppendTo(keys, hashes, values);
  long long added_length = 0;
  long long added_texts = 0;
  for (size_t r = 0; r < runs; ++r) added_length += lengths[r], added_texts += texts[r];

  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (added_texts > INT_MAX - stats_.doc_count ||
      added_length > LLONG_MAX - stats_.length_total) {
    throw std::overflow_error("SparseEncoder statistics would overflow");
  }
  // One call: it either adds every count or, on overflow, none.
  stats_.df.add_counts(keys.data(), hashes.data(), values.data(), keys.size());
  stats_.doc_count += static_cast<int>(added_texts);
  stats_.length_total += added_length;
}

void SparseEncoder::EncodeDocuments(const std::vector<TextItem>& batch, unsigned threads,
                                    bool keep_tokens, SparseRows& out) const {
  Encode(batch, threads, keep_tokens, false, out);
}

void SparseEncoder::EncodeQueries(const std::vector<TextItem>& batch, unsigned threads,
                                  bool keep_tokens, SparseRows& out) const {
  Encode(batch, threads, keep_tokens, true, out);
}

void SparseEncoder::Encode(const std::vector<TextItem>& batch, unsigned threads,
                           bool keep_tokens, bool query, SparseRows& out) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  if (stats_.doc_count == 0) throw std::runtime_error(kNotFitted);
  const double average =
      static_cast<double>(stats_.length_total) / static_cast<double>(stats_.doc_count);
  const double n1 = static_cast<double>(stats_.doc_count) + 1.0;

  const unsigned workers = Workers(threads);
  const std::vector<size_t> starts = SplitByBytes(batch, workers == 1 ? 1 : 4 * workers);
  const size_t runs = starts.size() - 1;
  std::vector<SparseRows> parts(runs);
  ParallelFor(runs, workers, [&](size_t r) {
    Scratch scratch;
    DistinctTokens distinct;
    std::vector<std::string_view> keys;
    std::vector<const int*> found;
    SparseRows& part = parts[r];
    part.indptr.push_back(0);
    for (size_t i = starts[r]; i < starts[r + 1]; ++i) {
      size_t n = 0;
      const std::string_view* tokens = TokensOf(analyzer_, batch[i], scratch, n);
      distinct.Count(tokens, n);
      auto& entries = distinct.entries();
      std::vector<double> w(entries.size());
      if (query) {
        keys.clear();
        for (const auto& e : entries) keys.push_back(e.token);
        found.resize(keys.size());
        if (!keys.empty()) stats_.df.find_counts(keys.data(), keys.size(), found.data());
        // Summed in byte order of the tokens, as the model's own encoder
        // does, so both give the same weights.
        std::vector<size_t> order(entries.size());
        for (size_t e = 0; e < order.size(); ++e) order[e] = e;
        std::sort(order.begin(), order.end(),
                  [&](size_t a, size_t b) { return entries[a].token < entries[b].token; });
        double sum = 0.0;
        for (size_t e = 0; e < entries.size(); ++e) {
          const double f = found[e] == nullptr ? 1.0 : static_cast<double>(*found[e]);
          w[e] = std::log(n1 / (f + 0.5));
        }
        for (size_t e : order) sum += w[e];
        for (double& x : w) x /= sum;
      } else {
        const double k = ((static_cast<double>(n) / average) * b_ + (1.0 - b_)) * k1_;
        for (size_t e = 0; e < entries.size(); ++e) {
          const double f = entries[e].count;
          w[e] = f / (k + f);
        }
      }
      std::vector<size_t> by_id(entries.size());
      for (size_t e = 0; e < by_id.size(); ++e) by_id[e] = e;
      std::sort(by_id.begin(), by_id.end(), [&](size_t a, size_t b) {
        return entries[a].id != entries[b].id ? entries[a].id < entries[b].id
                                              : entries[a].token < entries[b].token;
      });
      const size_t row_start = part.ids.size();
      for (size_t e : by_id) {
        if (!keep_tokens && part.ids.size() > row_start && part.ids.back() == entries[e].id) {
          part.weights.back() += w[e];  // tokens sharing an id share the entry
          continue;
        }
        part.ids.push_back(entries[e].id);
        part.weights.push_back(w[e]);
        if (keep_tokens) {
          part.token_bytes.append(entries[e].token.data(), entries[e].token.size());
          part.token_ends.push_back(part.token_bytes.size());
        }
      }
      part.indptr.push_back(static_cast<int64_t>(part.ids.size()));
    }
  });
  lock.unlock();

  out = SparseRows();
  size_t entries = 0;
  size_t bytes = 0;
  for (const auto& p : parts) entries += p.ids.size(), bytes += p.token_bytes.size();
  out.indptr.reserve(batch.size() + 1);
  out.ids.reserve(entries);
  out.weights.reserve(entries);
  out.indptr.push_back(0);
  if (keep_tokens) out.token_bytes.reserve(bytes), out.token_ends.reserve(entries);
  for (const auto& p : parts) {
    const int64_t base = static_cast<int64_t>(out.ids.size());
    for (size_t r = 1; r < p.indptr.size(); ++r) out.indptr.push_back(base + p.indptr[r]);
    out.ids.insert(out.ids.end(), p.ids.begin(), p.ids.end());
    out.weights.insert(out.weights.end(), p.weights.begin(), p.weights.end());
    const uint64_t shift = out.token_bytes.size();
    out.token_bytes += p.token_bytes;
    for (uint64_t end : p.token_ends) out.token_ends.push_back(shift + end);
  }
}

void SparseEncoder::Merge(const SparseEncoder& other) {
  if (b_ != other.b_ || k1_ != other.k1_) {
    throw std::invalid_argument("cannot merge encoders with different b or k1");
  }
  if (analyzer_.name() != other.analyzer_.name()) {
    throw std::invalid_argument("cannot merge encoders of different analyses: " +
                                analyzer_.name() + " and " + other.analyzer_.name());
  }
  // Other's statistics are copied first under its own lock, so two encoders
  // merging each other cannot wait on each other.
  std::vector<std::string> keys;
  std::vector<int> values;
  int doc_count;
  long long length_total;
  {
    std::shared_lock<std::shared_mutex> lock(other.mutex_);
    keys.reserve(other.stats_.df.size());
    values.reserve(other.stats_.df.size());
    for (const auto& entry : other.stats_.df) {
      keys.push_back(entry.first);
      values.push_back(entry.second);
    }
    doc_count = other.stats_.doc_count;
    length_total = other.stats_.length_total;
  }
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  std::unique_lock<std::shared_mutex> lock(mutex_);
  if (doc_count > INT_MAX - stats_.doc_count || length_total > LLONG_MAX - stats_.length_total) {
    throw std::overflow_error("SparseEncoder statistics would overflow");
  }
  stats_.df.add_counts(views.data(), values.data(), views.size());
  stats_.doc_count += doc_count;
  stats_.length_total += length_total;
}

std::string SparseEncoder::ModelText() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const double average = stats_.doc_count == 0 ? 0.0
                                               : static_cast<double>(stats_.length_total) /
                                                     static_cast<double>(stats_.doc_count);
  return korva::typing::text::ModelFileText(stats_.df, stats_.doc_count, average, b_, k1_,
                                            &stats_.length_total, analyzer_.name());
}

void SparseEncoder::Restore(const std::string& model_text) {
  const korva::typing::text::ModelFile file = korva::typing::text::ReadModelFile(model_text);
  if (!file.analysis.empty() && file.analysis != analyzer_.name()) {
    throw std::runtime_error("the file was fitted with analysis '" + file.analysis +
                             "', this tokenizer gives '" + analyzer_.name() + "'");
  }
  if (file.doc_count < 0) throw std::runtime_error("load doc_count failed");
  if (!(file.b >= 0.0 && file.b <= 1.0)) throw std::runtime_error("load b failed");
  if (!(file.k1 >= 0.0) || !std::isfinite(file.k1)) throw std::runtime_error("load k1 failed");
  Statistics fresh;
  fresh.df.reserve(file.counts.size());
  for (const auto& entry : file.counts) {
    if (entry.second < 0) throw std::runtime_error("load doc_token_frequency failed");
    fresh.df[entry.first] = entry.second;
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

size_t SparseEncoder::vocabulary_size() const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  return stats_.df.size();
}

int SparseEncoder::document_frequency(std::string_view token) const {
  std::shared_lock<std::shared_mutex> lock(mutex_);
  const int* found = nullptr;
  stats_.df.find_counts(&token, 1, &found);
  return found == nullptr ? 0 : *found;
}

}  // namespace norvane
