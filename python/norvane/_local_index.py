"""The embedded local store: documents in SQLite, postings in native segments.

One SQLite database (WAL mode) is the source of truth. Per collection it
holds a table of documents (a number ``num`` that is never reused, the id,
the text and the metadata JSON), their stored sparse vectors (packed, in a
table of their own so that reading rows and filtering does not read them),
a table of the texts of documents removed since the last checkpoint, and a
state row:
a generation counter, the row count, the encoder's document count and total
length, the analysis, ``b`` and ``k1``. Every batch of a write is one
transaction over all three, so rows and statistics agree by construction.

The document frequencies are not written per batch: they are a function of
the stored texts. A checkpoint writes the postings of every live document,
merged into one term-sorted segment file, together with the document
frequencies of the stored texts (by token hash), as
``<uri>.<collection>.<generation>.postings``, and names it in the state row.
That file is derived and never trusted beyond what the state row says: a
reader maps it (nothing is read up front), and adds what came after it from
SQLite: documents numbered above its watermark (their vectors, and their
texts fitted for frequencies) and the texts removed since (taken out again).
A missing or damaged file is rebuilt from SQLite.

Writes go through SQLite's write lock: a batch is encoded from the state the
writer knows, and its transaction first checks that the generation is still
that one; if another process wrote meanwhile, the writer reloads and encodes
the batch again. Readers of other processes see whole batches only.
"""

from __future__ import annotations

import array
import contextlib
import json
import logging
import os
import re
import sqlite3
import threading
from concurrent.futures import Future, ThreadPoolExecutor
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, Optional, Sequence,
                    Tuple)

from norvane import _core
from norvane._encoder import SparseEncoder, _saved_tokenizer
from norvane._filter import to_sql
from norvane._util import empty_like
from norvane.index import (MAX_K, Document, Hit, IndexOpenError, SearchIndex, _columns,
                           _id_list, _last_of_each)

_log = logging.getLogger("norvane")

FORMAT = 1
# Checkpoint when this many documents were written or removed since the last
# one (at close, flush, or while a reader opens the index), and in the middle
# of a long write once the newer documents outnumber the checkpointed ones.
CHECKPOINT_AT_CLOSE = 200
CHECKPOINT_AT_OPEN = 5000
CHECKPOINT_DURING_WRITE = 100_000
_COLLECTION = re.compile(r"^[A-Za-z_][A-Za-z0-9_]{0,254}$")
_HYBRID = ("hybrid dense search needs the Milvus backend: open the index with "
           "SearchIndex(uri, backend='milvus-lite', dense_dim=...) or a Milvus server URI")

_STATE_COLUMNS = ("generation", "docs", "doc_count", "length_total", "analysis", "b", "k1",
                  "external", "model", "cache", "watermark")


class _Stale(Exception):
    """Another process wrote since the batch was encoded."""


class _Batch:
    """A batch encoded and ready to be written in one transaction."""

    __slots__ = ("start", "end", "texts", "ids", "metadata", "vectors", "old", "fitted", "forgot",
                 "generation", "doc_count", "length_total", "model", "nums")

    def __init__(self, start: int, end: int) -> None:
        self.start, self.end = start, end
        self.texts: List[str] = []
        self.ids: List[str] = []
        self.metadata: List[str] = []
        self.vectors: List[bytes] = []
        self.old: List[Tuple[int, str]] = []  # (num, text) of the rows it replaces
        self.fitted: Optional[SparseEncoder] = None  # the batch's own frequencies
        self.forgot: Optional[SparseEncoder] = None  # those of the replaced texts
        self.generation = 0  # the state it was encoded from
        self.doc_count = 0  # the statistics after it
        self.length_total = 0
        self.model: Optional[str] = None  # external statistics after it
        self.nums: List[int] = []


def _pack(vector: Mapping[int, float]) -> bytes:
    ids = sorted(vector)
    return array.array("I", ids).tobytes() + array.array("f", [vector[i] for i in ids]).tobytes()


def _model_text(base: SparseEncoder, doc_count: int, length_total: int,
                frequencies: Mapping[str, int]) -> str:
    """Statistics in the model file's layout (docs/formats.md) with the
    document count, total length and the frequencies given: restored into an
    encoder, they weigh exactly as the full statistics do for these tokens."""
    average = length_total / doc_count if doc_count else 0.0
    return json.dumps({"_analysis": base.analysis, "_b": base.b, "_doc_count": doc_count,
                       "_doc_length_average": average, "_doc_length_total": length_total,
                       "_doc_token_frequency": frequencies, "_k1": base.k1},
                      ensure_ascii=False)


def _connect(path: str, timeout: Optional[float]) -> sqlite3.Connection:
    db = sqlite3.connect(path, timeout=timeout if timeout is not None else 1e9,
                         isolation_level=None, check_same_thread=False)
    try:
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=NORMAL")
    except BaseException:
        db.close()
        raise
    return db


