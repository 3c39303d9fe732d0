"""Corpora: vectors stored under string ids by a compression policy, with domain events."""

from marrowfin_rs._core import (
    CompressionPolicy,
    CompressionPolicyViolationDetected,
    Corpus,
    CorpusCreated,
    CorpusDecompressed,
    DimensionMismatchError,
    DuplicateVectorError,
    VectorEntry,
    VectorsInserted,
)

__all__ = [
    "CompressionPolicy",
    "VectorEntry",
    "Corpus",
    "CorpusCreated",
    "VectorsInserted",
    "CorpusDecompressed",
    "CompressionPolicyViolationDetected",
    "DimensionMismatchError",
    "DuplicateVectorError",
]
