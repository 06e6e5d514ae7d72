"""SparseEncoder speed against the ways of doing the same in Python.

Throughput in MB/s of UTF-8 text, measured in one run on the same text:

  encoder       norvane.SparseEncoder: fit, then encode_documents to CSR
                (and to ids), on 1 and 2 native threads
  composition   pynorvane.Segmenter.cut -> BM25.train -> BM25.encode_document
                in a Python loop, each document's tokens then given their
                MurmurHash3 ids (mmh3) and gathered into a CSR matrix
  pinecone      pinecone-text's BM25Encoder fit + encode_documents, given the
                tokens of our analysis (its tokenizer replaced by a lookup),
                against our encoder given the same token lists

and the statistics' memory per distinct token. Missing optional baselines
(mmh3, scipy, pinecone-text) are skipped. Text: bench_segmenter's generated
lines, one document each.
"""

import argparse
import random
import sys
import time

import common
from bench_segmenter import SEED, make_text, read_dictionary

import norvane


def optional(name):
    try:
        return __import__(name)
    except ImportError:
        return None


def wall(run, repeat):
    return common.best_time(run, repeat, clock=time.perf_counter)


def cpu(run, repeat):
    """CPU time of this process: single-threaded work, less disturbed by the
    other processes of a shared machine than wall time."""
    return common.best_time(run, repeat)


def encoder_runs(texts, threads):
    """(fit, encode to CSR, encode to ids) callables on a shared encoder."""
    tokenizer = norvane.Tokenizer()
    state = {}

    def fit():
        state["enc"] = norvane.SparseEncoder(tokenizer).fit(texts, threads=threads)

    def csr():
        state["enc"].encode_documents(texts, output="csr", threads=threads)

    def ids():
        state["enc"].encode_documents(texts, output="ids", threads=threads)

    def fused():
        norvane.SparseEncoder(tokenizer).fit_encode_documents(texts, output="csr",
                                                              threads=threads)

    return fit, csr, ids, fused


def analyses(tokenizer):
    """The analyses an encoder offers, the default first."""
    default = norvane.SparseEncoder(tokenizer).analysis.split(";")[0]
    return [default] + [a for a in getattr(norvane, "ANALYSES", ()) if a != default]


def new_encoder(tokenizer, analysis, default):
    """An encoder of analysis; built as a user would, without naming the default.
    `default` is analyses(tokenizer)[0], found once: a call of analyses()
    inside a timed run would add a dictionary load to it."""
    if analysis == default:
        return norvane.SparseEncoder(tokenizer)
    return norvane.SparseEncoder(tokenizer, analysis=analysis)


def composition(texts, mmh3, sparse):
    """What users compose from pynorvane today, to the same CSR output."""
    import numpy as np
    import pynorvane

    segmenter = pynorvane.Segmenter(**norvane.default_paths())

    def run():
        model = pynorvane.BM25(0.75, 1.2)
        for text in texts:
            tokens = segmenter.cut(text)
            if tokens:
                model.train(tokens)
        indptr, indices, data = [0], [], []
        for text in texts:
            tokens = segmenter.cut(text)
            weights = model.encode_document(tokens) if tokens else {}
            for token, weight in weights.items():
                indices.append(mmh3.hash(token, signed=False))
                data.append(weight)
            indptr.append(len(indices))
        sparse.csr_array((np.array(data), np.array(indices, dtype=np.int64), np.array(indptr)),
                         shape=(len(texts), 1 << 32))
    return run


def pinecone_runs(texts, token_lists, bm25_module):
    """pinecone-text's encoder and ours, both given the same token lists."""
    lookup = dict(zip(texts, token_lists))

    def theirs():
        # Built without its constructor, which would set up an English
        # tokenizer (and fetch its data) that is replaced anyway.
        enc = bm25_module.BM25Encoder.__new__(bm25_module.BM25Encoder)
        enc.b, enc.k1 = 0.75, 1.2
        enc.doc_freq = enc.n_docs = enc.avgdl = None
        enc._tokenizer = lookup.__getitem__
        enc.fit(texts)
        enc.encode_documents(texts)

    tokenizer = norvane.Tokenizer()

    def ours(output="ids"):
        enc = norvane.SparseEncoder(tokenizer).fit(token_lists, threads=1)
        enc.encode_documents(token_lists, output=output, threads=1)

    def ours_fused(output="ids"):
        norvane.SparseEncoder(tokenizer).fit_encode_documents(token_lists, output=output,
                                                              threads=1)
    return theirs, ours, ours_fused


