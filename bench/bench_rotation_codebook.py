"""Rotation generation vs numpy.linalg.qr, and codebook training vs numpy.sort.

Generation covers the whole pipeline (keystream, Gaussian samples, Householder
QR, explicit Q, sign correction); the baseline is LAPACK's QR with the complete
Q on a Gaussian matrix of the same shape (QR cost does not depend on the values).
Every timed generation uses a fresh seed, so the matrix cache never serves it.
"""

from __future__ import annotations

import itertools

import numpy as np

import harness

SIZES = (256, 768, 1536)
TRAIN_VALUES = 1_000_000


def measure(threads: int) -> dict:
    from marrowfin_rs import _core

    rng = np.random.default_rng(0)
    seeds = itertools.count(1000)
    result = {"threads": threads, "generation": {}, "train": {}}
    for n in SIZES:
        repeat = 3 if n > 1000 else 5
        ours = harness.best_time(lambda: _core.RotationMatrix.from_seed_and_dim(next(seeds), n), repeat)
        a = rng.standard_normal((n, n))
        lapack = harness.best_time(lambda: np.linalg.qr(a, mode="complete"), repeat)
        result["generation"][n] = (ours, lapack)
    warm = _core.RotationMatrix.from_seed_and_dim(7, 768)
    result["warm_from_config"] = harness.best_time(lambda: _core.RotationMatrix.from_seed_and_dim(7, 768), 200)
    del warm

    config = _core.CodecConfig(8, 1, 768)
    values = rng.standard_normal((TRAIN_VALUES // 1000, 1000)).astype(np.float32)
    ours = harness.best_time(lambda: _core.Codebook.train(values, config), 7)
    baseline = harness.best_time(lambda: np.sort(values, axis=None), 7)
    result["train"] = (ours, baseline)
    return result


def report(threads: int, r: dict) -> None:
    rows = [("task", "marrowfin", "baseline", "speed-up")]
    for n, (ours, lapack) in r["generation"].items():
        rows.append((f"rotation n={n} vs numpy.linalg.qr", harness.ms(ours), harness.ms(lapack),
                     harness.ratio(lapack, ours)))
    ours, baseline = r["train"]
    rows.append((f"train 8-bit codebook on {TRAIN_VALUES:,} values vs numpy.sort", harness.ms(ours),
                 harness.ms(baseline), harness.ratio(baseline, ours)))
    harness.print_table(f"{threads} thread(s)", rows)
    print(f"  warm-cache RotationMatrix.from_seed_and_dim(7, 768): {r['warm_from_config'] * 1e6:.1f} us")


if __name__ == "__main__":
    harness.run(__file__, measure, report)
