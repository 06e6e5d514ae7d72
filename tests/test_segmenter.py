import itertools
import os
import random
import re
import subprocess
import sys
import textwrap

import pytest

import pynorvane
from conftest import DICT, HMM_LINES, UNDER_ASAN

SENTENCE = "小明的北京天安门人民"
EXPECTED = ["小明", "的", "北京", "天安门", "人民"]


@pytest.mark.parametrize(
    "sentence, words",
    [
        ("", []),
        # HMM stretches between dictionary words
        ("北京小明的", ["北京", "小明", "的"]),
        ("小晓明了", ["小晓明", "了"]),
        # letter and number rules
        ("123xyz", ["123", "xyz"]),
        ("3.14 3.14.15 7.", ["3.14", " ", "3.14.15", " ", "7."]),
        ("A-B", ["A", "-", "B"]),
        ("北京xyz12小明", ["北京", "xyz12", "小明"]),
        # a dictionary word keeps its letters, the rest goes to the rules
        ("abc12", ["ab", "c12"]),
        # separators are words of their own
        ("我 爱，北京。", ["我", " ", "爱", "，", "北京", "。"]),
        # a byte order mark is an ordinary character
        ("\ufeff北京", ["\ufeff", "北京"]),
    ],
)
def test_cut(seg, sentence, words):
    assert seg.cut(sentence) == words
    assert seg.cut(bytearray(sentence.encode())) == words  # bytes: test_str_and_bytes_agree


@pytest.fixture
def user_seg(data):
    words = ["明", "北京人爱北京 nz", "xyz9", "yz 3 n"]
    return data.segmenter(user_dict_path=data.write("user.txt", words))


@pytest.mark.parametrize("sentence, words", [
    ("我，中华人民共和国", ["我", "，", "中华", "华人", "人民", "共和", "共和国", "中华人民共和国"]),
    # a sub-word found twice is given twice
    ("北京人爱北京", ["北京", "北京", "北京人爱北京"]),
    # sub-words are searched in every word, also in letters and digits
    ("xyz9", ["yz", "xyz9"]),
])
def test_cut_for_search(user_seg, sentence, words):
    assert user_seg.cut_for_search(sentence) == words


def test_user_single_characters_split_hmm_stretches(data, user_seg):
    assert user_seg.cut("北京小明的") == ["北京", "小", "明", "的"]
    assert user_seg.cut("小明小明") == ["小", "明", "小", "明"]
    assert data.segmenter().cut("小明小明") == ["小明", "小明"]


@pytest.mark.parametrize(
    "sentence", ["我爱北京天安门。中华人民共和国", "𠀋北京😀ab，小晓明 12.5 天安门", "é北京\n\tab𝄞華人人民"]
)
def test_str_and_bytes_agree(seg, sentence):
    # words of a str are sliced out of it, words of bytes decoded: same words
    words = seg.cut(sentence)
    assert "".join(words) == sentence
    assert words == seg.cut(sentence.encode())
    assert seg.cut_for_search(sentence) == seg.cut_for_search(sentence.encode())


def test_pieces_cut_as_if_alone(seg):
    # the pieces of one sentence share working buffers: a long piece before a
    # short one must leave nothing behind
    pieces = ["中华人民共和国小晓明的北京天安门", "小王了", "我", "北京ab12天安门我爱中华"]
    for cut in (seg.cut, seg.cut_for_search):
        expected = []
        for piece in pieces:
            expected += cut(piece) + ["，"]
        assert cut("，".join(pieces) + "，") == expected


def test_long_sentence_without_separators(seg):
    assert seg.cut(SENTENCE * 20000) == EXPECTED * 20000


def test_undecodable_bytes_give_no_words(seg, capfd):
    assert seg.cut(b"\xe5\x8c\x97\xff") == []
    assert seg.cut_for_search("北京".encode() + b"\xe4\xb8") == []
    err = capfd.readouterr().err.splitlines()
    assert len(err) == 2
    assert all(line.endswith(" ERROR decode failed. ") for line in err)


@pytest.mark.parametrize("sentence, error", [
    (b"\x80A", UnicodeDecodeError),  # decodes leniently, but a word is not UTF-8
    ("\ud800".encode("utf-8", "surrogatepass"), UnicodeDecodeError),
    ("中\ud800国", TypeError),  # a lone surrogate has no UTF-8 form
    (None, TypeError),
])
def test_sentences_that_raise(seg, sentence, error):
    for cut in (seg.cut, seg.cut_for_search):
        with pytest.raises(error):
            cut(sentence)


