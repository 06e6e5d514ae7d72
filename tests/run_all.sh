#!/usr/bin/env bash
# Runs every test: the C++ unit tests, the same under AddressSanitizer and
# UBSan, a few seconds of each fuzz target, the threaded test under
# ThreadSanitizer, the Python tests against the installed package, the
# Python tests again against both extensions built with AddressSanitizer,
# then a wheel per Python (3.11, 3.12) in a fresh venv with every extra.
# Missing system packages are installed with apt when run as root; without
# root a stage whose tools are missing is reported as skipped. Every stage
# runs even when an earlier one fails, and the last line sums them all up.
#
#   bash tests/run_all.sh                 # NORVANE_FUZZ_SECONDS=5 by default
set -uo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
LOGS=build/run_all
mkdir -p "$LOGS"
passed=0 failed=0 skipped=0
report=()

# The newest clang++ on PATH: plain clang++ first, else clang++-NN.
find_clang() {
  if command -v clang++ >/dev/null; then
    echo clang++
    return
  fi
  compgen -c clang++- | grep -E '^clang\+\+-[0-9]+$' | sort -t- -k2 -n | tail -n 1
}

# Whether $1 links a program with the sanitizer runtimes and libFuzzer: a
# probe build finds the runtimes wherever this clang version keeps them.
clang_has_runtimes() {
  local probe=$LOGS/probe
  printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' \
    >"$probe.cc"
  "$1" -fsanitize=fuzzer,address,undefined "$probe.cc" -o "$probe.fuzz" 2>/dev/null &&
    printf 'int main() { return 0; }\n' >"$probe.cc" &&
    "$1" -fsanitize=thread "$probe.cc" -o "$probe.tsan" 2>/dev/null
}

apt_install() {
  [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null || return 1
  export DEBIAN_FRONTEND=noninteractive
  if [ -z "${apt_updated:-}" ]; then
    apt-get update -qq && apt_updated=1
  fi
  apt-get install -y -qq "$@" >/dev/null
}

have_gtest() { [ -f /usr/include/gtest/gtest.h ] || [ -f /usr/local/include/gtest/gtest.h ]; }
have_gtest || apt_install libgtest-dev || true

CLANGXX=$(find_clang)
if [ -z "$CLANGXX" ]; then
  apt_install clang || true
  CLANGXX=$(find_clang)
fi
if [ -n "$CLANGXX" ] && ! clang_has_runtimes "$CLANGXX"; then
  # Debian splits the runtimes of clang N into libclang-rt-N-dev.
  major=$("$CLANGXX" -dumpversion | cut -d. -f1)
  apt_install "libclang-rt-$major-dev" || true
fi
if [ -n "$CLANGXX" ] && clang_has_runtimes "$CLANGXX"; then
  CLANGC=${CLANGXX/clang++/clang}
else
  echo "No clang with sanitizer and libFuzzer runtimes: instrumented stages skipped" >&2
  CLANGXX=
fi

# Adds the counts of a finished stage. Args: name, exit code, log, kind.
count() {
  local name=$1 rc=$2 log=$3 kind=$4 p=0 f=0 s=0 line
  case $kind in
    ctest)
      # "100% tests passed out of 13", "92% tests passed, 1 tests failed out of 13"
      line=$(grep -E '% tests passed.* out of [0-9]+' "$log" | tail -n 1)
      if [ -n "$line" ]; then
        f=$(grep -oE '[0-9]+ tests? failed' <<<"$line" | grep -oE '^[0-9]+' || echo 0)
        p=$(($(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line") - f))
      fi ;;
    pytest)
      line=$(grep -E '^=*.*[0-9]+ (passed|failed|error)' "$log" | tail -n 1)
      p=$(grep -oE '[0-9]+ passed' <<<"$line" | grep -oE '[0-9]+' || echo 0)
      f=$(($(grep -oE '[0-9]+ (failed|errors?)' <<<"$line" | grep -oE '[0-9]+' | paste -sd+ - | sed 's/^$/0/') + 0))
      s=$(grep -oE '[0-9]+ skipped' <<<"$line" | grep -oE '[0-9]+' || echo 0) ;;
    fuzz)
      p=$(grep -c '^== .*_fuzz: ' "$log") ;;
    gtest)
      p=$(($(grep -oE '^\[  PASSED  \] [0-9]+' "$log" | grep -oE '[0-9]+$' | paste -sd+ -) + 0))
      f=$(($(grep -oE '^\[  FAILED  \] [0-9]+ tests?, listed' "$log" | grep -oE '[0-9]+' | paste -sd+ -) + 0)) ;;
    single)
      [ "$rc" = 0 ] && p=1 ;;
  esac
  # A stage that failed without naming a failing test (a build error, a
  # crash) counts as one failure.
  if [ "$rc" != 0 ] && [ "$f" = 0 ]; then
    f=1
    [ "$kind" = fuzz ] && [ "$p" -gt 0 ] && p=$((p - 1))
  fi
  passed=$((passed + p)) failed=$((failed + f)) skipped=$((skipped + s))
  report+=("$(printf '%-10s %s passed, %s failed, %s skipped (log: %s)' "$name" "$p" "$f" "$s" "$log")")
}

