#pragma once
// Usage (a binding function, lock held):
//   Unlocked([&] { segmenter.Cut(text, words); });  // runs without the lock
//
// Thread safety: call with the interpreter lock held; work() runs without it
// and must not touch Python objects. A daemon thread whose work ends while
// the interpreter shuts down never returns (the process ends around it).
// Throws: whatever work() throws, with the lock held again.
//
// Shared by the bindings of pynorvane and norvane._core.

#include <Python.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/syscall.h>
#endif

namespace korva {
namespace typing {
namespace text {
namespace pybind {

// Whether the calling thread is the one the process started with.
inline bool IsFirstThread() {
#ifdef __linux__
  return syscall(SYS_gettid) == getpid();
#else
  return true;  // unknown: no thread is held, they unwind
#endif
}

// Takes the lock back. Once the interpreter shuts down, taking it back ends
// any thread but the one that shuts it down (the process's first thread) by
// unwinding its stack, through noexcept destructors (pybind11's
// gil_scoped_release: the process aborts) and past Python references that
// must not be released without the lock. Such a daemon thread waits instead
// until the process ends, as Python 3.14 itself does. The shutdown may begin
// between the check and the call: the unwinding is then stopped right here,
// and the thread waits inside the handler (leaving it would end the process).
[[noreturn]] inline void WaitForExit() {
  for (;;) pause();
}

inline void Relock(PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030D0000
  const bool finalizing = Py_IsFinalizing();
#else
  const bool finalizing = _Py_IsFinalizing();
#endif
  if (finalizing && !IsFirstThread()) WaitForExit();
  try {
    PyEval_RestoreThread(state);
  } catch (...) {
    WaitForExit();
  }
}

template <class Work>
void Unlocked(const Work& work) {
  PyThreadState* state = PyEval_SaveThread();
  try {
    work();
  } catch (...) {
    Relock(state);
    throw;
  }
  Relock(state);
}

}  // namespace pybind
}  // namespace text
}  // namespace typing
}  // namespace korva
