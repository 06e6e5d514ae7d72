import json
import os
import stat
import subprocess
import sys
import textwrap

import pytest

import pynorvane
from conftest import HMM_LINES, trained

EXAMPLE = (
    '{\n  "_b" : 0.750000,\n  "_doc_count" : 3,\n  "_doc_length_average" : 4.333333,\n'
    '  "_doc_token_frequency" : {\n    "apple" : 2,\n    "pear" : 1\n  },\n  "_k1" : 1.200000\n}'
)

TRICKY_TOKENS = ["plain", 'say "hi"', "back\\slash", "\\", "tab\there", "new\nline", "cr\rbs\bff\f",
                 "slash/", "\x01ctl\x7f", "nul\x00byte", "中文", "emoji 😀", "\\u0041"]


def model_text(**members):
    data = {"_b": 0.75, "_doc_count": 3, "_doc_length_average": 13 / 3,
            "_doc_token_frequency": {"apple": 2, "pear": 1}, "_k1": 1.2}
    data.update(members)
    return json.dumps({k: v for k, v in data.items() if v is not None})


def raw_member(name, text):
    """The example model file with the member `name` written as `text`."""
    return model_text(**{name: None})[:-1] + f', "{name}": {text}}}'


def loaded(text):
    model = pynorvane.BM25()
    model.load(text)
    return model


def dumped(model, path):
    model.dump(str(path))
    return path.read_bytes()


def encodings(model, tokens):
    return model.encode_document(tokens), model.encode_query(tokens)


def test_example_is_written_byte_for_byte(tmp_path):
    assert dumped(loaded(model_text()), tmp_path / "m.json") == EXAMPLE.encode()


def test_tokens_round_trip(tmp_path):
    original = trained(TRICKY_TOKENS, TRICKY_TOKENS[:4] * 2, ["other"] * 3, [5, -12, 2**63 - 1])
    first = dumped(original, tmp_path / "a.json")
    # Valid JSON holding every token; read back, also with every non-ASCII
    # character as \u escapes, it is written the same.
    data = json.loads(first.decode())
    assert set(data["_doc_token_frequency"]) == set(TRICKY_TOKENS) | {"other", "5", "-12",
                                                                      str(2**63 - 1)}
    for text in (first.decode(), json.dumps(data, ensure_ascii=True)):
        restored = loaded(text)
        assert dumped(restored, tmp_path / "b.json") == first
    for tokens in (TRICKY_TOKENS, ["plain", "new\nline", "unknown"], [5, -12, 7, 2**63 - 1, 99]):
        for got, want in zip(encodings(restored, tokens), encodings(original, tokens)):
            assert list(got.items()) == list(want.items())


def test_load_merges_counts_and_replaces_scalars(tmp_path):
    model = loaded(model_text())
    model.load(model_text(_doc_token_frequency=[1, 2]))  # counts as an array are ignored
    model.load(model_text(_doc_count=5, _k1=2.0, _doc_token_frequency={"pear": 7, "fig": 1}))
    data = json.loads(dumped(model, tmp_path / "m.json"))
    assert data["_doc_token_frequency"] == {"apple": 2, "fig": 1, "pear": 7}
    assert data["_doc_count"] == 5 and data["_k1"] == 2.0
    # Integral numbers where floats belong, as other JSON writers give 2.0.
    model.load(model_text(_b=1, _k1=-2, _doc_length_average=0))
    text = dumped(model, tmp_path / "m.json").decode()
    assert '"_b" : 1.000000' in text and '"_k1" : -2.000000' in text
    assert '"_doc_length_average" : 0.000000' in text


def test_training_after_load_keeps_the_average():
    # 2 documents of average length 2.5 hold 5 tokens; one more of 4 gives 3.
    original = trained(["a", "b", "a"], ["b", "c"])
    restored = loaded(model_text(_doc_count=2, _doc_length_average=2.5,
                                 _doc_token_frequency={"a": 2, "b": 2, "c": 1}))
    for model in (original, restored):
        model.train(["c"] * 4)
    tokens = ["a", "c", "c", "d", "e", "f"]
    assert encodings(restored, tokens) == encodings(original, tokens)


