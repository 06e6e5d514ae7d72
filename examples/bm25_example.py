"""Rank a few tokenised documents for a query with the BM25 sparse encoder."""
import pynorvane

documents = [
    ["the", "cat", "sat", "on", "the", "mat"],
    ["dogs", "chase", "the", "cat"],
    ["a", "bird", "sang", "on", "the", "roof"],
]
query = ["cat", "mat"]

bm25 = pynorvane.BM25()
for document in documents:
    bm25.train(document)

query_vector = bm25.encode_query(query)
scores = []
for index, document in enumerate(documents):
    doc_vector = bm25.encode_document(document)
    score = sum(weight * doc_vector.get(token, 0.0) for token, weight in query_vector.items())
    scores.append((score, index))

for score, index in sorted(scores, reverse=True):
    print(f"{score:.4f}  {' '.join(documents[index])}")
