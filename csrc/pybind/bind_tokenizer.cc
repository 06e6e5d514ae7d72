#include "pybind/bind_tokenizer.h"

namespace korva {
namespace typing {
namespace text {
namespace pybind {

// The segmenter class is registered here once it exists.
void BindTokenizder(pybind11::module_& m) { (void)m; }

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