@pytest.mark.parametrize(
    "text, error, message",
    [
        ("", RuntimeError, "json data should not be empty"),
        ("nonsense", RuntimeError, "load doc_count failed"),
        (model_text(_doc_count=None), RuntimeError, "load doc_count failed"),
        (model_text(_doc_count=3.0), RuntimeError, "load doc_count failed"),
        (model_text(_doc_count=2**32 + 3), RuntimeError, "load doc_count failed"),
        (model_text(_doc_count=-1), RuntimeError, "load doc_count failed"),
        (model_text(_doc_length_average=-0.5), RuntimeError, "load doc_length_average failed"),
        (model_text(_doc_length_average=1e300), RuntimeError, "load doc_length_average failed"),
        (raw_member("_doc_length_average", "1e999"), RuntimeError,
         "load doc_length_average failed"),
        (model_text(_b=None), RuntimeError, "load b failed"),
        (raw_member("_b", "1e999"), RuntimeError, "load b failed"),
        (raw_member("_k1", "-1.0e999"), RuntimeError, "load k1 failed"),
        (raw_member("_k1", "0e999"), RuntimeError, "load k1 failed"),  # 0 times infinity
        (model_text(_k1="1"), RuntimeError, "load k1 failed"),
        (model_text(_doc_token_frequency={"a": 1, "b": 1.5}), RuntimeError,
         "load doc_token_frequency failed"),
        (model_text(_doc_token_frequency={"a": 2**31}), RuntimeError,
         "load doc_token_frequency failed"),
        (model_text(_doc_token_frequency={"a": 1, "b": -1}), RuntimeError,
         "load doc_token_frequency failed"),
        # A bad count wins over a bad scalar: the members are checked in order.
        (model_text(_doc_token_frequency={"a": "1"}, _k1="1"), RuntimeError,
         "load doc_token_frequency failed"),
        ('{"_doc_count" : -}', ValueError, "stol"),
        ('{"_b" : -.}', ValueError, "stod"),
        ('{"_doc_count" : 99999999999999999999}', IndexError, "stol"),
        ('{"_b" : 1' + "0" * 400 + '.0}', IndexError, "stod"),
    ],
)
def test_failed_load_leaves_the_model_unchanged(tmp_path, text, error, message):
    model = trained(["a", "b", "a"], ["b", "c"])
    twin = trained(["a", "b", "a"], ["b", "c"])
    before = dumped(model, tmp_path / "before.json")
    with pytest.raises(error, match="^%s$" % message):
        model.load(text)
    assert dumped(model, tmp_path / "after.json") == before
    # also the total length behind the average
    model.train(["z"] * 9)
    twin.train(["z"] * 9)
    assert encodings(model, ["a", "z"]) == encodings(twin, ["a", "z"])


@pytest.mark.parametrize("name", ["m.json", "m" * 255], ids=["short", "longest-allowed"])
def test_dump_replaces_the_file_and_keeps_its_mode(tmp_path, name):
    path = tmp_path / name
    path.write_text("x" * 10000)
    os.chmod(path, 0o640)
    text = dumped(trained(["a"]), path)
    assert text.startswith(b"{\n") and text.endswith(b"}")
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert os.listdir(tmp_path) == [name]
    path.unlink()
    assert dumped(trained(["a"]), path) == text


