"""The search index on Milvus: a server, a cluster, or Milvus Lite in this process.

The index keeps, for every document, its id, its text, optional metadata and
the document vector a :class:`norvane.SparseEncoder` gives it (``output="ids"``:
32-bit token hashes to weights), in a Milvus collection with an inverted
index and inner-product scoring. A query is encoded with the same encoder,
and its inner product with a document vector is the document's BM25 score.

A path ending in ``.db`` is a local index served by Milvus Lite inside this
process; an ``http://``, ``https://``, ``tcp://`` or ``unix:`` address is a
Milvus server or cluster, reached with the same code.
"""

from __future__ import annotations

import contextlib
import functools
import logging
import os
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping,
                    Optional, Sequence, Tuple, TypeVar, cast)

from norvane._encoder import SparseEncoder
from norvane._stats_store import FileStore, ServerStore
from norvane.index import (MAX_K, RRF_K, Document, Hit, IndexInUseError, IndexOpenError,
                           SearchIndex, _columns, _id_list, _last_of_each,
                           _metadata_blob, is_local_uri)
from norvane._util import empty_like, snapshot

try:
    import numpy as np
    from pymilvus import DataType, MilvusClient
    from pymilvus.exceptions import MilvusException
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError(
        "a Milvus index needs pymilvus and milvus-lite: pip install 'pynorvane[milvus]' "
        f"({error})") from error

from norvane._milvus_rows import MIN_SCORE, fast_writer, sparse_rows, storable  # noqa: E402
from norvane.index import (DENSE, ID, MAX_ID_LENGTH, MAX_TEXT_BYTES, META, TEXT,  # noqa: E402
                           VECTOR)

__all__ = ["MilvusException", "MilvusIndex", "sparse_rows"]

_log = logging.getLogger("norvane")


# Milvus Lite runs one server per file and process; it is stopped, and the
# file's lock released, when the last index of this process that uses it
# closes. Its own lock file is removed by any process that fails to open the
# file, so the index holds a lock of its own, on ``<path>.lock``, as long as
# any index of this process has the file open.
_local_users: Dict[str, Tuple[int, int]] = {}  # path: (users, lock descriptor)
_local_lock = threading.Lock()


def _lock_local(uri: str) -> None:
    import fcntl

    key = os.path.abspath(uri)
    with _local_lock:
        users, fd = _local_users.get(key, (0, -1))
        if users == 0:
            fd = os.open(key + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                os.close(fd)
                raise IndexInUseError(f"cannot open {uri}: another process has it open "
                                      "(a local index serves one process at a time)") from None
            except BaseException:
                os.close(fd)
                raise
        _local_users[key] = (users + 1, fd)


def _unlock_local(uri: str) -> bool:
    """Drops one user of the file; True when it was the last."""
    key = os.path.abspath(uri)
    with _local_lock:
        users, fd = _local_users.get(key, (0, -1))
        if users > 1:
            _local_users[key] = (users - 1, fd)
            return False
        _local_users.pop(key, None)
    if fd >= 0:
        os.close(fd)  # releases the lock
    return True


# pymilvus logs every failed call, with the server's traceback, before it
# raises; the exception says it once. A filter on its loggers drops their
# records while this thread is inside an index call: setting their level
# instead would clear the logging module's caches on every call.
_calls = threading.local()
_LOGGERS = ("pymilvus", "milvus_lite")


class _QuietFilter(logging.Filter):
    def filter(self, record: logging.LogRecord) -> bool:
        return not getattr(_calls, "depth", 0)


_quiet_filter = _QuietFilter()
_filtered_count = -1  # loggers known when the filter was last installed


def _install_filter() -> None:
    global _filtered_count
    loggers = logging.Logger.manager.loggerDict
    if len(loggers) == _filtered_count:
        return
    for name in list(loggers):
        if name.startswith(_LOGGERS):
            log = logging.getLogger(name)
            if _quiet_filter not in log.filters:
                log.addFilter(_quiet_filter)
    _filtered_count = len(loggers)


@contextlib.contextmanager
def _silence() -> Iterator[None]:
    _install_filter()
    _calls.depth = getattr(_calls, "depth", 0) + 1
    try:
        yield
    finally:
        _calls.depth -= 1


_Method = TypeVar("_Method", bound=Callable[..., Any])


def _quietly(method: _Method) -> _Method:
    @functools.wraps(method)
    def call(*args: Any, **kwargs: Any) -> Any:
        with _silence():
            return method(*args, **kwargs)
    return cast(_Method, call)


@contextlib.contextmanager
def _quiet_server() -> Iterator[None]:
    """Milvus Lite's server writes its errors to this process's standard error
    unless told otherwise when it starts; each also comes back as an
    exception, which says it once."""
    if "LOG_LEVEL" in os.environ or "GLOG_minloglevel" in os.environ:  # the user's choice
        yield
        return
    os.environ["LOG_LEVEL"] = "FATAL"
    os.environ["GLOG_minloglevel"] = "3"  # glog's FATAL
    try:
        yield
    finally:
        os.environ.pop("LOG_LEVEL", None)
        os.environ.pop("GLOG_minloglevel", None)


def _import_milvus_lite() -> None:
    """Imports Milvus Lite, whose 2.x releases warn on import about an API of
    setuptools they use."""
    import warnings

    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="pkg_resources is deprecated")
        try:
            import milvus_lite  # noqa: F401
        except ImportError as error:
            raise ImportError("a local index needs milvus-lite 2.x: pip install "
                              f"'pynorvane[milvus]' ({error})") from error


