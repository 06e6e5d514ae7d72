"""A search index of sparse BM25 vectors in Milvus.

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
import itertools
import json
import logging
import os
import threading
import uuid
from concurrent.futures import Future, ThreadPoolExecutor
from typing import (Any, Callable, Dict, Iterable, Iterator, List, Mapping, NamedTuple,
                    Optional, Sequence, Tuple)

import numpy as np

from norvane._encoder import SparseEncoder
from norvane._util import empty_like, snapshot

try:
    from pymilvus import DataType, MilvusClient
    from pymilvus.exceptions import MilvusException
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError(
        "norvane.SearchIndex needs pymilvus and milvus-lite: pip install 'pynorvane[milvus]'"
    ) from error

__all__ = ["Hit", "IndexOpenError", "MilvusException", "SearchIndex", "sparse_rows"]

ID, TEXT, META, VECTOR = "id", "text", "meta", "vector"
MAX_ID_LENGTH = 512
MAX_TEXT_BYTES = 65535  # the longest VARCHAR a Milvus field holds
# Milvus takes sparse dimensions below 2**32 - 1: the one hash value outside
# that range shares the dimension below it, in documents and queries alike.
_TOP_DIMENSION = 2**32 - 1
# Milvus refuses empty sparse vectors; a document without a searchable word
# is stored with a negligible weight on one dimension, and such scores are
# dropped from results.
_EMPTY_VECTOR = {2**32 - 2: 1e-30}
_MIN_SCORE = 1e-20
_SERVER_SCHEMES = ("http://", "https://", "tcp://", "unix:")

class IndexOpenError(RuntimeError):
    """An index that cannot be opened as asked (missing, not an index, statistics lost)."""


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
    """True for a path that Milvus Lite serves, False for a server address."""
    return not uri.startswith(_SERVER_SCHEMES)


# Milvus Lite runs one server per file and process; it is stopped, and the
# file's lock released, when the last index of this process that uses it closes.
_local_users: Dict[str, int] = {}
_local_lock = threading.Lock()


def _connect(uri: str, token: str, timeout: Optional[float]) -> MilvusClient:
    try:
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


def _storable(vector: Mapping[int, float]) -> Dict[int, float]:
    """A vector as Milvus takes it (see _TOP_DIMENSION and _EMPTY_VECTOR)."""
    if not vector:
        return dict(_EMPTY_VECTOR)
    stored = dict(vector)
    if _TOP_DIMENSION in stored:
        top = stored.pop(_TOP_DIMENSION)
        stored[_TOP_DIMENSION - 1] = stored.get(_TOP_DIMENSION - 1, 0.0) + top
    return stored


def sparse_rows(vectors: Sequence[Mapping[int, float]]) -> Tuple[List[bytes], int]:
    """Vectors in Milvus' sparse row format, and the dimension they span.

    A row is its (uint32 dimension, float32 weight) pairs, little-endian and
    sorted by dimension, as pymilvus would send them; built with numpy for the
    whole batch instead of one Python call per pair.
    """
    count = len(vectors)
    lengths = np.fromiter(map(len, vectors), dtype=np.int64, count=count)
    total = int(lengths.sum())
    dims = np.fromiter(itertools.chain.from_iterable(vectors), dtype=np.uint64, count=total)
    weights = np.fromiter(itertools.chain.from_iterable(v.values() for v in vectors),
                          dtype=np.float32, count=total)
    rows = np.repeat(np.arange(count, dtype=np.uint64), lengths)
    empty = np.flatnonzero(lengths == 0).astype(np.uint64)
    if len(empty):
        (dim, weight), = _EMPTY_VECTOR.items()
        rows = np.concatenate([rows, empty])
        dims = np.concatenate([dims, np.full(len(empty), dim, np.uint64)])
        weights = np.concatenate([weights, np.full(len(empty), weight, np.float32)])
    dims[dims == _TOP_DIMENSION] = _TOP_DIMENSION - 1
    keys = (rows << np.uint64(32)) | dims
    order = np.argsort(keys, kind="stable")
    keys, weights = keys[order], weights[order]
    first = np.ones(len(keys), dtype=bool)
    np.not_equal(keys[1:], keys[:-1], out=first[1:])
    if not first.all():  # the folded top dimension met its neighbour
        starts = np.flatnonzero(first)
        keys, weights = keys[starts], np.add.reduceat(weights, starts)
    pairs = np.empty(len(keys), dtype=[("dim", "<u4"), ("weight", "<f4")])
    pairs["dim"] = keys & np.uint64(0xFFFFFFFF)
    pairs["weight"] = weights
    data = pairs.tobytes()
    ends = (np.cumsum(np.bincount((keys >> np.uint64(32)).astype(np.int64), minlength=count))
            * pairs.itemsize).tolist()
    return [data[a:b] for a, b in zip([0] + ends[:-1], ends)], int(pairs["dim"].max()) + 1


def _direct_write(client: MilvusClient) -> Optional[Any]:
    """An insert (or upsert) that sends a request built by :func:`sparse_rows`
    and protobuf's bulk setters on the client's own channel and credentials.

    pymilvus converts rows value by value in Python, several times slower
    than Milvus Lite stores them. This reaches into pymilvus internals that
    2.5 to 3.0 share; where they are missing it returns None and rows go
    through ``MilvusClient.insert`` and ``upsert``.
    """
    try:
        from pymilvus.client.utils import check_status
        from pymilvus.grpc_gen import milvus_pb2

        stub = client._get_connection()._stub
        stub.Insert, stub.Upsert
        client._generate_call_context().to_grpc_metadata()
    except Exception:
        return None

    def write(collection: str, ids: List[str], texts: List[str], metadata: List[bytes],
              vectors: Sequence[Mapping[int, float]], upsert: bool) -> None:
        contents, dim = sparse_rows(vectors)
        kind = milvus_pb2.UpsertRequest if upsert else milvus_pb2.InsertRequest
        request = kind(collection_name=collection, num_rows=len(ids))
        for name, kind, values in ((ID, DataType.VARCHAR, ids), (TEXT, DataType.VARCHAR, texts)):
            field = request.fields_data.add(field_name=name, type=kind)
            field.scalars.string_data.data.extend(values)
        field = request.fields_data.add(field_name=META, type=DataType.JSON)
        field.scalars.json_data.data.extend(metadata)
        field = request.fields_data.add(field_name=VECTOR, type=DataType.SPARSE_FLOAT_VECTOR)
        field.vectors.dim = dim
        field.vectors.sparse_float_vector.dim = dim
        field.vectors.sparse_float_vector.contents.extend(contents)
        stub = client._get_connection()._stub
        response = (stub.Upsert if upsert else stub.Insert)(
            request, metadata=client._generate_call_context().to_grpc_metadata())
        check_status(response.status)

    return write


class SearchIndex:
    """Documents, their BM25 vectors and the encoder statistics, in Milvus.

    Args:
        uri: a local path ending in ``.db`` (Milvus Lite, in this process) or
            a Milvus server address such as ``"http://host:19530"``.
        collection: name of the Milvus collection.
        encoder: the :class:`norvane.SparseEncoder` of a new index (its
            analysis, ``b``, ``k1`` and any statistics it already has);
            ``None`` for a default encoder. An index with saved statistics
            loads them; an encoder without statistics given then names the
            tokenizer to load them with (the file does not keep it).
        token: credentials for a server (``"user:password"`` or an API key).
        encoder_path: where the encoder statistics are kept; defaults to
            ``<uri>.<collection>.encoder.json`` beside a local index and must
            be given for a server.
        timeout: seconds to wait for a server before giving up.
        create: create the collection if it does not exist; with ``False`` a
            missing index raises :class:`IndexOpenError`.

    The statistics are saved after every successful :meth:`add` and reloaded
    on open. Only one object should write to an index at a time.

    Stored vectors and growing statistics: a document vector is weighed with
    the average document length of the statistics when it was added, while a
    query is always weighed with the current statistics (its IDF). Documents
    added early therefore keep the length normalisation of a smaller corpus;
    scores drift little while the average length is stable, and
    :meth:`reindex` re-encodes every stored document with the current
    statistics.
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
    ) -> None:
        self.uri = uri
        self.collection = collection
        self.local = is_local_uri(uri)
        if self.local and not uri.endswith(".db"):
            raise ValueError(f"a local index path ends in .db: {uri!r}")
        if encoder_path is None:
            if not self.local:
                raise ValueError("an index on a Milvus server needs encoder_path: "
                                 "the file that keeps its encoder statistics")
            encoder_path = f"{uri}.{collection}.encoder.json"
        self.encoder_path = encoder_path
        self._client: Optional[MilvusClient] = None
        self._direct: Optional[Any] = None
        if self.local:
            if not create and not os.path.exists(uri):
                raise IndexOpenError(f"no index at {uri}")
            parent = os.path.dirname(os.path.abspath(uri))
            os.makedirs(parent, exist_ok=True)
        self._client = _connect(uri, token, timeout)
        self._direct = _direct_write(self._client)
        if self.local:
            with _local_lock:
                key = os.path.abspath(uri)
                _local_users[key] = _local_users.get(key, 0) + 1
        try:
            self.encoder = self._open(encoder, create)
        except BaseException:
            self.close()
            raise

    # -- opening ---------------------------------------------------------

    def _open(self, encoder: Optional[SparseEncoder], create: bool) -> SparseEncoder:
        client = self._require_client()
        if not client.has_collection(self.collection):
            if not create:
                raise IndexOpenError(f"no collection {self.collection!r} at {self.uri}")
            self._create_collection()
            encoder = encoder if encoder is not None else SparseEncoder()
            encoder.save(self.encoder_path)  # replaces one left by a dropped collection
            return encoder
        self._check_schema()
        client.load_collection(self.collection)
        if not os.path.exists(self.encoder_path):
            if self.count():
                raise IndexOpenError(f"the encoder statistics of collection {self.collection!r} "
                                     f"are missing: no file {self.encoder_path}")
            encoder = encoder if encoder is not None else SparseEncoder()
            encoder.save(self.encoder_path)
            return encoder
        if encoder is None:
            return SparseEncoder.load(self.encoder_path)
        # The encoder given names the analysis (the file does not keep the tokenizer).
        if encoder.document_count:
            raise ValueError(f"collection {self.collection!r} already has statistics in "
                             f"{self.encoder_path}: pass an encoder without statistics")
        saved = SparseEncoder.load(self.encoder_path, tokenizer=encoder.tokenizer)
        if (saved.b, saved.k1) != (encoder.b, encoder.k1):
            raise ValueError(f"the statistics in {self.encoder_path} have b={saved.b}, "
                             f"k1={saved.k1}; the encoder given b={encoder.b}, k1={encoder.k1}")
        return saved

    def _create_collection(self) -> None:
        client = self._require_client()
        schema = client.create_schema(auto_id=False, enable_dynamic_field=False)
        schema.add_field(ID, DataType.VARCHAR, is_primary=True, max_length=MAX_ID_LENGTH)
        schema.add_field(TEXT, DataType.VARCHAR, max_length=MAX_TEXT_BYTES)
        schema.add_field(META, DataType.JSON)  # {} for none: Milvus Lite has no nullable fields
        schema.add_field(VECTOR, DataType.SPARSE_FLOAT_VECTOR)
        index = client.prepare_index_params()
        index.add_index(field_name=VECTOR, index_type="SPARSE_INVERTED_INDEX", metric_type="IP")
        client.create_collection(self.collection, schema=schema, index_params=index)

    def _check_schema(self) -> None:
        fields = {f["name"]: f["type"] for f in
                  self._require_client().describe_collection(self.collection)["fields"]}
        expected = {ID: DataType.VARCHAR, TEXT: DataType.VARCHAR, META: DataType.JSON,
                    VECTOR: DataType.SPARSE_FLOAT_VECTOR}
        if any(fields.get(name) != kind for name, kind in expected.items()):
            raise IndexOpenError(f"collection {self.collection!r} at {self.uri} is not a "
                                 f"search index (fields {sorted(fields)})")

    def _require_client(self) -> MilvusClient:
        if self._client is None:
            raise ValueError("the index is closed")
        return self._client

    # -- writing ---------------------------------------------------------

    def add(
        self,
        texts: Iterable[str],
        ids: Optional[Iterable[Any]] = None,
        metadata: Optional[Iterable[Optional[Mapping[str, Any]]]] = None,
        *,
        batch_size: int = 5000,
        progress: Optional[Callable[[int], None]] = None,
    ) -> List[str]:
        """Fits the encoder on the texts, encodes them and stores them.

        Args:
            texts: the documents.
            ids: one id per text (converted to ``str``, at most 512 bytes);
                ``None`` for new random ids.
            metadata: one JSON-serialisable dict (or ``None``) per text,
                returned with search results and usable in ``filter``.
            batch_size: documents per insert.
            progress: called with the number of documents of each batch
                stored.

        Returns the ids of the stored documents. Each batch is analysed and
        encoded completely before one insert; a batch that fails leaves
        neither rows nor statistics behind (batches before it stay stored),
        and the exception is raised. Ids should be new: an id given twice is
        stored twice.
        """
        text_list, id_list, meta_list = _columns(texts, ids, metadata)
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        # One batch is inserted (by Milvus, elsewhere) while the next is
        # encoded here; the statistics go back to their state before the
        # first batch that failed, and nothing after it is sent.
        pending: Optional[Tuple["Future[None]", SparseEncoder, int]] = None
        stored = False
        with ThreadPoolExecutor(max_workers=1) as inserter:
            try:
                for start in range(0, len(text_list), batch_size):
                    end = start + batch_size
                    before = snapshot(self.encoder)
                    try:
                        vectors = self.encoder.fit_encode_documents(text_list[start:end],
                                                                    output="ids")
                    except BaseException:
                        self.encoder = before
                        raise
                    if pending is not None:
                        done, pending = pending, None
                        self._finish(done, progress)
                        stored = True
                    pending = (inserter.submit(
                        self._insert, text_list[start:end], vectors, id_list[start:end],
                        None if meta_list is None else meta_list[start:end]), before,
                        len(text_list[start:end]))
                if pending is not None:
                    done, pending = pending, None
                    self._finish(done, progress)
                    stored = True
            finally:
                if pending is not None:  # the error on its way out wins over this one's
                    try:
                        self._finish(pending)
                        stored = True
                    except BaseException:
                        pass
                if stored:
                    self.save_encoder()
        return id_list

    def _finish(self, pending: Tuple["Future[None]", SparseEncoder, int],
                progress: Optional[Callable[[int], None]] = None) -> None:
        """Waits for an insert; on failure restores the statistics from before it."""
        insert, before, count = pending
        try:
            insert.result()
        except BaseException:
            self.encoder = before
            raise
        if progress is not None:
            progress(count)

    def add_encoded(
        self,
        texts: Sequence[str],
        vectors: Sequence[Mapping[int, float]],
        ids: Optional[Sequence[Any]] = None,
        metadata: Optional[Sequence[Optional[Mapping[str, Any]]]] = None,
    ) -> List[str]:
        """Stores documents already encoded (``output="ids"``) with this
        index's encoder, in one insert; the statistics are left as they are.

        Returns the ids of the stored documents.
        """
        text_list, id_list, meta_list = _columns(texts, ids, metadata)
        if len(vectors) != len(text_list):
            raise ValueError(f"{len(text_list)} texts but {len(vectors)} vectors")
        self._insert(text_list, vectors, id_list, meta_list)
        return id_list

    def _insert(self, texts: List[str], vectors: Sequence[Mapping[int, float]],
                ids: List[str], metadata: Optional[List[Any]], upsert: bool = False) -> None:
        """Writes rows in one request (an upsert replaces rows of the same ids)."""
        if not texts:
            return
        if self._direct is not None:
            empty = b"{}"
            blobs = [empty] * len(texts) if metadata is None else [
                json.dumps(m, ensure_ascii=False).encode("utf-8") if m else empty
                for m in metadata]
            self._direct(self.collection, ids, texts, blobs, vectors, upsert)
            return
        client = self._require_client()
        (client.upsert if upsert else client.insert)(self.collection, [
            {ID: id, TEXT: text, META: {} if metadata is None else metadata[i] or {},
             VECTOR: _storable(vectors[i])}
            for i, (id, text) in enumerate(zip(ids, texts))])

    def _delete(self, ids: Sequence[str], batch_size: int = 10000) -> None:
        # Rows only: the statistics cannot forget documents they counted.
        client = self._require_client()
        for start in range(0, len(ids), batch_size):
            client.delete(self.collection, ids=list(ids[start:start + batch_size]))

    def save_encoder(self) -> None:
        """Writes the encoder statistics to :attr:`encoder_path` (atomically)."""
        self.encoder.save(self.encoder_path)

    def reindex(self, batch_size: int = 5000,
                progress: Optional[Callable[[int, int], None]] = None) -> int:
        """Re-encodes every stored document with the current statistics.

        Returns the number of documents rewritten; ``progress(done, total)``
        is called after each batch. Rows are replaced batch by batch (one
        upsert each); if it stops half way, documents of both weightings are
        stored, and running it again finishes the work.
        """
        client = self._require_client()
        with _quiet("pymilvus"):  # Milvus Lite has no snapshot time stamps; pymilvus warns
            iterator = client.query_iterator(self.collection, batch_size=batch_size,
                                             output_fields=[ID])
        ids: List[str] = []
        try:
            while True:
                rows = iterator.next()
                if not rows:
                    break
                ids.extend(row[ID] for row in rows)
        finally:
            iterator.close()
        for start in range(0, len(ids), batch_size):
            rows = client.get(self.collection, ids=ids[start:start + batch_size],
                              output_fields=[ID, TEXT, META])
            texts = [row[TEXT] for row in rows]
            self._insert(texts, self.encoder.encode_documents(texts, output="ids"),
                         [row[ID] for row in rows], [row.get(META) for row in rows],
                         upsert=True)
            if progress is not None:
                progress(min(start + batch_size, len(ids)), len(ids))
        return len(ids)

    # -- reading ---------------------------------------------------------

    def search(self, query: str, k: int = 10, filter: str = "") -> List[Hit]:
        """The k best documents for a query, best first.

        Each result is a :class:`Hit` ``(id, score, text)``; its
        ``metadata`` attribute holds the document's metadata. ``filter`` is
        a Milvus boolean expression on the fields, for example
        ``'meta["lang"] == "zh"'`` or ``'id in ["a", "b"]'``.
        """
        return self.search_many([query], k, filter)[0]

    def search_many(self, queries: Sequence[str], k: int = 10,
                    filter: str = "") -> List[List[Hit]]:
        """The results of :meth:`search` for several queries, in one request."""
        if k < 1:
            raise ValueError("k must be at least 1")
        queries = list(queries)
        if not self.encoder.document_count:  # nothing with a searchable word is stored
            return [[] for _ in queries]
        vectors = self.encoder.encode_queries(queries, output="ids")
        asked = [i for i, vector in enumerate(vectors) if vector]
        results: List[List[Hit]] = [[] for _ in vectors]
        if not asked:
            return results
        found = self._require_client().search(
            self.collection, data=[_storable(vectors[i]) for i in asked], anns_field=VECTOR,
            limit=k, filter=filter, output_fields=[TEXT, META],
            search_params={"metric_type": "IP"})
        for i, rows in zip(asked, found):
            results[i] = [Hit(row[ID], row["distance"], row["entity"][TEXT],
                              row["entity"].get(META) or None)
                          for row in rows if row["distance"] > _MIN_SCORE]
        return results

    def count(self) -> int:
        """Number of stored documents."""
        rows = self._require_client().query(self.collection, filter="",
                                            output_fields=["count(*)"])
        return int(rows[0]["count(*)"])

    # -- housekeeping ----------------------------------------------------

    def flush(self) -> None:
        """Asks Milvus to seal what was inserted into stored segments."""
        self._require_client().flush(self.collection)

    def clear(self) -> None:
        """Deletes every document and the statistics: the index is as new,
        with the same analysis, ``b`` and ``k1``."""
        client = self._require_client()
        client.drop_collection(self.collection)
        self._create_collection()
        self.encoder = empty_like(self.encoder)
        self.save_encoder()

    def close(self) -> None:
        """Closes the connection (and the local server once no index of this
        process uses its file). Calling it again does nothing."""
        client, self._client = self._client, None
        if client is None:
            return
        try:
            client.close()
        finally:
            if self.local:
                _release_local(self.uri)

    def __enter__(self) -> "SearchIndex":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "" if self._client is not None else ", closed"
        return f"SearchIndex(uri={self.uri!r}, collection={self.collection!r}{state})"


