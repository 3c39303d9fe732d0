"""`Codebook` and `RotationMatrix`: construction rules and messages, training
against a NumPy reference of the quantile rule, the exported matrix bytes,
and apply / apply_inverse against a plain float64 reference."""

import inspect
import threading

import numpy as np
import pytest

from codec_reference import (
    bits,
    matrix_of,
    other_threads_ran_during,
    sequential_apply,
    sequential_apply_inverse,
)
from codec_reference import train as reference_train
from marrowfin_rs._core import Codebook, Codec, CodecConfig, RotationMatrix

OUT_OF_RANGE = "out of range integral type conversion attempted"
F32 = np.float32


# ---- Codebook ---------------------------------------------------------------


def test_codebook_fields_and_fresh_entry_copies():
    codebook = Codebook(np.array([0, 1, 2, 3], dtype=F32), 2)
    assert (codebook.bit_width, codebook.num_entries) == (2, 4)
    first = codebook.entries
    assert first.dtype == np.float32 and first.tolist() == [0.0, 1.0, 2.0, 3.0]
    first[:] = -9.0
    second = codebook.entries
    assert second is not first and second.tolist() == [0.0, 1.0, 2.0, 3.0]


def test_codebook_copies_its_input():
    levels = np.array([0, 1, 2, 3], dtype=F32)
    codebook = Codebook(levels, 2)
    levels[0] = 5.0
    assert codebook.entries.tolist() == [0.0, 1.0, 2.0, 3.0]


@pytest.mark.parametrize(
    "entries, bit_width",
    [
        ([0.0, 1.0, 2.0, 3.0], 2),
        ([-0.0, 0.0, 1.0, 2.0], 2),
        ([-np.inf, 0.0, 1.0, np.inf], 2),
        ([-np.nan, 0.0, 1.0, np.nan], 2),
        ([float(v) for v in range(8)], 3),
        ([7.0], 0),
        ([float(v) for v in range(256)], 8),
    ],
    ids=["plain", "signed-zeros", "infinities", "nan-ends", "bit-width-3", "bit-width-0", "bit-width-8"],
)
def test_valid_codebooks_keep_their_levels_bit_for_bit(entries, bit_width):
    levels = np.array(entries, dtype=F32)
    codebook = Codebook(levels, bit_width)
    assert bits(codebook.entries) == bits(levels)
    assert codebook.num_entries == 2**bit_width and codebook.bit_width == bit_width


@pytest.mark.parametrize(
    "entries, bit_width, message",
    [
        ([0.0, 1.0, 2.0], 2, "codebook must have 4 entries for bit_width=2, got 3"),
        ([0.0, 1.0, 2.0, 3.0, 4.0], 2, "codebook must have 4 entries for bit_width=2, got 5"),
        ([0.0, 1.0, 1.0, 2.0], 2, "codebook must contain 4 distinct values, got 2"),
        ([1.0, 1.0, 0.0, 2.0], 2, "codebook must contain 4 distinct values, got 1"),
        ([0.0, 2.0, 1.0, 3.0], 2, "codebook entries must be sorted ascending"),
        ([0.0, -0.0, 1.0, 2.0], 2, "codebook entries must be sorted ascending"),
        ([0.0, 1.0, 2.0, np.nan], 2, None),  # a trailing +NaN is fine
        ([np.nan, 0.0, 1.0, 2.0], 2, "codebook entries must be sorted ascending"),
        ([0.0, 1.0, 2.0, 3.0], 40, "bit_width must be one of [2, 4, 8], got 40"),
        ([0.0, 1.0, 2.0, 3.0], 32, "bit_width must be one of [2, 4, 8], got 32"),
        ([0.0, 1.0, 2.0, 3.0], 255, "bit_width must be one of [2, 4, 8], got 255"),
    ],
)
def test_codebook_construction_errors(entries, bit_width, message):
    levels = np.array(entries, dtype=F32)
    if message is None:
        Codebook(levels, bit_width)
        return
    with pytest.raises(ValueError) as caught:
        Codebook(levels, bit_width)
    assert type(caught.value) is ValueError
    assert str(caught.value) == message


