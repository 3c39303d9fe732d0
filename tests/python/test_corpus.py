"""`Corpus` and `VectorEntry`: construction and argument conversion, insert
under each policy (bit-exact raw storage, binary16 rounding, codec parity),
lookups, decoding, ordering by id bytes, removal, and the rule that a failed
call leaves the corpus exactly as it was."""

import collections

import numpy as np
import pytest

from marrowfin_rs._core import (
    Codebook,
    Codec,
    CodebookIncompatibleError,
    CodecConfig,
    CompressedVector,
    CompressionPolicy,
    Corpus,
    DimensionMismatchError,
    DuplicateVectorError,
    VectorEntry,
)

P = CompressionPolicy
POLICIES = [P.COMPRESS, P.PASSTHROUGH, P.FP16]
NOT_CONTIGUOUS = "numpy slice unavailable: The given array is not contiguous"


def levels(bit_width):
    return np.linspace(-2.0, 2.0, 2**bit_width).astype(np.float32)


def make(policy=P.PASSTHROUGH, dimension=8, bit_width=4, residual=False, corpus_id="docs",
         codebook_bits=None):
    config = CodecConfig(bit_width, 7, dimension, residual_enabled=residual)
    bits = bit_width if codebook_bits is None else codebook_bits
    return Corpus(corpus_id, config, Codebook(levels(bits), bits), policy)


def f32(values):
    return np.asarray(values, dtype=np.float32)


def bits_of(array):
    return np.ascontiguousarray(array, dtype=np.float32).view(np.uint32).tolist()


def observed(corpus):
    """Everything a read-only look can see (decompress records no event)."""
    ids = sorted(corpus.vector_ids)
    return (corpus.vector_count, corpus.is_empty, ids,
            {i: bits_of(corpus.decompress(i)) for i in ids})


def filled(policy, dimension=8, **kwargs):
    corpus = make(policy, dimension, **kwargs)
    rng = np.random.default_rng(3)
    for vector_id in ("a", "b", "c"):
        corpus.insert(vector_id, rng.standard_normal(dimension).astype(np.float32))
    corpus.pending_events()
    return corpus


# ---- construction -----------------------------------------------------------

CONFIG = CodecConfig(4, 7, 8)
CODEBOOK = Codebook(levels(4), 4)
GOOD = dict(corpus_id="c", codec_config=CONFIG, codebook=CODEBOOK, compression_policy=P.FP16)
METADATA_REFUSED = ("Corpus(metadata=...) is not yet supported in the pyo3 wheel; "
                    "pass metadata=None or omit the kwarg.")


@pytest.mark.parametrize(
    "changes, error, message",
    [
        ({"corpus_id": b"c"}, TypeError,
         "argument 'corpus_id': 'bytes' object cannot be converted to 'PyString'"),
        ({"codec_config": "cfg"}, TypeError,
         "argument 'codec_config': 'str' object cannot be converted to 'CodecConfig'"),
        ({"codebook": levels(4)}, TypeError,
         "argument 'codebook': 'ndarray' object cannot be converted to 'Codebook'"),
        ({"compression_policy": "compress"}, TypeError,
         "argument 'compression_policy': 'str' object cannot be converted to 'CompressionPolicy'"),
        ({"compression_policy": 0}, TypeError,
         "argument 'compression_policy': 'int' object cannot be converted to 'CompressionPolicy'"),
        ({"metadata": []}, TypeError,
         "argument 'metadata': 'list' object cannot be converted to 'PyDict'"),
        ({"metadata": {}}, NotImplementedError, METADATA_REFUSED),
        ({"metadata": collections.OrderedDict(a=1)}, NotImplementedError, METADATA_REFUSED),
        # Conversions run in parameter order; the first failure decides.
        ({"corpus_id": 1, "compression_policy": "x"}, TypeError,
         "argument 'corpus_id': 'int' object cannot be converted to 'PyString'"),
        ({"compression_policy": "x", "metadata": {}}, TypeError,
         "argument 'compression_policy': 'str' object cannot be converted to 'CompressionPolicy'"),
    ],
)
def test_constructor_conversions(changes, error, message):
    with pytest.raises(error) as caught:
        Corpus(**{**GOOD, **changes})
    assert type(caught.value) is error
    assert str(caught.value) == message


