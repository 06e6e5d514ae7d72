"""Encoder copies that share the tokenizer (a pickled copy would load the
dictionary again)."""

from typing import Optional

from norvane._encoder import SparseEncoder


def empty_like(encoder: Optional[SparseEncoder]) -> SparseEncoder:
    """An encoder without statistics that analyses and weighs as `encoder`
    does (the default encoder for None)."""
    if encoder is None:
        return SparseEncoder()
    return SparseEncoder(tokenizer=encoder.tokenizer, b=encoder.b, k1=encoder.k1,
                         analysis=encoder.analysis.split(";")[0])


def snapshot(encoder: SparseEncoder) -> SparseEncoder:
    """A copy of the encoder's statistics."""
    return empty_like(encoder).merge(encoder)
