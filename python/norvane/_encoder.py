"""norvane.SparseEncoder: Chinese text in, BM25 sparse vectors out."""

import importlib
import json
import mmap
import operator
import os
import re
import stat
from types import ModuleType
from typing import Any, Callable, Dict, List, Optional, Sequence, Union

from norvane import _core
from norvane._tokenizer import Tokenizer, words_of_lines

Texts = Sequence[Union[str, Sequence[str]]]
PathArg = Union[str, "os.PathLike[str]"]

_OUTPUTS = ("dict", "ids", "csr")
# Column count of "csr" output: a column per unsigned 32-bit id.
ID_SPACE = 1 << 32
# The largest file load reads: a vocabulary of tens of millions of tokens,
# while a bound on what a stray path can make it allocate.
MAX_FILE_BYTES = 2 << 30

# The analyses of str texts an encoder offers, the default first.
ANALYSES = tuple(_core.ANALYSES)

# The analysis a model file names: a string member (counts are numbers).
_SAVED_ANALYSIS = re.compile(r'"_analysis"\s*:\s*("(?:[^"\\]|\\.)*")')
_SAVED_ANALYSIS_BYTES = re.compile(_SAVED_ANALYSIS.pattern.encode())


def _saved_name(model_text: Union[str, bytes, mmap.mmap]) -> Optional[str]:
    """The whole analysis name the statistics in model_text (str, or its
    UTF-8 in a bytes-like object) give; None when they name none or it does
    not decode."""
    found: Optional["re.Match[Any]"] = (
        _SAVED_ANALYSIS.search(model_text) if isinstance(model_text, str)
        else _SAVED_ANALYSIS_BYTES.search(model_text))
    if found is None:
        return None
    try:
        name = json.loads(found.group(1))
    except ValueError:
        return None
    return name if isinstance(name, str) else None


def _saved_analysis(model_text: Union[str, bytes, mmap.mmap]) -> str:
    """The analysis of the statistics in model_text, the default when it
    names none, one unknown here or one that does not decode (restore then
    refuses it by name)."""
    name = _saved_name(model_text)
    analysis = ANALYSES[0] if name is None else name.split(";")[0]
    return analysis if analysis in ANALYSES else ANALYSES[0]


def _saved_tokenizer(model_text: Union[str, bytes, mmap.mmap]) -> Optional[Tokenizer]:
    """A tokenizer of the bundled data with the run-time words and setting
    the saved analysis names; None when it names no words (the default
    tokenizer serves, or restore refuses it by name)."""
    name = _saved_name(model_text)
    if name is None or ";words=" not in name:
        return None
    settings, words = name.split(";words=", 1)
    return Tokenizer(traditional=";traditional" in settings.split(";"),
                     words=words_of_lines(words.split("\n")[:-1]))


def _threads(value: int) -> int:
    value = operator.index(value)
    if value < 0:
        raise ValueError("threads must be 0 (one per core) or more, not %d" % value)
    return min(value, 1 << 16)  # the native side caps it lower still


def _output(value: str) -> str:
    if value not in _OUTPUTS:
        raise ValueError("output must be 'dict', 'ids' or 'csr', not %r" % (value,))
    return value


def _scipy_sparse() -> ModuleType:
    try:
        return importlib.import_module("scipy.sparse")
    except ImportError:
        raise ImportError('output="csr" needs scipy: pip install "pynorvane[sparse]"') from None


