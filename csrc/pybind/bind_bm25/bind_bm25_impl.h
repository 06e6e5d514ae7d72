#pragma once
// Usage (bind_bm25.cc): BindBM25Impl(m);  // pynorvane.BM25
//
// Thread safety: called once, while the module is imported, lock held. The
// bound methods hold the interpreter lock throughout, which BM25 relies on.
// Throws: whatever pybind11 throws while registering a class; the bound
// methods raise Python exceptions with BM25's texts.

#include <pybind11/pybind11.h>

namespace korva {
namespace typing {
namespace text {
namespace pybind {

void BindBM25Impl(pybind11::module_& m);

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
