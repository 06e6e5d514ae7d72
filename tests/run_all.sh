#!/usr/bin/env bash
# Installs what the tests need, builds and runs the C++ unit tests, installs
# the package and runs the Python tests. Fails on the first failing step.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}

missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
# clang with its sanitizer and libFuzzer runtimes, for the instrumented build.
command -v clang++ >/dev/null || missing+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 \
  || missing+=(libclang-rt-14-dev)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "Missing system packages: ${missing[*]}" >&2
    exit 1
  fi
fi

"$PYTHON" -m pip install -q --upgrade "cmake>=3.18" ninja
"$PYTHON" -m pip install -q ".[test]"

cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DNORVANE_BUILD_TESTS=ON -DNORVANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure -j2

# The same tests under AddressSanitizer + UBSan (leaks are checked at exit),
# then a few seconds of every fuzz target on that instrumented build.
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNORVANE_SANITIZE=ON -DNORVANE_BUILD_FUZZ=ON -DNORVANE_BUILD_TESTS=ON \
  -DNORVANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/asan -j2
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j2
BUILD_DIR=build/asan bash tests/fuzz/run_fuzz.sh "${NORVANE_FUZZ_SECONDS:-5}"
# The threaded tests under ThreadSanitizer: cuts on one segmenter share no
# written state; encoders encode while another thread fits.
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DNORVANE_BUILD_TESTS=ON -DNORVANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/tsan -j2 --target threads_test sparse_encoder_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/threads_test
TSAN_OPTIONS=halt_on_error=1 build/tsan/sparse_encoder_test

# Run from outside the source tree so the installed module is the one tested.
cd tests
"$PYTHON" -m pytest -q .
