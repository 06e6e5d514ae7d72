#pragma once
// What a text becomes for retrieval: folding, the cut, n-grams and stop
// words, by one of the named analyses.
//
// Usage:
//   norvane::Analyzer analyzer(tokenizer, "words+ngrams/2");
//   std::string folded; std::vector<norvane::Token> words;
//   std::vector<std::string_view> tokens;
//   analyzer.Analyze(text, folded, words, tokens);   // views into folded
// Thread safety: const methods may run from many threads, each with its own
// buffers. Throws std::invalid_argument for an unknown analysis or a null
// tokenizer; std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/tokenizer.h"
#include "search/bm25/bm25_internal.h"

namespace norvane {

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

}  // namespace norvane
