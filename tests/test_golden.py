"""Segmentation results on the default data must not change: every sentence
of tests/data/golden.json (written by tools/make_golden.py) must still be cut
into exactly the recorded words."""

import json
import os

import pytest

import pynorvane

norvane = pytest.importorskip("norvane")

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "golden.json")


@pytest.fixture(scope="module")
def segmenter():
    return pynorvane.Segmenter(**norvane.default_paths())


@pytest.fixture(scope="module")
def cases():
    with open(GOLDEN, encoding="utf-8") as golden:
        return json.load(golden)


@pytest.mark.parametrize("mode", ["cut", "cut_for_search"])
def test_results_match_golden_file(segmenter, cases, mode):
    assert len(cases) >= 300
    differences = [
        (case["sentence"], case[mode], got)
        for case in cases
        for got in [getattr(segmenter, mode)(case["sentence"])]
        if got != case[mode]
    ]
    assert not differences, "%d of %d sentences differ; first: %r" % (
        len(differences), len(cases), differences[0])
