#pragma once
// Usage (binding code, interpreter lock held):
//   PyObject* s = norvane::Checked(PyUnicode_FromString("x"));  // throws on null
//   py::dict d = norvane::NewDict(n);
//   py::register_exception_translator(&norvane::TranslateFatalError);
//
// Thread safety: call with the interpreter lock held.
// Throws: Checked and NewDict pybind11::error_already_set with the Python
// error set; TranslateFatalError nothing (it sets the Python error).
//
// Shared by the bindings of pynorvane and norvane._core.

#include <pybind11/pybind11.h>

#include <cstddef>
#include <exception>
#include <string>

#include "tokenizer/segmenter/util/Logging.h"

namespace norvane {

// obj, a new reference, or the pending Python error as an exception.
inline PyObject* Checked(PyObject* obj) {
  if (obj == nullptr) throw pybind11::error_already_set();
  return obj;
}

// A dict with room for `size` items, so filling it never resizes it (where
// the interpreter offers that).
inline pybind11::dict NewDict(size_t size) {
#if PY_VERSION_HEX < 0x030D0000 && !defined(PYPY_VERSION)
  return pybind11::reinterpret_steal<pybind11::dict>(
      Checked(_PyDict_NewPresized(static_cast<Py_ssize_t>(size))));
#else
  (void)size;
  return pybind11::reinterpret_steal<pybind11::dict>(Checked(PyDict_New()));
#endif
}

// A refused data file becomes RuntimeError with the loader's record. The
// record quotes paths and file lines as they are, which need not be UTF-8:
// undecodable bytes are shown escaped instead of turning the error into a
// UnicodeDecodeError.
inline void TranslateFatalError(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const korva::typing::text::util::FatalError& e) {
    const std::string message = e.what();
    pybind11::object text = pybind11::reinterpret_steal<pybind11::object>(PyUnicode_DecodeUTF8(
        message.data(), static_cast<Py_ssize_t>(message.size()), "backslashreplace"));
    if (text) PyErr_SetObject(PyExc_RuntimeError, text.ptr());
  }
}

}  // namespace norvane
