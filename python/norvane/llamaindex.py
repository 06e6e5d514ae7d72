"""A LlamaIndex retriever over a :class:`norvane.SearchIndex`.

    from norvane.llamaindex import NorvaneRetriever
    retriever = NorvaneRetriever(norvane.SearchIndex("news.db"), similarity_top_k=4)
    retriever.retrieve("新能源汽车销量")   # [NodeWithScore(node=TextNode(...), score=...)]

Needs the extra ``llamaindex`` (``pip install "pynorvane[llamaindex]"``).
"""

from __future__ import annotations

from typing import Any, List

try:
    from llama_index.core.retrievers import BaseRetriever
    from llama_index.core.schema import NodeWithScore, QueryBundle, TextNode
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError("norvane.llamaindex needs llama-index-core: "
                      f"pip install 'pynorvane[llamaindex]' ({error})") from error

__all__ = ["NorvaneRetriever"]


class NorvaneRetriever(BaseRetriever):
    """The ``similarity_top_k`` best documents of a search index for a query,
    as ``NodeWithScore`` objects: a ``TextNode`` with the document's id as
    ``id_``, its text and metadata, and the BM25 score. ``filter`` is a
    Milvus expression, as for :meth:`SearchIndex.search`."""

    def __init__(self, index: Any, similarity_top_k: int = 4, filter: str = "",
                 **kwargs: Any) -> None:
        self.index = index
        self.similarity_top_k = similarity_top_k
        self.filter = filter
        super().__init__(**kwargs)

    def _retrieve(self, query_bundle: QueryBundle) -> List[NodeWithScore]:
        hits = self.index.search(query_bundle.query_str, k=self.similarity_top_k,
                                 filter=self.filter)
        return [NodeWithScore(node=TextNode(id_=hit.id, text=hit.text,
                                            metadata=dict(hit.metadata or {})),
                              score=hit.score)
                for hit in hits]
