"""A search index's rows and statistics agree after kills, failures and
replaced ids; bad input is refused before anything is written; one process
holds a local index. The reference is always a fresh fit over the texts the
index holds."""

import json
import math
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

pytest.importorskip("pymilvus")
pytest.importorskip("milvus_lite")

import norvane  # noqa: E402
from norvane._local_index import LocalIndex  # noqa: E402
from norvane.index import IndexInUseError, IndexOpenError, SearchIndex  # noqa: E402
from test_search_index import run_cli  # noqa: E402

WORDS = ["北京", "上海", "天气", "晴朗", "下雨", "手机", "电池", "续航", "汽车", "芯片",
         "光刻", "公园", "散步", "地铁", "开通", "比赛", "冠军", "新闻", "today", "AI2"]


def random_text(rng):
    return "".join(rng.choice(WORDS) for _ in range(rng.randint(1, 12)))


def stored(index):
    """{id: text} of every stored row, read back from the store."""
    if isinstance(index, LocalIndex):
        return dict(index._require().execute(f"SELECT id, text FROM {index._docs}"))
    ids = index._stored_ids()
    return {row["id"]: row["text"] for rows in index._rows(ids, ["text"]) for row in rows}


def assert_statistics_describe_rows(index, expected=None):
    rows = stored(index)
    if expected is not None:
        assert rows == expected
    reference = norvane.SparseEncoder(tokenizer=index.encoder.tokenizer).fit(list(rows.values()))
    assert index.encoder._native.model_text() == reference._native.model_text()
    assert index.count() == len(rows)


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "index.db")


BACKENDS = pytest.mark.parametrize("backend", ["sqlite", "milvus-lite"])


@BACKENDS
def test_ids_are_keys_against_a_reference_model(path, backend):
    """Random adds (with repeated ids, inside one call and across calls) and
    deletes, checked after each step against a dict of what should be stored."""
    rng = random.Random(20)
    expected = {}
    with SearchIndex(path, backend=backend) as index:
        for step in range(14):
            if step % 4 == 3 and expected:
                gone = rng.sample(sorted(expected), min(3, len(expected))) + ["never-stored"]
                assert index.delete(gone) == len(gone) - 1
                for id in gone:
                    expected.pop(id, None)
            else:
                ids = [f"d{rng.randrange(12)}" for _ in range(rng.randint(1, 9))]
                texts = [random_text(rng) for _ in ids]
                assert index.add(texts, ids, batch_size=rng.randint(1, 4)) == ids
                expected.update(zip(ids, texts))
            assert_statistics_describe_rows(index, expected)
        wanted = sorted(expected)[:2] + ["missing"]
        got = index.get(wanted)
        assert [d and (d.id, d.text) for d in got] == \
            [(id, expected[id]) for id in wanted[:2]] + [None]
    with SearchIndex(path) as index:  # reopened: the same, with nothing to repair
        assert_statistics_describe_rows(index, expected)


# What a child process does before it is stopped: add 12 batches of 50.
CHILD = textwrap.dedent("""
    import os, signal, sys, time
    from norvane.index import SearchIndex
    path, stop, how, backend = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4]
    index = SearchIndex(path, backend=backend)
    texts = [f"北京第{i}号新闻：手机电池续航{i % 7}天，芯片{i % 5}" for i in range(600)]
    ids = [f"n{i % 450}" for i in range(600)]  # the last batches replace earlier ones
    done = 0
    def kill():
        os.kill(os.getpid(), getattr(signal, how))
        time.sleep(5)
    if stop.startswith("insert"):
        insert = index._insert
        def killing_insert(*args, **kwargs):
            insert(*args, **kwargs)
            global done
            done += 1
            if done == int(stop[len("insert"):]):
                kill()
        index._insert = killing_insert
    if stop == "commit":  # the statistics' save, or the local store's checkpoint
        def killing_commit(*args, **kwargs):
            kill()
        if backend == "sqlite":
            index._checkpoint = killing_commit
        else:
            index._stats.commit = killing_commit
    print("ready", flush=True)
    index.add(texts[:300], ids[:300], batch_size=50)
    index.add(texts[300:], ids[300:], batch_size=50)
    index.close()
""")