# Runs a stage's commands (a shell function), its output into a log and on
# the terminal. Args: name, kind, function.
stage() {
  local name=$1 kind=$2 log=$LOGS/$1.log rc
  echo "== $name"
  "$3" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  count "$name" "$rc" "$log" "$kind"
}

skip() {
  echo "== $1: skipped ($2)"
  skipped=$((skipped + 1))
  report+=("$(printf '%-10s skipped: %s' "$1" "$2")")
}

# The build requirements installed next to the package let a second run
# reuse build/: an isolated build environment is new on every install, and
# the build backend then starts over with an empty build folder.
install_package() {
  set -e
  "$PYTHON" -m pip install -q --upgrade "cmake>=3.18" ninja "scikit-build-core>=0.10,<2" \
    "pybind11>=2.12,<4"
  "$PYTHON" -m pip install -q --no-build-isolation ".[test,milvus,dask,langchain,llamaindex]"
}

cpp_tests() {
  set -e
  cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DNORVANE_BUILD_TESTS=ON -DNORVANE_BUILD_MODULE=OFF >/dev/null
  cmake --build build/cpp -j2
  ctest --test-dir build/cpp --output-on-failure -j2
}

asan_build() {
  set -e
  CC=$CLANGC CXX=$CLANGXX cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNORVANE_SANITIZE=ON -DNORVANE_BUILD_FUZZ=ON -DNORVANE_BUILD_TESTS=ON \
    -DNORVANE_BUILD_MODULE=OFF >/dev/null
  cmake --build build/asan -j2
}

asan_tests() {
  set -e
  asan_build
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --test-dir build/asan --output-on-failure -j2
}

fuzz() {
  BUILD_DIR=build/asan bash tests/fuzz/run_fuzz.sh "${NORVANE_FUZZ_SECONDS:-5}"
}

# The threaded tests: cuts on one segmenter share no written state; encoders
# encode while another thread fits.
tsan_threads() {
  local failures=0
  CC=$CLANGC CXX=$CLANGXX cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS="-fsanitize=thread -g" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
    -DNORVANE_BUILD_TESTS=ON -DNORVANE_BUILD_MODULE=OFF >/dev/null &&
    cmake --build build/tsan -j2 --target threads_test sparse_encoder_test norvane_tokenizer_test \
    || return 1
  for test in threads_test sparse_encoder_test norvane_tokenizer_test; do
    TSAN_OPTIONS=halt_on_error=1 "build/tsan/$test" || failures=$((failures + 1))
  done
  [ "$failures" = 0 ]
}

