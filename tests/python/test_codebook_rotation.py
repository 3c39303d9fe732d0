"""`Codebook` and `RotationMatrix`: construction rules and messages, training
against a NumPy reference of the quantile rule, the exported matrix bytes,
and apply / apply_inverse against a plain float64 reference."""

from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from codec_reference import (bits, expect_error, matrix_of, other_threads_ran_during, sequential_apply,
                             sequential_apply_inverse)
from codec_reference import train as reference_train
from marrowfin_rs._core import Codebook, Codec, CodecConfig, RotationMatrix

OUT_OF_RANGE = "out of range integral type conversion attempted"
F32 = np.float32


def f32(values):
    return np.array(values, dtype=F32)


# ---- Codebook ---------------------------------------------------------------


def test_codebook_copies_its_input_and_hands_out_fresh_copies():
    levels = np.array([0, 1, 2, 3], dtype=F32)
    codebook = Codebook(entries=levels, bit_width=2)
    levels[0] = 5.0
    assert (codebook.bit_width, codebook.num_entries) == (2, 4)
    first = codebook.entries
    first[:] = -9.0
    assert codebook.entries is not first and codebook.entries.tolist() == [0.0, 1.0, 2.0, 3.0]


@pytest.mark.parametrize("entries, bit_width", [
    ([-np.nan, -0.0, 0.0, np.nan], 2),
    ([-np.inf, 0.0, 1.0, np.inf], 2),
    ([7.0], 0),
    ([float(v) for v in range(256)], 8),
])
def test_valid_codebooks_keep_their_levels_bit_for_bit(entries, bit_width):
    levels = np.array(entries, dtype=F32)
    codebook = Codebook(levels, bit_width)
    assert bits(codebook.entries) == bits(levels)
    assert (codebook.num_entries, codebook.bit_width) == (2**bit_width, bit_width)


@pytest.mark.parametrize("entries, bit_width, error, message", [
    (f32([0.0, 1.0, 2.0]), 2, ValueError, "codebook must have 4 entries for bit_width=2, got 3"),
    (f32([0.0, -0.0, 1.0, 2.0]), 2, ValueError, "codebook entries must be sorted ascending"),
    (f32([0.0, 1.0, 2.0, 3.0]), 40, ValueError, "bit_width must be one of [2, 4, 8], got 40"),
    (f32([0.0, 1.0, 2.0, 3.0]), 300, OverflowError, OUT_OF_RANGE),
    (f32([0.0, 1.0, 2.0, 3.0]), -1, OverflowError, OUT_OF_RANGE),
    (f32([0.0, 1.0, 2.0, 3.0]), 2.0, TypeError,
     "argument 'bit_width': 'float' object cannot be interpreted as an integer"),
    ([0.0], 300, TypeError, "argument 'entries': 'list' object cannot be converted to 'PyArray<T, D>'"),
])
def test_codebook_construction_errors(entries, bit_width, error, message):
    expect_error(error, message, Codebook, entries, bit_width)


# ---- training ---------------------------------------------------------------


def training_cases():
    rng = np.random.default_rng(20240611)
    yield "normal-4", rng.standard_normal((40, 17)).astype(F32), 2
    yield "normal-256", rng.standard_normal((500, 64)).astype(F32), 8
    yield "exactly-K-shuffled", rng.permutation(np.arange(16, dtype=F32) * 0.5).reshape(4, 4), 4
    yield "integers-with-repeats", rng.integers(-3, 4, (50, 10)).astype(F32), 2
    yield "too-few-distinct", rng.integers(0, 3, (20, 20)).astype(F32), 2
    yield "empty-rows", np.zeros((0, 5), dtype=F32), 2
    yield "empty-cols", np.zeros((5, 0), dtype=F32), 4
    special = np.array([np.nan, -np.nan, np.inf, -np.inf, -0.0, 0.0, 1e38, -1e38, 1e-45, -1e-45,
                        3.0, -2.0, 0.5, 7.0, -7.0, 1.0], dtype=F32)
    yield "specials-4", special.reshape(4, 4), 2
    yield "specials-16", np.concatenate([special, rng.standard_normal(48).astype(F32)]).reshape(8, 8), 4
    yield "infinities-interpolated", np.array([[-np.inf, 1.0, 2.0, np.inf, np.inf]], dtype=F32), 2


TRAINING = list(training_cases())


