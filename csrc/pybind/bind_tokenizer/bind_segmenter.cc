#include "pybind/bind_tokenizer/bind_segmenter.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "norvane/py_support.h"
#include "pybind/unlocked.h"
#include "tokenizer/segmenter/Segmenter.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

// A sentence copied out of a Python str or bytes object. A str is kept
// (borrowed from the call's arguments) so words can be sliced out of it.
struct Sentence {
  std::string text;
  PyObject* str = nullptr;
  // The str's own code units, read while the lock is released: a str never
  // changes, and the call's reference keeps it alive.
  int kind = 0;
  const void* units = nullptr;
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
      value.kind = PyUnicode_KIND(src.ptr());
      value.units = PyUnicode_DATA(src.ptr());
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

// Code unit i of a str's data of the given kind (1, 2 or 4 bytes).
inline Py_UCS4 UnitAt(int kind, const void* units, size_t i) {
  return kind == PyUnicode_1BYTE_KIND   ? static_cast<const Py_UCS1*>(units)[i]
         : kind == PyUnicode_2BYTE_KIND ? static_cast<const Py_UCS2*>(units)[i]
                                        : static_cast<const Py_UCS4*>(units)[i];
}

// The widest code point of every word of a str, which fixes the storage of
// the word's own str. Needs no interpreter lock, so the caller runs it with
// the cut and the lock-holding part is left with allocating and copying.
void WidestCodePoints(const Sentence& sentence, const std::vector<WordSpan>& words,
                      std::vector<Py_UCS4>& widest) {
  widest.resize(words.size());
  for (size_t i = 0; i < words.size(); ++i) {
    Py_UCS4 max = 0;
    for (size_t k = words[i].unicode_offset; k < words[i].unicode_offset + words[i].unicode_length;
         ++k) {
      max = std::max(max, UnitAt(sentence.kind, sentence.units, k));
    }
    widest[i] = max;
  }
}

// A str holding code points [offset, offset + length) of the sentence.
PyObject* SliceOfStr(const Sentence& sentence, const WordSpan& w, Py_UCS4 widest) {
  // Spaces, digits, ASCII punctuation: the interpreter keeps one shared str
  // for each code point below 256.
  if (w.unicode_length == 1 && widest < 256) return PyUnicode_FromOrdinal(static_cast<int>(widest));
  PyObject* item = PyUnicode_New(static_cast<Py_ssize_t>(w.unicode_length), widest);
  if (item == nullptr) return nullptr;
  const int kind = PyUnicode_KIND(item);
  void* data = PyUnicode_DATA(item);
  if (kind == sentence.kind) {
    std::memcpy(data, static_cast<const char*>(sentence.units) + size_t{w.unicode_offset} * kind,
                size_t{w.unicode_length} * kind);
    return item;
  }
  for (size_t k = 0; k < w.unicode_length; ++k) {
    PyUnicode_WRITE(kind, data, k, UnitAt(sentence.kind, sentence.units, w.unicode_offset + k));
  }
  return item;
}

// One str per code point for the one-character words of a long result: in
// Chinese text they repeat (的, 是, ，), and a str of its own costs 76 bytes
// where a list slot costs 8. Direct-mapped on the code point.
class SingleCharacterStrs {
 public:
  SingleCharacterStrs() = default;
  SingleCharacterStrs(const SingleCharacterStrs&) = delete;
  SingleCharacterStrs& operator=(const SingleCharacterStrs&) = delete;
  ~SingleCharacterStrs() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.str);
  }

  // A new reference to the str of `code`, or null with a Python error set.
  PyObject* Get(Py_UCS4 code) {
    Slot& slot = slots_[code % slots_.size()];
    if (slot.str == nullptr || slot.code != code) {
      PyObject* made = PyUnicode_FromOrdinal(static_cast<int>(code));
      if (made == nullptr) return nullptr;
      Py_XDECREF(slot.str);
      slot = {code, made};
    }
    Py_INCREF(slot.str);
    return slot.str;
  }

 private:
  struct Slot {
    Py_UCS4 code;
    PyObject* str;
  };
  std::vector<Slot> slots_ = std::vector<Slot>(1024, Slot{0, nullptr});
};

// Results shorter than this build every str anew: the table would cost more.
constexpr size_t kSharedStrsFrom = 4096;

// The cut hands back where the words lie, not copies of them. Words of a str
// argument are its slices; words of bytes are decoded strictly, so
// undecodable input raises UnicodeDecodeError.
py::list WordList(const Sentence& sentence, const std::vector<WordSpan>& words,
                  const std::vector<Py_UCS4>& widest) {
  py::list result(words.size());
  std::unique_ptr<SingleCharacterStrs> shared;
  if (sentence.str != nullptr && words.size() >= kSharedStrsFrom) {
    shared = std::make_unique<SingleCharacterStrs>();
  }
  for (size_t i = 0; i < words.size(); ++i) {
    const WordSpan& w = words[i];
    PyObject* item = shared != nullptr && w.unicode_length == 1
                         ? shared->Get(widest[i])
                     : sentence.str != nullptr
                         ? SliceOfStr(sentence, w, widest[i])
                         : PyUnicode_DecodeUTF8(sentence.text.data() + w.offset,
                                                static_cast<Py_ssize_t>(w.length), nullptr);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return result;
}

py::list RunCut(const Segmenter& self, const Sentence& sentence, bool for_search) {
  std::vector<WordSpan> words;
  std::vector<Py_UCS4> widest;
  Unlocked([&] {
    if (for_search) {
      self.CutForSearch(sentence.text, words, true);
    } else {
      self.Cut(sentence.text, words, true);
    }
    if (sentence.str != nullptr) WidestCodePoints(sentence, words, widest);
  });
  return WordList(sentence, words, widest);
}

py::list Cut(const Segmenter& self, const Sentence& sentence) {
  return RunCut(self, sentence, false);
}

py::list CutForSearch(const Segmenter& self, const Sentence& sentence) {
  return RunCut(self, sentence, true);
}

}  // namespace

void BindSegmenter(py::module_& m) {
  py::register_exception_translator(&norvane::TranslateFatalError);
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
