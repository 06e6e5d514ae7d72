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


class Tokenizer:
    """Chinese word segmenter: the cuts of pynorvane.Segmenter with word
    offsets, batch calls on native threads, part-of-speech tags and TF-IDF
    keywords.

    Tokenizer() uses the bundled data; each of the five paths can be given
    instead (user_dict_path: user dictionaries separated by "|" or ";", or
    "" for none). With traditional=True every traditional character is read
    as its simplified form when words are looked up, and words and offsets
    still come from the original text.

    A data file the loaders refuse raises RuntimeError. A Tokenizer never
    changes after construction: any number of threads may use one. It
    pickles as its paths and settings and is rebuilt when loaded.
    """

    __slots__ = ("_native", "_args", "_traditional")

    def __init__(self, dict_path: PathArg = None, hmm_path: PathArg = None,
                 user_dict_path: PathArg = None, idf_path: PathArg = None,
                 stop_word_path: PathArg = None, *, traditional: bool = False) -> None:
        args = (dict_path, hmm_path, user_dict_path, idf_path, stop_word_path)
        defaults = default_paths() if any(a is None for a in args) else {}
        paths = [os.fspath(a) if a is not None else defaults[name]
                 for name, a in zip(_ARG_NAMES, args)]
        self._args = args
        self._traditional = bool(traditional)
        self._native = _core.Tokenizer(paths[0], paths[1], paths[2], paths[3], paths[4],
                                       self._traditional)

    def __reduce__(self) -> Tuple[Any, ...]:
        # Paths left to the defaults stay None, so the receiving process
        # uses its own bundled data.
        return (_rebuild, (self._args, self._traditional))

    def __repr__(self) -> str:
        given = ", ".join("%s=%r" % (name, a) for name, a in zip(_ARG_NAMES, self._args)
                          if a is not None)
        return "Tokenizer(%s)" % ", ".join(
            filter(None, [given, "traditional=True" if self._traditional else ""]))

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


def _rebuild(args: Tuple[Optional[PathArg], ...], traditional: bool) -> Tokenizer:
    return Tokenizer(*args, traditional=traditional)
