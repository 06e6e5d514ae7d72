#pragma once
// Usage (bind.cc): korva::typing::text::pybind::BindTokenizder(m);
//
// Thread safety: called once, while the module is imported, lock held.
// Throws: whatever pybind11 throws while registering a class.

#include <pybind11/pybind11.h>

namespace korva {
namespace typing {
namespace text {
namespace pybind {

void BindTokenizder(pybind11::module_& m);

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
