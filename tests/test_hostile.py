"""Hostile inputs from Python: each gives a result or a clear exception, never
a crash. The README's "Robustness" table lists the same cases."""
import random

import pytest

import pynorvane

MIN = "-3.14e100"
HMM = [f"-0.6 {MIN} {MIN} -0.8", f"{MIN} -0.5 -0.9 {MIN}", f"-0.7 {MIN} {MIN} -0.7",
       f"{MIN} -0.6 -0.8 {MIN}", f"-0.7 {MIN} {MIN} -0.7",
       "小:-1.0,王:-1.0", "明:-1.0", "晓:-1.0", "的:-0.5"]
DICT = ["中国 10 ns", "中 30 zg", "北京 20 ns", "大学 15 n", "人民 12 n"]
SENTENCE = "小明的中国北京大学人民"
EXPECTED = ["小明", "的", "中国", "北京", "大学", "人民"]


def write(path, data):
    path.write_bytes(data if isinstance(data, bytes) else data.encode("utf-8"))
    return str(path)


@pytest.fixture
def files(tmp_path):
    return {
        "dict_path": write(tmp_path / "dict.txt", "\n".join(DICT) + "\n"),
        "hmm_path": write(tmp_path / "hmm.txt", "\n".join(HMM) + "\n"),
        "user_dict_path": "",
        "idf_path": write(tmp_path / "idf.txt", "中国 5.0\n"),
        "stop_word_path": write(tmp_path / "stop.txt", "的\n"),
    }


@pytest.fixture
def seg(files):
    return pynorvane.Segmenter(**files)


@pytest.mark.parametrize("sentence, words", [
    (b"\xff\xfeabc", []),                        # not decodable: no words
    ("中国".encode() + b"\xe4\xb8", []),         # cut off at the end
    ("", []),
    ("中国\x00人民", ["中国", "\x00", "人民"]),   # NUL is a character like any other
    ("中国\r\n人民", ["中国", "\r", "\n", "人民"]),
    ("\ufeff中国", ["\ufeff", "中国"]),
    (SENTENCE.encode(), EXPECTED),               # bytes are taken as UTF-8
])
def test_hostile_sentences(seg, sentence, words):
    assert seg.cut(sentence) == words
    assert seg.cut_for_search(sentence) == words


@pytest.mark.parametrize("sentence, error", [
    (b"\xc0\x80abc", UnicodeDecodeError),        # decodes leniently, but a word is not UTF-8
    ("\ud800".encode("utf-8", "surrogatepass"), UnicodeDecodeError),
    ("中\ud800国", TypeError),                    # a lone surrogate has no UTF-8 form
    (None, TypeError),
])
def test_sentences_that_raise(seg, sentence, error):
    with pytest.raises(error):
        seg.cut(sentence)
    with pytest.raises(error):
        seg.cut_for_search(sentence)


def test_long_sentence_without_separators(seg):
    sentence = SENTENCE * 20000  # 660 KB, one run for the dictionary cut
    assert seg.cut(sentence) == EXPECTED * 20000
    assert "".join(seg.cut_for_search(sentence)) == sentence


@pytest.mark.parametrize("slot", ["dict_path", "hmm_path", "user_dict_path", "idf_path",
                                  "stop_word_path"])
def test_directory_as_data_file(files, tmp_path, slot):
    files[slot] = str(tmp_path)
    with pytest.raises(RuntimeError, match=f"open {tmp_path} failed"):
        pynorvane.Segmenter(**files)


@pytest.mark.parametrize("slot", ["dict_path", "hmm_path", "idf_path", "stop_word_path"])
def test_path_with_nul_opens_nothing(files, slot):
    # Cut at the NUL, the path would name the valid file.
    files[slot] += "\x00.other"
    with pytest.raises(RuntimeError, match="is_open"):
        pynorvane.Segmenter(**files)


def test_binary_garbage_line_is_reported_readably(files, tmp_path):
    files["dict_path"] = write(tmp_path / "bin.txt", b"\xff\xfe\x00\x01 garbage\n")
    with pytest.raises(RuntimeError, match=r"split result illegal, line:\\xff\\xfe"):
        pynorvane.Segmenter(**files)


