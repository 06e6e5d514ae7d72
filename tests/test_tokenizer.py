"""norvane.Tokenizer against pynorvane.Segmenter on the same data: the same
words, offsets that slice them out of the text, batches equal to single
calls, traditional input, pickling and the refusals."""

import gc
import json
import multiprocessing
import os
import pickle
import random
import signal
import subprocess
import sys
import time

import pytest

import norvane
import pynorvane

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "golden.json")
TRADITIONAL = "臺灣的資訊產業發展迅速"


@pytest.fixture(scope="module")
def tok():
    return norvane.Tokenizer()


@pytest.fixture(scope="module")
def texts():
    """The golden sentences and random text: dictionary words, rare and
    astral characters, Latin, digits, separators."""
    with open(GOLDEN, encoding="utf-8") as golden:
        sentences = [case["sentence"] for case in json.load(golden)]
    rng = random.Random(14)
    with open(norvane.default_paths()["dict_path"], encoding="utf-8") as lines:
        words = [line.split(" ")[0] for _, line in zip(range(30000), lines)]
    extras = ["😀", "𠀀", "é", "Ａ", " ", "，", "。", "\t", "\n", "abc", "3.14", "-", "\x00", "臺灣"]
    for _ in range(300):
        sentences.append("".join(rng.choice(words if rng.random() < 0.75 else extras)
                                 for _ in range(rng.randint(1, 30))))
    return sentences


def check_spans(text, accurate, search):
    """Every token slices its word out of text; the accurate tokens come out
    in the search cut in order, and each search-only sub-word lies inside the
    accurate word after it."""
    for word, start, end in accurate + search:
        assert text[start:end] == word
    parents = iter(accurate)
    parent = next(parents, None)
    for token in search:
        if token == parent:
            parent = next(parents, None)
        else:
            assert parent[1] <= token[1] and token[2] <= parent[2], (text, token, parent)
    assert parent is None


def test_cuts_equal_the_segmenter_and_offsets_slice_the_text(tok, texts):
    seg = pynorvane.Segmenter(**norvane.default_paths())
    for text in texts:
        accurate, search = tok.tokenize(text), tok.tokenize(text, mode="search")
        assert [t[0] for t in accurate] == tok.cut(text) == seg.cut(text)
        assert [t[0] for t in search] == tok.cut(text, "search") == seg.cut_for_search(text)
        check_spans(text, accurate, search)


@pytest.mark.parametrize("mode", ["accurate", "search"])
@pytest.mark.parametrize("threads", [0, 1, 2, 5])
def test_batch_equals_single_calls(tok, texts, mode, threads):
    assert tok.cut_batch(iter(texts), mode, threads) == [tok.cut(t, mode) for t in texts]
    assert tok.tokenize_batch(texts, mode=mode, threads=threads) == \
        [tok.tokenize(t, mode) for t in texts]
    assert gc.isenabled()  # paused while the lists are built, then restored


def test_traditional_text_comes_out_as_words_of_the_original(tok):
    trad = norvane.Tokenizer(traditional=True)
    simplified = "台湾的资讯产业发展迅速"
    expected = [(TRADITIONAL[s:e], s, e) for _, s, e in tok.tokenize(simplified)]
    assert len(expected) == 6
    assert trad.tokenize(TRADITIONAL) == expected
    assert trad.cut_batch([TRADITIONAL], threads=2) == [[w for w, _, _ in expected]]
    text = "😀" + TRADITIONAL + " Ａ，" + TRADITIONAL
    check_spans(text, trad.tokenize(text), trad.tokenize(text, "search"))
    assert [w for w, _ in trad.tag(TRADITIONAL)] == [w for w, _, _ in expected]
    # Simplified text has no traditional characters to map.
    assert trad.cut(simplified) == tok.cut(simplified)


