"""Encoder statistics and vectors of a corpus on Dask.

The texts are a Dask bag of ``str`` or a Dask dataframe column. Statistics
are fitted per partition and merged (a tree reduction), which gives the
encoder one fit over all texts gives; vectors are encoded per partition with
one encoder sent once to the workers. The same calls run on the local
scheduler, on a ``distributed.LocalCluster`` or on a cluster reached by
``distributed.Client("tcp://scheduler:8786")``: whichever client is active.
"""

from __future__ import annotations

import threading
import uuid
from typing import Any, Dict, List, Optional, Tuple

import dask.bag
from dask.base import compute
from dask.delayed import delayed

from norvane._encoder import SparseEncoder
from norvane._tokenizer import Tokenizer
from norvane._util import empty_like, snapshot

__all__ = ["fit", "encode", "write"]


def _bag(texts: Any) -> Any:
    if isinstance(texts, dask.bag.Bag):
        return texts
    to_bag = getattr(texts, "to_bag", None)
    if to_bag is not None and getattr(texts, "ndim", None) == 1:  # a dataframe column
        return to_bag()
    raise TypeError(f"texts must be a dask bag or a dask dataframe column, "
                    f"not {type(texts).__name__}")


# Tokenizers rebuilt in this process, by their pickling recipe: a tokenizer
# loads its dictionary when built, and every task would build its own.
_tokenizers: Dict[Any, Tokenizer] = {}
_tokenizers_lock = threading.Lock()


def _tokenizer(recipe: Tuple[Any, Tuple[Any, ...]]) -> Tokenizer:
    with _tokenizers_lock:
        tokenizer = _tokenizers.get(recipe)
        if tokenizer is None:
            rebuild, args = recipe
            tokenizer = _tokenizers[recipe] = rebuild(*args)
        return tokenizer


class _Portable:
    """An encoder that pickles as its statistics and its tokenizer's recipe,
    and is rebuilt on the tokenizer this process already has."""

    __slots__ = ("encoder",)

    def __init__(self, encoder: SparseEncoder) -> None:
        self.encoder = encoder

    def __reduce__(self) -> Tuple[Any, ...]:
        recipe = self.encoder.tokenizer.__reduce__()
        return (_rebuild, (recipe, self.encoder.__getstate__()["model"]))


def _rebuild(recipe: Tuple[Any, Tuple[Any, ...]], model: str) -> "_Portable":
    tokenizer = _tokenizer(recipe)
    encoder = SparseEncoder(tokenizer=tokenizer)
    encoder.__setstate__({"model": model, "tokenizer": tokenizer})
    return _Portable(encoder)


def _shared(encoder: SparseEncoder) -> Any:
    # One graph key for the encoder: it is sent to each worker once, not per task.
    return delayed(_Portable(encoder), name="norvane-encoder-" + uuid.uuid4().hex,
                        traverse=False)


def _fit_partition(texts: Any, template: _Portable) -> List[_Portable]:
    return [_Portable(empty_like(template.encoder).fit(list(texts)))]


def _merge(fitted: Any) -> _Portable:
    first, *others = list(fitted)
    for other in others:
        first.encoder.merge(other.encoder)
    return first  # type: ignore[no-any-return]


def fit(texts: Any, encoder: Optional[SparseEncoder] = None, *,
        split_every: int = 8) -> SparseEncoder:
    """Fits encoder statistics over a Dask collection of texts.

    Each partition is fitted by an encoder of its own and the encoders are
    merged, ``split_every`` at a time. Returns a new encoder: the statistics
    of ``encoder`` (``None``: a default :class:`norvane.SparseEncoder`)
    plus those of the texts; ``encoder`` itself is not changed.
    """
    fitted = _bag(texts).map_partitions(_fit_partition, _shared(empty_like(encoder)))
    merged: SparseEncoder = fitted.reduction(_merge, _merge,
                                             split_every=split_every).compute().encoder
    if encoder is None:
        return merged
    return snapshot(encoder).merge(merged)


def _encode_partition(texts: Any, shared: _Portable, output: str) -> Any:
    return shared.encoder.encode_documents(list(texts), output=output)


def encode(texts: Any, encoder: SparseEncoder, output: str = "ids") -> Any:
    """Document vectors of a Dask collection of texts, per partition.

    ``output="ids"`` or ``"dict"``: a Dask bag of vectors in the order of the
    texts. ``output="csr"``: a list of ``dask.delayed`` CSR blocks, one per
    partition (rows are the partition's texts). Nothing is computed yet.
    """
    bag = _bag(texts)
    shared = _shared(encoder)
    if output == "csr":
        return [delayed(_encode_partition)(part, shared, output)
                for part in bag.to_delayed()]
    if output not in ("ids", "dict"):
        raise ValueError(f"output must be 'ids', 'dict' or 'csr', not {output!r}")
    return bag.map_partitions(_encode_partition, shared, output)


