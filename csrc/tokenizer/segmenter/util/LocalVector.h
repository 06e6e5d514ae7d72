#pragma once
// Usage:
//   util::LocalVector<Rune> runes;  // the first 16 inside the object
//   runes.push_back(r);
//
// Thread safety: a plain container: const reads may run together, nothing
// alongside a write. Throws: std::bad_alloc when growing.
//
// The segmenter's name for the shared small vector, sized for short
// sentences and candidate lists, which then never touch the heap.

#include <cstddef>

#include "norvane/small_vector.h"

namespace korva {
namespace typing {
namespace text {
namespace util {

const size_t LOCAL_VECTOR_BUFFER_SIZE = 16;

template <class T>
using LocalVector = norvane::SmallVector<T, LOCAL_VECTOR_BUFFER_SIZE>;

}  // namespace util
}  // namespace text
}  // namespace typing
}  // namespace korva
