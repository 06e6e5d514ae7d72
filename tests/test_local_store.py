"""The embedded local store against a Milvus server given the same writes
(ids, scores, filters), and what it refuses or leaves to Milvus."""

import random
import subprocess
import sys

import pytest

import norvane
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


