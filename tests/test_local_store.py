"""The embedded local store against independent references: a Milvus server
given the same writes (ids, scores, filters), a brute-force top-k over random
vectors, and readers in other processes while one writes."""

import array
import os
import random
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import norvane
from norvane import _core
from norvane._local_index import LocalIndex
from norvane.index import SearchIndex

WORDS = ["北京", "上海", "天气", "晴朗", "下雨", "手机", "电池", "续航", "汽车", "芯片",
         "光刻", "公园", "散步", "地铁", "开通", "比赛", "冠军", "新闻", "today", "AI2"]
# What Milvus evaluates too (Milvus Lite refuses not and exists).
FILTERS = ['meta["year"] >= 2024', 'meta["lang"] == "zh" and id != "d3"',
           'id in ["d1", "d2", "d5", "d40"]', '(meta["year"] < 2023 || meta["tag"] == "x")',
           'meta["year"] in [2021, 2025] && meta["lang"] != "en"', 'text like "北京%"',
           'meta["flag"] == true', "2023 < meta[\"year\"]", 'meta["tag"] != "x"',
           'meta["lang"] not in ["en"] and meta["year"] <= 2023.5', 'id == "no such id"']


def random_text(rng):
    return "".join(rng.choice(WORDS) for _ in range(rng.randint(0, 12)))


def packed(vector):
    ids = sorted(vector)
    return array.array("I", ids).tobytes() + array.array("f", [vector[i] for i in ids]).tobytes()


