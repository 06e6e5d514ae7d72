#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "norvane/bind.h"
#include "norvane/tokenizer.h"
#include "tokenizer/segmenter/util/Logging.h"

namespace norvane {

namespace py = pybind11;

namespace {

// A str argument and its UTF-8 form. The UTF-8 is the interpreter's own copy,
// cached in the str, so the view stays valid while `owner` holds the str,
// also after the interpreter lock is released.
struct Text {
  py::object owner;
  std::string_view utf8;
};

// What the segmenter binding refuses is refused alike: any other type and
// a str with a lone surrogate raise TypeError, text too long for 32-bit
// offsets raises ValueError.
Text ReadText(py::handle obj, const std::string& name) {
  if (!PyUnicode_Check(obj.ptr())) {
    throw py::type_error(name + " must be str, not " + Py_TYPE(obj.ptr())->tp_name);
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    throw py::type_error(name + " cannot be encoded as UTF-8 (lone surrogate)");
  }
  if (static_cast<uint64_t>(size) > UINT32_MAX) {
    throw py::value_error(name + " of " + std::to_string(size) +
                          " bytes is too long: the limit is 4294967295 bytes");
  }
  return Text{py::reinterpret_borrow<py::object>(obj), std::string_view(data, size)};
}

PyObject* Checked(PyObject* obj) {
  if (obj == nullptr) throw py::error_already_set();
  return obj;
}

// The words as slices of the str they were cut from; with offsets, as
// (word, start, end) tuples of str indices.
py::list Words(py::handle text, const std::vector<Token>& tokens, bool offsets) {
  py::list result(tokens.size());
  for (size_t i = 0; i < tokens.size(); ++i) {
    const Py_ssize_t start = tokens[i].unicode_offset;
    const Py_ssize_t end = start + tokens[i].unicode_length;
    PyObject* word = Checked(PyUnicode_Substring(text.ptr(), start, end));
    PyObject* item = word;
    if (offsets) {
      item = PyTuple_New(3);
      if (item == nullptr) {
        Py_DECREF(word);
        throw py::error_already_set();
      }
      PyTuple_SET_ITEM(item, 0, word);
      PyTuple_SET_ITEM(item, 1, Checked(PyLong_FromSsize_t(start)));
      PyTuple_SET_ITEM(item, 2, Checked(PyLong_FromSsize_t(end)));
    }
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return result;
}

CutMode ModeOf(bool search) { return search ? CutMode::kSearch : CutMode::kAccurate; }

py::list Cut(const Tokenizer& self, py::handle text, bool search, bool offsets) {
  const Text t = ReadText(text, "text");
  std::vector<Token> tokens;
  {
    py::gil_scoped_release release;
    self.Tokenize(t.utf8, ModeOf(search), tokens);
  }
  return Words(text, tokens, offsets);
}

// The texts are read and checked with the lock held, cut on native threads
// with it released once for the whole batch, and turned into lists after.
py::list CutBatch(const Tokenizer& self, py::handle texts, bool search, unsigned threads,
                  bool offsets) {
  py::object sequence = py::reinterpret_steal<py::object>(
      Checked(PySequence_Fast(texts.ptr(), "texts must be an iterable of str")));
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.ptr());
  std::vector<Text> items;
  items.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    items.push_back(ReadText(PySequence_Fast_GET_ITEM(sequence.ptr(), i),
                             "texts[" + std::to_string(i) + "]"));
  }
  std::vector<std::vector<Token>> tokens(items.size());
  {
    py::gil_scoped_release release;
    ParallelFor(items.size(), threads,
                [&](size_t i) { self.Tokenize(items[i].utf8, ModeOf(search), tokens[i]); });
  }
  py::list result(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    py::list words = Words(items[i].owner, tokens[i], offsets);
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), words.release().ptr());
  }
  return result;
}

py::str Utf8(const std::string& s) {
  return py::reinterpret_steal<py::str>(
      Checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr)));
}

py::list Tag(const Tokenizer& self, py::handle text) {
  const Text t = ReadText(text, "text");
  std::vector<std::pair<std::string, std::string>> tagged;
  {
    py::gil_scoped_release release;
    self.Tag(t.utf8, tagged);
  }
  py::list result;
  for (const auto& [word, tag] : tagged) result.append(py::make_tuple(Utf8(word), Utf8(tag)));
  return result;
}

py::list Keywords(const Tokenizer& self, py::handle text, size_t top_k) {
  const Text t = ReadText(text, "text");
  std::vector<std::pair<std::string, double>> keywords;
  {
    py::gil_scoped_release release;
    self.Keywords(t.utf8, top_k, keywords);
  }
  py::list result;
  for (const auto& [word, score] : keywords) result.append(py::make_tuple(Utf8(word), score));
  return result;
}

// A refused data file raises RuntimeError with the loader's record. Paths and
// file lines in it need not be UTF-8: undecodable bytes are shown escaped.
void TranslateFatalError(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const korva::typing::text::util::FatalError& e) {
    const std::string message = e.what();
    py::object text = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.ptr());
  }
}

std::shared_ptr<Tokenizer> Make(std::string dict, std::string hmm, std::string user_dict,
                                std::string idf, std::string stop_words, bool traditional) {
  // Loading reads files for a while: other Python threads may run meanwhile.
  py::gil_scoped_release release;
  return std::make_shared<Tokenizer>(
      TokenizerPaths{std::move(dict), std::move(hmm), std::move(user_dict), std::move(idf),
                     std::move(stop_words)},
      traditional);
}

}  // namespace

void BindTokenizer(py::module_& m) {
  py::register_local_exception_translator(&TranslateFatalError);
  py::class_<Tokenizer, std::shared_ptr<Tokenizer>>(
      m, "Tokenizer", "The native tokenizer; norvane.Tokenizer wraps it.")
      .def(py::init(&Make), py::arg("dict_path"), py::arg("hmm_path"),
           py::arg("user_dict_path"), py::arg("idf_path"), py::arg("stop_word_path"),
           py::arg("traditional"))
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
}

}  // namespace norvane
