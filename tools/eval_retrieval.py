"""Retrieval quality of the sparse encoder's analyses on SQuAD-layout sets.

Every passage of a set is fitted and encoded as a document, every question
as a query; a question's rank is where the passage it was asked on comes
among all of them (ties count against it). Each development set is scored
alone and all of them pooled into one corpus. Prints MRR@10, recall at 1 and
at 10 for:

  default           norvane.SparseEncoder() with no arguments
  words+bigrams/1   the earlier analysis, by name
  words only        the default analysis's words, without n-grams
  bigrams+unigrams  the analysis-free baseline: lower-cased text without
                    punctuation and spaces, every overlapping pair of
                    characters plus every single character
  ICU words         ICU's word breaker over the lower-cased text, stop words
                    and punctuation out (needs PyICU; skipped without it)

and, with --variants, the variants the default was chosen over. All are
weighted alike (document frequencies, query IDF normalised to sum 1; token
lists are fed to SparseEncoder as given) in the same run, with k1 1.2 and
b 0.75 for the references and the default's own k1 0.9 and word weight for
the default and its variants. "pool" is all sets in one corpus, "simplified
pool" the sets in simplified characters only.
A cross-script check follows: the Traditional set with its questions or its
passages mapped to simplified characters one by one (the tokenizer's table).

Development data only, read from the shared data folder; nothing is fitted
to the questions.

    python tools/eval_retrieval.py [--data ../shared/data] [--variants]
"""

import argparse
import os
import re
import sys
import time
import unicodedata

import numpy as np

import norvane

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_DATA = os.path.join(HERE, "..", "..", "shared", "data")
SETS = [("cmrc2018-trial", "cmrc2018-trial/cmrc2018_trial.json"),
        ("xquad-zh", "xquad-zh/xquad.zh.json"),
        ("drcd-dev", "drcd-dev/DRCD_dev.json")]
TRADITIONAL_SET = "drcd-dev"
MARK = "\x01"  # precedes each character of the default analysis's n-grams
DEFAULT_K1 = 0.9  # the default analysis's own k1
WORD_WEIGHT = 2.5  # the default's query weight of a word, times its IDF
BASELINE = {"k1": 1.2, "b": 0.75}


def load_set(path):
    """(passages, [(question, passage index)])."""
    import json
    with open(path, encoding="utf-8") as f:
        data = json.load(f)["data"]
    passages, questions = [], []
    for article in data:
        for paragraph in article["paragraphs"]:
            passages.append(paragraph["context"])
            for qa in paragraph["qas"]:
                questions.append((qa["question"], len(passages) - 1))
    return passages, questions


def pool(sets):
    passages, questions = [], []
    for set_passages, set_questions in sets:
        base = len(passages)
        passages += set_passages
        questions += [(q, base + p) for q, p in set_questions]
    return passages, questions


def simplified_table():
    """Traditional -> simplified code points, from the table compiled in."""
    path = os.path.join(HERE, "..", "data", "t2s_pairs.inc")
    with open(path, encoding="utf-8") as f:
        pairs = re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", f.read())
    return {int(t, 16): int(s, 16) for t, s in pairs}


def fold(text):
    """Full-width ASCII forms to ASCII, the ideographic space to a space,
    lower case: the encoder's folding."""
    out = []
    for c in text:
        o = ord(c)
        if 0xFF01 <= o <= 0xFF5E:
            c = chr(o - 0xFEE0)
        elif o == 0x3000:
            c = " "
        out.append(c)
    return "".join(out).lower()


def is_word(token):
    return any(unicodedata.category(c)[0] in "LN" for c in token)


# ---- analyses as token lists ------------------------------------------------

def bigrams_unigrams(text):
    chars = [c for c in text.lower()
             if not c.isspace() and not unicodedata.category(c).startswith("P")]
    return chars + [a + b for a, b in zip(chars, chars[1:])]


def icu_words(stop_words):
    try:
        import icu
    except ImportError:
        return None
    breaker = icu.BreakIterator.createWordInstance(icu.Locale("zh"))

    def analyse(text):
        text = text.lower()
        breaker.setText(text)
        out, start = [], breaker.first()
        for end in breaker:
            word = text[start:end]
            start = end
            if is_word(word) and word not in stop_words:
                out.append(word)
        return out
    return analyse


