#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvane/bind.h"
#include "norvane/byte_hash.h"
#include "norvane/char_class.h"
#include "norvane/parallel.h"
#include "norvane/py_support.h"
#include "norvane/tokenizer.h"
#include "norvane/utf8.h"

namespace norvane {

namespace py = pybind11;

namespace {

// A str argument, read while the interpreter lock is released: a str never
// changes, and the call's arguments (or a batch's TextRefs) keep it alive.
struct Text {
  PyObject* str;
  int kind;
  const void* units;
  size_t length;  // code points
  bool ascii;
};

// The references a batch holds on its texts from reading them to building
// the result: a list could lose items to another thread meanwhile.
class TextRefs {
 public:
  TextRefs() = default;
  ~TextRefs() {
    for (PyObject* ref : refs_) Py_DECREF(ref);
  }
  TextRefs(const TextRefs&) = delete;
  TextRefs& operator=(const TextRefs&) = delete;

  void Add(PyObject* text) {
    refs_.push_back(text);
    Py_INCREF(text);
  }

 private:
  std::vector<PyObject*> refs_;
};

// What the segmenter binding refuses is refused alike: any other type (here)
// and a str with a lone surrogate (Encode) raise TypeError, text too long for
// 32-bit offsets raises ValueError.
Text ReadText(py::handle obj, const std::string& name) {
  PyObject* str = obj.ptr();
  if (!PyUnicode_Check(str)) {
    throw py::type_error(name + " must be str, not " + Py_TYPE(str)->tp_name);
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(str) < 0) throw py::error_already_set();
#endif
  Text t{str, PyUnicode_KIND(str), PyUnicode_DATA(str),
         static_cast<size_t>(PyUnicode_GET_LENGTH(str)), PyUnicode_IS_ASCII(str) != 0};
  // Four bytes of UTF-8 per code point at most; only a text near the limit
  // is measured.
  if (t.length > UINT32_MAX / 4) {
    Py_ssize_t size = 0;
    if (PyUnicode_AsUTF8AndSize(str, &size) == nullptr) {
      PyErr_Clear();
    } else if (static_cast<uint64_t>(size) > UINT32_MAX) {
      throw py::value_error(name + " of " + std::to_string(size) +
                            " bytes is too long: the limit is 4294967295 bytes");
    }
  }
  return t;
}

std::string LoneSurrogate(const std::string& name) {
  return name + " cannot be encoded as UTF-8: it holds a lone surrogate";
}

// The UTF-8 of a str into buffer, made without the interpreter lock; false
// when the str holds a lone surrogate.
bool EncodeInto(const Text& t, std::string& buffer) {
  buffer.clear();
  if (t.ascii) {
    buffer.assign(static_cast<const char*>(t.units), t.length);
    return true;
  }
  buffer.reserve(t.length * (t.kind == PyUnicode_1BYTE_KIND ? 2 : 3));
  for (size_t i = 0; i < t.length; ++i) {
    const Py_UCS4 cp = PyUnicode_READ(t.kind, t.units, i);
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    AppendUtf8(cp, buffer);
  }
  return true;
}

// The words of consecutive texts, found without the interpreter lock: one
// flat buffer for all of them (few allocations, freed at once by whichever
// thread builds the lists), and for a batch a hash of each word for the word
// cache. ends[k] is where text k's words end.
struct Words {
  std::vector<Token> tokens;
  std::vector<uint64_t> hashes;
  std::vector<size_t> ends;
  size_t surrogate = SIZE_MAX;  // the first text that held a lone surrogate

