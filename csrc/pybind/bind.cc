#include <pybind11/pybind11.h>

#include "pybind/bind_bm25.h"
#include "pybind/bind_tokenizer.h"

namespace korva {
namespace typing {
namespace pybind {

PYBIND11_MODULE(pynorvane, m) {
  text::pybind::BindBM25(m);
  text::pybind::BindTokenizder(m);
}

}  // namespace pybind
}  // namespace typing
}  // namespace korva
