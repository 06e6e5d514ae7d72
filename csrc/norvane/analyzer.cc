#include "norvane/analyzer.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <stdexcept>

#include "norvane/char_class.h"
#include "norvane/t2s_table.h"
#include "norvane/utf8.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace norvane {

namespace {

using korva::typing::text::TokenTable;

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
      const size_t n = DecodeUtf8OrReplacement(p, static_cast<size_t>(end - p), cp);
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
    const size_t n = DecodeUtf8OrReplacement(p + at, size - at, cp);
    const char32_t simple = Simplest(cp);
    if (simple != cp) {
      std::string bytes;
      AppendUtf8(simple, bytes);
      if (bytes.size() != n) {
        std::string out(text, 0, at);
        for (size_t from = at; from < size;) {
          const size_t len = DecodeUtf8OrReplacement(p + from, size - from, cp);
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
  const size_t n = DecodeUtf8OrReplacement(base + at, size - at, cp);
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
    const size_t n = DecodeUtf8OrReplacement(p, left, cp);
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

}  // namespace

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
      at += DecodeUtf8OrReplacement(base + at, end - at, cp);
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

}  // namespace norvane
