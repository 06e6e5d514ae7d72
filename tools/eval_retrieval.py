"""Retrieval quality of the sparse encoder's analysis on a SQuAD-layout set.

Every passage is fitted and encoded as a document, every question as a query;
a question's rank is where the passage it was asked on comes among all of
them. Prints MRR@10, recall at 1 and at 5 for:

  default       str texts through norvane.SparseEncoder's own analysis
  words only    the same words without the character pairs
  bigrams       overlapping character pairs plus single characters (spaces
                dropped), the usual analysis-free baseline

all weighted alike (document frequencies, the encoder's formulas), in the
same run. Development data only: the set is read from the path given.

    python tools/eval_retrieval.py [path/to/cmrc2018_trial.json or its folder]
"""

import argparse
import json
import os
import sys
import time
import unicodedata

import numpy as np

import norvane

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_SET = os.path.join(HERE, "..", "..", "shared", "data", "cmrc2018-trial")


def load_set(path):
    """(passages, [(question, passage index)])."""
    if os.path.isdir(path):
        path = os.path.join(path, "cmrc2018_trial.json")
    with open(path, encoding="utf-8") as f:
        data = json.load(f)["data"]
    passages, questions = [], []
    for article in data:
        for paragraph in article["paragraphs"]:
            passages.append(paragraph["context"])
            for qa in paragraph["qas"]:
                questions.append((qa["question"], len(passages) - 1))
    return passages, questions


def fold(text):
    out = []
    for c in text:
        o = ord(c)
        if 0xFF01 <= o <= 0xFF5E:
            c = chr(o - 0xFEE0)
        elif o == 0x3000:
            c = " "
        out.append(c)
    return "".join(out).lower()


def has_word_char(word):
    return any(unicodedata.category(c)[0] in "LN" for c in word)


def words_only(tokenizer, stop_words):
    def analyse(text):
        return [w for w in tokenizer.cut(fold(text))
                if has_word_char(w) and w not in stop_words]
    return analyse


def bigrams(text):
    chars = [c for c in text.lower() if not c.isspace()]
    return chars + [a + b for a, b in zip(chars, chars[1:])]


def compact(*matrices):
    """The matrices with only the columns any of them uses: a product over
    all 2**32 id columns would need an index array of that length."""
    import scipy.sparse
    used, inverse = np.unique(np.concatenate([m.indices for m in matrices]),
                              return_inverse=True)
    out, at = [], 0
    for m in matrices:
        columns = inverse[at:at + len(m.indices)]
        at += len(m.indices)
        out.append(scipy.sparse.csr_array((m.data, columns, m.indptr),
                                          shape=(m.shape[0], len(used))))
    return out


def score(passages, questions, analyse):
    """MRR@10, R@1, R@5; analyse None: the encoder's own analysis."""
    encoder = norvane.SparseEncoder()
    docs = passages if analyse is None else [analyse(p) for p in passages]
    queries = [q for q, _ in questions]
    if analyse is not None:
        queries = [analyse(q) for q in queries]
    encoder.fit(docs)
    d = encoder.encode_documents(docs, output="csr")
    q = encoder.encode_queries(queries, output="csr")
    d, q = compact(d, q)
    scores = (q @ d.T).toarray()
    gold = np.array([p for _, p in questions])
    # Ties rank the gold passage last among them: no credit for luck.
    gold_scores = scores[np.arange(len(gold)), gold]
    ranks = (scores >= gold_scores[:, None]).sum(axis=1)
    mrr = np.where(ranks <= 10, 1.0 / ranks, 0.0).mean()
    return mrr, (ranks == 1).mean(), (ranks <= 5).mean()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("path", nargs="?", default=DEFAULT_SET)
    args = parser.parse_args(argv)
    passages, questions = load_set(args.path)
    tokenizer = norvane.Tokenizer()
    with open(norvane.default_paths()["stop_word_path"], encoding="utf-8") as f:
        stop_words = set(f.read().split("\n"))
    print("%d passages, %d questions" % (len(passages), len(questions)))
    print("%-12s %7s %7s %7s %6s" % ("analysis", "MRR@10", "R@1", "R@5", "s"))
    for name, analyse in [("default", None), ("words only", words_only(tokenizer, stop_words)),
                          ("bigrams", bigrams)]:
        start = time.perf_counter()
        mrr, r1, r5 = score(passages, questions, analyse)
        print("%-12s %7.4f %7.4f %7.4f %6.2f" % (name, mrr, r1, r5, time.perf_counter() - start))
    return 0


if __name__ == "__main__":
    sys.exit(main())