def test_constructor_binding():
    Corpus("c", CONFIG, CODEBOOK, P.FP16, None)
    Corpus(**GOOD, metadata=None)
    with pytest.raises(TypeError, match=r"Corpus\.__new__\(\)"):
        Corpus("c", CONFIG, CODEBOOK)
    with pytest.raises(TypeError, match=r"Corpus\.__new__\(\)"):
        Corpus(**GOOD, tags=None)


@pytest.mark.parametrize("corpus_id", ["docs", "", "é ☃ 𝄞"])
def test_properties(corpus_id):
    config = CodecConfig(4, 7, 8)
    codebook = Codebook(levels(4), 4)
    corpus = Corpus(corpus_id, config, codebook, P.PASSTHROUGH)
    assert corpus.corpus_id == corpus_id
    assert corpus.codec_config is config and corpus.codebook is codebook
    policy = corpus.compression_policy
    assert policy == P.PASSTHROUGH and policy is not P.PASSTHROUGH
    assert corpus.compression_policy is not policy
    assert (corpus.vector_count, corpus.is_empty, corpus.vector_ids) == (0, True, frozenset())
    with pytest.raises(NotImplementedError) as caught:
        corpus.metadata
    assert str(caught.value) == "Corpus.metadata is not yet supported in the pyo3 wheel."
    for name in ("corpus_id", "codec_config", "vector_count", "vector_ids", "compression_policy"):
        with pytest.raises(AttributeError):
            setattr(corpus, name, getattr(corpus, name))


# ---- insert failures --------------------------------------------------------

INSERT_METADATA_REFUSED = ("Corpus.insert(metadata=...) is not yet supported in the pyo3 wheel; "
                           "pass metadata=None or omit the kwarg.")
ONES = np.ones(8, dtype=np.float32)

INSERT_FAILURES = [
    # (vector_id, vector, metadata kwargs, error, message)
    ("a", ONES, {}, DuplicateVectorError, "duplicate vector_id a"),
    ("a", ONES[:3], {}, DimensionMismatchError, "dimension mismatch: expected 8, got 3"),
    ("n", np.ones(9, np.float32), {}, DimensionMismatchError,
     "dimension mismatch: expected 8, got 9"),
    ("n", np.ones(0, np.float32), {}, DimensionMismatchError,
     "dimension mismatch: expected 8, got 0"),
    ("a", np.ones(16, np.float32)[::2], {}, ValueError, NOT_CONTIGUOUS),
    ("n", np.ones(8), {}, TypeError,
     "argument 'vector': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("n", np.ones(8), {"metadata": {}}, TypeError,
     "argument 'vector': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("n", np.ones(8, ">f4"), {}, TypeError,
     "argument 'vector': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("n", np.ones((2, 4), np.float32), {}, TypeError,
     "argument 'vector': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ("n", [1.0] * 8, {}, TypeError,
     "argument 'vector': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (b"n", ONES, {}, TypeError,
     "argument 'vector_id': 'bytes' object cannot be converted to 'PyString'"),
    ("n", ONES, {"metadata": {}}, NotImplementedError, INSERT_METADATA_REFUSED),
    ("a", ONES, {"metadata": {"k": "v"}}, NotImplementedError, INSERT_METADATA_REFUSED),
    ("n", ONES, {"metadata": 1}, TypeError,
     "argument 'metadata': 'int' object cannot be converted to 'PyDict'"),
]


@pytest.mark.parametrize("policy", POLICIES, ids=str)
@pytest.mark.parametrize("vector_id, vector, kwargs, error, message", INSERT_FAILURES)
def test_failed_insert_leaves_corpus_unchanged(policy, vector_id, vector, kwargs, error, message):
    corpus = filled(policy)
    before = observed(corpus)
    with pytest.raises(error) as caught:
        corpus.insert(vector_id, vector, **kwargs)
    assert type(caught.value) is error
    assert str(caught.value) == message
    assert observed(corpus) == before
    assert corpus.pending_events() == []