def test_tags_and_keywords(data):
    tok = norvane.Tokenizer(**data.paths)
    assert tok.tag("我爱北京 2024") == [("我", "r"), ("爱", "v"), ("北京", "ns"), (" ", "x"),
                                       ("2024", "m")]
    text = "北京天安门北京，小明的ab。"
    assert tok.cut(text) == ["北京", "天安门", "北京", "，", "小明", "的", "ab", "。"]
    # Counted: 北京 twice, 天安门, 小明, ab; words the IDF table lacks get its
    # mean, (5.5 + 7.25) / 2; ties keep text order.
    mean = (5.5 + 7.25) / 2
    assert tok.keywords(text, top_k=4) == [
        ("北京", pytest.approx(2 / 5 * 5.5)), ("天安门", pytest.approx(7.25 / 5)),
        ("小明", pytest.approx(mean / 5)), ("ab", pytest.approx(mean / 5))]
    assert tok.keywords(text, top_k=0) == [] == tok.keywords("的了，")


def _cut_in_child(tok):
    return tok.cut(TRADITIONAL), tok.traditional


@pytest.mark.parametrize("method", ["fork", "spawn"])
def test_pickled_tokenizer_is_rebuilt_from_paths_and_settings(data, method):
    trad = norvane.Tokenizer(**data.paths, traditional=True)
    copy = pickle.loads(pickle.dumps(trad))
    assert copy.paths == trad.paths and copy.traditional
    with multiprocessing.get_context(method).Pool(1) as pool:
        assert pool.map(_cut_in_child, [trad, norvane.Tokenizer()]) == [
            (trad.cut(TRADITIONAL), True), (norvane.Tokenizer().cut(TRADITIONAL), False)]


@pytest.mark.parametrize("bad", [None, 3, b"\xe5\x8c\x97", "\ud800北京"])
def test_refused_text_is_refused_like_the_segmenter(tok, seg, bad):
    if not isinstance(bad, bytes):
        with pytest.raises(TypeError):
            seg.cut(bad)
    for call in (tok.cut, tok.tokenize, tok.tag, tok.keywords):
        with pytest.raises(TypeError):
            call(bad)
    with pytest.raises(TypeError, match=r"texts\[2\]"):
        tok.cut_batch(["北京", "", bad])
    with pytest.raises(TypeError, match=r"texts\[5000\]"):  # in a later chunk
        tok.tokenize_batch(["北京天安门"] * 5000 + [bad], threads=2)


@pytest.mark.parametrize("call, error", [
    (lambda tok: tok.cut("北京", mode="full"), ValueError),
    (lambda tok: tok.tokenize_batch(["北京"], mode=None), ValueError),
    (lambda tok: tok.cut_batch(["北京"], threads=-1), ValueError),
    (lambda tok: tok.keywords("北京", top_k=-1), ValueError),
    (lambda tok: tok.cut_batch("北京"), TypeError),
    (lambda tok: tok.cut_batch(3), TypeError),
])
def test_bad_arguments(tok, call, error):
    with pytest.raises(error):
        call(tok)


def test_refused_data_file_raises_the_segmenters_error(data):
    paths = dict(data.paths, idf_path=str(data.root / "missing.txt"))
    with pytest.raises(RuntimeError) as expected:
        pynorvane.Segmenter(**paths)
    with pytest.raises(RuntimeError) as error:
        norvane.Tokenizer(**paths)
    assert error.value.args == expected.value.args


def test_exit_while_daemon_threads_cut():
    # The threads are still cutting while the interpreter shuts down (held up
    # by a slow finaliser) and are ended as they take the lock back.
    script = """if True:
        import threading, time, norvane
        tok = norvane.Tokenizer()
        text = "北京天安门小明的，" * 1000
        for n in (10, 100, 300):
            for call, args in ((tok.cut, (text * n,)), (tok.keywords, (text * n,)),
                               (tok.cut_batch, ([text] * n,)),
                               (tok.tokenize_batch, (iter([text] * n),))):
                threading.Thread(target=call, args=args, daemon=True).start()
        class Slow:
            def __del__(self):
                time.sleep(1)
        keep = Slow()
        """
    for _ in range(2):
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
        assert result.returncode == 0, result.stderr


