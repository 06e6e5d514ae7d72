"""The toolkit's one rule for letters and digits (csrc/norvane/char_class.h)
against the interpreter's Unicode database, code point by code point, and
the tokenizer's keywords against the rule."""

import random
import unicodedata

import pytest

norvane = pytest.importorskip("norvane")
from norvane import _core  # noqa: E402


@pytest.fixture(scope="module")
def word_chars():
    flags = _core._word_characters()
    assert len(flags) == 0x110000
    return flags


def ranges(*pairs):
    return {c for first, last in pairs for c in range(first, last + 1)}


# Blocks where the rule means to follow the categories (L* and N* are word
# characters), and the numbers and marks it counts as symbols there.
AGREEING = {
    "Latin-1": ((0x0000, 0x00FF), ranges((0x00BC, 0x00BE))),
    "general punctuation": ((0x2000, 0x206F), set()),
    "currency": ((0x20A0, 0x20CF), set()),
    "arrows to symbols": ((0x2190, 0x2BFF),
                          ranges((0x2460, 0x249B), (0x24EA, 0x24FF), (0x2776, 0x2793))),
    "CJK punctuation": ((0x3000, 0x303F),
                        ranges((0x3021, 0x3029), (0x3031, 0x3035), (0x3038, 0x303C))),
    "CJK ideographs": ((0x4E00, 0x9FFF), set()),
    "full-width forms": ((0xFF00, 0xFF65), set()),
}

# Blocks taken whole as symbols, and characters whose category is beside
# the point outside the agreeing blocks.
SYMBOL_BLOCKS = ranges((0xE000, 0xF8FF), (0xFE10, 0xFE6F), (0xFFF0, 0xFFFF), (0x1F000, 0x1FAFF))


@pytest.mark.parametrize("block", sorted(AGREEING))
def test_rule_follows_unicode_categories_in_its_blocks(word_chars, block):
    (first, last), exceptions = AGREEING[block]
    differ = {c for c in range(first, last + 1)
              if bool(word_chars[c]) != (unicodedata.category(chr(c))[0] in "LN")}
    assert differ == exceptions, sorted("U+%04X" % c for c in differ ^ exceptions)[:20]


def test_symbol_blocks_and_everything_else(word_chars):
    agreeing = set().union(*(ranges(span) for span, _ in AGREEING.values()))
    for c in range(0x110000):
        if c in agreeing:
            continue
        assert bool(word_chars[c]) == (c not in SYMBOL_BLOCKS), "U+%04X" % c


def test_keywords_leave_out_words_without_a_word_character(word_chars):
    # Boundaries of every block above, and random code points.
    rng = random.Random(3)
    edges = {c + d for first, last in [span for span, _ in AGREEING.values()]
             + [(0xE000, 0xF8FF), (0xFE10, 0xFE6F), (0xFFF0, 0xFFFF), (0x1F000, 0x1FAFF)]
             for c in (first, last) for d in (-1, 0, 1)}
    points = sorted(edges | {rng.randrange(0xA0, 0x30000) for _ in range(300)})
    chars = [chr(c) for c in points if 0 <= c < 0x110000
             and unicodedata.category(chr(c)) not in ("Cc", "Cs", "Zs", "Zl", "Zp")
             and not chr(c).isspace()]
    words = [ch * 2 for ch in chars]
    tokenizer = norvane.Tokenizer().with_words(words)
    text = " ".join(words)
    cut = {w for w in tokenizer.cut(text) if len(w) == 2 and w[0] == w[1]}
    assert len(cut) > len(words) // 2  # most stay whole words
    found = {w for w, _ in tokenizer.keywords(text, top_k=10 ** 6)}
    assert found == {w for w in cut if word_chars[ord(w[0])]}