@pytest.mark.parametrize("bit_width, error, message", [
    (300, OverflowError, OUT_OF_RANGE),
    (256, OverflowError, OUT_OF_RANGE),
    (-1, OverflowError, OUT_OF_RANGE),
    (2.0, TypeError, "argument 'bit_width': 'float' object cannot be interpreted as an integer"),
    ("2", TypeError, "argument 'bit_width': 'str' object cannot be interpreted as an integer"),
])
def test_codebook_bit_width_conversion(bit_width, error, message):
    with pytest.raises(error) as caught:
        Codebook(np.zeros(4, dtype=F32), bit_width)
    assert type(caught.value) is error and str(caught.value) == message


def test_codebook_argument_binding():
    levels = np.arange(4, dtype=F32)
    assert Codebook(entries=levels, bit_width=2).num_entries == 4
    missing = r"^Codebook.__new__\(\) missing 1 required positional argument: 'bit_width'$"
    with pytest.raises(TypeError, match=missing):
        Codebook(levels)
    with pytest.raises(TypeError, match=r"^Codebook.__new__\(\) got an unexpected keyword argument 'size'$"):
        Codebook(levels, 2, size=3)
    # The first argument's conversion error wins.
    with pytest.raises(TypeError, match="^argument 'entries': "):
        Codebook([0.0], 300)


# ---- training ---------------------------------------------------------------


def training_cases():
    rng = np.random.default_rng(20240611)
    yield "normal-4", rng.standard_normal((40, 17)).astype(F32), 2
    yield "normal-16", rng.standard_normal((300, 33)).astype(F32), 4
    yield "normal-256", rng.standard_normal((500, 64)).astype(F32), 8
    yield "uniform-256-few", rng.uniform(-1, 1, (3, 100)).astype(F32), 8
    yield "exactly-K-shuffled", rng.permutation(np.arange(16, dtype=F32) * 0.5).reshape(4, 4), 4
    yield "exactly-K-one-row", np.array([[3.0, -1.0, 2.0, 0.5]], dtype=F32), 2
    yield "integers-with-repeats", rng.integers(-3, 4, (50, 10)).astype(F32), 2
    yield "too-few-distinct", rng.integers(0, 3, (20, 20)).astype(F32), 2
    yield "all-equal", np.full((5, 5), 2.5, dtype=F32), 2
    yield "single-value", np.array([[1.0]], dtype=F32), 2
    yield "empty-rows", np.zeros((0, 5), dtype=F32), 2
    yield "empty-cols", np.zeros((5, 0), dtype=F32), 4
    yield "tiny-spread", (1.0 + rng.integers(0, 4, (30, 3)) * np.finfo(F32).eps).astype(F32), 2
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
    if expected is None:
        with pytest.raises(ValueError) as caught:
            Codebook.train(matrix, config)
        assert type(caught.value) is ValueError
        assert str(caught.value) == f"insufficient training data for {2**bit_width} distinct entries"
        return
    codebook = Codebook.train(matrix, config)
    assert type(codebook) is Codebook
    assert codebook.bit_width == bit_width
    assert bits(codebook.entries) == bits(expected)
    # build_codebook is the same operation; the shape of the matrix is irrelevant.
    assert bits(Codec().build_codebook(matrix, config).entries) == bits(expected)
    assert bits(Codebook.train(matrix.reshape(1, -1), config).entries) == bits(expected)


def test_training_with_exactly_k_distinct_values_returns_them_sorted():
    values = np.array([[9.0, -3.0], [0.25, 4.0]], dtype=F32)
    assert Codebook.train(values, CodecConfig(2, 0, 4)).entries.tolist() == [-3.0, 0.25, 4.0, 9.0]


def test_training_argument_errors():
    config = CodecConfig(2, 0, 4)
    good = np.arange(8, dtype=F32).reshape(2, 4)
    with pytest.raises(TypeError, match=r"^argument 'config': 'int' object cannot be converted to 'CodecConfig'$"):
        Codebook.train(good, 4)
    with pytest.raises(TypeError, match=r"^argument 'training_vectors': 'ndarray' object cannot"):
        Codec().build_codebook(good.ravel(), config)
    with pytest.raises(TypeError, match=r"^argument 'config': 'Codebook' object cannot be converted to"):
        Codec().build_codebook(good, Codebook(np.arange(4, dtype=F32), 2))
    with pytest.raises(TypeError, match=r"^Codebook.train\(\) missing 1 required positional argument: 'config'$"):
        Codebook.train(good)
    assert Codebook.train(vectors=good, config=config).num_entries == 4
    assert Codec().build_codebook(training_vectors=good, config=config).num_entries == 4