def test_signal_handlers_run_during_a_long_batch(tok):
    # The handler runs between chunks, while the batch is still going, and
    # its exception ends the batch.
    calls = []

    def handler(signum, frame):
        calls.append(time.perf_counter())
        if len(calls) > 1:
            raise KeyboardInterrupt

    texts = ["我爱北京天安门，小明硕士毕业于中国科学院计算所。" * 4] * 100000
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        tok.cut_batch(texts, threads=1)
        end = time.perf_counter()
        # Held until the batch returns, the call would come at its very end.
        assert calls and calls[0] - start < (end - start) / 2
        signal.setitimer(signal.ITIMER_REAL, 0.01)
        with pytest.raises(KeyboardInterrupt):
            tok.tokenize_batch(texts, threads=2)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


RUNTIME_WORDS = ["小米汽车", ("澎湃OS", "nz"), ("麒麟9000S", 1000, "nz"), ("天气很", 5, "x"),
                 "北京天", ("中华人民", "ns")]


def test_runtime_words_cut_as_a_user_dictionary_file(tok, texts, tmp_path):
    """Words given at run time, by the constructor or added to a built
    tokenizer, cut exactly as the same lines in a user-dictionary file."""
    from norvane._tokenizer import word_lines

    rng = random.Random(23)
    file = tmp_path / "user.txt"
    file.write_text("\n".join(word_lines(RUNTIME_WORDS)) + "\n", encoding="utf-8")
    reference = norvane.Tokenizer(user_dict_path=str(file))
    built = norvane.Tokenizer(words=RUNTIME_WORDS)
    added = tok.with_words(RUNTIME_WORDS[:3]).with_words(RUNTIME_WORDS[3:])
    assert built.words == added.words == word_lines(RUNTIME_WORDS)
    pieces = [w if isinstance(w, str) else w[0] for w in RUNTIME_WORDS]
    sample = texts[:200] + ["".join(rng.choice(pieces + ["发布了", "和", "，", "OS"])
                                    for _ in range(rng.randint(1, 12))) for _ in range(200)]
    for other in (built, added, pickle.loads(pickle.dumps(added))):
        for text in sample:
            for mode in ("accurate", "search"):
                assert other.tokenize(text, mode) == reference.tokenize(text, mode), text
            assert other.tag(text) == reference.tag(text)
    assert tok.words == [] and tok.cut("小米汽车") == norvane.Tokenizer().cut("小米汽车")


@pytest.mark.parametrize("words, error, message", [
    ("小米汽车", TypeError, "not a single str"),
    (["小米 汽车"], ValueError, r"words\[0\]: the word must be non-empty and without spaces"),
    ([("芯片", 0, "n")], ValueError, "frequency must be an int of at least 1"),
    ([("芯片", 3)], TypeError, "the tag must be str"),
    ([("芯片",)], TypeError, r"words\[0\] must be a str"),
    (["\ud800"], ValueError, "lone surrogate"),
    (["字" * 513], ValueError, "at most 512 characters"),
])
def test_bad_runtime_words(tok, words, error, message):
    with pytest.raises(error, match=message):
        tok.with_words(words)
    with pytest.raises(error, match=message):
        norvane.Tokenizer(words=words)


def test_statistics_remember_runtime_words(tmp_path):
    text = "小米汽车发布了澎湃OS和新款芯片麒麟9000S"
    tok = norvane.Tokenizer().with_words(RUNTIME_WORDS)
    encoder = norvane.SparseEncoder(tokenizer=tok).fit([text, "北京天气很好"])
    path = str(tmp_path / "e.json")
    encoder.save(path)
    for loaded in (norvane.SparseEncoder.load(path), pickle.loads(pickle.dumps(encoder))):
        assert loaded.tokenizer.words == tok.words
        assert loaded.encode_queries([text]) == encoder.encode_queries([text])
        assert loaded.analyze(text) == encoder.analyze(text)
    with pytest.raises(ValueError, match="analysis"):
        norvane.SparseEncoder.load(path, tokenizer=norvane.Tokenizer())
    with pytest.raises(ValueError, match="analysis"):
        norvane.SparseEncoder.load(path, tokenizer=norvane.Tokenizer(words=RUNTIME_WORDS[:2]))
