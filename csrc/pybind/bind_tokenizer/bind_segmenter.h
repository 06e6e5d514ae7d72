#pragma once
// Usage (bind_tokenizer.cc): BindSegmenter(m);  // pynorvane.Segmenter
//
// Thread safety: called once, while the module is imported, lock held. The
// bound cuts release the lock while they cut.
// Throws: whatever pybind11 throws while registering a class; a refused data
// file raises RuntimeError with the loader's record.

#include <pybind11/pybind11.h>

namespace korva {
namespace typing {
namespace text {
namespace pybind {

void BindSegmenter(pybind11::module_& m);

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
