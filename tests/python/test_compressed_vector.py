"""`CompressedVector`: properties, the binary form written and read through
the Python layer (known answers, a NumPy packing reference, every reader
error), and immutability."""

import inspect

import numpy as np
import pytest

import codec_reference as ref
from marrowfin_rs._core import Codebook, CodecConfig, CompressedVector, compress

HASH = "ab" * 32
PREFIX = "failed to decode CompressedVector: "


def header(dimension, bit_width, *, version=1, hash_field=HASH.encode()):
    return bytes([version]) + hash_field.ljust(64, b"\0") + dimension.to_bytes(4, "little") + bytes([bit_width])


def test_known_record_of_73_bytes():
    data = header(3, 4) + bytes([0x21, 0x0F]) + b"\x00"
    assert len(data) == 73
    record = CompressedVector.from_bytes(data)
    assert record.indices.tolist() == [1, 2, 15]
    assert (record.dimension, record.bit_width, record.config_hash) == (3, 4, HASH)
    assert record.residual is None and record.has_residual is False
    assert record.size_bytes == 2
    assert record.to_bytes() == data


@pytest.mark.parametrize("indices, packed", [([3, 0, 1, 2], b"\x93"), ([3, 0, 1, 2, 1], b"\x93\x01")])
def test_known_two_bit_packing(indices, packed):
    data = header(len(indices), 2) + packed + b"\x00"
    record = CompressedVector.from_bytes(data)
    assert record.indices.tolist() == indices
    assert record.to_bytes() == data
    assert ref.pack_indices(indices, 2) == packed


@pytest.mark.parametrize("bit_width", [2, 4, 8])
@pytest.mark.parametrize("dimension", [0, 1, 2, 3, 5, 8, 13, 768])
@pytest.mark.parametrize("with_residual", [False, True])
def test_packing_matches_the_reference_both_ways(bit_width, dimension, with_residual):
    rng = np.random.default_rng(dimension * 10 + bit_width)
    indices = rng.integers(0, 2**bit_width, dimension).astype(np.uint8)
    residual = rng.integers(0, 256, 2 * dimension).astype(np.uint8).tobytes() if with_residual else None
    data = ref.record_bytes(HASH, dimension, bit_width, indices, residual)
    record = CompressedVector.from_bytes(data)
    assert record.indices.tolist() == indices.tolist()
    assert record.residual == residual and record.has_residual is with_residual
    assert record.to_bytes() == data
    packed = (dimension * bit_width + 7) // 8
    assert record.size_bytes == packed + (2 * dimension if with_residual else 0)
    assert len(data) == (75 + packed + 2 * dimension if with_residual else 71 + packed)


def test_padding_bits_and_trailing_bytes_are_ignored():
    data = header(3, 2) + b"\xe4" + b"\x00"  # indices 0, 1, 2 plus a set padding pair (3)
    record = CompressedVector.from_bytes(data + b"trailing garbage")
    assert record.indices.tolist() == [0, 1, 2]
    assert record.to_bytes() == header(3, 2) + b"\x24" + b"\x00"


@pytest.mark.parametrize("hash_field, text", [
    (b"", ""),
    (b"short", "short"),
    (b"a\0b", "a\0b"),
    ("\u00e9\u4e2d".encode(), "\u00e9\u4e2d"),
    (b"x" * 64, "x" * 64),
])
def test_hash_field_is_trimmed_of_trailing_zeros_only(hash_field, text):
    record = CompressedVector.from_bytes(header(0, 8, hash_field=hash_field) + b"\x00")
    assert record.config_hash == text
    assert record.to_bytes()[1:65] == hash_field.ljust(64, b"\0")


def bad_inputs():
    valid_dim4 = header(4, 4) + b"\x21\x43"  # P = 2
    yield "empty", b"", "data too short: needed 70 bytes, got 0"
    yield "ten bytes", bytes(10), "data too short: needed 70 bytes, got 10"
    yield "69 bytes", header(0, 2)[:69], "data too short: needed 70 bytes, got 69"
    yield "header only", header(0, 2), "data too short: needed 71 bytes, got 70"
    yield "no flag byte", valid_dim4, "data too short: needed 73 bytes, got 72"
    yield "version 2", header(0, 2, version=2) + b"\x00", "unknown format version 0x02"
    yield "version 0", header(0, 2, version=0) + b"\x00", "unknown format version 0x00"
    yield "version 0x7f", header(0, 2, version=0x7F) + b"\x00", "unknown format version 0x7f"
    yield "utf8 before version", header(0, 2, version=2, hash_field=b"\xff") + b"\x00", \
        "invalid UTF-8 in config hash"
    yield "surrogate", header(0, 2, hash_field="\ud800".encode("utf-8", "surrogatepass")) + b"\x00", \
        "invalid UTF-8 in config hash"
    yield "bit width 3", header(0, 3) + b"\x00", "invalid bit_width 3 in serialized data"
    yield "bit width 0", header(0, 0) + b"\x00", "invalid bit_width 0 in serialized data"
    yield "version before bit width", header(0, 3, version=9) + b"\x00", "unknown format version 0x09"
    yield "flag 2", valid_dim4 + b"\x02", "decode error: invalid residual flag: expected 0x00 or 0x01, got 0x02"
    yield "flag 0xab", valid_dim4 + b"\xab", "decode error: invalid residual flag: expected 0x00 or 0x01, got 0xab"
    yield "residual length missing", valid_dim4 + b"\x01\x08\x00", "data too short: needed 77 bytes, got 75"
    yield "residual cut short", valid_dim4 + b"\x01\x08\x00\x00\x00" + bytes(7), \
        "data too short: needed 85 bytes, got 84"
    yield "residual of 6 bytes", valid_dim4 + b"\x01\x06\x00\x00\x00" + bytes(6), \
        "decode error: input and output lengths disagree: 6 vs 8"
    yield "residual of 9 bytes", valid_dim4 + b"\x01\x09\x00\x00\x00" + bytes(9), \
        "decode error: input and output lengths disagree: 9 vs 8"
    yield "huge dimension", (header(0xFFFFFFFF, 8) + bytes(30))[:100], \
        "data too short: needed 4294967366 bytes, got 100"
    yield "huge residual length", valid_dim4 + b"\x01\xff\xff\xff\xff", \
        "data too short: needed 4294967372 bytes, got 77"


