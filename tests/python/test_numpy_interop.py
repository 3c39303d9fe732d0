"""Which NumPy arrays the bindings accept, through the real API: the type
rules at argument conversion, the layout rules inside the operations, and the
arrays handed back."""

import numpy as np
import pytest

from codec_reference import NOT_C_CONTIGUOUS, NOT_CONTIGUOUS, cannot_convert, expect_error
from marrowfin_rs._core import (BruteForceBackend, Codebook, Codec, CodecConfig, CompressionPolicy, Corpus,
                                DimensionMismatchError, RotationMatrix, compress, decompress)

DIM = 8


@pytest.fixture(scope="module")
def setting():
    config = CodecConfig(2, 7, DIM)
    codebook = Codebook(np.array([-1.0, -0.25, 0.25, 1.0], dtype=np.float32), 2)
    corpus = Corpus("c", config, codebook, CompressionPolicy.PASSTHROUGH)
    backend = BruteForceBackend()
    backend.ingest({"a": np.ones(DIM, dtype=np.float32)})
    return config, codebook, RotationMatrix.from_config(config), corpus, backend


def vector_callables(setting):
    """Each vector-taking callable as f(vector), with its parameter's name and
    the length it wants."""
    config, codebook, rotation, corpus, backend = setting
    return {
        "compress": (lambda v: compress(v, config, codebook), "vector", DIM),
        "apply": (rotation.apply, "vector", DIM),
        "apply_inverse": (rotation.apply_inverse, "vector", DIM),
        "Codebook": (lambda v: Codebook(v, 2), "entries", 4),
        "Corpus.insert": (lambda v: corpus.insert("x", v), "vector", DIM),
        "search": (lambda v: backend.search(v, 1), "query", DIM),
    }


def matrix_callables(setting):
    config, codebook = setting[:2]
    return {
        "train": (lambda m: Codebook.train(m, config), "vectors"),
        "build_codebook": (lambda m: Codec().build_codebook(m, config), "training_vectors"),
        "compress_batch": (lambda m: Codec().compress_batch(m, config, codebook), "vectors"),
    }


WRONG_VECTORS = [  # (value, the type name in the message)
    (np.zeros(DIM), "ndarray"), (np.zeros(DIM, np.int32), "ndarray"), (np.zeros(DIM, np.float16), "ndarray"),
    (np.zeros((1, DIM), np.float32), "ndarray"), (np.array(1.0, np.float32), "ndarray"),
    (np.zeros(DIM, ">f4"), "ndarray"), ([0.0] * DIM, "list"), (np.float32(1.0), "float32"), (None, "NoneType"),
]
WRONG_MATRICES = [
    (np.zeros(DIM, np.float32), "ndarray"), (np.zeros((2, 2, DIM), np.float32), "ndarray"),
    (np.zeros((3, DIM)), "ndarray"), (np.zeros((3, DIM), ">f4"), "ndarray"), ([[0.0] * DIM] * 3, "list"),
]


@pytest.mark.parametrize("value, type_name", WRONG_VECTORS)
def test_wrong_vector_kinds_are_refused_at_conversion(setting, value, type_name):
    expect_error(TypeError, cannot_convert("vector", type_name), vector_callables(setting)["compress"][0], value)


@pytest.mark.parametrize("value, type_name", WRONG_MATRICES)
def test_wrong_matrix_kinds_are_refused_at_conversion(setting, value, type_name):
    expect_error(TypeError, cannot_convert("vectors", type_name), matrix_callables(setting)["compress_batch"][0], value)


@pytest.mark.parametrize("name", ["compress", "apply", "apply_inverse", "Codebook", "Corpus.insert", "search"])
def test_every_vector_parameter_checks_kind_then_layout(setting, name):
    call, argument, length = vector_callables(setting)[name]
    expect_error(TypeError, cannot_convert(argument), call, np.zeros(length))
    for view in (np.arange(2 * length, dtype=np.float32)[::2],  # strided, reversed, a column
                 np.arange(length, dtype=np.float32)[::-1], np.zeros((length, 3), np.float32)[:, 1]):
        expect_error(ValueError, NOT_CONTIGUOUS, call, view)


def test_a_one_element_view_counts_as_contiguous():
    rotation = RotationMatrix.from_seed_and_dim(3, 1)
    sign = np.frombuffer(rotation.matrix_f64_bytes(), dtype="<f8")[0]
    view = np.array([5.0, 9.0, 9.0], dtype=np.float32)[::3]
    assert view.strides == (12,) and rotation.apply(view).tolist() == [5.0 * sign]


LAYOUTS = {  # 3 x DIM float32 matrices that are not C-contiguous
    "transposed": lambda: np.arange(3 * DIM, dtype=np.float32).reshape(DIM, 3).T,
    "fortran": lambda: np.asfortranarray(np.arange(3 * DIM, dtype=np.float32).reshape(3, DIM)),
    "every-second-row": lambda: np.arange(6 * DIM, dtype=np.float32).reshape(6, DIM)[::2],
    "column-slice": lambda: np.arange(3 * (DIM + 2), dtype=np.float32).reshape(3, DIM + 2)[:, 1:-1],
}


