"""Compression, storage and exact cosine search of float32 embedding vectors.

Every name of ``marrowfin_rs._core`` is re-exported here; the sub-packages
``codec``, ``corpus`` and ``backend`` group them by topic. See
``marrowfin_rs._core`` for the guide to each class.
"""

from typing import Final

from marrowfin_rs import backend as backend
from marrowfin_rs import codec as codec
from marrowfin_rs import corpus as corpus
from marrowfin_rs._core import BruteForceBackend as BruteForceBackend
from marrowfin_rs._core import Codebook as Codebook
from marrowfin_rs._core import CodebookIncompatibleError as CodebookIncompatibleError
from marrowfin_rs._core import Codec as Codec
from marrowfin_rs._core import CodecConfig as CodecConfig
from marrowfin_rs._core import CompressedVector as CompressedVector
from marrowfin_rs._core import CompressionPolicy as CompressionPolicy
from marrowfin_rs._core import (
    CompressionPolicyViolationDetected as CompressionPolicyViolationDetected,
)
from marrowfin_rs._core import ConfigMismatchError as ConfigMismatchError
from marrowfin_rs._core import Corpus as Corpus
from marrowfin_rs._core import CorpusCreated as CorpusCreated
from marrowfin_rs._core import CorpusDecompressed as CorpusDecompressed
from marrowfin_rs._core import DimensionMismatchError as DimensionMismatchError
from marrowfin_rs._core import DuplicateVectorError as DuplicateVectorError
from marrowfin_rs._core import RotationMatrix as RotationMatrix
from marrowfin_rs._core import SearchBackend as SearchBackend
from marrowfin_rs._core import SearchResult as SearchResult
from marrowfin_rs._core import VectorEntry as VectorEntry
from marrowfin_rs._core import VectorsInserted as VectorsInserted
from marrowfin_rs._core import compress as compress
from marrowfin_rs._core import decompress as decompress

__version__: Final[str]
"""The installed distribution's version (from its metadata)."""

__all__ = [
    "__version__",
    "DimensionMismatchError",
    "ConfigMismatchError",
    "CodebookIncompatibleError",
    "DuplicateVectorError",
    "codec",
    "corpus",
    "backend",
    "CodecConfig",
    "Codebook",
    "RotationMatrix",
    "CompressedVector",
    "Codec",
    "compress",
    "decompress",
    "CompressionPolicy",
    "VectorEntry",
    "Corpus",
    "CorpusCreated",
    "VectorsInserted",
    "CorpusDecompressed",
    "CompressionPolicyViolationDetected",
    "SearchBackend",
    "SearchResult",
    "BruteForceBackend",
]
