#include "pybind/bind_bm25/bind_bm25_impl.h"

#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "norvane/py_support.h"
#include "search/bm25/bm25.h"
#include "search/bm25/bm25_internal.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

namespace py = pybind11;

// How many elements ahead of the one being read its object is prefetched.
constexpr Py_ssize_t kLookAhead = 8;
// Token lists up to this length are held inside the argument.
constexpr size_t kInline = 64;

// Token lists read straight from the Python objects. pybind11's list casters
// would copy every token into a std::string and build every result key
// anew; these keep a view of each token and, for a str or int token, the
// object itself, which becomes the result key. Exact lists and tuples of
// exact str or int take the fast road; every other element, and every other
// container, goes through pybind11's own casters, so the same arguments are
// accepted and rejected, and the same overload is chosen.
struct StrTokens {
  SmallVector<std::string_view, kInline> views;
  SmallVector<PyObject*, kInline> objects;  // the element for an exact str, else null
  std::vector<std::string> copies;          // tokens pybind11 had to convert
  py::object owner;                         // holds the list during the call
};

struct IdTokens {
  SmallVector<long long, kInline> values;
  SmallVector<PyObject*, kInline> objects;  // the element for an exact int, else null
  py::object owner;
};

// Encoder results, built into a dict directly in ascending key order.
struct StrWeights {
  py::dict dict;
};

struct IdWeights {
  py::dict dict;
};

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva

namespace pybind11 {
namespace detail {

namespace bm25_binding = korva::typing::text::pybind;
using bm25_binding::kLookAhead;
using korva::typing::text::PrefetchLine;

// The first elements' objects are wanted at once: ask for them together.
inline void PrefetchFirst(PyObject* const* items, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n && i < kLookAhead; ++i) PrefetchLine(items[i]);
}

template <>
struct type_caster<bm25_binding::StrTokens> {
  PYBIND11_TYPE_CASTER(bm25_binding::StrTokens, make_caster<std::vector<std::string>>::name);

  bool load(handle src, bool convert) {
    PyObject* seq = src.ptr();
    if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) return LoadOther(src, convert);
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    PyObject** items = PySequence_Fast_ITEMS(seq);
    PrefetchFirst(items, n);
    value.views.reserve(static_cast<size_t>(n));
    value.objects.reserve(static_cast<size_t>(n));
    // Nothing here runs Python code, so the container cannot change under us.
    for (Py_ssize_t i = 0; i < n; ++i) {
      // The elements are scattered over the heap: ask for them early.
      if (i + kLookAhead < n) PrefetchLine(items[i + kLookAhead]);
      PyObject* item = items[i];
      if (PyUnicode_CheckExact(item)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) {
          PyErr_Clear();
          return false;
        }
        PrefetchLine(data);  // hashed after the whole list is read
        value.views.push_back(std::string_view(data, static_cast<size_t>(size)));
        value.objects.push_back(item);
      } else {
        // The string caster never takes an int: an int list fails here at
        // once and goes on to the integer form.
        if (PyLong_CheckExact(item)) return false;
        make_caster<std::string> element;
        if (!element.load(item, convert)) return false;
        value.copies.push_back(cast_op<std::string&&>(std::move(element)));
        value.views.push_back({});  // set below, once `copies` stops moving
        value.objects.push_back(nullptr);
      }
    }
    auto copy = value.copies.begin();
    for (size_t i = 0; copy != value.copies.end(); ++i) {
      if (value.objects[i] == nullptr) value.views[i] = *copy++;
    }
    value.owner = reinterpret_borrow<object>(src);
    return true;
  }

 private:
  bool LoadOther(handle src, bool convert) {
    make_caster<std::vector<std::string>> list;
    if (!list.load(src, convert)) return false;
    value.copies = std::move(cast_op<std::vector<std::string>&>(list));
    for (const std::string& copy : value.copies) {
      value.views.push_back(copy);
      value.objects.push_back(nullptr);
    }
    return true;
  }
};

template <>
struct type_caster<bm25_binding::IdTokens> {
  PYBIND11_TYPE_CASTER(bm25_binding::IdTokens, make_caster<std::vector<long long>>::name);

  bool load(handle src, bool convert) {
    PyObject* seq = src.ptr();
    if (!PyList_CheckExact(seq) && !PyTuple_CheckExact(seq)) return LoadOther(src, convert);
    const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(seq));
    value.values.reserve(n);
    value.objects.reserve(n);
    PrefetchFirst(PySequence_Fast_ITEMS(seq), PySequence_Fast_GET_SIZE(seq));
    bool only_ints = true;
    // pybind11's caster for an element that is not an exact int may run
    // Python code (__index__) that changes the container: re-read its size
    // as pybind11's iteration does.
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq); ++i) {
      if (i + kLookAhead < PySequence_Fast_GET_SIZE(seq)) {
        PrefetchLine(PySequence_Fast_ITEMS(seq)[i + kLookAhead]);
      }
      PyObject* item = PySequence_Fast_ITEMS(seq)[i];
      if (PyLong_CheckExact(item)) {
        const long long token = PyLong_AsLongLong(item);
        if (token == -1 && PyErr_Occurred()) {
          PyErr_Clear();
          return false;
        }
        value.values.push_back(token);
        value.objects.push_back(item);
      } else {
        only_ints = false;
        make_caster<long long> element;
        object hold = reinterpret_borrow<object>(item);
        if (!element.load(hold, convert)) return false;
        value.values.push_back(cast_op<long long>(element));
        value.objects.push_back(nullptr);
      }
    }
    // Elements seen before Python code ran may have left the container.
    if (!only_ints) std::fill(value.objects.begin(), value.objects.end(), nullptr);
    value.owner = reinterpret_borrow<object>(src);
    return true;
  }

 private:
  bool LoadOther(handle src, bool convert) {
    make_caster<std::vector<long long>> list;
    if (!list.load(src, convert)) return false;
    for (long long token : cast_op<std::vector<long long>&>(list)) {
      value.values.push_back(token);
      value.objects.push_back(nullptr);
    }
    return true;
  }
};

