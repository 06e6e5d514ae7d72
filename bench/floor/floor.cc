// Do-nothing bindings that set the floor the real bindings are measured
// against: they take the same Python arguments and hand back results of the
// same shape, with the least conversion work possible and no computing.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace py = pybind11;

namespace {

// Reads every token the way any binding has to (the UTF-8 bytes of a str,
// the value of an int) and records it as a key of `out` with one shared
// float: the least an encoder call can cost. Duplicates collapse in the dict,
// so it ends with one entry per distinct token.
void ToDict(py::handle tokens, PyObject* out) {
  if (PyUnicode_Check(tokens.ptr()) || PyBytes_Check(tokens.ptr()) ||
      !PySequence_Check(tokens.ptr())) {
    throw py::type_error("expected a list of tokens");
  }
  py::object fast = py::reinterpret_steal<py::object>(PySequence_Fast(tokens.ptr(), ""));
  if (!fast) throw py::error_already_set();
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
  PyObject** items = PySequence_Fast_ITEMS(fast.ptr());
  py::float_ zero(0.0);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = items[i];
    if (PyUnicode_Check(item)) {
      Py_ssize_t size = 0;
      if (PyUnicode_AsUTF8AndSize(item, &size) == nullptr) throw py::error_already_set();
    } else if (PyLong_Check(item)) {
      PyLong_AsLongLong(item);
      if (PyErr_Occurred()) throw py::error_already_set();
    } else {
      throw py::type_error("tokens must be str or int");
    }
    if (PyDict_SetItem(out, item, zero.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
}

// Decodes UTF-8 into code points (lead-byte rules only, like the segmenter)
// and looks every code point up once in a hash set: the least work any
// dictionary segmenter does per character.
class Scanner {
 public:
  explicit Scanner(const std::string& chars) {
    std::vector<uint32_t> runes;
    Decode(chars, runes);
    set_.insert(runes.begin(), runes.end());
  }

  size_t Scan(const std::string& text) const {
    std::vector<uint32_t> runes;
    if (!Decode(text, runes)) return 0;
    size_t hits = 0;
    for (uint32_t rune : runes) hits += set_.count(rune);
    return hits;
  }

 private:
  static bool Decode(const std::string& text, std::vector<uint32_t>& runes) {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    runes.clear();
    runes.reserve(n / 2);
    size_t i = 0;
    while (i < n) {
      const unsigned char b0 = s[i];
      size_t len;
      uint32_t rune;
      if (b0 < 0x80) {
        len = 1;
        rune = b0;
      } else if (b0 <= 0xDF) {
        len = 2;
        if (n - i < len) return false;
        rune = ((b0 & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      } else if (b0 <= 0xEF) {
        len = 3;
        if (n - i < len) return false;
        rune = ((b0 & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      } else if (b0 <= 0xF7) {
        len = 4;
        if (n - i < len) return false;
        rune = ((b0 & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
               (s[i + 3] & 0x3Fu);
      } else {
        return false;
      }
      runes.push_back(rune);
      i += len;
    }
    return true;
  }

  std::unordered_set<uint32_t> set_;
};

}  // namespace

PYBIND11_MODULE(norvane_floor, m) {
  m.def("to_dict", [](py::handle tokens) {
    py::dict out;
    ToDict(tokens, out.ptr());
    return out;
  });
  py::class_<Scanner>(m, "Scanner")
      .def(py::init<const std::string&>())
      .def("scan", &Scanner::Scan, py::call_guard<py::gil_scoped_release>());
}
