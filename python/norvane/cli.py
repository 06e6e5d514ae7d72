"""The ``norvane`` command: index files into a search index and query it.

    norvane index PATH... [--uri norvane.db] [--format lines|jsonl|file]
    norvane search QUERY... [--uri norvane.db] [-k 10]
    norvane get ID... [--uri norvane.db]
    norvane delete ID... [--uri norvane.db]
    norvane reindex [--uri norvane.db]

Every failure ends in one line on standard error starting with
``norvane: error:`` and a non-zero exit status.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import sys
import time
from typing import Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence

FORMATS = ("lines", "jsonl", "file")


class InputError(Exception):
    """Input that cannot be indexed; the text names the file and line."""


class Record(NamedTuple):
    id: str
    text: str
    metadata: Optional[Dict[str, Any]]
    where: str  # FILE:LINE, or FILE for a whole file


def input_files(paths: Sequence[str], index_uri: Optional[str] = None) -> List[str]:
    """The files named, with the files under each named folder (sorted,
    hidden names left out, and so are the files of the index at
    ``index_uri``: the index and what lies beside it under its name); every
    path must exist."""
    own = os.path.abspath(index_uri) if index_uri else None

    def wanted(file: str) -> bool:
        if own is None:
            return True
        file = os.path.abspath(file)
        return file != own and not file.startswith(own + ".")

    files: List[str] = []
    for path in paths:
        if os.path.isdir(path):
            for folder, subfolders, names in os.walk(path):
                subfolders[:] = sorted(d for d in subfolders if not d.startswith("."))
                files.extend(os.path.join(folder, name) for name in sorted(names)
                             if not name.startswith(".") and wanted(os.path.join(folder, name)))
        elif os.path.exists(path):
            files.append(path)
        else:
            raise InputError(f"no such file or folder: {path}")
    return files


def read_records(path: str, format: str, text_field: str = "text",
                 id_field: Optional[str] = None) -> Iterator[Record]:
    """The documents of one file.

    ``lines``: each non-blank line is a document with id ``PATH:LINE``.
    ``jsonl``: each non-blank line is a JSON object; ``text_field`` holds the
    text, ``id_field`` the id (by default an ``id`` member if there is one,
    else ``PATH:LINE``), and the other members become the metadata.
    ``file``: the whole file is one document with id ``PATH``.
    """
    with open(path, "rb") as source:
        if format == "file":
            text = _decode(source.read(), path, None)
            if text.strip():
                yield Record(path, text, None, path)
            return
        for number, raw in enumerate(source, 1):
            line = _decode(raw, path, number).rstrip("\r\n")
            if not line.strip():
                continue
            where = f"{path}:{number}"
            if format == "lines":
                yield Record(where, line, None, where)
                continue
            try:
                item = json.loads(line)
            except json.JSONDecodeError as error:
                raise InputError(f"{path}:{number}: not valid JSON ({error.msg}, "
                                 f"column {error.colno})") from None
            if not isinstance(item, dict):
                raise InputError(f"{path}:{number}: a JSON object was expected")
            text = item.pop(text_field, None)
            if not isinstance(text, str):
                raise InputError(f"{where}: no string member {text_field!r}")
            field = id_field if id_field is not None else "id" if "id" in item else None
            if field is None:
                id = where
            elif isinstance(item.get(field), (str, int)) and not isinstance(item[field], bool):
                id = str(item.pop(field))
            else:
                raise InputError(f"{where}: no string or integer member {field!r}")
            yield Record(id, text, item or None, where)


def _decode(raw: bytes, path: str, number: Optional[int]) -> str:
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        where = f"{path}:{number}" if number else path
        raise InputError(f"{where}: not UTF-8 (byte {error.start + 1})") from None
    return text[1:] if number in (None, 1) and text.startswith("\ufeff") else text


def _open_index(args: argparse.Namespace, create: bool) -> Any:
    from norvane.index import SearchIndex

    return SearchIndex(args.uri, args.collection, token=args.token,
                       encoder_path=args.encoder_path, timeout=args.timeout, create=create,
                       backend=args.backend)


def check_record(record: Record) -> None:
    """Raises InputError, naming FILE:LINE, for a record an index refuses."""
    from norvane.index import MAX_TEXT_BYTES, _check_id, _metadata_blob

    try:
        size = len(record.text.encode("utf-8"))
    except UnicodeEncodeError:
        raise InputError(f"{record.where}: the text cannot be encoded as UTF-8 "
                         "(lone surrogate)") from None
    if size > MAX_TEXT_BYTES:
        raise InputError(f"{record.where}: {size} bytes of text; an index holds at "
                         f"most {MAX_TEXT_BYTES} per document: split it")
    try:
        _check_id(record.id, "the id")
        _metadata_blob(record.metadata, 0)
    except (TypeError, ValueError) as error:
        raise InputError(f"{record.where}: {error}") from None


def cmd_index(args: argparse.Namespace) -> int:
    from norvane.index import is_local_uri

    files = input_files(args.paths, args.uri if is_local_uri(args.uri) else None)
    # A first pass checks every record, so that bad input stops the command
    # before anything is written.
    total = 0
    for path in files:
        for record in read_records(path, args.format, args.text_field, args.id_field):
            check_record(record)
            total += 1
    if not total:
        raise InputError("no documents in " + ", ".join(args.paths))
    index = _open_index(args, create=True)
    if args.replace:
        index.clear()
    from tqdm import tqdm

    started = time.perf_counter()
    stored = size = 0
    try:
        with tqdm(total=total, unit="doc", disable=args.quiet or None, file=sys.stderr) as bar:
            def progress(count: int) -> None:
                nonlocal stored
                stored += count
                bar.update(count)

            # Several batches per call, so that inserts overlap encoding;
            # the statistics are saved after each call.
            chunk: List[Record] = []
            for path in files:
                for record in read_records(path, args.format, args.text_field, args.id_field):
                    chunk.append(record)
                    if len(chunk) == args.batch_size * 8:
                        size += _store(index, chunk, args.batch_size, progress)
                        chunk = []
            size += _store(index, chunk, args.batch_size, progress)
        index.flush()
        count = index.count()
    except Exception as error:
        if not stored:
            raise
        raise InputError(f"{_describe(error)} ({stored} documents are stored; the next "
                         "open makes the statistics match them)") from error
    finally:
        index.close()
    seconds = time.perf_counter() - started
    print(f"indexed {stored} documents, {size / 1e6:.2f} MB in {seconds:.2f} s "
          f"({stored / seconds:,.0f} documents/s, {size / 1e6 / seconds:.2f} MB/s); "
          f"{args.uri} collection {args.collection!r} holds {count}")
    return 0


def _store(index: Any, records: List[Record], batch_size: int,
           progress: Callable[[int], None]) -> int:
    texts = [record.text for record in records]
    metadata = [record.metadata for record in records]
    index.add(texts, [record.id for record in records],
              None if all(m is None for m in metadata) else metadata,
              batch_size=batch_size, progress=progress)
    return sum(len(text.encode("utf-8")) for text in texts)


def cmd_search(args: argparse.Namespace) -> int:
    from norvane.index import MAX_K

    if args.k > MAX_K:
        raise InputError(f"-k {args.k}: at most {MAX_K} results, the most Milvus returns")
    results = _using_index(
        args, lambda index: index.search_many(args.queries, k=args.k, filter=args.filter))
    for query, hits in zip(args.queries, results):
        if args.json:
            for rank, hit in enumerate(hits, 1):
                print(json.dumps({"query": query, "rank": rank, "id": hit.id, "score": hit.score,
                                  "text": hit.text, "metadata": hit.metadata},
                                 ensure_ascii=False))
            continue
        if len(args.queries) > 1:
            print(f"query: {query}")
        if not hits:
            print("  no matching document")
        for rank, hit in enumerate(hits, 1):
            text = hit.text if len(hit.text) <= 60 else hit.text[:60] + "…"
            print(f"{rank:3}. {hit.score:.4f}  {hit.id}  {text}")
    return 0


def _using_index(args: argparse.Namespace, use: Callable[[Any], Any]) -> Any:
    """use(index) on the index of args, which must exist; closed after."""
    index = _open_index(args, create=False)
    try:
        return use(index)
    finally:
        index.close()


def cmd_get(args: argparse.Namespace) -> int:
    documents = _using_index(args, lambda index: index.get(args.ids))
    missing = [id for id, document in zip(args.ids, documents) if document is None]
    for document in documents:
        if document is not None:
            print(json.dumps({"id": document.id, "text": document.text,
                              "metadata": document.metadata}, ensure_ascii=False))
    if missing:
        raise InputError("no document with id " + ", ".join(map(repr, missing)))
    return 0


def cmd_delete(args: argparse.Namespace) -> int:
    count = _using_index(args, lambda index: index.delete(args.ids))
    print(f"deleted {count} of {len(args.ids)} documents")
    return 0


def cmd_reindex(args: argparse.Namespace) -> int:
    from tqdm import tqdm

    index = _open_index(args, create=False)
    started = time.perf_counter()
    try:
        with tqdm(unit="doc", disable=None, file=sys.stderr) as bar:
            def progress(done: int, total: int) -> None:
                bar.total = total
                bar.update(done - bar.n)

            count = index.reindex(progress=progress)
    finally:
        index.close()
    print(f"re-encoded {count} documents in {time.perf_counter() - started:.2f} s")
    return 0


def parser() -> argparse.ArgumentParser:
    """The argument parser of the ``norvane`` command."""
    from norvane._version import __version__

    main = argparse.ArgumentParser(prog="norvane", description="Chinese full-text search "
                                   "in a local index or on Milvus: index files, then query "
                                   "them.")
    main.add_argument("--version", action="version", version=f"norvane {__version__}")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, help: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=help, description=help)
        sub.add_argument("--uri", default="norvane.db",
                         help="local index file (.db) or Milvus server address "
                         "(http://host:19530); default %(default)s")
        sub.add_argument("--backend", choices=("sqlite", "milvus-lite"),
                         help="for a new local index: the embedded store (sqlite, the "
                         "default) or Milvus Lite; an existing file opens with its own")
        sub.add_argument("--collection", default="docs", help="collection name (default docs)")
        sub.add_argument("--token", default="", help="server credentials (user:password or key)")
        sub.add_argument("--encoder-path", help="Milvus: encoder statistics file (default: "
                         "beside a Milvus Lite file; in the server for a server)")
        sub.add_argument("--timeout", type=float, default=10.0,
                         help="seconds to wait for a server (default 10)")
        return sub

    index = command("index", "Add the documents of files or folders to an index.")
    index.add_argument("paths", nargs="+", metavar="PATH", help="files, or folders to walk")
    index.add_argument("--format", choices=FORMATS, default="lines",
                       help="lines: a document per line; jsonl: a JSON object per line; "
                       "file: a document per file (default lines)")
    index.add_argument("--text-field", default="text", help="jsonl member holding the text")
    index.add_argument("--id-field", help="jsonl member holding the id (default FILE:LINE)")
    index.add_argument("--batch-size", type=_positive, default=5000,
                       help="documents per insert (default 5000)")
    index.add_argument("--replace", action="store_true",
                       help="delete the collection's documents and statistics first")
    index.add_argument("-q", "--quiet", action="store_true", help="no progress bar")
    index.set_defaults(run=cmd_index)

    search = command("search", "Print the best documents for queries.")
    search.add_argument("queries", nargs="+", metavar="QUERY")
    search.add_argument("-k", type=_positive, default=10,
                        help="results per query, 1 to 16384 (default 10)")
    search.add_argument("--filter", default="",
                        help='expression on id, text and meta, e.g. meta["lang"] == "zh"')
    search.add_argument("--json", action="store_true", help="one JSON object per result")
    search.set_defaults(run=cmd_search)

    get = command("get", "Print stored documents by id, one JSON object each.")
    get.add_argument("ids", nargs="+", metavar="ID")
    get.set_defaults(run=cmd_get)

    delete = command("delete", "Delete documents by id (their texts leave the statistics).")
    delete.add_argument("ids", nargs="+", metavar="ID")
    delete.set_defaults(run=cmd_delete)

    reindex = command("reindex", "Re-encode every document with the current statistics.")
    reindex.set_defaults(run=cmd_reindex)
    return main


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _describe(error: BaseException) -> str:
    if type(error).__module__.startswith("pymilvus"):  # pymilvus is imported only for Milvus
        from norvane._milvus_index import _message

        text = "Milvus: " + _message(error)
    elif isinstance(error, OSError) and error.filename is not None:
        text = f"{error.filename}: {error.strerror}"
    else:
        text = str(error) or type(error).__name__
    # One line, whatever the text holds (an analysis name lists run-time words one a line).
    return " | ".join(line.strip() for line in text.splitlines() if line.strip())


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the command line; returns the exit status."""
    args = parser().parse_args(argv)
    # Milvus clients log failed calls with tracebacks; the error line below says it once.
    for name in ("pymilvus", "milvus_lite"):
        logging.getLogger(name).setLevel(logging.CRITICAL)
    logging.getLogger("norvane").addHandler(logging.NullHandler())
    try:
        status: int = args.run(args)
        return status
    except KeyboardInterrupt:
        print("norvane: interrupted", file=sys.stderr)
        return 130
    except ImportError as error:
        print(f"norvane: error: {error}", file=sys.stderr)
        return 1
    except Exception as error:  # every failure is reported as one line
        print(f"norvane: error: {_describe(error)}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
