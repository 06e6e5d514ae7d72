#include "pybind/bind_tokenizer.h"

#include "pybind/bind_tokenizer/bind_segmenter.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

void BindTokenizder(pybind11::module_& m) { BindSegmenter(m); }

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
