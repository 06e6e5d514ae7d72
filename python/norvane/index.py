"""A search index of sparse BM25 vectors.

The index keeps, for every document, its id, its text, optional metadata and
the document vector a :class:`norvane.SparseEncoder` gives it (``output="ids"``:
32-bit token hashes to weights), and searches them by inner product: a query
is encoded with the same encoder, and its inner product with a document
vector is the document's BM25 score.

Where the index lives follows the ``uri``: a path ending in ``.db`` is the
embedded local store (SQLite and native posting lists, in this process; see
norvane._local_index); an ``http://``, ``https://``, ``tcp://`` or ``unix:``
address is a Milvus server or cluster (norvane._milvus_index), which ranks
the same documents identically. ``backend="milvus-lite"`` serves a local
path with Milvus Lite instead, and a file Milvus Lite wrote is found and
opened with it.
"""

from __future__ import annotations

import json
import os
import uuid
from typing import Any, Dict, Iterable, List, Mapping, NamedTuple, Optional, Tuple

__all__ = ["BACKENDS", "Document", "Hit", "IndexOpenError", "IndexInUseError", "MilvusException",
           "SearchIndex", "sparse_rows"]

MAX_K = 16384  # the most results Milvus returns for one query; the local store keeps it
_SERVER_SCHEMES = ("http://", "https://", "tcp://", "unix:")
# Reciprocal-rank fusion's constant: a document's fused score is the sum over
# the two rankings of 1 / (RRF_K + its rank there).
RRF_K = 60
# Stored fields, by the names Milvus gives them.
ID, TEXT, META, VECTOR, DENSE = "id", "text", "meta", "vector", "dense"
MAX_ID_LENGTH = 512
MAX_TEXT_BYTES = 65535  # the longest VARCHAR a Milvus field holds
# Local stores: the embedded default, and Milvus Lite.
BACKENDS = ("sqlite", "milvus-lite")


class IndexOpenError(RuntimeError):
    """An index that cannot be opened as asked (missing, not an index, statistics lost)."""


class IndexInUseError(IndexOpenError):
    """A local index that another process has open."""


class Document(NamedTuple):
    """A stored document, as :meth:`SearchIndex.get` returns it."""

    id: str
    text: str
    metadata: Optional[Dict[str, Any]]


class _HitFields(NamedTuple):
    id: str
    score: float
    text: str


class Hit(_HitFields):
    """One search result: a tuple ``(id, score, text)``, best first in a
    result list; ``metadata`` holds the document's metadata (``None`` when it
    has none)."""

    metadata: Optional[Dict[str, Any]]

    def __new__(cls, id: str, score: float, text: str,
                metadata: Optional[Dict[str, Any]] = None) -> "Hit":
        hit = super().__new__(cls, id, score, text)
        hit.metadata = metadata
        return hit


def is_local_uri(uri: str) -> bool:
    """True for a local path, False for a server address."""
    return not uri.startswith(_SERVER_SCHEMES)


def is_milvus_lite_file(uri: str, collection: str = "docs") -> bool:
    """Whether a local path holds an index Milvus Lite wrote: its statistics
    file beside it, or a database without the local store's tables."""
    if os.path.exists(f"{uri}.{collection}.encoder.json"):
        return True
    try:
        with open(uri, "rb") as f:
            header = f.read(16)
    except OSError:
        return False
    if header != b"SQLite format 3\x00":
        return False
    import sqlite3

    try:
        db = sqlite3.connect(f"file:{os.path.abspath(uri)}?mode=ro", uri=True)
        try:
            names = {row[0] for row in db.execute("SELECT name FROM sqlite_master")}
        finally:
            db.close()
    except sqlite3.Error:
        return False
    return bool(names) and "norvane_state" not in names


def _backend_class(uri: str, collection: str, backend: Optional[str]) -> type:
    if backend is not None and backend not in BACKENDS:
        raise ValueError(f"backend must be one of {BACKENDS} or None, not {backend!r}")
    if not is_local_uri(uri):
        if backend is not None:
            raise ValueError(f"backend={backend!r} is for a local path; {uri} is a Milvus server")
        from norvane._milvus_index import MilvusIndex

        return MilvusIndex
    if backend == "milvus-lite" or (backend is None and is_milvus_lite_file(uri, collection)):
        from norvane._milvus_index import MilvusIndex

        return MilvusIndex
    from norvane._local_index import LocalIndex

    return LocalIndex