def test_unfitting_codebook_is_reported_at_the_first_compress_insert():
    corpus = make(P.COMPRESS, bit_width=4, codebook_bits=2)
    corpus.pending_events()
    for _ in range(2):
        with pytest.raises(CodebookIncompatibleError) as caught:
            corpus.insert("a", ONES)
        assert str(caught.value) == "codebook bit_width 2 does not match config bit_width 4"
        assert observed(corpus) == (0, True, [], {})
        assert corpus.pending_events() == []
    for policy in (P.PASSTHROUGH, P.FP16):
        raw = make(policy, bit_width=4, codebook_bits=2)
        raw.insert("a", ONES)
        assert bits_of(raw.decompress("a")) == bits_of(ONES)


# ---- what each policy stores ------------------------------------------------

SPECIAL_BITS = [
    0x00000000, 0x80000000,  # +0.0, -0.0
    0x7F800000, 0xFF800000,  # infinities
    0x7FC00000, 0x7FC00001, 0xFFA00005, 0x7F800001,  # NaNs with payloads, quiet and signalling
    0x00000001, 0x807FFFFF,  # subnormals
    0x7F7FFFFF, 0x3F800000, 0xBDCCCCCD, 0x477FE000,  # max, 1.0, -0.1, 65504
]


def test_passthrough_is_bit_exact():
    values = np.array(SPECIAL_BITS, dtype=np.uint32).view(np.float32)
    corpus = make(P.PASSTHROUGH, dimension=len(values))
    entry = corpus.insert("x", values)
    assert bits_of(corpus.decompress("x")) == SPECIAL_BITS
    assert bits_of(corpus.decompress_all()["x"]) == SPECIAL_BITS
    record = entry.compressed
    assert record.indices.tobytes() == values.tobytes()
    assert (record.dimension, record.bit_width, record.residual, record.has_residual) == (
        4 * len(values), 8, None, False)
    assert entry.dimension == len(values)


@pytest.mark.parametrize(
    "value, stored, decoded",
    [
        (1.0, b"\x00\x3c", 1.0),
        (0.1, b"\x66\x2e", 0.0999755859375),
        (1.00048828125, b"\x00\x3c", 1.0),  # halfway: ties to even
        (65504.0, b"\xff\x7b", 65504.0),
        (65520.0, b"\x00\x7c", np.inf),
        (-65520.0, b"\x00\xfc", -np.inf),
        (3e-8, b"\x01\x00", 2.0**-24),
        (-0.0, b"\x00\x80", -0.0),
    ],
)
def test_fp16_known_values(value, stored, decoded):
    corpus = make(P.FP16, dimension=1)
    entry = corpus.insert("x", f32([value]))
    assert entry.compressed.indices.tobytes() == stored
    assert bits_of(corpus.decompress("x")) == bits_of([decoded])


def test_fp16_matches_numpy_rounding():
    rng = np.random.default_rng(11)
    patterns = rng.integers(0, 2**32, 4096, dtype=np.uint64).astype(np.uint32)
    scaled = (rng.standard_normal(4096) * 10.0 ** rng.integers(-9, 6, 4096)).astype(np.float32)
    values = np.concatenate([patterns.view(np.float32), scaled,
                             np.array(SPECIAL_BITS, dtype=np.uint32).view(np.float32)])
    corpus = make(P.FP16, dimension=len(values))
    entry = corpus.insert("x", values)
    assert (entry.compressed.dimension, entry.compressed.bit_width) == (2 * len(values), 8)
    with np.errstate(over="ignore", invalid="ignore"):
        expected = values.astype(np.float16)
    got = corpus.decompress("x")
    nan = np.isnan(values)
    assert np.array_equal(np.isnan(got), nan)
    assert bits_of(got[~nan]) == bits_of(expected[~nan].astype(np.float32))
    stored = np.frombuffer(entry.compressed.indices.tobytes(), dtype="<u2")
    assert stored[~nan].tolist() == expected[~nan].view(np.uint16).tolist()