def write(texts: Any, index: Any, ids: Any = None, *, fit_first: bool = True,
          window: int = 8) -> int:
    """Stores a Dask collection of texts in a :class:`norvane.SearchIndex`.

    With ``fit_first`` the texts' statistics are first added to the index's
    encoder (see :func:`fit`). Then the partitions are encoded on the
    workers, ``window`` at a time, and each is written by this process.
    ``ids``, if given, is a collection partitioned like the texts; a stored
    id is replaced (its old text leaves the statistics), and of an id given
    twice the last document is kept.

    Returns the number of documents written. If a write fails, the documents
    this call added are deleted, those it replaced are written back as they
    were, the index keeps its former statistics and the error is raised.
    Without ``fit_first`` the statistics no longer describe the stored
    texts alone (see :class:`norvane.SearchIndex`).
    """
    from norvane.index import ID, META, TEXT, _columns, _last_of_each

    if index.dense_dim is not None:
        raise ValueError("dask.write stores sparse vectors only: add documents with their "
                         "dense vectors through SearchIndex.add(..., dense=...)")
    bag = _bag(texts)
    text_parts = bag.to_delayed()
    id_parts: List[Any] = [None] * len(text_parts)
    if ids is not None:
        id_parts = _bag(ids).to_delayed()
        if len(id_parts) != len(text_parts):
            raise ValueError(f"texts have {len(text_parts)} partitions, ids {len(id_parts)}")
    if not hasattr(index, "_stats"):
        return _write_local(bag, text_parts, id_parts, index, fit_first, window)
    previous = snapshot(index.encoder)
    if fit_first:
        index.encoder = fit(bag, previous)
    vector_parts = encode(bag, index.encoder, "ids").to_delayed()
    index._stats.begin(external=not fit_first)
    added: Dict[str, None] = {}  # ids this call stored anew, in order
    replaced: Dict[str, Dict[str, Any]] = {}  # rows as they were before this call
    written = 0
    try:
        for start in range(0, len(text_parts), max(1, window)):
            end = start + max(1, window)
            parts = (text_parts[start:end], vector_parts[start:end], id_parts[start:end])
            chunk = compute(*parts)  # type: ignore[no-untyped-call]
            for part_texts, part_vectors, part_ids in zip(*chunk):
                part_texts, part_vectors = list(part_texts), list(part_vectors)
                _, part_ids, _, _ = _columns(part_texts, part_ids, None)
                keep = _last_of_each(part_ids)
                # The fit counted every text; one kept of a repeated id.
                gone = [part_texts[i] for i in sorted(set(range(len(part_ids))) - set(keep))]
                part_texts = [part_texts[i] for i in keep]
                part_vectors = [part_vectors[i] for i in keep]
                part_ids = [part_ids[i] for i in keep]
                old = [row for rows in index._rows(part_ids, [TEXT, META])
                       for row in rows]
                for row in old:
                    if row[ID] not in added:
                        replaced.setdefault(row[ID], row)
                held = {row[ID] for row in old}
                added.update((id, None) for id in part_ids
                             if id not in held and id not in replaced)
                gone += [row[TEXT] for row in old]
                if gone and fit_first:
                    index._forget(gone)
                index._insert(part_texts, part_vectors, part_ids, None, upsert=bool(old))
                written += len(part_texts)
    except BaseException:
        _undo(index, list(added), list(replaced.values()), previous)
        raise
    index._commit()
    return written


def _write_local(bag: Any, text_parts: List[Any], id_parts: List[Any], index: Any,
                 fit_first: bool, window: int) -> int:
    """dask.write into the local store: the partitions are computed ``window``
    at a time and each is added in this process, one transaction per batch
    (fitted and encoded here, as :meth:`SearchIndex.add` does); without
    ``fit_first`` the vectors are encoded on the workers with the index's
    statistics and stored as they are (:meth:`SearchIndex.add_encoded`). A
    failure leaves the batches stored before it."""
    vector_parts: List[Any] = [None] * len(text_parts)
    if not fit_first:
        vector_parts = encode(bag, index.encoder, "ids").to_delayed()
    written = 0
    for start in range(0, len(text_parts), max(1, window)):
        end = start + max(1, window)
        chunk = compute(text_parts[start:end], id_parts[start:end],  # type: ignore[no-untyped-call]
                        vector_parts[start:end])
        for part_texts, part_ids, part_vectors in zip(*chunk):
            part_texts = list(part_texts)
            part_ids = None if part_ids is None else list(part_ids)
            if fit_first:
                index.add(part_texts, part_ids)
            else:
                index.add_encoded(part_texts, list(part_vectors), part_ids)
            written += len(set(part_ids)) if part_ids is not None else len(part_texts)
    return written


def _undo(index: Any, added: List[str], replaced: List[Dict[str, Any]],
          previous: SparseEncoder) -> None:
    """Deletes the rows a failed write added and writes back those it
    replaced, encoded with the statistics they return to, ``previous`` (Milvus
    Lite cannot give back vectors it has not sealed yet). If that fails too,
    the statistics stay pending and the next open refits them."""
    from norvane.index import ID, META, TEXT

    index.encoder = previous
    try:
        client = index._require_client()
        for start in range(0, len(added), 10000):
            client.delete(index.collection, ids=added[start:start + 10000])
        for start in range(0, len(replaced), 5000):
            rows = replaced[start:start + 5000]
            texts = [row[TEXT] for row in rows]
            index._insert(texts, previous.encode_documents(texts, output="ids"),
                          [row[ID] for row in rows], [row.get(META) or None for row in rows],
                          upsert=True)
        index._commit()
    except Exception:
        pass