def test_four_gib_sentence_is_rejected(seg):
    # zero-filled bytes come from calloc, so the pages are never touched; the
    # length is checked before the sentence is copied
    try:
        huge = bytes(1 << 32)
    except MemoryError:
        pytest.skip("cannot reserve 4 GiB of address space")
    for cut in (seg.cut, seg.cut_for_search):
        with pytest.raises(ValueError, match="too long"):
            cut(huge)
    del huge
    assert seg.cut(bytes(3)) == ["\0"] * 3


@pytest.mark.parametrize("work", [
    "pynorvane.Segmenter(**PATHS).cut, args=('北京天安门小明的，' * n,)",
    "norvane.SparseEncoder().fit, args=(['北京天安门小明的，'] * n,)",
], ids=["Segmenter.cut", "SparseEncoder.fit"])
def test_exit_while_daemon_threads_work(data, work):
    # The threads finish their work while the interpreter shuts down (held up
    # by a slow finaliser) and are ended as they take the lock back.
    script = f"""
        import threading, time, norvane
        for n in (10**4, 10**5, 3 * 10**5):
            threading.Thread(target={work}, daemon=True).start()
        class Slow:
            def __del__(self):
                time.sleep(1)
        keep = Slow()
        """
    for _ in range(3):
        result = load_in_child(data.paths, script)
        assert result.returncode == 0, result.stderr


def fatal_cases(data):
    names = itertools.count()
    missing = str(data.root / "missing.txt")
    opened = f"false. open {missing} failed"
    column = "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:"
    short, size = "exp: [GetLine(ifile, line)] false. ", "exp: [tmp.size() == STATUS_SUM] false. "
    emit = "exp: [LoadEmitProb(line, emitProb{})] false. "
    user = data.write("user.txt", ["小明"])
    unnamed = "exp: [ifs.is_open()] false. open  failed"

    def write(lines):
        return data.write(f"bad{next(names)}.txt", lines)

    def main(*lines):
        return {"dict_path": write(["北京 20 ns", *lines])}

    def hmm(index, line):
        return {"hmm_path": write(HMM_LINES[:index] + [line] + HMM_LINES[index + 1:])}

    return [
        ("DictTrie", {"dict_path": missing}, f"exp: [ifs.is_open()] {opened}.", None),
        ("DictTrie", main("天安门  15 ns"), column + "天安门  15 ns", None),
        ("DictTrie", main("天安门 15"), column + "天安门 15", None),
        ("DictTrie", main("天安门 15 ns x"), column + "天安门 15 ns x", None),
        ("DictTrie", main("", "我 50 r"), column, None),
        ("DictTrie", {"user_dict_path": missing}, f"exp: [ifs.is_open()] {opened}", None),
        ("DictTrie", {"user_dict_path": f"{user}||"}, unnamed, None),
        ("HMMModel", {"hmm_path": missing}, f"exp: [ifile.is_open()] {opened}", None),
        ("HMMModel", {"hmm_path": write(["# only a comment"])}, short, None),
        ("HMMModel", {"hmm_path": write(HMM_LINES[:-1])}, short, None),
        ("HMMModel", hmm(1, HMM_LINES[1].replace(" ", "\t")), size, None),
        ("HMMModel", hmm(4, "-0.7  -3.14e+100 -3.14e+100 -0.7"), size, None),
        ("HMMModel", hmm(8, "小:-1.0,,王:-1.0"), emit.format("B"), "emitProb illegal."),
        ("HMMModel", hmm(9, "明五:-1.0"), emit.format("E"), "TransCode failed."),
        ("HMMModel", hmm(10, "晓:-1:2"), emit.format("M"), "emitProb illegal."),
        ("HMMModel", hmm(11, "的"), emit.format("S"), "emitProb illegal."),
        ("KeywordExtractor", {"idf_path": missing}, f"exp: [ifs.is_open()] {opened}", None),
        ("KeywordExtractor", {"stop_word_path": missing}, f"exp: [ifs.is_open()] {opened}", None),
    ]


RECORD = re.compile(
    r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d csrc/tokenizer/segmenter/(\w+)\.h:\d+ (ERROR|FATAL) (.*)$"
)


