"""Threads sharing one Segmenter while others build and drop segmenters: every
result must equal the single-threaded one. (BM25 keeps the interpreter lock,
so its calls never overlap.)

Runs for NORVANE_STRESS_SECONDS seconds (default 10).
"""
import gc
import os
import random
import threading
import time

import pytest

import pynorvane

norvane = pytest.importorskip("norvane")

SECONDS = float(os.environ.get("NORVANE_STRESS_SECONDS", "10"))


def make_sentences(rng):
    with open(norvane.default_paths()["dict_path"], encoding="utf-8") as f:
        words = [line.split(" ")[0] for _, line in zip(range(20000), f)]
    extras = ["abc123", "3.14", " ", "，", "。", "\t", "\n", "\x00", "😀", "Ａ", "\r", "x-y"]
    sentences = ["", "，", "  "]
    for _ in range(300):
        sentences.append("".join(rng.choice(words if rng.random() < 0.8 else extras)
                                 for _ in range(rng.randint(1, 40))))
    # A long run without separators, and hostile bytes: not UTF-8 at all (no
    # words), and leniently decodable but not valid UTF-8 (no str for it).
    sentences.append("".join(rng.choice(words) for _ in range(2000)))
    sentences += [b"\xff\xfe", "中国".encode() + b"\xe4\xb8", b"\xc0\x80abc", b"\xed\xa0\x80"]
    return sentences


def outcome(func, sentence):
    try:
        return ("ok", func(sentence))
    except Exception as e:  # the type is part of the expected result
        return ("error", type(e).__name__)


def test_shared_segmenter_under_churn(data, tmp_path):
    rng = random.Random(20240309)
    shared = pynorvane.Segmenter(**norvane.default_paths())
    sentences = make_sentences(rng)
    expected = [(outcome(shared.cut, s), outcome(shared.cut_for_search, s)) for s in sentences]
    assert any(e[0] == ("error", "UnicodeDecodeError") for e in expected)

    small_sentence = "小明的北京天安门"
    small_expected = data.segmenter().cut(small_sentence)

    deadline = time.monotonic() + SECONDS
    errors = []
    counts = {}

    def cutter(seed):
        local = random.Random(seed)
        while time.monotonic() < deadline:
            i = local.randrange(len(sentences))
            got = (outcome(shared.cut, sentences[i]), outcome(shared.cut_for_search, sentences[i]))
            assert got == expected[i], f"sentence {i} gave a different result"
            yield

    def churner(_):
        while time.monotonic() < deadline:
            assert data.segmenter().cut(small_sentence) == small_expected
            with pytest.raises(RuntimeError):
                data.segmenter(hmm_path=str(tmp_path / "missing.txt"))
            gc.collect()
            yield

    def run(name, body, k):
        try:
            counts[name] = sum(1 for _ in body(k))
        except BaseException as e:  # reported by the main thread
            errors.append(f"{name}: {type(e).__name__}: {e}")

    threads = []
    for body, n in [(cutter, 8), (churner, 2)]:
        for k in range(n):
            name = f"{body.__name__}{k}"
            threads.append(threading.Thread(target=run, args=(name, body, k), name=name))
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 120)
        assert not thread.is_alive(), f"{thread.name} is stuck"
    assert errors == []
    # Every thread got work done, so they really ran side by side.
    assert sorted(counts) == sorted(t.name for t in threads)
    assert all(n > 0 for n in counts.values()), counts