def test_dump_to_a_pipe_never_waits_forever(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    model = trained([f"token{i}" for i in range(20000)])  # more than a pipe holds
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        model.dump(str(fifo))  # no reader
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        with pytest.raises(RuntimeError, match="^Failed to dump: Unable to write file: Connection"):
            model.dump(str(fifo))  # a reader that never reads
        assert len(os.read(reader, 1 << 20)) > 0
    finally:
        os.close(reader)


def test_dump_writes_through_a_symbolic_link(tmp_path):
    target = tmp_path / "real.json"
    target.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to(target)
    trained(["a"]).dump(str(link))
    assert link.is_symlink()
    assert json.loads(target.read_text())["_doc_token_frequency"] == {"a": 1}


@pytest.mark.parametrize("where", ["missing/m.json", "", "m.json\x00.other"])
def test_dump_to_unopenable_path(tmp_path, where):
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        trained(["a"]).dump(str(tmp_path / where))
    assert os.listdir(tmp_path) == []


def test_failed_write_keeps_the_old_file(tmp_path):
    # A file size limit makes the write fail part way, like a full disk.
    path = tmp_path / "m.json"
    path.write_text("old model")
    script = textwrap.dedent(
        """
        import resource, signal, sys
        import pynorvane
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        model = pynorvane.BM25()
        model.train(["token%d" % i for i in range(10000)])
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
        try:
            model.dump(sys.argv[1])
        except RuntimeError as error:
            print(error)
        """
    )
    result = subprocess.run([sys.executable, "-c", script, str(path)],
                            capture_output=True, text=True, check=True)
    assert result.stdout.startswith("Failed to dump: Unable to write file")
    assert path.read_text() == "old model"
    assert os.listdir(tmp_path) == ["m.json"]


@pytest.mark.parametrize("doc_count, counts, document", [
    (2**31 - 1, {"a": 1, "z": 0}, ["b"]),  # one more document
    (5, {"a": 1, "z": 2**31 - 1}, ["a", "new", "z"]),  # one more of z, after a and new
    (5, {"7": 2**31 - 1, "z": 2**31 - 1}, [7]),  # integer tokens share the count
])
def test_training_past_the_count_range_is_refused(tmp_path, doc_count, counts, document):
    model = loaded(model_text(_doc_count=doc_count, _doc_length_average=1.0,
                              _doc_token_frequency=counts))
    before = dumped(model, tmp_path / "before.json")
    with pytest.raises(OverflowError, match="^BM25 statistics would overflow$"):
        model.train(document)
    # Whatever order the tokens are counted in, none of them stays.
    with pytest.raises(OverflowError):
        model.train([f"n{i}" for i in range(300)] + ["z", "a"] * 2)
    assert dumped(model, tmp_path / "after.json") == before
    if doc_count < 2**31 - 1:
        model.train(["fresh"])  # a document that fits is still taken
    # Both counts may reach the top of the range.
    model = loaded(model_text(_doc_count=2**31 - 2, _doc_token_frequency={"a": 2**31 - 2}))
    model.train(["a"])


@pytest.fixture(scope="session")
def comma_locale(tmp_path_factory):
    """Environment for a process that can select de_DE.UTF-8, whose decimal point is a comma."""
    folder = tmp_path_factory.mktemp("locales")
    # Built into a folder of its own when missing; LOCPATH points the C library there.
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(folder / "de_DE.UTF-8")],
                   capture_output=True)
    env = dict(os.environ, LOCPATH=str(folder)) if (folder / "de_DE.UTF-8").is_dir() else None
    check = "import locale; locale.setlocale(locale.LC_ALL, 'de_DE.UTF-8')"
    if subprocess.run([sys.executable, "-c", check], env=env, capture_output=True).returncode:
        pytest.skip("no de_DE.UTF-8 locale and localedef cannot build one")
    return env


def test_files_read_and_written_alike_in_a_comma_decimal_locale(data, comma_locale):
    script = textwrap.dedent(
        """
        import locale, norvane, pynorvane, sys
        paths, text, out = eval(sys.argv[1])

        def run():
            model = pynorvane.BM25()
            model.load(text)
            model.dump(out)
            model.load(open(out).read())
            seg = pynorvane.Segmenter(**paths)
            keywords = norvane.Tokenizer(**paths).keywords("北京天安门北京")  # the IDF table
            return (open(out).read(), model.encode_document(["apple"]),
                    seg.cut("小晓明王五的小的晓明"), keywords)

        in_c = run()
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
        assert locale.localeconv()["decimal_point"] == ","
        assert run() == in_c, (run(), in_c)
        """
    )
    args = repr((data.paths, EXAMPLE, str(data.root / "m.json")))
    result = subprocess.run([sys.executable, "-c", script, args], env=comma_locale,
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
