#include "norvane/sparse_encoder.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "norvane/t2s_table.h"
#include "norvane/utf8.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace norvane {

namespace {

using korva::typing::text::TokenTable;

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
inline bool IsWordChar(char32_t c) {
  if (c >= 0x4E00 && c <= 0x9FFF) return true;  // most of the text: CJK ideographs
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

// Whether byte c may start a sequence Fold changes: an ASCII capital, the
// lead byte of U+00C0..U+00FF, of U+3000..U+3FFF or of U+F000..U+FFFF.
inline bool MayFold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || c == 0xC3 || c == 0xE3 || c == 0xEF;
}

constexpr uint64_t kOnes = 0x0101010101010101ull;
constexpr uint64_t kHighs = 0x8080808080808080ull;
constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7Full;

// The high bit of every zero byte of x, exactly (no carry between bytes).
inline uint64_t ZeroBytes(uint64_t x) { return ~(((x & kLows) + kLows) | x | kLows); }

// Whether any of the eight bytes at p satisfies MayFold.
inline bool AnyMayFold(const unsigned char* p) {
  uint64_t x;
  std::memcpy(&x, p, 8);
  const uint64_t low = x & kLows;
  // 'A'..'Z' among bytes below 0x80: at least 0x41 and not above 0x5A.
  const uint64_t capital = (low + 0x3F * kOnes) & ~(low + 0x25 * kOnes) & ~x & kHighs;
  // 0xC3 and 0xE3 differ in bit 0x20 only.
  return (capital | ZeroBytes((x | 0x20 * kOnes) ^ (0xE3 * kOnes)) |
          ZeroBytes(x ^ (0xEF * kOnes))) != 0;
}

// Sets out to text with ASCII and Latin-1 capitals in lower case, full-width
// ASCII forms as ASCII and the ideographic space as a space. The result is
// never longer than text; runs that need nothing are copied whole.
void Fold(std::string_view text, std::string& out) {
  out.resize(text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  char* w = &out[0];
  while (p < end) {
    const unsigned char* run = p;
    while (end - p >= 8 && !AnyMayFold(p)) p += 8;
    while (p < end && !MayFold(*p)) ++p;
    std::memcpy(w, run, static_cast<size_t>(p - run));
    w += p - run;
    if (p == end) break;
    const unsigned char b0 = *p;
    if (b0 < 0x80) {
      *w++ = static_cast<char>(b0 | 0x20);
      ++p;
    } else if (b0 == 0xC3 && end - p >= 2 && p[1] >= 0x80 && p[1] <= 0x9E && p[1] != 0x97) {
      *w++ = static_cast<char>(0xC3);  // U+00C0..U+00DE capitals, U+00D7 excepted
      *w++ = static_cast<char>(p[1] + 0x20);
      p += 2;
    } else {
      char32_t cp;
      const size_t n = Decode(p, static_cast<size_t>(end - p), cp);
      if (cp >= 0xFF01 && cp <= 0xFF5E) {
        const char ascii = static_cast<char>(cp - 0xFEE0);
        *w++ = ascii >= 'A' && ascii <= 'Z' ? static_cast<char>(ascii | 0x20) : ascii;
      } else if (cp == 0x3000) {
        *w++ = ' ';
      } else {
        std::memcpy(w, p, n);
        w += n;
      }
      p += n;
    }
  }
  out.resize(static_cast<size_t>(w - &out[0]));
}

// Ideographs: characters a retrieval word never joins across by script.
inline bool IsIdeograph(char32_t c) {
  return (c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) ||
         (c >= 0xF900 && c <= 0xFAFF) || (c >= 0x20000 && c <= 0x3FFFF) ||
         (c >= 0x3005 && c <= 0x3007);
}

// The end of the table's chain from c: a few simplified forms are mapped
// again (薴 to 苧 to 苎), and a text must fold as its mapped form does.
inline char32_t Simplest(char32_t c) {
  for (int step = 0; step < 4; ++step) {  // chains are short; the bound rules out a cycle
    const char32_t next = SimplifiedOf(c);
    if (next == c) break;
    c = next;
  }
  return c;
}

// Maps traditional characters of text to simplified ones, in place when no
// mapped character changes its length in bytes (nearly always).
void Simplify(std::string& text) {
  auto* p = reinterpret_cast<unsigned char*>(&text[0]);
  const size_t size = text.size();
  for (size_t at = 0; at < size;) {
    // No traditional character lies below U+3400, whose lead byte is 0xE3.
    if (p[at] < 0xE3) {
      ++at;
      continue;
    }
    char32_t cp;
    const size_t n = Decode(p + at, size - at, cp);
    const char32_t simple = Simplest(cp);
    if (simple != cp) {
      std::string bytes;
      AppendUtf8(simple, bytes);
      if (bytes.size() != n) {
        std::string out(text, 0, at);
        for (size_t from = at; from < size;) {
          const size_t len = Decode(p + from, size - from, cp);
          if (len == 1 && p[from] >= 0x80) {
            out.push_back(static_cast<char>(p[from]));  // not UTF-8: kept, and refused by the cut
          } else {
            AppendUtf8(Simplest(cp), out);
          }
          from += len;
        }
        text.swap(out);
        return;
      }
      std::memcpy(p + at, bytes.data(), n);
    }
    at += n;
  }
}

// The length of the character at base[at] and whether it is a letter or
// digit; most of the text, U+4000..U+9FFF (all ideographs and letters), is
// taken without decoding.
inline size_t NextChar(const unsigned char* base, size_t at, size_t size, bool& letter) {
  if (base[at] >= 0xE4 && base[at] <= 0xE9 && size - at >= 3 && (base[at + 1] & 0xC0) == 0x80 &&
      (base[at + 2] & 0xC0) == 0x80) {
    letter = true;
    return 3;
  }
  char32_t cp;
  const size_t n = Decode(base + at, size - at, cp);
  letter = IsWordChar(cp);
  return n;
}

bool HasWordChar(std::string_view word) {
  const auto* p = reinterpret_cast<const unsigned char*>(word.data());
  size_t left = word.size();
  // Most words start with an ideograph of U+4000..U+9FFF.
  if (left >= 3 && p[0] >= 0xE4 && p[0] <= 0xE9 && (p[1] & 0xC0) == 0x80 &&
      (p[2] & 0xC0) == 0x80) {
    return true;
  }
  while (left > 0) {
    char32_t cp;
    const size_t n = Decode(p, left, cp);
    if (IsWordChar(cp)) return true;
    p += n;
    left -= n;
  }
  return false;
}

// The stop-word filter: 4 KB, so about one word in thirty that is no stop
// word still needs the lookup.
constexpr size_t kStopFilterBits = size_t{1} << 15;

inline size_t StopFilterBit(size_t hash) {
  return static_cast<size_t>(static_cast<uint64_t>(hash) >> 20) & (kStopFilterBits - 1);
}

// ---- Counting ---------------------------------------------------------------

// Tokens are short: two overlapping word loads compare most of them without
// a library call (equal hashes make a match likely, so this runs mostly on
// equal tokens).
inline bool SameBytes(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  if (n >= 8 && n <= 16) {
    uint64_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 8);
    std::memcpy(&b0, b.data(), 8);
    std::memcpy(&a1, a.data() + n - 8, 8);
    std::memcpy(&b1, b.data() + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n >= 4 && n < 8) {
    uint32_t a0, a1, b0, b1;
    std::memcpy(&a0, a.data(), 4);
    std::memcpy(&b0, b.data(), 4);
    std::memcpy(&a1, a.data() + n - 4, 4);
    std::memcpy(&b1, b.data() + n - 4, 4);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0;
  }
  if (n > 0 && n < 4) {
    const auto* x = reinterpret_cast<const unsigned char*>(a.data());
    const auto* y = reinterpret_cast<const unsigned char*>(b.data());
    return x[0] == y[0] && x[n / 2] == y[n / 2] && x[n - 1] == y[n - 1];
  }
  return a == b;
}

// The distinct tokens of one text with their counts and hashes, by open
// addressing (a hash match is confirmed on the bytes). Reused across texts.
class DistinctTokens {
 public:
  struct Entry {
    std::string_view token;
    size_t hash;
    uint32_t count;
  };

  // hashes[i] is the hash of tokens[i].
  void Count(const std::string_view* tokens, const size_t* hashes, size_t n) {
    size_t capacity = 16;
    while (capacity < 2 * n) capacity *= 2;
    slots_.assign(capacity, 0u);
    entries_.clear();
    const size_t mask = capacity - 1;
    for (size_t i = 0; i < n; ++i) {
      const size_t hash = hashes[i];
      for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        const uint32_t held = slots_[slot];
        if (held == 0) {
          entries_.push_back({tokens[i], hash, 1});
          slots_[slot] = static_cast<uint32_t>(entries_.size());
          break;
        }
        Entry& e = entries_[held - 1];
        if (e.hash == hash && SameBytes(e.token, tokens[i])) {
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

// Statistics are split by the top bits of a token's table hash: a fit fills
// the parts in parallel, and each part's share of a batch is counted while
// it fits in cache instead of missing it on every token.
constexpr int kPartBits = 6;
constexpr size_t kParts = size_t{1} << kPartBits;
static_assert(kParts == SparseEncoder::kPartCount, "one part per top-bits value");

inline size_t PartOf(size_t hash) {
  return static_cast<size_t>(static_cast<uint64_t>(hash) >> (64 - kPartBits));
}

// A token of at most eight bytes as one integer: two of equal length are
// equal exactly when these are. Longer tokens give 0.
inline uint64_t ShortBytes(std::string_view t) {
  const auto* p = reinterpret_cast<const unsigned char*>(t.data());
  const size_t n = t.size();
  if (n >= 4 && n <= 8) {
    uint32_t a0, a1;
    std::memcpy(&a0, p, 4);
    std::memcpy(&a1, p + n - 4, 4);
    return static_cast<uint64_t>(a1) << 32 | a0;
  }
  if (n > 0 && n < 4) {
    return p[0] | static_cast<uint64_t>(p[n / 2]) << 8 | static_cast<uint64_t>(p[n - 1]) << 16;
  }
  return 0;
}

// Sums occurrences of (token, hash) pairs into the arrays
// TokenTable::add_counts takes. A short key's bytes are kept beside it: a
// match is then confirmed without reading them from wherever the first
// occurrence lies, a cache miss on most tokens.
class Tally {
 public:
  void Reset(size_t expected) {
    size_t capacity = 64;
    while (capacity < 2 * expected) capacity *= 2;
    slots_.assign(capacity, 0u);
    keys.clear();
    hashes.clear();
    counts.clear();
    heads_.clear();
    keys.reserve(expected);
    hashes.reserve(expected);
    counts.reserve(expected);
    heads_.reserve(expected);
  }

  void Add(std::string_view token, size_t hash) {
    const size_t mask = slots_.size() - 1;
    const uint64_t head = ShortBytes(token);
    for (size_t slot = hash & mask;; slot = (slot + 1) & mask) {
      const uint32_t held = slots_[slot];
      if (held == 0) {
        keys.push_back(token);
        hashes.push_back(hash);
        counts.push_back(1);
        heads_.push_back(head);
        slots_[slot] = static_cast<uint32_t>(keys.size());
        return;
      }
      const std::string_view key = keys[held - 1];
      if (hashes[held - 1] == hash && key.size() == token.size() &&
          (token.size() <= 8 ? heads_[held - 1] == head : SameBytes(key, token))) {
        ++counts[held - 1];
        return;
      }
    }
  }

  std::vector<std::string_view> keys;
  std::vector<size_t> hashes;
  std::vector<int> counts;

 private:
  std::vector<uint32_t> slots_;
  std::vector<uint64_t> heads_;  // ShortBytes of each key
};

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

namespace {

inline uint32_t Murmur3Inline(std::string_view bytes) {
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

}  // namespace

uint32_t Murmur3(std::string_view bytes) { return Murmur3Inline(bytes); }

// ---- Analyzer -----------------------------------------------------------------

double DefaultK1(std::string_view analysis) { return analysis == kAnalyses[0] ? 0.9 : 1.2; }

Analyzer::Analyzer(std::shared_ptr<const Tokenizer> tokenizer, std::string_view analysis)
    : tokenizer_(std::move(tokenizer)), analysis_(analysis), ngrams_(analysis == kAnalyses[0]) {
  if (!tokenizer_) throw std::invalid_argument("SparseEncoder needs a tokenizer");
  if (std::find(std::begin(kAnalyses), std::end(kAnalyses), analysis_) == std::end(kAnalyses)) {
    std::string known;
    for (const char* a : kAnalyses) known += std::string(known.empty() ? "" : ", ") + a;
    throw std::invalid_argument("unknown analysis '" + analysis_ + "' (known: " + known + ")");
  }
  // The dictionary files by name only: the same bundled data installed in
  // different places cuts the same.
  auto base = [](const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
  };
  const TokenizerPaths& paths = tokenizer_->paths();
  stop_filter_.assign(kStopFilterBits / 64, 0);
  for (const std::string& word : tokenizer_->segmenter().extractor.StopWords()) {
    stop_words_[word] = 1;
    const size_t bit = StopFilterBit(TokenTable::Hash(word));
    stop_filter_[bit / 64] |= uint64_t{1} << (bit % 64);
  }
  name_ = analysis_ + ";dict=" + base(paths.dict) +
          ";user=" + base(paths.user_dict) + ";stop=" + base(paths.stop_words) +
          (tokenizer_->traditional() ? ";traditional" : "");
  // Run-time words last, one line each: the name then says how to build the
  // tokenizer again.
  if (!tokenizer_->words().empty()) {
    name_ += ";words=";
    for (const std::string& line : tokenizer_->words()) name_ += line + "\n";
  }
}

void Analyzer::Analyze(std::string_view text, std::string& folded, std::vector<Token>& words,
                       std::vector<std::string_view>& out) const {
  TokenizeScratch cut_scratch;
  std::vector<size_t> hashes;
  Analyze(text, folded, words, cut_scratch, out, hashes);
}

void Analyzer::Analyze(std::string_view text, std::string& folded, std::vector<Token>& words,
                       TokenizeScratch& cut_scratch, std::vector<std::string_view>& out,
                       std::vector<size_t>& hashes) const {
  if (ngrams_) {
    AnalyzeNgrams(text, folded, words, cut_scratch, out, hashes);
    return;
  }
  out.clear();
  hashes.clear();
  Fold(text, folded);
  tokenizer_->Tokenize(folded, CutMode::kAccurate, words, cut_scratch);
  const std::string_view all(folded);
  hashes.resize(words.size());
  for (const Token& w : words) {
    const std::string_view word = all.substr(w.offset, w.length);
    const size_t hash = TokenTable::Hash(word);
    const size_t bit = StopFilterBit(hash);
    if ((stop_filter_[bit / 64] >> (bit % 64) & 1) != 0 &&
        stop_words_.find(word, hash) != nullptr) {
      continue;
    }
    if (HasWordChar(word)) {
      hashes[out.size()] = hash;
      out.push_back(word);
    }
  }
  const size_t word_count = out.size();
  // Pairs of adjacent letters or digits: views of the folded text itself.
  const auto* base = reinterpret_cast<const unsigned char*>(folded.data());
  size_t previous = std::string::npos;  // start of the previous letter, if any
  const size_t size = folded.size();
  for (size_t at = 0; at < size;) {
    bool letter;
    const size_t n = NextChar(base, at, size, letter);
    if (letter) {
      if (previous != std::string::npos) out.push_back(all.substr(previous, at + n - previous));
      previous = at;
    } else {
      previous = std::string::npos;
    }
    at += n;
  }
  hashes.resize(out.size());
  for (size_t i = word_count; i < out.size(); ++i) hashes[i] = TokenTable::Hash(out[i]);
}

bool Analyzer::IsStop(std::string_view word, size_t hash) const {
  const size_t bit = StopFilterBit(hash);
  return (stop_filter_[bit / 64] >> (bit % 64) & 1) != 0 && stop_words_.find(word, hash) != nullptr;
}

void Analyzer::AnalyzeNgrams(std::string_view text, std::string& folded,
                             std::vector<Token>& words, TokenizeScratch& cut_scratch,
                             std::vector<std::string_view>& out,
                             std::vector<size_t>& hashes) const {
  out.clear();
  hashes.clear();
  Fold(text, folded);
  Simplify(folded);
  // Guessed joins of unknown stretches differ between a question and its
  // passage; the n-grams cover those stretches instead.
  tokenizer_->Tokenize(folded, CutMode::kAccurate, words, cut_scratch, false);
  const size_t size = folded.size();
  // The marked characters go after the text: at most two bytes per byte of
  // it, sized first so that views taken while writing stay valid.
  folded.resize(3 * size);
  char* const all = &folded[0];
  const auto* base = reinterpret_cast<const unsigned char*>(all);
  // A word of letters and digits only (no ideograph) joins the next such
  // word: the dictionary alone leaves "iphone12" as single characters.
  auto joins = [&](const Token& w) {
    if (base[w.offset] >= 0xE4 && base[w.offset] <= 0xE9) return false;  // most: ideographs
    for (size_t at = w.offset, end = w.offset + w.length; at < end;) {
      char32_t cp;
      at += Decode(base + at, end - at, cp);
      if (!IsWordChar(cp) || IsIdeograph(cp)) return false;
    }
    return true;
  };
  auto emit = [&](size_t begin, size_t end) {
    const std::string_view word(all + begin, end - begin);
    const size_t hash = TokenTable::Hash(word);
    if (!IsStop(word, hash) && HasWordChar(word)) {
      out.push_back(word);
      hashes.push_back(hash);
    }
  };
  size_t run_begin = 0;
  size_t run_end = 0;  // a run of joined words is pending while run_end > run_begin
  for (const Token& w : words) {
    if (joins(w)) {
      if (run_end != w.offset) {
        if (run_end > run_begin) emit(run_begin, run_end);
        run_begin = w.offset;
      }
      run_end = w.offset + w.length;
      continue;
    }
    if (run_end > run_begin) emit(run_begin, run_end);
    run_begin = run_end = 0;
    emit(w.offset, w.offset + w.length);
  }
  if (run_end > run_begin) emit(run_begin, run_end);
  // N-grams: each letter or digit once, marked, in a copy after the text; a
  // character's unigram is its marked copy, a pair is two adjacent copies.
  const char* previous = nullptr;  // the previous letter's copy, if any
  char* w = all + size;
  for (size_t at = 0; at < size;) {
    bool letter;
    const size_t n = NextChar(base, at, size, letter);
    if (letter) {
      char* copy = w;
      *w++ = kNgramMark;
      std::memcpy(w, all + at, n);
      w += n;
      if (previous != nullptr) out.emplace_back(previous, static_cast<size_t>(w - previous));
      out.emplace_back(copy, 1 + n);
      previous = copy;
    } else {
      previous = nullptr;
    }
    at += n;
  }
  folded.resize(static_cast<size_t>(w - all));  // shrinking keeps the buffer
  const size_t word_count = hashes.size();
  hashes.resize(out.size());
  for (size_t i = word_count; i < out.size(); ++i) hashes[i] = TokenTable::Hash(out[i]);
}

// ---- SparseEncoder ------------------------------------------------------------

SparseEncoder::SparseEncoder(std::shared_ptr<const Tokenizer> tokenizer, double b, double k1,
                             std::string_view analysis)
    : analyzer_(std::move(tokenizer), analysis), b_(b), k1_(k1) {
  if (!(b >= 0.0 && b <= 1.0)) throw std::invalid_argument("b must be between 0 and 1");
  if (!(k1 >= 0.0) || !std::isfinite(k1)) throw std::invalid_argument("k1 must be >= 0");
}

namespace {

// Sorts keys (an id in the high 32 bits, distinct low bits). Ids are
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

  void EndRow() {
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

// Appends the rows of parts to out, in order.
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

}  // namespace

namespace {

// How many keys ahead the tally fetches a key's bytes.
constexpr size_t kAhead = 16;

// Text of a batch taken per fit round: bounds the tokens held between the
// two stages of a round (about 24 bytes per distinct token of a text).
constexpr size_t kRoundBytes = size_t{32} << 20;

// Stage one of a fit round for one run of texts: each text's distinct tokens,
// sorted into the statistics' parts. Views point into the texts or `arena`.
struct Keyed {
  std::string_view token;
  size_t hash;
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
  DistinctTokens distinct;
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
    for (const auto& e : distinct.entries()) run.parts[PartOf(e.hash)].push_back({e.token, e.hash});
    if (rows) {
      for (const auto& e : distinct.entries()) {
        run.tokens.push_back({Murmur3Inline(e.token), e.count});
      }
      if (keep_tokens) {
        for (const auto& e : distinct.entries()) run.token_bytes.push_back(e.token);
      }
      run.ends.push_back(run.tokens.size());
    }
    run.length += static_cast<long long>(n);
    ++run.texts;
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
    size_t end = begin;
    for (size_t bytes = 0; end < batch.size() && bytes < kRoundBytes; ++end) {
      bytes += ItemBytes(batch[end]);
    }
    // A few runs per thread even out texts of different cost.
    const std::vector<size_t> starts =
        SplitByBytes(batch, begin, end, workers == 1 ? 1 : 4 * workers);
    std::vector<RunTokens> runs(starts.size() - 1);
    ParallelFor(runs.size(), workers, [&](size_t r) {
      CollectRun(analyzer_, batch, starts[r], starts[r + 1], out != nullptr, keep_tokens,
                 runs[r], cancel);
    });
    ThrowIfCancelled(cancel);
    long long length = 0;
    int texts = 0;
    for (const RunTokens& run : runs) length += run.length, texts += run.texts;
    if (length > LLONG_MAX - stats_.length_total - staged.length_total) {
      throw std::overflow_error("SparseEncoder statistics would overflow");
    }
    ParallelFor(kParts, workers, [&](size_t part) {
      size_t expected = 0;
      for (const RunTokens& run : runs) expected += run.parts[part].size();
      Tally tally;
      tally.Reset(expected);
      for (const RunTokens& run : runs) {
        const std::vector<Keyed>& keyed = run.parts[part];
        for (size_t i = 0; i < keyed.size(); ++i) {
          // The bytes lie wherever their text was: fetched ahead, they are
          // in cache when compared.
          if (i + kAhead < keyed.size()) __builtin_prefetch(keyed[i + kAhead].token.data());
          tally.Add(keyed[i].token, keyed[i].hash);
        }
      }
      staged.parts[part].add_counts(tally.keys.data(), tally.hashes.data(),
                                    tally.counts.data(), tally.keys.size());
    });
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
                       : static_cast<double>(stats_.length_total + staged.length_total) /
                             static_cast<double>(doc_count);
    std::vector<SparseRows> parts(kept.size());
    ParallelFor(kept.size(), workers, [&](size_t r) {
      const RunTokens& run = kept[r];
      parts[r].indptr.reserve(run.ends.size() + 1);
      parts[r].ids.reserve(run.tokens.size());
      parts[r].weights.reserve(run.tokens.size());
      RowWriter writer(keep_tokens, parts[r]);
      size_t begin_token = 0;
      for (size_t j = 0; j < run.ends.size(); ++j) {
        if (j % kCancelStride == 0) ThrowIfCancelled(cancel);
        const double k = LengthNorm(run.lengths[j], average);
        for (size_t t = begin_token; t < run.ends[j]; ++t) {
          const double f = run.tokens[t].count;
          writer.Add(keep_tokens ? run.token_bytes[t] : std::string_view(), run.tokens[t].id,
                     f / (k + f));
        }
        writer.EndRow();
        begin_token = run.ends[j];
      }
    });
    Concatenate(parts, batch.size(), keep_tokens, *out);
  }
  // The point of no return: from here on a cancel comes too late.
  if (cancel != nullptr && cancel->exchange(true)) throw Cancelled();
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
  const double average = query ? 0.0 : Average();
  const double n1 = static_cast<double>(doc_count) + 1.0;

  const unsigned workers = WorkerCount(threads);
  const std::vector<size_t> starts =
      SplitByBytes(batch, 0, batch.size(), workers == 1 ? 1 : 4 * workers);
  std::vector<SparseRows> parts(starts.size() - 1);
  ParallelFor(parts.size(), workers, [&](size_t r) {
    Scratch scratch;
    DistinctTokens distinct;
    std::vector<double> w;
    std::vector<size_t> order;
    RowWriter writer(keep_tokens, parts[r]);
    for (size_t i = starts[r]; i < starts[r + 1]; ++i) {
      if ((i - starts[r]) % kCancelStride == 0) ThrowIfCancelled(cancel);
      size_t n = 0;
      const std::string_view* tokens = TokensOf(analyzer_, batch[i], scratch, n);
      distinct.Count(tokens, scratch.hashes.data(), n);
      const auto& entries = distinct.entries();
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
          w[e] = std::log(n1 / (f + 0.5));
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
        const double k = LengthNorm(n, average);
        for (size_t e = 0; e < m; ++e) {
          const double f = entries[e].count;
          w[e] = f / (k + f);
        }
      }
      for (size_t e = 0; e < m; ++e) {
        writer.Add(entries[e].token, Murmur3Inline(entries[e].token), w[e]);
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
  const double average = stats_.doc_count == 0 ? 0.0
                                               : static_cast<double>(stats_.length_total) /
                                                     static_cast<double>(stats_.doc_count);
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
  if (!(file.b >= 0.0 && file.b <= 1.0)) throw std::runtime_error("load b failed");
  if (!(file.k1 >= 0.0)) throw std::runtime_error("load k1 failed");
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

double SparseEncoder::Average() const {
  return static_cast<double>(stats_.length_total) / static_cast<double>(stats_.doc_count);
}

double SparseEncoder::LengthNorm(size_t length, double average) const {
  // BM25's own expression, operation for operation, for equal weights.
  return ((static_cast<double>(length) / average) * b_ + (1.0 - b_)) * k1_;
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