class LocalIndex(SearchIndex):
    """The embedded store of a local path (see the module's description):
    SQLite holds the documents and statistics, a native inverted index the
    postings. Several processes may read it while one writes."""

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
        self.local = True
        self.dense_dim = None
        self._db: Optional[sqlite3.Connection] = None
        self._writer: Optional[sqlite3.Connection] = None
        if not uri.endswith(".db"):
            raise ValueError(f"a local index path ends in .db: {uri!r}")
        if not _COLLECTION.match(collection):
            raise ValueError(f"a collection name is letters, digits and _, not {collection!r}")
        if dense_dim is not None:
            raise ValueError(_HYBRID)
        if encoder_path is not None:
            raise ValueError("the local store keeps its statistics in the database itself: "
                             "encoder_path is for a Milvus backend")
        self.encoder_path = None
        self._timeout = timeout
        self._docs = f'"{collection}_docs"'
        self._gone = f'"{collection}_gone"'
        self._vectors = f'"{collection}_vectors"'
        self._lock = threading.RLock()
        self._cache: Optional[Any] = None  # the checkpoint's segment, dead marked
        self._cache_name: Optional[str] = None
        self._tail: List[Any] = []  # segments of documents after the checkpoint
        self._plus: Optional[SparseEncoder] = None  # frequencies of texts after it
        self._minus: Optional[SparseEncoder] = None  # of texts removed since
        self._full: Optional[SparseEncoder] = None  # the whole statistics, when loaded
        self._full_generation = -1
        self._changed = 0  # documents written or removed since the checkpoint
        self._wrote = False
        self._state: Dict[str, Any] = {}
        if not create and not os.path.exists(uri):
            raise IndexOpenError(f"no index at {uri}")
        os.makedirs(os.path.dirname(os.path.abspath(uri)), exist_ok=True)
        try:
            self._db = _connect(uri, timeout)
            self._open(encoder, create, repair)
        except sqlite3.DatabaseError as error:
            self.close()
            raise IndexOpenError(f"cannot open {uri}: {error}") from error
        except BaseException:
            self.close()
            raise

    # -- opening and loading ------------------------------------------------

    def _require(self) -> sqlite3.Connection:
        if self._db is None:
            raise ValueError("the index is closed")
        return self._db

    @contextlib.contextmanager
    def _transaction(self, db: sqlite3.Connection, write: bool = False) -> Iterator[None]:
        """One transaction (a read snapshot, or the write lock); inside one
        already open, that one."""
        if db.in_transaction:
            yield
            return
        db.execute("BEGIN IMMEDIATE" if write else "BEGIN")
        try:
            yield
            db.execute("COMMIT")
        except BaseException:
            # SQLite rolls back by itself after some errors (a full disk).
            if db.in_transaction:
                with contextlib.suppress(sqlite3.Error):
                    db.execute("ROLLBACK")
            raise

    def _read_state(self, db: sqlite3.Connection) -> Optional[Dict[str, Any]]:
        row = db.execute(f"SELECT {', '.join(_STATE_COLUMNS)} FROM norvane_state "
                         "WHERE collection = ?", (self.collection,)).fetchone()
        return None if row is None else dict(zip(_STATE_COLUMNS, row))

    def _has_state_table(self, db: sqlite3.Connection) -> bool:
        return db.execute("SELECT 1 FROM sqlite_master WHERE name = 'norvane_state'"
                          ).fetchone() is not None

    def _open(self, encoder: Optional[SparseEncoder], create: bool, repair: bool) -> None:
        db = self._require()
        state = self._read_state(db) if self._has_state_table(db) else None
        if state is None:
            if not create:
                raise IndexOpenError(f"no collection {self.collection!r} at {self.uri}")
            self._create(encoder)
            return
        if encoder is not None and encoder.document_count:
            raise ValueError(f"collection {self.collection!r} already has statistics in "
                             f"{self.uri}: pass an encoder without statistics")
        analysis = state["analysis"]
        tokenizer = encoder.tokenizer if encoder is not None else _saved_tokenizer(
            json.dumps({"_analysis": analysis}))
        base = SparseEncoder(tokenizer, b=state["b"], k1=state["k1"],
                             analysis=analysis.split(";")[0])
        if base.analysis != analysis:
            raise ValueError(f"collection {self.collection!r} was written with analysis "
                             f"{analysis!r}; the tokenizer given gives {base.analysis!r}")
        self._base = base
        with self._lock:
            self._load()
            if repair and self._state["external"]:
                self.rebuild_statistics()
            elif self._changed >= max(CHECKPOINT_AT_OPEN, self._cache_live() // 4):
                self._try_checkpoint()

    def _create(self, encoder: Optional[SparseEncoder]) -> None:
        db = self._require()
        given = encoder if encoder is not None else SparseEncoder()
        self._base = empty_like(given)
        external = given.document_count > 0
        with self._transaction(db, write=True):
            db.execute("CREATE TABLE IF NOT EXISTS norvane_state(collection TEXT PRIMARY KEY, "
                       "format INTEGER NOT NULL, generation INTEGER NOT NULL, "
                       "docs INTEGER NOT NULL, doc_count INTEGER NOT NULL, "
                       "length_total INTEGER NOT NULL, analysis TEXT NOT NULL, b REAL NOT NULL, "
                       "k1 REAL NOT NULL, external INTEGER NOT NULL, model TEXT, cache TEXT, "
                       "watermark INTEGER NOT NULL)")
            if self._read_state(db) is not None:  # another process was first
                pass
            else:
                db.execute(f"CREATE TABLE IF NOT EXISTS {self._docs}("
                           "num INTEGER PRIMARY KEY AUTOINCREMENT, id TEXT NOT NULL UNIQUE, "
                           "text TEXT NOT NULL, meta TEXT NOT NULL)")
                db.execute(f"CREATE TABLE IF NOT EXISTS {self._vectors}("
                           "num INTEGER PRIMARY KEY, vector BLOB NOT NULL)")
                db.execute(f"CREATE TABLE IF NOT EXISTS {self._gone}("
                           "num INTEGER PRIMARY KEY, text TEXT NOT NULL)")
                db.execute("INSERT INTO norvane_state(collection, format, generation, docs, "
                           "doc_count, length_total, analysis, b, k1, external, model, cache, "
                           "watermark) VALUES (?, ?, 0, 0, ?, ?, ?, ?, ?, ?, ?, NULL, 0)",
                           (self.collection, FORMAT, given.document_count,
                            given._native.length_total, given.analysis, given.b, given.k1,
                            int(external), given._native.model_text() if external else None))
        with self._lock:
            self._load()

    def _cache_live(self) -> int:
        return 0 if self._cache is None else int(self._cache.live_count)

    def _cache_path(self, name: str) -> str:
        return os.path.join(os.path.dirname(os.path.abspath(self.uri)), name)

    def _load(self) -> None:
        """Reads the state, maps the checkpoint and loads what came after it,
        all from one snapshot."""
        db = self._require()
        with self._transaction(db):
            state = self._read_state(db)
            if state is None:
                raise IndexOpenError(f"collection {self.collection!r} at {self.uri} was removed")
            cache = self._cache if state["cache"] == self._cache_name else None
            if state["cache"] is not None and cache is None:
                try:
                    cache = _core.PostingSegment.open(self._cache_path(state["cache"]))
                except (OSError, RuntimeError) as error:
                    _log.warning("%s: the postings of collection %r are rebuilt from the "
                                 "database (%s)", self.uri, self.collection, error)
            watermark = state["watermark"] if cache is not None else 0
            gone = (db.execute(f"SELECT num, text FROM {self._gone} ORDER BY num").fetchall()
                    if cache is not None else [])
            tail = db.execute(f"SELECT d.num, d.text, v.vector FROM {self._docs} AS d JOIN "
                              f"{self._vectors} AS v ON v.num = d.num WHERE d.num > ? "
                              "ORDER BY d.num", (watermark,)).fetchall()
        self._state = state
        self._cache_name = state["cache"] if cache is not None else None
        if cache is not None and gone:
            cache = cache.with_dead([num for num, _ in gone])
        self._cache = cache
        self._tail = [_core.PostingSegment.build([row[0] for row in tail],
                                                 [row[2] for row in tail])] if tail else []
        self._plus = empty_like(self._base).fit([row[1] for row in tail])
        self._minus = empty_like(self._base).fit([text for _, text in gone])
        self._changed = len(tail) + len(gone)
        if state["external"]:
            self._full = SparseEncoder._from_text(state["model"], self._base.tokenizer,
                                                  f"collection {self.collection!r}")
            self._full_generation = state["generation"]
        elif self._full_generation != state["generation"]:
            self._full = None

    def _sync(self) -> None:
        """Reloads when another process wrote (call inside a read transaction
        to keep the snapshot for what follows)."""
        row = self._require().execute("SELECT generation, cache FROM norvane_state WHERE "
                                      "collection = ?", (self.collection,)).fetchone()
        if row is None or row[0] != self._state["generation"]:
            self._load()

    # -- the statistics -----------------------------------------------------

    @property
    def encoder(self) -> SparseEncoder:
        """The whole statistics, as a :class:`norvane.SparseEncoder`: loaded
        (refitted on the stored texts) on first use; searching does not need
        them."""
        with self._lock:
            db = self._require()
            with self._transaction(db):
                self._sync()
                if self._full is None:
                    fresh = empty_like(self._base)
                    for (text,) in db.execute(f"SELECT text FROM {self._docs}"):
                        fresh.fit([text])
                    self._full = fresh
                    self._full_generation = self._state["generation"]
            return self._full

    def _weighing(self, doc_count: int, length_total: int) -> SparseEncoder:
        """An encoder without frequencies whose document weights equal the
        full statistics' with this count and total length."""
        encoder = empty_like(self._base)
        encoder._native.restore(_model_text(self._base, doc_count, length_total, {}))
        return encoder

    def _query_vectors(self, queries: List[str]) -> List[bytes]:
        """Packed query vectors, weighed with the current statistics."""
        if self._state["external"]:
            assert self._full is not None
            return list(self._full._native.encode(queries, True, "packed", 0))
        assert self._plus is not None and self._minus is not None
        # Right after a checkpoint the file holds every frequency.
        changes = [e._native if e.vocabulary_size else None for e in (self._plus, self._minus)]
        return list(self._base._native.encode_queries_from(
            queries, self._state["doc_count"], self._cache, *changes))

    # -- reading ------------------------------------------------------------

    def search(self, query: str, k: int = 10, filter: str = "", *,
               dense: Optional[Sequence[float]] = None,
               weights: Optional[Tuple[float, float]] = None) -> List[Hit]:
        """The k best documents for a query, best first: :class:`Hit`
        ``(id, score, text)`` with ``metadata``. ``filter`` is an expression
        on id, text and metadata (``'meta["lang"] == "zh"'``; the forms
        norvane._filter lists). Equal scores rank the earlier stored document
        first."""
        if not isinstance(query, str):
            raise TypeError(f"query must be str, not {type(query).__name__}")
        return self.search_many([query], k, filter, dense=None if dense is None else [dense],
                                weights=weights)[0]

    def search_many(self, queries: Sequence[str], k: int = 10, filter: str = "", *,
                    dense: Optional[Any] = None,
                    weights: Optional[Tuple[float, float]] = None) -> List[List[Hit]]:
        """The results of :meth:`search` for several queries."""
        if isinstance(queries, (str, bytes)):
            raise TypeError("queries must be a list of str, not a single "
                            f"{type(queries).__name__}: use search() for one query")
        if not 1 <= k <= MAX_K:
            raise ValueError(f"k must be between 1 and {MAX_K} (the most Milvus returns), "
                             f"not {k}")
        if dense is not None or weights is not None:
            raise ValueError(_HYBRID)
        queries = list(queries)
        for query in queries:
            if not isinstance(query, str):
                raise TypeError(f"queries must be str, not {type(query).__name__}")
        condition, params = to_sql(filter) if filter else ("", [])
        with self._lock:
            db = self._require()
            with self._transaction(db):
                self._sync()
                if not self._state["doc_count"] or not (self._cache is not None or self._tail):
                    return [[] for _ in queries]
                allowed = None
                if condition:
                    nums = [row[0] for row in db.execute(
                        f"SELECT num FROM {self._docs} WHERE {condition} ORDER BY num", params)]
                    allowed = array.array("Q", nums).tobytes()
                segments = ([self._cache] if self._cache is not None else []) + self._tail
                found = [_core.search_segments(segments, vector, k, allowed)
                         for vector in self._query_vectors(queries)]
                rows = self._rows_by_num({num for hits in found for num, _ in hits})
        return [[Hit(rows[num][0], score, rows[num][1], _metadata(rows[num][2]))
                 for num, score in hits if num in rows] for hits in found]

    def _rows_by_num(self, nums: Iterable[int]) -> Dict[int, Tuple[str, str, str]]:
        wanted = sorted(nums)
        rows: Dict[int, Tuple[str, str, str]] = {}
        db = self._require()
        for start in range(0, len(wanted), 10000):
            chunk = wanted[start:start + 10000]
            marks = ",".join("?" * len(chunk))
            for num, id, text, meta in db.execute(
                    f"SELECT num, id, text, meta FROM {self._docs} WHERE num IN ({marks})", chunk):
                rows[num] = (id, text, meta)
        return rows

    def _rows_by_id(self, ids: Sequence[str], columns: str = "num, id, text, meta"
                    ) -> List[Tuple[Any, ...]]:
        db = self._require()
        rows: List[Tuple[Any, ...]] = []
        for start in range(0, len(ids), 10000):
            chunk = list(ids[start:start + 10000])
            marks = ",".join("?" * len(chunk))
            rows.extend(db.execute(f"SELECT {columns} FROM {self._docs} WHERE id IN ({marks})",
                                   chunk))
        return rows

    def get(self, ids: Iterable[Any]) -> List[Optional[Document]]:
        """The stored documents of these ids, in order; None for an id that
        is not stored."""
        id_list = _id_list(ids)
        with self._lock:
            found = {id: Document(id, text, _metadata(meta))
                     for _, id, text, meta in self._rows_by_id(id_list)}
        return [found.get(id) for id in id_list]

    def count(self) -> int:
        """Number of stored documents."""
        with self._lock:
            row = self._require().execute("SELECT docs FROM norvane_state WHERE collection = ?",
                                          (self.collection,)).fetchone()
        return int(row[0]) if row else 0

    def files(self) -> List[str]:
        """The files of a local index besides the ``.db`` itself: the
        checkpoint's postings (derived: rebuilt when missing) and SQLite's
        write-ahead log and its index while the database is open."""
        path = os.path.abspath(self.uri)
        files = [path + "-wal", path + "-shm"]
        if self._cache_name is not None:
            files.insert(0, self._cache_path(self._cache_name))
        return files

    # -- writing ------------------------------------------------------------

    def add(self, texts: Iterable[str], ids: Optional[Iterable[Any]] = None,
            metadata: Optional[Iterable[Optional[Mapping[str, Any]]]] = None, *,
            batch_size: int = 5000, progress: Optional[Callable[[int], None]] = None,
            dense: Optional[Any] = None) -> List[str]:
        """Fits the statistics on the texts, encodes them and stores them, one
        transaction per batch (see :meth:`norvane.SearchIndex.add`): a batch
        is stored whole, with its statistics, or not at all."""
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        if dense is not None:
            raise ValueError(_HYBRID)
        text_list, id_list, _, blobs = _columns(texts, ids, metadata)
        keep = _last_of_each(id_list) if ids is not None else None
        stored_ids = id_list
        if keep is not None and len(keep) < len(id_list):
            text_list = [text_list[i] for i in keep]
            stored_ids = [id_list[i] for i in keep]
            blobs = [blobs[i] for i in keep]
        self._write(text_list, stored_ids, [b.decode("utf-8") for b in blobs], batch_size,
                    progress, check_existing=ids is not None)
        return id_list

    def add_encoded(self, texts: Sequence[str], vectors: Sequence[Mapping[int, float]],
                    ids: Optional[Sequence[Any]] = None,
                    metadata: Optional[Sequence[Optional[Mapping[str, Any]]]] = None,
                    dense: Optional[Any] = None) -> List[str]:
        """Stores documents already encoded (``output="ids"``), replacing
        stored documents of the same ids, in one transaction; the statistics
        are left as they are, and are then no longer a function of the stored
        texts alone."""
        if dense is not None:
            raise ValueError(_HYBRID)
        text_list, id_list, _, blobs = _columns(texts, ids, metadata)
        if len(vectors) != len(text_list):
            raise ValueError(f"{len(text_list)} texts but {len(vectors)} vectors")
        packed = [_pack(vector) for vector in vectors]
        with self._lock:
            if not self._state["external"]:
                full = self.encoder
                self._state = dict(self._state, external=1)
                self._full = full
            keep = _last_of_each(id_list)
            self._write([text_list[i] for i in keep], [id_list[i] for i in keep],
                        [blobs[i].decode("utf-8") for i in keep], max(1, len(keep)), None,
                        check_existing=True, packed=[packed[i] for i in keep])
        return id_list

    def _prepare(self, start: int, texts: List[str], ids: List[str], metadata: List[str],
                 check_existing: bool, after: Optional[_Batch],
                 packed: Optional[List[bytes]] = None) -> _Batch:
        """Encodes one batch with the statistics as they will be once the
        batch before it (``after``) is stored."""
        batch = _Batch(start, start + len(texts))
        batch.texts, batch.ids, batch.metadata = texts, ids, metadata
        batch.generation = after.generation + 1 if after is not None else self._state["generation"]
        doc_count = after.doc_count if after is not None else self._state["doc_count"]
        length_total = after.length_total if after is not None else self._state["length_total"]
        if check_existing:
            batch.old = [(num, text) for num, _, text, _ in self._rows_by_id(ids)]
        if self._state["external"]:
            full = self._full
            assert full is not None
            if packed is not None:  # stored as given; the statistics stay
                batch.vectors = packed
            else:
                if batch.old:
                    forget = empty_like(self._base).fit([text for _, text in batch.old])
                    with contextlib.suppress(ValueError):  # statistics that never held them
                        full.subtract(forget)
                batch.vectors = full._native.fit_encode(texts, "packed", 0)
            batch.doc_count, batch.length_total = full.document_count, full._native.length_total
            batch.model = full._native.model_text()
            return batch
        if batch.old:
            batch.forgot = empty_like(self._base).fit([text for _, text in batch.old])
            doc_count -= batch.forgot.document_count
            length_total -= batch.forgot._native.length_total
        weighing = self._weighing(doc_count, length_total)
        batch.vectors = weighing._native.fit_encode(texts, "packed", 0)
        batch.fitted = weighing
        batch.doc_count = weighing.document_count
        batch.length_total = weighing._native.length_total
        return batch

    def _insert(self, batch: _Batch) -> None:
        """Writes one batch in one transaction (on the writer's connection)."""
        db = self._writer
        assert db is not None
        with self._transaction(db, write=True):
            generation, watermark = db.execute(
                "SELECT generation, watermark FROM norvane_state WHERE collection = ?",
                (self.collection,)).fetchone()
            if generation != batch.generation:
                raise _Stale()
            if batch.old:
                old_nums = [num for num, _ in batch.old]
                marks = ",".join("?" * len(old_nums))
                db.execute(f"DELETE FROM {self._docs} WHERE num IN ({marks})", old_nums)
                db.execute(f"DELETE FROM {self._vectors} WHERE num IN ({marks})", old_nums)
                db.executemany(f"INSERT INTO {self._gone}(num, text) VALUES (?, ?)",
                               [(num, text) for num, text in batch.old if num <= watermark])
            row = db.execute("SELECT seq FROM sqlite_sequence WHERE name = ?",
                             (self._docs.strip('"'),)).fetchone()
            first = (row[0] if row else 0) + 1
            batch.nums = list(range(first, first + len(batch.texts)))
            db.executemany(f"INSERT INTO {self._docs}(num, id, text, meta) VALUES (?, ?, ?, ?)",
                           zip(batch.nums, batch.ids, batch.texts, batch.metadata))
            db.executemany(f"INSERT INTO {self._vectors}(num, vector) VALUES (?, ?)",
                           zip(batch.nums, batch.vectors))
            db.execute("UPDATE norvane_state SET generation = ?, docs = docs + ?, "
                       "doc_count = ?, length_total = ?, external = ?, model = ? "
                       "WHERE collection = ?",
                       (batch.generation + 1, len(batch.texts) - len(batch.old),
                        batch.doc_count, batch.length_total, int(bool(self._state["external"])),
                        batch.model, self.collection))

    def _apply(self, batch: _Batch) -> None:
        """The in-memory view after a batch was stored."""
        if batch.old:
            self._mark_dead([num for num, _ in batch.old])
        if batch.nums:
            self._tail.append(_core.PostingSegment.build(batch.nums, batch.vectors))
        assert self._plus is not None and self._minus is not None
        if batch.fitted is not None:
            self._plus.merge(batch.fitted)
        if batch.forgot is not None:
            self._minus.merge(batch.forgot)
        self._state = dict(self._state, generation=batch.generation + 1,
                           docs=self._state["docs"] + len(batch.texts) - len(batch.old),
                           doc_count=batch.doc_count, length_total=batch.length_total,
                           model=batch.model)
        if self._state["external"]:
            self._full_generation = self._state["generation"]
        else:
            self._full = None
        self._changed += len(batch.texts) + len(batch.old)
        self._wrote = True

    def _mark_dead(self, nums: List[int]) -> None:
        if self._cache is not None:
            self._cache = self._cache.with_dead(nums)
        self._tail = [segment.with_dead(nums) for segment in self._tail]

    def _writer_db(self) -> sqlite3.Connection:
        if self._writer is None:
            self._writer = _connect(self.uri, self._timeout)
        return self._writer

    def _write(self, texts: List[str], ids: List[str], metadata: List[str], batch_size: int,
               progress: Optional[Callable[[int], None]], check_existing: bool,
               packed: Optional[List[bytes]] = None) -> None:
        """Writes batches, one transaction each, the next batch encoded while
        the one before is written. Ctrl-C waits for the write in flight, so
        that what it stored is known, and then raises KeyboardInterrupt."""
        with self._lock:
            self._require()
            self._writer_db()
            self._read_and_sync()
            interrupt: Optional[BaseException] = None
            with ThreadPoolExecutor(max_workers=1) as pool:
                pending: Optional[Tuple["Future[None]", _Batch]] = None
                start = 0
                try:
                    while True:
                        prepared = None
                        if start < len(texts) and interrupt is None:
                            end = min(start + batch_size, len(texts))
                            prepared = self._prepare(
                                start, texts[start:end], ids[start:end], metadata[start:end],
                                check_existing, pending[1] if pending is not None else None,
                                None if packed is None else packed[start:end])
                        if pending is not None:
                            future, written = pending
                            pending = None
                            try:
                                interrupt = _settle(future) or interrupt
                            except _Stale:
                                self._load()  # another process wrote: encode again
                                start = written.start
                                continue
                            self._apply(written)
                            if progress is not None:
                                progress(written.end - written.start)
                            if (prepared is not None and self._changed >= max(
                                    CHECKPOINT_DURING_WRITE, self._cache_live())):
                                self._checkpoint()
                                start = prepared.start  # encoded from the generation before
                                continue
                        if prepared is None:
                            break
                        pending = (pool.submit(self._insert, prepared), prepared)
                        start = prepared.end
                except BaseException:
                    if pending is not None:  # the error on its way out wins over this one's
                        with contextlib.suppress(BaseException):
                            _settle(pending[0])
                            self._apply(pending[1])
                    if self._state["external"]:
                        with contextlib.suppress(Exception):
                            self._load()  # the statistics of the stored rows
                    raise
            if interrupt is not None:
                raise interrupt

    def _read_and_sync(self) -> None:
        with self._transaction(self._require()):
            self._sync()

    def delete(self, ids: Iterable[Any]) -> int:
        """Deletes the documents of these ids, and their texts from the
        statistics, in one transaction. Returns how many were stored."""
        id_list = _id_list(ids)
        with self._lock:
            self._writer_db()
            while True:
                self._read_and_sync()
                old = [(num, text) for num, _, text, _ in self._rows_by_id(id_list)]
                if not old:
                    return 0
                batch = _Batch(0, 0)
                batch.old = old
                batch.generation = self._state["generation"]
                forgot = empty_like(self._base).fit([text for _, text in old])
                if self._state["external"]:
                    assert self._full is not None
                    with contextlib.suppress(ValueError):
                        self._full.subtract(forgot)
                    batch.model = self._full._native.model_text()
                    batch.doc_count = self._full.document_count
                    batch.length_total = self._full._native.length_total
                else:
                    batch.forgot = forgot
                    batch.doc_count = self._state["doc_count"] - forgot.document_count
                    batch.length_total = (self._state["length_total"]
                                          - forgot._native.length_total)
                if self._write_batch(batch):
                    return len(old)

    def _write_batch(self, batch: _Batch) -> bool:
        """Writes batch and applies it here; False, with the state read
        again, when another process wrote first (encode it again)."""
        try:
            self._insert(batch)
        except _Stale:
            self._load()
            return False
        self._apply(batch)
        return True

    def reindex(self, batch_size: int = 5000,
                progress: Optional[Callable[[int, int], None]] = None) -> int:
        """Re-encodes every stored document with the current statistics,
        batch by batch (one transaction each; the statistics do not change).
        Returns the number of documents rewritten; ``progress(done, total)``
        is called after each batch. If it stops half way, running it again
        finishes the work."""
        with self._lock:
            self._writer_db()
            self._read_and_sync()
            last = self._require().execute(f"SELECT max(num) FROM {self._docs}").fetchone()[0]
            total = self.count()
            done = 0
            after = 0
            while last is not None:
                rows = self._require().execute(
                    f"SELECT num, id, text, meta FROM {self._docs} WHERE num > ? AND num <= ? "
                    "ORDER BY num LIMIT ?", (after, last, batch_size)).fetchall()
                if not rows:
                    break
                self._read_and_sync()
                batch = _Batch(0, len(rows))
                batch.generation = self._state["generation"]
                batch.old = [(num, text) for num, _, text, _ in rows]
                batch.texts = [text for _, _, text, _ in rows]
                batch.ids = [id for _, id, _, _ in rows]
                batch.metadata = [meta for _, _, _, meta in rows]
                batch.doc_count = self._state["doc_count"]
                batch.length_total = self._state["length_total"]
                batch.model = self._state["model"]
                encoder = (self._full if self._state["external"]
                           else self._weighing(batch.doc_count, batch.length_total))
                assert encoder is not None
                batch.vectors = encoder._native.encode(batch.texts, False, "packed", 0)
                # Removed and added again: the frequencies do not change.
                if not self._write_batch(batch):
                    continue
                after = rows[-1][0]
                done += len(rows)
                if progress is not None:
                    progress(done, total)
            self._checkpoint_if(CHECKPOINT_AT_CLOSE)
            return done

    def rebuild_statistics(self) -> None:
        """Refits the statistics on the stored texts alone: statistics fitted
        elsewhere (an encoder given with statistics, ``add_encoded``) become
        a function of the stored texts again."""
        with self._lock:
            self._writer_db()
            while True:
                self._read_and_sync()
                fresh = empty_like(self._base)
                for (text,) in self._require().execute(f"SELECT text FROM {self._docs}"):
                    fresh.fit([text])
                db = self._writer
                assert db is not None
                try:
                    with self._transaction(db, write=True):
                        state = self._read_state(db)
                        if state is None or state["generation"] != self._state["generation"]:
                            raise _Stale()
                        db.execute("UPDATE norvane_state SET generation = generation + 1, "
                                   "doc_count = ?, length_total = ?, external = 0, model = NULL "
                                   "WHERE collection = ?",
                                   (fresh.document_count, fresh._native.length_total,
                                    self.collection))
                except _Stale:
                    continue
                break
            self._load()
            self._full = fresh
            self._full_generation = self._state["generation"]
            self._checkpoint(fresh)

    def clear(self) -> None:
        """Deletes every document and the statistics: the index is as new,
        with the same analysis, ``b`` and ``k1``."""
        with self._lock:
            db = self._writer_db()
            self._require()
            with self._transaction(db, write=True):
                row = db.execute("SELECT seq FROM sqlite_sequence WHERE name = ?",
                                 (self._docs.strip('"'),)).fetchone()
                db.execute(f"DELETE FROM {self._docs}")
                db.execute(f"DELETE FROM {self._vectors}")
                db.execute(f"DELETE FROM {self._gone}")
                db.execute("UPDATE norvane_state SET generation = generation + 1, docs = 0, "
                           "doc_count = 0, length_total = 0, external = 0, model = NULL, "
                           "cache = NULL, watermark = ? WHERE collection = ?",
                           (row[0] if row else 0, self.collection))
            old = self._cache_name
            self._cache = None
            self._load()
            if old is not None:
                with contextlib.suppress(OSError):
                    os.unlink(self._cache_path(old))

    # -- checkpoints --------------------------------------------------------

    def _checkpoint(self, full: Optional[SparseEncoder] = None) -> bool:
        """Writes the postings of every live document and the document
        frequencies as one segment file and names it in the state row.
        False when another process wrote meanwhile (nothing changes)."""
        segments = ([self._cache] if self._cache is not None else []) + self._tail
        generation = self._state["generation"]
        if full is None and self._state["external"]:
            full = self._full
        if full is not None:
            frequencies: List[Tuple[Any, int]] = [(full._native.document_frequencies(), 1)]
        else:
            assert self._plus is not None and self._minus is not None
            frequencies = ([(self._cache, 1)] if self._cache is not None else []) + [
                (self._plus._native.document_frequencies(), 1),
                (self._minus._native.document_frequencies(), -1)]
        watermark = max([self._state["watermark"]] +
                        [max(segment.nums()) for segment in self._tail if segment.doc_count])
        name = f"{os.path.basename(self.uri)}.{self.collection}.{generation}.postings"
        path = self._cache_path(name)
        meta = json.dumps({"generation": generation, "watermark": watermark}).encode()
        _core.merge_segments(segments, frequencies, meta, path)
        db = self._writer_db()
        try:
            with self._transaction(db, write=True):
                state = self._read_state(db)
                if state is None or state["generation"] != generation:
                    raise _Stale()
                db.execute(f"DELETE FROM {self._gone}")
                db.execute("UPDATE norvane_state SET generation = generation + 1, cache = ?, "
                           "watermark = ? WHERE collection = ?",
                           (name, watermark, self.collection))
        except BaseException as error:
            if self._cache_name != name:
                with contextlib.suppress(OSError):
                    os.unlink(path)
            if isinstance(error, _Stale):
                return False
            raise
        old = self._cache_name
        self._cache = _core.PostingSegment.open(path)
        self._cache_name = name
        self._tail = []
        self._plus = empty_like(self._base)
        self._minus = empty_like(self._base)
        self._changed = 0
        self._state = dict(self._state, generation=generation + 1, cache=name,
                           watermark=watermark)
        if self._full is not None:
            self._full_generation = generation + 1
        if old is not None and old != name:
            with contextlib.suppress(OSError):
                os.unlink(self._cache_path(old))
        return True

    def _try_checkpoint(self) -> None:
        """A checkpoint by a reader: skipped when a writer holds the lock."""
        try:
            self._checkpoint()
        except sqlite3.OperationalError as error:
            _log.info("%s: checkpoint skipped (%s)", self.uri, error)

    def _checkpoint_if(self, changed: int) -> None:
        if self._changed >= changed or (self._changed and not self._cache_live()):
            self._checkpoint()

    def flush(self) -> None:
        """Writes a checkpoint of everything stored (the postings file), so
        that the next open reads nothing but the state."""
        with self._lock:
            self._require()
            self._read_and_sync()
            if self._changed:
                self._checkpoint()

    def save_encoder(self) -> None:
        """Nothing to do: the statistics are saved with every batch."""

    def close(self) -> None:
        """Writes a checkpoint if this process changed enough since the last
        one, and closes the database. Calling it again does nothing."""
        with self._lock:
            try:
                if self._db is not None and self._wrote:
                    with contextlib.suppress(sqlite3.Error, _Stale):
                        self._read_and_sync()
                        self._checkpoint_if(
                            max(1, min(CHECKPOINT_AT_CLOSE, self._cache_live() // 100)))
            finally:
                for db in (self._writer, self._db):
                    if db is not None:
                        db.close()
                self._db = self._writer = None
                self._cache = None
                self._tail = []

    def __repr__(self) -> str:
        state = "" if self._db is not None else ", closed"
        return f"SearchIndex(uri={self.uri!r}, collection={self.collection!r}, local store{state})"


def _settle(future: "Future[None]") -> Optional[BaseException]:
    """Waits for a write; a Ctrl-C meanwhile is returned once it has ended."""
    interrupt: Optional[BaseException] = None
    while True:
        try:
            future.result()
            return interrupt
        except KeyboardInterrupt as error:  # Ctrl-C in this thread: wait on
            interrupt = error


def _metadata(meta: Optional[str]) -> Optional[Dict[str, Any]]:
    if not meta or meta == "{}":
        return None
    value = json.loads(meta)
    return value if value else None
