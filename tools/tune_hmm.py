#!/usr/bin/env python3
"""Compare HMM estimates by segmentation F1 on a development file.

Usage: python tools/tune_hmm.py DEV.conllu [--source HANLP_DIR] [--quick]

Builds the bundled dictionary once, then for every candidate HmmOptions
writes an HMM file to a temporary folder, loads a Segmenter with it and
scores cut() on the gold file. Prints one line per candidate, best last.
Tune on development data only; the test file is for the final report.
"""

import argparse
import itertools
import os
import sys
import tempfile

import build_default_data as build
import eval_segmentation as evaluation


def candidates(quick):
    if quick:
        powers, biases, smoothings = (0.5, 1.0), (0.5, 4.0), (0.01,)
    else:
        powers, biases, smoothings = (0.25, 0.5, 0.75, 1.0), (0.25, 0.5, 1.0, 2.0, 4.0), (0.01, 0.05, 0.5)
    for power, bias, smoothing in itertools.product(powers, biases, smoothings):
        yield build.HmmOptions(power=power, single_bias=bias, emit_smoothing=smoothing)
    yield build.HmmOptions(log_damping=True)
    yield build.HmmOptions(power=1.0, single_power=1.0, single_bias=1.0, emit_smoothing=0.5)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("dev", help="CoNLL-U or space-separated gold file")
    parser.add_argument("--source", default=build.default_source(), help="HanLP data folder")
    parser.add_argument("--quick", action="store_true", help="a handful of candidates only")
    args = parser.parse_args(argv)

    import norvane
    import pynorvane

    report = build.Report()
    entries = build.read_core_dictionary(os.path.join(args.source, "CoreNatureDictionary.txt"), report)
    rows = build.build_dictionary(entries, report)
    sentences = evaluation.read_gold(args.dev)
    results = []
    with tempfile.TemporaryDirectory() as folder:
        paths = dict(norvane.default_paths())
        paths["dict_path"] = os.path.join(folder, build.DICT_FILE)
        paths["hmm_path"] = os.path.join(folder, build.HMM_FILE)
        build.write_text(paths["dict_path"], build.format_dictionary(rows))
        vocabulary = evaluation.read_vocabulary(paths["dict_path"])
        for options in candidates(args.quick):
            build.write_text(paths["hmm_path"], build.format_hmm(build.estimate_hmm(rows, options)))
            counts = evaluation.evaluate(sentences, pynorvane.Segmenter(**paths).cut, vocabulary)
            results.append((counts.f1, str(options), counts))
            print(evaluation.format_counts(str(options), counts), flush=True)
    f1, name, counts = max(results, key=lambda item: item[0])
    print("best:", evaluation.format_counts(name, counts))
    return 0


if __name__ == "__main__":
    sys.exit(main())
