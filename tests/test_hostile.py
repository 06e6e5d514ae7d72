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


def test_missing_file(files, tmp_path):
    files["idf_path"] = str(tmp_path / "missing.txt")
    with pytest.raises(RuntimeError, match=r"exp: \[ifs.is_open\(\)\] false. open .*missing.txt failed"):
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
