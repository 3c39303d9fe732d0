"""Which NumPy arrays the codec bindings accept, through the real API: the
type rules at argument conversion, the layout rules inside the operations,
and the arrays handed back."""

import numpy as np
import pytest

from marrowfin_rs._core import Codebook, Codec, CodecConfig, RotationMatrix, compress, decompress

NOT_CONTIGUOUS = "numpy slice unavailable: The given array is not contiguous"
NOT_C_CONTIGUOUS = "input matrix must be C-contiguous float32"
DIMENSION = 8


def cannot_convert(argument, type_name="ndarray"):
    return f"argument '{argument}': '{type_name}' object cannot be converted to 'PyArray<T, D>'"


@pytest.fixture(scope="module")
def setting():
    config = CodecConfig(2, 7, DIMENSION)
    codebook = Codebook(np.array([-1.0, -0.25, 0.25, 1.0], dtype=np.float32), 2)
    rotation = RotationMatrix.from_config(config)
    return config, codebook, rotation


# Each vector-taking callable, as f(vector) with the other arguments fixed,
# and the name of its vector parameter.
def vector_callables(setting):
    config, codebook, rotation = setting
    return {
        "compress": (lambda v: compress(v, config, codebook), "vector"),
        "Codec.compress": (lambda v: Codec().compress(v, config, codebook), "vector"),
        "apply": (rotation.apply, "vector"),
        "apply_inverse": (rotation.apply_inverse, "vector"),
        "Codebook": (lambda v: Codebook(v, 2), "entries"),
    }


def matrix_callables(setting):
    config, codebook, _ = setting
    return {
        "train": (lambda m: Codebook.train(m, config), "vectors"),
        "build_codebook": (lambda m: Codec().build_codebook(m, config), "training_vectors"),
        "compress_batch": (lambda m: Codec().compress_batch(m, config, codebook), "vectors"),
    }


VECTOR_CALLABLES = ["compress", "Codec.compress", "apply", "apply_inverse", "Codebook"]
MATRIX_CALLABLES = ["train", "build_codebook", "compress_batch"]

WRONG_VECTORS = {
    "float64": (np.zeros(DIMENSION), "ndarray"),
    "int32": (np.zeros(DIMENSION, dtype=np.int32), "ndarray"),
    "float16": (np.zeros(DIMENSION, dtype=np.float16), "ndarray"),
    "two-dimensional": (np.zeros((1, DIMENSION), dtype=np.float32), "ndarray"),
    "zero-dimensional": (np.array(1.0, dtype=np.float32), "ndarray"),
    "byte-swapped": (np.zeros(DIMENSION, dtype=">f4"), "ndarray"),
    "list": ([0.0] * DIMENSION, "list"),
    "scalar": (np.float32(1.0), "float32"),
    "None": (None, "NoneType"),
}

WRONG_MATRICES = {
    "one-dimensional": (np.zeros(DIMENSION, dtype=np.float32), "ndarray"),
    "three-dimensional": (np.zeros((2, 2, DIMENSION), dtype=np.float32), "ndarray"),
    "float64": (np.zeros((3, DIMENSION)), "ndarray"),
    "byte-swapped": (np.zeros((3, DIMENSION), dtype=">f4"), "ndarray"),
    "nested list": ([[0.0] * DIMENSION] * 3, "list"),
}


@pytest.mark.parametrize("callable_name", VECTOR_CALLABLES)
@pytest.mark.parametrize("case", list(WRONG_VECTORS))
def test_wrong_vector_kinds_are_refused_at_conversion(setting, callable_name, case):
    call, argument = vector_callables(setting)[callable_name]
    value, type_name = WRONG_VECTORS[case]
    with pytest.raises(TypeError) as caught:
        call(value)
    assert type(caught.value) is TypeError
    assert str(caught.value) == cannot_convert(argument, type_name)


@pytest.mark.parametrize("callable_name", MATRIX_CALLABLES)
@pytest.mark.parametrize("case", list(WRONG_MATRICES))
def test_wrong_matrix_kinds_are_refused_at_conversion(setting, callable_name, case):
    call, argument = matrix_callables(setting)[callable_name]
    value, type_name = WRONG_MATRICES[case]
    with pytest.raises(TypeError) as caught:
        call(value)
    assert str(caught.value) == cannot_convert(argument, type_name)


