"""The encoder's analyses: token kinds, traditional folding, the earlier
analysis kept loadable, and one pass against two."""

import json
import math
import os
import pickle
import re
import unicodedata
from collections import Counter

import pytest
from hypothesis import given, settings, strategies as st

import norvane

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
NEW, OLD = "words+ngrams/2", "words+bigrams/1"
MARK = "\x01"
# Written by the encoder before the analyses were selectable (default
# SparseEncoder(), its only analysis OLD): the model file, and the texts with
# the weights that encoder gave them.
OLD_MODEL = os.path.join(HERE, "data", "encoder_words_bigrams_1.json")
OLD_WEIGHTS = os.path.join(HERE, "data", "encoder_words_bigrams_1_weights.json")


def simplified_table():
    with open(os.path.join(ROOT, "data", "t2s_pairs.inc"), encoding="utf-8") as f:
        pairs = re.findall(r"\{0x([0-9A-F]+), 0x([0-9A-F]+)\}", f.read())
    return {int(t, 16): int(s, 16) for t, s in pairs}


T2S = simplified_table()
TRADITIONAL = sorted(chr(t) for t in T2S)
# Characters whose simplified form has the same UTF-8 length, and some that do not.
SAME_LENGTH = [c for c in TRADITIONAL if len(c.encode()) == len(chr(T2S[ord(c)]).encode())]
OTHER_LENGTH = [c for c in TRADITIONAL if c not in set(SAME_LENGTH)]


def fold(text):
    """The analysis's folding: full-width ASCII forms to ASCII, the
    ideographic space to a space, lower case, traditional to simplified."""
    out = []
    for c in text:
        o = ord(c)
        if 0xFF01 <= o <= 0xFF5E:
            c = chr(o - 0xFEE0)
        elif o == 0x3000:
            c = " "
        out.append(c)
    return "".join(out).lower().translate(T2S)


def reference_ngrams(text):
    """Marked single letters and adjacent pairs within runs of letters and
    digits, by the Unicode categories (the texts below use no character the
    encoder's own class and those categories disagree on)."""
    out, run = [], []
    for c in fold(text) + " ":
        if unicodedata.category(c)[0] in "LN":
            run.append(MARK + c)
            continue
        out += run + [a + b for a, b in zip(run, run[1:])]
        run = []
    return Counter(out)


@pytest.fixture(scope="module")
def tokenizer():
    return norvane.Tokenizer()


@pytest.fixture(scope="module")
def new(tokenizer):
    return norvane.SparseEncoder(tokenizer)


def split(tokens):
    return [t for t in tokens if not t.startswith(MARK)], [t for t in tokens if t.startswith(MARK)]


TEXTS = ["北京天气很好", "北京的天气，很好！", "我在2024年买了iPhone12手机", "ＡＢＣ１２３和abc",
         "臺灣的天氣很好", "Hello, World. 上海 大学", "", "。，！ ", "一"]


def test_default_is_the_new_analysis_with_its_own_k1(new):
    assert norvane.ANALYSES == (NEW, OLD)
    assert new.analysis.split(";")[0] == NEW and new.k1 == 0.9 and new.b == 0.75
    old = norvane.SparseEncoder(analysis=OLD)
    assert old.analysis.split(";")[0] == OLD and old.k1 == 1.2
    assert norvane.SparseEncoder(analysis=OLD, k1=2.0).k1 == 2.0


@pytest.mark.parametrize("text", TEXTS)
def test_ngrams_are_marked_letters_and_pairs_of_the_folded_text(new, text):
    words, ngrams = split(new.analyze(text))
    assert Counter(ngrams) == reference_ngrams(text)
    folded = fold(text)
    for word in words:
        assert MARK not in word and word in folded
        assert any(unicodedata.category(c)[0] in "LN" for c in word)


@pytest.mark.parametrize("text, words", [
    ("北京天气很好", ["北京", "天气", "很好"]),
    ("北京的天气", ["北京", "天气"]),  # 的 is a stop word
    ("我在2024年买了iPhone12手机", ["2024", "年", "买了", "iphone12", "手机"]),
    ("ＡＢＣ１２３和abc", ["abc123", "abc"]),
    ("臺灣的天氣很好", ["台湾", "天气", "很好"]),
])
def test_words_split_letter_and_digit_runs_from_ideographs(new, text, words):
    assert split(new.analyze(text))[0] == words


def test_a_word_and_the_pair_of_its_characters_are_counted_apart(new, tokenizer):
    tokens = new.analyze("北京天气很好")
    assert tokens.count("北京") == 1 and tokens.count(MARK + "北" + MARK + "京") == 1
    enc = norvane.SparseEncoder(tokenizer).fit(["北京", "北京天气", "北方的京剧"])
    # The pair of 北京 is in two documents, the word 北京 in two, 北 and 京 in three.
    assert enc.document_frequency("北京") == 2
    assert enc.document_frequency(MARK + "北" + MARK + "京") == 2
    assert enc.document_frequency(MARK + "北") == 3
    # The earlier analysis counts the word and the pair as one token.
    assert norvane.SparseEncoder(tokenizer, analysis=OLD).analyze("北京天气很好").count("北京") == 2


