import math
import os
import sys

import pytest

import norvane

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import build_default_data as build  # noqa: E402
import eval_segmentation as evaluation  # noqa: E402


@pytest.mark.parametrize(
    "gold, predicted, correct, oov, oov_correct",
    [
        (["我们", "去", "公园"], ["我们", "去", "公园"], 3, 1, 1),
        (["我们", "去", "公园"], ["我", "们去", "公园"], 1, 1, 1),
        # the same words at another position do not count
        (["去", "去去"], ["去去", "去"], 0, 1, 0),
        # spaces in the raw text are no words and shift no span
        (["A区", "好"], ["A", " ", "区", "好"], 1, 0, 0),
    ],
)
def test_span_scoring(gold, predicted, correct, oov, oov_correct):
    counts = evaluation.score_sentence(gold, predicted, vocabulary={"我们", "去", "A区", "好"})
    assert (counts.correct, counts.gold_oov, counts.correct_oov) == (correct, oov, oov_correct)
    assert counts.predicted == len([w for w in predicted if w.strip()])


SOURCE = (
    "中国\tns\t10\tn\t30\n"
    "好\ta\t5\td\t5\n"
    "始##始\tbegin\t1000\n"
    "1月 t 1000\n"
    "\ufeff国\tn\t2\n"
    "国\tn\t1\tq\t1\n"
    "人民\tn\t4\n"
    "人民币\tn\t2\n"
    "零\tm\t0\n"
    "坏行\tn\tx\n"
)


@pytest.fixture
def built(tmp_path):
    source = tmp_path / "hanlp"
    source.mkdir()
    (source / "CoreNatureDictionary.txt").write_text(SOURCE, encoding="utf-8")
    (source / "stopwords.txt").write_text("的\r\n\n了\n的\n  \nabout\n", encoding="utf-8")
    out = tmp_path / "data"
    report = build.build(str(source), str(out), log=lambda line: None)
    return out, report


def read(folder, name):
    return (folder / name).read_text(encoding="utf-8")


def test_dictionary_rows_and_report(built):
    out, report = built
    lines = read(out, build.DICT_FILE).splitlines()
    # 零 is in the source, if without frequency, so it is not added either
    numerals = [f"{ch} {build.NUMERAL_FREQ} m" for ch in build.NUMERALS if ch != "零"]
    numerals += [f"{word} {build.NUMERAL_WORD_FREQ} m" for word in build.numeral_words()]
    expected = sorted(["中国 40 n", "好 10 a", "国 4 n", "人民 4 n", "人民币 2 n"] + numerals)
    assert lines == expected
    assert {"十一", "九十九", "两千", "千万"} <= {line.split(" ")[0] for line in lines}
    assert (report.whitespace_words, report.placeholders, report.malformed,
            report.merged, report.no_frequency) == (1, 1, 1, 1, 1)
    assert all(len(line.split(" ")) == 3 for line in lines)


def test_output_is_reproducible(built, tmp_path):
    out, _ = built
    again = tmp_path / "again"
    build.build(str(tmp_path / "hanlp"), str(again), log=lambda line: None)
    for name in os.listdir(out):
        assert (out / name).read_bytes() == (again / name).read_bytes(), name


def test_stop_words_notice_and_idf(built):
    out, _ = built
    assert read(out, build.STOP_WORDS_FILE) == "的\n了\nabout\n"
    assert "Contains data derived from HanLP (https://github.com/hankcs/HanLP), Apache License 2.0." \
        in read(out, build.NOTICE_FILE)
    idf = dict(line.split(" ") for line in read(out, build.IDF_FILE).splitlines())
    total = (40 + 10 + 4 + 4 + 2 + build.NUMERAL_FREQ * (len(build.NUMERALS) - 1)
             + build.NUMERAL_WORD_FREQ * len(build.numeral_words()))
    share = 4 / total * build.ASSUMED_DOC_LENGTH
    assert float(idf["人民"]) == pytest.approx(-math.log(1 - math.exp(-share)), abs=1e-6)
    assert float(idf["中国"]) < float(idf["人民"])


def parse_hmm(text):
    lines = [line.strip() for line in text.splitlines()]
    content = [line for line in lines if line and not line.startswith("#")]
    start = [float(v) for v in content[0].split(" ")]
    trans = [[float(v) for v in row.split(" ")] for row in content[1:5]]
    emit = [dict((k, float(v)) for k, v in (e.split(":") for e in row.split(","))) for row in content[5:9]]
    return start, trans, emit


def test_hmm_file_is_a_proper_model(built):
    out, _ = built
    start, trans, emit = parse_hmm(read(out, build.HMM_FILE))
    impossible = float(build.IMPOSSIBLE)

    def total(logs):
        return sum(math.exp(v) for v in logs if v > impossible)

    assert len(start) == 4 and all(len(row) == 4 for row in trans)
    assert start[1] == start[2] == impossible  # a word never starts inside
    assert total(start) == pytest.approx(1.0)
    for row in trans:
        assert total(row) == pytest.approx(1.0)
    assert trans[0][0] == trans[0][3] == trans[3][1] == trans[3][2] == impossible
    for table in emit:
        assert total(table.values()) == pytest.approx(1.0)
        assert all(ord(ch) >= 0x80 for ch in table)
    # 好 is seen only alone, 人 only at the start of words
    assert emit[3]["好"] - emit[0]["好"] > emit[3]["人"] - emit[0]["人"]


def test_default_paths_name_bundled_files():
    paths = norvane.default_paths()
    assert paths.pop("user_dict_path") == ""
    assert sorted(paths) == ["dict_path", "hmm_path", "idf_path", "stop_word_path"]
    assert all(os.path.getsize(path) > 0 for path in paths.values())
    assert os.path.isfile(os.path.join(norvane.data_dir(), "NOTICE"))
