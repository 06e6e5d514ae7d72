"""Shared helpers of the benchmarks: the floor module, timing and reporting."""

import ctypes
import gc
import hashlib
import importlib
import os
import shutil
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FLOOR_BUILD_DIR = os.path.join(ROOT, "build", "bench")


def load_floor():
    """Builds (if needed) and imports the do-nothing helper module.

    It is compiled by the project's CMake file with the extension module's own
    flags, against the running interpreter.
    """
    if FLOOR_BUILD_DIR not in sys.path:
        sys.path.insert(0, FLOOR_BUILD_DIR)
    try:
        import pybind11
    except ImportError:
        sys.exit("the benchmarks need pybind11: pip install pybind11")
    configure = [
        "cmake", "-S", ROOT, "-B", FLOOR_BUILD_DIR, "-DCMAKE_BUILD_TYPE=Release",
        "-DNORVANE_BUILD_BENCH=ON", "-DNORVANE_BUILD_MODULE=OFF",
        "-DPython_EXECUTABLE=" + sys.executable,
        "-Dpybind11_DIR=" + pybind11.get_cmake_dir(),
    ]
    fresh = not os.path.exists(os.path.join(FLOOR_BUILD_DIR, "CMakeCache.txt"))
    if fresh and shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    try:
        subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", FLOOR_BUILD_DIR, "--target", "norvane_floor",
                        "-j2"], check=True, stdout=subprocess.DEVNULL)
    except (OSError, subprocess.CalledProcessError) as error:
        sys.exit("could not build the floor helper: %s" % error)
    importlib.invalidate_caches()
    return importlib.import_module("norvane_floor")


def best_time(run, repeat, clock=time.process_time):
    """Smallest time of `repeat` runs of run(); the minimum is the figure least
    disturbed by other work on a shared machine. Single-threaded work is timed
    in CPU time of this process, which other processes disturb less; pass
    clock=time.perf_counter for wall time."""
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = clock()
            run()
            best = min(best, clock() - start)
        finally:
            gc.enable()
    return best


def rss_bytes():
    """Resident set size of this process (Linux)."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def trim_heap():
    """Hands freed heap pages back to the system (glibc), so that the resident
    size shows what is kept rather than what loading once needed."""
    try:
        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def header(title):
    print("\n## " + title, flush=True)


def row(name, value, unit, *notes):
    text = "  %-34s %12s %-8s" % (name, format_number(value), unit)
    if notes:
        text += "  " + "  ".join(notes)
    print(text, flush=True)


def format_number(value):
    if value >= 100:
        return "{:,.0f}".format(value)
    if value >= 10:
        return "%.1f" % value
    return "%.2f" % value


def ratio(name, value, target=None, higher_is_better=True):
    """Prints one ratio with its target verdict."""
    note = ""
    if target is not None:
        met = value >= target if higher_is_better else value <= target
        note = "(target %s %gx: %s)" % (">=" if higher_is_better else "<=", target,
                                        "met" if met else "MISSED")
    print("  %-34s %11.2fx  %s" % (name, value, note), flush=True)


def run_each(fn, items):
    """A function that calls fn on every item in turn."""
    def run():
        for item in items:
            fn(item)
    return run


def run_threaded(fn, items, threads):
    """A function that splits items over `threads` Python threads, each
    calling fn on its share."""
    chunks = [items[i::threads] for i in range(threads)]

    def run():
        workers = [threading.Thread(target=run_each(fn, chunk)) for chunk in chunks]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    return run


def sha256_control(repeat):
    """2-thread speed-up of hashing, which releases the interpreter lock for
    large buffers: it shows whether this machine has a second core free."""
    blocks = [bytes(1 << 20)] * 64
    digest = lambda block: hashlib.sha256(block).digest()  # noqa: E731
    one = best_time(run_each(digest, blocks), repeat, clock=time.perf_counter)
    two = best_time(run_threaded(digest, blocks, 2), repeat, clock=time.perf_counter)
    return one / two
