"""Writes tests/data/golden.json: varied sentences with their `cut` and
`cut_for_search` words on the bundled default data.

    python tools/make_golden.py

The file is generated, never edited by hand: tests/test_golden.py fails on
any difference, so a change that alters a single word shows up. Regenerate
it only for a change that is meant to alter results (new data, a fixed
fault), and say so in the commit.
"""

import json
import os
import random
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

import norvane  # noqa: E402
import pynorvane  # noqa: E402
from bench_segmenter import make_text, read_dictionary  # noqa: E402

OUTPUT = os.path.join(ROOT, "tests", "data", "golden.json")
SEED = 7

# Shapes the generated text has few of: separators alone or in runs, other
# scripts, full-width forms, emoji, control characters, long unbroken runs.
SPECIAL = [
    "",
    " ",
    "，。",
    "  \t\n",
    "\r\n",
    "abc",
    "Hello World 2024",
    "3.1415926",
    "１２３ＡＢＣ",
    "iPhone15Pro 售价 7999元",
    "C++17和Python3.8",
    "https://example.com/a?b=1",
    "😀👍🏽 表情",
    "にほんご 日本語",
    "한국어 문장",
    "Ελληνικά кириллица",
    "\u3000全角空格\u3000",
    "〔注〕「引号」『书名』【标题】",
    "𠀀𠀁𪚥 扩展字",
    "\x00\x01控制",
]


def sentences(rng):
    words = read_dictionary(norvane.default_paths()["dict_path"])
    lines, _ = make_text(words, 0.05, rng)
    out = list(SPECIAL)
    for line in lines[:150]:
        # Whole lines, and cut at a random point (unbalanced, mid-word).
        out.append(line)
        out.append(line[: rng.randint(1, len(line))])
    out.append("".join(lines[150:190]).replace("，", "").replace("。", ""))
    return out


def main():
    segmenter = pynorvane.Segmenter(**norvane.default_paths())
    cases = [
        {"sentence": s, "cut": segmenter.cut(s), "cut_for_search": segmenter.cut_for_search(s)}
        for s in sentences(random.Random(SEED))
    ]
    os.makedirs(os.path.dirname(OUTPUT), exist_ok=True)
    with open(OUTPUT, "w", encoding="utf-8") as out:
        # One sentence per line keeps differences readable.
        out.write("[\n" + ",\n".join(json.dumps(case, ensure_ascii=False) for case in cases)
                  + "\n]\n")
    print("wrote %d sentences to %s" % (len(cases), OUTPUT))


if __name__ == "__main__":
    main()
