"""What SparseEncoder.load refuses: files that are not regular or too big,
and model files that are not one JSON object with members in range."""

import json
import os
import threading

import pytest

import norvane
import norvane._encoder


@pytest.fixture(scope="module")
def model():
    """A saved encoder's members, as Python values."""
    encoder = norvane.SparseEncoder().fit(["北京天气很好", "芯片", "北京的芯片"])
    return json.loads(encoder._native.model_text())


def dumps(data):
    return json.dumps(data, ensure_ascii=False)


def write(tmp_path, data, name="model.json"):
    path = tmp_path / name
    path.write_bytes(data if isinstance(data, bytes) else dumps(data).encode())
    return path


def changed(model, **members):
    data = json.loads(json.dumps(model))
    data.update(members)
    return data


def first_token(model):
    return sorted(model["_doc_token_frequency"])[0]


BAD = {
    "a token counted more often than there are documents": (
        lambda m: changed(m, _doc_token_frequency=dict(m["_doc_token_frequency"], 北京=4)),
        "_doc_token_frequency: the token '北京' is in 4 documents"),
    "a document count of 10**23": (lambda m: changed(m, _doc_count=10 ** 23), "'_doc_count'"),
    "a negative document count": (lambda m: changed(m, _doc_count=-1), "doc_count"),
    "a document count that is no integer": (lambda m: changed(m, _doc_count=2.5), "doc_count"),
    "a negative token count": (
        lambda m: changed(m, _doc_token_frequency={first_token(m): -1}), "doc_token_frequency"),
    "a token count that is no integer": (
        lambda m: changed(m, _doc_token_frequency={first_token(m): 1.5}), "doc_token_frequency"),
    "a negative total length": (lambda m: changed(m, _doc_length_total=-3), "doc_length_total"),
    "trailing garbage": (lambda m: dumps(m).encode() + b"\n}x", "text after the value"),
    "a second object": (lambda m: (dumps(m) * 2).encode(), "text after the value"),
    "a token that is not UTF-8": (
        lambda m: dumps(m).encode().replace('"北京"'.encode(), b'"\xff\xfe"'), "not valid UTF-8"),
    "broken JSON": (lambda m: dumps(m)[:-20].encode(), "not valid JSON"),
    "a UTF-16 byte-order mark": (lambda m: b"\xff\xfe" + dumps(m).encode(), "not valid JSON"),
    "members missing": (lambda m: b'{"_doc_count": 1}', "doc_length_average"),
    "another analysis": (lambda m: changed(m, _analysis="other"), "analysis"),
}


@pytest.mark.parametrize("case", sorted(BAD))
def test_bad_files_name_the_file_and_the_member(model, tmp_path, case):
    make, text = BAD[case]
    path = write(tmp_path, make(model))
    with pytest.raises(ValueError) as info:
        norvane.SparseEncoder.load(path)
    assert str(path) in str(info.value) and text in str(info.value)


def test_a_byte_order_mark_is_accepted(model, tmp_path):
    plain = norvane.SparseEncoder.load(write(tmp_path, model))
    marked = norvane.SparseEncoder.load(
        write(tmp_path, b"\xef\xbb\xbf" + dumps(model).encode(), "marked.json"))
    assert marked._native.model_text() == plain._native.model_text()
    assert marked.document_count == model["_doc_count"]


def test_pynorvane_bm25_reads_as_it_always_did(model, tmp_path):
    import pynorvane
    text = dumps(model) + "\n}x"
    bm25 = pynorvane.BM25()
    bm25.load(text)  # its reader of the model format stops at the value's end
    bm25.dump(str(tmp_path / "dumped.json"))
    dumped = json.loads((tmp_path / "dumped.json").read_text(encoding="utf-8"))
    assert dumped["_doc_token_frequency"] == model["_doc_token_frequency"]
    with pytest.raises(ValueError):
        norvane.SparseEncoder.load(write(tmp_path, text.encode()))


def loads_in_time(path):
    """The error load raises, from a thread given 10 s: a load that blocks
    fails the test instead of hanging it."""
    outcome = []

    def run():
        try:
            norvane.SparseEncoder.load(path)
            outcome.append(None)
        except Exception as error:  # noqa: BLE001 - reported to the test
            outcome.append(error)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(10)
    assert outcome, "load(%s) blocked" % path
    return outcome[0]


@pytest.mark.parametrize("kind", ["fifo", "/dev/zero", "directory"])
def test_files_that_are_not_regular_are_refused_without_reading(tmp_path, kind):
    if kind == "fifo":
        path = str(tmp_path / "pipe")
        os.mkfifo(path)
    elif kind == "directory":
        path = str(tmp_path)
    else:
        path = kind
    error = loads_in_time(path)
    assert isinstance(error, ValueError) and "not a regular file" in str(error)
    assert path in str(error)


def test_a_file_past_the_limit_is_refused_before_it_is_read(tmp_path):
    path = tmp_path / "huge.json"
    with open(path, "wb") as f:
        f.truncate(norvane._encoder.MAX_FILE_BYTES + 1)  # sparse: nothing is written
    error = loads_in_time(str(path))
    assert isinstance(error, ValueError) and "more than the" in str(error)


def test_the_native_reader_stops_at_its_limit(model, tmp_path):
    path = write(tmp_path, model)
    encoder = norvane.SparseEncoder()
    fd = os.open(path, os.O_RDONLY)
    try:
        with pytest.raises(OSError) as info:
            encoder._native.restore_file(fd, str(path), 10)
        assert info.value.filename == str(path)
        encoder._native.restore_file(fd, str(path), os.path.getsize(path))
    finally:
        os.close(fd)
    assert encoder.document_count == model["_doc_count"]