def _release_local(uri: str) -> None:
    key = os.path.abspath(uri)
    with _local_lock:
        users = _local_users.get(key, 0) - 1
        if users > 0:
            _local_users[key] = users
            return
        _local_users.pop(key, None)
    try:
        from milvus_lite.server_manager import server_manager_instance
    except ImportError:  # pragma: no cover - a client of another Milvus Lite
        return
    server_manager_instance.release_server(key)


def _columns(texts: Iterable[str], ids: Optional[Iterable[Any]],
             metadata: Optional[Iterable[Any]]
             ) -> Tuple[List[str], List[str], Optional[List[Any]]]:
    """Checked lists of texts, string ids and metadata of one length."""
    text_list = list(texts)
    for i, text in enumerate(text_list):
        if not isinstance(text, str):
            raise TypeError(f"text {i} is {type(text).__name__}, not str")
        if len(text) > MAX_TEXT_BYTES // 4 and len(text.encode("utf-8")) > MAX_TEXT_BYTES:
            raise ValueError(f"text {i} is longer than {MAX_TEXT_BYTES} bytes of UTF-8: "
                             "split long documents")
    if ids is None:
        id_list = [uuid.uuid4().hex for _ in text_list]
    else:
        id_list = [str(id) for id in ids]
        if len(id_list) != len(text_list):
            raise ValueError(f"{len(text_list)} texts but {len(id_list)} ids")
        for i, id in enumerate(id_list):
            if len(id) > MAX_ID_LENGTH // 4 and len(id.encode("utf-8")) > MAX_ID_LENGTH:
                raise ValueError(f"id {i} is longer than {MAX_ID_LENGTH} bytes of UTF-8")
    meta_list = None if metadata is None else list(metadata)
    if meta_list is not None and len(meta_list) != len(text_list):
        raise ValueError(f"{len(text_list)} texts but {len(meta_list)} metadata entries")
    return text_list, id_list, meta_list
