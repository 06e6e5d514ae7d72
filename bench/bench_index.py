"""Indexing throughput and search latency of norvane.SearchIndex on Milvus Lite.

Generated documents (the segmenter benchmark's text, one line per document)
are indexed into a new local index in batches: SearchIndex.add fits the
encoder, encodes and inserts each batch. The encoder alone
(fit_encode_documents to ids on the same batches) is timed in the same run,
so the share of the store shows. Then --queries queries (4-10 characters cut
from random documents) are searched one at a time, top 10: p50 and p95 of
the wall time per call, and the query encoding alone. Last, bm25s and
tantivy (when installed) index and search the same documents, given the
same tokens.
"""

import argparse
import os
import random
import shutil
import statistics
import tempfile
import time

import common
import store_baselines
from bench_segmenter import SEED, make_text, read_dictionary


def documents(count, rng):
    """`count` lines of generated text and their size in bytes."""
    import norvane

    words = read_dictionary(norvane.default_paths()["dict_path"])
    megabytes = count * 0.0005
    while True:
        lines, _ = make_text(words, megabytes, rng)
        if len(lines) >= count:
            lines = lines[:count]
            return lines, sum(len(line.encode("utf-8")) for line in lines)
        megabytes *= 1.2 * count / len(lines)


def cpu_seconds():
    """CPU time of this process and its children (the Milvus Lite server),
    which other work on the machine disturbs less than wall time."""
    total = time.process_time()
    pid = os.getpid()
    try:
        with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
            children = f.read().split()
    except OSError:
        return total
    for child in children:
        try:
            with open("/proc/%s/stat" % child) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    return total


def percentile(sorted_values, fraction):
    return sorted_values[min(len(sorted_values) - 1, int(fraction * len(sorted_values)))]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--batch-size", type=int, default=5000)
    parser.add_argument("--keep", help="index path to keep (default: a temporary folder)")
    args = parser.parse_args(argv)

    import milvus_lite
    import pymilvus

    import norvane

    rng = random.Random(SEED)
    texts, size = documents(args.docs, rng)
    mb = size / 1e6
    common.header("SearchIndex on Milvus Lite %s (pymilvus %s): %d documents, %.1f MB, "
                  "%.0f characters each on average, batches of %d"
                  % (milvus_lite.__version__, pymilvus.__version__, len(texts), mb,
                     sum(map(len, texts)) / len(texts), args.batch_size))
    batches = [texts[i:i + args.batch_size] for i in range(0, len(texts), args.batch_size)]

    encoder = norvane.SparseEncoder()
    start, cpu = time.perf_counter(), cpu_seconds()
    for batch in batches:
        encoder.fit_encode_documents(batch, output="ids")
    encode_seconds, encode_cpu = time.perf_counter() - start, cpu_seconds() - cpu

    folder = tempfile.mkdtemp(prefix="norvane-bench-")
    path = args.keep or os.path.join(folder, "bench.db")
    try:
        start = time.perf_counter()
        index = norvane.SearchIndex(path)
        open_seconds = time.perf_counter() - start
        start, cpu = time.perf_counter(), cpu_seconds()
        index.add(texts, batch_size=args.batch_size)
        index.flush()
        index_seconds, index_cpu = time.perf_counter() - start, cpu_seconds() - cpu
        assert index.count() == len(texts)

        common.row("open a new local index", open_seconds * 1e3, "ms")
        common.row("encoder alone (fit_encode)", len(texts) / encode_seconds, "docs/s",
                   "%.2f MB/s" % (mb / encode_seconds))
        common.row("SearchIndex.add + flush", len(texts) / index_seconds, "docs/s",
                   "%.2f MB/s" % (mb / index_seconds))
        common.row("encoder alone, per CPU second", len(texts) / encode_cpu, "docs")
        common.row("SearchIndex.add, per CPU second", len(texts) / index_cpu, "docs",
                   "(this process and the Milvus Lite server)")
        common.ratio("index / encoder alone", encode_seconds / index_seconds)
        common.ratio("index docs/s / 5,000", len(texts) / index_seconds / 5000, 1.0)

        queries = []
        for _ in range(args.queries):
            text = rng.choice(texts)
            start = rng.randrange(max(1, len(text) - 10))
            queries.append(text[start:start + rng.randint(4, 10)])
        for query in queries[:20]:  # warm-up
            index.search(query)
        latencies = []
        found = 0
        for query in queries:
            start = time.perf_counter()
            found += bool(index.search(query, k=10))
            latencies.append(time.perf_counter() - start)
        latencies.sort()
        encode_query = common.best_time(
            lambda: [encoder.encode_queries([q], output="ids") for q in queries], 3,
            clock=time.perf_counter) / len(queries)
        common.row("search p50", percentile(latencies, 0.5) * 1e3, "ms")
        common.row("search p95", percentile(latencies, 0.95) * 1e3, "ms")
        common.row("search mean", statistics.fmean(latencies) * 1e3, "ms",
                   "%d of %d queries found documents" % (found, len(queries)))
        common.row("query encoding alone", encode_query * 1e3, "ms")
        common.ratio("5 ms / search p50", 0.005 / percentile(latencies, 0.5), 1.0)
        index.close()

        # Ids are keys: each batch first asks which of its ids are stored.
        keyed = norvane.SearchIndex(os.path.join(folder, "keyed.db"))
        ids = [str(i) for i in range(len(texts))]
        start = time.perf_counter()
        keyed.add(texts, ids, batch_size=args.batch_size)
        keyed.flush()
        keyed_seconds = time.perf_counter() - start
        start = time.perf_counter()
        keyed.add(texts, ids, batch_size=args.batch_size)  # every document replaced
        keyed.flush()
        replace_seconds = time.perf_counter() - start
        assert keyed.count() == len(texts)
        keyed.close()
        start = time.perf_counter()
        with norvane.SearchIndex(os.path.join(folder, "keyed.db")) as reopened:
            reopened.search(queries[0])
        reopen_seconds = time.perf_counter() - start
        common.row("SearchIndex.add with ids + flush", len(texts) / keyed_seconds, "docs/s")
        common.row("the same ids again (all replaced)", len(texts) / replace_seconds, "docs/s")
        common.ratio("add with ids / add without", index_seconds / keyed_seconds)
        common.row("open an index and search once", reopen_seconds * 1e3, "ms")

        # Other engines, given the same tokens.
        doc_tokens = [encoder.analyze(text) for text in texts]
        query_tokens = [encoder.analyze(query) for query in queries]
        for name, run in store_baselines.RUNS.items():
            try:
                __import__(name)
            except ImportError:
                print("  %s: not installed, skipped" % name)
                continue
            index_s, lat, open_s = run(doc_tokens, query_tokens, folder)
            common.row(name + ": indexing", len(texts) / index_s, "docs/s")
            common.row(name + ": search p50", percentile(lat, 0.5) * 1e3, "ms")
            common.row(name + ": search p95", percentile(lat, 0.95) * 1e3, "ms")
            common.row(name + ": open and search once", open_s * 1e3, "ms")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
