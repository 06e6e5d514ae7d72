"""The one-pass fit_encode_documents against fit then encode_documents on a
fresh encoder, over random batches of short and long texts: both paths must
give exactly the same rows, and every token key must be one the analysis
gives for its text. Texts of up to 15 UTF-8 bytes matter most: a buffer
that small lives inside a string object, so a view into it dangles once
the object moves."""

import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, settings, strategies as st  # noqa: E402

import norvane  # noqa: E402

pytest.importorskip("scipy")

WORDS = ["北京", "天气", "芯片", "我们", "中华人民共和国", "的", "了", "很好", "搜索", "引擎", "数据",
         "。", "，", " ", "Ａ", "Ｂ１", "É", "ß", "😀"]

ascii_text = st.text(alphabet="abcXYZ019 .,-", min_size=1, max_size=15)
chinese_text = st.text(alphabet=st.characters(min_codepoint=0x4E00, max_codepoint=0x9FA5),
                       min_size=1, max_size=5)
word_text = st.lists(st.sampled_from(WORDS), min_size=1, max_size=40).map("".join)
mixed_text = st.lists(st.one_of(ascii_text, chinese_text, st.sampled_from(WORDS)),
                      min_size=1, max_size=12).map("".join)
token_list = st.lists(st.one_of(st.sampled_from(WORDS), ascii_text), max_size=6)
# Long texts, with traditional characters whose simplified form is shorter or
# as long in UTF-8 (the folding moves the bytes after them).
long_text = st.lists(st.sampled_from(WORDS + ["臺灣", "天氣", "學", "㗲", "䥕", "Ｘ9"]),
                     min_size=100, max_size=600).map("".join)
item = st.one_of(st.just(""), ascii_text, chinese_text, word_text, mixed_text, token_list,
                 long_text)


@pytest.fixture(scope="module")
def tokenizer():
    return norvane.Tokenizer()


def rows(result, output):
    """Comparable rows: dicts as they are, csr as its three arrays."""
    if output != "csr":
        return result
    return (result.indptr.tolist(), result.indices.tolist(), result.data.tolist())


@settings(max_examples=200, deadline=None)
@given(batch=st.lists(item, min_size=1, max_size=10), output=st.sampled_from(["dict", "ids", "csr"]),
       threads=st.sampled_from([0, 1, 3]), analysis=st.sampled_from(norvane.ANALYSES))
def test_fit_encode_equals_fit_then_encode(tokenizer, batch, output, threads, analysis):
    one_pass = norvane.SparseEncoder(tokenizer, analysis=analysis)
    got = one_pass.fit_encode_documents(batch, output, threads=threads)
    two_pass = norvane.SparseEncoder(tokenizer, analysis=analysis).fit(batch, threads=threads)
    assert one_pass._native.model_text() == two_pass._native.model_text()
    if two_pass.document_count == 0:
        empty = got.nnz == 0 if output == "csr" else all(row == {} for row in got)
        assert empty
        return
    want = two_pass.encode_documents(batch, output, threads=threads)
    assert rows(got, output) == rows(want, output)
    if output == "dict":
        for text, row in zip(batch, got):
            tokens = text if isinstance(text, list) else two_pass.analyze(text)
            assert set(row) == set(tokens)


# Tokens of one to a few characters, repeats likely, every UTF-8 length.
pin_token = st.one_of(st.sampled_from(WORDS[:12] + ["a", "ab", "abcdefghij"]),
                      st.text(alphabet=st.characters(blacklist_categories=("Cs",)),
                              min_size=1, max_size=3))


@settings(max_examples=150, deadline=None)
@given(docs=st.lists(st.lists(pin_token, min_size=1, max_size=30, unique=True), min_size=1,
                     max_size=12),
       texts=st.lists(st.lists(pin_token, min_size=1, max_size=30), max_size=6),
       b=st.floats(0.0, 1.0), k1=st.floats(0.0, 3.0))
def test_encoder_weighs_as_pynorvane_bm25_to_the_last_bit(tokenizer, docs, texts, b, k1):
    # BM25 counts a token's occurrences, the encoder the documents that hold
    # it: trained on documents without repeats both hold the same counts.
    # Their weighting is one code (norvane/bm25_weighting.h), so every
    # weight is equal, not close, for token lists with repeats too.
    import pynorvane

    bm25 = pynorvane.BM25(b, k1)
    for doc in docs:
        bm25.train(doc)
    encoder = norvane.SparseEncoder(tokenizer, b=b, k1=k1).fit(docs)
    texts = docs + texts
    assert encoder.encode_documents(texts) == [bm25.encode_document(t) for t in texts]
    assert encoder.encode_queries(texts) == [bm25.encode_query(t) for t in texts]
