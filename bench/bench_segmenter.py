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
import os
import random
import sys
import threading
import time

import common

SEED = 20261206
CLAUSE_MARKS = "，，，、；："
SENTENCE_MARKS = "。。。！？"
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def default_paths():
    """The five constructor paths of the bundled default data."""
    try:
        import pynorvane_data
    except ImportError:
        return None
    return pynorvane_data.default_paths()


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


def cut_all(fn, lines):
    def run():
        for line in lines:
            fn(line)
    return run


def threaded(fn, lines, threads):
    chunks = [lines[i::threads] for i in range(threads)]

    def run():
        workers = [threading.Thread(target=cut_all(fn, chunk)) for chunk in chunks]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()
    return run


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=5.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    import pynorvane

    paths = default_paths()
    if paths is None or not hasattr(pynorvane, "Segmenter"):
        print("skipped: needs pynorvane.Segmenter and the default data (pynorvane_data)")
        return
    floor = common.load_floor()

    common.header("Segmenter construction and memory")
    rss_before = common.rss_bytes()
    start = time.perf_counter()
    segmenter = pynorvane.Segmenter(**paths)
    first = time.perf_counter() - start
    rss_added = common.rss_bytes() - rss_before
    entries = len(read_dictionary(paths["dict_path"]))
    best = min(first, common.best_time(lambda: pynorvane.Segmenter(**paths), args.repeat - 1)
               if args.repeat > 1 else first)
    common.row("construction (first)", first * 1000, "ms")
    common.row("construction (best)", best * 1000, "ms")
    common.ratio("construction / 0.5 s", best / 0.5, 1, higher_is_better=False)
    common.row("dictionary entries", entries, "")
    common.row("resident memory added", rss_added / 2 ** 20, "MiB")
    common.row("per dictionary entry", rss_added / entries, "bytes", "(target <= 150)")

    words = read_dictionary(paths["dict_path"])
    lines, size = make_text(words, args.megabytes, random.Random(SEED))
    mb = size / 1e6
    common.header("Segmenter throughput: %d lines, %.1f MB of UTF-8" % (len(lines), mb))
    scanner = floor.Scanner("".join(word for word, _ in words))
    floor_rate = mb / common.best_time(cut_all(scanner.scan, lines), args.repeat)
    common.row("floor (decode + one lookup/char)", floor_rate, "MB/s")
    for name, fn, target in (("cut", segmenter.cut, 30), ("cut_for_search", segmenter.cut_for_search, 20)):
        one = common.best_time(cut_all(fn, lines), args.repeat)
        two = common.best_time(threaded(fn, lines, 2), args.repeat)
        rate = mb / one
        common.row(name, rate, "MB/s", "(target >= %d: %s)" % (target, "met" if rate >= target else "MISSED"))
        common.ratio(name + " time over floor", floor_rate / rate)
        common.row(name + ", 2 threads", mb / two, "MB/s")
        common.ratio(name + " 2-thread speed-up", one / two, 1.8)


if __name__ == "__main__":
    main()
