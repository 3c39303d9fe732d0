"""`CompressedVector`: properties and the binary form written and read through
the Python layer (known answers, a NumPy packing reference, every reader
error and its message)."""

import numpy as np
import pytest

import codec_reference as ref
from marrowfin_rs._core import Codebook, CodecConfig, CompressedVector, compress

HASH = "ab" * 32
PREFIX = "failed to decode CompressedVector: "


def header(dimension, bit_width, *, version=1, hash_field=HASH.encode()):
    return bytes([version]) + hash_field.ljust(64, b"\0") + dimension.to_bytes(4, "little") + bytes([bit_width])


@pytest.mark.parametrize("data, indices", [
    (header(3, 4) + b"\x21\x0f\x00", [1, 2, 15]),
    (header(4, 2) + b"\x93\x00", [3, 0, 1, 2]),
    (header(5, 2) + b"\x93\x01\x00", [3, 0, 1, 2, 1]),
])
def test_known_records(data, indices):
    record = CompressedVector.from_bytes(data)
    assert record.indices.tolist() == indices
    assert (record.dimension, record.config_hash, record.residual, record.has_residual) == (
        len(indices), HASH, None, False)
    assert (record.bit_width, record.size_bytes) == (data[69], len(data) - 71)
    assert record.to_bytes() == data


@pytest.mark.parametrize("bit_width", [2, 4, 8])
@pytest.mark.parametrize("dimension", [0, 1, 3, 13, 768])
@pytest.mark.parametrize("with_residual", [False, True])
def test_packing_matches_the_reference_both_ways(bit_width, dimension, with_residual):
    rng = np.random.default_rng(dimension * 10 + bit_width)
    indices = rng.integers(0, 2**bit_width, dimension).astype(np.uint8)
    residual = rng.integers(0, 256, 2 * dimension).astype(np.uint8).tobytes() if with_residual else None
    data = ref.record_bytes(HASH, dimension, bit_width, indices, residual)
    record = CompressedVector.from_bytes(data)
    assert record.indices.tolist() == indices.tolist() and record.bit_width == bit_width
    assert record.residual == residual and record.has_residual is with_residual
    assert record.to_bytes() == data
    packed = (dimension * bit_width + 7) // 8
    assert record.size_bytes == packed + (2 * dimension if with_residual else 0)


def test_padding_bits_and_trailing_bytes_are_ignored():
    data = header(3, 2) + b"\xe4" + b"\x00"  # indices 0, 1, 2 plus a set padding pair (3)
    record = CompressedVector.from_bytes(data + b"trailing garbage")
    assert record.indices.tolist() == [0, 1, 2]
    assert record.to_bytes() == header(3, 2) + b"\x24" + b"\x00"


@pytest.mark.parametrize("hash_field, text", [
    (b"", ""), (b"a\0b", "a\0b"), ("\u00e9\u4e2d".encode(), "\u00e9\u4e2d"), (b"x" * 64, "x" * 64),
])
def test_hash_field_is_trimmed_of_trailing_zeros_only(hash_field, text):
    record = CompressedVector.from_bytes(header(0, 8, hash_field=hash_field) + b"\x00")
    assert record.config_hash == text
    assert record.to_bytes()[1:65] == hash_field.ljust(64, b"\0")


VALID_DIM4 = header(4, 4) + b"\x21\x43"  # two packed index bytes
BAD = [
    (b"", "data too short: needed 70 bytes, got 0"),
    (header(0, 2)[:69], "data too short: needed 70 bytes, got 69"),
    (header(0, 2), "data too short: needed 71 bytes, got 70"),
    (VALID_DIM4, "data too short: needed 73 bytes, got 72"),
    (header(0, 2, version=2) + b"\x00", "unknown format version 0x02"),
    (header(0, 2, version=0x7F) + b"\x00", "unknown format version 0x7f"),
    (header(0, 2, version=2, hash_field=b"\xff") + b"\x00", "invalid UTF-8 in config hash"),
    (header(0, 3) + b"\x00", "invalid bit_width 3 in serialized data"),
    (header(0, 3, version=9) + b"\x00", "unknown format version 0x09"),
    (VALID_DIM4 + b"\xab", "decode error: invalid residual flag: expected 0x00 or 0x01, got 0xab"),
    (VALID_DIM4 + b"\x01\x08\x00", "data too short: needed 77 bytes, got 75"),
    (VALID_DIM4 + b"\x01\x08\x00\x00\x00" + bytes(7), "data too short: needed 85 bytes, got 84"),
    (VALID_DIM4 + b"\x01\x06\x00\x00\x00" + bytes(6), "decode error: input and output lengths disagree: 6 vs 8"),
    ((header(0xFFFFFFFF, 8) + bytes(30))[:100], "data too short: needed 4294967366 bytes, got 100"),
    (VALID_DIM4 + b"\x01\xff\xff\xff\xff", "data too short: needed 4294967372 bytes, got 77"),
]


@pytest.mark.parametrize("data, message", BAD)
def test_from_bytes_errors(data, message):
    ref.expect_error(ValueError, PREFIX + message, CompressedVector.from_bytes, data)


class Blob(bytes):
    pass


def test_from_bytes_argument_kinds():
    data = header(1, 8) + b"\x07\x00"
    assert CompressedVector.from_bytes(Blob(data)).indices.tolist() == [7]
    assert type(CompressedVector.from_bytes(data=data)) is CompressedVector
    for value in (bytearray(data), memoryview(data), None):
        ref.expect_error(TypeError, ref.cannot_convert("data", type(value).__name__, "PyBytes"),
                         CompressedVector.from_bytes, value)


def test_compressed_records_round_trip_through_bytes():
    codebook = Codebook(np.linspace(-3, 3, 256, dtype=np.float32), 8)
    vector = np.random.default_rng(2).standard_normal(40).astype(np.float32)
    for residual, size in ((True, 75 + 40 + 80), (False, 71 + 40)):
        record = compress(vector, CodecConfig(8, 11, 40, residual_enabled=residual), codebook)
        data = record.to_bytes()
        assert type(data) is bytes and len(data) == size
        again = CompressedVector.from_bytes(data)
        assert (again.indices.tolist(), again.residual, again.config_hash, again.dimension) == \
            (record.indices.tolist(), record.residual, record.config_hash, record.dimension)
        assert again.to_bytes() == data