def strided(n):
    return np.arange(2 * n, dtype=np.float32)[::2]


def reversed_view(n):
    return np.arange(n, dtype=np.float32)[::-1]


def column_of_matrix(n):
    return np.zeros((n, 3), dtype=np.float32)[:, 1]


@pytest.mark.parametrize("callable_name", VECTOR_CALLABLES)
@pytest.mark.parametrize("view", [strided, reversed_view, column_of_matrix])
def test_non_contiguous_vectors_are_refused_not_copied(setting, callable_name, view):
    call, _ = vector_callables(setting)[callable_name]
    length = 4 if callable_name == "Codebook" else DIMENSION
    with pytest.raises(ValueError) as caught:
        call(view(length))
    assert type(caught.value) is ValueError
    assert str(caught.value) == NOT_CONTIGUOUS


def test_a_one_element_view_counts_as_contiguous():
    rotation = RotationMatrix.from_seed_and_dim(3, 1)
    sign = np.frombuffer(rotation.matrix_f64_bytes(), dtype="<f8")[0]
    view = np.array([5.0, 9.0, 9.0], dtype=np.float32)[::3]
    assert view.strides == (12,)
    assert rotation.apply(view).tolist() == [5.0 * sign]


def transposed(rows, cols):
    return np.arange(rows * cols, dtype=np.float32).reshape(cols, rows).T


def fortran(rows, cols):
    return np.asfortranarray(np.arange(rows * cols, dtype=np.float32).reshape(rows, cols))


def every_second_row(rows, cols):
    return np.arange(2 * rows * cols, dtype=np.float32).reshape(2 * rows, cols)[::2]


def column_slice(rows, cols):
    return np.arange(rows * (cols + 2), dtype=np.float32).reshape(rows, cols + 2)[:, 1:-1]


@pytest.mark.parametrize("callable_name", MATRIX_CALLABLES)
@pytest.mark.parametrize("layout", [transposed, fortran, every_second_row, column_slice])
def test_matrices_must_be_c_contiguous(setting, callable_name, layout):
    call, _ = matrix_callables(setting)[callable_name]
    matrix = layout(3, DIMENSION)
    assert not matrix.flags.c_contiguous
    with pytest.raises(ValueError) as caught:
        call(matrix)
    assert type(caught.value) is ValueError
    assert str(caught.value) == NOT_C_CONTIGUOUS


def test_a_c_ordered_copy_of_a_transpose_is_read_as_its_rows(setting):
    config, codebook, _ = setting
    rng = np.random.default_rng(3)
    wide = np.ascontiguousarray(rng.standard_normal((DIMENSION, 3)).astype(np.float32).T)
    assert wide.shape == (3, DIMENSION)
    records = Codec().compress_batch(wide, config, codebook)
    assert [r.to_bytes() for r in records] == [compress(row, config, codebook).to_bytes() for row in wide]


def test_single_row_and_single_column_matrices_are_accepted(setting):
    config, codebook, _ = setting
    row = np.linspace(-1, 1, DIMENSION, dtype=np.float32).reshape(1, DIMENSION)
    [record] = Codec().compress_batch(row, config, codebook)
    assert record.to_bytes() == compress(row[0].copy(), config, codebook).to_bytes()
    column = np.arange(6, dtype=np.float32).reshape(6, 1)
    assert Codebook.train(column, config).entries.tolist() == np.float32([0.0, 5.0 / 3, 10.0 / 3, 5.0]).tolist()


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


def test_read_only_arrays_are_accepted_and_left_unchanged(setting):
    config, codebook, rotation = setting
    rng = np.random.default_rng(11)
    vector = read_only(rng.standard_normal(DIMENSION).astype(np.float32))
    matrix = read_only(rng.standard_normal((4, DIMENSION)).astype(np.float32))
    before = (vector.tobytes(), matrix.tobytes())
    record = compress(vector, config, codebook)
    assert record.to_bytes() == compress(vector.copy(), config, codebook).to_bytes()
    assert rotation.apply(vector).tobytes() == rotation.apply(vector.copy()).tobytes()
    rotation.apply_inverse(vector)
    Codebook(read_only(np.array([0, 1, 2, 3], dtype=np.float32)), 2)
    Codebook.train(matrix, config)
    Codec().compress_batch(matrix, config, codebook)
    assert (vector.tobytes(), matrix.tobytes()) == before


