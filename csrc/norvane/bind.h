#pragma once
// Usage (bind_module.cc):
//   PYBIND11_MODULE(_core, m) { norvane::BindTokenizer(m); }
//
// Thread safety: called once, while the module is imported.
// Throws: whatever pybind11 throws while registering a class.
//
// One Bind function per component of norvane._core.

#include <pybind11/pybind11.h>

#include "pybind/unlocked.h"

namespace norvane {

using korva::typing::text::pybind::Unlocked;

// _core.Tokenizer, holding a std::shared_ptr<norvane::Tokenizer>: other
// bindings of this module take that holder to share the C++ object.
void BindTokenizer(pybind11::module_& m);

// _core.SparseEncoder over a _core.Tokenizer, and _core.murmur3.
void BindEncoder(pybind11::module_& m);

// _core.PostingSegment, _core.search_segments and _core.merge_segments: the
// local store's inverted index.
void BindPostings(pybind11::module_& m);

}  // namespace norvane
