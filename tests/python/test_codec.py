"""`Codec` and the module functions `compress` / `decompress`: results against
a NumPy reference of quantization and residual, batch against single-vector
results byte for byte, determinism, threads, and every error path."""

import inspect
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import codec_reference as ref
from marrowfin_rs._core import (
    Codebook,
    CodebookIncompatibleError,
    Codec,
    CodecConfig,
    CompressedVector,
    ConfigMismatchError,
    DimensionMismatchError,
    RotationMatrix,
    compress,
    decompress,
)

F32 = np.float32
EXAMPLE_LEVELS = np.array([-1.0, -0.25, 0.25, 1.0], dtype=F32)


def encodings(records):
    return [record.to_bytes() for record in records]


def trained_codebook(config, rows=64):
    rotation = RotationMatrix.from_config(config)
    sample = np.random.default_rng(config.seed).standard_normal((rows, config.dimension)).astype(F32)
    return Codebook.train(np.stack([rotation.apply(v) for v in sample]), config)


def edge_rows(dimension):
    rng = np.random.default_rng(99)
    specials = [np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 1e-45, -1e-45, 1e-40, 1e38, -1e38, 3.4e38]
    rows = [np.resize(np.array(specials, dtype=F32), dimension),
            np.zeros(dimension, dtype=F32),
            np.full(dimension, -0.0, dtype=F32),
            np.full(dimension, 1e-45, dtype=F32),
            np.full(dimension, 1e38, dtype=F32)]
    with_nan = rng.standard_normal(dimension).astype(F32)
    with_nan[dimension // 2] = np.nan
    rows.append(with_nan)
    with_inf = rng.standard_normal(dimension).astype(F32)
    with_inf[0] = np.inf
    rows.append(with_inf)
    return np.stack(rows)


# ---- quantization, seen through a one-dimensional rotation (a sign) ---------


def sign_of(seed):
    return ref.matrix_of(RotationMatrix.from_seed_and_dim(seed, 1))[0, 0]


def compress_scalars(values, levels, bit_width, seed=5, residual=True):
    """Compresses each value as its own one-dimensional vector, arranged so that
    the rotated coordinate is the value itself."""
    config = CodecConfig(bit_width, seed, 1, residual_enabled=residual)
    codebook = Codebook(np.asarray(levels, dtype=F32), bit_width)
    rows = (np.asarray(values, dtype=F32) * F32(sign_of(seed))).reshape(-1, 1)
    return Codec().compress_batch(rows, config, codebook)


def test_worked_quantization_example():
    records = compress_scalars([0.0, -2.0, 5.0, 0.3], EXAMPLE_LEVELS, 2)
    assert [int(r.indices[0]) for r in records] == [2, 0, 3, 2]
    assert records[3].residual == bytes([0x66, 0x2A])
    assert [r.residual for r in records[:3]] == [b"\x00\xb4", b"\x00\xbc", b"\x00\x44"]
    # The residual reads back as binary16 0x2A66 = 0.04998779296875.
    config = CodecConfig(2, 5, 1)
    restored = decompress(records[3], config, Codebook(EXAMPLE_LEVELS, 2))
    assert restored[0] * sign_of(5) == F32(0.25) + F32(0.04998779296875)


@pytest.mark.parametrize("value, index", [
    (-1.0, 0), (-0.25, 1), (0.25, 2), (1.0, 3),              # on a level
    (-0.625, 1), (0.0, 2), (0.625, 3),                       # exactly halfway: the upper level
    (-5.0, 0), (5.0, 3), (-np.inf, 0), (np.inf, 3),          # beyond the ends
    (np.nan, 0), (-np.nan, 0),                               # NaN stops the scan at once
    (0.2500001, 2), (0.6249999, 2), (-0.6250001, 0),
])
def test_quantization_rule_on_chosen_values(value, index):
    [record] = compress_scalars([value], EXAMPLE_LEVELS, 2)
    assert record.indices.tolist() == [index]


def quantization_codebooks():
    rng = np.random.default_rng(17)
    for bit_width in (2, 4, 8):
        k = 2**bit_width
        levels = np.unique(rng.standard_normal(4 * k).astype(F32))[:k]
        yield f"random-{k}", bit_width, np.sort(levels)
    yield "signed-zeros", 2, np.array([-1.0, -0.0, 0.0, 1.0], dtype=F32)
    yield "nan-ends", 2, np.array([-np.nan, -1.0, 1.0, np.nan], dtype=F32)
    yield "infinite-ends", 2, np.array([-np.inf, -1.0, 1.0, np.inf], dtype=F32)
    yield "huge", 4, np.linspace(-3e38, 3e38, 16, dtype=F32)


CODEBOOKS = list(quantization_codebooks())


@pytest.mark.parametrize("name, bit_width, levels", CODEBOOKS, ids=[c[0] for c in CODEBOOKS])
def test_quantization_and_residual_match_the_reference(name, bit_width, levels):
    rng = np.random.default_rng(bit_width)
    finite = levels[np.isfinite(levels)]
    midpoints = ((finite[:-1].astype(np.float64) + finite[1:]) / 2).astype(F32)
    values = np.concatenate([
        rng.standard_normal(600).astype(F32) * F32(2.0),
        finite, midpoints, np.nextafter(midpoints, F32(np.inf)), np.nextafter(midpoints, F32(-np.inf)),
        np.array([np.nan, -np.nan, np.inf, -np.inf, 0.0, 1e-45, -1e-45, 1e38, -1e38, 65519.0, 65520.0,
                  -70000.0, 6e-8, 2e-8], dtype=F32),
    ])
    records = compress_scalars(values, levels, bit_width)
    # Through the sign rotation a -0.0 coordinate comes out as +0.0 (0.0 + -0.0).
    rotated = np.where(values == 0, F32(0.0), values)
    expected = ref.quantize(levels, rotated)
    got = np.array([r.indices[0] for r in records], dtype=np.uint8)
    assert got.tolist() == expected.tolist()
    halves = ref.residual_halves(levels, rotated, expected)
    stored = np.frombuffer(b"".join(r.residual for r in records), dtype="<u2")
    for want, have in zip(halves.tolist(), stored.tolist()):
        if ref.is_half_nan(want):
            assert ref.is_half_nan(have)
        else:
            assert have == want


# ---- whole vectors against the reference ------------------------------------


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


def test_bit_exact_against_the_sequential_reference_for_a_small_dimension():
    config = CodecConfig(4, 77, 8)
    codebook = trained_codebook(config)
    matrix = ref.matrix_of(RotationMatrix.from_config(config))
    x = np.random.default_rng(3).standard_normal(8).astype(F32)
    y = ref.sequential_apply(matrix, x)
    record = compress(x, config, codebook)
    assert record.indices.tolist() == ref.quantize(codebook.entries, y).tolist()
    unrotated = np.frombuffer(record.residual, dtype="<f2").astype(F32) + codebook.entries[record.indices]
    expected = ref.sequential_apply_inverse(matrix, unrotated)
    assert ref.bits(decompress(record, config, codebook)) == ref.bits(expected)


@pytest.mark.parametrize("residual", [True, False])
def test_round_trip_accuracy_at_768(residual):
    config = CodecConfig(4, 42, 768, residual_enabled=residual)
    codebook = trained_codebook(config, rows=32)
    x = np.random.default_rng(8).standard_normal((4, 768)).astype(F32)
    restored = Codec().decompress_batch(Codec().compress_batch(x, config, codebook), config, codebook)
    assert restored.shape == (4, 768) and restored.dtype == np.float32
    if residual:
        # Only the binary16 rounding of each residual and float32 rotations remain.
        assert np.max(np.abs(restored - x)) < 2e-3
    else:
        cosines = np.sum(restored * x, axis=1) / np.linalg.norm(restored, axis=1) / np.linalg.norm(x, axis=1)
        assert np.all(cosines > 0.97)


@pytest.mark.parametrize("residual, size", [(False, 384), (True, 1920)])
def test_record_fields_at_768(residual, size):
    config = CodecConfig(4, 42, 768, residual_enabled=residual)
    codebook = trained_codebook(config, rows=8)
    record = Codec().compress(np.ones(768, dtype=F32), config, codebook)
    assert type(record) is CompressedVector
    assert (record.dimension, record.bit_width, record.config_hash) == (768, 4, config.config_hash)
    assert record.has_residual is residual and record.size_bytes == size
    assert (record.residual is None) if not residual else (len(record.residual) == 1536)
    assert len(record.to_bytes()) == (455 if not residual else 1995)


# ---- batches, determinism, entry points -------------------------------------


@pytest.mark.parametrize("bit_width, residual", [(2, False), (4, True), (8, True)])
def test_batches_equal_single_vectors_byte_for_byte(bit_width, residual):
    config = CodecConfig(bit_width, 1000 + bit_width, 24, residual_enabled=residual)
    codebook = trained_codebook(config)
    rng = np.random.default_rng(bit_width)
    data = np.concatenate([rng.standard_normal((40, 24)).astype(F32) * F32(3), edge_rows(24)])
    records = Codec().compress_batch(data, config, codebook)
    assert type(records) is list and len(records) == len(data)
    singles = [compress(row, config, codebook) for row in data]
    assert encodings(records) == encodings(singles)
    assert encodings(records) == encodings(Codec().compress_batch(data, config, codebook))
    assert encodings(records) == encodings([Codec().compress(row, config, codebook) for row in data])
    matrix = Codec().decompress_batch(records, config, codebook)
    assert matrix.shape == (len(data), 24) and matrix.flags.c_contiguous
    for row, record in zip(matrix, singles):
        assert ref.bits(row) == ref.bits(decompress(record, config, codebook))
        assert ref.bits(row) == ref.bits(Codec().decompress(record, config, codebook))
    assert Codec().decompress_batch(tuple(records), config, codebook).tobytes() == matrix.tobytes()


def test_one_row_batch_is_the_single_record():
    config = CodecConfig(4, 2, 16)
    codebook = trained_codebook(config)
    row = np.random.default_rng(1).standard_normal((1, 16)).astype(F32)
    expected = [compress(row[0], config, codebook).to_bytes()]
    assert encodings(Codec().compress_batch(row, config, codebook)) == expected


def test_keywords_and_module_functions():
    config = CodecConfig(2, 3, 4)
    codebook = Codebook(EXAMPLE_LEVELS, 2)
    x = np.array([0.1, -0.7, 2.0, 0.0], dtype=F32)
    record = compress(vector=x, config=config, codebook=codebook)
    assert Codec().compress(codebook=codebook, vector=x, config=config).to_bytes() == record.to_bytes()
    out = decompress(compressed=record, config=config, codebook=codebook)
    assert out.tobytes() == Codec().decompress(record, codebook=codebook, config=config).tobytes()
    assert Codec().decompress_batch(compressed=[record], config=config, codebook=codebook).shape == (1, 4)


def test_residual_in_the_record_is_used_whatever_the_config_says():
    with_residual = CodecConfig(2, 3, 4, residual_enabled=True)
    codebook = Codebook(EXAMPLE_LEVELS, 2)
    x = np.array([0.1, -0.7, 2.0, 0.3], dtype=F32)
    record = compress(x, with_residual, codebook)
    plain = CodecConfig(2, 3, 4, residual_enabled=False)
    # A record carrying plain's hash but a residual (only possible through bytes).
    forged = CompressedVector.from_bytes(
        ref.record_bytes(plain.config_hash, 4, 2, record.indices, record.residual))
    assert decompress(forged, plain, codebook).tobytes() == decompress(record, with_residual, codebook).tobytes()


def test_concurrent_threads_get_the_sequential_results():
    config = CodecConfig(4, 5, 128)
    codebook = trained_codebook(config)
    data = np.random.default_rng(4).standard_normal((8, 30, 128)).astype(F32)
    expected = [encodings([compress(row, config, codebook) for row in chunk]) for chunk in data]

    def work(i):
        singles = encodings([compress(row, config, codebook) for row in data[i]])
        batch = Codec().compress_batch(data[i], config, codebook)
        restored = Codec().decompress_batch(batch, config, codebook)
        singles_out = np.stack([decompress(r, config, codebook) for r in batch])
        return singles, encodings(batch), restored.tobytes() == singles_out.tobytes()

    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(pool.map(work, range(len(data))))
    for i, (singles, batch, consistent) in enumerate(results):
        assert singles == expected[i] and batch == expected[i] and consistent


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


def test_codec_class_and_function_docs():
    assert Codec.__doc__ == "Stateless codec service \u2014 wraps `marrowfin_core::codec::Codec`."
    assert str(inspect.signature(Codec)) == "()"
    assert compress.__doc__ == "Module-level convenience \u2014 equivalent to `Codec().compress(...)`."
    assert decompress.__doc__ == "Module-level convenience \u2014 equivalent to `Codec().decompress(...)`."
    assert str(inspect.signature(compress)) == "(vector, config, codebook)"
    assert str(inspect.signature(decompress)) == "(compressed, config, codebook)"
    codec = Codec()
    for name, signature in [("compress", "(vector, config, codebook)"),
                            ("decompress", "(compressed, config, codebook)"),
                            ("compress_batch", "(vectors, config, codebook)"),
                            ("decompress_batch", "(compressed, config, codebook)")]:
        method = getattr(codec, name)
        assert str(inspect.signature(method)) == signature
        assert method.__doc__ is None
    assert type(Codec()) is Codec and Codec() is not Codec()


# ---- error paths ------------------------------------------------------------


@pytest.fixture(scope="module")
def world():
    config = CodecConfig(4, 42, 4)
    other = CodecConfig(4, 43, 4)
    codebook = trained_codebook(config)
    narrow = Codebook(EXAMPLE_LEVELS, 2)
    record = compress(np.array([1, 2, 3, 4], dtype=F32), config, codebook)
    foreign = compress(np.array([1, 2, 3, 4], dtype=F32), other, codebook)
    return dict(config=config, other=other, codebook=codebook, narrow=narrow, record=record, foreign=foreign)


def vec(n):
    return np.arange(n, dtype=F32)


COMPRESS_ERRORS = [
    ("wrong length", lambda w: (vec(5), w["config"], w["codebook"]), DimensionMismatchError,
     "vector length 5 does not match config dimension 4"),
    ("length before codebook", lambda w: (vec(3), w["config"], w["narrow"]), DimensionMismatchError,
     "vector length 3 does not match config dimension 4"),
    ("codebook bit width", lambda w: (vec(4), w["config"], w["narrow"]), CodebookIncompatibleError,
     "codebook bit_width 2 does not match config bit_width 4"),
    ("vector type", lambda w: (vec(4).astype(np.float64), w["config"], w["codebook"]), TypeError,
     "argument 'vector': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("vector before config", lambda w: ([1.0], 4, None), TypeError,
     "argument 'vector': 'list' object cannot be converted to 'PyArray<T, D>'"),
    ("config type", lambda w: (vec(4), w["codebook"], w["codebook"]), TypeError,
     "argument 'config': 'Codebook' object cannot be converted to 'CodecConfig'"),
    ("codebook type", lambda w: (vec(4), w["config"], w["config"]), TypeError,
     "argument 'codebook': 'CodecConfig' object cannot be converted to 'Codebook'"),
    ("strided", lambda w: (vec(8)[::2], w["config"], w["codebook"]), ValueError,
     "numpy slice unavailable: The given array is not contiguous"),
    ("strided before codebook type", lambda w: (vec(8)[::2], w["config"], w["narrow"]), ValueError,
     "numpy slice unavailable: The given array is not contiguous"),
]

DECOMPRESS_ERRORS = [
    ("hash", lambda w: (w["foreign"], w["config"], w["codebook"]), ConfigMismatchError, None),
    ("hash before codebook", lambda w: (w["foreign"], w["config"], w["narrow"]), ConfigMismatchError, None),
    ("codebook bit width", lambda w: (w["record"], w["config"], w["narrow"]), CodebookIncompatibleError,
     "codebook bit_width 2 does not match config bit_width 4"),
    ("record type", lambda w: (w["record"].to_bytes(), w["config"], w["codebook"]), TypeError,
     "argument 'compressed': 'bytes' object cannot be converted to 'CompressedVector'"),
    ("config type", lambda w: (w["record"], None, w["codebook"]), TypeError,
     "argument 'config': 'NoneType' object cannot be converted to 'CodecConfig'"),
    ("codebook type", lambda w: (w["record"], w["config"], "x"), TypeError,
     "argument 'codebook': 'str' object cannot be converted to 'Codebook'"),
]


def run_all(entry_points, arguments, error, message):
    for call in entry_points:
        with pytest.raises(error) as caught:
            call(*arguments)
        assert type(caught.value) is error
        if message is not None:
            assert str(caught.value) == message


@pytest.mark.parametrize("case", COMPRESS_ERRORS, ids=[c[0] for c in COMPRESS_ERRORS])
def test_compress_errors(world, case):
    _, make, error, message = case
    run_all([compress, Codec().compress], make(world), error, message)


@pytest.mark.parametrize("case", DECOMPRESS_ERRORS, ids=[c[0] for c in DECOMPRESS_ERRORS])
def test_decompress_errors(world, case):
    _, make, error, message = case
    if message is None:
        message = (f"compressed config_hash {world['foreign'].config_hash} does not match "
                   f"config hash {world['config'].config_hash}")
    run_all([decompress, Codec().decompress], make(world), error, message)


def forged(config, dimension, bit_width):
    return CompressedVector.from_bytes(ref.record_bytes(config.config_hash, dimension, bit_width, [1] * dimension))


def test_decompress_errors_on_records_with_the_right_hash(world):
    config, codebook = world["config"], world["codebook"]
    narrow_record = forged(config, 4, 2)
    with pytest.raises(CodebookIncompatibleError) as caught:
        decompress(narrow_record, config, codebook)
    assert str(caught.value) == "codebook bit_width 2 does not match config bit_width 4"
    with pytest.raises(ValueError) as caught:
        decompress(forged(config, 3, 4), config, codebook)
    assert type(caught.value) is ValueError
    assert str(caught.value) == "input and output lengths disagree: 3 vs 4"
    with pytest.raises(ValueError, match="^input and output lengths disagree: 3 vs 4$"):
        Codec().decompress_batch([world["record"], forged(config, 3, 4)], config, codebook)


def test_binding_errors_name_the_callable():
    x = vec(4)
    for call, name in [(compress, "compress"), (Codec().compress, "Codec.compress")]:
        with pytest.raises(TypeError) as caught:
            call(x)
        assert str(caught.value) == f"{name}() missing 2 required positional arguments: 'config' and 'codebook'"
        with pytest.raises(TypeError) as caught:
            call(x, 1, 2, 3)
        assert str(caught.value) == f"{name}() takes 3 positional arguments but 4 were given"
    with pytest.raises(TypeError, match=r"^decompress\(\) got an unexpected keyword argument 'vector'$"):
        decompress(vector=x)
    with pytest.raises(TypeError, match=r"^Codec.compress_batch\(\) got multiple values for argument 'vectors'$"):
        Codec().compress_batch(x, vectors=x)
    with pytest.raises(TypeError):
        Codec(1)
    with pytest.raises(TypeError):
        Codec(config=1)


def test_compress_batch_edge_shapes(world):
    config, codebook, narrow = world["config"], world["codebook"], world["narrow"]
    assert Codec().compress_batch(np.zeros((0, 4), dtype=F32), config, codebook) == []
    # No row, so the codebook is never compared.
    assert Codec().compress_batch(np.zeros((0, 4), dtype=F32), config, narrow) == []
    for shape in [(0, 3), (2, 5)]:
        with pytest.raises(DimensionMismatchError) as caught:
            Codec().compress_batch(np.zeros(shape, dtype=F32), config, codebook)
        assert str(caught.value) == f"vector length {shape[1]} does not match config dimension 4"
    with pytest.raises(CodebookIncompatibleError, match="^codebook bit_width 2 does not match config bit_width 4"):
        Codec().compress_batch(np.zeros((3, 4), dtype=F32), config, narrow)
    with pytest.raises(TypeError, match=r"^argument 'vectors': 'ndarray' object cannot be converted to 'PyArray"):
        Codec().compress_batch(np.zeros(4, dtype=F32), config, codebook)
    with pytest.raises(ValueError, match="^input matrix must be C-contiguous float32$"):
        Codec().compress_batch(np.asfortranarray(np.zeros((3, 4), dtype=F32)), config, codebook)


def test_decompress_batch_conversion_and_checks(world):
    config, codebook, narrow, record = world["config"], world["codebook"], world["narrow"], world["record"]
    empty = Codec().decompress_batch([], config, codebook)
    assert empty.shape == (0, 0) and empty.dtype == np.float32
    assert Codec().decompress_batch((), config, codebook).shape == (0, 0)
    # The codebook is compared with the config before any record, even with none.
    for records in ([], [record], [world["foreign"]]):
        with pytest.raises(CodebookIncompatibleError) as caught:
            Codec().decompress_batch(records, config, narrow)
        assert str(caught.value) == "codebook bit_width 2 does not match config bit_width 4"
    conversions = [
        ("abc", "argument 'compressed': Can't extract `str` to `Vec`"),
        ("", "argument 'compressed': Can't extract `str` to `Vec`"),
        (5, "argument 'compressed': 'int' object cannot be converted to 'Sequence'"),
        ({record: 1}, "argument 'compressed': 'dict' object cannot be converted to 'Sequence'"),
        (iter([record]), "argument 'compressed': 'list_iterator' object cannot be converted to 'Sequence'"),
        ([record, 1], "argument 'compressed': 'int' object cannot be converted to 'CompressedVector'"),
        ([record, b""], "argument 'compressed': 'bytes' object cannot be converted to 'CompressedVector'"),
    ]
    for value, message in conversions:
        with pytest.raises(TypeError) as caught:
            Codec().decompress_batch(value, config, narrow)
        assert str(caught.value) == message
    # Any sequence type will do.
    assert Codec().decompress_batch(np.array([record, record], dtype=object), config, codebook).shape == (2, 4)
    assert Codec().decompress_batch(range(0), config, codebook).shape == (0, 0)


def test_decompress_batch_reports_the_first_failing_record(world):
    config, codebook, record, foreign = world["config"], world["codebook"], world["record"], world["foreign"]
    third_foreign = [record, record, foreign, forged(config, 3, 4)]
    with pytest.raises(ConfigMismatchError) as caught:
        Codec().decompress_batch(third_foreign, config, codebook)
    assert str(caught.value) == (f"compressed config_hash {foreign.config_hash} does not match "
                                 f"config hash {config.config_hash}")