def _connect(uri: str, token: str, timeout: Optional[float]) -> MilvusClient:
    if is_local_uri(uri):
        _import_milvus_lite()
    try:
        with _quiet_server():
            return MilvusClient(uri=uri, token=token, timeout=timeout)
    except MilvusException as error:
        if is_local_uri(uri):
            raise IndexOpenError(f"cannot open {uri}: Milvus Lite did not start "
                                 f"({_message(error)}); a file serves one process at a time: "
                                 "is another process using it?") from error
        raise IndexOpenError(f"cannot connect to Milvus at {uri}: {_message(error)}") from error


@contextlib.contextmanager
def _quiet(logger: str) -> Iterator[None]:
    log = logging.getLogger(logger)
    level = log.level
    log.setLevel(logging.ERROR)
    try:
        yield
    finally:
        log.setLevel(level)


def _message(error: BaseException) -> str:
    """The server's or client's own text of a Milvus error."""
    return str(getattr(error, "message", "") or error)


class MilvusIndex(SearchIndex):
    """Documents, their BM25 vectors and the encoder statistics, in Milvus
    (a server, or Milvus Lite for a local path). The arguments are
    :class:`SearchIndex`'s; ``encoder_path`` defaults to
    ``<uri>.<collection>.encoder.json`` for a local path, and a server index
    keeps its statistics in the server (a companion collection), so every
    process that opens it shares them.

    Ids are keys: adding a document whose id is stored replaces it, and its
    old text leaves the statistics. The statistics always describe the
    stored rows: every write marks them pending until it has ended, and an
    index opened after a write that never ended (a killed process, a full
    disk) refits them on the stored texts. A local index is open in one
    process at a time (:class:`IndexInUseError` for another).

    Stored vectors keep the length normalisation of the statistics they were
    added with, as :class:`SearchIndex` describes; :meth:`reindex` re-encodes
    them with the current ones.
    """

    def __init__(
        self,
        uri: str = "norvane.db",
        collection: str = "docs",
        encoder: Optional[SparseEncoder] = None,
        *,
        token: str = "",
        encoder_path: Optional[str] = None,
        timeout: Optional[float] = 10.0,
        create: bool = True,
        dense_dim: Optional[int] = None,
        dense_metric: str = "COSINE",
        repair: bool = False,
        backend: Optional[str] = None,
    ) -> None:
        self.uri = uri
        self.collection = collection
        self.local = is_local_uri(uri)
        if self.local and not uri.endswith(".db"):
            raise ValueError(f"a local index path ends in .db: {uri!r}")
        if encoder_path is None and self.local:
            encoder_path = f"{uri}.{collection}.encoder.json"
        self.encoder_path = encoder_path
        if dense_dim is not None and not 1 <= dense_dim <= 32768:
            raise ValueError(f"dense_dim must be between 1 and 32768, not {dense_dim}")
        if dense_metric not in ("COSINE", "IP", "L2"):
            raise ValueError(f"dense_metric must be 'COSINE', 'IP' or 'L2', not {dense_metric!r}")
        self.dense_dim = dense_dim
        self.dense_metric = dense_metric
        self._client: Optional[MilvusClient] = None
        self._direct: Optional[Any] = None
        if self.local:
            if not create and not os.path.exists(uri):
                raise IndexOpenError(f"no index at {uri}")
            parent = os.path.dirname(os.path.abspath(uri))
            os.makedirs(parent, exist_ok=True)
            _lock_local(uri)
        try:
            with _silence():
                self._client = _connect(uri, token, timeout)
            self._direct = fast_writer(self._client)
            self._stats: Any = (FileStore(encoder_path) if encoder_path is not None
                                else ServerStore(self._client, collection))
            with _silence():
                self.encoder = self._open(encoder, create, repair)
        except BaseException:
            self.close()
            raise

    # -- opening ---------------------------------------------------------

    def _open(self, encoder: Optional[SparseEncoder], create: bool,
              repair: bool) -> SparseEncoder:
        client = self._require_client()
        if not client.has_collection(self.collection):
            if not create:
                raise IndexOpenError(f"no collection {self.collection!r} at {self.uri}")
            self._create_collection()
            encoder = encoder if encoder is not None else SparseEncoder()
            # Replaces statistics left by a dropped collection.
            self._stats.reset(encoder, external=encoder.document_count > 0)
            return encoder
        self._check_schema()
        client.load_collection(self.collection)
        state = self._stats.read()
        rows = self.count()
        if not state.saved:
            fresh = empty_like(encoder)
            if encoder is not None and encoder.document_count:
                raise ValueError(f"collection {self.collection!r} holds documents: pass an "
                                 "encoder without statistics")
            if rows:
                _log.warning("%s: the statistics of collection %r are missing; refitting "
                             "them on its %d documents", self.uri, self.collection, rows)
                return self._rebuild(fresh)
            self._stats.reset(fresh, external=False)
            return fresh
        saved = self._load_saved(encoder)
        stale = (state.pending or (state.rows is not None and state.rows != rows)
                 or saved.document_count > rows)
        if not stale:
            return saved
        if state.external and not repair:
            raise IndexOpenError(
                f"the statistics of collection {self.collection!r} at {self.uri} do not match "
                "its documents (a write did not end), and they hold documents fitted elsewhere: "
                "open it with SearchIndex(..., repair=True) to refit them on the stored texts")
        _log.warning("%s: a write to collection %r did not end; refitting the statistics on "
                     "its %d documents", self.uri, self.collection, rows)
        return self._rebuild(empty_like(saved))

    def _load_saved(self, encoder: Optional[SparseEncoder]) -> SparseEncoder:
        where = self.encoder_path or f"collection {self._stats.name}"
        if encoder is None:
            return self._stats.load(None)  # type: ignore[no-any-return]
        # The encoder given names the analysis (the statistics do not keep the tokenizer).
        if encoder.document_count:
            raise ValueError(f"collection {self.collection!r} already has statistics in "
                             f"{where}: pass an encoder without statistics")
        saved: SparseEncoder = self._stats.load(encoder.tokenizer)
        # An encoder of another analysis only lends its tokenizer: the saved
        # analysis and its parameters hold.
        if saved.analysis == encoder.analysis and (saved.b, saved.k1) != (encoder.b, encoder.k1):
            raise ValueError(f"the statistics in {where} have b={saved.b}, "
                             f"k1={saved.k1}; the encoder given b={encoder.b}, k1={encoder.k1}")
        return saved

    def _create_collection(self) -> None:
        client = self._require_client()
        schema = client.create_schema(auto_id=False, enable_dynamic_field=False)
        schema.add_field(ID, DataType.VARCHAR, is_primary=True, max_length=MAX_ID_LENGTH)
        schema.add_field(TEXT, DataType.VARCHAR, max_length=MAX_TEXT_BYTES)
        schema.add_field(META, DataType.JSON)  # {} for none: Milvus Lite has no nullable fields
        schema.add_field(VECTOR, DataType.SPARSE_FLOAT_VECTOR)
        if self.dense_dim is not None:
            schema.add_field(DENSE, DataType.FLOAT_VECTOR, dim=self.dense_dim)
        index = client.prepare_index_params()
        index.add_index(field_name=VECTOR, index_type="SPARSE_INVERTED_INDEX", metric_type="IP")
        if self.dense_dim is not None:
            index.add_index(field_name=DENSE, index_type="AUTOINDEX",
                            metric_type=self.dense_metric)
        client.create_collection(self.collection, schema=schema, index_params=index,
                                 consistency_level="Strong")

    def _check_schema(self) -> None:
        client = self._require_client()
        described = client.describe_collection(self.collection)["fields"]
        fields = {f["name"]: f["type"] for f in described}
        expected = {ID: DataType.VARCHAR, TEXT: DataType.VARCHAR, META: DataType.JSON,
                    VECTOR: DataType.SPARSE_FLOAT_VECTOR}
        if any(fields.get(name) != kind for name, kind in expected.items()):
            raise IndexOpenError(f"collection {self.collection!r} at {self.uri} is not a "
                                 f"search index (fields {sorted(fields)})")
        dense = next((f for f in described if f["name"] == DENSE), None)
        stored = None if dense is None else int(dense["params"]["dim"])
        if self.dense_dim is not None and self.dense_dim != stored:
            raise ValueError(f"collection {self.collection!r} holds "
                             + ("no dense vectors" if stored is None
                                else f"dense vectors of dimension {stored}")
                             + f", not of dimension {self.dense_dim}")
        self.dense_dim = stored
        if stored is not None:
            indexes = client.describe_index(self.collection, DENSE)
            self.dense_metric = str(indexes.get("metric_type", self.dense_metric))

    def _require_client(self) -> MilvusClient:
        if self._client is None:
            raise ValueError("the index is closed")
        return self._client

    # -- statistics ------------------------------------------------------

    def _stored_ids(self, batch_size: int = 5000) -> List[str]:
        with _quiet("pymilvus"):  # Milvus Lite has no snapshot time stamps; pymilvus warns
            iterator = self._require_client().query_iterator(
                self.collection, batch_size=batch_size, output_fields=[ID],
                consistency_level="Strong")
        ids: List[str] = []
        try:
            while True:
                rows = iterator.next()
                if not rows:
                    break
                ids.extend(row[ID] for row in rows)
        finally:
            iterator.close()
        return ids

    def _rows(self, ids: Sequence[str], fields: Sequence[str],
              batch_size: int = 5000) -> Iterator[List[Dict[str, Any]]]:
        for start in range(0, len(ids), batch_size):
            yield self._require_client().get(self.collection, ids=list(ids[start:start + batch_size]),
                                             output_fields=list(fields),
                                             consistency_level="Strong")

    def _rebuild(self, fresh: SparseEncoder) -> SparseEncoder:
        """Fits fresh on every stored text and commits it as the statistics."""
        ids = self._stored_ids()
        for rows in self._rows(ids, [TEXT]):
            fresh.fit([row[TEXT] for row in rows])
        self._stats.reset(fresh, external=False)
        self._stats.commit(fresh, len(ids))
        return fresh

    @_quietly
    def rebuild_statistics(self) -> None:
        """Refits the statistics on the stored texts alone (what opening
        does by itself after a write that did not end)."""
        self.encoder = self._rebuild(empty_like(self.encoder))

    def save_encoder(self) -> None:
        """Saves the encoder statistics as they are (they are saved after
        every write by themselves)."""
        self._stats.commit(self.encoder, self.count())

    # -- writing ---------------------------------------------------------

    @_quietly
    def add(
        self,
        texts: Iterable[str],
        ids: Optional[Iterable[Any]] = None,
        metadata: Optional[Iterable[Optional[Mapping[str, Any]]]] = None,
        *,
        batch_size: int = 5000,
        progress: Optional[Callable[[int], None]] = None,
        dense: Optional[Any] = None,
    ) -> List[str]:
        """Fits the encoder on the texts, encodes them and stores them.

        Args:
            texts: the documents (a list of str; a single str is refused).
            ids: one id per text (converted to ``str``, at most 512 bytes of
                UTF-8); ``None`` for new random ids. A stored id is replaced,
                and of an id given twice the last document is kept.
            metadata: one JSON-serialisable dict (or ``None``) per text,
                returned with search results and usable in ``filter``; NaN
                and infinities are refused.
            batch_size: documents per insert.
            progress: called with the number of documents of each batch
                stored.
            dense: one dense vector per text (a sequence of sequences or a
                2-D array of ``dense_dim`` columns), for an index made with
                ``dense_dim``; required there, refused elsewhere.

        Returns the ids of the documents, in the order given. Everything is
        checked before anything is written. Each batch is analysed and
        encoded completely before one write; a batch that fails leaves
        neither rows nor statistics behind (batches before it stay stored),
        and the exception is raised.
        """
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        text_list, id_list, meta_list, blobs = _columns(texts, ids, metadata)
        dense_rows = self._dense_rows(dense, len(text_list))
        keep = _last_of_each(id_list) if ids is not None else None
        if keep is not None and len(keep) < len(id_list):
            text_list = [text_list[i] for i in keep]
            stored_ids = [id_list[i] for i in keep]
            meta_list = None if meta_list is None else [meta_list[i] for i in keep]
            blobs = [blobs[i] for i in keep]
            dense_rows = None if dense_rows is None else dense_rows[keep]
        else:
            stored_ids = id_list
        self._write(text_list, stored_ids, meta_list, blobs, batch_size, progress,
                    check_existing=ids is not None, dense=dense_rows)
        return id_list

    def _dense_rows(self, dense: Optional[Any], count: int) -> Optional[Any]:
        """The dense vectors as a float32 array of ``count`` rows, checked."""
        if dense is None:
            if self.dense_dim is not None:
                raise ValueError(f"collection {self.collection!r} holds a dense vector per "
                                 f"document: pass dense= ({self.dense_dim} numbers per text)")
            return None
        if self.dense_dim is None:
            raise ValueError(f"collection {self.collection!r} holds no dense vectors: create "
                             "it with dense_dim= for hybrid search")
        rows = np.asarray(dense, dtype=np.float32)
        if rows.ndim != 2 or rows.shape != (count, self.dense_dim):
            raise ValueError(f"dense must hold {count} vectors of {self.dense_dim} numbers, "
                             f"not an array of shape {rows.shape}")
        if not np.isfinite(rows).all():
            raise ValueError("dense vectors must be finite (no NaN or infinity)")
        return rows

    def _write(self, texts: List[str], ids: List[str], metadata: Optional[List[Any]],
               blobs: List[bytes], batch_size: int,
               progress: Optional[Callable[[int], None]], check_existing: bool,
               dense: Optional[Any] = None) -> None:
        """Writes batches, one write in flight while the next is encoded.

        ``good`` follows the statistics of the rows written so far: after a
        failure the encoder returns to it and it is committed, unless a
        replacing write failed, whose rows are unknown: the statistics then
        stay pending and the next open refits them. Ctrl-C waits for the
        write in flight, so that what it stored is known.
        """
        self._stats.begin()
        good: Optional[SparseEncoder] = None
        unknown = False
        interrupt: Optional[BaseException] = None
        pending: Optional[Tuple["Future[None]", int, bool]] = None

        def settle(write: Tuple["Future[None]", int, bool]) -> None:
            nonlocal unknown, interrupt
            future, count, upsert = write
            while True:
                try:
                    future.result()
                    break
                except KeyboardInterrupt as error:
                    interrupt = error
                    if not future.done():
                        continue
                    future.result()
                    break
                except BaseException:
                    unknown = upsert
                    raise
            if progress is not None:
                progress(count)

        with ThreadPoolExecutor(max_workers=1) as writer:
            try:
                for start in range(0, len(texts), batch_size):
                    end = min(start + batch_size, len(texts))
                    before = snapshot(self.encoder)
                    if good is None:
                        good = before
                    try:
                        old = self._old_texts(ids[start:end]) if check_existing else []
                        if old:
                            self._forget(old)
                        vectors = self.encoder.fit_encode_documents(texts[start:end],
                                                                    output="ids")
                    except BaseException:
                        self.encoder = before
                        raise
                    if pending is not None:
                        done, pending = pending, None
                        settle(done)
                        good = before
                    pending = (writer.submit(
                        self._insert, texts[start:end], vectors, ids[start:end],
                        None if metadata is None else metadata[start:end], bool(old),
                        blobs[start:end], None if dense is None else dense[start:end]),
                        end - start, bool(old))
                if pending is not None:
                    done, pending = pending, None
                    settle(done)
                good = self.encoder
            except BaseException:
                if pending is not None:  # the error on its way out wins over this one's
                    try:
                        settle(pending)
                        good = self.encoder  # back to before the batch that failed
                    except BaseException:
                        pass
                if good is not None:
                    self.encoder = good
                if not unknown:
                    with contextlib.suppress(Exception):  # else the next open refits
                        self._commit()
                raise
        self._commit()
        if interrupt is not None:
            raise interrupt

    def _forget(self, texts: List[str]) -> None:
        """Takes texts that leave the index out of the statistics. Statistics
        fitted elsewhere may never have held them: those stay as they are."""
        try:
            self.encoder.subtract(empty_like(self.encoder).fit(texts))
        except ValueError:
            if not self._stats.external:
                raise

    def _commit(self) -> None:
        self._stats.commit(self.encoder, self.count())

    def _old_texts(self, ids: Sequence[str]) -> List[str]:
        """Texts of stored documents with these ids, which a write replaces."""
        return [row[TEXT] for rows in self._rows(ids, [TEXT]) for row in rows]

    @_quietly
    def add_encoded(
        self,
        texts: Sequence[str],
        vectors: Sequence[Mapping[int, float]],
        ids: Optional[Sequence[Any]] = None,
        metadata: Optional[Sequence[Optional[Mapping[str, Any]]]] = None,
        dense: Optional[Any] = None,
    ) -> List[str]:
        """Stores documents already encoded (``output="ids"``) with this
        index's encoder, in one write, replacing stored documents of the
        same ids; the statistics are left as they are, and are then no
        longer a function of the stored texts alone.

        Returns the ids of the stored documents.
        """
        text_list, id_list, meta_list, blobs = _columns(texts, ids, metadata)
        if len(vectors) != len(text_list):
            raise ValueError(f"{len(text_list)} texts but {len(vectors)} vectors")
        dense_rows = self._dense_rows(dense, len(text_list))
        self._stats.begin(external=True)
        self._insert(text_list, vectors, id_list, meta_list, upsert=True, blobs=blobs,
                     dense=dense_rows)
        self._commit()
        return id_list

    def _insert(self, texts: List[str], vectors: Sequence[Mapping[int, float]],
                ids: List[str], metadata: Optional[List[Any]], upsert: bool = False,
                blobs: Optional[List[bytes]] = None, dense: Optional[Any] = None) -> None:
        """Writes rows in one request (an upsert replaces rows of the same ids)."""
        if not texts:
            return
        if (dense is None) != (self.dense_dim is None):
            raise ValueError("dense vectors are needed exactly when the index holds them")
        with _silence():
            if self._direct is not None:
                if blobs is None:
                    blobs = [_metadata_blob(m, i)
                             for i, m in enumerate(metadata or [None] * len(texts))]
                self._direct(self.collection, ids, texts, blobs, vectors, upsert, dense)
                return
            client = self._require_client()
            rows = [{ID: id, TEXT: text, META: {} if metadata is None else metadata[i] or {},
                     VECTOR: storable(vectors[i])}
                    for i, (id, text) in enumerate(zip(ids, texts))]
            if dense is not None:
                for row, vector in zip(rows, dense.tolist()):
                    row[DENSE] = vector
            (client.upsert if upsert else client.insert)(self.collection, rows)

    @_quietly
    def delete(self, ids: Iterable[Any]) -> int:
        """Deletes the documents of these ids, and their texts from the
        statistics. Returns how many were stored."""
        id_list = _id_list(ids)
        old = self._old_texts(id_list)
        if not old:
            return 0
        self._stats.begin()
        before = snapshot(self.encoder)
        for start in range(0, len(id_list), 10000):
            self._require_client().delete(self.collection, ids=id_list[start:start + 10000])
        try:
            self._forget(old)
        except ValueError:  # statistics that never held these texts: refit
            self.encoder = self._rebuild(empty_like(before))
            return len(old)
        self._commit()
        return len(old)

    @_quietly
    def get(self, ids: Iterable[Any]) -> List[Optional[Document]]:
        """The stored documents of these ids, in order; None for an id that
        is not stored."""
        id_list = _id_list(ids)
        found: Dict[str, Document] = {}
        for rows in self._rows(id_list, [TEXT, META]):
            for row in rows:
                found[row[ID]] = Document(row[ID], row[TEXT], row.get(META) or None)
        return [found.get(id) for id in id_list]

    @_quietly
    def reindex(self, batch_size: int = 5000,
                progress: Optional[Callable[[int, int], None]] = None) -> int:
        """Re-encodes every stored document with the current statistics.

        Returns the number of documents rewritten; ``progress(done, total)``
        is called after each batch. Rows are replaced batch by batch (one
        upsert each); if it stops half way, documents of both weightings are
        stored, and running it again finishes the work.
        """
        ids = self._stored_ids(batch_size)
        fields = [ID, TEXT, META] + ([DENSE] if self.dense_dim is not None else [])
        done = 0
        for rows in self._rows(ids, fields, batch_size):
            texts = [row[TEXT] for row in rows]
            dense = (None if self.dense_dim is None else
                     np.asarray([row[DENSE] for row in rows], dtype=np.float32))
            self._insert(texts, self.encoder.encode_documents(texts, output="ids"),
                         [row[ID] for row in rows], [row.get(META) for row in rows],
                         upsert=True, dense=dense)
            done += len(rows)
            if progress is not None:
                progress(done, len(ids))
        return len(ids)

    # -- reading ---------------------------------------------------------

    def search(self, query: str, k: int = 10, filter: str = "", *,
               dense: Optional[Sequence[float]] = None,
               weights: Optional[Tuple[float, float]] = None) -> List[Hit]:
        """The k best documents for a query, best first.

        Each result is a :class:`Hit` ``(id, score, text)``; its
        ``metadata`` attribute holds the document's metadata. ``filter`` is
        a Milvus boolean expression on the fields, for example
        ``'meta["lang"] == "zh"'`` or ``'id in ["a", "b"]'``.

        With ``dense`` (the query's embedding, on an index made with
        ``dense_dim``) the search is hybrid: the sparse and the dense
        rankings are fused by reciprocal rank (a document scores the sum of
        ``1 / (60 + rank)`` over both), or with ``weights=(sparse, dense)``
        by a weighted sum of the two scores, each first normalised by Milvus.
        """
        if not isinstance(query, str):
            raise TypeError(f"query must be str, not {type(query).__name__}")
        return self.search_many([query], k, filter, dense=None if dense is None else [dense],
                                weights=weights)[0]

    @_quietly
    def search_many(self, queries: Sequence[str], k: int = 10, filter: str = "", *,
                    dense: Optional[Any] = None,
                    weights: Optional[Tuple[float, float]] = None) -> List[List[Hit]]:
        """The results of :meth:`search` for several queries, in one request
        (``dense``: one vector per query)."""
        if isinstance(queries, (str, bytes)):
            raise TypeError("queries must be a list of str, not a single "
                            f"{type(queries).__name__}: use search() for one query")
        if not 1 <= k <= MAX_K:
            raise ValueError(f"k must be between 1 and {MAX_K} (the most Milvus returns), "
                             f"not {k}")
        queries = list(queries)
        if dense is not None:
            if self.dense_dim is None:
                raise ValueError(f"collection {self.collection!r} holds no dense vectors")
            return self._hybrid(queries, self._dense_rows(dense, len(queries)), k, filter,
                                weights)
        if weights is not None:
            raise ValueError("weights go with dense query vectors")
        if not self.encoder.document_count:  # nothing with a searchable word is stored
            return [[] for _ in queries]
        vectors = self.encoder.encode_queries(queries, output="ids")
        asked = [i for i, vector in enumerate(vectors) if vector]
        results: List[List[Hit]] = [[] for _ in vectors]
        if not asked:
            return results
        found = self._require_client().search(
            self.collection, data=[storable(vectors[i]) for i in asked], anns_field=VECTOR,
            limit=k, filter=filter, output_fields=[TEXT, META],
            search_params={"metric_type": "IP"})
        for i, rows in zip(asked, found):
            results[i] = [Hit(row[ID], row["distance"], row["entity"][TEXT],
                              row["entity"].get(META) or None)
                          for row in rows if row["distance"] > MIN_SCORE]
        return results

    def _hybrid(self, queries: List[str], dense: Any, k: int, filter: str,
                weights: Optional[Tuple[float, float]]) -> List[List[Hit]]:
        from pymilvus import AnnSearchRequest, RRFRanker, WeightedRanker

        vectors = (self.encoder.encode_queries(queries, output="ids")
                   if self.encoder.document_count else [{} for _ in queries])
        results: List[List[Hit]] = []
        client = self._require_client()
        for vector, embedding in zip(vectors, dense.tolist()):
            requests = [AnnSearchRequest(data=[embedding], anns_field=DENSE,
                                         param={"metric_type": self.dense_metric}, limit=k,
                                         expr=filter or None)]
            # A query without a searchable word (Milvus refuses an empty
            # sparse vector) is ranked by its embedding alone.
            if vector:
                requests.insert(0, AnnSearchRequest(data=[storable(vector)], anns_field=VECTOR,
                                                    param={"metric_type": "IP"}, limit=k,
                                                    expr=filter or None))
            if weights is None:
                ranker: Any = RRFRanker(RRF_K)
            else:
                chosen = [float(w) for w in weights][2 - len(requests):]
                ranker = WeightedRanker(*chosen)
            (rows,) = client.hybrid_search(self.collection, requests, ranker, limit=k,
                                           output_fields=[TEXT, META])
            results.append([Hit(row[ID], row["distance"], row["entity"][TEXT],
                                row["entity"].get(META) or None) for row in rows])
        return results

    @_quietly
    def count(self) -> int:
        """Number of stored documents."""
        rows = self._require_client().query(self.collection, filter="",
                                            output_fields=["count(*)"],
                                            consistency_level="Strong")
        return int(rows[0]["count(*)"])

    # -- housekeeping ----------------------------------------------------

    @_quietly
    def flush(self) -> None:
        """Asks Milvus to seal what was inserted into stored segments."""
        self._require_client().flush(self.collection)

    @_quietly
    def clear(self) -> None:
        """Deletes every document and the statistics: the index is as new,
        with the same analysis, ``b`` and ``k1``."""
        client = self._require_client()
        self._stats.begin()
        client.drop_collection(self.collection)
        self._create_collection()
        self.encoder = empty_like(self.encoder)
        self._stats.reset(self.encoder, external=False)

    def files(self) -> List[str]:
        """The files of a local index besides the ``.db`` itself (statistics,
        state and lock)."""
        files: List[str] = list(self._stats.files())
        if self.local:
            files.append(os.path.abspath(self.uri) + ".lock")
        return files

    def close(self) -> None:
        """Closes the connection (and the local server once no index of this
        process uses its file). Calling it again does nothing."""
        client, self._client = self._client, None
        try:
            if client is not None:
                with _silence():
                    client.close()
        finally:
            if self.local and getattr(self, "_locked", True):
                self._locked = False
                if _unlock_local(self.uri) and client is not None:
                    _stop_local_server(self.uri)

    def __repr__(self) -> str:
        state = "" if self._client is not None else ", closed"
        return f"SearchIndex(uri={self.uri!r}, collection={self.collection!r}{state})"


def _stop_local_server(uri: str) -> None:
    try:
        from milvus_lite.server_manager import server_manager_instance
    except ImportError:  # pragma: no cover - a client of another Milvus Lite
        return
    server_manager_instance.release_server(os.path.abspath(uri))


