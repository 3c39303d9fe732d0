#!/usr/bin/env python3
"""Fuzz target: CompressedVector.from_bytes, then decompress every record that parses.

Run under atheris by fuzz/run_atheris.sh; replayed over the kept corpus in CI with
`python fuzz/atheris/blob_target.py --replay DIR` (no atheris needed).
"""

import sys

import numpy as np

from marrowfin_rs import _core

import harness  # fuzz/atheris/harness.py, beside this script

# The configurations the seeds were made with; a record that still carries one
# of their hashes decodes against it, any other against a configuration of its
# own shape (which then fails the hash check).
CONFIGS = [_core.CodecConfig(bits, 11, dim, residual_enabled=residual)
           for bits, dim, residual in ((2, 5, False), (4, 8, True), (8, 3, True), (4, 33, False))]
CODEBOOKS = {config.bit_width: _core.Codebook(np.linspace(-2, 2, 2**config.bit_width).astype(np.float32),
                                              config.bit_width) for config in CONFIGS}
BY_HASH = {config.config_hash: config for config in CONFIGS}
CODEC = _core.Codec()
EXPECTED = (ValueError, _core.DimensionMismatchError, _core.ConfigMismatchError,
            _core.CodebookIncompatibleError)


def seeds():
    rng = np.random.default_rng(5)
    for config in CONFIGS:
        for _ in range(2):
            vector = rng.standard_normal(config.dimension).astype(np.float32)
            yield CODEC.compress(vector, config, CODEBOOKS[config.bit_width]).to_bytes()


def check(data: bytes) -> None:
    try:
        record = _core.CompressedVector.from_bytes(data)
    except ValueError:
        return
    blob = record.to_bytes()
    assert _core.CompressedVector.from_bytes(blob).to_bytes() == blob
    config = BY_HASH.get(record.config_hash)
    if config is None:
        if record.bit_width not in CODEBOOKS or not 0 < record.dimension <= 64:
            return
        config = _core.CodecConfig(record.bit_width, 11, record.dimension)
    try:
        values = CODEC.decompress(record, config, CODEBOOKS[config.bit_width])
    except EXPECTED:
        return
    assert values.dtype == np.float32 and values.shape == (config.dimension,)


if __name__ == "__main__":
    harness.main(sys.argv, check, seeds)