  size_t begin(size_t k) const { return k == 0 ? 0 : ends[k - 1]; }
};

// Each thread of a call encodes into one buffer and cuts with one scratch,
// reused from text to text.
struct Scratch {
  std::string utf8;
  std::vector<Token> tokens;
  TokenizeScratch tokenize;
};

// Appends the words of t to out; a text with a lone surrogate adds none.
void CutOne(const Tokenizer& tok, const Text& t, CutMode mode, bool hash, Scratch& scratch,
            Words& out) {
  if (!EncodeInto(t, scratch.utf8)) {
    out.surrogate = std::min(out.surrogate, out.ends.size());
  } else {
    tok.Tokenize(scratch.utf8, mode, scratch.tokens, scratch.tokenize);
    out.tokens.insert(out.tokens.end(), scratch.tokens.begin(), scratch.tokens.end());
    if (hash) {
      for (const Token& token : scratch.tokens) {
        out.hashes.push_back(HashBytes(std::string_view(scratch.utf8.data() + token.offset, token.length)));
      }
    }
  }
  out.ends.push_back(out.tokens.size());
}

// One str object per distinct word of a batch: the same word in many places
// is one shared str, made once. Building the words is the part of a batch
// that holds the interpreter lock, and most words repeat (a single text
// repeats too few to pay for the hashing).
class WordCache {
 public:
  WordCache() : slots_(2048) {}
  ~WordCache() {
    for (const Slot& s : slots_) Py_XDECREF(s.word);
  }
  WordCache(const WordCache&) = delete;
  WordCache& operator=(const WordCache&) = delete;

  // A lookup's first slot is mostly a cache miss: the slots of words a few
  // places ahead are loaded while the current one is made.
  void Prefetch(uint64_t hash) const { __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]); }

  // A new reference to the str of code points [start, start + length) of t.
  PyObject* Get(const Text& t, size_t start, size_t length, uint64_t hash) {
    size_t mask = slots_.size() - 1;
    size_t i = hash & mask;
    for (; slots_[i].word != nullptr; i = (i + 1) & mask) {
      if (slots_[i].hash == hash && Same(slots_[i].word, t, start, length)) {
        Py_INCREF(slots_[i].word);
        return slots_[i].word;
      }
    }
    PyObject* word = Checked(PyUnicode_Substring(t.str, static_cast<Py_ssize_t>(start),
                                                 static_cast<Py_ssize_t>(start + length)));
    Py_INCREF(word);
    slots_[i] = Slot{hash, word};
    if (++used_ * 2 > slots_.size()) Grow();
    return word;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    PyObject* word = nullptr;  // owned
  };

  static bool Same(PyObject* word, const Text& t, size_t start, size_t length) {
    if (static_cast<size_t>(PyUnicode_GET_LENGTH(word)) != length) return false;
    const int kind = PyUnicode_KIND(word);
    const void* units = PyUnicode_DATA(word);
    for (size_t k = 0; k < length; ++k) {
      if (PyUnicode_READ(kind, units, k) != PyUnicode_READ(t.kind, t.units, start + k)) {
        return false;
      }
    }
    return true;
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.word == nullptr) continue;
      size_t i = s.hash & mask;
      while (slots_[i].word != nullptr) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;
  size_t used_ = 0;
};

// The words as slices of the str they were cut from; with offsets, as
// (word, start, end) tuples of str indices.
py::list WordList(const Text& t, const Words& w, size_t k, bool offsets, WordCache* cache) {
  const size_t begin = w.begin(k);
  const size_t end = w.ends[k];
  py::list result(end - begin);
  for (size_t i = begin; i < end; ++i) {
    if (cache != nullptr && i + 4 < end) cache->Prefetch(w.hashes[i + 4]);
    const size_t start = w.tokens[i].unicode_offset;
    const size_t length = w.tokens[i].unicode_length;
    PyObject* item = cache != nullptr
                         ? cache->Get(t, start, length, w.hashes[i])
                         : Checked(PyUnicode_Substring(t.str, static_cast<Py_ssize_t>(start),
                                                       static_cast<Py_ssize_t>(start + length)));
    const auto place = static_cast<Py_ssize_t>(i - begin);
    if (!offsets) {
      PyList_SET_ITEM(result.ptr(), place, item);
      continue;
    }
    PyObject* span = PyTuple_New(3);
    if (span == nullptr) {
      Py_DECREF(item);
      throw py::error_already_set();
    }
    // Owned by the list (and the word by the tuple) before anything can
    // fail; empty places are skipped when they are freed.
    PyList_SET_ITEM(result.ptr(), place, span);
    PyTuple_SET_ITEM(span, 0, item);
    PyTuple_SET_ITEM(span, 1, Checked(PyLong_FromSize_t(start)));
    PyTuple_SET_ITEM(span, 2, Checked(PyLong_FromSize_t(start + length)));
  }
  return result;
}

