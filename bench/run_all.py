"""Runs every benchmark of pynorvane and prints its figures.

    python bench/run_all.py            # full sizes, a few minutes
    python bench/run_all.py --quick    # small sizes, a smoke run

The installed `pynorvane` is measured (install it first with `pip install .`);
the floor helper module is built on the way with CMake.
"""

import argparse
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))

# Each entry: script, arguments for a full run, arguments for a quick run.
BENCHMARKS = [
    ("bench_bm25.py", [], ["--docs", "5000", "--queries", "5000", "--baseline-docs", "2000",
                           "--repeat", "1"]),
    ("bench_segmenter.py", [], ["--megabytes", "0.5", "--repeat", "1"]),
    ("bench_tokenizer.py", [], ["--megabytes", "0.3", "--repeat", "1"]),
    ("bench_model_file.py", [], ["--tokens", "100000", "--repeat", "1"]),
    ("bench_index.py", [], ["--docs", "5000", "--queries", "200"]),
]


def main():
    parser = argparse.ArgumentParser(description="Run every pynorvane benchmark.")
    parser.add_argument("--quick", action="store_true", help="small sizes, for a smoke run")
    parser.add_argument("only", nargs="*", help="run only these scripts (e.g. bench_bm25.py)")
    args = parser.parse_args()

    failed = []
    start = time.perf_counter()
    for script, full, quick in BENCHMARKS:
        if args.only and script not in args.only:
            continue
        path = os.path.join(HERE, script)
        if not os.path.exists(path):
            print("\n(skipping %s: not present)" % script, flush=True)
            continue
        print("\n# %s" % script, flush=True)
        # A process per benchmark keeps their memory figures apart.
        result = subprocess.run([sys.executable, path] + (quick if args.quick else full))
        if result.returncode != 0:
            failed.append(script)
    print("\nall benchmarks: %.0f s" % (time.perf_counter() - start))
    if failed:
        sys.exit("failed: " + ", ".join(failed))


if __name__ == "__main__":
    main()