def default_analyze():
    return norvane.SparseEncoder().analyze


def words_of(analyze):
    return lambda text: [t for t in analyze(text) if not t.startswith(MARK)]


def ngrams_of(analyze):
    return lambda text: [t for t in analyze(text) if t.startswith(MARK)]


def trigrams_added(analyze, simplify):
    """The default's tokens plus marked triples of adjacent letters."""
    def analyse(text):
        chars = fold(text).translate(simplify) + " "
        out, run = analyze(text), []
        for c in chars:
            if unicodedata.category(c)[0] in "LN":
                run.append(c)
                continue
            out += [MARK + a + MARK + b + MARK + c3 for a, b, c3 in zip(run, run[1:], run[2:])]
            run = []
        return out
    return analyse


def variants(stop_words, icu_analyse):
    """label -> (analysis, encoder kwargs, query word scale): the default
    with one thing changed, fed as token lists (the encoder's own weighting
    of query words, WORD_WEIGHT, applied here)."""
    analyze = default_analyze()
    tokenizer = norvane.Tokenizer()
    simplify = simplified_table()
    own = {"k1": DEFAULT_K1}

    def hmm_words(text):
        folded = fold(text).translate(simplify)
        return [w for w in tokenizer.cut(folded) if is_word(w) and w not in stop_words]

    out = {
        "(check) default as token lists": (analyze, own, WORD_WEIGHT),
        "v: query words x1": (analyze, own, 1.0),
        "v: query words x2": (analyze, own, 2.0),
        "v: query words x3": (analyze, own, 3.0),
        "v: no unigrams": (lambda t: [x for x in analyze(t) if not (
            x.startswith(MARK) and len(x) == 2)], own, WORD_WEIGHT),
        "v: trigrams added": (trigrams_added(analyze, simplify), own, WORD_WEIGHT),
        "v: kinds merged": (lambda t: [x.replace(MARK, "") for x in analyze(t)], own, 1.0),
        "v: n-grams only": (ngrams_of(analyze), own, 1.0),
        "v: HMM words + n-grams": (lambda t: hmm_words(t) + ngrams_of(analyze)(t), own,
                                   WORD_WEIGHT),
    }
    if icu_analyse is not None:
        out["v: ICU words + n-grams"] = (
            lambda t: icu_analyse(fold(t).translate(simplify)) + ngrams_of(analyze)(t), own,
            WORD_WEIGHT)
    for k1, b in [(0.8, 0.75), (1.0, 0.75), (1.2, 0.75), (0.9, 0.6), (0.9, 0.9)]:
        out["v: k1 %.1f b %.2f" % (k1, b)] = (analyze, {"k1": k1, "b": b}, WORD_WEIGHT)
    return out


# ---- scoring ------------------------------------------------------------------

def matrices(doc_rows, query_rows):
    """Document and query dicts as CSR matrices over the tokens they use."""
    import scipy.sparse
    vocabulary = {}

    def csr(rows):
        indptr, indices, data = [0], [], []
        for row in rows:
            for token, weight in row.items():
                indices.append(vocabulary.setdefault(token, len(vocabulary)))
                data.append(weight)
            indptr.append(len(indices))
        return indptr, indices, data

    parts = [csr(doc_rows), csr(query_rows)]
    return [scipy.sparse.csr_array((np.array(d), np.array(i, dtype=np.int64), np.array(p)),
                                   shape=(len(p) - 1, max(1, len(vocabulary))))
            for p, i, d in parts]


