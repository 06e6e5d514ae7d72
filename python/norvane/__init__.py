"""norvane: a toolkit over pynorvane's segmenter.

    import norvane
    tok = norvane.Tokenizer()
    tok.cut("我爱北京天安门")                     # ['我', '爱', '北京', '天安门']
    tok.tokenize("中华人民共和国", mode="search")  # (word, start, end) tuples

    enc = norvane.SparseEncoder().fit(passages)    # BM25 with document frequencies
    enc.encode_documents(passages, output="csr")   # rows of weights by token id
    enc.encode_queries(["北京的天气"], output="ids")

`default_paths()` names the bundled data files, also for `pynorvane.Segmenter`.
`SearchIndex` stores and searches documents: in an embedded local store (a
``.db`` path), or in Milvus (extra ``milvus``) by address;
`norvane.dask` (extra ``dask``) fits and encodes corpora on Dask.
"""

from typing import Any

from norvane._data import data_dir, default_paths
from norvane._version import __version__
from norvane._tokenizer import Tokenizer
from norvane._encoder import ANALYSES, SparseEncoder, token_id

__all__ = ["ANALYSES", "SearchIndex", "SparseEncoder", "Tokenizer", "__version__", "data_dir",
           "default_paths", "token_id"]


def __getattr__(name: str) -> Any:
    # Loaded on first use: most programs that import norvane do not search.
    if name in ("SearchIndex", "Hit"):
        from norvane import index

        return getattr(index, name)
    raise AttributeError(f"module 'norvane' has no attribute {name!r}")
