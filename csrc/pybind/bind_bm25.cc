#include "pybind/bind_bm25.h"

#include "pybind/bind_bm25/bind_bm25_impl.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

void BindBM25(pybind11::module_& m) { BindBM25Impl(m); }

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
