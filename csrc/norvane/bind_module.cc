#include <pybind11/pybind11.h>

#include "norvane/bind.h"

PYBIND11_MODULE(_core, m) {
  m.doc() = "Native parts of the norvane toolkit; use the norvane package instead.";
  norvane::BindTokenizer(m);
  norvane::BindEncoder(m);
  norvane::BindPostings(m);
}