@BACKENDS
@pytest.mark.parametrize("stop, how", [
    ("insert1", "SIGKILL"), ("insert7", "SIGKILL"), ("insert9", "SIGKILL"),
    ("commit", "SIGKILL"), ("insert3", "SIGTERM"), ("insert8", "SIGINT"),
    ("random", "SIGKILL"),
])
def test_statistics_match_rows_after_the_writer_is_stopped(path, stop, how, backend):
    with SearchIndex(path, backend=backend) as index:  # some documents from before
        index.add(["上海下雨", "北京天气晴朗"], ["old1", "n3"])
    child = subprocess.Popen([sys.executable, "-c", CHILD, path, stop, how, backend],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "ready"
    if stop == "random":
        time.sleep(random.uniform(0.2, 1.5))
        child.kill()
    child.communicate(timeout=120)
    with SearchIndex(path) as index:
        assert_statistics_describe_rows(index)
        assert "old1" in stored(index)
        if stop == "insert8" and how == "SIGINT":  # Ctrl-C: the batch in flight completes
            assert index.count() >= 8 * 50
        if backend == "sqlite" and stop.startswith("insert"):  # every committed batch
            assert index.count() >= 2 + (int(stop[6:]) - 1) * 50 - 3
        assert_search_matches_statistics(index)


def assert_search_matches_statistics(index):
    """Scores of the stored documents by dot products with their own stored
    weighing (documents added again by reindex) against the index's search."""
    index.reindex()
    rows = stored(index)
    encoder = index.encoder
    vectors = dict(zip(rows, encoder.encode_documents(list(rows.values()), output="ids")))
    for query in ["北京手机", "芯片", "电池续航"]:
        (q,) = encoder.encode_queries([query], output="ids")
        expected = {id: sum(w * v.get(t, 0.0) for t, w in q.items()) for id, v in vectors.items()}
        expected = {id: score for id, score in expected.items() if score > 0}
        hits = index.search(query, k=len(rows) or 1)
        assert {h.id: pytest.approx(h.score, rel=1e-5) for h in hits} == expected


@BACKENDS
def test_interrupt_during_a_write_keeps_rows_and_statistics_together(path, monkeypatch,
                                                                     backend):
    with SearchIndex(path, backend=backend) as index:
        insert = index._insert
        calls = []

        def slow_then_interrupted(*args, **kwargs):
            calls.append(1)
            if len(calls) == 2:  # Ctrl-C lands while the caller waits for this write
                os.kill(os.getpid(), signal.SIGINT)
                time.sleep(0.3)
            insert(*args, **kwargs)

        monkeypatch.setattr(index, "_insert", slow_then_interrupted)
        with pytest.raises(KeyboardInterrupt):
            index.add([f"手机{i}号电池" for i in range(5)], [str(i) for i in range(5)],
                      batch_size=1)
        assert index.count() >= 2  # the write in flight was not abandoned
        assert_statistics_describe_rows(index)


def test_external_statistics_are_not_rebuilt_silently(path):
    fitted = norvane.SparseEncoder().fit(["北京天气", "上海下雨", "手机电池"])
    with SearchIndex(path, encoder=fitted, backend="milvus-lite") as index:
        index.add_encoded(["汽车"], fitted.encode_documents(["汽车"], output="ids"), ["x"])
        index.add(["芯片光刻"], ["x"])  # replaces a text the statistics never held
        assert index.encoder.document_count == 4
        index._stats.begin()  # a write that never ended
    with pytest.raises(IndexOpenError, match=r"repair=True"):
        SearchIndex(path)
    with SearchIndex(path, repair=True) as index:
        assert_statistics_describe_rows(index, {"x": "芯片光刻"})


@pytest.mark.parametrize("backend, lost", [("milvus-lite", 2), ("sqlite", 1)])
def test_missing_or_legacy_statistics_are_refitted(path, backend, lost):
    with SearchIndex(path, backend=backend) as index:
        index.add(["北京天气", "上海下雨"], ["a", "b"])
        expected = [(h.id, h.score) for h in index.search("北京天气")]
    files = index.files()  # as closing left them
    # Milvus Lite: the model file and its state, as an older index left them;
    # the local store: its postings file, derived from the database.
    for file in files[:lost]:
        assert os.path.exists(file)
        os.unlink(file)
    with SearchIndex(path) as index:
        assert_statistics_describe_rows(index, {"a": "北京天气", "b": "上海下雨"})
        assert [(h.id, h.score) for h in index.search("北京天气")] == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda i: i.add("北京天气"), TypeError, "not a single str"),
    (lambda i: i.search_many("北京"), TypeError, "not a single str"),
    (lambda i: i.search(["北京"]), TypeError, "query must be str"),
    (lambda i: i.search("北京", k=20000), ValueError, "16384"),
    (lambda i: i.add(["a", "b"], ["1", "2"], [{"x": 1}, {"x": math.nan}]), ValueError, "NaN"),
    (lambda i: i.add(["a"], ["1"], [{"x": math.inf}]), ValueError, "metadata 0"),
    (lambda i: i.add(["a"], ["1"], [{"x": object()}]), ValueError, "metadata 0"),
    (lambda i: i.add(["a", "b"], ["ok", "x" * 600]), ValueError, "id 1 is longer"),
    (lambda i: i.add(["a"], ["\ud800"]), ValueError, "lone surrogate"),
    (lambda i: i.delete("abc"), TypeError, "not a single str"),
])
@BACKENDS
def test_bad_input_is_refused_before_writing(path, call, error, message, backend):
    with SearchIndex(path, backend=backend) as index:
        index.add(["北京天气"], ["keep"])
        before = index.encoder._native.model_text()
        with pytest.raises(error, match=message):
            call(index)
        assert stored(index) == {"keep": "北京天气"}
        assert index.encoder._native.model_text() == before