// The cyclic garbage collector paused while a chunk's lists are built: they
// hold only str and int objects, and otherwise every few hundred new lists
// start a collection that walks the lists made so far. No Python code runs
// meanwhile (other threads run only between chunks, with the collector as
// they left it); its state is restored however the build ends.
class GcPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  GcPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
#endif
};

CutMode ModeOf(bool search) { return search ? CutMode::kSearch : CutMode::kAccurate; }

py::list Cut(const Tokenizer& self, py::handle text, bool search, bool offsets) {
  const Text t = ReadText(text, "text");
  Words w;
  Unlocked([&] {
    Scratch scratch;
    CutOne(self, t, ModeOf(search), false, scratch, w);
  });
  if (w.surrogate != SIZE_MAX) throw py::type_error(LoneSurrogate("text"));
  return WordList(t, w, 0, offsets, nullptr);
}

// The ends of runs of consecutive texts of up to about 8,192 code points (at
// least one text each): the unit a batch is cut and built in. Small enough
// that building overlaps cutting from the start, large enough that taking
// the lock back per chunk costs nothing measurable.
std::vector<size_t> ChunkEnds(const std::vector<Text>& items, unsigned threads) {
  size_t total = 0;
  for (const Text& t : items) total += t.length;
  // Several chunks per thread even for a small batch, so none waits long.
  const size_t chunk = std::clamp<size_t>(total / (WorkerCount(threads) * 8), 256, 8192);
  std::vector<size_t> ends;
  size_t size = 0;
  for (size_t i = 0; i < items.size(); ++i) {
    size += items[i].length;
    if (size >= chunk || i + 1 == items.size()) {
      ends.push_back(i + 1);
      size = 0;
    }
  }
  return ends;
}

// The texts are read and checked with the lock held, then cut on native
// threads chunk by chunk while the calling thread, lock held, turns the
// chunks already cut into lists in order (and cuts too when none is ready).
py::list CutBatch(const Tokenizer& self, py::handle texts, bool search, unsigned threads,
                  bool offsets) {
  TextRefs refs;
  std::vector<Text> items;
  {
    py::object sequence = py::reinterpret_steal<py::object>(
        Checked(PySequence_Fast(texts.ptr(), "texts must be an iterable of str")));
    const size_t n = static_cast<size_t>(PySequence_Fast_GET_SIZE(sequence.ptr()));
    items.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      PyObject* item = PySequence_Fast_GET_ITEM(sequence.ptr(), static_cast<Py_ssize_t>(i));
      items.push_back(ReadText(item, "texts[" + std::to_string(i) + "]"));
      refs.Add(item);
    }
  }
  const std::vector<size_t> ends = ChunkEnds(items, threads);
  auto first_of = [&](size_t chunk) { return chunk == 0 ? 0 : ends[chunk - 1]; };
  std::vector<Words> chunks(ends.size());
  py::list result(items.size());
  WordCache cache;
  OrderedFor(
      ends.size(), threads,
      [&](size_t chunk) {
        Scratch scratch;
        for (size_t i = first_of(chunk); i < ends[chunk]; ++i) {
          CutOne(self, items[i], ModeOf(search), true, scratch, chunks[chunk]);
        }
      },
      [&](size_t chunk) {
        // Ctrl-C (or another signal's handler) ends a long batch between chunks.
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        const size_t first = first_of(chunk);
        const Words& w = chunks[chunk];
        if (w.surrogate != SIZE_MAX) {
          throw py::type_error(LoneSurrogate("texts[" + std::to_string(first + w.surrogate) + "]"));
        }
        const GcPause pause;
        for (size_t k = 0; k < w.ends.size(); ++k) {
          py::list words = WordList(items[first + k], w, k, offsets, &cache);
          PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(first + k), words.release().ptr());
        }
        chunks[chunk] = Words();
      },
      [](const std::function<void()>& step) { Unlocked(step); });
  return result;
}

py::str Utf8(const std::string& s) {
  return py::reinterpret_steal<py::str>(
      Checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr)));
}

