import re
import sys
import threading
import time

import pytest

import pynorvane

MIN = "-3.14e+100"

DICT = {
    "北京": 20,
    "天安门": 15,
    "我": 50,
    "爱": 30,
    "中华": 8,
    "华人": 6,
    "人民": 12,
    "共和": 4,
    "共和国": 9,
    "中华人民共和国": 40,
    "ab": 3,
}

# B/E/M/S model: 小 opens a word, 晓 continues it, 明 and 五 close it, 的 and
# 了 stand alone; every other character is unknown to it.
HMM_LINES = [
    "# start",
    f"-0.6 {MIN} {MIN} -0.8",
    "# transitions",
    f"{MIN} -0.5 -0.9 {MIN}",
    f"-0.7 {MIN} {MIN} -0.7",
    f"{MIN} -0.6 -0.8 {MIN}",
    f"-0.7 {MIN} {MIN} -0.7",
    "# emissions",
    "小:-1.0,王:-1.0",
    "明:-1.0,五:-1.0",
    "晓:-1.0",
    "的:-0.5,了:-0.5,小:-5,明:-5",
]


class Data:
    def __init__(self, root):
        self.root = root
        self.paths = {
            "dict_path": self.write("dict.txt", [f"{w} {f} n" for w, f in DICT.items()]),
            "hmm_path": self.write("hmm.model", HMM_LINES),
            "user_dict_path": "",
            "idf_path": self.write("idf.txt", ["北京 5.5", "天安门 7.25"]),
            "stop_word_path": self.write("stop.txt", ["的", "了"]),
        }

    def write(self, name, lines, end="\n"):
        path = self.root / name
        path.write_bytes(end.join(lines).encode() + end.encode())
        return str(path)

    def segmenter(self, **overrides):
        return pynorvane.Segmenter(**dict(self.paths, **overrides))


@pytest.fixture
def data(tmp_path):
    return Data(tmp_path)


@pytest.fixture
def seg(data):
    return data.segmenter()


@pytest.mark.parametrize(
    "sentence, words",
    [
        ("", []),
        ("北京天安门", ["北京", "天安门"]),
        ("中华人民共和国", ["中华人民共和国"]),
        # HMM stretches between dictionary words
        ("北京小明的", ["北京", "小明", "的"]),
        ("小晓明了", ["小晓明", "了"]),
        ("的了", ["的", "了"]),
        # a run that starts with a rune the model lacks falls apart
        ("乙小明", ["乙", "小", "明"]),
        # letter and number rules
        ("xyz123", ["xyz123"]),
        ("123xyz", ["123", "xyz"]),
        ("a3.5", ["a3", ".", "5"]),
        ("3.14 3.14.15 7.", ["3.14", " ", "3.14.15", " ", "7."]),
        (".5", [".", "5"]),
        ("A-B", ["A", "-", "B"]),
        ("北京xyz12小明", ["北京", "xyz12", "小明"]),
        # a dictionary word keeps its letters, the rest goes to the rules
        ("abc12", ["ab", "c12"]),
        # separators are words of their own
        ("我 爱，北京。", ["我", " ", "爱", "，", "北京", "。"]),
        ("  ", [" ", " "]),
        ("北京\t\n", ["北京", "\t", "\n"]),
        # carriage return and ideographic space are not separators
        ("北京\r", ["北京", "\r"]),
    ],
)
def test_cut(seg, sentence, words):
    assert seg.cut(sentence) == words
    assert seg.cut(sentence.encode()) == words
    assert seg.cut(bytearray(sentence.encode())) == words


def test_user_single_characters_split_hmm_stretches(data):
    user = data.write("user.txt", ["明", "", "北京人爱北京 nz"])
    seg = data.segmenter(user_dict_path=user)
    assert seg.cut("北京小明的") == ["北京", "小", "明", "的"]
    assert seg.cut("小明小明") == ["小", "明", "小", "明"]
    # without the user dictionary the same text is joined by the HMM
    assert data.segmenter().cut("小明小明") == ["小明", "小明"]


def test_user_dictionaries_by_list(data):
    first = data.write("a.txt", ["小明的"])
    second = data.write("b.txt", ["天安 5 ns"])
    seg = data.segmenter(user_dict_path=f"{first};{second}|")
    assert seg.cut("小明的天安") == ["小明的", "天安"]


@pytest.mark.parametrize(
    "sentence, words",
    [
        ("", []),
        ("北京", ["北京"]),
        ("天安门", ["天安门"]),
        (
            "中华人民共和国",
            ["中华", "华人", "人民", "共和", "共和国", "中华人民共和国"],
        ),
        (
            "我，中华人民共和国",
            ["我", "，", "中华", "华人", "人民", "共和", "共和国", "中华人民共和国"],
        ),
        ("abc12", ["ab", "c12"]),
    ],
)
def test_cut_for_search(seg, sentence, words):
    assert seg.cut_for_search(sentence) == words


def test_cut_for_search_repeats_sub_words(data):
    user = data.write("user.txt", ["北京人爱北京 nz", "xyz9", "yz 3 n"])
    seg = data.segmenter(user_dict_path=user)
    assert seg.cut("北京人爱北京") == ["北京人爱北京"]
    assert seg.cut_for_search("北京人爱北京") == ["北京", "北京", "北京人爱北京"]
    # sub-words are searched in every word, also in letters and digits
    assert seg.cut_for_search("xyz9") == ["yz", "xyz9"]


def test_words_rebuild_the_sentence(seg):
    text = "我爱北京天安门，abc 3.14 小晓明的中华人民共和国😀乙\r"
    assert "".join(seg.cut(text)) == text