def records(err):
    return [RECORD.match(line).groups() for line in err.splitlines()]


def test_every_loader_failure_raises_its_record(data, capfd):
    for header, overrides, message, error in fatal_cases(data):
        with pytest.raises(RuntimeError) as info:
            data.segmenter(**overrides)
        assert str(info.value) == message
        expected = [(header, "ERROR", error)] if error else []
        assert records(capfd.readouterr().err) == expected + [(header, "FATAL", message)]
    # the interpreter and later constructions are unaffected
    assert data.segmenter().cut("北京小明") == ["北京", "小明"]


def load_in_child(paths, script, timeout=None):
    """Runs `script` with `paths` (data file paths) as PATHS in a fresh interpreter."""
    limit = "" if UNDER_ASAN else "resource.setrlimit(resource.RLIMIT_AS, (1 << 29,) * 2)\n"
    script = "import resource, pynorvane\n" + limit + \
        f"PATHS = {paths!r}\n" + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=timeout)


@pytest.mark.parametrize("slot", ["dict_path", "hmm_path", "user_dict_path", "idf_path",
                                  "stop_word_path"])
def test_only_regular_files_are_read(data, slot):
    # Cut at the NUL, the path would name a valid file.
    for path in (str(data.root), data.paths["dict_path"] + "\x00.other"):
        with pytest.raises(RuntimeError, match=r"is_open\(\)\] false\. open "):
            data.segmenter(**{slot: path})
    # A pipe without writer would block, devices never end: in a child, so
    # that a hang cannot stop the tests.
    fifo = data.root / "fifo"
    os.mkfifo(fifo)
    special = [str(fifo), "/dev/zero", "/dev/urandom"]
    result = load_in_child(data.paths, f"""
        for path in {special!r}:
            try:
                pynorvane.Segmenter(**dict(PATHS, {slot}=path))
            except RuntimeError as error:
                print(error)
        """, timeout=60)
    assert [line.split("] false. ")[1] for line in result.stdout.splitlines()] == [
        f"open {path} failed" + "." * (slot == "dict_path") for path in special]


@pytest.mark.skipif(UNDER_ASAN, reason="needs an address-space limit")
@pytest.mark.parametrize("slot", ["dict_path", "user_dict_path", "idf_path", "stop_word_path"])
def test_read_error_fails_the_load(data, slot):
    # One endless line runs out of memory inside the stream: no end of file.
    huge = data.root / "huge.txt"
    with open(huge, "wb") as f:
        f.truncate(1 << 30)  # sparse
    result = load_in_child(dict(data.paths, **{slot: str(huge)}), "pynorvane.Segmenter(**PATHS)")
    assert f"RuntimeError: exp: [!ifs.bad()] false. read {huge} failed" in result.stderr


def test_binary_garbage_line_is_reported_readably(data):
    garbage = data.write("bin.txt", b"\xff\xfe\x00\x01 garbage\n")
    with pytest.raises(RuntimeError, match=r"split result illegal, line:\\xff\\xfe"):
        data.segmenter(dict_path=garbage)


@pytest.mark.parametrize("slot, content, words", [
    # a byte order mark is skipped, also before a line without line feed
    ("dict_path", "\ufeff" + "\n".join(DICT), EXPECTED),
    ("hmm_path", "\ufeff" + "\n".join(HMM_LINES), EXPECTED),
    ("user_dict_path", "\ufeff明的 nr\r\n", ["小", "明的", "北京", "天安门", "人民"]),
    # frequencies that are no finite number count as 0
    ("dict_path", "\n".join(DICT) + "\n京天 nan n\n门人 inf n\n的北 -inf n\n安门人 1e400 n", EXPECTED),
    ("user_dict_path", "京天 99999999999999999999999 nr\n", EXPECTED),
    # bad lines are skipped
    ("idf_path", bytes(random.Random(7).getrandbits(8) for _ in range(2000)), EXPECTED),
    ("stop_word_path", bytes(range(256)), EXPECTED),
], ids=["bom-dict", "bom-hmm", "bom-user", "nan-inf", "huge-user", "binary-idf", "binary-stop"])
def test_files_that_still_load(data, slot, content, words):
    variant = data.write("variant.txt", content)
    assert data.segmenter(**{slot: variant}).cut(SENTENCE) == words
