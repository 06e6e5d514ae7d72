#include "pybind/bind_bm25/bind_bm25_impl.h"

#include <pybind11/stl.h>

#include <memory>

#include "search/bm25/bm25.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

namespace py = pybind11;

void BindBM25Impl(py::module_& m) {
  using Strings = std::vector<std::string>;
  using Ids = std::vector<long long>;
  // Overload order matters: the string form comes first so an empty list
  // takes it.
  py::class_<BM25, std::shared_ptr<BM25>>(m, "BM25")
      .def(py::init<double, double>(), py::arg("b") = 0.75, py::arg("k1") = 1.2)
      .def("train", py::overload_cast<const Strings&>(&BM25::train))
      .def("train", py::overload_cast<const Ids&>(&BM25::train))
      .def("load", &BM25::load)
      .def("dump", &BM25::dump)
      .def("encode_document", py::overload_cast<const Strings&>(&BM25::encode_document))
      .def("encode_document", py::overload_cast<const Ids&>(&BM25::encode_document))
      .def("encode_query", py::overload_cast<const Strings&>(&BM25::encode_query))
      .def("encode_query", py::overload_cast<const Ids&>(&BM25::encode_query));
}

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
