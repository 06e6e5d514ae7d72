"""Other engines given the same documents and the same tokens (the sparse
encoder's analysis), for bench_index.py: bm25s and tantivy, each when
installed (``pip install bm25s tantivy``).

Each run returns the figures bench_index.py prints for SearchIndex:
documents indexed per second, search latencies for the queries one at a
time (top 10), and the time to open the saved index and answer one query.
"""

import os
import time


def _latencies(search, queries):
    for query in queries[:20]:  # warm-up
        search(query)
    latencies = []
    for query in queries:
        start = time.perf_counter()
        search(query)
        latencies.append(time.perf_counter() - start)
    return sorted(latencies)


def run_bm25s(doc_tokens, query_tokens, folder):
    """bm25s (numpy scoring): index, search, save, load and search once."""
    import bm25s

    start = time.perf_counter()
    vocabulary = {}
    ids = [[vocabulary.setdefault(t, len(vocabulary)) for t in tokens] for tokens in doc_tokens]
    retriever = bm25s.BM25(k1=1.2, b=0.75)
    retriever.index(bm25s.tokenization.Tokenized(ids=ids, vocab=vocabulary), show_progress=False)
    index_seconds = time.perf_counter() - start

    def search(tokens, model=retriever):
        known = [t for t in tokens if t in vocabulary]
        if known:
            model.retrieve([known], k=10, show_progress=False, n_threads=1)

    latencies = _latencies(search, query_tokens)
    path = os.path.join(folder, "bm25s")
    retriever.save(path)
    start = time.perf_counter()
    loaded = bm25s.BM25.load(path)
    search(query_tokens[0], loaded)
    open_seconds = time.perf_counter() - start
    return index_seconds, latencies, open_seconds


def run_tantivy(doc_tokens, query_tokens, folder):
    """tantivy (BM25 in Rust), documents as whitespace-separated tokens."""
    import tantivy

    builder = tantivy.SchemaBuilder()
    builder.add_text_field("body", tokenizer_name="whitespace", stored=False)
    builder.add_unsigned_field("row", stored=True)
    schema = builder.build()
    path = os.path.join(folder, "tantivy")
    os.makedirs(path)
    start = time.perf_counter()
    index = tantivy.Index(schema, path=path)
    writer = index.writer(heap_size=256 << 20, num_threads=1)
    for row, tokens in enumerate(doc_tokens):
        writer.add_document(tantivy.Document(body=" ".join(tokens), row=row))
    writer.commit()
    writer.wait_merging_threads()
    index.reload()
    index_seconds = time.perf_counter() - start

    def search(tokens, index=index):
        query = tantivy.Query.boolean_query(
            [(tantivy.Occur.Should, tantivy.Query.term_query(schema, "body", t))
             for t in set(tokens)])
        index.searcher().search(query, 10)

    latencies = _latencies(search, query_tokens)
    start = time.perf_counter()
    search(query_tokens[0], tantivy.Index.open(path))
    open_seconds = time.perf_counter() - start
    return index_seconds, latencies, open_seconds


RUNS = {"bm25s": run_bm25s, "tantivy": run_tantivy}
