"""norvane.Tokenizer: pynorvane's segmenter with offsets, batches, tags,
keywords and traditional-character input."""

import operator
import os
import sys
from typing import TYPE_CHECKING, Any, Iterable, List, Optional, Tuple, Union

from norvane import _core
from norvane._data import default_paths

if TYPE_CHECKING:
    PathArg = Union[str, os.PathLike[str], None]
else:  # os.PathLike takes no type argument at run time before 3.9
    PathArg = Union[str, os.PathLike, None]
Span = Tuple[str, int, int]
# A run-time word: "word", (word, tag) or (word, frequency, tag).
Word = Union[str, Tuple[str, str], Tuple[str, int, str]]
MAX_WORD_CHARACTERS = 512  # the longest word the dictionary holds

_MODES = {"accurate": False, "search": True}
_ARG_NAMES = ("dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path")


def _search(mode: str) -> bool:
    try:
        return _MODES[mode]
    except (KeyError, TypeError):
        raise ValueError("mode must be 'accurate' or 'search', not %r" % (mode,)) from None


def _count(value: int, name: str) -> int:
    value = operator.index(value)
    if value < 0:
        raise ValueError("%s must be 0 or more, not %d" % (name, value))
    return value


def _threads(threads: int) -> int:
    # More threads than texts are never started; the cap only keeps a huge
    # count inside the native integer type.
    return min(_count(threads, "threads"), 4096)


def _texts(texts: Iterable[str]) -> Iterable[str]:
    # A str is an iterable of str too; cutting its characters one by one is
    # never what was meant.
    if isinstance(texts, (str, bytes)):
        raise TypeError("texts must be an iterable of str, not a single %s"
                        % type(texts).__name__)
    return texts


def _field(value: Any, what: str, where: str) -> str:
    if not isinstance(value, str):
        raise TypeError("%s: the %s must be str, not %s" % (where, what, type(value).__name__))
    if not value or value != "".join(value.split()):
        raise ValueError("%s: the %s must be non-empty and without spaces: %r"
                         % (where, what, value))
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        raise ValueError("%s: the %s cannot be encoded as UTF-8 (lone surrogate)"
                         % (where, what)) from None
    return value


def word_lines(words: Iterable[Word]) -> List[str]:
    """User-dictionary lines of run-time words, checked: ValueError or
    TypeError names the first bad one."""
    if isinstance(words, (str, bytes)):
        raise TypeError("words must be a list, not a single %s" % type(words).__name__)
    lines = []
    for i, word in enumerate(words):
        where = "words[%d]" % i
        if isinstance(word, str):
            fields = [_field(word, "word", where)]
        elif isinstance(word, tuple) and len(word) == 2:
            fields = [_field(word[0], "word", where), _field(word[1], "tag", where)]
        elif isinstance(word, tuple) and len(word) == 3:
            frequency = word[1]
            if not isinstance(frequency, int) or isinstance(frequency, bool) or frequency < 1:
                raise ValueError("%s: the frequency must be an int of at least 1, not %r"
                                 % (where, frequency))
            fields = [_field(word[0], "word", where), str(frequency),
                      _field(word[2], "tag", where)]
        else:
            raise TypeError("%s must be a str, (word, tag) or (word, frequency, tag), not %r"
                            % (where, word))
        if len(fields[0]) > MAX_WORD_CHARACTERS:
            raise ValueError("%s: a word holds at most %d characters"
                             % (where, MAX_WORD_CHARACTERS))
        lines.append(" ".join(fields))
    return lines


def words_of_lines(lines: Iterable[str]) -> List[Word]:
    """The run-time words that word_lines turned into these lines."""
    words: List[Word] = []
    for line in lines:
        fields = line.split(" ")
        if len(fields) == 3:
            words.append((fields[0], int(fields[1]), fields[2]))
        elif len(fields) == 2:
            words.append((fields[0], fields[1]))
        else:
            words.append(fields[0])
    return words