def memory_per_token(count):
    """Resident bytes the statistics add per distinct token, from fitting
    `count` distinct tokens of 2 to 4 CJK characters."""
    rng = random.Random(SEED)
    chars = [chr(c) for c in range(0x4E00, 0x9FA5)]
    tokens = list({"".join(rng.choice(chars) for _ in range(rng.randint(2, 4)))
                   for _ in range(count)})
    docs = [tokens[i:i + 100] for i in range(0, len(tokens), 100)]
    enc = norvane.SparseEncoder()
    enc.fit([["warm"]], threads=1)
    common.trim_heap()
    before = common.rss_bytes()
    enc.fit(docs, threads=1)
    common.trim_heap()
    return (common.rss_bytes() - before) / enc.vocabulary_size, enc.vocabulary_size


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=4.0)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args(argv)

    words = read_dictionary(norvane.default_paths()["dict_path"])
    texts, size = make_text(words, args.megabytes, random.Random(SEED))
    mb = size / 1e6
    print("%d documents, %.1f MB" % (len(texts), mb))

    common.header("SparseEncoder, native, 1 thread (CPU time)")
    fit, csr, ids, fused = encoder_runs(texts, 1)
    fit_s = cpu(fit, args.repeat)
    csr_s = cpu(csr, args.repeat)
    ids_s = cpu(ids, args.repeat)
    fused_s = cpu(fused, args.repeat)
    one_core = fit_s + csr_s
    common.row("fit", mb / fit_s, "MB/s")
    common.row("encode_documents to CSR", mb / csr_s, "MB/s")
    common.row("encode_documents to ids", mb / ids_s, "MB/s")
    common.row("fit + encode to CSR", mb / one_core, "MB/s", "(target >= 30 MB/s per core)")
    common.row("fit_encode_documents to CSR", mb / fused_s, "MB/s")

    common.header("One pass against the tokenizer, 1 thread (CPU time)")
    tokenizer = norvane.Tokenizer()
    cut_s = cpu(lambda: tokenizer.cut_batch(texts, threads=1), args.repeat)
    common.row("tokenizer cut_batch", mb / cut_s, "MB/s")
    names = analyses(tokenizer)
    for analysis in names:
        encoder_of = lambda: new_encoder(tokenizer, analysis, names[0])  # noqa: E731
        one_pass = cpu(lambda: encoder_of().fit_encode_documents(texts, output="csr", threads=1),
                       args.repeat)
        rows = encoder_of().fit_encode_documents(texts, output="csr", threads=1)
        common.row("fit_encode_documents to CSR", mb / one_pass, "MB/s", analysis)
        common.row("postings per document", rows.nnz / len(texts), "", analysis)
        common.ratio("one pass / cut_batch, " + analysis, cut_s / one_pass, 0.45)

    common.header("SparseEncoder, 2 threads against 1 (wall time)")
    walls = {}
    for threads in (1, 2):
        fit, csr, _, _ = encoder_runs(texts, threads)
        walls[threads] = wall(fit, args.repeat) + wall(csr, args.repeat)
        common.row("fit + encode to CSR, %d thread(s)" % threads, mb / walls[threads], "MB/s")
    common.ratio("2 threads / 1", walls[1] / walls[2], 1.8)
    common.ratio("control: sha256, 2 threads / 1", common.sha256_control(args.repeat))

    mmh3, scipy = optional("mmh3"), optional("scipy.sparse")
    common.header("Python composition of pynorvane primitives")
    if mmh3 is None or scipy is None:
        print("  skipped: needs mmh3 and scipy")
    else:
        import scipy.sparse as sparse
        composed = cpu(composition(texts, mmh3, sparse), max(1, args.repeat - 1))
        common.row("cut, train, encode_document, ids", mb / composed, "MB/s")
        common.ratio("fit + encode (1 thread) / composition", composed / one_core, 3.0)
        common.ratio("fit_encode_documents / composition", composed / fused_s, 3.0)

    common.header("pinecone-text BM25Encoder, same tokens")
    try:
        from pinecone_text.sparse import bm25_encoder
    except ImportError:
        bm25_encoder = None
    if bm25_encoder is None:
        print("  skipped: pip install pinecone-text")
    else:
        analyze = norvane.SparseEncoder().analyze
        token_lists = [analyze(text) for text in texts]
        tokens_mb = sum(len(" ".join(t).encode("utf-8")) for t in token_lists) / 1e6
        theirs, ours, ours_fused = pinecone_runs(texts, token_lists, bm25_encoder)
        import contextlib
        import io
        with contextlib.redirect_stderr(io.StringIO()):  # its progress bars
            their_s = cpu(theirs, 1)
        our_s = cpu(ours, args.repeat)
        fused_s = cpu(ours_fused, args.repeat)
        csr_s = cpu(lambda: ours("csr"), args.repeat)
        fused_csr_s = cpu(lambda: ours_fused("csr"), args.repeat)
        common.row("pinecone fit + encode_documents", tokens_mb / their_s, "MB/s of tokens")
        common.row("ours fit + encode to ids", tokens_mb / our_s, "MB/s of tokens")
        common.row("ours fit_encode_documents to ids", tokens_mb / fused_s, "MB/s of tokens")
        common.row("ours fit + encode to CSR", tokens_mb / csr_s, "MB/s of tokens")
        common.row("ours fit_encode_documents to CSR", tokens_mb / fused_csr_s, "MB/s of tokens")
        common.ratio("ours / pinecone", their_s / our_s, 10.0)
        common.ratio("ours fused / pinecone", their_s / fused_s, 10.0)
        common.ratio("ours to CSR / pinecone", their_s / csr_s, 10.0)
        common.ratio("ours fused to CSR / pinecone", their_s / fused_csr_s, 10.0)

    common.header("Statistics memory")
    per_token, count = memory_per_token(400000)
    common.row("per distinct token (%d tokens)" % count, per_token, "bytes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