class Tagged(np.ndarray):
    pass


def test_ndarray_subclasses_are_accepted(setting):
    config, codebook, rotation = setting
    vector = np.linspace(-2, 2, DIMENSION, dtype=np.float32)
    matrix = np.stack([vector, -vector])
    expected = compress(vector, config, codebook).to_bytes()
    assert compress(vector.view(Tagged), config, codebook).to_bytes() == expected
    assert rotation.apply(vector.view(Tagged)).tobytes() == rotation.apply(vector).tobytes()
    records = Codec().compress_batch(matrix.view(Tagged), config, codebook)
    plain = Codec().compress_batch(matrix, config, codebook)
    assert [r.to_bytes() for r in records] == [r.to_bytes() for r in plain]
    trained = Codebook.train(matrix.view(Tagged), config)
    assert trained.entries.tolist() == Codebook.train(matrix, config).entries.tolist()


def test_misaligned_data_is_read_correctly(setting):
    # A float32 view at an odd byte offset of a buffer is contiguous but not
    # float-aligned; it must read the same values as an aligned copy.
    config, codebook, rotation = setting
    rng = np.random.default_rng(5)
    values = rng.standard_normal(3 * DIMENSION).astype(np.float32)
    buffer = bytearray(1 + values.nbytes)
    buffer[1:] = values.tobytes()
    vector = np.frombuffer(buffer, dtype=np.float32, count=DIMENSION, offset=1)
    matrix = np.frombuffer(buffer, dtype=np.float32, offset=1).reshape(3, DIMENSION)
    assert not vector.flags.aligned and not matrix.flags.aligned
    aligned = values.reshape(3, DIMENSION)
    assert compress(vector, config, codebook).to_bytes() == compress(aligned[0], config, codebook).to_bytes()
    assert rotation.apply(vector).tobytes() == rotation.apply(aligned[0]).tobytes()
    assert Codebook.train(matrix, config).entries.tobytes() == Codebook.train(aligned, config).entries.tobytes()
    records = Codec().compress_batch(matrix, config, codebook)
    assert [r.to_bytes() for r in records] == [compress(row, config, codebook).to_bytes() for row in aligned]


def test_empty_vectors_pass_the_array_checks(setting):
    config, codebook, rotation = setting
    empty = np.empty(0, dtype=np.float32)
    with pytest.raises(ValueError, match=f"^vector length 0 does not match config dimension {DIMENSION}$"):
        compress(empty, config, codebook)
    with pytest.raises(ValueError, match=f"^vector dimension must be {DIMENSION}, got 0$"):
        rotation.apply(empty)
    with pytest.raises(ValueError, match=r"^codebook must have 4 entries for bit_width=2, got 0$"):
        Codebook(empty, 2)


def test_result_vectors_own_their_buffer_and_are_independent(setting):
    config, codebook, rotation = setting
    vector = np.linspace(-1, 1, DIMENSION, dtype=np.float32)
    record = compress(vector, config, codebook)
    for make in (lambda: decompress(record, config, codebook),
                 lambda: Codec().decompress(record, config, codebook),
                 lambda: rotation.apply(vector),
                 lambda: rotation.apply_inverse(vector)):
        first = make()
        assert type(first.base).__name__ == "PySliceContainer"
        assert first.dtype == np.float32 and first.shape == (DIMENSION,)
        assert first.flags.writeable and first.flags.c_contiguous
        expected = first.copy()
        first[:] = 123.0
        assert make().tobytes() == expected.tobytes()
    assert vector.tolist() == np.linspace(-1, 1, DIMENSION, dtype=np.float32).tolist()


def test_copied_results_are_plain_writable_arrays(setting):
    config, codebook, _ = setting
    entries = codebook.entries
    record = compress(np.ones(DIMENSION, dtype=np.float32), config, codebook)
    indices = record.indices
    matrix = Codec().decompress_batch([record, record], config, codebook)
    for array, dtype, shape in ((entries, np.float32, (4,)), (indices, np.uint8, (DIMENSION,)),
                                (matrix, np.float32, (2, DIMENSION))):
        assert array.dtype == dtype and array.shape == shape
        assert array.flags.writeable and array.flags.c_contiguous and array.flags.owndata
