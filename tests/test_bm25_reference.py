"""The encoder against an independent pure-Python encoder (also the
benchmarks' baseline): same statistics, same weights, same key order, on
random corpora."""

import random

import pytest

import pynorvane
from bm25_reference import PyBM25

STRINGS = ["a", "b", "ab", "B", "中", "中文", "文", "é", "😀", "", " ", "7", "-3", "10"]
INTEGERS = [0, 1, 7, -3, 10, 2 ** 63 - 1, -2 ** 63, 123456789]


# Strings that agree on their first eight bytes or are prefixes of each other,
# with NUL bytes, so ordering and counting must look past a fixed-size prefix.
PREFIXED = ["abcdefgh", "abcdefghi", "abcdefgh\0", "abcdefg", "ab", "ab\0", "a\0", "a",
            "中文中文中文", "中文中文中文x", "中文中", "abcdefghij" * 3, "abcdefghij" * 3 + "a"]


def random_documents(rng, pool, count, lengths=(1, 12)):
    return [[rng.choice(pool) for _ in range(rng.randint(*lengths))] for _ in range(count)]


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("pool, lengths", [
    (STRINGS, (1, 12)), (INTEGERS, (1, 12)),
    (PREFIXED + STRINGS, (60, 400)), (INTEGERS + list(range(-40, 40)), (60, 400)),
], ids=["str", "int", "long-str", "long-int"])
def test_same_weights_as_reference(seed, pool, lengths):
    rng = random.Random(seed)
    params = {"b": rng.choice([0.0, 0.5, 0.75, 1.0]), "k1": rng.choice([0.5, 1.2, 2.0])}
    native, reference = pynorvane.BM25(**params), PyBM25(**params)
    # Both token kinds share one table: mix string and integer documents. The
    # first token of the pool is never trained, so queries hold unknown tokens.
    for document in random_documents(rng, pool[1:], 30, lengths) + random_documents(
            rng, STRINGS[1:], 5):
        native.train(document)
        reference.train(document)
    for tokens in random_documents(rng, pool, 40, lengths):
        assert list(native.encode_document(tokens).items()) == list(
            reference.encode_document(tokens).items())
        assert list(native.encode_query(tokens).items()) == list(
            reference.encode_query(tokens).items())
