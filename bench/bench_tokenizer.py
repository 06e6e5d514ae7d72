"""norvane.Tokenizer batch calls against one-by-one calls, on the default data.

Short lines (the segmenter benchmark's text, a few sentences per line) are
cut one by one (pynorvane.Segmenter.cut and norvane.Tokenizer.cut, one
Python thread), then as one batch on one and on two native threads. All
times are wall times, best of --repeat; the sha256 control shows whether a
second core was free during the run. Because a busy machine rarely has one,
the 2-thread speed-up is also estimated from CPU times: a one-thread batch's
against the busier of the calling thread and its native worker, which is
what the batch would take with two free cores.
"""

import argparse
import random
import time

import common
from bench_segmenter import SEED, make_text, read_dictionary


def busier_thread_seconds(run, repeat):
    """Least CPU time over `repeat` runs of the busier of the calling thread
    and the rest of the process (the one native worker of threads=2)."""
    best = float("inf")
    for _ in range(repeat):
        process, caller = time.process_time(), time.thread_time()
        run()
        caller = time.thread_time() - caller
        best = min(best, max(caller, time.process_time() - process - caller))
    return best


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=2.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    import norvane
    import pynorvane

    paths = norvane.default_paths()
    tok = norvane.Tokenizer()
    lines, size = make_text(read_dictionary(paths["dict_path"]), args.megabytes,
                            random.Random(SEED))
    mb = size / 1e6
    common.header("Tokenizer batches: %d lines of %.0f characters on average, %.1f MB"
                  % (len(lines), sum(map(len, lines)) / len(lines), mb))
    common.ratio("2-thread speed-up of sha256 (control)", common.sha256_control(args.repeat))

    def rate(run):
        return mb / common.best_time(run, args.repeat, clock=time.perf_counter)

    segmenter = pynorvane.Segmenter(**paths)
    for mode, single in (("accurate", segmenter.cut), ("search", segmenter.cut_for_search)):
        baseline = rate(common.run_each(single, lines))
        one_by_one = rate(common.run_each(lambda line: tok.cut(line, mode), lines))
        batch_1 = rate(lambda: tok.cut_batch(lines, mode, threads=1))
        batch_2 = rate(lambda: tok.cut_batch(lines, mode, threads=2))
        offsets_2 = rate(lambda: tok.tokenize_batch(lines, mode, threads=2))
        print("  mode=%s" % mode)
        common.row("Segmenter, one by one", baseline, "MB/s")
        common.row("Tokenizer.cut, one by one", one_by_one, "MB/s")
        common.row("cut_batch, 1 thread", batch_1, "MB/s")
        common.row("cut_batch, 2 threads", batch_2, "MB/s")
        common.row("tokenize_batch, 2 threads", offsets_2, "MB/s")
        common.ratio("batch 2 threads / 1 thread", batch_2 / batch_1, 1.8)
        one_thread_cpu = common.best_time(lambda: tok.cut_batch(lines, mode, threads=1),
                                          args.repeat)
        common.ratio("  the same from CPU times", one_thread_cpu / busier_thread_seconds(
            lambda: tok.cut_batch(lines, mode, threads=2), args.repeat), 1.8)
        common.ratio("batch 2 threads / one by one", batch_2 / one_by_one)
        common.ratio("batch 1 thread / one by one", batch_1 / one_by_one)

    trad = norvane.Tokenizer(traditional=True)
    common.row("traditional=True, cut_batch 1 thread",
               rate(lambda: trad.cut_batch(lines, threads=1)), "MB/s")


if __name__ == "__main__":
    main()