class SparseEncoder:
    """BM25 sparse vectors for retrieval, with document frequencies.

    fit() counts, for every token, the documents that hold it; it may be
    called again to add documents. encode_documents() gives each distinct
    token of a text its saturated term frequency tf / (K + tf), with
    K = k1 (1 - b + b len / average len); encode_queries() gives it its
    IDF ln((N + 1) / (df + 0.5)), normalised to sum 1, so a query's dot
    product with a document is a BM25 score.

    A text is either a str, analysed as described in docs/encoder.md, or
    a list of str taken as its tokens. analysis names how a str becomes
    tokens, one of ANALYSES: the default "words+ngrams/2" (folded,
    traditional characters to simplified, dictionary words without stop
    words, plus single letters and adjacent pairs as tokens of their own)
    or the earlier "words+bigrams/1". load() takes the one a file names.

    Output "dict" maps tokens to weights, "ids" maps each token's unsigned
    32-bit MurmurHash3 (x86_32, seed 0, of its UTF-8; the id other sparse
    encoders and vector stores use) to its weight, and "csr" is a
    scipy.sparse.csr_array with a row per text and a column per id.

    tokenizer: a norvane.Tokenizer; None for one with the bundled data.
    k1: None for the analysis's own (0.9 for "words+ngrams/2", whose
    n-grams repeat within a passage; 1.2 for "words+bigrams/1"). Queries
    of str texts under "words+ngrams/2" weigh a word 2.5 times its IDF.
    The work runs on native threads (threads=0: one per core) without the
    interpreter lock. Any number of threads may encode at once; fit, merge
    and load wait for running encodes and are waited for.
    """

    __slots__ = ("_tokenizer", "_default_tokenizer", "_native", "__weakref__")

    def __init__(self, tokenizer: Optional[Tokenizer] = None, b: float = 0.75,
                 k1: Optional[float] = None, *, analysis: str = ANALYSES[0]) -> None:
        self._default_tokenizer = tokenizer is None
        if tokenizer is None:
            tokenizer = Tokenizer()
        if not isinstance(tokenizer, Tokenizer):
            raise TypeError("tokenizer must be a norvane.Tokenizer or None, not %s"
                            % type(tokenizer).__name__)
        self._tokenizer = tokenizer
        if not isinstance(analysis, str):
            raise TypeError("analysis must be str, not %s" % type(analysis).__name__)
        if k1 is None:
            k1 = _core.default_k1(analysis)
        self._native = _core.SparseEncoder(tokenizer._native, float(b), float(k1), analysis)

    def fit(self, texts: Texts, *, threads: int = 0) -> "SparseEncoder":
        """Adds the documents of texts to the statistics; returns self.
        Documents without any token are skipped."""
        self._native.fit(texts, _threads(threads))
        return self

    def fit_encode_documents(self, texts: Texts, output: str = "dict", *,
                             threads: int = 0) -> Any:
        """fit(texts), then encode_documents(texts, output), each text cut
        once: the same result in about half the time."""
        output = _output(output)
        sparse = _scipy_sparse() if output == "csr" else None
        return self._result(self._native.fit_encode(texts, output, _threads(threads)), sparse)

    def encode_documents(self, texts: Texts, output: str = "dict", *, threads: int = 0) -> Any:
        """Document vectors of texts: a list of dicts, or a csr_array."""
        return self._encode(texts, False, output, threads)

    def encode_queries(self, texts: Texts, output: str = "dict", *, threads: int = 0) -> Any:
        """Query vectors of texts: a list of dicts, or a csr_array."""
        return self._encode(texts, True, output, threads)

    def _encode(self, texts: Texts, query: bool, output: str,
                threads: int) -> Union[List[Dict[Any, float]], Any]:
        output = _output(output)
        sparse = _scipy_sparse() if output == "csr" else None
        return self._result(self._native.encode(texts, query, output, _threads(threads)), sparse)

    @staticmethod
    def _result(result: Any, sparse: Optional[ModuleType]) -> Any:
        if sparse is None:
            return result
        indptr, indices, data = result
        return sparse.csr_array((data, indices, indptr), shape=(len(indptr) - 1, ID_SPACE))

    def merge(self, other: "SparseEncoder") -> "SparseEncoder":
        """Adds other's statistics to these (shards fitted apart); returns
        self. ValueError when b, k1 or the analysis differ."""
        if not isinstance(other, SparseEncoder):
            raise TypeError("can only merge a SparseEncoder, not %s" % type(other).__name__)
        self._native.merge(other._native)
        return self

    def subtract(self, other: "SparseEncoder") -> "SparseEncoder":
        """Takes other's statistics away from these: the inverse of merge,
        for documents that leave a corpus (fit them into an empty encoder
        and subtract it). Returns self. ValueError, changing nothing, when
        these statistics do not hold other's or b, k1 or the analysis differ."""
        if not isinstance(other, SparseEncoder):
            raise TypeError("can only subtract a SparseEncoder, not %s" % type(other).__name__)
        self._native.subtract(other._native)
        return self

    def save(self, path: PathArg) -> None:
        """Writes the statistics to path, in the model file layout that
        pynorvane.BM25.load also reads. An existing file is replaced only
        once the new one is completely written."""
        try:
            self._native.save(os.fspath(path))
        except RuntimeError as error:
            raise OSError("cannot save to %r: %s" % (os.fspath(path), error)) from None

    @classmethod
    def load(cls, path: PathArg, tokenizer: Optional[Tokenizer] = None) -> "SparseEncoder":
        """An encoder with the statistics saved in path (b, k1 and the
        analysis included). tokenizer must cut as the one of the saved
        encoder did. ValueError names the file and what is wrong with it:
        not a regular file, more than MAX_FILE_BYTES, not one JSON object
        (a UTF-8 byte-order mark ahead of it is fine), or a member out of
        place (see docs/robustness.md)."""
        source = os.fspath(path)
        # Opened without waiting for a writer, so a FIFO is refused, not
        # waited on; the checks apply to what was opened.
        fd = os.open(source, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode):
                raise ValueError("%s is not a regular file: a SparseEncoder file is one"
                                 % source)
            if info.st_size > MAX_FILE_BYTES:
                raise ValueError("%s has %d bytes, more than the %d a SparseEncoder file may have"
                                 % (source, info.st_size, MAX_FILE_BYTES))
            # The analysis is found in place: only the native read copies the file.
            if info.st_size == 0:
                analysis = ANALYSES[0]
            else:
                with mmap.mmap(fd, 0, access=mmap.ACCESS_READ) as view:
                    analysis = _saved_analysis(view)
                    if tokenizer is None:
                        tokenizer = _saved_tokenizer(view)
            return cls._restored(tokenizer, source, analysis, lambda native: native.restore_file(
                fd, source, MAX_FILE_BYTES))
        finally:
            os.close(fd)

    @classmethod
    def _from_text(cls, text: str, tokenizer: Optional[Tokenizer],
                   source: str) -> "SparseEncoder":
        if tokenizer is None:
            tokenizer = _saved_tokenizer(text)
        return cls._restored(tokenizer, source, _saved_analysis(text),
                             lambda native: native.restore(text))

    @classmethod
    def _restored(cls, tokenizer: Optional[Tokenizer], source: str, analysis: str,
                  restore: Callable[[Any], None]) -> "SparseEncoder":
        encoder = cls(tokenizer, analysis=analysis)
        try:
            restore(encoder._native)
        except RuntimeError as error:
            raise ValueError("%s is not a usable SparseEncoder file: %s" % (source, error)
                             ) from None
        return encoder

    def __getstate__(self) -> Dict[str, Any]:
        return {"model": self._native.model_text(),
                "tokenizer": None if self._default_tokenizer else self._tokenizer}

    def __setstate__(self, state: Dict[str, Any]) -> None:
        tokenizer = state["tokenizer"]
        self._default_tokenizer = tokenizer is None
        if tokenizer is None:
            tokenizer = _saved_tokenizer(state["model"]) or Tokenizer()
        self._tokenizer = tokenizer
        self._native = _core.SparseEncoder(self._tokenizer._native, 0.75, 1.2,
                                           _saved_analysis(state["model"]))
        self._native.restore(state["model"])

    @property
    def b(self) -> float:
        """Length normalisation, 0 (none) to 1 (full)."""
        return self._native.b

    @property
    def k1(self) -> float:
        """Term frequency saturation."""
        return self._native.k1

    @property
    def tokenizer(self) -> Tokenizer:
        """The tokenizer str texts are cut with."""
        return self._tokenizer

    @property
    def document_count(self) -> int:
        """Documents fitted (without tokens ones not counted)."""
        return self._native.doc_count

    @property
    def vocabulary_size(self) -> int:
        """Distinct tokens counted."""
        return self._native.vocabulary_size

    @property
    def analysis(self) -> str:
        """Names the analysis of str texts (one of ANALYSES) and the data
        it cuts with; merge and load require equal ones."""
        return self._native.analysis

    def analyze(self, text: str) -> List[str]:
        """The tokens str text becomes, in order, repeats included: what fit
        and the encoders count."""
        if not isinstance(text, str):
            raise TypeError("text must be str, not %s" % type(text).__name__)
        return self._native.analyze(text)

    def document_frequency(self, token: str) -> int:
        """Documents that hold token (0 when none)."""
        return self._native.document_frequency(token)

    def __repr__(self) -> str:
        return "SparseEncoder(b=%r, k1=%r, documents=%d, tokens=%d)" % (
            self.b, self.k1, self.document_count, self.vocabulary_size)


def token_id(token: str) -> int:
    """The id "ids" and "csr" output give token: MurmurHash3 x86_32, seed 0,
    of its UTF-8, unsigned."""
    return _core.murmur3(token)