class Tokenizer:
    """Chinese word segmenter: the cuts of pynorvane.Segmenter with word
    offsets, batch calls on native threads, part-of-speech tags and TF-IDF
    keywords.

    Tokenizer() uses the bundled data; each of the five paths can be given
    instead (user_dict_path: user dictionaries separated by "|" or ";", or
    "" for none). With traditional=True every traditional character is read
    as its simplified form when words are looked up, and words and offsets
    still come from the original text.

    words adds words of your domain at run time, after those of the files,
    as a user dictionary would: each a str, a (word, tag) pair or a (word,
    frequency, tag) triple; with_words() gives a tokenizer with more of them
    without reading the files again.

    A data file the loaders refuse raises RuntimeError. A Tokenizer never
    changes after construction: any number of threads may use one. It
    pickles as its paths, settings and words and is rebuilt when loaded.
    """

    __slots__ = ("_native", "_args", "_traditional")

    def __init__(self, dict_path: PathArg = None, hmm_path: PathArg = None,
                 user_dict_path: PathArg = None, idf_path: PathArg = None,
                 stop_word_path: PathArg = None, *, traditional: bool = False,
                 words: Iterable[Word] = ()) -> None:
        args = (dict_path, hmm_path, user_dict_path, idf_path, stop_word_path)
        lines = word_lines(words)
        defaults = default_paths() if any(a is None for a in args) else {}
        paths = [os.fspath(a) if a is not None else defaults[name]
                 for name, a in zip(_ARG_NAMES, args)]
        self._args = args
        self._traditional = bool(traditional)
        self._native = _core.Tokenizer(paths[0], paths[1], paths[2], paths[3], paths[4],
                                       self._traditional, lines)

    def with_words(self, words: Iterable[Word]) -> "Tokenizer":
        """A tokenizer that cuts as this one with more words (see words in
        the class documentation). The data files are not read again: the
        dictionary is copied with the words added. This one is unchanged."""
        made = Tokenizer.__new__(Tokenizer)
        made._args = self._args
        made._traditional = self._traditional
        made._native = self._native.with_words(word_lines(words))
        return made

    @property
    def words(self) -> List[str]:
        """The run-time words, as the user-dictionary lines they became."""
        return list(self._native.words)

    def __reduce__(self) -> Tuple[Any, ...]:
        # Paths left to the defaults stay None, so the receiving process
        # uses its own bundled data.
        return (_rebuild, (self._args, self._traditional, tuple(self.words)))

    def __repr__(self) -> str:
        given = ", ".join("%s=%r" % (name, a) for name, a in zip(_ARG_NAMES, self._args)
                          if a is not None)
        words = self._native.words
        return "Tokenizer(%s)" % ", ".join(
            filter(None, [given, "traditional=True" if self._traditional else "",
                          "words=[%d words]" % len(words) if words else ""]))

    @property
    def traditional(self) -> bool:
        """Whether traditional characters are simplified for lookup."""
        return self._traditional

    @property
    def paths(self) -> Tuple[str, str, str, str, str]:
        """The five data file paths in use, in constructor order."""
        return self._native.paths

    def cut(self, text: str, mode: str = "accurate") -> List[str]:
        """The words of text, in order.

        mode="accurate" cuts each word once; mode="search" also puts the two-
        and three-character dictionary words inside a longer word before it.
        The result equals pynorvane.Segmenter.cut (accurate) or cut_for_search
        (search) on the same data.
        """
        return self._native.cut(text, _search(mode), False)

    def tokenize(self, text: str, mode: str = "accurate") -> List[Span]:
        """(word, start, end) of every word of cut(text, mode), with
        text[start:end] == word. A search-mode sub-word has its own span,
        inside the span of the word that follows it."""
        return self._native.cut(text, _search(mode), True)

    def cut_batch(self, texts: Iterable[str], mode: str = "accurate",
                  threads: int = 0) -> List[List[str]]:
        """cut(text, mode) of every text, cut on up to `threads` native
        threads (0: one per core) without the interpreter lock.

        A text that is not a str raises TypeError naming its index.
        """
        return self._native.cut_batch(_texts(texts), _search(mode), _threads(threads),
                                      False)

    def tokenize_batch(self, texts: Iterable[str], mode: str = "accurate",
                       threads: int = 0) -> List[List[Span]]:
        """tokenize(text, mode) of every text, on native threads like
        cut_batch."""
        return self._native.cut_batch(_texts(texts), _search(mode), _threads(threads),
                                      True)

    def tag(self, text: str) -> List[Tuple[str, str]]:
        """(word, part-of-speech tag) of every word of the accurate cut.

        A word's tag is its dictionary tag; a word without one gets "m" when
        it starts with ASCII digits, "eng" when it starts with other ASCII
        characters, and "x" otherwise (and when it is one character).
        """
        return self._native.tag(text)

    def keywords(self, text: str, top_k: int = 20) -> List[Tuple[str, float]]:
        """The top_k words of text by TF-IDF, best first: (word, score).

        Score: the word's share of the counted words times its value in the
        IDF table (the table's mean for a word it lacks). Words of one
        character, stop words and punctuation are not counted. Ties keep
        text order.
        """
        return self._native.keywords(text, min(_count(top_k, "top_k"), sys.maxsize))


def _rebuild(args: Tuple[Optional[PathArg], ...], traditional: bool,
             words: Iterable[str] = ()) -> Tokenizer:
    return Tokenizer(*args, traditional=traditional, words=words_of_lines(words))
