"""Segmenter speed and memory on the default data.

Throughput of `cut` and `cut_for_search` in MB/s of UTF-8 input, against the
floor of the work (decode the same text to code points and look each one up
once in a hash set); the speed-up of two threads sharing one Segmenter; the
construction time and the resident memory it adds per dictionary entry.

The text is generated reproducibly from the default dictionary: sentences of
dictionary words drawn by frequency, mixed with rare characters, numbers,
Latin words and punctuation, a few sentences per line.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

import common

SEED = 20261206
CLAUSE_MARKS = "，，，、；："
SENTENCE_MARKS = "。。。！？"
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def default_paths():
    """The five constructor paths of the bundled default data."""
    try:
        import norvane
    except ImportError:
        return None
    return norvane.default_paths()


def read_dictionary(path):
    """(word, frequency) of every main dictionary line."""
    words = []
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            fields = line.rstrip("\n").split(" ")
            if len(fields) == 3:
                try:
                    words.append((fields[0], float(fields[1])))
                except ValueError:
                    pass
    return words


def make_text(words, megabytes, rng):
    """Lines of realistic text, about `megabytes` MB of UTF-8 in total."""
    vocabulary = [word for word, _ in words]
    cumulative = []
    total = 0.0
    for _, frequency in words:
        total += max(frequency, 0.0)
        cumulative.append(total)
    # Characters of the dictionary in combinations it does not list: the
    # stretches the HMM has to decode.
    rare = sorted({char for word in vocabulary for char in word if char >= "\u4e00"})
    target = int(megabytes * 1e6)
    size = 0
    lines = []
    picks = iter(())

    def next_word():
        nonlocal picks
        word = next(picks, None)
        if word is None:
            picks = iter(rng.choices(vocabulary, cum_weights=cumulative, k=4096))
            word = next(picks)
        return word

    def token():
        roll = rng.random()
        if roll < 0.86:
            return next_word()
        if roll < 0.91 and rare:
            return "".join(rng.choice(rare) for _ in range(rng.randint(1, 3)))
        if roll < 0.95:
            number = str(rng.randint(0, 10 ** rng.randint(1, 6)))
            return number + rng.choice(["", "", "年", "%", ".5", "个"])
        word = "".join(rng.choice(LETTERS) for _ in range(rng.randint(2, 9)))
        return word.capitalize() if rng.random() < 0.3 else word

    while size < target:
        sentences = []
        for _ in range(rng.randint(1, 4)):
            clauses = []
            for _ in range(rng.randint(1, 4)):
                parts = [token() for _ in range(rng.randint(2, 12))]
                # Latin words and numbers are usually set off by spaces.
                clauses.append("".join(p if p[0] > "\u2000" else " " + p + " " for p in parts).strip())
            sentences.append("".join(c + rng.choice(CLAUSE_MARKS) for c in clauses[:-1]) +
                             clauses[-1] + rng.choice(SENTENCE_MARKS))
        line = "".join(sentences)
        lines.append(line)
        size += len(line.encode("utf-8"))
    return lines, size


def construct_in_fresh_process(paths):
    """Construction time and the resident memory it adds, measured in a new
    interpreter so that nothing loaded before distorts either."""
    code = (
        "import json, sys, time\n"
        "sys.path.insert(0, %r)\n"
        "import common, pynorvane\n"
        "paths = json.loads(sys.argv[1])\n"
        "before = common.rss_bytes()\n"
        "start = time.perf_counter()\n"
        "segmenter = pynorvane.Segmenter(**paths)\n"
        "seconds = time.perf_counter() - start\n"
        "rss = common.rss_bytes() - before\n"
        "common.trim_heap()\n"
        "kept = common.rss_bytes() - before\n"
        "print(json.dumps({'seconds': seconds, 'rss': rss, 'kept': kept}))\n"
    ) % os.path.dirname(os.path.abspath(__file__))
    out = subprocess.run([sys.executable, "-c", code, json.dumps(paths)], check=True,
                         stdout=subprocess.PIPE, universal_newlines=True).stdout
    return json.loads(out.splitlines()[-1])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=5.0)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--write-text", metavar="PATH",
                        help="only write the generated text there, one line per line "
                             "(input for the C++ benchmark bench_cut)")
    args = parser.parse_args(argv)

    import pynorvane

    paths = default_paths()
    if paths is None or not hasattr(pynorvane, "Segmenter"):
        print("skipped: needs pynorvane.Segmenter and the default data (norvane.default_paths)")
        return
    if args.write_text:
        lines, size = make_text(read_dictionary(paths["dict_path"]), args.megabytes,
                                random.Random(SEED))
        with open(args.write_text, "w", encoding="utf-8") as out:
            out.write("\n".join(lines) + "\n")
        print("wrote %d lines, %.1f MB" % (len(lines), size / 1e6))
        return
    floor = common.load_floor()

    common.header("Segmenter construction and memory")
    entries = len(read_dictionary(paths["dict_path"]))
    full = construct_in_fresh_process(paths)
    with tempfile.TemporaryDirectory() as folder:
        # The same dictionary and model with one-line keyword files: the
        # memory of the dictionary alone.
        small = dict(paths)
        for key in ("idf_path", "stop_word_path"):
            small[key] = os.path.join(folder, key + ".txt")
            with open(small[key], "w", encoding="utf-8") as out:
                out.write("的 1.0\n" if key == "idf_path" else "的\n")
        dictionary = construct_in_fresh_process(small)
    best = min(full["seconds"], common.best_time(lambda: pynorvane.Segmenter(**paths),
                                                 args.repeat, clock=time.perf_counter))
    common.row("construction (fresh process)", full["seconds"] * 1000, "ms")
    common.row("construction (best, warm)", best * 1000, "ms", "(target <= 500: %s)"
               % ("met" if best <= 0.5 else "MISSED"))
    common.row("dictionary entries", entries, "")
    # "kept": after freed loading buffers went back to the system.
    common.row("resident memory added", full["rss"] / 2 ** 20, "MiB",
               "(kept %.1f MiB)" % (full["kept"] / 2 ** 20))
    common.row("  per dictionary entry", full["rss"] / entries, "bytes",
               "(kept %.0f)" % (full["kept"] / entries))
    common.row("dictionary and model alone", dictionary["rss"] / 2 ** 20, "MiB",
               "(kept %.1f MiB)" % (dictionary["kept"] / 2 ** 20))
    per_entry = dictionary["kept"] / entries
    common.row("  per dictionary entry, kept", per_entry, "bytes",
               "(target <= 150: %s; %.0f before trimming)"
               % ("met" if per_entry <= 150 else "MISSED", dictionary["rss"] / entries))

    segmenter = pynorvane.Segmenter(**paths)
    words = read_dictionary(paths["dict_path"])
    lines, size = make_text(words, args.megabytes, random.Random(SEED))
    mb = size / 1e6
    common.header("Segmenter throughput: %d lines, %.1f MB of UTF-8" % (len(lines), mb))
    scanner = floor.Scanner("".join(word for word, _ in words))
    floor_rate = mb / common.best_time(common.run_each(scanner.scan, lines), args.repeat)
    common.row("floor (decode + one lookup/char)", floor_rate, "MB/s")
    common.ratio("2-thread speed-up of sha256 (control)", common.sha256_control(args.repeat))
    wall = time.perf_counter
    chunks = ["".join(lines[i:i + 100]) for i in range(0, len(lines), 100)]
    for name, fn, target in (("cut", segmenter.cut, 30), ("cut_for_search", segmenter.cut_for_search, 20)):
        rate = mb / common.best_time(common.run_each(fn, lines), args.repeat)
        common.row(name, rate, "MB/s", "(target >= %d: %s)" % (target, "met" if rate >= target else "MISSED"))
        common.ratio(name + " time over floor", floor_rate / rate)
        # Threads are compared in wall time, one thread measured alike.
        one = common.best_time(common.run_each(fn, lines), args.repeat, clock=wall)
        two = common.best_time(common.run_threaded(fn, lines, 2), args.repeat, clock=wall)
        common.row(name + ", 2 threads", mb / two, "MB/s", "(1 thread, wall: %.1f MB/s)" % (mb / one))
        common.ratio(name + " 2-thread speed-up", one / two, 1.8)
        # Long texts: the work under the interpreter lock (the call, the
        # result list) is then a small part of each call.
        one = common.best_time(common.run_each(fn, chunks), args.repeat, clock=wall)
        two = common.best_time(common.run_threaded(fn, chunks, 2), args.repeat, clock=wall)
        common.ratio(name + " same, 100-line texts", one / two)


if __name__ == "__main__":
    main()
