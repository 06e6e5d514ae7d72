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
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace korva::typing::text::segmenter {
class Segmenter;
class MixSegment;
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
  Tokenizer(const TokenizerPaths& paths, bool traditional);
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
  const korva::typing::text::segmenter::Segmenter& segmenter() const { return *segmenter_; }

 private:
  TokenizerPaths paths_;
  bool traditional_;
  std::unique_ptr<korva::typing::text::segmenter::Segmenter> segmenter_;
  // The tagger looks words up through a segmenter with a dictionary; the
  // facade keeps its own private.
  std::unique_ptr<korva::typing::text::segmenter::MixSegment> tagging_;
};

// The threads a call asked for `threads` uses: 0 means one per core. Large
// requests are capped at 16 per core, since work is split into a few pieces
// per thread and thousands of threads would only wait for a core.
unsigned WorkerCount(unsigned threads);

// Runs fn(i) for every i in [0, n) on up to `threads` native threads (0: one
// per core), the calling thread among them. The first exception thrown by fn
// is rethrown here after every thread has stopped.
void ParallelFor(size_t n, unsigned threads, const std::function<void(size_t)>& fn);

// Runs produce(i) for every i in [0, n) on up to `threads` native threads (0:
// one per core), and consume(i) on the calling thread in order of i, each as
// soon as produce(i) has finished: consuming overlaps producing. The calling
// thread produces too while the next item to consume is not ready; its
// producing and waiting run inside unlocked(step), with which a caller
// releases a lock that consume needs (the interpreter lock). The first exception thrown is rethrown once every thread
// has stopped; no consume runs after it.
void OrderedFor(size_t n, unsigned threads, const std::function<void(size_t)>& produce,
                const std::function<void(size_t)>& consume,
                const std::function<void(const std::function<void()>&)>& unlocked);

}  // namespace norvane