def brute_force(docs, dead, allowed, query, k):
    """(num, float32 score) best first, ties by num, summed in the order the
    native search sums (largest contribution first; a real sum is exact enough)."""
    scores = []
    for num, vector in docs.items():
        if num in dead or (allowed is not None and num not in allowed):
            continue
        score = sum(w * vector.get(i, 0.0) for i, w in query.items())
        if score > 0:
            scores.append((-score, num))
    return [(num, -score) for score, num in sorted(scores)[:k]]


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_native_top_k_equals_brute_force(tmp_path_factory, data):
    """Random segments (some merged into a file), dead documents, filters:
    the same documents and scores as a brute-force scan."""
    rng = random.Random(data.draw(st.integers(0, 2**32)))
    dims = rng.randint(2, 40)
    docs, segments, num = {}, [], 0
    for _ in range(rng.randint(1, 4)):
        nums, vectors = [], []
        for _ in range(rng.randint(0, 60)):
            num += rng.randint(1, 3)
            vector = {rng.randrange(dims) * 977: rng.choice([0.25, 0.5, rng.random()])
                      for _ in range(rng.randint(0, 6))}
            docs[num] = {i: array.array("f", [w])[0] for i, w in vector.items()}
            nums.append(num)
            vectors.append(packed(vector))
        segments.append(_core.PostingSegment.build(nums, vectors))
    dead = set(rng.sample(sorted(docs), len(docs) // 4)) if docs else set()
    segments = [s.with_dead(sorted(dead)) for s in segments]
    if data.draw(st.booleans()) and len(segments) > 1:
        path = str(tmp_path_factory.mktemp("seg") / "merged.postings")
        _core.merge_segments(segments[:2], [], b"{}", path)
        segments = [_core.PostingSegment.open(path)] + segments[2:]
        assert segments[0].live_count == segments[0].doc_count
    allowed = None
    if data.draw(st.booleans()):
        allowed = set(rng.sample(sorted(docs), len(docs) // 2)) if docs else set()
    query = {rng.randrange(dims) * 977: rng.random() for _ in range(rng.randint(1, 8))}
    query = {i: array.array("f", [w])[0] for i, w in query.items()}
    k = rng.choice([1, 3, 10, 1000])
    found = _core.search_segments(segments, packed(query), k,
                                  None if allowed is None
                                  else array.array("Q", sorted(allowed)).tobytes())
    expected = brute_force(docs, dead, allowed, query, k)
    assert [n for n, _ in found] == [n for n, _ in expected] or \
        [round(s, 5) for _, s in found] == [round(s, 5) for _, s in expected]
    assert [s for _, s in found] == pytest.approx([s for _, s in expected], rel=1e-5)


def test_segment_files_are_checked(tmp_path):
    path = tmp_path / "bad.postings"
    path.write_bytes(b"NVPOST01" + bytes(100))
    with pytest.raises(RuntimeError, match="not a posting segment"):
        _core.PostingSegment.open(str(path))
    with pytest.raises(ValueError, match="multiple of 8"):
        _core.PostingSegment.build([1], [b"abc"])
    with pytest.raises(ValueError, match="not ascending"):
        _core.PostingSegment.build([2, 1], [b"", b""])


def writes(rng):
    """The same sequence of writes for both stores: adds with metadata,
    replacements and deletions over a few calls."""
    steps = []
    for call in range(4):
        ids = [f"d{rng.randrange(60)}" for _ in range(rng.randint(5, 40))]
        metadata = [{"year": rng.choice([2021, 2023, 2024, 2025]),
                     "lang": rng.choice(["zh", "en"]), "flag": rng.random() < 0.5}
                    | ({"tag": "x"} if rng.random() < 0.2 else {}) for _ in ids]
        steps.append(("add", [random_text(rng) for _ in ids], ids, metadata))
        if call % 2:
            steps.append(("delete", [f"d{rng.randrange(60)}" for _ in range(5)]))
    return steps


def apply(index, steps):
    for step in steps:
        if step[0] == "add":
            index.add(step[1], step[2], step[3], batch_size=7)
        else:
            index.delete(step[1])


def same_ranking(hits, reference):
    """Same scores (1e-5) position by position and the same ids, equal
    scores in either order (a tie at the cut may keep a different member)."""
    assert [h.score for h in hits] == pytest.approx([h.score for h in reference], rel=1e-5)
    cut = min((h.score for h in reference), default=0.0)

    def groups(result):
        return sorted((round(h.score, 4), h.id) for h in result
                      if abs(h.score - cut) > 1e-5 * cut)
    assert groups(hits) == groups(reference)


def test_ranks_and_filters_as_a_milvus_server(milvus_server, tmp_path):
    """A Milvus server given the same writes is the reference: same ids,
    scores within 1e-5, the same documents for every filter expression."""
    steps = writes(random.Random(3))
    queries = ["北京天气", "手机电池续航", "芯片光刻", "today AI2", "公园散步冠军", "上海"]
    with SearchIndex(str(tmp_path / "local.db")) as local, \
            SearchIndex(milvus_server, "parity") as server:
        assert isinstance(local, LocalIndex)
        apply(local, steps)
        apply(server, steps)
        assert local.count() == server.count()
        for query in queries:
            everything = {h.id for h in local.search(query, k=1000)}
            for filter in [""] + FILTERS:
                same_ranking(local.search(query, k=20, filter=filter),
                             server.search(query, k=20, filter=filter))
                if filter:  # its negation selects the rest
                    selected = {h.id for h in local.search(query, k=1000, filter=filter)}
                    rest = {h.id for h in local.search(query, k=1000, filter=f"not ({filter})")}
                    assert not selected & rest and selected | rest == everything
        local.reindex()
        server.reindex()
        for hits, reference in zip(local.search_many(queries, k=30),
                                   server.search_many(queries, k=30)):
            same_ranking(hits, reference)
            by_id = {h.id: (h.text, h.metadata) for h in reference}
            assert all(by_id[h.id] == (h.text, h.metadata) for h in hits if h.id in by_id)


@pytest.mark.parametrize("expression, message", [
    ("year > 3", "a field"),
    ('meta["a"] ==', "literal"),
    ('id == "a" and', "a field"),
    ('meta["a"] + 1 > 2', "unexpected character"),
    ('id == 3', "id is a string"),
    ('array_contains(meta["a"], 1)', "a field"),
])
def test_unsupported_filters_are_refused(tmp_path, expression, message):
    with SearchIndex(str(tmp_path / "f.db")) as index:
        index.add(["北京天气"], ["a"], [{"a": 1}])
        with pytest.raises(ValueError, match=message) as refused:
            index.search("北京", filter=expression)
        assert "Milvus backend" in str(refused.value)


def test_what_the_local_store_does_not_do_names_milvus(tmp_path):
    with pytest.raises(ValueError, match="Milvus backend"):
        SearchIndex(str(tmp_path / "h.db"), dense_dim=4)
    with SearchIndex(str(tmp_path / "h.db")) as index:
        index.add(["北京天气"])
        with pytest.raises(ValueError, match="Milvus backend"):
            index.search("北京", dense=[0.0] * 4)


def test_a_milvus_lite_file_opens_with_milvus_lite(tmp_path):
    path = str(tmp_path / "lite.db")
    with SearchIndex(path, backend="milvus-lite") as index:
        index.add(["北京天气晴朗", "上海下雨"], ["a", "b"])
    with SearchIndex(path) as index:
        assert not isinstance(index, LocalIndex)
        assert index.search("北京")[0].id == "a"


WRITER = textwrap.dedent("""
    import sys
    from norvane.index import SearchIndex
    with SearchIndex(sys.argv[1]) as index:
        print("ready", flush=True)
        for batch in range(40):
            # A batch is whole or absent: its documents share a word and a count.
            index.add([f"北京新闻第{batch}批手机{i}" for i in range(25)],
                      [f"b{batch}-{i}" for i in range(25)], batch_size=25)
            if batch % 10 == 9:
                index.flush()
""")


def test_readers_see_whole_batches_while_a_process_writes(tmp_path):
    path = str(tmp_path / "shared.db")
    with SearchIndex(path) as index:
        index.add(["上海下雨"], ["first"])
    writer = subprocess.Popen([sys.executable, "-c", WRITER, path], stdout=subprocess.PIPE,
                              text=True)
    try:
        assert writer.stdout.readline().strip() == "ready"
        seen = set()
        with SearchIndex(path) as reader:
            while writer.poll() is None or len(seen) < 2:
                hits = reader.search("北京新闻", k=2000)
                count = reader.count()  # read after: never fewer
                assert count % 25 == 1 and len(hits) <= count - 1
                batches = {}
                for hit in hits:
                    batches.setdefault(hit.id.split("-")[0], []).append(hit)
                assert all(len(found) == 25 for found in batches.values())
                seen.add(count)
                if writer.poll() is not None:
                    break
        assert writer.wait(timeout=120) == 0
    finally:
        writer.kill()
    with SearchIndex(path) as index:
        assert index.count() == 1 + 40 * 25
        assert len(index.search("北京新闻", k=2000)) == 40 * 25
        reference = norvane.SparseEncoder().fit(
            ["上海下雨"] + [f"北京新闻第{b}批手机{i}" for b in range(40) for i in range(25)])
        assert index.encoder._native.model_text() == reference._native.model_text()


def test_search_from_the_command_line_needs_no_milvus_client(tmp_path):
    path = str(tmp_path / "cli.db")
    with SearchIndex(path) as index:
        index.add(["北京天气晴朗"], ["a"])
    code = ("import sys; from norvane import cli; status = cli.main(['search', '北京', '--uri', "
            f"{path!r}]); assert 'pymilvus' not in sys.modules, 'pymilvus imported'; "
            "sys.exit(status)")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert "a" in result.stdout.split()


def test_damaged_postings_file_is_rebuilt(tmp_path):
    path = str(tmp_path / "d.db")
    texts = [random_text(random.Random(i)) or "空" for i in range(300)]
    with SearchIndex(path) as index:
        index.add(texts, [str(i) for i in range(300)])
        expected = [(h.id, h.score) for h in index.search("北京天气", k=50)]
    postings = index.files()[0]
    with open(postings, "r+b") as f:
        f.truncate(os.path.getsize(postings) // 2)
    with SearchIndex(path) as index:
        assert [(h.id, h.score) for h in index.search("北京天气", k=50)] == expected