def score(passages, questions, analyse=None, analysis=None, kwargs=None, word_scale=1.0):
    """(MRR@10, R@1, R@10). analyse: text -> tokens; None: the encoder's own
    analysis (`analysis` names it; None for the default)."""
    kwargs = dict(kwargs or {})
    if analysis is not None:
        kwargs["analysis"] = analysis
    encoder = norvane.SparseEncoder(**kwargs)
    queries = [q for q, _ in questions]
    if analyse is not None:
        passages = [analyse(p) for p in passages]
        queries = [analyse(q) for q in queries]
    docs = encoder.fit_encode_documents(passages)
    rows = encoder.encode_queries(queries)
    if word_scale != 1.0:
        rows = [{t: w * (1.0 if t.startswith(MARK) else word_scale) for t, w in row.items()}
                for row in rows]
    d, q = matrices(docs, rows)
    scores = (q @ d.T).toarray()
    gold = np.array([p for _, p in questions])
    gold_scores = scores[np.arange(len(gold)), gold]
    ranks = (scores >= gold_scores[:, None]).sum(axis=1)
    mrr = np.where(ranks <= 10, 1.0 / ranks, 0.0).mean()
    return mrr, (ranks == 1).mean(), (ranks <= 10).mean()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", default=DEFAULT_DATA, help="the shared data folder")
    parser.add_argument("--variants", action="store_true",
                        help="also the variants the default was chosen over")
    parser.add_argument("--no-cross", action="store_true", help="skip the cross-script check")
    args = parser.parse_args(argv)

    sets = {name: load_set(os.path.join(args.data, rel)) for name, rel in SETS}
    simplified = [sets[name] for name, _ in SETS if name != TRADITIONAL_SET]
    corpora = list(sets.items()) + [("pool", pool(list(sets.values()))),
                                    ("simplified pool", pool(simplified))]
    with open(norvane.default_paths()["stop_word_path"], encoding="utf-8") as f:
        stop_words = set(f.read().split("\n"))
    icu_analyse = icu_words(stop_words)

    analyses = {"default": (None, {}, 1.0),
                "words+bigrams/1": ("words+bigrams/1", {}, 1.0),
                "words only": (words_of(default_analyze()), BASELINE, 1.0),
                "bigrams+unigrams": (bigrams_unigrams, BASELINE, 1.0)}
    if icu_analyse is not None:
        analyses["ICU words"] = (icu_analyse, BASELINE, 1.0)
    else:
        print("ICU words skipped: pip install PyICU")
    if args.variants:
        analyses.update(variants(stop_words, icu_analyse))

    print("default analysis: %s" % norvane.SparseEncoder().analysis)
    for name, (passages, questions) in corpora:
        print("%-15s %5d passages %5d questions" % (name, len(passages), len(questions)))
    print()
    header = "| analysis | " + " | ".join(name for name, _ in corpora) + " |"
    print(header)
    print("|---|" + "---|" * len(corpora))
    for label, (how, kwargs, scale) in analyses.items():
        start = time.perf_counter()
        cells = []
        for _, (passages, questions) in corpora:
            analyse = how if callable(how) else None
            analysis = how if isinstance(how, str) else None
            mrr, r1, r10 = score(passages, questions, analyse, analysis, kwargs, scale)
            cells.append("%.4f / %.3f / %.3f" % (mrr, r1, r10))
        print("| %s | %s |  %.0fs" % (label, " | ".join(cells), time.perf_counter() - start),
              flush=True)
    print("\ncells: MRR@10 / R@1 / R@10")

    if not args.no_cross:
        cross_script(sets[TRADITIONAL_SET], analyses, icu_analyse)
    return 0


def cross_script(traditional, analyses, icu_analyse):
    """MRR@10 on the Traditional set as is, with simplified questions, and
    with simplified passages."""
    table = simplified_table()
    passages, questions = traditional
    cases = [("T query, T passages", passages, questions),
             ("S query, T passages", passages, [(q.translate(table), p) for q, p in questions]),
             ("T query, S passages", [p.translate(table) for p in passages], questions)]
    print("\n## Cross-script, %s (MRR@10 / R@1 / R@10)\n" % TRADITIONAL_SET)
    print("| analysis | " + " | ".join(c[0] for c in cases) + " |")
    print("|---|" + "---|" * len(cases))
    for label in ("default", "words+bigrams/1", "bigrams+unigrams", "ICU words"):
        if label not in analyses:
            continue
        how, kwargs, scale = analyses[label]
        cells = []
        for _, docs, qs in cases:
            analyse = how if callable(how) else None
            analysis = how if isinstance(how, str) else None
            cells.append("%.4f / %.3f / %.3f" % score(docs, qs, analyse, analysis, kwargs, scale))
        print("| %s | %s |" % (label, " | ".join(cells)), flush=True)


if __name__ == "__main__":
    sys.exit(main())
