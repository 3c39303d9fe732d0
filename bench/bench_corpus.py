"""COMPRESS corpus inserts per second and decompress_all vs the NumPy codec pipeline.

Dimension 768, 4 bits with residual; decompress_all of 10,000 entries against
NumPy decompressing the same 10,000 vectors (unpack, level lookup, float16
residual, float64 inverse rotation through BLAS).
"""

from __future__ import annotations

import numpy as np

import harness
from numpy_pipeline import NumpyCodec

ENTRIES, DIMENSION = 10_000, 768


def measure(threads: int) -> dict:
    from marrowfin_rs import _core

    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((ENTRIES, DIMENSION)).astype(np.float32)
    config = _core.CodecConfig(4, 42, DIMENSION, residual_enabled=True)
    rotation = _core.RotationMatrix.from_config(config)
    codebook = _core.Codebook.train(np.stack([rotation.apply(v) for v in vectors[:200]]), config)
    ids = [f"doc-{i:06d}" for i in range(ENTRIES)]

    def fill():
        corpus = _core.Corpus("bench", config, codebook, _core.CompressionPolicy.COMPRESS)
        for vector_id, vector in zip(ids, vectors):
            corpus.insert(vector_id, vector)
        return corpus

    insert = harness.best_time(fill, 2)
    corpus = fill()
    ours = harness.best_time(corpus.decompress_all, 3)
    baseline = NumpyCodec(rotation.matrix_f64_bytes(), DIMENSION, codebook.entries)
    packed, residual = baseline.compress(vectors)
    base = harness.best_time(lambda: baseline.decompress(packed, residual), 3)
    return {"inserts_per_s": ENTRIES / insert, "decompress_all": (ours, base)}


def report(threads: int, r: dict) -> None:
    ours, base = r["decompress_all"]
    harness.print_table(f"{threads} thread(s)", [
        ("task", "marrowfin", "numpy", "speed-up"),
        (f"decompress_all of {ENTRIES:,} x {DIMENSION}", harness.ms(ours), harness.ms(base),
         harness.ratio(base, ours)),
    ])
    print(f"  COMPRESS inserts (768-d, 4-bit + residual): {r['inserts_per_s']:,.0f} per second")


if __name__ == "__main__":
    harness.run(__file__, measure, report)
