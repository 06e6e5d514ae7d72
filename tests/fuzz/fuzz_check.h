#pragma once

#include <cstdio>
#include <cstdlib>

// Unlike assert, stays on in release builds and names the broken property, so
// the fuzzer reports a violated invariant as a crash with a readable reason.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)
