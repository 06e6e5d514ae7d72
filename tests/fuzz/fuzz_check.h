#pragma once

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>

// Unlike assert, stays on in release builds and names the broken property, so
// the fuzzer reports a violated invariant as a crash with a readable reason.
#define FUZZ_CHECK(cond)                                                                  \
  do {                                                                                    \
    if (!(cond)) {                                                                        \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (0)

// Log records and parser lines go through std::cerr; hostile inputs produce
// them by the thousand, which slows the fuzzer down and buries its own output
// (written with stdio, so unaffected). FUZZ_LOGS=1 keeps them, for
// reproducing a single input.
inline void SilenceLogsUnlessAsked() {
  struct NullBuffer : std::streambuf {
    int overflow(int c) override { return traits_type::not_eof(c); }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
  };
  static NullBuffer null_buffer;
  const char* keep = std::getenv("FUZZ_LOGS");
  if (keep == nullptr || keep[0] != '1') std::cerr.rdbuf(&null_buffer);
}
