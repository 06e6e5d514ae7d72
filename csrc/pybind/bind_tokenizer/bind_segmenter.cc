#include "pybind/bind_tokenizer/bind_segmenter.h"

#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tokenizer/segmenter/Segmenter.h"
#include "tokenizer/segmenter/util/Logging.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

// A sentence copied out of a Python str or bytes object. A str is kept
// (borrowed from the call's arguments) so words can be sliced out of it.
struct Sentence {
  std::string text;
  PyObject* str = nullptr;
};

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva

namespace pybind11 {
namespace detail {

// Takes what the std::string caster takes (str as UTF-8, bytes, bytearray),
// but checks the length before the copy is made: byte offsets inside the
// segmenter are 32-bit.
template <>
struct type_caster<korva::typing::text::pybind::Sentence> {
  PYBIND11_TYPE_CASTER(korva::typing::text::pybind::Sentence, const_name("str"));

  bool load(handle src, bool) {
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyUnicode_Check(src.ptr())) {
      data = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
      if (data == nullptr) {
        PyErr_Clear();
        return false;
      }
      value.str = src.ptr();
    } else if (PyBytes_Check(src.ptr())) {
      data = PyBytes_AS_STRING(src.ptr());
      size = PyBytes_GET_SIZE(src.ptr());
    } else if (PyByteArray_Check(src.ptr())) {
      data = PyByteArray_AS_STRING(src.ptr());
      size = PyByteArray_GET_SIZE(src.ptr());
    } else {
      return false;
    }
    if (static_cast<uint64_t>(size) > UINT32_MAX) {
      throw value_error("sentence of " + std::to_string(size) +
                        " bytes is too long: the limit is 4294967295 bytes");
    }
    value.text.assign(data, static_cast<size_t>(size));
    return true;
  }
};

}  // namespace detail
}  // namespace pybind11

namespace korva {
namespace typing {
namespace text {
namespace pybind {

namespace py = pybind11;
using segmenter::Segmenter;

namespace {

using segmenter::WordSpan;

// The cut hands back where the words lie, not copies of them. Words of a str
// argument are slices of it by code-point offsets; words of bytes are decoded
// strictly, so undecodable input raises UnicodeDecodeError.
py::list WordList(const Sentence& sentence, const std::vector<WordSpan>& words) {
  py::list result(words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    const WordSpan& w = words[i];
    PyObject* item =
        sentence.str != nullptr
            ? PyUnicode_Substring(sentence.str, w.unicode_offset,
                                  static_cast<Py_ssize_t>(w.unicode_offset) + w.unicode_length)
            : PyUnicode_DecodeUTF8(sentence.text.data() + w.offset,
                                   static_cast<Py_ssize_t>(w.length), nullptr);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return result;
}

py::list Cut(const Segmenter& self, const Sentence& sentence) {
  std::vector<WordSpan> words;
  {
    py::gil_scoped_release release;
    self.Cut(sentence.text, words, true);
  }
  return WordList(sentence, words);
}

py::list CutForSearch(const Segmenter& self, const Sentence& sentence) {
  std::vector<WordSpan> words;
  {
    py::gil_scoped_release release;
    self.CutForSearch(sentence.text, words, true);
  }
  return WordList(sentence, words);
}

// A failed loader check becomes RuntimeError with the record's message. The
// message quotes paths and file lines as they are, which need not be UTF-8:
// undecodable bytes are shown escaped instead of turning the error into a
// UnicodeDecodeError.
void TranslateFatalError(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const util::FatalError& e) {
    const std::string message = e.what();
    py::object text = py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (text) {
      PyErr_SetObject(PyExc_RuntimeError, text.ptr());
    }
  }
}

}  // namespace

void BindSegmenter(py::module_& m) {
  py::register_exception_translator(&TranslateFatalError);
  // The cuts are const over data fixed at construction, so they run without
  // the interpreter lock; the result list is built after it is taken back.
  py::class_<Segmenter, std::shared_ptr<Segmenter>>(m, "Segmenter")
      .def(py::init<const std::string&, const std::string&, const std::string&,
                    const std::string&, const std::string&>(),
           py::arg("dict_path"), py::arg("hmm_path"), py::arg("user_dict_path"),
           py::arg("idf_path"), py::arg("stop_word_path"))
      .def("cut", &Cut, py::arg("sentence"))
      .def("cut_for_search", &CutForSearch, py::arg("sentence"));
}

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