@pytest.mark.parametrize("pool", [SAME_LENGTH, OTHER_LENGTH], ids=["same length", "other length"])
@settings(max_examples=60, deadline=None)
@given(data=st.data())
def test_traditional_text_analyses_as_its_simplified_form(new, pool, data):
    chars = st.sampled_from(pool + list("的天气很好北京abc12 。，"))
    text = data.draw(st.text(chars, max_size=40))
    assert new.analyze(text) == new.analyze(text.translate(T2S))


def test_the_earlier_analysis_does_not_fold_traditional(tokenizer):
    old = norvane.SparseEncoder(tokenizer, analysis=OLD)
    assert old.analyze("臺灣") != old.analyze("台湾")


def test_query_weights_are_idf_with_words_weighted(tokenizer):
    docs = ["北京天气很好", "上海天气不好", "北京大学", "天气预报"]
    enc = norvane.SparseEncoder(tokenizer).fit(docs)
    query = "北京天气"
    n = enc.document_count
    tokens = set(enc.analyze(query))
    raw = {t: math.log((n + 1) / (max(enc.document_frequency(t), 1) + 0.5)) *
           (1.0 if t.startswith(MARK) else 2.5) for t in tokens}
    total = sum(raw.values())
    assert enc.encode_queries([query])[0] == pytest.approx(
        {t: w / total for t, w in raw.items()}, rel=1e-12)
    # Given tokens keep plain IDF weights, whatever the analysis.
    given_tokens = sorted(tokens)
    plain = {t: math.log((n + 1) / (max(enc.document_frequency(t), 1) + 0.5)) for t in tokens}
    total = sum(plain.values())
    assert enc.encode_queries([given_tokens])[0] == pytest.approx(
        {t: w / total for t, w in plain.items()}, rel=1e-12)


# ---- the earlier analysis ---------------------------------------------------

def test_a_file_of_the_earlier_encoder_loads_with_its_analysis_and_weights():
    with open(OLD_WEIGHTS, encoding="utf-8") as f:
        want = json.load(f)
    enc = norvane.SparseEncoder.load(OLD_MODEL)
    assert enc.analysis == want["analysis"] and enc.analysis.startswith(OLD + ";")
    assert (enc.b, enc.k1, enc.document_count) == (want["b"], want["k1"], want["documents"])
    assert enc.encode_documents(want["texts"]) == want["document_weights"]
    assert enc.encode_queries(want["queries"]) == want["query_weights"]
    assert pickle.loads(pickle.dumps(enc)).encode_queries(want["queries"]) == want["query_weights"]


@pytest.mark.parametrize("analysis", [NEW, OLD])
def test_copies_for_shards_and_indexes_keep_the_analysis(tokenizer, analysis):
    from norvane._util import empty_like, snapshot
    enc = norvane.SparseEncoder(tokenizer, analysis=analysis, k1=1.7).fit(TEXTS)
    empty = empty_like(enc)
    assert (empty.analysis, empty.k1, empty.document_count) == (enc.analysis, 1.7, 0)
    copy = snapshot(enc)
    assert copy.encode_queries(TEXTS, "ids") == enc.encode_queries(TEXTS, "ids")


def test_analyses_are_named_and_never_mixed(tokenizer, tmp_path):
    with pytest.raises(ValueError, match="unknown analysis 'words'"):
        norvane.SparseEncoder(analysis="words")
    old = norvane.SparseEncoder(tokenizer, analysis=OLD, k1=0.9).fit(["北京"])
    with pytest.raises(ValueError, match="different analyses"):
        norvane.SparseEncoder(tokenizer).fit(["北京"]).merge(old)
    text = old._native.model_text().replace(OLD, "words+trigrams/9")
    (tmp_path / "m.json").write_text(text, encoding="utf-8")
    with pytest.raises(ValueError, match="words\\+trigrams/9"):
        norvane.SparseEncoder.load(tmp_path / "m.json")


def test_an_index_of_the_earlier_analysis_reopens_with_it(tmp_path):
    pytest.importorskip("pymilvus")
    pytest.importorskip("milvus_lite")
    from norvane.index import SearchIndex
    path = str(tmp_path / "index.db")
    texts = ["今天北京天气晴朗", "上海发布暴雨预警", "这款新手机电池续航长"]
    with SearchIndex(path, encoder=norvane.SparseEncoder(analysis=OLD)) as index:
        index.add(texts, ["a", "b", "c"])
        before = [(h.id, h.score) for h in index.search("北京天气")]
    # An encoder of the default analysis given to reopen it only lends its tokenizer.
    tokenizer = norvane.Tokenizer()
    with SearchIndex(path, encoder=norvane.SparseEncoder(tokenizer=tokenizer)) as index:
        assert index.encoder.analysis.startswith(OLD + ";")
        assert index.encoder.tokenizer is tokenizer
        assert [(h.id, h.score) for h in index.search("北京天气")] == before
    with SearchIndex(path) as index:
        assert index.encoder.analysis.startswith(OLD + ";")
        assert [(h.id, h.score) for h in index.search("北京天气")] == before
        index.clear()
        assert index.encoder.analysis.startswith(OLD + ";")
