"""The bundled data and the tool that builds it, run as a program."""

import math
import os
import subprocess
import sys

import pytest

import norvane

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def run(script, *args):
    return subprocess.run([sys.executable, os.path.join(ROOT, script), *args], check=True,
                          capture_output=True, text=True).stdout


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
    log = run("tools/build_default_data.py", str(source), "--out", str(out))
    return out, log


def read(folder, name):
    return (folder / name).read_text(encoding="utf-8")


def test_files_report_and_reproducibility(built, tmp_path):
    out, log = built
    rows = [line.split(" ") for line in read(out, "main_dict.txt").splitlines()]
    assert all(len(row) == 3 for row in rows) and rows == sorted(rows)
    freq = {word: int(f) for word, f, _ in rows}
    words = {row[0]: row for row in rows}
    for line in ["中国 40 n", "好 10 a", "国 4 n", "人民 4 n", "人民币 2 n"]:
        assert words.pop(line.split(" ")[0]) == line.split(" ")
    # the rest are the added numerals; 零 is in the source, if without
    # frequency, so it is not added either
    assert {"十一", "九十九", "两千", "千万"} <= set(words) and "零" not in words
    assert all(row[2] == "m" for row in words.values())
    for reason in ["white space or control characters", "placeholder entries",
                   "malformed lines", "merged into an earlier entry", "no positive frequency"]:
        assert f"{reason}: 1" in log
    idf = [(freq[word], float(value))
           for word, value in (line.split(" ") for line in read(out, "idf.txt").splitlines())]
    # the rarer the word, the higher its IDF
    values = [value for _, value in sorted(idf)]
    assert values == sorted(values, reverse=True) and values[-1] >= 0 and values[0] > 5
    assert read(out, "stop_words.txt") == "的\n了\nabout\n"
    # A rebuild keeps every attribution, the character table's too.
    with open(os.path.join(ROOT, "data", "NOTICE"), encoding="utf-8") as shipped:
        assert read(out, "NOTICE") == shipped.read()
    again = tmp_path / "again"
    run("tools/build_default_data.py", str(tmp_path / "hanlp"), "--out", str(again))
    for name in os.listdir(out):
        assert (out / name).read_bytes() == (again / name).read_bytes(), name


def parse_hmm(text):
    lines = [line.strip() for line in text.splitlines()]
    content = [line for line in lines if line and not line.startswith("#")]
    start = [float(v) for v in content[0].split(" ")]
    trans = [[float(v) for v in row.split(" ")] for row in content[1:5]]
    emit = [dict((k, float(v)) for k, v in (e.split(":") for e in row.split(","))) for row in content[5:9]]
    return start, trans, emit


def test_hmm_file_is_a_proper_model(built):
    out, _ = built
    start, trans, emit = parse_hmm(read(out, "hmm_model.txt"))
    impossible = -3.14e100

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
    # The golden test loads them all; an empty IDF table or stop list would still load.
    paths = norvane.default_paths()
    assert paths["user_dict_path"] == ""
    assert os.path.getsize(paths["idf_path"]) > 0 and os.path.getsize(paths["stop_word_path"]) > 0
    assert os.path.isfile(os.path.join(norvane.data_dir(), "NOTICE"))
