#!/usr/bin/env python3
"""Score Segmenter.cut against a gold segmentation.

Usage: python tools/eval_segmentation.py GOLD [GOLD ...] [--dict P] [--hmm P] ...

GOLD is a CoNLL-U file (the FORM column of token lines is the gold word;
comments, multi-word ranges such as 3-4 and empty nodes such as 3.1 are
skipped; the raw sentence is the "# text = " comment) or a plain file with
one sentence per line, words separated by spaces.

Scoring follows the usual word segmentation bakeoffs: a word counts as
correct when its character span matches a gold word exactly. White space is
not part of any span, so spaces in the raw text do not count as words.
Out-of-vocabulary recall is the recall over gold words that the dictionary
in use does not hold. Data paths default to the bundled data; override them
to evaluate candidate files.
"""

import argparse
import os
import sys
from dataclasses import dataclass


@dataclass
class Counts:
    gold: int = 0
    predicted: int = 0
    correct: int = 0
    gold_oov: int = 0
    correct_oov: int = 0
    sentences: int = 0

    def add(self, other):
        for name in self.__dataclass_fields__:
            setattr(self, name, getattr(self, name) + getattr(other, name))

    @property
    def precision(self):
        return self.correct / self.predicted if self.predicted else 0.0

    @property
    def recall(self):
        return self.correct / self.gold if self.gold else 0.0

    @property
    def f1(self):
        p, r = self.precision, self.recall
        return 2 * p * r / (p + r) if p + r else 0.0

    @property
    def oov_recall(self):
        return self.correct_oov / self.gold_oov if self.gold_oov else 0.0

    @property
    def oov_rate(self):
        return self.gold_oov / self.gold if self.gold else 0.0


def read_conllu(lines):
    """(raw text, gold words) per sentence of CoNLL-U lines."""
    sentences = []
    text, words = None, []
    for line in list(lines) + [""]:
        line = line.rstrip("\r\n")
        if not line.strip():
            if words:
                sentences.append((text if text is not None else "".join(words), words))
            text, words = None, []
        elif line.startswith("#"):
            key, sep, value = line[1:].partition("=")
            if sep and key.strip() == "text":
                text = value.strip()
        else:
            fields = line.split("\t")
            if len(fields) < 2 or not fields[0].isdigit():
                continue  # ranges (3-4) and empty nodes (3.1)
            words.append(fields[1])
    return sentences


def read_word_lines(lines):
    """(raw text, gold words) per non-empty line of space-separated words."""
    sentences = []
    for line in lines:
        words = line.split()
        if words:
            sentences.append(("".join(words), words))
    return sentences


def read_gold(path):
    with open(path, encoding="utf-8-sig") as source:
        lines = source.readlines()
    conllu = path.endswith(".conllu") or any(
        line.startswith("# text") or line.count("\t") >= 7 for line in lines[:50])
    return read_conllu(lines) if conllu else read_word_lines(lines)


def spans(words):
    """Character spans of the words, white space removed from the text."""
    result = []
    position = 0
    for word in words:
        length = sum(1 for ch in word if not ch.isspace())
        if length:
            result.append((position, position + length))
            position += length
    return result


def _covered(span_list):
    return span_list[-1][1] if span_list else 0


def score_sentence(gold, predicted, vocabulary):
    gold_spans, predicted_spans = spans(gold), spans(predicted)
    if _covered(gold_spans) != _covered(predicted_spans):
        raise ValueError(f"the cut does not cover the gold text: {''.join(gold)!r}")
    matched = set(gold_spans) & set(predicted_spans)
    counts = Counts(gold=len(gold_spans), predicted=len(predicted_spans),
                    correct=len(matched), sentences=1)
    gold_words = [w for w in gold if any(not ch.isspace() for ch in w)]
    for word, span in zip(gold_words, gold_spans):
        if word not in vocabulary:
            counts.gold_oov += 1
            counts.correct_oov += span in matched
    return counts


def evaluate(sentences, cut, vocabulary):
    total = Counts()
    for text, gold in sentences:
        total.add(score_sentence(gold, cut(text), vocabulary))
    return total


def read_vocabulary(*dict_paths):
    vocabulary = set()
    for path in dict_paths:
        if not path:
            continue
        with open(path, encoding="utf-8") as source:
            for line in source:
                word = line.split(" ", 1)[0].rstrip("\r\n")
                if word:
                    vocabulary.add(word)
    return vocabulary


def format_counts(name, counts):
    return (f"{name}: sentences {counts.sentences}, gold words {counts.gold}, "
            f"P {counts.precision:.4f} R {counts.recall:.4f} F1 {counts.f1:.4f} "
            f"OOV rate {counts.oov_rate:.4f} OOV-R {counts.oov_recall:.4f}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("gold", nargs="+", help="CoNLL-U or space-separated gold files")
    parser.add_argument("--dict", dest="dict_path")
    parser.add_argument("--hmm", dest="hmm_path")
    parser.add_argument("--user-dict", dest="user_dict_path")
    parser.add_argument("--idf", dest="idf_path")
    parser.add_argument("--stop-words", dest="stop_word_path")
    args = parser.parse_args(argv)

    import norvane
    import pynorvane

    paths = norvane.default_paths()
    for key in paths:
        if getattr(args, key) is not None:
            paths[key] = getattr(args, key)
    try:
        segmenter = pynorvane.Segmenter(**paths)
    except RuntimeError as error:
        parser.error(f"cannot load the segmenter data: {error}")
    user_dicts = [p for p in paths["user_dict_path"].replace("|", ";").split(";") if p]
    vocabulary = read_vocabulary(paths["dict_path"], *user_dicts)
    for path in args.gold:
        counts = evaluate(read_gold(path), segmenter.cut, vocabulary)
        print(format_counts(os.path.basename(path), counts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
