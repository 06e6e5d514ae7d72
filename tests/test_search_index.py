import json
import os
import random
import socket
import subprocess
import sys

import pytest

pytest.importorskip("pymilvus")
pytest.importorskip("milvus_lite")

import norvane  # noqa: E402
from norvane import cli  # noqa: E402
from norvane.index import IndexOpenError, MilvusException, SearchIndex, sparse_rows  # noqa: E402
from pymilvus.client.entity_helper import sparse_rows_to_proto  # noqa: E402

DOCS = {
    "weather": "今天北京天气晴朗，最高气温十八度，适合外出散步。",
    "rain": "上海发布暴雨预警，今天下午将有强降雨，请减少出行。",
    "phone": "这款新手机配备大容量电池，支持快速充电，续航一整天。",
    "watch": "智能手表可以监测心率和睡眠，电池续航长达两周。",
    "car": "新能源汽车销量增长，电动汽车在城市家庭中越来越普及。",
    "chip": "芯片制造需要光刻机，先进工艺的研发投入越来越大。",
    "empty": "。。。",
}
MORE = ["北京地铁新线开通，市民出行更方便。", "手机屏幕越来越大，电池容量也在增加。"]
QUERIES = ["手机电池续航", "北京天气", "汽车", "芯片光刻", "。"]


def test_sparse_rows_as_pymilvus_packs_them():
    rng = random.Random(5)
    vectors = [{rng.randrange(2**32 - 1): rng.random() for _ in range(rng.randrange(1, 30))}
               for _ in range(50)]
    contents, dim = sparse_rows(vectors)
    reference = sparse_rows_to_proto(vectors)
    assert contents == list(reference.contents) and dim == max(max(v) for v in vectors) + 1
    # The dimension Milvus refuses folds into the one below it; empty rows get a stand-in.
    folded, _ = sparse_rows([{2**32 - 1: 0.5, 2**32 - 2: 0.25, 7: 1.0}, {}])
    assert folded == list(sparse_rows_to_proto([{7: 1.0, 2**32 - 2: 0.75},
                                                {2**32 - 2: 1e-30}]).contents)


def brute_force(encoder, ids, texts, query):
    """Scores by dot products of the encoder's own vectors."""
    q = encoder.encode_queries([query], output="ids")[0]
    scores = {}
    for id, vector in zip(ids, encoder.encode_documents(texts, output="ids")):
        score = sum(w * vector.get(t, 0.0) for t, w in q.items())
        if score > 0:
            scores[id] = score
    return scores


def assert_matches_brute_force(index, ids, texts):
    for query in QUERIES:
        hits = index.search(query, k=len(ids))
        expected = brute_force(index.encoder, ids, texts, query)
        assert {h.id: pytest.approx(h.score, rel=1e-5) for h in hits} == expected
        assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)
        assert all(h.text == texts[ids.index(h.id)] for h in hits)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "index.db")


@pytest.mark.parametrize("backend", ["sqlite", "milvus-lite"])
def test_round_trip_reopen_and_reindex(path, backend):
    ids, texts = list(DOCS), list(DOCS.values())
    with SearchIndex(path, backend=backend) as index:
        index.add(texts[:4], ids[:4], [{"n": i} for i in range(4)], batch_size=3)
        index.add(texts[4:], ids[4:])
        # Earlier batches were weighed with smaller statistics: reindex aligns them.
        assert index.reindex() == len(ids)
        assert_matches_brute_force(index, ids, texts)
        assert index.search("北京天气", filter='meta["n"] >= 0')[0].metadata == {"n": 0}
        assert index.search("汽车")[0].metadata is None
        queries_before = index.encoder.encode_queries(QUERIES, output="ids")
    with SearchIndex(path) as index:  # the backend is found from the file
        assert index.encoder.encode_queries(QUERIES, output="ids") == queries_before
        if backend == "milvus-lite":
            assert index._direct is not None
            index._direct = None  # the rows of pymilvus' own insert
        index.add(MORE, ["more0", "more1"])
        index.reindex()
        # Statistics reloaded and extended equal one fit over everything.
        one_fit = norvane.SparseEncoder().fit(texts + MORE)
        assert index.encoder.encode_queries(QUERIES, output="ids") == \
            one_fit.encode_queries(QUERIES, output="ids")
        assert_matches_brute_force(index, ids + ["more0", "more1"], texts + MORE)


def test_failed_batch_leaves_nothing(path, monkeypatch):
    first = list(DOCS.values())[:3]
    with SearchIndex(path, backend="milvus-lite") as index:
        index.add(first)
        insert = index._insert

        def fail_on_more1(texts, vectors, ids, *args, **kwargs):
            if "more1" in ids:
                raise MilvusException(message="the server went away")
            return insert(texts, vectors, ids, *args, **kwargs)

        monkeypatch.setattr(index, "_insert", fail_on_more1)
        with pytest.raises(MilvusException, match="went away"):
            index.add(MORE, ["more0", "more1"], batch_size=1)
        # The first batch stays, with its statistics, in memory and on disk.
        assert index.count() == 4
        expected = norvane.SparseEncoder().fit(first + MORE[:1]).encode_queries(QUERIES, "ids")
        assert index.encoder.encode_queries(QUERIES, output="ids") == expected
        saved = type(index.encoder).load(index.encoder_path)
        assert saved.encode_queries(QUERIES, output="ids") == expected