@pytest.mark.parametrize("slot, content", [
    ("dict_path", "\r\n".join(DICT) + "\r\n"),
    ("hmm_path", "\r\n".join(HMM) + "\r\n"),
    ("idf_path", "中国 5.0\r\n北京 2\r\n"),
    ("stop_word_path", "的\r\n"),
    ("dict_path", "\ufeff" + "\n".join(DICT)),            # byte order mark, no final LF
    ("hmm_path", "\ufeff# model\n" + "\n".join(HMM)),
    ("user_dict_path", "\ufeff小明 nr\r\n"),
    ("dict_path", "\n".join(DICT) + "\n中国人 1e400 n\n国人 99999999999999999999 n"),
    ("dict_path", "\n".join(DICT) + "\n中国人 nan n\n国人 inf n\n京大 -inf n\n"),
    ("user_dict_path", "小明 99999999999999999999999 nr\n明的 -5 x\n"),
    ("idf_path", bytes(random.Random(7).getrandbits(8) for _ in range(2000))),
    ("stop_word_path", bytes(range(256))),
])
def test_files_that_still_load(files, tmp_path, slot, content):
    files[slot] = write(tmp_path / "variant.txt", content)
    assert pynorvane.Segmenter(**files).cut(SENTENCE) == EXPECTED


@pytest.mark.parametrize("slot, content, record", [
    ("dict_path", "\n".join(DICT) + "\n北京 2", "split result illegal, line:北京 2"),
    ("dict_path", "", r"!static_node_infos_.empty()"),
    ("dict_path", bytes(range(256)), "split result illegal"),
    ("hmm_path", "\n".join(HMM[:7]), "GetLine(ifile, line)"),
    ("hmm_path", bytes(range(256)), "tmp.size() == STATUS_SUM"),
    ("hmm_path", "\n".join(HMM[:5] + ["小小:-1.0"] + HMM[6:]), "LoadEmitProb(line, emitProbB)"),
])
def test_files_that_are_rejected(files, tmp_path, slot, content, record):
    files[slot] = write(tmp_path / "variant.txt", content)
    with pytest.raises(RuntimeError) as info:
        pynorvane.Segmenter(**files)
    assert record in str(info.value)


def loaded_model(doc_count, counts, average="1.0"):
    model = pynorvane.BM25()
    frequency = ", ".join(f'"{token}" : {count}' for token, count in counts.items())
    model.load(f'{{"_b" : 0.75, "_doc_count" : {doc_count}, "_doc_length_average" : {average}, '
               f'"_doc_token_frequency" : {{{frequency}}}, "_k1" : 1.2}}')
    return model


@pytest.mark.parametrize("doc_count, counts, document", [
    (2147483647, {"a": 1, "z": 0}, ["b"]),             # one more document
    (5, {"a": 1, "z": 2147483647}, ["a", "new", "z"]),  # one more of z, after a and new
    (5, {"7": 2147483647, "z": 2147483647}, [7]),      # integer tokens share the count
])
def test_training_past_the_count_range_is_refused(tmp_path, doc_count, counts, document):
    model = loaded_model(doc_count, counts)
    model.dump(str(tmp_path / "before.json"))
    with pytest.raises(OverflowError, match="BM25 statistics would overflow"):
        model.train(document)
    # Whatever order the tokens are counted in, none of them stays.
    with pytest.raises(OverflowError):
        model.train([f"n{i}" for i in range(300)] + ["z", "a"] * 2)
    model.dump(str(tmp_path / "after.json"))
    assert (tmp_path / "after.json").read_text() == (tmp_path / "before.json").read_text()
    if doc_count < 2147483647:
        model.train(["fresh"])  # a document that fits is still taken


def test_training_up_to_the_count_range_works():
    model = loaded_model(2147483646, {"a": 2147483646})
    model.train(["a"])  # both counts reach the top of the range
    with pytest.raises(OverflowError):
        model.train(["c"])
    with pytest.raises(OverflowError):
        loaded_model(5, {"a": 2147483647}).train(["a"])


def test_dump_path_with_nul_writes_nothing(tmp_path):
    model = pynorvane.BM25()
    model.train(["a"])
    with pytest.raises(RuntimeError, match="Failed to dump: Unable to open file"):
        model.dump(str(tmp_path / "model.json") + "\x00.other")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("text, error, match", [
    ("[" * 100000, RuntimeError, "load doc_count failed"),          # deep nesting
    ('{"a" : ' * 100000, RuntimeError, "load doc_count failed"),
    ('{"_doc_count" : 99999999999999999999}', IndexError, "stol"),  # past 64 bits
    ('{"_doc_count" : 4294967297}', RuntimeError, "load doc_count failed"),  # past 32 bits
    ('{"_b" : 1' + "0" * 400 + '.0}', IndexError, "stod"),
    ('{"_b" : 0.5, "_k1" : 1.0, "_doc_count" : 1, "_doc_length_average" : 1e999}',
     RuntimeError, "load doc_length_average failed"),
    ("[-]", ValueError, "stol"),
    ("\x00\x01\x02garbage", RuntimeError, "load doc_count failed"),
])
def test_hostile_model_text(text, error, match):
    model = pynorvane.BM25()
    model.train(["a", "b"])
    before = model.encode_query(["a", "b", "c"])
    with pytest.raises(error, match=match):
        model.load(text)
    assert model.encode_query(["a", "b", "c"]) == before
