"""Indexing throughput and search latency of norvane.SearchIndex: the local
store, Milvus Lite, and bm25s and tantivy on the same tokens.

Generated documents (the segmenter benchmark's text, one line per document)
are indexed into a new local index in batches: SearchIndex.add fits the
encoder, encodes and stores each batch, and flush() makes it searchable from
a new process without further work. Then --queries queries (4-10 characters
cut from random documents) are searched one at a time, top 10: p50 and p95
of the wall time per call. Then the index is opened again and searched once
in this process (the tokenizer already loaded), and once by the command line
from a new interpreter. Every figure is measured for the local store and
Milvus Lite (when installed; --no-milvus skips it), and bm25s and tantivy
(when installed) index and search the same documents, given the same tokens.
The last lines are the ratios of the same run the local store is held to.
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
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


def measure_store(name, texts, queries, folder, batch_size, tokenizer, **options):
    """Indexing, search and reopening figures of one SearchIndex backend."""
    import norvane

    figures = {}
    path = os.path.join(folder, name + ".db")
    start = time.perf_counter()
    index = norvane.SearchIndex(path, encoder=norvane.SparseEncoder(tokenizer=tokenizer),
                                **options)
    figures["open new"] = time.perf_counter() - start
    start, cpu = time.perf_counter(), cpu_seconds()
    index.add(texts, batch_size=batch_size)
    index.flush()
    figures["index"] = time.perf_counter() - start
    figures["index cpu"] = cpu_seconds() - cpu
    assert index.count() == len(texts)
    for query in queries[:20]:  # warm-up
        index.search(query)
    latencies = []
    found = 0
    for query in queries:
        start = time.perf_counter()
        found += bool(index.search(query, k=10))
        latencies.append(time.perf_counter() - start)
    figures["latencies"] = sorted(latencies)
    figures["found"] = found
    index.close()
    start = time.perf_counter()
    with norvane.SearchIndex(path, encoder=norvane.SparseEncoder(tokenizer=tokenizer),
                             **options) as reopened:
        reopened.search(queries[0])
    figures["reopen"] = time.perf_counter() - start
    # The command line, from a shell: a new interpreter, the tokenizer loaded.
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "norvane", "search", queries[0], "--uri", path]
                          + (["--backend", options["backend"]] if "backend" in options else []),
                          capture_output=True, text=True)
    figures["cli"] = time.perf_counter() - start
    assert done.returncode == 0, done.stderr
    # Ids are keys: each batch first asks which of its ids are stored.
    keyed_path = os.path.join(folder, name + "-keyed.db")
    ids = [str(i) for i in range(len(texts))]
    with norvane.SearchIndex(keyed_path, encoder=norvane.SparseEncoder(tokenizer=tokenizer),
                             **options) as keyed:
        start = time.perf_counter()
        keyed.add(texts, ids, batch_size=batch_size)
        keyed.flush()
        figures["keyed"] = time.perf_counter() - start
        figures["first hits"] = [[(h.id, h.score) for h in keyed.search(q, k=10)]
                                 for q in queries[:100]]
        start = time.perf_counter()
        keyed.add(texts, ids, batch_size=batch_size)  # every document replaced
        keyed.flush()
        figures["replace"] = time.perf_counter() - start
        assert keyed.count() == len(texts)
    start = time.perf_counter()
    with norvane.SearchIndex(keyed_path, encoder=norvane.SparseEncoder(tokenizer=tokenizer),
                             **options) as reopened:
        reopened.search(queries[0])
    figures["reopen replaced"] = time.perf_counter() - start
    return figures


def print_store(title, figures, count, mb):
    lat = figures["latencies"]
    common.row(title + ": open a new index", figures["open new"] * 1e3, "ms")
    common.row(title + ": add + flush", count / figures["index"], "docs/s",
               "%.2f MB/s, %.0f docs per CPU second" % (mb / figures["index"],
                                                         count / figures["index cpu"]))
    common.row(title + ": search p50", percentile(lat, 0.5) * 1e3, "ms")
    common.row(title + ": search p95", percentile(lat, 0.95) * 1e3, "ms",
               "%d of %d queries found documents" % (figures["found"], len(lat)))
    common.row(title + ": open and search once", figures["reopen"] * 1e3, "ms",
               "(tokenizer loaded before)")
    common.row(title + ": `norvane search` wall", figures["cli"] * 1e3, "ms")
    common.row(title + ": add with ids + flush", count / figures["keyed"], "docs/s")
    common.row(title + ": same ids again", count / figures["replace"], "docs/s",
               "(every document replaced)")
    common.row(title + ": reopen after, search once", figures["reopen replaced"] * 1e3, "ms")


def same_results(a, b):
    """Whether two backends gave the same ids and scores within 1e-5 (equal
    scores may come in either order) for the same documents and ids."""
    for hits_a, hits_b in zip(a["first hits"], b["first hits"]):
        if len(hits_a) != len(hits_b):
            return False
        if any(abs(x[1] - y[1]) > 1e-5 * max(1.0, abs(y[1])) for x, y in zip(hits_a, hits_b)):
            return False
        if [h[0] for h in hits_a] != [h[0] for h in hits_b]:
            key = lambda h: (-round(h[1], 4), h[0])  # noqa: E731
            if [h[0] for h in sorted(hits_a[:-1], key=key)] != \
                    [h[0] for h in sorted(hits_b[:-1], key=key)]:
                return False
    return True


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--batch-size", type=int, default=5000)
    parser.add_argument("--no-milvus", action="store_true", help="skip Milvus Lite")
    args = parser.parse_args(argv)

    import norvane

    rng = random.Random(SEED)
    texts, size = documents(args.docs, rng)
    mb = size / 1e6
    queries = []
    for _ in range(args.queries):
        text = rng.choice(texts)
        start = rng.randrange(max(1, len(text) - 10))
        queries.append(text[start:start + rng.randint(4, 10)])
    common.header("SearchIndex: %d documents, %.1f MB, %.0f characters each on average, "
                  "batches of %d; %d queries of 4-10 characters, top 10, one at a time"
                  % (len(texts), mb, sum(map(len, texts)) / len(texts), args.batch_size,
                     len(queries)))
    tokenizer = norvane.Tokenizer()
    encoder = norvane.SparseEncoder(tokenizer=tokenizer)
    start, cpu = time.perf_counter(), cpu_seconds()
    for i in range(0, len(texts), args.batch_size):
        encoder.fit_encode_documents(texts[i:i + args.batch_size], output="ids")
    encode_seconds = time.perf_counter() - start
    common.row("encoder alone (fit_encode to ids)", len(texts) / encode_seconds, "docs/s")

    folder = tempfile.mkdtemp(prefix="norvane-bench-")
    try:
        stores = {"local store": measure_store("local", texts, queries, folder,
                                               args.batch_size, tokenizer)}
        print_store("local store", stores["local store"], len(texts), mb)
        try:
            import milvus_lite

            milvus_version = milvus_lite.__version__
        except ImportError:
            milvus_version = None
        if milvus_version and not args.no_milvus:
            title = "Milvus Lite " + milvus_version
            stores[title] = measure_store("milvus", texts, queries, folder, args.batch_size,
                                          tokenizer, backend="milvus-lite")
            print_store(title, stores[title], len(texts), mb)
            print("  same ids and scores (1e-5) for the first 100 queries: %s"
                  % same_results(stores["local store"], stores[title]))

        # Other engines, given the same tokens.
        doc_tokens = [encoder.analyze(text) for text in texts]
        query_tokens = [encoder.analyze(query) for query in queries]
        baselines = {}
        for name, run in store_baselines.RUNS.items():
            try:
                __import__(name)
            except ImportError:
                print("  %s: not installed, skipped" % name)
                continue
            index_s, lat, open_s = run(doc_tokens, query_tokens, folder)
            baselines[name] = (len(texts) / index_s, percentile(lat, 0.5),
                               percentile(lat, 0.95), open_s)
            common.row(name + ": indexing", len(texts) / index_s, "docs/s")
            common.row(name + ": search p50", percentile(lat, 0.5) * 1e3, "ms")
            common.row(name + ": search p95", percentile(lat, 0.95) * 1e3, "ms")
            common.row(name + ": open and search once", open_s * 1e3, "ms")
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print("\n| | indexing docs/s | search p50 / p95 ms | open and search once ms | "
          "`norvane search` s |")
    print("|---|---|---|---|---|")
    for title, f in stores.items():
        print("| SearchIndex, %s | %s | %.2f / %.2f | %.1f | %.2f |" % (
            title, common.format_number(len(texts) / f["index"]),
            percentile(f["latencies"], 0.5) * 1e3, percentile(f["latencies"], 0.95) * 1e3,
            f["reopen"] * 1e3, f["cli"]))
    for name, (rate, p50, p95, open_s) in baselines.items():
        print("| %s | %s | %.2f / %.2f | %.1f | |" % (name, common.format_number(rate),
                                                      p50 * 1e3, p95 * 1e3, open_s * 1e3))
    local = stores["local store"]
    p50, p95 = percentile(local["latencies"], 0.5), percentile(local["latencies"], 0.95)
    print()
    if "tantivy" in baselines:
        common.ratio("local indexing / tantivy", len(texts) / local["index"] /
                     baselines["tantivy"][0], 1.0)
        common.ratio("tantivy p95 / local p95", baselines["tantivy"][2] / p95, 1.0)
    if "bm25s" in baselines:
        common.ratio("bm25s p50 / local p50", baselines["bm25s"][1] / p50, 1.0)
    common.ratio("20 ms / local open and search", 0.020 / local["reopen"], 1.0)
    common.ratio("0.4 s / `norvane search`", 0.4 / local["cli"], 1.0)


if __name__ == "__main__":
    main()
