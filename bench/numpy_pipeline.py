"""The codec pipeline written with NumPy: the baseline our batch codec is measured against.

Same matrix (loaded from the library's own bytes), float64 rotation through
BLAS, nearest-level search, float16 residual, 4-bit packing, and the reverse.
"""

from __future__ import annotations

import numpy as np


class NumpyCodec:
    def __init__(self, matrix_bytes: bytes, dimension: int, entries: np.ndarray) -> None:
        self.matrix = np.frombuffer(matrix_bytes, dtype="<f8").reshape(dimension, dimension)
        self.entries = np.asarray(entries, dtype=np.float32)

    def compress(self, vectors: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        rotated = (vectors.astype(np.float64) @ self.matrix.T).astype(np.float32)
        k = len(self.entries)
        upper = np.minimum(np.searchsorted(self.entries, rotated, side="left"), k - 1)
        lower = np.maximum(upper - 1, 0)
        closer_lower = np.abs(rotated - self.entries[lower]) < np.abs(rotated - self.entries[upper])
        indices = np.where(closer_lower, lower, upper).astype(np.uint8)
        residual = (rotated - self.entries[indices]).astype(np.float16)
        packed = indices[:, 0::2] | (indices[:, 1::2] << 4)
        return packed, residual

    def decompress(self, packed: np.ndarray, residual: np.ndarray) -> np.ndarray:
        indices = np.empty((packed.shape[0], packed.shape[1] * 2), dtype=np.uint8)
        indices[:, 0::2] = packed & 0x0F
        indices[:, 1::2] = packed >> 4
        values = self.entries[indices] + residual.astype(np.float32)
        return (values.astype(np.float64) @ self.matrix).astype(np.float32)