@pytest.mark.parametrize("bit_width", [2, 4, 8])
@pytest.mark.parametrize("residual", [False, True])
@pytest.mark.parametrize("dimension", [1, 5, 33])
def test_compress_matches_the_codec(bit_width, residual, dimension):
    config = CodecConfig(bit_width, 99, dimension, residual_enabled=residual)
    codebook = Codebook(levels(bit_width), bit_width)
    corpus = Corpus("c", config, codebook, P.COMPRESS)
    rng = np.random.default_rng(dimension * 10 + bit_width)
    vectors = {f"v{i}": rng.standard_normal(dimension).astype(np.float32) for i in range(4)}
    entries = {i: corpus.insert(i, v) for i, v in vectors.items()}
    everything = corpus.decompress_all()
    for vector_id, vector in vectors.items():
        reference = Codec().compress(vector, config, codebook)
        expected = bits_of(Codec().decompress(reference, config, codebook))
        assert bits_of(corpus.decompress(vector_id)) == expected
        assert bits_of(everything[vector_id]) == expected
        entry = entries[vector_id]
        assert entry.compressed.to_bytes() == reference.to_bytes()
        assert entry.has_residual is residual and entry.compressed.has_residual is residual
        assert (entry.dimension, entry.compressed.dimension) == (dimension, dimension)
        assert entry.compressed.bit_width == bit_width


# ---- entries ------------------------------------------------------------------


@pytest.mark.parametrize(
    "policy, residual, record_dimension, has_residual",
    [(P.PASSTHROUGH, True, 16, False), (P.FP16, True, 8, False), (P.COMPRESS, False, 4, False),
     (P.COMPRESS, True, 4, True)],
    ids=["passthrough", "fp16", "compress", "compress+residual"],
)
def test_vector_entry(policy, residual, record_dimension, has_residual):
    corpus = make(policy, dimension=4, residual=residual)
    vector = f32([0.5, -1.0, 2.0, 0.25])
    entry = corpus.insert("a", vector)
    got = corpus.get("a")
    for e in (entry, got):
        assert type(e) is VectorEntry
        assert repr(e) == f"VectorEntry(vector_id=a, dimension=4, has_residual={has_residual})"
        assert (e.vector_id, e.dimension, e.has_residual) == ("a", 4, has_residual)
        assert e.config_hash == corpus.codec_config.config_hash
        record = e.compressed
        assert type(record) is CompressedVector and record is not e.compressed
        assert (record.dimension, record.config_hash) == (record_dimension, e.config_hash)
        assert record.to_bytes() == entry.compressed.to_bytes()
    assert got is not entry and corpus.get("a") is not got
    with pytest.raises(TypeError) as caught:
        VectorEntry()
    assert str(caught.value) == "No constructor defined for VectorEntry"


def test_entry_repr_writes_the_id_unquoted():
    corpus = make(P.FP16, dimension=1)
    assert repr(corpus.insert("it's é", f32([1]))) == (
        "VectorEntry(vector_id=it's é, dimension=1, has_residual=False)")


def test_read_only_input_is_accepted_and_copied():
    corpus = make(P.PASSTHROUGH, dimension=3)
    vector = f32([1, 2, 3])
    vector.flags.writeable = False
    corpus.insert("r", vector)
    writable = f32([4, 5, 6])
    corpus.insert("w", writable)
    writable[:] = 0
    assert corpus.decompress("w").tolist() == [4, 5, 6]
    assert corpus.decompress("r").tolist() == [1, 2, 3]


# ---- reads ------------------------------------------------------------------


def test_decompressed_arrays_are_owned_by_the_caller():
    corpus = make(P.PASSTHROUGH, dimension=3)
    corpus.insert("a", f32([1, 2, 3]))
    for array in (corpus.decompress("a"), corpus.decompress_all()["a"]):
        assert array.dtype == np.float32 and array.shape == (3,)
        assert array.flags.writeable and array.flags.c_contiguous
        assert type(array.base).__name__ == "PySliceContainer"
        array[:] = -1
    assert corpus.decompress("a").tolist() == [1, 2, 3]