@pytest.mark.parametrize("name, matrix, bit_width", TRAINING, ids=[case[0] for case in TRAINING])
def test_training_matches_the_quantile_reference(name, matrix, bit_width):
    config = CodecConfig(bit_width, 1, 16)
    expected = reference_train(matrix, bit_width)
    routes = [lambda m: Codebook.train(vectors=m, config=config),
              lambda m: Codec().build_codebook(training_vectors=m, config=config)]
    for train in routes:
        if expected is None:
            expect_error(ValueError, f"insufficient training data for {2**bit_width} distinct entries", train, matrix)
            continue
        codebook = train(matrix)
        assert type(codebook) is Codebook and codebook.bit_width == bit_width
        assert bits(codebook.entries) == bits(expected)
    if expected is not None:  # the shape of the matrix is irrelevant
        assert bits(Codebook.train(matrix.reshape(1, -1), config).entries) == bits(expected)


def test_training_and_generation_run_without_the_interpreter_lock():
    values = np.random.default_rng(0).standard_normal((300, 1000)).astype(F32)
    config = CodecConfig(8, 0, 16)
    assert other_threads_ran_during(lambda: Codebook.train(values, config))
    fresh_seeds = iter(range(987654321, 987654421))  # each attempt must miss the matrix cache
    assert other_threads_ran_during(lambda: RotationMatrix.from_seed_and_dim(next(fresh_seeds), 200))
    levels = np.arange(4, dtype=F32)  # made outside: NumPy itself may let go of the lock while filling it
    assert not other_threads_ran_during(lambda: Codebook(levels, 2), attempts=3)


# ---- RotationMatrix ---------------------------------------------------------


@pytest.mark.parametrize("seed, dimension, error, message", [
    (1, 0, ValueError, "dimension must be > 0"),
    (1, 16385, ValueError, "dimension must be <= 16384, got 16385"),
    (1, 2**32 - 1, ValueError, "dimension must be <= 16384, got 4294967295"),
    (1, -1, OverflowError, OUT_OF_RANGE),
    (1, 2**32, OverflowError, OUT_OF_RANGE),
    (-1, 8, OverflowError, None),
    (2**64, 8, OverflowError, None),
    (1.5, 8, TypeError, "argument 'seed': 'float' object cannot be interpreted as an integer"),
    (1, "8", TypeError, "argument 'dimension': 'str' object cannot be interpreted as an integer"),
])
def test_from_seed_and_dim_errors(seed, dimension, error, message):
    expect_error(error, message, RotationMatrix.from_seed_and_dim, seed, dimension)


@pytest.mark.parametrize("seed", [0, 42, 2**64 - 1])
@pytest.mark.parametrize("dimension", [1, 3, 33])
def test_every_route_to_a_matrix_gives_the_same_bytes(seed, dimension):
    config = CodecConfig(4, seed, dimension, residual_enabled=False)
    routes = [RotationMatrix.from_config(config), RotationMatrix.from_seed_and_dim(seed=seed, dimension=dimension),
              Codec().build_rotation(config), Codec().build_rotation(CodecConfig(8, seed, dimension))]
    reference = routes[0].matrix_f64_bytes()
    assert type(reference) is bytes and len(reference) == dimension * dimension * 8
    for rotation in routes:
        assert type(rotation) is RotationMatrix
        assert (rotation.seed, rotation.dimension) == (seed, dimension)
        assert rotation.matrix_f64_bytes() == reference


@pytest.mark.parametrize("dimension", [1, 5, 33])
def test_apply_and_inverse_match_a_sequential_float64_loop_bit_for_bit(dimension):
    rotation = RotationMatrix.from_seed_and_dim(1234, dimension)
    matrix = matrix_of(rotation)
    rng = np.random.default_rng(dimension)
    for x in (rng.standard_normal(dimension).astype(F32), (rng.standard_normal(dimension) * 1e30).astype(F32),
              np.resize(np.array([1e38, -1e38, 1e-45, -0.0, 3.0, -2.5], dtype=F32), dimension),
              np.zeros(dimension, dtype=F32)):
        assert bits(rotation.apply(x)) == bits(sequential_apply(matrix, x))
        assert bits(rotation.apply_inverse(x)) == bits(sequential_apply_inverse(matrix, x))


@pytest.mark.parametrize("method", ["apply", "apply_inverse"])
def test_apply_length_errors(method):
    call = getattr(RotationMatrix.from_seed_and_dim(3, 8), method)
    for length in (7, 9):
        expect_error(ValueError, f"vector dimension must be 8, got {length}", call, np.zeros(length, dtype=F32))
    assert call(vector=np.zeros(8, dtype=F32)).shape == (8,)


def test_generation_is_thread_safe_and_deterministic():
    seeds = [100 + i // 2 for i in range(12)]  # each seed twice, at the same time
    with ThreadPoolExecutor(max_workers=len(seeds)) as pool:
        built = list(pool.map(lambda seed: RotationMatrix.from_seed_and_dim(seed, 96).matrix_f64_bytes(), seeds))
    assert built == [RotationMatrix.from_seed_and_dim(seed, 96).matrix_f64_bytes() for seed in seeds]
