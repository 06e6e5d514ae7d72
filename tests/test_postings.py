"""The local store's native inverted index and the store around it, without
Milvus (this file also runs against the extension built with
AddressSanitizer): top-k against a brute-force scan over random vectors,
segment files, readers beside a writing process, lost postings."""

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

WORDS = ["北京", "上海", "天气", "晴朗", "下雨", "手机", "电池", "续航", "汽车", "芯片",
         "光刻", "公园", "散步", "地铁", "开通", "比赛", "冠军", "新闻", "today", "AI2"]


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
    path.write_bytes(b"NVPOST02" + bytes(100))
    with pytest.raises(RuntimeError, match="not a posting segment"):
        _core.PostingSegment.open(str(path))
    with pytest.raises(ValueError, match="multiple of 8"):
        _core.PostingSegment.build([1], [b"abc"])
    with pytest.raises(ValueError, match="not ascending"):
        _core.PostingSegment.build([2, 1], [b"", b""])


WRITER = textwrap.dedent("""
    import sys
    from norvane._local_index import LocalIndex
    with LocalIndex(sys.argv[1]) as index:
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
    with LocalIndex(path) as index:
        index.add(["上海下雨"], ["first"])
    writer = subprocess.Popen([sys.executable, "-c", WRITER, path], stdout=subprocess.PIPE,
                              text=True)
    try:
        assert writer.stdout.readline().strip() == "ready"
        seen = set()
        with LocalIndex(path) as reader:
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
    with LocalIndex(path) as index:
        assert index.count() == 1 + 40 * 25
        assert len(index.search("北京新闻", k=2000)) == 40 * 25
        reference = norvane.SparseEncoder().fit(
            ["上海下雨"] + [f"北京新闻第{b}批手机{i}" for b in range(40) for i in range(25)])
        assert index.encoder._native.model_text() == reference._native.model_text()


def truncate(f, size):
    f.truncate(size // 2)


def other_token_hash(f, size):
    # Header word 6 holds the hash of a fixed text: a build whose token hash
    # differs must not read the file's document frequencies.
    f.seek(6 * 8)
    word = f.read(8)
    f.seek(6 * 8)
    f.write(bytes(b ^ 0xFF for b in word))


@pytest.mark.parametrize("damage", [truncate, other_token_hash])
def test_damaged_postings_file_is_rebuilt(tmp_path, damage):
    path = str(tmp_path / "d.db")
    texts = [random_text(random.Random(i)) or "空" for i in range(300)]
    with LocalIndex(path) as index:
        index.add(texts, [str(i) for i in range(300)])
        expected = [(h.id, h.score) for h in index.search("北京天气", k=50)]
    postings = index.files()[0]
    with open(postings, "r+b") as f:
        damage(f, os.path.getsize(postings))
    if damage is other_token_hash:
        with pytest.raises(RuntimeError, match="token hash"):
            _core.PostingSegment.open(postings)
    with LocalIndex(path) as index:
        assert [(h.id, h.score) for h in index.search("北京天气", k=50)] == expected