@pytest.mark.parametrize(
    "inserted, expected",
    [
        (["b", "a", "C"], ["C", "a", "b"]),
        (["é", "z", "ab", "a", "B", ""], ["", "B", "a", "ab", "z", "é"]),
        (["\U0001F600", "\uFFFF", "\u00e9", "e\u0301", "e"], ["e", "e\u0301", "\u00e9", "\uFFFF",
                                                             "\U0001F600"]),
    ],
)
def test_decompress_all_orders_ids_by_their_utf8_bytes(inserted, expected):
    corpus = make(P.PASSTHROUGH, dimension=1)
    for n, vector_id in enumerate(inserted):
        corpus.insert(vector_id, f32([n]))
    corpus.pending_events()
    everything = corpus.decompress_all()
    assert list(everything) == expected == sorted(inserted, key=lambda s: s.encode())
    for n, vector_id in enumerate(inserted):
        assert everything[vector_id].tolist() == [n]
    events = corpus.pending_events()
    assert [(type(e).__name__, e.vector_count) for e in events] == [
        ("CorpusDecompressed", len(inserted))]


def test_decompress_all_of_a_random_corpus():
    rng = np.random.default_rng(5)
    corpus = make(P.PASSTHROUGH, dimension=2)
    stored = {}
    alphabet = ["a", "b", "Z", "é", "\U0001F600", "0"]
    for _ in range(300):
        vector_id = "".join(rng.choice(alphabet, rng.integers(0, 4)))
        vector = rng.standard_normal(2).astype(np.float32)
        if vector_id in stored:
            if rng.random() < 0.5:
                corpus.remove(vector_id)
                del stored[vector_id]
            continue
        corpus.insert(vector_id, vector)
        stored[vector_id] = vector
    everything = corpus.decompress_all()
    assert list(everything) == sorted(stored, key=lambda s: s.encode())
    assert {i: bits_of(v) for i, v in everything.items()} == {
        i: bits_of(v) for i, v in stored.items()}


def test_empty_decompress_all_records_nothing():
    corpus = make(P.COMPRESS)
    corpus.pending_events()
    assert corpus.decompress_all() == {}
    assert corpus.pending_events() == []


@pytest.mark.parametrize("policy", POLICIES, ids=str)
def test_unknown_ids_raise_key_error_and_change_nothing(policy):
    corpus = filled(policy)
    before = observed(corpus)
    for method, args in (("get", ("missing",)), ("remove", ("missing",)),
                         ("decompress", ("unknown vector_id missing",))):
        with pytest.raises(KeyError) as caught:
            getattr(corpus, method)("missing")
        assert type(caught.value) is KeyError and caught.value.args == args
        assert observed(corpus) == before
    assert corpus.contains("missing") is False
    assert corpus.pending_events() == []


def test_remove_and_reinsert():
    corpus = make(P.FP16, dimension=1)
    for n, vector_id in enumerate(("x", "y", "z")):
        corpus.insert(vector_id, f32([n]))
    corpus.pending_events()
    assert corpus.remove("y") is None
    assert (corpus.contains("x"), corpus.contains("y"), corpus.contains("z")) == (True, False, True)
    assert corpus.get("z").vector_id == "z"
    assert corpus.vector_count == 2 and corpus.vector_ids == frozenset({"x", "z"})
    assert corpus.pending_events() == []
    corpus.insert("y", f32([7]))
    assert corpus.decompress("y").tolist() == [7]
    assert list(corpus.decompress_all()) == ["x", "y", "z"]


def test_vector_ids_is_a_new_frozenset():
    corpus = filled(P.PASSTHROUGH)
    ids = corpus.vector_ids
    assert type(ids) is frozenset and ids == {"a", "b", "c"}
    assert corpus.vector_ids is not ids