template <>
struct type_caster<bm25_binding::StrWeights> {
  PYBIND11_TYPE_CASTER(bm25_binding::StrWeights,
                       (make_caster<std::map<std::string, double>>::name));
  static handle cast(bm25_binding::StrWeights&& src, return_value_policy, handle) {
    return src.dict.release();
  }
  bool load(handle, bool) { return false; }
};

template <>
struct type_caster<bm25_binding::IdWeights> {
  PYBIND11_TYPE_CASTER(bm25_binding::IdWeights, (make_caster<std::map<long long, double>>::name));
  static handle cast(bm25_binding::IdWeights&& src, return_value_policy, handle) {
    return src.dict.release();
  }
  bool load(handle, bool) { return false; }
};

}  // namespace detail
}  // namespace pybind11

namespace korva {
namespace typing {
namespace text {
namespace pybind {

namespace {

using IndexedWeight = BM25::IndexedWeight;

using norvane::NewDict;

// Holds a reference to each token object that becomes a key, for as long as
// the result is built: creating the dict may run a collection, whose
// finalisers could empty the caller's list and free its elements.
class KeyRefs {
 public:
  KeyRefs(const IndexedWeight* weights, size_t count, PyObject* const* objects)
      : weights_(weights), count_(count), objects_(objects) {
    for (size_t i = 0; i < count_; ++i) Py_XINCREF(objects_[weights_[i].first]);
  }
  ~KeyRefs() {
    for (size_t i = 0; i < count_; ++i) Py_XDECREF(objects_[weights_[i].first]);
  }
  KeyRefs(const KeyRefs&) = delete;
  KeyRefs& operator=(const KeyRefs&) = delete;

 private:
  const IndexedWeight* weights_;
  size_t count_;
  PyObject* const* objects_;
};

// Builds the result dict in the weights' (ascending key) order. A token's own
// object is the key when it has one; otherwise a key is made from the
// converted token, as pybind11 would (a str from UTF-8, strict; an int).
template <typename MakeKey>
py::dict ToDict(const IndexedWeight* weights, size_t count, PyObject* const* objects,
                MakeKey make_key) {
  const KeyRefs refs(weights, count, objects);
  py::dict out = NewDict(count);
  for (size_t i = 0; i < count; ++i) {
    const size_t first = weights[i].first;
    PyObject* own = objects[first];
    py::object made;
    if (own == nullptr) {
      made = py::reinterpret_steal<py::object>(make_key(first));
      if (!made) throw py::error_already_set();
      own = made.ptr();
    }
    py::object weight = py::reinterpret_steal<py::object>(PyFloat_FromDouble(weights[i].second));
    if (!weight || PyDict_SetItem(out.ptr(), own, weight.ptr()) != 0) {
      throw py::error_already_set();
    }
  }
  return out;
}

StrWeights ToWeights(const IndexedWeight* weights, size_t count, const StrTokens& tokens) {
  return {ToDict(weights, count, tokens.objects.data(), [&](size_t i) {
    const std::string_view token = tokens.views[i];
    return PyUnicode_DecodeUTF8(token.data(), static_cast<Py_ssize_t>(token.size()), nullptr);
  })};
}

IdWeights ToWeights(const IndexedWeight* weights, size_t count, const IdTokens& tokens) {
  return {ToDict(weights, count, tokens.objects.data(),
                 [&](size_t i) { return PyLong_FromLongLong(tokens.values[i]); })};
}

const long long* TokenData(const IdTokens& tokens) { return tokens.values.data(); }
const std::string_view* TokenData(const StrTokens& tokens) { return tokens.views.data(); }

// Runs an indexed encoder form on the tokens and builds its dict.
template <typename Tokens, typename Run>
auto Encode(const Tokens& tokens, Run encode) {
  const size_t size = tokens.objects.size();
  SmallVector<IndexedWeight, kInline> weights(size);
  const size_t count = encode(TokenData(tokens), size, weights.data());
  return ToWeights(weights.data(), count, tokens);
}

}  // namespace

void BindBM25Impl(py::module_& m) {
  // Overload order matters: the string form comes first so an empty list
  // takes it.
  py::class_<BM25, std::shared_ptr<BM25>>(m, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("train",
           [](BM25& model, const StrTokens& tokens) {
             model.train(tokens.views.data(), tokens.views.size());
           })
      .def("train",
           [](BM25& model, const IdTokens& tokens) {
             model.train(tokens.values.data(), tokens.values.size());
           })
      .def("load", &BM25::load)
      .def("dump", &BM25::dump)
      .def("encode_document",
           [](const BM25& model, const StrTokens& tokens) {
             return Encode(tokens, [&](auto... args) { return model.encode_document(args...); });
           })
      .def("encode_document",
           [](const BM25& model, const IdTokens& tokens) {
             return Encode(tokens, [&](auto... args) { return model.encode_document(args...); });
           })
      .def("encode_query",
           [](const BM25& model, const StrTokens& tokens) {
             return Encode(tokens, [&](auto... args) { return model.encode_query(args...); });
           })
      .def("encode_query", [](const BM25& model, const IdTokens& tokens) {
        return Encode(tokens, [&](auto... args) { return model.encode_query(args...); });
      });
}

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
