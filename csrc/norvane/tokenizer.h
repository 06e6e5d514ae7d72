#pragma once
// Usage:
//   norvane::Tokenizer tok(norvane::TokenizerPaths{dict, hmm, user, idf, stop}, false);
//   std::vector<norvane::Token> tokens;
//   tok.Tokenize(text_utf8, norvane::CutMode::kSearch, tokens);
//   for (const auto& t : tokens) use(text_utf8.substr(t.offset, t.length));
//   norvane::TokenizeScratch scratch;  // one per thread, reused across texts
//   tok.Tokenize(std::string(text_utf8), norvane::CutMode::kAccurate, tokens, scratch);
//
// Thread safety: a constructed Tokenizer is immutable; every const method may
// be called from many threads at once. A TokenizeScratch serves one thread.
// Throws: the constructor throws util::FatalError (a std::runtime_error) when a
// data file is refused, with the loader's FATAL record as its message. The
// cutting methods throw nothing but std::bad_alloc; text that is not valid
// UTF-8, or longer than 4294967295 bytes, gives no words.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace korva::typing::text::segmenter {
class DictTrie;
class Segmenter;
class MixSegment;
class QuerySegment;
struct WordSpan;
}

namespace norvane {

struct SegmenterBuffers;

enum class CutMode { kAccurate, kSearch };

// The five data files of a segmenter; user_dict may be empty.
struct TokenizerPaths {
  std::string dict;
  std::string hmm;
  std::string user_dict;
  std::string idf;
  std::string stop_words;
};

// Where a word lies in the original text: bytes of its UTF-8 and code points.
struct Token {
  uint32_t offset;          // bytes
  uint32_t length;          // bytes
  uint32_t unicode_offset;  // code points
  uint32_t unicode_length;  // code points
};

// Working buffers of Tokenize, kept by a caller that cuts many texts on one
// thread so that a cut allocates nothing once they have grown.
class TokenizeScratch {
 public:
  TokenizeScratch();
  ~TokenizeScratch();
  TokenizeScratch(const TokenizeScratch&) = delete;
  TokenizeScratch& operator=(const TokenizeScratch&) = delete;

 private:
  friend class Tokenizer;
  std::string lookup_;  // the simplified text, in traditional mode
  std::vector<uint32_t> starts_;
  std::vector<korva::typing::text::segmenter::WordSpan> spans_;
  std::unique_ptr<SegmenterBuffers> segmenter_;  // the accurate cut's own buffers
};

class Tokenizer {
 public:
  // traditional: traditional characters are mapped to simplified ones for
  // dictionary and model lookup only; tokens still point into the original.
  // words: user-dictionary lines ("word", "word tag" or "word freq tag")
  // added after the files' words.
  Tokenizer(const TokenizerPaths& paths, bool traditional,
            const std::vector<std::string>& words = {});
  // base's data with more words: the files are not read again, and the
  // dictionary is copied with the words added (base is not changed).
  Tokenizer(const Tokenizer& base, const std::vector<std::string>& words);
  ~Tokenizer();
  Tokenizer(const Tokenizer&) = delete;
  Tokenizer& operator=(const Tokenizer&) = delete;

  // The words of text in order (search mode: each long word's sub-words come
  // before it, as pynorvane's cut_for_search gives them). Clears out first.
  void Tokenize(std::string_view text, CutMode mode, std::vector<Token>& out) const;
  // The same words, cutting text in place (no copy) with scratch's buffers.
  // hmm false: an accurate cut by the dictionary alone, unknown stretches
  // left as single characters (a retrieval analysis wants no guessed joins).
  void Tokenize(const std::string& text, CutMode mode, std::vector<Token>& out,
                TokenizeScratch& scratch, bool hmm = true) const;

  // (word, part-of-speech tag) pairs of an accurate cut.
  void Tag(std::string_view text, std::vector<std::pair<std::string, std::string>>& out) const;

  // The top_k words by TF-IDF (IDF table, stop words left out), best first.
  void Keywords(std::string_view text, size_t top_k,
                std::vector<std::pair<std::string, double>>& out) const;

  bool IsStopWord(std::string_view word) const;
  bool traditional() const { return traditional_; }
  const TokenizerPaths& paths() const { return paths_; }
  // The user-dictionary lines given at run time, in order.
  const std::vector<std::string>& words() const { return words_; }
  const korva::typing::text::segmenter::Segmenter& segmenter() const { return *segmenter_; }

 private:
  TokenizerPaths paths_;
  bool traditional_;
  // Cutting and tagging go through mix_ and query_ over the dictionary in
  // use: the files' own, or a copy with the run-time words.
  void AddWords(const korva::typing::text::segmenter::DictTrie& dictionary,
                const std::vector<std::string>& words);
  const korva::typing::text::segmenter::DictTrie& dictionary() const;

  std::shared_ptr<const korva::typing::text::segmenter::Segmenter> segmenter_;
  std::vector<std::string> words_;
  std::unique_ptr<const korva::typing::text::segmenter::DictTrie> dictionary_;
  std::unique_ptr<const korva::typing::text::segmenter::MixSegment> mix_;
  std::unique_ptr<const korva::typing::text::segmenter::QuerySegment> query_;
};

}  // namespace norvane
