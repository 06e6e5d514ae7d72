import math
import pickle
import sys
import threading
from collections import Counter

import pytest

import norvane
import pynorvane

mmh3 = pytest.importorskip("mmh3")

# Token lists with repeats, shared tokens, non-ASCII and every UTF-8 length
# tail the id hash treats apart.
DOCS = [["北京", "天气", "北京", "a"], ["天气", "好"], ["ab", "abc", "abcd", "abcde", "北京"],
        ["很", "好", "好", "好", ""], ["x"]]
QUERIES = [["北京", "天气"], ["未知"], ["好", "好", "abcd"], []]


def reference(docs, b=0.75, k1=1.2):
    """Textbook BM25 with document frequencies, in the encoder's weights."""
    n = len(docs)
    avg = sum(map(len, docs)) / n
    df = Counter(t for d in docs for t in set(d))

    def document(tokens):
        k = k1 * (1 - b + b * len(tokens) / avg)
        return {t: f / (k + f) for t, f in Counter(tokens).items()}

    def query(tokens):
        idf = {t: math.log((n + 1) / (df.get(t, 1) + 0.5)) for t in set(tokens)}
        total = sum(idf.values())
        return {t: w / total for t, w in idf.items()}

    return document, query


def same(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        assert g.keys() == w.keys()
        assert g == pytest.approx(w, rel=1e-12)


@pytest.fixture(scope="module")
def tokenizer():
    return norvane.Tokenizer()


def fitted(how, tokenizer):
    """The encoder fitted on DOCS, and DOCS' document vectors."""
    enc = norvane.SparseEncoder(tokenizer)
    if how == "fit_encode_documents":
        return enc, enc.fit_encode_documents(DOCS, threads=2)
    if how == "one fit":
        enc.fit(DOCS)
    elif how == "two fits":
        enc.fit(DOCS[:2]).fit(DOCS[2:])
    elif how == "merged shards":
        other = norvane.SparseEncoder(tokenizer).fit(DOCS[2:])
        enc.fit(DOCS[:2]).merge(other)
    return enc, enc.encode_documents(DOCS)


@pytest.mark.parametrize("how", ["one fit", "two fits", "merged shards", "fit_encode_documents"])
def test_weights_match_textbook_bm25(how, tokenizer):
    enc, documents = fitted(how, tokenizer)
    document, query = reference(DOCS, k1=enc.k1)
    assert enc.document_count == len(DOCS)
    assert enc.document_frequency("好") == 2 and enc.document_frequency("北京") == 2
    same(documents, [document(d) for d in DOCS])
    same(enc.encode_queries(QUERIES), [query(q) for q in QUERIES])


def test_ids_and_csr_agree_with_murmur3_and_the_dicts(tokenizer):
    enc = norvane.SparseEncoder(tokenizer).fit(DOCS)
    for encode in (enc.encode_documents, enc.encode_queries):
        dicts = encode(DOCS)
        want = [{mmh3.hash(t, signed=False): w for t, w in d.items()} for d in dicts]
        assert encode(DOCS, output="ids") == want
        m = encode(DOCS, output="csr")
        assert m.shape == (len(DOCS), 2 ** 32)
        rows = [dict(zip(m.indices[m.indptr[r]:m.indptr[r + 1]].tolist(),
                         m.data[m.indptr[r]:m.indptr[r + 1]].tolist()))
                for r in range(len(DOCS))]
        assert rows == want
    assert norvane.token_id("北京") == mmh3.hash("北京", signed=False)


def test_saved_file_gives_pynorvane_bm25_the_same_weights(tokenizer, tmp_path):
    enc = norvane.SparseEncoder(tokenizer, b=0.5, k1=1.5).fit(DOCS)
    path = tmp_path / "model.json"
    enc.save(path)
    model = pynorvane.BM25(0.75, 1.2)
    model.load(path.read_text(encoding="utf-8"))
    for q in QUERIES[:3]:
        assert model.encode_query(q) == pytest.approx(enc.encode_queries([q])[0], rel=1e-12)
    for d in DOCS:
        assert model.encode_document(d) == pytest.approx(enc.encode_documents([d])[0],
                                                         rel=1e-6)


@pytest.mark.parametrize("analysis", norvane.ANALYSES)
@pytest.mark.parametrize("roundtrip", ["save/load", "pickle"])
def test_round_trips_keep_statistics_and_settings(roundtrip, analysis, tokenizer, tmp_path):
    texts = ["北京的天气很好。", "今天ＡＢＣ天气", "上海大学的學生"]
    enc = norvane.SparseEncoder(b=0.3, k1=2.0, analysis=analysis).fit(texts).fit([["词", "词"]])
    if roundtrip == "save/load":
        enc.save(tmp_path / "m.json")
        enc.save(tmp_path / "m.json")  # replaces the file
        back = norvane.SparseEncoder.load(tmp_path / "m.json")
    else:
        back = pickle.loads(pickle.dumps(enc))
    assert (back.b, back.k1, back.document_count, back.analysis) == (0.3, 2.0, 4, enc.analysis)
    assert back.encode_documents(texts, "ids") == enc.encode_documents(texts, "ids")
    assert back.encode_queries(texts) == enc.encode_queries(texts)
    # A merge after the trip still counts exactly.
    back.merge(enc)
    assert back.document_frequency("天气") == 4


def test_str_texts_are_analysed(tokenizer):
    enc = norvane.SparseEncoder(tokenizer).fit(["北京的天气，很好！", "", "  。"])
    assert enc.document_count == 1  # texts without tokens are no documents
    [query, empty] = enc.encode_queries(["北京天气？", "，。"])
    m = "\x01"  # precedes each character of an n-gram
    assert set(query) == {"北京", "天气", m + "北", m + "京", m + "天", m + "气",
                          m + "北" + m + "京", m + "京" + m + "天", m + "天" + m + "气"}
    assert empty == {}
    assert enc.encode_documents([""], output="csr", threads=10 ** 12).nnz == 0
    assert norvane.SparseEncoder(tokenizer).fit_encode_documents(["", "。"]) == [{}, {}]


def test_several_threads_encode_at_once(tokenizer):
    texts = ["北京大学的学生在今天的天气里%d" % i for i in range(200)]
    enc = norvane.SparseEncoder(tokenizer).fit(texts)
    want = enc.encode_queries(texts, "ids")
    results = []

    def work():
        results.append(enc.encode_queries(texts, "ids", threads=2))
        enc.fit(texts[:5])  # serialised with the other threads' encodes

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4 and enc.document_count == 220
    for got in results:
        assert got[0].keys() == want[0].keys()


@pytest.mark.parametrize("call, error, text", [
    (lambda e: e.encode_queries(["北京"]), RuntimeError, "not fitted"),
    (lambda e: e.fit(["a", 3]), TypeError, "texts[1] must be str or a list"),
    (lambda e: e.fit([["a", b"b"]]), TypeError, "texts[0][1] must be str"),
    (lambda e: e.fit("北京"), TypeError, "not a single str"),
    (lambda e: e.fit(["\ud800"]), TypeError, "texts[0] cannot be encoded"),
    (lambda e: e.encode_documents(["a"], output="coo"), ValueError, "output must be"),
    (lambda e: e.fit(["a"], threads=-1), ValueError, "threads"),
])
def test_bad_calls_raise_clear_errors(call, error, text, tokenizer):
    with pytest.raises(error) as info:
        call(norvane.SparseEncoder(tokenizer))
    assert text in str(info.value)


def test_merge_refuses_other_settings(tokenizer, data):
    enc = norvane.SparseEncoder(tokenizer)
    with pytest.raises(ValueError, match="b or k1"):
        enc.merge(norvane.SparseEncoder(tokenizer, k1=1.0))
    other = norvane.SparseEncoder(norvane.Tokenizer(dict_path=data.paths["dict_path"]))
    with pytest.raises(ValueError, match="analys"):
        enc.merge(other)


def test_save_failure_is_an_os_error_and_leaves_nothing(tokenizer, tmp_path):
    enc = norvane.SparseEncoder(tokenizer).fit(DOCS)
    with pytest.raises(OSError):
        enc.save(tmp_path / "missing" / "m.json")
    assert list(tmp_path.iterdir()) == []


def test_csr_without_scipy_says_what_is_missing(tokenizer, monkeypatch):
    enc = norvane.SparseEncoder(tokenizer).fit(DOCS)
    monkeypatch.setitem(sys.modules, "scipy", None)
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)
    with pytest.raises(ImportError, match="scipy"):
        enc.encode_documents(DOCS, output="csr")
    assert enc.encode_documents(DOCS, output="ids")  # the other outputs need no scipy
