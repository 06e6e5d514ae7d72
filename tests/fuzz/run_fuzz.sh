#!/usr/bin/env bash
# Runs every libFuzzer target (or the ones named) for SECONDS each, one after
# the other, on one core. Builds them first (clang, ASan + UBSan) in
# $BUILD_DIR, default build/asan. New inputs go to $BUILD_DIR/corpus/NAME; the
# seeds in tests/fuzz/corpus/NAME are read but never written. A crash leaves
# its input in $BUILD_DIR/artifacts and makes the script fail.
#
#   tests/fuzz/run_fuzz.sh 60                # every target, 60 s each
#   tests/fuzz/run_fuzz.sh 600 json_fuzz     # one target
set -euo pipefail
cd "$(dirname "$0")/../.."

SECONDS_EACH=${1:?usage: run_fuzz.sh SECONDS [TARGET...]}
shift
BUILD_DIR=${BUILD_DIR:-build/asan}

if [ ! -f "$BUILD_DIR/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DNORVANE_SANITIZE=ON -DNORVANE_BUILD_FUZZ=ON -DNORVANE_BUILD_TESTS=ON \
    -DNORVANE_BUILD_MODULE=OFF >/dev/null
fi

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in tests/fuzz/*_fuzz.cc; do
    targets+=("$(basename "$source" .cc)")
  done
fi
cmake --build "$BUILD_DIR" -j2 --target "${targets[@]}"

mkdir -p "$BUILD_DIR/artifacts"
for name in "${targets[@]}"; do
  work="$BUILD_DIR/corpus/$name"
  mkdir -p "$work"
  args=("$work")
  [ -d "tests/fuzz/corpus/$name" ] && args+=("tests/fuzz/corpus/$name")
  [ -f "tests/fuzz/$name.dict" ] && args+=("-dict=tests/fuzz/$name.dict")
  echo "== $name: ${SECONDS_EACH}s"
  # halt_on_error keeps UBSan findings fatal; the leak check runs at exit.
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "$BUILD_DIR/tests/fuzz/$name" "${args[@]}" \
    -max_total_time="$SECONDS_EACH" -timeout=20 -rss_limit_mb=2560 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$BUILD_DIR/artifacts/$name-" 2>"$BUILD_DIR/$name.log" \
    || { tail -n 60 "$BUILD_DIR/$name.log"; echo "fuzz target $name failed" >&2; exit 1; }
  grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' "$BUILD_DIR/$name.log" || true
done