def test_training_and_generation_run_without_the_interpreter_lock():
    values = np.random.default_rng(0).standard_normal((300, 1000)).astype(F32)
    config = CodecConfig(8, 0, 16)
    assert other_threads_ran_during(lambda: Codebook.train(values, config))
    fresh_seeds = iter(range(987654321, 987654421))  # each attempt must miss the matrix cache
    assert other_threads_ran_during(lambda: RotationMatrix.from_seed_and_dim(next(fresh_seeds), 200))
    assert not other_threads_ran_during(lambda: Codebook(np.arange(4, dtype=F32), 2), attempts=3)


# ---- RotationMatrix ---------------------------------------------------------


def test_rotation_matrix_has_no_constructor():
    with pytest.raises(TypeError) as caught:
        RotationMatrix()
    assert str(caught.value) == "No constructor defined for RotationMatrix"
    with pytest.raises(TypeError):
        RotationMatrix(1, 8)


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
    with pytest.raises(error) as caught:
        RotationMatrix.from_seed_and_dim(seed, dimension)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message


@pytest.mark.parametrize("seed", [0, 1, 42, 2**63, 2**64 - 1])
@pytest.mark.parametrize("dimension", [1, 2, 3, 8, 33])
def test_every_route_to_a_matrix_gives_the_same_bytes(seed, dimension):
    config = CodecConfig(4, seed, dimension, residual_enabled=False)
    routes = [
        RotationMatrix.from_config(config),
        RotationMatrix.from_seed_and_dim(seed, dimension),
        RotationMatrix.from_seed_and_dim(seed=seed, dimension=dimension),
        Codec().build_rotation(config),
        Codec().build_rotation(CodecConfig(8, seed, dimension)),
    ]
    reference = routes[0].matrix_f64_bytes()
    assert len(reference) == dimension * dimension * 8
    for rotation in routes:
        assert type(rotation) is RotationMatrix
        assert (rotation.seed, rotation.dimension) == (seed, dimension)
        assert rotation.matrix_f64_bytes() == reference
    matrix = matrix_of(routes[0])
    assert np.allclose(matrix @ matrix.T, np.eye(dimension), rtol=0, atol=1e-13)
    assert np.allclose(np.linalg.norm(matrix, axis=0), 1.0, rtol=0, atol=1e-14)


def test_dimension_one_is_a_sign():
    for seed in range(20):
        assert matrix_of(RotationMatrix.from_seed_and_dim(seed, 1)).tolist()[0][0] in (1.0, -1.0)


def test_different_seeds_and_dimensions_give_different_matrices():
    a = matrix_of(RotationMatrix.from_seed_and_dim(1, 16))
    b = matrix_of(RotationMatrix.from_seed_and_dim(2, 16))
    c = matrix_of(RotationMatrix.from_seed_and_dim(1, 17))
    assert not np.array_equal(a, b)
    assert not np.array_equal(a, c[:16, :16])


def test_matrix_bytes_are_a_fresh_object_each_time():
    rotation = RotationMatrix.from_seed_and_dim(9, 4)
    first = rotation.matrix_f64_bytes()
    assert type(first) is bytes
    assert rotation.matrix_f64_bytes() == first


@pytest.mark.parametrize("dimension", [1, 5, 8, 16])
def test_apply_and_inverse_match_a_sequential_float64_loop_bit_for_bit(dimension):
    rotation = RotationMatrix.from_seed_and_dim(1234, dimension)
    matrix = matrix_of(rotation)
    rng = np.random.default_rng(dimension)
    vectors = [
        rng.standard_normal(dimension).astype(F32),
        (rng.standard_normal(dimension) * 1e30).astype(F32),
        np.resize(np.array([1e38, -1e38, 1e-45, -0.0, 3.0, -2.5], dtype=F32), dimension),
        np.zeros(dimension, dtype=F32),
    ]
    for x in vectors:
        assert bits(rotation.apply(x)) == bits(sequential_apply(matrix, x))
        assert bits(rotation.apply_inverse(x)) == bits(sequential_apply_inverse(matrix, x))
    assert bits(rotation.apply(np.zeros(dimension, dtype=F32))) == [0] * dimension