class SearchIndex:
    """Documents, their BM25 vectors and the encoder statistics: a local
    store, or Milvus.

    ``SearchIndex(uri, ...)`` gives the index of the uri's backend: the
    embedded local store for a path ending in ``.db`` (a file Milvus Lite
    wrote opens with Milvus Lite; ``backend="milvus-lite"`` asks for it for a
    new one), Milvus for a server address. Both rank the same documents
    identically and take the same arguments; see norvane._local_index and
    norvane._milvus_index for what each keeps where.

    Args:
        uri: a local path ending in ``.db`` or a Milvus server address such
            as ``"http://host:19530"``.
        collection: name of the collection (several may share a file).
        encoder: the :class:`norvane.SparseEncoder` of a new index (its
            analysis, ``b``, ``k1`` and any statistics it already has);
            ``None`` for a default encoder. An index with saved statistics
            loads them; an encoder without statistics given then names the
            tokenizer to load them with (the statistics do not keep it).
        token: credentials for a server (``"user:password"`` or an API key).
        encoder_path: Milvus only: a file for the encoder statistics.
        timeout: seconds to wait for a server, or for the local store's
            write lock, before giving up.
        create: create the collection if it does not exist; with ``False`` a
            missing index raises :class:`IndexOpenError`.
        dense_dim: Milvus only: the dimension of a dense vector stored beside
            each document's sparse one, for hybrid search.
        dense_metric: Milvus only: ``"COSINE"``, ``"IP"`` or ``"L2"``.
        repair: refit statistics that do not match the rows on the stored
            texts even when they were not fitted on those texts alone.
        backend: for a local path, ``"sqlite"`` (the embedded store, the
            default for a new file) or ``"milvus-lite"``; ``None`` finds the
            backend of an existing file.

    Ids are keys: adding a document whose id is stored replaces it, and its
    old text leaves the statistics. The statistics always describe the
    stored rows.

    Stored vectors and growing statistics: a document vector is weighed with
    the average document length of the statistics when it was added, while a
    query is always weighed with the current statistics (its IDF). Documents
    added early therefore keep the length normalisation of a smaller corpus;
    scores drift little while the average length is stable, and
    :meth:`reindex` re-encodes every stored document with the current
    statistics.
    """

    uri: str
    collection: str
    local: bool
    dense_dim: Optional[int]

    def __new__(cls, uri: str = "norvane.db", collection: str = "docs", *args: Any,
                backend: Optional[str] = None, **kwargs: Any) -> "SearchIndex":
        if cls is SearchIndex:
            cls = _backend_class(uri, collection, backend)
        return super().__new__(cls)

    def __enter__(self) -> "SearchIndex":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()  # type: ignore[attr-defined]


def __getattr__(name: str) -> Any:
    # Loaded on first use: they need the optional Milvus client.
    if name in ("MilvusException", "sparse_rows", "MilvusIndex", "fast_writer"):
        from norvane import _milvus_index

        return getattr(_milvus_index, name)
    raise AttributeError(f"module 'norvane.index' has no attribute {name!r}")


def _last_of_each(ids: List[str]) -> List[int]:
    """Positions of the last occurrence of each id, in order."""
    last = {id: i for i, id in enumerate(ids)}
    return sorted(last.values())


def _check_id(id: str, where: str) -> None:
    try:
        size = len(id.encode("utf-8"))
    except UnicodeEncodeError:
        raise ValueError(f"{where} cannot be encoded as UTF-8 (lone surrogate)") from None
    if size > MAX_ID_LENGTH:
        raise ValueError(f"{where} is longer than {MAX_ID_LENGTH} bytes of UTF-8 ({size})")
    if not id:
        raise ValueError(f"{where} is empty")


def _id_list(ids: Iterable[Any]) -> List[str]:
    if isinstance(ids, (str, bytes)):
        raise TypeError("ids must be a list, not a single " + type(ids).__name__)
    id_list = [str(id) for id in ids]
    for i, id in enumerate(id_list):
        _check_id(id, f"id {i}")
    return id_list


def _metadata_blob(metadata: Optional[Mapping[str, Any]], i: int) -> bytes:
    """The stored JSON of one document's metadata; ValueError for what JSON
    cannot hold (NaN, infinities, objects it does not know)."""
    if not metadata:
        return b"{}"
    if not isinstance(metadata, Mapping):
        raise TypeError(f"metadata {i} is {type(metadata).__name__}, not a dict")
    try:
        return json.dumps(metadata, ensure_ascii=False, allow_nan=False).encode("utf-8")
    except ValueError as error:
        raise ValueError(f"metadata {i}: {error} (NaN and infinities cannot be stored)") from None
    except TypeError as error:
        raise ValueError(f"metadata {i}: {error}") from None


def _columns(texts: Iterable[str], ids: Optional[Iterable[Any]],
             metadata: Optional[Iterable[Any]]
             ) -> Tuple[List[str], List[str], Optional[List[Any]], List[bytes]]:
    """Checked lists of texts, string ids, metadata and its stored JSON, of
    one length: every check is made before anything is written."""
    if isinstance(texts, (str, bytes)):
        raise TypeError("texts must be a list of str, not a single " + type(texts).__name__)
    text_list = list(texts)
    for i, text in enumerate(text_list):
        if not isinstance(text, str):
            raise TypeError(f"text {i} is {type(text).__name__}, not str")
        if len(text) > MAX_TEXT_BYTES // 4:
            try:
                size = len(text.encode("utf-8"))
            except UnicodeEncodeError:
                size = 0
            if size > MAX_TEXT_BYTES:
                raise ValueError(f"text {i} is longer than {MAX_TEXT_BYTES} bytes of UTF-8: "
                                 "split long documents")
    if ids is None:
        id_list = [uuid.uuid4().hex for _ in text_list]
    else:
        id_list = _id_list(ids)
        if len(id_list) != len(text_list):
            raise ValueError(f"{len(text_list)} texts but {len(id_list)} ids")
    meta_list = None if metadata is None else list(metadata)
    if meta_list is not None and len(meta_list) != len(text_list):
        raise ValueError(f"{len(text_list)} texts but {len(meta_list)} metadata entries")
    blobs = ([b"{}"] * len(text_list) if meta_list is None
             else [_metadata_blob(m, i) for i, m in enumerate(meta_list)])
    return text_list, id_list, meta_list, blobs
