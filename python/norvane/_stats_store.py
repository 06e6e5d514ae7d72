"""Where a search index keeps its encoder statistics, and whether they match
its rows.

A write goes: ``begin()`` (the statistics are marked pending), rows are
written, ``commit(model)`` (the statistics that match the rows are saved and
the mark is cleared). A process stopped anywhere in between leaves the mark,
and the next open rebuilds the statistics from the stored texts, of which
they are a function. ``external`` records statistics that are not such a
function (an encoder fitted elsewhere, rows stored with their own vectors):
those are not rebuilt silently.

Two stores: a file beside a local index (the model file, plus a small state
file), and a companion collection on a Milvus server, so that every process
that opens the server's index shares one copy.
"""

from __future__ import annotations

import json
import os
from typing import Any, Dict, List, NamedTuple, Optional

from norvane._encoder import SparseEncoder


class State(NamedTuple):
    """What a store says of its statistics."""

    saved: bool  # statistics were saved (load() reads them)
    pending: bool  # a write began and did not end: rows and statistics may differ
    external: bool  # the statistics are not a function of the stored texts
    rows: Optional[int]  # the row count they were committed with, when known


def _write_atomically(path: str, data: bytes) -> None:
    temporary = f"{path}.{os.getpid()}.tmp"
    try:
        with open(temporary, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


class FileStore:
    """The model file at ``path`` and its state in ``path + ".state"``."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.state_path = path + ".state"
        self._external = False

    def read(self) -> State:
        state: Dict[str, Any] = {}
        try:
            with open(self.state_path, "rb") as f:
                state = json.loads(f.read().decode("utf-8"))
        except FileNotFoundError:
            pass
        except ValueError:
            state = {"pending": True}  # a torn state file: trust nothing
        self._external = bool(state.get("external", False))
        return State(os.path.exists(self.path), bool(state.get("pending", False)),
                     self._external, state.get("rows"))

    def load(self, tokenizer: Any) -> SparseEncoder:
        return SparseEncoder.load(self.path, tokenizer=tokenizer)

    @property
    def external(self) -> bool:
        """Whether the statistics hold documents other than the stored ones."""
        return self._external

    def _write_state(self, pending: bool, rows: Optional[int]) -> None:
        state = {"pending": pending, "external": self._external, "rows": rows}
        _write_atomically(self.state_path, json.dumps(state).encode("utf-8"))

    def begin(self, external: bool = False) -> None:
        self._external = self._external or external
        self._write_state(True, None)

    def commit(self, encoder: SparseEncoder, rows: Optional[int]) -> None:
        encoder.save(self.path)
        self._write_state(False, rows)

    def reset(self, encoder: SparseEncoder, external: bool) -> None:
        self._external = external
        self.commit(encoder, 0 if not encoder.document_count else None)

    def exists(self) -> bool:
        return os.path.exists(self.path)

    def files(self) -> List[str]:
        return [self.path, self.state_path]


# Milvus holds at most 65,535 bytes in a VARCHAR; a character takes up to 4.
_CHUNK_CHARS = 16383
_CHUNKS_PER_REQUEST = 32
_HEAD = "head"


class ServerStore:
    """The statistics in a companion collection on the Milvus server: a head
    row with the state and the generation, and the model text in chunks of
    that generation. A new generation is written whole before the head
    names it, so readers see the old statistics or the new, never a mix."""

    def __init__(self, client: Any, collection: str) -> None:
        self.client = client
        self.name = f"{collection}_norvane_stats"
        self._head: Dict[str, Any] = {}
        self._model: Optional[str] = None

    def _ensure(self) -> None:
        from pymilvus import DataType

        if self.client.has_collection(self.name):
            return
        schema = self.client.create_schema(auto_id=False, enable_dynamic_field=False)
        schema.add_field("key", DataType.VARCHAR, is_primary=True, max_length=64)
        schema.add_field("data", DataType.VARCHAR, max_length=65535)
        # Milvus wants a vector field in every collection.
        schema.add_field("unused", DataType.FLOAT_VECTOR, dim=2)
        index = self.client.prepare_index_params()
        index.add_index(field_name="unused", index_type="FLAT", metric_type="L2")
        self.client.create_collection(self.name, schema=schema, index_params=index,
                                      consistency_level="Strong")

    def _rows(self, keys: List[str]) -> Dict[str, str]:
        found: Dict[str, str] = {}
        for start in range(0, len(keys), _CHUNKS_PER_REQUEST):
            rows = self.client.get(self.name, ids=keys[start:start + _CHUNKS_PER_REQUEST],
                                   output_fields=["data"])
            found.update((row["key"], row["data"]) for row in rows)
        return found

    def read(self) -> State:
        if not self.client.has_collection(self.name):
            self._head = {}
            return State(False, False, False, None)
        self.client.load_collection(self.name)
        head = self._rows([_HEAD]).get(_HEAD)
        self._head = json.loads(head) if head else {}
        self._model = None
        if "generation" in self._head:
            keys = [f"{self._head['generation']}/{i}" for i in range(self._head["chunks"])]
            chunks = self._rows(keys)
            if len(chunks) != len(keys):
                return State(False, True, bool(self._head.get("external")), None)
            self._model = "".join(chunks[key] for key in keys)
        return State(self._model is not None, bool(self._head.get("pending", False)),
                     bool(self._head.get("external", False)), self._head.get("rows"))

    def load(self, tokenizer: Any) -> SparseEncoder:
        if self._model is None:
            raise ValueError(f"collection {self.name} holds no statistics")
        return SparseEncoder._from_text(self._model, tokenizer, f"collection {self.name}")

    @property
    def external(self) -> bool:
        """Whether the statistics hold documents other than the stored ones."""
        return bool(self._head.get("external"))

    def _write_head(self, head: Dict[str, Any]) -> None:
        self.client.upsert(self.name, [{"key": _HEAD, "data": json.dumps(head),
                                        "unused": [0.0, 0.0]}])
        self._head = head

    def begin(self, external: bool = False) -> None:
        self._ensure()
        head = dict(self._head, pending=True)
        head["external"] = bool(head.get("external")) or external
        self._write_head(head)

    def commit(self, encoder: SparseEncoder, rows: Optional[int]) -> None:
        self._ensure()
        text = encoder._native.model_text()
        old = self._head.get("generation")
        old_chunks = self._head.get("chunks", 0)
        generation = 0 if old is None else old + 1
        chunks = [text[i:i + _CHUNK_CHARS] for i in range(0, len(text), _CHUNK_CHARS)]
        for start in range(0, len(chunks), _CHUNKS_PER_REQUEST):
            self.client.upsert(self.name, [
                {"key": f"{generation}/{start + i}", "data": chunk, "unused": [0.0, 0.0]}
                for i, chunk in enumerate(chunks[start:start + _CHUNKS_PER_REQUEST])])
        self._write_head({"generation": generation, "chunks": len(chunks), "pending": False,
                          "external": bool(self._head.get("external")), "rows": rows})
        if old is not None:
            stale = [f"{old}/{i}" for i in range(old_chunks)]
            for start in range(0, len(stale), 1000):
                self.client.delete(self.name, ids=stale[start:start + 1000])

    def reset(self, encoder: SparseEncoder, external: bool) -> None:
        self._ensure()
        self._head = dict(self._head, external=external)
        self.commit(encoder, 0 if not encoder.document_count else None)

    def exists(self) -> bool:
        return "generation" in self._head

    def drop(self) -> None:
        if self.client.has_collection(self.name):
            self.client.drop_collection(self.name)
        self._head = {}

    def files(self) -> List[str]:
        return []
