#!/usr/bin/env bash
# Installs what the tests need, builds and runs the C++ unit tests, installs
# the package and runs the Python tests. Fails on the first failing step.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq libgtest-dev >/dev/null
  else
    echo "GoogleTest is missing: install libgtest-dev" >&2
    exit 1
  fi
fi

"$PYTHON" -m pip install -q --upgrade "cmake>=3.18" ninja
"$PYTHON" -m pip install -q ".[test]"

cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DNORVANE_BUILD_TESTS=ON -DNORVANE_BUILD_MODULE=OFF >/dev/null
cmake --build build/cpp -j2
ctest --test-dir build/cpp --output-on-failure -j2

# Run from outside the source tree so the installed module is the one tested.
cd tests
"$PYTHON" -m pytest -q .
