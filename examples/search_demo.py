"""Index a few dozen Chinese documents into a local index and rank them for queries.

Usage: python examples/search_demo.py [QUERY ...]

The documents (examples/docs_zh.txt: news, products, technology) go into a
local index (the embedded store: SQLite and a native inverted index),
norvane_demo.db in the current folder, replaced on every run.
Without arguments a few built-in queries are run. Afterwards the command
line queries the same index:

    norvane search 手机电池续航 --uri norvane_demo.db
"""

import os
import sys
import time

import norvane

DOCS_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "docs_zh.txt")
INDEX_PATH = "norvane_demo.db"
QUERIES = ["手机电池续航", "深度学习模型训练", "北京天气", "数据库索引", "新能源汽车销量", "乒乓球冠军"]
TOP = 3


def read_documents(path):
    """(title, text) pairs from lines 'title<TAB>text'; '#' lines are comments."""
    documents = []
    with open(path, encoding="utf-8") as source:
        for line in source:
            line = line.strip()
            if line and not line.startswith("#"):
                title, _, text = line.partition("\t")
                documents.append((title, text))
    return documents


def main(queries):
    documents = read_documents(DOCS_PATH)
    started = time.perf_counter()
    with norvane.SearchIndex(INDEX_PATH) as index:
        index.clear()  # a fresh index on every run
        # The title is searched with the text; it is also the document's id.
        index.add([f"{title}。{text}" for title, text in documents],
                  ids=[title for title, _ in documents])
        print(f"indexed {index.count()} documents into {INDEX_PATH} "
              f"in {time.perf_counter() - started:.2f} s")
        for query, hits in zip(queries, index.search_many(queries, k=TOP)):
            print(f"\nquery: {query}")
            if not hits:
                print("  no matching document")
            for rank, hit in enumerate(hits, 1):
                text = hit.text[len(hit.id) + 1:]
                print(f"  {rank}. {hit.score:.4f}  {hit.id}: {text[:36]}…")
    print(f"\nsearch it again: norvane search {queries[0]} --uri {INDEX_PATH}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or QUERIES))
