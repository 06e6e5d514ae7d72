"""BM25 encoder speed against a pure-Python baseline and the conversion floor.

Synthetic corpus: documents of 50-300 tokens drawn from a Zipf vocabulary of
200,000 tokens, once as str tokens and once as int ids; queries of 2-12
tokens from the same distribution. Every figure is a best of several runs,
and the baseline and floor are measured in the same run.
"""

import argparse
import itertools
import os
import random
import sys

import common

import pynorvane

# The tests hold the pure-Python encoder: they check it against this module.
sys.path.insert(0, os.path.join(common.ROOT, "tests"))
from bm25_reference import PyBM25  # noqa: E402

SEED = 20261206
CJK_FIRST, CJK_COUNT = 0x4E00, 0x51A6  # CJK Unified Ideographs block
LETTERS = "abcdefghijklmnopqrstuvwxyz"


def make_vocabulary(size, rng):
    """Distinct tokens, half Latin words and half Chinese words."""
    seen = set()
    words = []
    while len(words) < size:
        if rng.random() < 0.5:
            word = "".join(rng.choice(LETTERS) for _ in range(rng.randint(3, 10)))
        else:
            word = "".join(chr(CJK_FIRST + rng.randrange(CJK_COUNT)) for _ in range(rng.randint(1, 4)))
        if word not in seen:
            seen.add(word)
            words.append(word)
    return words


def make_corpus(docs, queries, vocab_size, rng):
    """Token ids per document and per query, Zipf distributed (s = 1)."""
    cumulative = list(itertools.accumulate(1.0 / rank for rank in range(1, vocab_size + 1)))
    ids = range(vocab_size)

    def draw(low, high, count):
        lengths = [rng.randint(low, high) for _ in range(count)]
        flat = rng.choices(ids, cum_weights=cumulative, k=sum(lengths))
        out, start = [], 0
        for length in lengths:
            out.append(flat[start:start + length])
            start += length
        return out

    return draw(50, 300, docs), draw(2, 12, queries)


def check_same_weights(native, baseline, documents, queries):
    """The baseline must give exactly the encoder's weights, in key order."""
    for doc in documents:
        for got, want in ((native.encode_document(doc), baseline.encode_document(doc)),):
            if list(got.items()) != list(want.items()):
                sys.exit("baseline and encoder disagree on encode_document")
    for query in queries:
        if list(native.encode_query(query).items()) != list(baseline.encode_query(query).items()):
            sys.exit("baseline and encoder disagree on encode_query")


def measure(kind, documents, queries, floor, repeat, baseline_docs):
    common.header("BM25, %s tokens: %d documents, %d queries" % (kind, len(documents), len(queries)))
    sample = documents[:baseline_docs]

    def train_all(model, docs):
        def run():
            for doc in docs:
                model.train(doc)
        return run

    def fresh_trained(cls, docs):
        model = cls()
        for doc in docs:
            model.train(doc)
        return model

    def run_each(fn, items):
        def run():
            for item in items:
                fn(item)
        return run

    native = fresh_trained(pynorvane.BM25, documents)
    native_sample = fresh_trained(pynorvane.BM25, sample)
    baseline = fresh_trained(PyBM25, sample)
    check_same_weights(native_sample, baseline, sample[:2000], queries[:2000])
    print("  baseline checked: same weights and key order on 2,000 documents and queries")

    results = {}
    for op, items, base_items, native_fn, base_fn, floor_fn in (
        ("train", documents, sample, None, None, floor.to_dict),
        ("encode_document", documents, sample, native.encode_document,
         baseline.encode_document, floor.to_dict),
        ("encode_query", queries, queries[:baseline_docs], native.encode_query,
         baseline.encode_query, floor.to_dict),
    ):
        unit = "queries/s" if op == "encode_query" else "docs/s"
        if op == "train":
            # Each run trains a fresh model on the whole corpus.
            native_time = min(common.best_time(train_all(pynorvane.BM25(), documents), 1)
                              for _ in range(repeat))
            base_time = min(common.best_time(train_all(PyBM25(), sample), 1)
                            for _ in range(max(1, repeat - 1)))
        else:
            native_time = common.best_time(run_each(native_fn, items), repeat)
            base_time = common.best_time(run_each(base_fn, base_items), max(1, repeat - 1))
        floor_time = common.best_time(run_each(floor_fn, items), repeat)
        native_rate = len(items) / native_time
        base_rate = len(base_items) / base_time
        floor_rate = len(items) / floor_time
        common.row(op, native_rate, unit)
        common.row(op + " (Python baseline)", base_rate, unit)
        common.row(op + " (conversion floor)", floor_rate, unit)
        common.ratio("speed-up over baseline", native_rate / base_rate, 5)
        common.ratio("time over floor", floor_rate / native_rate, 2, higher_is_better=False)
        results[op] = (native_rate, base_rate, floor_rate)
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=100_000)
    parser.add_argument("--vocabulary", type=int, default=200_000)
    parser.add_argument("--baseline-docs", type=int, default=20_000,
                        help="documents the slower pure-Python baseline runs on")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    floor = common.load_floor()
    rng = random.Random(SEED)
    vocabulary = make_vocabulary(args.vocabulary, rng)
    id_docs, id_queries = make_corpus(args.docs, args.queries, args.vocabulary, rng)
    # Integer ids and strings share one object per vocabulary entry, as token
    # lists built from a vocabulary do.
    ids = list(range(args.vocabulary))
    int_docs = [[ids[i] for i in doc] for doc in id_docs]
    int_queries = [[ids[i] for i in q] for q in id_queries]
    str_docs = [[vocabulary[i] for i in doc] for doc in id_docs]
    str_queries = [[vocabulary[i] for i in q] for q in id_queries]
    del id_docs, id_queries
    baseline_docs = min(args.baseline_docs, args.docs)
    measure("str", str_docs, str_queries, floor, args.repeat, baseline_docs)
    measure("int", int_docs, int_queries, floor, args.repeat, baseline_docs)


if __name__ == "__main__":
    main()