@pytest.mark.parametrize("name", ["train", "build_codebook", "compress_batch"])
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_matrices_must_be_c_contiguous(setting, name, layout):
    call, argument = matrix_callables(setting)[name]
    expect_error(TypeError, cannot_convert(argument), call, np.zeros((3, DIM)))
    matrix = LAYOUTS[layout]()
    assert not matrix.flags.c_contiguous
    expect_error(ValueError, NOT_C_CONTIGUOUS, call, matrix)


def test_c_ordered_transposes_and_single_rows_or_columns_are_read_as_rows(setting):
    config, codebook = setting[:2]
    wide = np.ascontiguousarray(np.random.default_rng(3).standard_normal((DIM, 3)).astype(np.float32).T)
    for matrix in (wide, wide[:1]):
        records = Codec().compress_batch(matrix, config, codebook)
        assert [r.to_bytes() for r in records] == [compress(row, config, codebook).to_bytes() for row in matrix]
    column = np.arange(6, dtype=np.float32).reshape(6, 1)
    assert Codebook.train(column, config).entries.tolist() == np.float32([0.0, 5.0 / 3, 10.0 / 3, 5.0]).tolist()


class Tagged(np.ndarray):
    pass


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def misaligned(array):
    # Contiguous, but at an odd byte offset: not float-aligned.
    buffer = bytearray(1 + array.nbytes)
    buffer[1:] = array.tobytes()
    return np.frombuffer(buffer, dtype=np.float32, offset=1).reshape(array.shape)


@pytest.mark.parametrize("variant", [read_only, lambda a: a.view(Tagged), misaligned],
                         ids=["read-only", "subclass", "misaligned"])
def test_accepted_array_variants_read_the_same_values(setting, variant):
    config, codebook, rotation = setting[:3]
    rng = np.random.default_rng(11)
    vector = rng.standard_normal(DIM).astype(np.float32)
    matrix = rng.standard_normal((4, DIM)).astype(np.float32)
    levels = np.array([0, 1, 2, 3], dtype=np.float32)
    v, m, lv = variant(vector), variant(matrix), variant(levels)
    before = (v.tobytes(), m.tobytes())
    assert compress(v, config, codebook).to_bytes() == compress(vector, config, codebook).to_bytes()
    assert rotation.apply(v).tobytes() == rotation.apply(vector).tobytes()
    assert rotation.apply_inverse(v).tobytes() == rotation.apply_inverse(vector).tobytes()
    assert Codebook(lv, 2).entries.tobytes() == levels.tobytes()
    assert Codebook.train(m, config).entries.tobytes() == Codebook.train(matrix, config).entries.tobytes()
    assert ([r.to_bytes() for r in Codec().compress_batch(m, config, codebook)]
            == [r.to_bytes() for r in Codec().compress_batch(matrix, config, codebook)])
    assert (v.tobytes(), m.tobytes()) == before


def test_empty_vectors_pass_the_array_checks(setting):
    config, codebook, rotation = setting[:3]
    empty = np.empty(0, dtype=np.float32)
    expect_error(DimensionMismatchError, f"vector length 0 does not match config dimension {DIM}",
                 compress, empty, config, codebook)
    expect_error(ValueError, f"vector dimension must be {DIM}, got 0", rotation.apply, empty)
    expect_error(ValueError, "codebook must have 4 entries for bit_width=2, got 0", Codebook, empty, 2)


def test_result_vectors_own_their_buffer_and_are_independent(setting):
    config, codebook, rotation = setting[:3]
    corpus = Corpus("c", config, codebook, CompressionPolicy.COMPRESS)
    vector = np.linspace(-1, 1, DIM, dtype=np.float32)
    record = compress(vector, config, codebook)
    corpus.insert("a", vector)
    for make in (lambda: decompress(record, config, codebook), lambda: rotation.apply(vector),
                 lambda: rotation.apply_inverse(vector), lambda: corpus.decompress("a"),
                 lambda: corpus.decompress_all()["a"]):
        first = make()
        assert type(first.base).__name__ == "PySliceContainer"
        assert first.dtype == np.float32 and first.shape == (DIM,)
        assert first.flags.writeable and first.flags.c_contiguous
        expected = first.copy()
        first[:] = 123.0
        assert make().tobytes() == expected.tobytes()
    assert vector.tolist() == np.linspace(-1, 1, DIM, dtype=np.float32).tolist()


def test_copied_results_are_plain_writable_arrays(setting):
    config, codebook = setting[:2]
    record = compress(np.ones(DIM, dtype=np.float32), config, codebook)
    matrix = Codec().decompress_batch([record, record], config, codebook)
    for array, dtype, shape in ((codebook.entries, np.float32, (4,)), (record.indices, np.uint8, (DIM,)),
                                (matrix, np.float32, (2, DIM))):
        assert array.dtype == dtype and array.shape == shape
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.owndata
