"""Batch compression and decompression vs the same pipeline in NumPy, and warm single-vector calls.

10,000 x 768 vectors at 4 bits with residual. Our batch calls return Python
objects (a list of CompressedVector, a 2-D array); the NumPy side returns raw
arrays, so the comparison favours the baseline slightly.
"""

from __future__ import annotations

import numpy as np

import harness
from numpy_pipeline import NumpyCodec

ROWS, DIMENSION, BIT_WIDTH = 10_000, 768, 4


def measure(threads: int) -> dict:
    from marrowfin_rs import _core

    rng = np.random.default_rng(1)
    vectors = rng.standard_normal((ROWS, DIMENSION)).astype(np.float32)
    config = _core.CodecConfig(BIT_WIDTH, 42, DIMENSION, residual_enabled=True)
    rotation = _core.RotationMatrix.from_config(config)
    codebook = _core.Codebook.train(np.stack([rotation.apply(v) for v in vectors[:200]]), config)
    codec = _core.Codec()
    baseline = NumpyCodec(rotation.matrix_f64_bytes(), DIMENSION, codebook.entries)

    records = codec.compress_batch(vectors, config, codebook)
    packed, residual = baseline.compress(vectors)
    result = {
        "compress": (harness.best_time(lambda: codec.compress_batch(vectors, config, codebook), 3),
                     harness.best_time(lambda: baseline.compress(vectors), 3)),
        "decompress": (harness.best_time(lambda: codec.decompress_batch(records, config, codebook), 3),
                       harness.best_time(lambda: baseline.decompress(packed, residual), 3)),
    }
    singles = vectors[:2000]

    def one_by_one():
        for v in singles:
            codec.compress(v, config, codebook)

    result["single_per_s"] = len(singles) / harness.best_time(one_by_one, 3)
    return result


def report(threads: int, r: dict) -> None:
    rows = [("task", "marrowfin", "numpy", "speed-up")]
    for task in ("compress", "decompress"):
        ours, base = r[task]
        rows.append((f"{task}_batch {ROWS}x{DIMENSION}, {BIT_WIDTH}-bit + residual", harness.ms(ours),
                     harness.ms(base), harness.ratio(base, ours)))
    harness.print_table(f"{threads} thread(s)", rows)
    print(f"  warm single Codec.compress (768-d): {r['single_per_s']:,.0f} calls/s")


if __name__ == "__main__":
    harness.run(__file__, measure, report)