def test_apply_at_768_agrees_with_blas_and_inverts():
    rotation = RotationMatrix.from_seed_and_dim(42, 768)
    matrix = matrix_of(rotation)
    x = np.random.default_rng(7).standard_normal(768).astype(F32)
    y = rotation.apply(x)
    scale = np.linalg.norm(x)
    assert np.max(np.abs(y - matrix @ x.astype(np.float64))) < 1e-6 * scale
    z = rotation.apply_inverse(x)
    assert np.max(np.abs(z - matrix.T @ x.astype(np.float64))) < 1e-6 * scale
    assert np.max(np.abs(rotation.apply_inverse(y) - x)) < 1e-5 * scale


@pytest.mark.parametrize("method", ["apply", "apply_inverse"])
def test_apply_errors(method):
    rotation = RotationMatrix.from_seed_and_dim(3, 8)
    call = getattr(rotation, method)
    with pytest.raises(ValueError) as caught:
        call(np.zeros(7, dtype=F32))
    assert type(caught.value) is ValueError and str(caught.value) == "vector dimension must be 8, got 7"
    with pytest.raises(ValueError, match="^vector dimension must be 8, got 9$"):
        call(np.zeros(9, dtype=F32))
    with pytest.raises(TypeError) as caught:
        call(np.zeros(8))
    assert str(caught.value) == "argument 'vector': 'ndarray' object cannot be converted to 'PyArray<T, D>'"
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value) == f"RotationMatrix.{method}() missing 1 required positional argument: 'vector'"
    assert call(vector=np.zeros(8, dtype=F32)).shape == (8,)


def test_rotation_is_immutable():
    rotation = RotationMatrix.from_seed_and_dim(3, 8)
    for name in ("seed", "dimension"):
        with pytest.raises(AttributeError):
            setattr(rotation, name, 1)


def test_generation_is_thread_safe_and_deterministic():
    seeds = [100 + i for i in range(6)]
    results = {}

    def build(seed):
        results[seed] = RotationMatrix.from_seed_and_dim(seed, 96).matrix_f64_bytes()

    threads = [threading.Thread(target=build, args=(seed,)) for seed in seeds for _ in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for seed in seeds:
        assert results[seed] == RotationMatrix.from_seed_and_dim(seed, 96).matrix_f64_bytes()


DOCS = {
    (Codebook, "train"): ("(vectors, config)", "Train a codebook from representative FP32 vectors."),
    (RotationMatrix, "from_config"): (
        "(config)", "Build (or fetch from cache) a rotation matrix from the given config."),
    (RotationMatrix, "from_seed_and_dim"): (
        "(seed, dimension)",
        "Build a rotation matrix directly from `(seed, dimension)`, bypassing `CodecConfig`.\n"
        "\n"
        "Rotation generation depends only on `(seed, dimension)`; `bit_width` is\n"
        "irrelevant. This constructor is used by the Python canonical bridge\n"
        "(`_install_canonical_rotation`) to avoid embedding a spurious `bit_width`\n"
        "in the call."),
    (RotationMatrix, "matrix_f64_bytes"): (
        "()",
        "Return the raw row-major `f64` bytes of the rotation matrix.\n"
        "\n"
        "Values are little-endian IEEE-754 doubles. Length is `dimension * dimension * 8`.\n"
        "Used by the Python canonical bridge to reconstruct a bit-identical matrix\n"
        "in the Python reference without re-running QR."),
    (RotationMatrix, "apply"): ("(vector)", None),
    (RotationMatrix, "apply_inverse"): ("(vector)", None),
    (Codec, "build_codebook"): ("(training_vectors, config)", None),
    (Codec, "build_rotation"): ("(config)", None),
}


@pytest.mark.parametrize("owner, name", list(DOCS), ids=[f"{o.__name__}.{n}" for o, n in DOCS])
def test_docstrings_and_signatures(owner, name):
    signature, body = DOCS[(owner, name)]
    instance_methods = {"apply", "apply_inverse", "matrix_f64_bytes"}
    if owner is Codec:
        holder = Codec()
    elif name in instance_methods:
        holder = RotationMatrix.from_seed_and_dim(1, 2)
    else:
        holder = owner
    bound = getattr(holder, name)
    assert str(inspect.signature(bound)) == signature
    assert bound.__doc__ == body


def test_class_docstrings():
    assert Codebook.__doc__ == "Immutable lookup table mapping quantized indices to float32 values."
    assert RotationMatrix.__doc__ == "Deterministic orthogonal rotation matrix for vector preconditioning."
