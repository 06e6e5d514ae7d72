#pragma once

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