BAD = list(bad_inputs())


@pytest.mark.parametrize("name, data, message", BAD, ids=[case[0] for case in BAD])
def test_from_bytes_errors(name, data, message):
    with pytest.raises(ValueError) as caught:
        CompressedVector.from_bytes(data)
    assert type(caught.value) is ValueError
    assert str(caught.value) == PREFIX + message


class Blob(bytes):
    pass


def test_from_bytes_argument_kinds():
    data = header(1, 8) + b"\x07\x00"
    assert CompressedVector.from_bytes(Blob(data)).indices.tolist() == [7]
    assert CompressedVector.from_bytes(data=data).to_bytes() == data
    assert type(CompressedVector.from_bytes(data)) is CompressedVector
    for value, name in [(bytearray(data), "bytearray"), (memoryview(data), "memoryview"),
                        (data.decode("latin-1"), "str"), (None, "NoneType")]:
        with pytest.raises(TypeError) as caught:
            CompressedVector.from_bytes(value)
        assert str(caught.value) == f"argument 'data': '{name}' object cannot be converted to 'PyBytes'"


def test_no_constructor_and_immutability():
    with pytest.raises(TypeError) as caught:
        CompressedVector()
    assert str(caught.value) == "No constructor defined for CompressedVector"
    record = CompressedVector.from_bytes(header(2, 4) + b"\x21\x00")
    for name in ("indices", "residual", "config_hash", "dimension", "bit_width", "has_residual", "size_bytes"):
        with pytest.raises(AttributeError):
            setattr(record, name, getattr(record, name))
    with pytest.raises(AttributeError):
        record.extra = 1
    # Identity semantics: no equality or hash of its own.
    twin = CompressedVector.from_bytes(record.to_bytes())
    assert record != twin and record == record
    assert hash(record) != hash(twin) or record is twin


def test_indices_are_a_fresh_writable_copy():
    record = CompressedVector.from_bytes(header(3, 4) + b"\x21\x0f\x00")
    first = record.indices
    assert first.dtype == np.uint8 and first.flags.writeable
    first[:] = 9
    assert record.indices.tolist() == [1, 2, 15]
    assert record.indices is not record.indices


def test_compressed_records_round_trip_through_bytes():
    config = CodecConfig(8, 11, 40, residual_enabled=True)
    codebook = Codebook(np.linspace(-3, 3, 256, dtype=np.float32), 8)
    vectors = np.random.default_rng(2).standard_normal((5, 40)).astype(np.float32)
    for vector in vectors:
        record = compress(vector, config, codebook)
        data = record.to_bytes()
        assert type(data) is bytes and len(data) == 75 + 40 + 80
        again = CompressedVector.from_bytes(data)
        assert again.indices.tolist() == record.indices.tolist()
        assert (again.residual, again.config_hash, again.dimension, again.bit_width) == \
            (record.residual, record.config_hash, record.dimension, record.bit_width)
        assert again.to_bytes() == data
    plain = compress(vectors[0], CodecConfig(8, 11, 40, residual_enabled=False), codebook)
    assert plain.residual is None and len(plain.to_bytes()) == 71 + 40


def test_docs():
    assert CompressedVector.__doc__ == "Immutable output of a codec compression pass."
    assert CompressedVector.to_bytes.__doc__ == "Serialize to compact binary form."
    assert CompressedVector.from_bytes.__doc__ == "Deserialize from compact binary form."
    assert str(inspect.signature(CompressedVector.from_bytes)) == "(data)"
    record = CompressedVector.from_bytes(header(0, 2) + b"\x00")
    assert str(inspect.signature(record.to_bytes)) == "()"
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        record.to_bytes(1)
