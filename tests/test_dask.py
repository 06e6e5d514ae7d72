import pytest

dask_bag = pytest.importorskip("dask.bag")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import pandas as pd  # noqa: E402
import scipy.sparse  # noqa: E402

import norvane  # noqa: E402
import norvane.dask  # noqa: E402

TEXTS = [f"{city}今天{weather}，{topic}的新闻引起关注。"
         for city in ("北京", "上海", "广州", "深圳", "杭州")
         for weather in ("晴朗", "下雨", "多云")
         for topic in ("手机电池", "新能源汽车", "芯片制造", "乒乓球比赛")]
QUERIES = ["北京下雨", "手机电池续航", "芯片", "杭州新能源汽车"]


@pytest.fixture(scope="module")
def local():
    """One local fit over the texts, and a maker of encoders sharing its tokenizer."""
    encoder = norvane.SparseEncoder().fit(TEXTS)
    return encoder, lambda: norvane.SparseEncoder(tokenizer=encoder.tokenizer)


@pytest.fixture(scope="module")
def cluster_client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        yield client


@pytest.mark.parametrize("collection", [
    lambda: dask_bag.from_sequence(TEXTS, npartitions=7),
    lambda: dd.from_pandas(pd.Series(TEXTS), npartitions=3),
], ids=["bag", "dataframe column"])
def test_fit_and_encode_equal_one_local_fit(cluster_client, local, collection):
    local, new = local
    texts = collection()
    fitted = norvane.dask.fit(texts)
    for output in ("ids", "dict"):
        assert fitted.encode_queries(QUERIES, output=output) == \
            local.encode_queries(QUERIES, output=output)
        assert norvane.dask.encode(texts, fitted, output).compute() == \
            local.encode_documents(TEXTS, output=output)
    blocks = norvane.dask.encode(texts, fitted, "csr")
    stacked = scipy.sparse.vstack(distributed.get_client().compute(blocks, sync=True))
    assert (stacked != local.encode_documents(TEXTS, output="csr")).nnz == 0
    # A fitted encoder passed in keeps its statistics and gains the new ones.
    half = new().fit(TEXTS[:10])
    assert norvane.dask.fit(texts, half).encode_queries(QUERIES) == \
        new().fit(TEXTS[:10] + TEXTS).encode_queries(QUERIES)
    assert half.encode_queries(QUERIES) == new().fit(TEXTS[:10]).encode_queries(QUERIES)


def test_write_into_index(cluster_client, local, tmp_path):
    local, _ = local
    pytest.importorskip("milvus_lite")
    texts = dask_bag.from_sequence(TEXTS, npartitions=4)
    ids = dask_bag.from_sequence([f"doc{i}" for i in range(len(TEXTS))], npartitions=4)
    with norvane.SearchIndex(str(tmp_path / "dask.db")) as index:
        assert norvane.dask.write(texts, index, ids, window=3) == len(TEXTS)
        assert index.count() == len(TEXTS)
        assert index.encoder.encode_queries(QUERIES) == local.encode_queries(QUERIES)
        best = index.search("广州多云芯片制造", k=1)[0]
        assert best.text == "广州今天多云，芯片制造的新闻引起关注。"
        assert best.id == f"doc{TEXTS.index(best.text)}"
    with norvane.SearchIndex(str(tmp_path / "dask.db")) as reopened:
        assert reopened.encoder.encode_queries(QUERIES) == local.encode_queries(QUERIES)
