"""Compression, storage and exact cosine search of float32 embedding vectors.

The native extension lives in ``marrowfin_rs._core``. Its classes, functions and
exception types are re-exported here and, by topic, in the sub-packages
``marrowfin_rs.codec``, ``marrowfin_rs.corpus`` and ``marrowfin_rs.backend``: the
very same objects wherever they are reached from.
"""

from importlib.metadata import version as _distribution_version

from marrowfin_rs import _core
from marrowfin_rs._core import (
    BruteForceBackend,
    Codebook,
    CodebookIncompatibleError,
    Codec,
    CodecConfig,
    CompressedVector,
    CompressionPolicy,
    CompressionPolicyViolationDetected,
    ConfigMismatchError,
    Corpus,
    CorpusCreated,
    CorpusDecompressed,
    DimensionMismatchError,
    DuplicateVectorError,
    RotationMatrix,
    SearchBackend,
    SearchResult,
    VectorEntry,
    VectorsInserted,
    compress,
    decompress,
)

# The sub-packages stand where the extension has its plain submodule objects.
from marrowfin_rs import backend, codec, corpus

__version__ = _distribution_version("marrowfin_rs")
__all__ = list(_core.__all__)
