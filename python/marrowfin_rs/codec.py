"""The codec: configurations, rotations, codebooks, compression and the byte form."""

from marrowfin_rs._core import (
    Codebook,
    CodebookIncompatibleError,
    Codec,
    CodecConfig,
    CompressedVector,
    ConfigMismatchError,
    DimensionMismatchError,
    DuplicateVectorError,
    RotationMatrix,
    compress,
    decompress,
)

__all__ = [
    "CodecConfig",
    "Codebook",
    "RotationMatrix",
    "CompressedVector",
    "Codec",
    "compress",
    "decompress",
    "DimensionMismatchError",
    "ConfigMismatchError",
    "CodebookIncompatibleError",
    "DuplicateVectorError",
]
