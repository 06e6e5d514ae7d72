"""Framework retrievers, hybrid dense + sparse search, Qdrant and the
version: each checked against the index's own sparse search or a brute-force
reference over the same documents."""

import subprocess
import sys
from importlib import metadata

import numpy as np
import pytest

pytest.importorskip("pymilvus")
pytest.importorskip("milvus_lite")

import norvane  # noqa: E402
from norvane.index import RRF_K, SearchIndex  # noqa: E402
from test_search_index import DOCS  # noqa: E402

IDS, TEXTS = list(DOCS), list(DOCS.values())
META = [{"n": i} for i in range(len(IDS))]
QUERIES = ["手机电池续航", "北京天气", "新能源汽车", "。"]


@pytest.fixture(scope="module")
def index(tmp_path_factory):
    with SearchIndex(str(tmp_path_factory.mktemp("eco") / "eco.db")) as index:
        index.add(TEXTS, IDS, META)
        yield index


def test_version_is_the_distribution_version():
    assert norvane.__version__ == metadata.version("pynorvane")
    result = subprocess.run([sys.executable, "-m", "norvane", "--version"],
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == f"norvane {norvane.__version__}"


def test_langchain_retriever_gives_the_index_results(index):
    pytest.importorskip("langchain_core")
    from norvane.langchain import NorvaneRetriever

    for k in (1, 4):
        retriever = NorvaneRetriever(index=index, k=k, filter='meta["n"] >= 1')
        for query in QUERIES:
            documents = retriever.invoke(query)
            hits = index.search(query, k=k, filter='meta["n"] >= 1')
            assert [(d.id, d.page_content, d.metadata) for d in documents] == \
                [(h.id, h.text, {**h.metadata, "id": h.id, "score": h.score}) for h in hits]


def test_llamaindex_retriever_gives_the_index_results(index):
    pytest.importorskip("llama_index.core")
    from norvane.llamaindex import NorvaneRetriever

    retriever = NorvaneRetriever(index, similarity_top_k=3)
    for query in QUERIES:
        nodes = retriever.retrieve(query)
        hits = index.search(query, k=3)
        assert [(n.node.node_id, n.node.get_content(), n.node.metadata, n.score)
                for n in nodes] == [(h.id, h.text, h.metadata, h.score) for h in hits]


def embeddings(rng, n, dim=8):
    return rng.standard_normal((n, dim)).astype(np.float32)


def ranks(scores):
    """1-based ranks of the ids by descending score."""
    order = sorted(scores, key=lambda id: -scores[id])
    return {id: r for r, id in enumerate(order, 1)}


@pytest.fixture(scope="module")
def hybrid(tmp_path_factory):
    rng = np.random.default_rng(23)
    dense = embeddings(rng, len(IDS))
    with SearchIndex(str(tmp_path_factory.mktemp("hy") / "h.db"), dense_dim=8,
                     backend="milvus-lite", dense_metric="IP") as index:
        index.add(TEXTS, IDS, META, dense=dense)
        yield index, dense, rng


def test_hybrid_fuses_by_reciprocal_rank(index, hybrid):
    hybrid_index, dense, rng = hybrid
    for query in QUERIES[:3]:
        embedding = embeddings(rng, 1)[0]
        hits = hybrid_index.search(query, k=len(IDS), dense=embedding)
        sparse = {h.id: h.score for h in hybrid_index.search(query, k=len(IDS))}
        inner = {id: float(v @ embedding) for id, v in zip(IDS, dense)}
        expected = {id: 1.0 / (RRF_K + r) for id, r in ranks(inner).items()}
        for id, r in ranks(sparse).items():
            expected[id] += 1.0 / (RRF_K + r)
        assert {h.id: pytest.approx(h.score, rel=1e-5) for h in hits} == expected
        assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
        # Without an embedding the hybrid index searches as a sparse-only one.
        assert [(h.id, pytest.approx(h.score, rel=1e-6)) for h in
                hybrid_index.search(query, k=4)] == \
            [(h.id, h.score) for h in index.search(query, k=4)]


def test_hybrid_weights_and_a_query_without_words(hybrid):
    hybrid_index, dense, rng = hybrid
    embedding = embeddings(rng, 1)[0]
    only_dense = hybrid_index.search("。", k=3, dense=embedding)
    inner = {id: float(v @ embedding) for id, v in zip(IDS, dense)}
    assert [h.id for h in only_dense] == sorted(inner, key=lambda id: -inner[id])[:3]
    weighted = hybrid_index.search("手机电池续航", k=len(IDS), dense=embedding,
                                   weights=(1.0, 0.0))
    sparse = hybrid_index.search("手机电池续航", k=len(IDS))
    assert [h.id for h in weighted][:len(sparse)] == [h.id for h in sparse]


@pytest.mark.parametrize("call, message", [
    (lambda ix, n: ix.add(["北京"], ["x"], dense=np.ones((1, 7))), "1 vectors of 8"),
    (lambda ix, n: ix.add(["北京"], ["x"]), "pass dense="),
    (lambda ix, n: ix.add(["北京"], ["x"], dense=[[float("nan")] * 8]), "finite"),
    (lambda ix, n: ix.search("北京", dense=np.ones(3)), "of 8 numbers"),
    # n: an index of the local store, which has no dense vectors
    (lambda ix, n: n.add(["北京"], ["x"], dense=np.ones((1, 8))), "needs the Milvus backend"),
    (lambda ix, n: n.search("北京", dense=np.ones(8)), "needs the Milvus backend"),
    (lambda ix, n: SearchIndex(ix.uri, dense_dim=4), "dimension 8, not of dimension 4"),
])
def test_dense_mismatch_refused_before_writing(index, hybrid, call, message):
    hybrid_index, _, _ = hybrid
    with pytest.raises(ValueError, match=message):
        call(hybrid_index, index)
    assert hybrid_index.get(["x"]) == [None] and index.get(["x"]) == [None]


def test_qdrant_recipe_ranks_as_the_index(index, tmp_path):
    qdrant = pytest.importorskip("qdrant_client")
    from qdrant_client import models

    client = qdrant.QdrantClient(path=str(tmp_path / "qdrant"))
    client.create_collection("docs", vectors_config={},
                             sparse_vectors_config={"bm25": models.SparseVectorParams()})
    vectors = index.encoder.encode_documents(TEXTS, output="ids")
    client.upsert("docs", [
        models.PointStruct(id=i, payload={"id": id, "text": text},
                           vector={"bm25": models.SparseVector(indices=list(v), values=list(
                               v.values()))})
        for i, (id, text, v) in enumerate(zip(IDS, TEXTS, vectors))])
    for query in QUERIES[:3]:
        (q,) = index.encoder.encode_queries([query], output="ids")
        points = client.query_points("docs", query=models.SparseVector(
            indices=list(q), values=list(q.values())), using="bm25", limit=4).points
        hits = index.search(query, k=4)
        assert [(p.payload["id"], pytest.approx(p.score, rel=1e-5)) for p in points] == \
            [(h.id, h.score) for h in hits]


def test_reopened_index_keeps_runtime_words(tmp_path):
    tok = norvane.Tokenizer(words=["小米汽车", ("澎湃OS", "nz")])
    texts = ["小米汽车发布澎湃OS系统", "北京今天天气晴朗"]
    path = str(tmp_path / "w.db")
    with SearchIndex(path, encoder=norvane.SparseEncoder(tokenizer=tok)) as index:
        index.add(texts, ["car", "weather"])
        before = [(h.id, h.score) for h in index.search("澎湃OS")]
    with SearchIndex(path) as index:
        assert index.encoder.tokenizer.words == tok.words
        assert [(h.id, h.score) for h in index.search("澎湃OS")] == before


@pytest.mark.parametrize("code, milvus", [
    ("import norvane; index = norvane.SearchIndex('x.db'); index.add(['北京天气']); "
     "assert index.search('北京'); index.close()", False),
    ("from norvane.cli import main; sys.exit(main(['search', '北京', '--uri', 'x.db', "
     "'--backend', 'milvus-lite']))", True),
])
def test_local_store_needs_no_extra_and_milvus_names_it(tmp_path, code, milvus):
    """Without numpy (as without the milvus extra) the local store works, and
    asking for Milvus gives the install hint before the missing module's name."""
    result = subprocess.run([sys.executable, "-c", "import sys; sys.modules['numpy'] = None; "
                             + code], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert (result.returncode != 0) == milvus, result.stderr
    if milvus:
        last = result.stderr.strip().splitlines()[-1]
        assert "pip install 'pynorvane[milvus]' (" in last and "numpy" in last.split("(", 1)[1]
