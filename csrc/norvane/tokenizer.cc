#include "norvane/tokenizer.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>

#include "norvane/char_class.h"
#include "norvane/t2s_table.h"
#include "norvane/utf8.h"
#include "tokenizer/segmenter/MixSegment.h"
#include "tokenizer/segmenter/PosTagger.h"
#include "tokenizer/segmenter/QuerySegment.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace norvane {

namespace seg = korva::typing::text::segmenter;

struct SegmenterBuffers {
  seg::MixSegment::Scratch mix;
};

namespace {

// One cut of a text: the text the segmenter saw (simplified, in traditional
// mode), the words' places in it, and their places in the original.
struct Cut {
  std::string lookup;
  std::vector<seg::WordSpan> spans;
  std::vector<Token> tokens;
};

// The segments a cut goes through.
struct Cutters {
  const seg::MixSegment* mix;
  const seg::QuerySegment* query;
};

// Fills spans and tokens (cleared first); false (and nothing cut) when text
// is not valid UTF-8 or too long for 32-bit offsets. `whole`, when given, is
// text as a std::string, cut in place where no simplification is needed;
// otherwise the text the segmenter saw is left in lookup.
bool CutInto(const Cutters& segmenter, bool traditional, std::string_view text,
             const std::string* whole, CutMode mode, std::string& lookup,
             std::vector<uint32_t>& starts, std::vector<seg::WordSpan>& spans,
             std::vector<Token>& tokens, SegmenterBuffers* buffers = nullptr, bool hmm = true) {
  spans.clear();
  tokens.clear();
  if (text.size() > UINT32_MAX) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  // Byte offset of every code point of the original, and its end: only
  // needed when the simplified text has other byte lengths.
  starts.clear();
  bool moved = false;
  lookup.clear();
  if (traditional) lookup.reserve(text.size());
  if (!traditional) {
    if (!ValidUtf8(bytes, text.size())) return false;
  } else {
    for (size_t i = 0; i < text.size();) {
      char32_t cp;
      const size_t len = DecodeUtf8(bytes + i, text.size() - i, cp);
      if (len == 0) return false;
      starts.push_back(static_cast<uint32_t>(i));
      const size_t before = lookup.size();
      AppendUtf8(SimplifiedOf(cp), lookup);
      moved = moved || lookup.size() - before != len;
      i += len;
    }
  }
  const std::string* cut = &lookup;
  if (!traditional) {
    if (whole != nullptr) {
      cut = whole;
    } else {
      lookup.assign(text);
    }
  }
  if (traditional) starts.push_back(static_cast<uint32_t>(text.size()));
  if (mode == CutMode::kSearch) {
    segmenter.query->Cut(*cut, spans, hmm);
  } else if (buffers != nullptr) {
    segmenter.mix->Cut(*cut, spans, hmm, buffers->mix);
  } else {
    segmenter.mix->Cut(*cut, spans, hmm);
  }
  tokens.reserve(spans.size());
  for (const seg::WordSpan& s : spans) {
    if (!moved) {
      tokens.push_back(Token{s.offset, s.length, s.unicode_offset, s.unicode_length});
      continue;
    }
    const uint32_t begin = starts[s.unicode_offset];
    const uint32_t end = starts[s.unicode_offset + s.unicode_length];
    tokens.push_back(Token{begin, end - begin, s.unicode_offset, s.unicode_length});
  }
  return true;
}

bool CutText(const Cutters& segmenter, bool traditional, std::string_view text,
             CutMode mode, Cut& cut) {
  std::vector<uint32_t> starts;
  return CutInto(segmenter, traditional, text, nullptr, mode, cut.lookup, starts, cut.spans,
                 cut.tokens);
}

// Words of no letter or digit (spaces, punctuation, symbols) are no keywords.
bool HasWordCharacter(std::string_view word) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(word.data());
  for (size_t i = 0; i < word.size();) {
    char32_t cp;
    const size_t len = DecodeUtf8(bytes + i, word.size() - i, cp);
    if (len == 0) return false;
    if (IsWordChar(cp)) return true;
    i += len;
  }
  return false;
}

}  // namespace

Tokenizer::Tokenizer(const TokenizerPaths& paths, bool traditional,
                     const std::vector<std::string>& words)
    : paths_(paths),
      traditional_(traditional),
      segmenter_(std::make_shared<const seg::Segmenter>(paths.dict, paths.hmm, paths.user_dict,
                                                        paths.idf, paths.stop_words)) {
  AddWords(*segmenter_->GetDictTrie(), words);
}

Tokenizer::Tokenizer(const Tokenizer& base, const std::vector<std::string>& words)
    : paths_(base.paths_),
      traditional_(base.traditional_),
      segmenter_(base.segmenter_),
      words_(base.words_) {
  AddWords(base.dictionary(), words);
}

