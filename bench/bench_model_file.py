"""Time and peak memory of BM25.dump / BM25.load for a large model.

Baseline, measured in the same run: Python's json module writing and reading
the same statistics as a dict. Peak memory is measured in a fresh subprocess
per operation, from the kernel's high-water mark of resident memory (VmHWM),
which also sees native allocations.

    python bench/bench_model_file.py [--tokens 1000000] [--repeat 3]
"""

import argparse
import ctypes
import json
import os
import subprocess
import sys
import tempfile
import time

import pynorvane


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def trim_heap():
    # Hand freed heap pages back so that the resident size shows what is kept.
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except AttributeError:
        pass


def reset_peak():
    trim_heap()
    # Writing 5 to clear_refs resets VmHWM to the current resident size.
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def child(operation, path, out_path):
    """Runs one operation and prints the peak memory it added, in KiB."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    model = pynorvane.BM25()
    if operation == "dump":
        model.load(text)
        del text
    reset_peak()
    before = status_kib("VmRSS")
    if operation == "load":
        model.load(text)
    elif operation == "dump":
        model.dump(out_path)
    elif operation == "json.loads":
        data = json.loads(text)
    elif operation == "json.dumps":
        data = json.loads(text)
        reset_peak()
        before = status_kib("VmRSS")
        with open(out_path, "w", encoding="utf-8") as f:
            f.write(json.dumps(data, indent=2, ensure_ascii=False))
    peak = status_kib("VmHWM") - before
    trim_heap()
    print(peak, status_kib("VmRSS") - before)


def best_of(repeat, function):
    """Fastest of several runs; results are freed only after the clock stops."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        times.append(time.perf_counter() - start)
        del result
    return min(times)


def load_into_new_model(text):
    model = pynorvane.BM25()
    model.load(text)
    return model


def peak_kib(operation, path, out_path):
    result = subprocess.run(
        [sys.executable, __file__, "--child", operation, path, out_path],
        check=True, capture_output=True, text=True)
    peak, kept = result.stdout.split()[-2:]
    return int(peak), int(kept)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--child", nargs=3, metavar=("OPERATION", "PATH", "OUT"))
    args = parser.parse_args()
    if args.child:
        child(*args.child)
        return

    model = pynorvane.BM25()
    tokens = ["token%07d" % i for i in range(args.tokens)]
    for start in range(0, args.tokens, 10_000):
        model.train(tokens[start:start + 10_000] * 2)
    with tempfile.TemporaryDirectory() as folder:
        ours = os.path.join(folder, "model.json")
        theirs = os.path.join(folder, "python.json")
        dump_time = best_of(args.repeat, lambda: model.dump(ours))
        with open(ours, encoding="utf-8") as f:
            text = f.read()
        data = json.loads(text)

        def python_dump():
            with open(theirs, "w", encoding="utf-8") as f:
                f.write(json.dumps(data, indent=2, ensure_ascii=False))

        python_dump_time = best_of(args.repeat, python_dump)
        load_time = best_of(args.repeat, lambda: load_into_new_model(text))
        python_load_time = best_of(args.repeat, lambda: json.loads(text))
        size_kib = os.path.getsize(ours) / 1024
        peaks = {op: peak_kib(op, ours, theirs)
                 for op in ("dump", "load", "json.dumps", "json.loads")}

    print("model: %d tokens, file %.1f MiB; baseline: Python json, same data"
          % (args.tokens, size_kib / 1024))
    print("peak: highest resident memory added during the call; kept: still held after it")
    print("%-5s %8s %8s %6s %9s %9s %9s %9s %9s" % (
        "op", "ours s", "json s", "ratio", "peak MiB", "/file", "kept MiB", "json peak", "/file"))
    for name, ours_time, python_time, python_op in (
            ("dump", dump_time, python_dump_time, "json.dumps"),
            ("load", load_time, python_load_time, "json.loads")):
        (peak, kept), (python_peak, _) = peaks[name], peaks[python_op]
        print("%-5s %8.3f %8.3f %6.2f %9.1f %9.2f %9.1f %9.1f %9.2f" % (
            name, ours_time, python_time, ours_time / python_time, peak / 1024,
            peak / size_kib, kept / 1024, python_peak / 1024, python_peak / size_kib))

if __name__ == "__main__":
    main()