# An interpreter of minor version $1: on PATH, else one pyenv keeps.
find_python() {
  local p
  p=$(command -v "python$1" 2>/dev/null) && "$p" -c '' 2>/dev/null && { echo "$p"; return; }
  for p in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1"; do
    [ -x "$p" ] && { echo "$p"; return; }
  done
}

# A wheel per interpreter, installed with every extra into a fresh venv
# without a compiler, indexes and searches on the default store.
fresh_venvs() {
  local pythons=() v p
  for v in 3.11 3.12; do
    p=$(find_python "$v")
    if [ -n "$p" ]; then pythons+=("$p"); else echo "no python$v here"; fi
  done
  [ ${#pythons[@]} -gt 0 ] && WHEEL_DIR=build/wheels bash tools/build_wheels.sh "${pythons[@]}"
}

# From outside the source tree, so the installed module is the one tested.
python_tests() {
  cd tests && "$PYTHON" -m pytest -q -p no:cacheprovider .
}

# The Python tests against both extensions built with AddressSanitizer and
# UBSan, so a fault reached only from Python fails too. gcc, whose runtime is
# preloaded into the uninstrumented interpreter; the install rules lay out
# the staged packages as a wheel would. Tests that drive Milvus Lite are
# left out: its server, started from the interpreter, does not start with
# the runtime preloaded, and they test the index rather than the extensions.
asan_python() {
  set -e
  local build=build/asan-py stage runtime
  stage=$PWD/$build/stage
  # libstdc++ too: the runtime finds the C++ throw it wraps only in a library
  # loaded before the extensions.
  runtime="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
  CC=gcc CXX=g++ cmake -S . -B $build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNORVANE_SANITIZE=ON -DNORVANE_BUILD_MODULE=ON -DPython_EXECUTABLE="$(command -v "$PYTHON")" \
    -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" >/dev/null
  cmake --build $build -j2 --target pynorvane _core
  rm -rf "$stage"
  cmake --install $build --prefix "$stage" >/dev/null
  # Reports go to files: pytest captures standard error, and a process the
  # sanitizer ends never hands it back. CPython leaks at exit by design,
  # hence no leak check.
  local reports=$PWD/$build/reports rc=0
  rm -rf "$reports"
  mkdir -p "$reports"
  cd tests
  local file ignore=()
  for file in $(grep -lE "milvus|SearchIndex|norvane\.index|norvane\.dask" test_*.py); do
    ignore+=("--ignore=$file")
  done
  export PYTHONPATH=$stage LD_PRELOAD="$runtime" \
    ASAN_OPTIONS=detect_leaks=0:log_path=$reports/asan \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan
  "$PYTHON" -c 'import sys, norvane, pynorvane
for m in (norvane, norvane._core, pynorvane):
    assert m.__file__.startswith(sys.argv[1]), m.__file__' "$stage"
  "$PYTHON" -m pytest -q -p no:cacheprovider "${ignore[@]}" . || rc=$?
  if compgen -G "$reports/*" >/dev/null; then
    cat "$reports"/*
    [ "$rc" != 0 ] || rc=1
  fi
  return "$rc"
}

stage install single install_package
if have_gtest; then
  stage cpp ctest cpp_tests
else
  skip cpp "GoogleTest headers not found"
fi
if [ -n "$CLANGXX" ] && have_gtest; then
  stage asan ctest asan_tests
  stage fuzz fuzz fuzz
  stage tsan gtest tsan_threads
else
  skip asan "needs clang runtimes and GoogleTest"
  skip fuzz "needs clang runtimes"
  skip tsan "needs clang runtimes and GoogleTest"
fi
stage python pytest python_tests
if command -v g++ >/dev/null && [ -f "$(g++ -print-file-name=libasan.so)" ]; then
  stage asan-py pytest asan_python
else
  skip asan-py "needs g++ with its AddressSanitizer runtime"
fi
stage wheels single fresh_venvs

echo
printf '%s\n' "${report[@]}"
echo "run_all: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