def test_open_errors(path, tmp_path):
    with pytest.raises(IndexOpenError, match="no index"):
        SearchIndex(path, create=False)
    with pytest.raises(IndexOpenError, match="cannot connect"):
        SearchIndex("http://127.0.0.1:1", timeout=2)
    with pytest.raises(ValueError, match="ends in .db"):
        SearchIndex(str(tmp_path / "index.sqlite"))


def test_demo_ranks_the_matching_document_first(tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    monkeypatch.syspath_prepend(os.path.join(os.path.dirname(__file__), "..", "examples"))
    import search_demo

    assert search_demo.main(["手机电池续航", "乒乓球冠军"]) == 0
    firsts = [line.split()[2] for line in capsys.readouterr().out.splitlines()
              if line.startswith("  1. ")]
    assert firsts == ["手机新品发布:", "乒乓球世界杯:"]


def run_cli(capsys, *args):
    status = cli.main(list(args))
    out, err = capsys.readouterr()
    return status, out, err


def test_cli_index_and_search(tmp_path, capsys):
    data = tmp_path / "docs.jsonl"
    lines = [json.dumps({"text": t, "key": k, "lang": "zh"}, ensure_ascii=False) + "\n\n"
             for k, t in DOCS.items()]
    data.write_text("".join(lines), encoding="utf-8")
    uri = str(tmp_path / "cli.db")
    for replace in ([], ["--replace"]):  # a second run replaces the first
        status, out, _ = run_cli(capsys, "index", str(data), "--uri", uri, "--format", "jsonl",
                                 "--id-field", "key", "-q", *replace)
        assert status == 0 and f"indexed {len(DOCS)} documents" in out
        assert out.rstrip().endswith(f"holds {len(DOCS)}")
    status, out, _ = run_cli(capsys, "reindex", "--uri", uri)
    assert status == 0 and out.startswith(f"re-encoded {len(DOCS)} documents")
    status, out, _ = run_cli(capsys, "search", "手机电池续航", "--uri", uri, "--json", "-k", "2")
    rows = [json.loads(line) for line in out.splitlines()]
    assert [r["id"] for r in rows] == ["phone", "watch"] and rows[0]["metadata"] == {"lang": "zh"}
    # The installed entry point, from a process of its own.
    result = subprocess.run([sys.executable, "-m", "norvane", "search", "北京天气", "--uri", uri],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0 and "weather" in result.stdout.splitlines()[0]


@pytest.mark.parametrize("content, args, message", [
    (None, [], "no such file or folder"),
    ('{"text": "北京"}\n{"text": 3}\n', ["--format", "jsonl"], ":2: no string member 'text'"),
    ('{"text": "北京"}\n\n{"text": "上海",}\n', ["--format", "jsonl"], ":3: not valid JSON"),
    (b"\xe5\x8c\x97\n\xff\n", [], ":2: not UTF-8"),
    ("北京\n", ["--uri", "SILENT", "--encoder-path", "e.json", "--timeout", "1"],
     "cannot connect to Milvus"),
])
def test_cli_bad_input(tmp_path, capsys, content, args, message):
    silent = socket.socket()  # accepts connections, never answers
    silent.bind(("127.0.0.1", 0))
    silent.listen(1)
    args = [f"http://127.0.0.1:{silent.getsockname()[1]}" if a == "SILENT" else a for a in args]
    data = tmp_path / "in.txt"
    if isinstance(content, str):
        data.write_text(content, encoding="utf-8")
    elif content is not None:
        data.write_bytes(content)
    uri = str(tmp_path / "bad.db")
    with silent:
        status, out, err = run_cli(capsys, "index", str(data), "--uri", uri, *args)
    assert status == 1 and out == ""
    assert err.startswith("norvane: error: ") and message in err and err.count("\n") == 1
    if "--uri" not in args:  # bad input is found before anything is written
        with pytest.raises(IndexOpenError):
            SearchIndex(uri, create=False)


@pytest.mark.parametrize("dense_dim", [None, 3])
def test_fast_writer_stores_what_the_public_api_stores(tmp_path, dense_dim):
    """The same documents through the writer that reaches into pymilvus and
    through MilvusClient.insert: equal rows, equal search results."""
    ids, texts = list(DOCS), list(DOCS.values())
    metadata = [{"n": i, "tag": "新闻"} if i % 2 else None for i in range(len(ids))]
    dense = None if dense_dim is None else [[i, 1.0, -i / 2] for i in range(len(ids))]
    results = []
    for fast in (True, False):
        with SearchIndex(str(tmp_path / f"{fast}.db"), dense_dim=dense_dim,
                         backend="milvus-lite") as index:
            assert index._direct is not None
            if not fast:
                index._direct = None
            index.add(texts, ids, metadata, dense=dense, batch_size=4)
            index.add(texts[:2], ids[:2], metadata[:2], dense=None if dense is None else dense[:2])
            rows = index.get(ids)
            hits = [[(h.id, h.score, h.text, h.metadata) for h in index.search(q, k=10)]
                    for q in QUERIES]
            if dense_dim:
                hits.append([(h.id, h.score) for h in
                             index.search("北京", k=10, dense=[1.0, 0.0, 0.0])])
            results.append((rows, hits))
    assert results[0] == results[1]
    assert [r.metadata for r in results[0][0]] == metadata
