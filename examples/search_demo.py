"""Segment a few dozen Chinese documents, train BM25 and rank them for queries.

Usage: python examples/search_demo.py [QUERY ...]

Without arguments a few built-in queries are run. Documents are cut in the
search-engine mode, so that both a long word and the shorter words inside it
can match; stop words, punctuation and spaces are left out of the index.
"""

import os
import sys
import time

import norvane
import pynorvane

DOCS_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "docs_zh.txt")
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


def read_stop_words(path):
    with open(path, encoding="utf-8") as source:
        return {line.rstrip("\r\n") for line in source}


class SearchIndex:
    def __init__(self, segmenter, stop_words, documents):
        self.segmenter = segmenter
        self.stop_words = stop_words
        self.documents = documents
        self.bm25 = pynorvane.BM25()
        token_lists = [self.tokens(title + "。" + text) for title, text in documents]
        for tokens in token_lists:
            self.bm25.train(tokens)
        self.vectors = [self.bm25.encode_document(tokens) for tokens in token_lists]

    def tokens(self, text):
        return [word for word in self.segmenter.cut_for_search(text)
                if word.strip() and word not in self.stop_words and any(ch.isalnum() for ch in word)]

    def search(self, query, top=TOP):
        tokens = self.tokens(query)
        if not tokens:
            return tokens, []
        query_vector = self.bm25.encode_query(tokens)
        scored = []
        for index, vector in enumerate(self.vectors):
            score = sum(weight * vector.get(token, 0.0) for token, weight in query_vector.items())
            if score > 0:
                scored.append((score, index))
        scored.sort(key=lambda item: (-item[0], item[1]))
        return tokens, scored[:top]


def main(queries):
    started = time.perf_counter()
    paths = norvane.default_paths()
    segmenter = pynorvane.Segmenter(**paths)
    documents = read_documents(DOCS_PATH)
    index = SearchIndex(segmenter, read_stop_words(paths["stop_word_path"]), documents)
    print(f"indexed {len(documents)} documents in {time.perf_counter() - started:.2f} s")
    print("sample cut:", " / ".join(segmenter.cut(documents[0][1])))
    for query in queries:
        tokens, hits = index.search(query)
        print(f"\nquery: {query}  (tokens: {' '.join(tokens) or '-'})")
        if not hits:
            print("  no matching document")
        for rank, (score, doc) in enumerate(hits, 1):
            title, text = documents[doc]
            print(f"  {rank}. {score:.4f}  {title}: {text[:40]}…")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or QUERIES))
