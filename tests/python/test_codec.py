"""`Codec` and the module functions `compress` / `decompress`: results against
a NumPy reference of rotation, quantization and residual, batch against
single-vector results byte for byte, threads, and the error paths."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import codec_reference as ref
from marrowfin_rs._core import (Codebook, CodebookIncompatibleError, Codec, CodecConfig, CompressedVector,
                                ConfigMismatchError, DimensionMismatchError, RotationMatrix, compress, decompress)

F32 = np.float32
EXAMPLE_LEVELS = np.array([-1.0, -0.25, 0.25, 1.0], dtype=F32)
WIDTH_MISMATCH = "codebook bit_width 2 does not match config bit_width 4"
LENGTHS = "input and output lengths disagree: 3 vs 4"


def encodings(records):
    return [record.to_bytes() for record in records]


def trained_codebook(config, rows=64):
    rotation = RotationMatrix.from_config(config)
    sample = np.random.default_rng(config.seed).standard_normal((rows, config.dimension)).astype(F32)
    return Codebook.train(np.stack([rotation.apply(v) for v in sample]), config)


def edge_rows(dimension):
    specials = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-45, -1e-45, 1e-40, 1e38, -1e38, 3.4e38]
    rows = [np.resize(np.array(specials, dtype=F32), dimension), np.full(dimension, -0.0, dtype=F32),
            np.full(dimension, 1e-45, dtype=F32), np.full(dimension, 1e38, dtype=F32)]
    with_nan = np.random.default_rng(99).standard_normal(dimension).astype(F32)
    with_nan[dimension // 2] = np.nan
    return np.stack(rows + [with_nan])


# ---- quantization, seen through a one-dimensional rotation (a sign) ---------


def sign_of(seed):
    return ref.matrix_of(RotationMatrix.from_seed_and_dim(seed, 1))[0, 0]


def compress_scalars(values, levels, bit_width, seed=5):
    """Compresses each value as its own one-dimensional vector, arranged so that
    the rotated coordinate is the value itself."""
    config = CodecConfig(bit_width, seed, 1, residual_enabled=True)
    codebook = Codebook(np.asarray(levels, dtype=F32), bit_width)
    rows = (np.asarray(values, dtype=F32) * F32(sign_of(seed))).reshape(-1, 1)
    return Codec().compress_batch(rows, config, codebook)


def test_worked_quantization_example():
    records = compress_scalars([0.0, -2.0, 5.0, 0.3], EXAMPLE_LEVELS, 2)
    assert [int(r.indices[0]) for r in records] == [2, 0, 3, 2]
    assert [r.residual for r in records] == [b"\x00\xb4", b"\x00\xbc", b"\x00\x44", bytes([0x66, 0x2A])]
    # The residual reads back as binary16 0x2A66 = 0.04998779296875.
    restored = decompress(records[3], CodecConfig(2, 5, 1), Codebook(EXAMPLE_LEVELS, 2))
    assert restored[0] * sign_of(5) == F32(0.25) + F32(0.04998779296875)
    # On a level, exactly halfway (the upper level), beyond the ends, NaN.
    values = [-0.25, -0.625, 0.0, 0.625, -np.inf, np.inf, np.nan, 0.6249999]
    assert [int(r.indices[0]) for r in compress_scalars(values, EXAMPLE_LEVELS, 2)] == [1, 1, 2, 3, 0, 3, 0, 2]


# ---- whole vectors and batches ----------------------------------------------


@pytest.mark.parametrize("bit_width", [2, 4, 8])
@pytest.mark.parametrize("dimension", [1, 7, 64])
def test_compress_and_decompress_match_the_reference(bit_width, dimension):
    config = CodecConfig(bit_width, 31 + dimension, dimension)
    codebook = trained_codebook(config)
    rotation = RotationMatrix.from_config(config)
    levels = codebook.entries
    rng = np.random.default_rng(dimension)
    for x in list(rng.standard_normal((3, dimension)).astype(F32)) + list(edge_rows(dimension)):
        record = compress(x, config, codebook)
        y = rotation.apply(x)
        indices = ref.quantize(levels, y)
        assert record.indices.tolist() == indices.tolist()
        halves = ref.residual_halves(levels, y, indices)
        stored = np.frombuffer(record.residual, dtype="<u2")
        finite = ~np.array([ref.is_half_nan(h) for h in halves.tolist()], dtype=bool)
        assert stored[finite].tolist() == halves[finite].tolist()
        # Decompression: level plus widened residual, then the inverse rotation.
        with np.errstate(all="ignore"):
            unrotated = stored.view(np.float16).astype(F32) + levels[indices]
        assert ref.bits(decompress(record, config, codebook)) == ref.bits(rotation.apply_inverse(unrotated))


@pytest.mark.parametrize("bit_width, residual", [(2, False), (4, True), (8, True)])
def test_batches_equal_single_vectors_byte_for_byte(bit_width, residual):
    # Enough rows that the batch decoder takes its panel kernel.
    config = CodecConfig(bit_width, 1000 + bit_width, 24, residual_enabled=residual)
    codebook = trained_codebook(config)
    data = np.concatenate([np.random.default_rng(bit_width).standard_normal((80, 24)).astype(F32) * F32(3),
                           edge_rows(24)])
    records = Codec().compress_batch(vectors=data, config=config, codebook=codebook)
    assert type(records) is list and encodings(records) == [compress(r, config, codebook).to_bytes() for r in data]
    assert encodings(records[:1]) == [Codec().compress(codebook=codebook, vector=data[0], config=config).to_bytes()]
    matrix = Codec().decompress_batch(compressed=records, config=config, codebook=codebook)
    assert matrix.shape == (len(data), 24) and matrix.flags.c_contiguous
    for row, record in zip(matrix, records):
        assert ref.bits(row) == ref.bits(decompress(compressed=record, config=config, codebook=codebook))
    assert Codec().decompress_batch(tuple(records), config, codebook).tobytes() == matrix.tobytes()
    assert Codec().decompress(records[0], config, codebook).tobytes() == matrix[0].tobytes()


def test_concurrent_threads_get_the_sequential_results():
    config = CodecConfig(4, 5, 128)
    codebook = trained_codebook(config)
    data = np.random.default_rng(4).standard_normal((8, 30, 128)).astype(F32)
    expected = [encodings([compress(row, config, codebook) for row in chunk]) for chunk in data]

    def work(i):
        batch = Codec().compress_batch(data[i], config, codebook)
        restored = Codec().decompress_batch(batch, config, codebook)
        singles_out = np.stack([decompress(r, config, codebook) for r in batch])
        return encodings(batch), restored.tobytes() == singles_out.tobytes()

    with ThreadPoolExecutor(max_workers=4) as pool:
        assert list(pool.map(work, range(len(data)))) == [(e, True) for e in expected]


def test_core_work_runs_without_the_interpreter_lock():
    config = CodecConfig(4, 6, 256)
    codebook = trained_codebook(config, rows=8)
    data = np.random.default_rng(0).standard_normal((300, 256)).astype(F32)
    records = Codec().compress_batch(data, config, codebook)
    assert ref.other_threads_ran_during(lambda: Codec().compress_batch(data, config, codebook))
    assert ref.other_threads_ran_during(lambda: Codec().decompress_batch(records, config, codebook))
    assert ref.other_threads_ran_during(lambda: [compress(row, config, codebook) for row in data[:100]])
    assert ref.other_threads_ran_during(lambda: [decompress(r, config, codebook) for r in records[:100]])
    # Reading a property never lets go of the lock.
    assert not ref.other_threads_ran_during(lambda: [r.indices for r in records], attempts=3)


# ---- error paths (the module functions share the methods' bodies) -----------


@pytest.fixture(scope="module")
def world():
    config = CodecConfig(4, 42, 4)
    codebook = trained_codebook(config)
    record = compress(np.array([1, 2, 3, 4], dtype=F32), config, codebook)
    foreign = compress(np.array([1, 2, 3, 4], dtype=F32), CodecConfig(4, 43, 4), codebook)
    return dict(config=config, codebook=codebook, narrow=Codebook(EXAMPLE_LEVELS, 2), record=record,
                foreign=foreign, hash_mismatch=f"compressed config_hash {foreign.config_hash} does not match "
                                               f"config hash {config.config_hash}")


def vec(n):
    return np.arange(n, dtype=F32)


ERRORS = [  # (callable, its arguments from `world`, exception, message or a key of `world` holding it)
    (compress, lambda w: (vec(5), w["config"], w["codebook"]), DimensionMismatchError,
     "vector length 5 does not match config dimension 4"),
    (compress, lambda w: (vec(3), w["config"], w["narrow"]), DimensionMismatchError,
     "vector length 3 does not match config dimension 4"),
    (compress, lambda w: (vec(4), w["config"], w["narrow"]), CodebookIncompatibleError, WIDTH_MISMATCH),
    (compress, lambda w: (vec(4), w["codebook"], w["codebook"]), TypeError,
     "argument 'config': 'Codebook' object cannot be converted to 'CodecConfig'"),
    (compress, lambda w: (vec(4), w["config"], w["config"]), TypeError,
     "argument 'codebook': 'CodecConfig' object cannot be converted to 'Codebook'"),
    (decompress, lambda w: (w["foreign"], w["config"], w["narrow"]), ConfigMismatchError, "hash_mismatch"),
    (decompress, lambda w: (w["record"], w["config"], w["narrow"]), CodebookIncompatibleError, WIDTH_MISMATCH),
    (decompress, lambda w: (w["record"].to_bytes(), w["config"], w["codebook"]), TypeError,
     "argument 'compressed': 'bytes' object cannot be converted to 'CompressedVector'"),
    (decompress, lambda w: (w["record"], None, w["codebook"]), TypeError,
     "argument 'config': 'NoneType' object cannot be converted to 'CodecConfig'"),
]


@pytest.mark.parametrize("call, make, error, message", ERRORS)
def test_single_vector_errors(world, call, make, error, message):
    ref.expect_error(error, world.get(message, message), call, *make(world))


def forged(config, dimension, bit_width):
    return CompressedVector.from_bytes(ref.record_bytes(config.config_hash, dimension, bit_width, [1] * dimension))


def test_compress_batch_edge_shapes(world):
    config, codebook, narrow = world["config"], world["codebook"], world["narrow"]
    # No row, so the codebook is never compared.
    assert Codec().compress_batch(np.zeros((0, 4), dtype=F32), config, narrow) == []
    for shape in [(0, 3), (2, 5)]:
        ref.expect_error(DimensionMismatchError, f"vector length {shape[1]} does not match config dimension 4",
                         Codec().compress_batch, np.zeros(shape, dtype=F32), config, codebook)
    ref.expect_error(CodebookIncompatibleError, WIDTH_MISMATCH,
                     Codec().compress_batch, np.zeros((3, 4), dtype=F32), config, narrow)


def test_decompress_batch_conversion_and_checks(world):
    config, codebook, narrow, record = world["config"], world["codebook"], world["narrow"], world["record"]
    empty = Codec().decompress_batch([], config, codebook)
    assert empty.shape == (0, 0) and empty.dtype == np.float32
    # Any sequence type will do.
    assert Codec().decompress_batch(range(0), config, codebook).shape == (0, 0)
    assert Codec().decompress_batch(np.array([record, record], dtype=object), config, codebook).shape == (2, 4)
    # The codebook is compared with the config before any record, even with none.
    for records in ([], [world["foreign"]]):
        ref.expect_error(CodebookIncompatibleError, WIDTH_MISMATCH, Codec().decompress_batch, records, config, narrow)
    for value, message in [
        ("abc", "Can't extract `str` to `Vec`"),
        (5, "'int' object cannot be converted to 'Sequence'"),
        ({record: 1}, "'dict' object cannot be converted to 'Sequence'"),
        (iter([record]), "'list_iterator' object cannot be converted to 'Sequence'"),
        ([record, 1], "'int' object cannot be converted to 'CompressedVector'"),
    ]:
        ref.expect_error(TypeError, "argument 'compressed': " + message,
                         Codec().decompress_batch, value, config, narrow)
    # The first failing record decides.
    ref.expect_error(ConfigMismatchError, world["hash_mismatch"], Codec().decompress_batch,
                     [record, world["foreign"], forged(config, 3, 4)], config, codebook)
    ref.expect_error(ValueError, LENGTHS, Codec().decompress_batch,
                     [record, forged(config, 3, 4), world["foreign"]], config, codebook)
