"""The codec: configurations, rotations, codebooks, compression and the byte form.

``CodecConfig`` fixes the parameters, ``RotationMatrix`` and ``Codebook`` are
derived from it, ``Codec`` (or ``compress``/``decompress``) turns float32
vectors into ``CompressedVector`` records and back, and ``to_bytes`` /
``from_bytes`` give the records' compact byte form. The same objects as in
``marrowfin_rs._core``.
"""

from marrowfin_rs._core import Codebook as Codebook
from marrowfin_rs._core import CodebookIncompatibleError as CodebookIncompatibleError
from marrowfin_rs._core import Codec as Codec
from marrowfin_rs._core import CodecConfig as CodecConfig
from marrowfin_rs._core import CompressedVector as CompressedVector
from marrowfin_rs._core import ConfigMismatchError as ConfigMismatchError
from marrowfin_rs._core import DimensionMismatchError as DimensionMismatchError
from marrowfin_rs._core import DuplicateVectorError as DuplicateVectorError
from marrowfin_rs._core import RotationMatrix as RotationMatrix
from marrowfin_rs._core import compress as compress
from marrowfin_rs._core import decompress as decompress

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
