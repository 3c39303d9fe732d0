"""Corpora: vectors stored under string ids by a compression policy, with domain events.

``Corpus`` stores vectors under a ``CompressionPolicy`` and hands out
``VectorEntry`` objects and the events ``CorpusCreated``, ``VectorsInserted``,
``CorpusDecompressed`` and ``CompressionPolicyViolationDetected``. The same
objects as in ``marrowfin_rs._core``.
"""

from marrowfin_rs._core import CompressionPolicy as CompressionPolicy
from marrowfin_rs._core import (
    CompressionPolicyViolationDetected as CompressionPolicyViolationDetected,
)
from marrowfin_rs._core import Corpus as Corpus
from marrowfin_rs._core import CorpusCreated as CorpusCreated
from marrowfin_rs._core import CorpusDecompressed as CorpusDecompressed
from marrowfin_rs._core import DimensionMismatchError as DimensionMismatchError
from marrowfin_rs._core import DuplicateVectorError as DuplicateVectorError
from marrowfin_rs._core import VectorEntry as VectorEntry
from marrowfin_rs._core import VectorsInserted as VectorsInserted

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
