"""A LangChain retriever over a :class:`norvane.SearchIndex`.

    from norvane.langchain import NorvaneRetriever
    retriever = NorvaneRetriever(index=norvane.SearchIndex("news.db"), k=4)
    retriever.invoke("新能源汽车销量")   # [Document(page_content=..., metadata=...)]

Needs the extra ``langchain`` (``pip install "pynorvane[langchain]"``).
"""

from __future__ import annotations

from typing import Any, List

try:
    from langchain_core.callbacks import CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.retrievers import BaseRetriever
except ImportError as error:  # pragma: no cover - depends on the installed extras
    raise ImportError("norvane.langchain needs langchain-core: "
                      f"pip install 'pynorvane[langchain]' ({error})") from error

__all__ = ["NorvaneRetriever"]


class NorvaneRetriever(BaseRetriever):
    """The ``k`` best documents of a search index for a query, as LangChain
    ``Document`` objects: the text as ``page_content``, the document's id as
    ``id``, and its metadata with ``id`` and ``score`` added as ``metadata``.
    ``filter`` is a Milvus expression, as for :meth:`SearchIndex.search`."""

    index: Any
    k: int = 4
    filter: str = ""

    def _get_relevant_documents(self, query: str, *,
                                run_manager: CallbackManagerForRetrieverRun) -> List[Document]:
        return [Document(page_content=hit.text, id=hit.id,
                         metadata={**(hit.metadata or {}), "id": hit.id, "score": hit.score})
                for hit in self.index.search(query, k=self.k, filter=self.filter)]