void Tokenizer::AddWords(const seg::DictTrie& dictionary, const std::vector<std::string>& words) {
  if (!words.empty()) {
    dictionary_ = std::make_unique<const seg::DictTrie>(dictionary, words);
    words_.insert(words_.end(), words.begin(), words.end());
  }
  const seg::DictTrie* used = dictionary_ ? dictionary_.get() : segmenter_->GetDictTrie();
  mix_ = std::make_unique<const seg::MixSegment>(used, segmenter_->GetHMMModel());
  query_ = std::make_unique<const seg::QuerySegment>(used, segmenter_->GetHMMModel());
}

const seg::DictTrie& Tokenizer::dictionary() const {
  return dictionary_ ? *dictionary_ : *segmenter_->GetDictTrie();
}

Tokenizer::~Tokenizer() = default;

TokenizeScratch::TokenizeScratch() : segmenter_(std::make_unique<SegmenterBuffers>()) {}
TokenizeScratch::~TokenizeScratch() = default;

void Tokenizer::Tokenize(std::string_view text, CutMode mode, std::vector<Token>& out) const {
  Cut cut;
  CutText(Cutters{mix_.get(), query_.get()}, traditional_, text, mode, cut);
  out.swap(cut.tokens);
}

void Tokenizer::Tokenize(const std::string& text, CutMode mode, std::vector<Token>& out,
                         TokenizeScratch& scratch, bool hmm) const {
  CutInto(Cutters{mix_.get(), query_.get()}, traditional_, text, &text, mode, scratch.lookup_, scratch.starts_,
          scratch.spans_, out, scratch.segmenter_.get(), hmm);
}

void Tokenizer::Tag(std::string_view text,
                    std::vector<std::pair<std::string, std::string>>& out) const {
  out.clear();
  Cut cut;
  if (!CutText(Cutters{mix_.get(), query_.get()}, traditional_, text, CutMode::kAccurate, cut)) return;
  const seg::PosTagger tagger;
  out.reserve(cut.tokens.size());
  for (size_t i = 0; i < cut.tokens.size(); ++i) {
    const seg::WordSpan& s = cut.spans[i];
    out.emplace_back(std::string(text.substr(cut.tokens[i].offset, cut.tokens[i].length)),
                     tagger.LookupTag(cut.lookup.substr(s.offset, s.length), *mix_));
  }
}

void Tokenizer::Keywords(std::string_view text, size_t top_k,
                         std::vector<std::pair<std::string, double>>& out) const {
  out.clear();
  Cut cut;
  if (top_k == 0 || !CutText(Cutters{mix_.get(), query_.get()}, traditional_, text, CutMode::kAccurate, cut)) return;
  struct Count {
    size_t first;  // index of the first occurrence, which names the word
    size_t n;
  };
  // Counted by the simplified form, which the IDF table and stop words use.
  std::unordered_map<std::string, Count> counts;
  size_t total = 0;
  for (size_t i = 0; i < cut.spans.size(); ++i) {
    const seg::WordSpan& s = cut.spans[i];
    const std::string_view word(cut.lookup.data() + s.offset, s.length);
    if (s.unicode_length < 2 || !HasWordCharacter(word) || IsStopWord(word)) continue;
    ++total;
    auto it = counts.emplace(std::string(word), Count{i, 0}).first;
    ++it->second.n;
  }
  const auto& idf = segmenter_->extractor.IdfMap();
  // An IDF table without lines has no average (0 / 0).
  const double average = segmenter_->extractor.IdfAverage();
  const double unknown_idf = std::isfinite(average) ? average : 0.0;
  struct Scored {
    double score;
    size_t first;
  };
  std::vector<Scored> scored;
  scored.reserve(counts.size());
  for (const auto& [word, count] : counts) {
    const auto found = idf.find(word);
    const double weight = found != idf.end() ? found->second : unknown_idf;
    scored.push_back(Scored{static_cast<double>(count.n) / total * weight, count.first});
  }
  // Ties go to the word that comes first in the text, so the order is fixed.
  auto better = [](const Scored& a, const Scored& b) {
    return a.score != b.score ? a.score > b.score : a.first < b.first;
  };
  const size_t k = std::min(top_k, scored.size());
  std::partial_sort(scored.begin(), scored.begin() + k, scored.end(), better);
  out.reserve(k);
  for (size_t i = 0; i < k; ++i) {
    const Token& t = cut.tokens[scored[i].first];
    out.emplace_back(std::string(text.substr(t.offset, t.length)), scored[i].score);
  }
}

bool Tokenizer::IsStopWord(std::string_view word) const {
  return segmenter_->extractor.StopWords().count(std::string(word)) != 0;
}

}  // namespace norvane