// Tag and keywords: one text, its UTF-8 made and used without the lock.
template <class Fn>
void WithUtf8(py::handle text, Fn fn) {
  const Text t = ReadText(text, "text");
  bool encoded;
  Unlocked([&] {
    std::string utf8;
    encoded = EncodeInto(t, utf8);
    if (encoded) fn(utf8);
  });
  if (!encoded) throw py::type_error(LoneSurrogate("text"));
}

py::list Tag(const Tokenizer& self, py::handle text) {
  std::vector<std::pair<std::string, std::string>> tagged;
  WithUtf8(text, [&](std::string_view utf8) { self.Tag(utf8, tagged); });
  py::list result;
  for (const auto& [word, tag] : tagged) result.append(py::make_tuple(Utf8(word), Utf8(tag)));
  return result;
}

py::list Keywords(const Tokenizer& self, py::handle text, size_t top_k) {
  std::vector<std::pair<std::string, double>> keywords;
  WithUtf8(text, [&](std::string_view utf8) { self.Keywords(utf8, top_k, keywords); });
  py::list result;
  for (const auto& [word, score] : keywords) result.append(py::make_tuple(Utf8(word), score));
  return result;
}

std::shared_ptr<Tokenizer> Make(std::string dict, std::string hmm, std::string user_dict,
                                std::string idf, std::string stop_words, bool traditional,
                                const std::vector<std::string>& words) {
  // Loading reads files for a while: other Python threads may run meanwhile.
  std::shared_ptr<Tokenizer> made;
  Unlocked([&] {
    made = std::make_shared<Tokenizer>(
        TokenizerPaths{std::move(dict), std::move(hmm), std::move(user_dict), std::move(idf),
                       std::move(stop_words)},
        traditional, words);
  });
  return made;
}

// One byte per code point, 1 for a word character: for the test that
// checks the rule against the interpreter's Unicode database.
py::bytes WordCharacters() {
  std::string flags(0x110000, '\0');
  for (char32_t c = 0; c < 0x110000; ++c) flags[c] = IsWordChar(c) ? 1 : 0;
  return py::bytes(flags);
}

}  // namespace

void BindTokenizer(py::module_& m) {
  py::register_local_exception_translator(&TranslateFatalError);
  py::class_<Tokenizer, std::shared_ptr<Tokenizer>>(
      m, "Tokenizer", "The native tokenizer; norvane.Tokenizer wraps it.")
      .def(py::init(&Make), py::arg("dict_path"), py::arg("hmm_path"),
           py::arg("user_dict_path"), py::arg("idf_path"), py::arg("stop_word_path"),
           py::arg("traditional"), py::arg("words"))
      .def(
          "with_words",
          [](const Tokenizer& self, const std::vector<std::string>& words) {
            std::shared_ptr<Tokenizer> made;
            Unlocked([&] { made = std::make_shared<Tokenizer>(self, words); });
            return made;
          },
          py::arg("words"), "A tokenizer with more user-dictionary lines, files not read again.")
      .def_property_readonly("words", &Tokenizer::words,
                             "The user-dictionary lines given at run time.")
      .def("cut", &Cut, py::arg("text"), py::arg("search"), py::arg("offsets"),
           "Words of text (offsets: as (word, start, end) tuples).")
      .def("cut_batch", &CutBatch, py::arg("texts"), py::arg("search"), py::arg("threads"),
           py::arg("offsets"), "cut of every text, on up to `threads` native threads.")
      .def("tag", &Tag, py::arg("text"), "(word, part-of-speech tag) pairs.")
      .def("keywords", &Keywords, py::arg("text"), py::arg("top_k"),
           "(word, TF-IDF score) pairs, best first.")
      .def_property_readonly(
          "paths",
          [](const Tokenizer& self) {
            const TokenizerPaths& p = self.paths();
            return py::make_tuple(p.dict, p.hmm, p.user_dict, p.idf, p.stop_words);
          },
          "The five data file paths, in constructor order.")
      .def_property_readonly("traditional", &Tokenizer::traditional,
                             "Whether traditional characters are simplified for lookup.");
  m.def("_word_characters", &WordCharacters,
        "1 or 0 per code point: whether the toolkit counts it a letter or digit.");
}

}  // namespace norvane