def test_undecodable_bytes(seg, capfd):
    assert seg.cut(b"\xe5\x8c\x97\xff") == []
    assert seg.cut_for_search(b"\xe4\xb8") == []
    err = capfd.readouterr().err.splitlines()
    assert len(err) == 2
    assert all(line.endswith(" ERROR decode failed. ") for line in err)
    # accepted by the lenient decoder, but the word is not UTF-8
    with pytest.raises(UnicodeDecodeError):
        seg.cut(b"\x80A")


@pytest.mark.parametrize(
    "sentence",
    [
        "我爱北京天安门。中华人民共和国",
        "𠀋北京😀ab，小晓明 12.5 天安门",
        "é北京\n\tab𝄞華人人民",
    ],
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


def fatal_cases(data):
    missing = str(data.root / "missing.txt")
    bad_dict = data.write("bad_dict.txt", ["北京 20 ns", "天安门  15 ns"])
    empty_dict = data.write("empty_dict.txt", [""], end="")
    short_hmm = data.write("short.model", HMM_LINES[:-1])
    tabs_hmm = data.write("tabs.model", [HMM_LINES[1].replace(" ", "\t")] + HMM_LINES[2:])

    def emit_broken(state, entry):
        lines = list(HMM_LINES)
        lines[8 + "BEMS".index(state)] = entry
        return data.write(f"emit_{state}.model", lines)

    opened = f"false. open {missing} failed"
    emit = "exp: [LoadEmitProb(line, emitProb{})] false. "
    return [
        ("DictTrie", {"dict_path": missing}, f"exp: [ifs.is_open()] {opened}.", None),
        (
            "DictTrie",
            {"dict_path": bad_dict},
            "exp: [buf.size() == DICT_COLUMN_NUM] false. split result illegal, line:天安门  15 ns",
            None,
        ),
        ("DictTrie", {"dict_path": empty_dict}, "exp: [!static_node_infos_.empty()] false. ", None),
        ("DictTrie", {"user_dict_path": missing}, f"exp: [ifs.is_open()] {opened}", None),
        ("HMMModel", {"hmm_path": missing}, f"exp: [ifile.is_open()] {opened}", None),
        ("HMMModel", {"hmm_path": short_hmm}, "exp: [GetLine(ifile, line)] false. ", None),
        ("HMMModel", {"hmm_path": tabs_hmm}, "exp: [tmp.size() == STATUS_SUM] false. ", None),
        (
            "HMMModel",
            {"hmm_path": emit_broken("B", "小:-1.0,,王:-1.0")},
            emit.format("B"),
            "emitProb illegal.",
        ),
        (
            "HMMModel",
            {"hmm_path": emit_broken("E", "明五:-1.0")},
            emit.format("E"),
            "TransCode failed.",
        ),
        (
            "HMMModel",
            {"hmm_path": emit_broken("M", "晓:-1:2")},
            emit.format("M"),
            "emitProb illegal.",
        ),
        ("HMMModel", {"hmm_path": emit_broken("S", "的")}, emit.format("S"), "emitProb illegal."),
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


def test_idf_and_stop_word_records(data, capfd):
    idf = data.write("idf_bad.txt", ["a 1.0", "", "b 3.0 x", "c\t2.0", "d 2.0\r"])
    stop = data.write("stop_crlf.txt", ["的", "了"], end="\r\n")
    seg = data.segmenter(idf_path=idf, stop_word_path=stop)
    assert records(capfd.readouterr().err) == [
        ("KeywordExtractor", "ERROR", "lineno: 1 empty. skipped."),
        ("KeywordExtractor", "ERROR", "line: b 3.0 x, lineno: 2 empty. skipped."),
        ("KeywordExtractor", "ERROR", "line: c\t2.0, lineno: 3 empty. skipped."),
    ]
    assert seg.cut("北京的") == ["北京", "的"]


def test_four_gib_sentence_is_rejected(seg):
    # zero-filled bytes come from calloc, so the pages are never touched; the
    # length is checked before the sentence is copied
    try:
        huge = bytes(1 << 32)
    except MemoryError:
        pytest.skip("cannot reserve 4 GiB of address space")
    with pytest.raises(ValueError, match="too long"):
        seg.cut(huge)
    with pytest.raises(ValueError, match="too long"):
        seg.cut_for_search(huge)
    del huge
    assert seg.cut(bytes(3)) == ["\0"] * 3


def test_cut_releases_the_interpreter_lock(seg):
    text = "北京小晓明的天安门了，xyz 12 " * 100_000
    stamps = []
    done = threading.Event()

    def ticker():
        while not done.is_set():
            stamps.append(time.perf_counter())

    worker = threading.Thread(target=ticker)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(0.001)
    try:
        worker.start()
        time.sleep(0.01)
        start = time.perf_counter()
        words = seg.cut(text)
        stop = time.perf_counter()
    finally:
        done.set()
        worker.join()
        sys.setswitchinterval(old_interval)
    assert len(words) == 100_000 * 10
    middle = (start + (stop - start) / 4, stop - (stop - start) / 4)
    assert stop - start > 0.05
    assert sum(middle[0] < t < middle[1] for t in stamps) > 100


def test_segmented_documents_feed_bm25(seg):
    documents = ["我爱北京天安门", "北京小明的中华人民共和国", "abc12 的了"]
    tokens = [None] * len(documents)

    def work(k):
        tokens[k] = seg.cut_for_search(documents[k]) + seg.cut(documents[k])

    threads = [threading.Thread(target=work, args=(k,)) for k in range(len(documents))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    bm25 = pynorvane.BM25()
    for words in tokens:
        bm25.train(words)
    query = bm25.encode_query(seg.cut_for_search("天安门"))
    scores = [
        sum(w * bm25.encode_document(t).get(k, 0.0) for k, w in query.items()) for t in tokens
    ]
    assert scores[0] > 0 and scores[1] == 0 and scores[2] == 0
