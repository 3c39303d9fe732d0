"""A million mutated to_bytes() blobs through CompressedVector.from_bytes.

Every mutation either parses or raises ValueError; every record that parses is
decompressed against the configuration its blob was made with, which either
succeeds with a vector of that dimension or raises one of the codec's
exceptions. Anything else (another exception, a crash) is a fault. Mutations:
bit flips anywhere, truncations, extensions, and bytes set to boundary values
at the header fields (version, hash, dimension, bit width, residual flag and
length).
"""

import os

import numpy as np
import pytest

from marrowfin_rs import _core

TOTAL = int(os.environ.get("MARROWFIN_MUTATIONS", "1050000"))
EXPECTED = (ValueError, _core.DimensionMismatchError, _core.ConfigMismatchError,
            _core.CodebookIncompatibleError)
BOUNDARY = np.array([0x00, 0x01, 0x02, 0x03, 0x04, 0x08, 0x7F, 0x80, 0xFE, 0xFF], dtype=np.uint8)


def templates():
    rng = np.random.default_rng(17)
    codec = _core.Codec()
    out = []
    for bits, dim, residual in ((2, 1, False), (2, 7, True), (4, 3, True), (4, 16, False), (8, 5, True),
                                (8, 64, False), (4, 33, True)):
        config = _core.CodecConfig(bits, 5, dim, residual_enabled=residual)
        codebook = _core.Codebook(np.linspace(-2, 2, 2**bits).astype(np.float32), bits)
        vector = rng.standard_normal(dim).astype(np.float32)
        blob = codec.compress(vector, config, codebook).to_bytes()
        packed = (dim * bits + 7) // 8
        # The header fields' offsets: version, hash, dimension, bit width, flag, residual length.
        fields = [0, 1, 2, 40, 64, 65, 66, 67, 68, 69, 70 + packed]
        if residual:
            fields += [71 + packed, 72 + packed, 73 + packed, 74 + packed]
        out.append((np.frombuffer(blob, dtype=np.uint8), config, codebook, np.array(fields)))
    return out


def mutants(blob, fields, count, rng):
    """`count` mutated copies of blob, as bytes objects, a quarter of each kind."""
    n = len(blob)
    quarter = count // 4
    rows = np.tile(blob, (count, 1))
    # Bit flips: 1 to 3 random bits per copy (in the first half) ...
    for _ in range(3):
        which = np.nonzero(rng.random(2 * quarter) < 0.6)[0]
        # Half anywhere, half past the header, where a record still decodes.
        positions = np.where(rng.random(which.size) < 0.5, rng.integers(0, n, which.size),
                             rng.integers(70, n, which.size))
        rows[which, positions] ^= (1 << rng.integers(0, 8, which.size)).astype(np.uint8)
    # ... and header bytes set to boundary or random values (second half).
    header = np.arange(2 * quarter, count)
    chosen = fields[rng.integers(0, fields.size, header.size)]
    values = np.where(rng.random(header.size) < 0.7, BOUNDARY[rng.integers(0, BOUNDARY.size, header.size)],
                      rng.integers(0, 256, header.size)).astype(np.uint8)
    rows[header, chosen] = values
    flat = rows.tobytes()
    out = [flat[i * n:(i + 1) * n] for i in range(count)]
    # Truncations of a quarter (first quarter of the flips) and extensions of another.
    cuts = rng.integers(0, n, quarter)
    for i in range(quarter):
        out[i] = out[i][:cuts[i]]
    extra = rng.integers(0, 256, (quarter, 16), dtype=np.uint8)
    lengths = rng.integers(1, 17, quarter)
    for i in range(quarter):
        out[3 * quarter + i] += extra[i, :lengths[i]].tobytes()
    return out


def test_a_million_mutated_blobs_parse_or_fail_cleanly():
    rng = np.random.default_rng(2024)
    codec = _core.Codec()
    from_bytes = _core.CompressedVector.from_bytes
    decompress = codec.decompress
    parsed = decoded = done = 0
    kinds = templates()
    per_batch = 20_000
    while done < TOTAL:
        blob, config, codebook, fields = kinds[(done // per_batch) % len(kinds)]
        for data in mutants(blob, fields, per_batch, rng):
            try:
                record = from_bytes(data)
            except ValueError:
                continue
            parsed += 1
            try:
                values = decompress(record, config, codebook)
            except EXPECTED:
                continue
            assert values.shape == (config.dimension,) and values.dtype == np.float32
            decoded += 1
        done += per_batch
    print(f"{done} mutations: {parsed} parsed, {decoded} decompressed")
    # Both outcomes must be well represented, or the mutations test little.
    assert parsed > done // 5 and done - parsed > done // 10 and decoded > done // 20
