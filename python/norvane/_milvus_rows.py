"""How a search index's rows look in Milvus: field names, sparse vectors as
Milvus takes them, and a fast writer of rows.

The fast writer reaches into pymilvus internals (its gRPC stub and request
types); everything else about Milvus goes through pymilvus' public API in
norvane.index. tests/test_search_index.py checks that both write identical
rows.
"""

from __future__ import annotations

import itertools
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np
from pymilvus import DataType, MilvusClient

from norvane.index import DENSE, ID, MAX_ID_LENGTH, MAX_TEXT_BYTES, META, TEXT, VECTOR  # noqa: F401
# Milvus takes sparse dimensions below 2**32 - 1: the one hash value outside
# that range shares the dimension below it, in documents and queries alike.
TOP_DIMENSION = 2**32 - 1
# Milvus refuses empty sparse vectors; a document without a searchable word
# is stored with a negligible weight on one dimension, and such scores are
# dropped from results.
EMPTY_VECTOR = {2**32 - 2: 1e-30}
MIN_SCORE = 1e-20


def storable(vector: Mapping[int, float]) -> Dict[int, float]:
    """A vector as Milvus takes it (see TOP_DIMENSION and EMPTY_VECTOR)."""
    if not vector:
        return dict(EMPTY_VECTOR)
    stored = dict(vector)
    if TOP_DIMENSION in stored:
        top = stored.pop(TOP_DIMENSION)
        stored[TOP_DIMENSION - 1] = stored.get(TOP_DIMENSION - 1, 0.0) + top
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
        (dim, weight), = EMPTY_VECTOR.items()
        rows = np.concatenate([rows, empty])
        dims = np.concatenate([dims, np.full(len(empty), dim, np.uint64)])
        weights = np.concatenate([weights, np.full(len(empty), weight, np.float32)])
    dims[dims == TOP_DIMENSION] = TOP_DIMENSION - 1
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


def fast_writer(client: MilvusClient) -> Optional[Any]:
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
              vectors: Sequence[Mapping[int, float]], upsert: bool,
              dense: Optional[Any] = None) -> None:
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
        if dense is not None:
            field = request.fields_data.add(field_name=DENSE, type=DataType.FLOAT_VECTOR)
            field.vectors.dim = dense.shape[1]
            field.vectors.float_vector.data.extend(dense.ravel().tolist())
        stub = client._get_connection()._stub
        response = (stub.Upsert if upsert else stub.Insert)(
            request, metadata=client._generate_call_context().to_grpc_metadata())
        check_status(response.status)

    return write