OPENER = textwrap.dedent("""
    import sys, time
    from norvane.index import SearchIndex, IndexInUseError
    try:
        index = SearchIndex(sys.argv[1])
    except IndexInUseError as error:
        print("refused", error, flush=True)
        sys.exit(3)
    print("open", flush=True)
    time.sleep(float(sys.argv[2]))
""")


def test_one_process_per_milvus_lite_file(path):
    SearchIndex(path, backend="milvus-lite").close()
    first = subprocess.Popen([sys.executable, "-c", OPENER, path, "60"],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert first.stdout.readline().strip() == "open"
        for _ in range(2):  # a refused opener must not free the file for the next one
            result = subprocess.run([sys.executable, "-c", OPENER, path, "0"],
                                    capture_output=True, text=True, timeout=120)
            assert result.returncode == 3 and "another process" in result.stdout
        with pytest.raises(IndexInUseError):
            SearchIndex(path)
    finally:
        first.kill()
        first.wait()
    with SearchIndex(path) as index, SearchIndex(path) as again:  # one process, twice
        assert index.count() == again.count() == 0


def test_cli_checks_every_record_before_writing(tmp_path, capsys):
    good = tmp_path / "a.txt"
    good.write_text("北京天气\n上海下雨\n", encoding="utf-8")
    bad = tmp_path / "b.jsonl"
    bad.write_text(json.dumps({"text": "手机", "id": "fine"}) + "\n" +
                   json.dumps({"text": "电池", "id": "x" * 600}) + "\n", encoding="utf-8")
    uri = str(tmp_path / "cli.db")
    status, out, err = run_cli(capsys, "index", str(good), str(bad), "--uri", uri,
                               "--format", "lines")
    assert status == 0  # as lines, the JSON is text
    status, out, err = run_cli(capsys, "index", str(bad), "--uri", uri, "--format", "jsonl")
    assert status == 1 and err.count("\n") == 1
    assert f"{bad}:2: the id is longer than 512 bytes" in err
    surrogate = tmp_path / "c.jsonl"
    surrogate.write_text('{"text": "手机", "id": "\\ud800"}\n', encoding="utf-8")
    status, out, err = run_cli(capsys, "index", str(surrogate), "--uri", uri, "--format", "jsonl")
    assert status == 1 and f"{surrogate}:1: the id cannot be encoded" in err
    with SearchIndex(uri) as index:
        assert index.count() == 4 and "fine" not in stored(index)  # the lines run only


def test_cli_jsonl_id_member_replace_and_own_files(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "docs.jsonl").write_text(
        json.dumps({"text": "北京天气晴朗", "id": "w"}, ensure_ascii=False) + "\n" +
        json.dumps({"text": "上海下雨", "id": 7}, ensure_ascii=False) + "\n", encoding="utf-8")
    for _ in range(2):  # run twice in its own folder: the index does not index itself
        status, out, err = run_cli(capsys, "index", ".", "--format", "jsonl", "-q")
        assert status == 0, err
        assert out.rstrip().endswith("holds 2")
    status, out, err = run_cli(capsys, "get", "w", "7")
    assert status == 0 and [json.loads(line)["text"] for line in out.splitlines()] == \
        ["北京天气晴朗", "上海下雨"]
    status, out, err = run_cli(capsys, "delete", "w", "nope")
    assert status == 0 and "deleted 1 of 2" in out
    status, out, err = run_cli(capsys, "get", "w")
    assert status == 1 and "no document with id 'w'" in err


@pytest.mark.parametrize("args, message", [
    (["-k", "20000"], "at most 16384"),
    (["--filter", "year > 3"], "Milvus"),
])
def test_cli_one_line_per_search_error(tmp_path, capsys, args, message):
    uri = str(tmp_path / "e.db")
    with SearchIndex(uri) as index:
        index.add(["北京天气"])
    status, out, err = run_cli(capsys, "search", "北京", "--uri", uri, *args)
    assert status == 1 and err.startswith("norvane: error: ") and message in err
    assert err.count("\n") == 1


def test_failed_dask_write_leaves_older_documents(tmp_path, monkeypatch):
    dask_bag = pytest.importorskip("dask.bag")
    import norvane.dask

    with SearchIndex(str(tmp_path / "d.db"), backend="milvus-lite") as index:
        index.add(["北京天气晴朗", "上海下雨"], ["keep", "old"])
        before = index.encoder._native.model_text()
        insert = index._insert
        calls = []

        def fail_second(*args, **kwargs):
            calls.append(1)
            if len(calls) == 2:
                raise RuntimeError("the server went away")
            insert(*args, **kwargs)

        monkeypatch.setattr(index, "_insert", fail_second)
        texts = dask_bag.from_sequence(["手机电池", "芯片光刻", "汽车", "地铁"], npartitions=2)
        ids = dask_bag.from_sequence(["old", "new1", "new2", "new3"], npartitions=2)
        with pytest.raises(RuntimeError, match="went away"):
            norvane.dask.write(texts, index, ids, window=1)
        monkeypatch.undo()
        assert stored(index) == {"keep": "北京天气晴朗", "old": "上海下雨"}
        assert index.encoder._native.model_text() == before
        assert norvane.dask.write(texts, index, ids) == 4
        assert_statistics_describe_rows(index)


@pytest.fixture
def server(milvus_server):
    return milvus_server


def test_server_index_keeps_its_statistics_in_the_server(server, tmp_path):
    with SearchIndex(server, "news") as index:
        index.add(["北京天气晴朗", "上海下雨", "手机电池续航"], ["a", "b", "c"])
        index.add(["北京地铁开通"], ["a"])
        expected = index.search_many(["北京", "手机"])
    assert not list(tmp_path.glob("*.json"))
    code = textwrap.dedent(f"""
        from norvane.index import SearchIndex
        with SearchIndex({server!r}, "news") as index:
            print([[(h.id, h.score) for h in hits] for hits in index.search_many(["北京", "手机"])])
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str([[(h.id, h.score) for h in hits] for hits in expected])
    with SearchIndex(server, "news") as index:
        index._stats.begin()  # a writer that died
    with SearchIndex(server, "news") as index:
        assert_statistics_describe_rows(index, {"a": "北京地铁开通", "b": "上海下雨",
                                                "c": "手机电池续航"})


@pytest.fixture
def small_disk(tmp_path):
    """A 600 KB file system, where it can be mounted (root on Linux)."""
    mount = tmp_path / "small"
    mount.mkdir()
    if os.geteuid() != 0 or subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=600k", "tmpfs", str(mount)],
            capture_output=True).returncode != 0:
        pytest.skip("needs root to mount a small file system")
    try:
        yield mount
    finally:
        subprocess.run(["umount", "-l", str(mount)], capture_output=True)


def test_full_disk_is_one_line_and_recovers(small_disk, tmp_path, capsys):
    rng = random.Random(7)
    data = tmp_path / "docs.txt"
    data.write_text("\n".join(random_text(rng) + str(i) for i in range(20000)), encoding="utf-8")
    uri = str(small_disk / "x.db")
    status, out, err = run_cli(capsys, "index", str(data), "--uri", uri, "-q")
    assert status == 1 and err.count("\n") == 1
    assert "No space left on device" in err or "database or disk is full" in err
    for file in small_disk.iterdir():  # room again: the model file fits now
        if file.name.endswith(".json"):
            file.unlink()
    with SearchIndex(uri) as index:
        assert_statistics_describe_rows(index)


def test_cli_error_texts_are_one_line():
    from norvane import cli

    assert cli._describe(ValueError("analysis 'a;words=小米\n澎湃 nz\n' differs")) == \
        "analysis 'a;words=小米 | 澎湃 nz | ' differs"


def test_python_callers_get_the_exception_without_pymilvus_logs(path):
    code = textwrap.dedent(f"""
        from norvane.index import SearchIndex, MilvusException
        with SearchIndex({path!r}, backend="milvus-lite") as index:
            index.add(["北京天气"])
            try:
                index.search("北京", filter="year > 3")
            except MilvusException:
                print("raised")
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.stdout.strip() == "raised" and "year > 3" not in result.stderr
