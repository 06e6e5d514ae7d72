"""Threads sharing one Segmenter while others build and drop segmenters and
train separate BM25 models: every result must equal the single-threaded one.

Runs for NORVANE_STRESS_SECONDS seconds (default 10).
"""
import gc
import os
import random
import threading
import time

import pytest

import pynorvane

pynorvane_data = pytest.importorskip("pynorvane_data")
if not hasattr(pynorvane, "Segmenter"):
    pytest.skip("the module has no Segmenter", allow_module_level=True)

SECONDS = float(os.environ.get("NORVANE_STRESS_SECONDS", "10"))
MIN = "-3.14e100"


def default_words(limit=20000):
    path = pynorvane_data.default_paths()["dict_path"]
    with open(path, encoding="utf-8") as f:
        return [line.split(" ")[0] for _, line in zip(range(limit), f)]


def make_sentences(rng, words):
    extras = ["abc123", "3.14", " ", "，", "。", "\t", "\n", "\x00", "😀", "Ａ", "\r", "x-y"]
    sentences = ["", "，", "  "]
    for _ in range(300):
        n = rng.randint(1, 40)
        sentences.append("".join(rng.choice(words if rng.random() < 0.8 else extras)
                                 for _ in range(n)))
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


def write_small_data(root):
    files = {
        "dict_path": ("dict.txt", ["中国 10 ns", "中 30 zg", "北京 20 ns", "大学 15 n"]),
        "hmm_path": ("hmm.txt", [f"-0.6 {MIN} {MIN} -0.8", f"{MIN} -0.5 -0.9 {MIN}",
                                 f"-0.7 {MIN} {MIN} -0.7", f"{MIN} -0.6 -0.8 {MIN}",
                                 f"-0.7 {MIN} {MIN} -0.7", "小:-1.0", "明:-1.0", "晓:-1.0",
                                 "的:-0.5"]),
        "idf_path": ("idf.txt", ["中国 5.0"]),
        "stop_word_path": ("stop.txt", ["的"]),
    }
    paths = {"user_dict_path": ""}
    for key, (name, lines) in files.items():
        path = root / name
        path.write_text("\n".join(lines) + "\n", encoding="utf-8")
        paths[key] = str(path)
    return paths


def bm25_job(docs, dump_path=None):
    model = pynorvane.BM25(0.75, 1.2)
    for doc in docs:
        model.train(doc)
    results = [model.encode_document(doc) for doc in docs]
    results += [model.encode_query(doc[:3]) for doc in docs]
    if dump_path is not None and hasattr(model, "dump"):
        model.dump(dump_path)
        restored = pynorvane.BM25()
        with open(dump_path, encoding="utf-8") as f:
            restored.load(f.read())
        results += [restored.encode_query(doc[:3]) for doc in docs]
    return results


def test_shared_segmenter_under_churn(tmp_path):
    rng = random.Random(20240309)
    shared = pynorvane.Segmenter(**pynorvane_data.default_paths())
    sentences = make_sentences(rng, default_words())
    expected = [(outcome(shared.cut, s), outcome(shared.cut_for_search, s)) for s in sentences]
    assert any(e[0] == ("error", "UnicodeDecodeError") for e in expected)

    small_paths = write_small_data(tmp_path)
    small_sentence = "小明的中国北京大学"
    small_expected = pynorvane.Segmenter(**small_paths).cut(small_sentence)
    broken_paths = dict(small_paths, hmm_path=str(tmp_path / "missing.txt"))

    docs = [[w for w in shared.cut(s) if w.strip()] or ["empty"]
            for s in sentences if isinstance(s, str)][:120]
    bm25_expected = bm25_job(docs, str(tmp_path / "reference.json"))

    deadline = time.monotonic() + SECONDS
    errors = []
    counts = {}
    lock = threading.Lock()

    def record(name, n):
        with lock:
            counts[name] = counts.get(name, 0) + n

    def guarded(name, body):
        def run():
            try:
                record(name, body())
            except BaseException as e:  # reported by the main thread
                errors.append(f"{name}: {type(e).__name__}: {e}")
        return threading.Thread(target=run, name=name)

    def cutter(seed):
        def body():
            local = random.Random(seed)
            done = 0
            while time.monotonic() < deadline:
                i = local.randrange(len(sentences))
                got = (outcome(shared.cut, sentences[i]),
                       outcome(shared.cut_for_search, sentences[i]))
                if got != expected[i]:
                    raise AssertionError(f"sentence {i} gave a different result")
                done += 1
            return done
        return body

    def churner():
        done = 0
        while time.monotonic() < deadline:
            seg = pynorvane.Segmenter(**small_paths)
            if seg.cut(small_sentence) != small_expected:
                raise AssertionError("a fresh segmenter cut differently")
            del seg
            with pytest.raises(RuntimeError):
                pynorvane.Segmenter(**broken_paths)
            gc.collect()
            done += 1
        return done

    def trainer(k):
        def body():
            done = 0
            while time.monotonic() < deadline:
                if bm25_job(docs, str(tmp_path / f"model{k}.json")) != bm25_expected:
                    raise AssertionError("a BM25 model encoded differently")
                done += 1
            return done
        return body

    threads = [guarded(f"cut{k}", cutter(k)) for k in range(8)]
    threads += [guarded(f"churn{k}", churner) for k in range(2)]
    threads += [guarded(f"bm25_{k}", trainer(k)) for k in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 120)
        assert not thread.is_alive(), f"{thread.name} is stuck"
    assert errors == []
    # Every thread got work done, so they really ran side by side.
    assert sorted(counts) == sorted(t.name for t in threads)
    assert all(n > 0 for n in counts.values()), counts
