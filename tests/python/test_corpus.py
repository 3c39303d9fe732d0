"""`Corpus` and `VectorEntry`: construction and argument conversion, insert
under each policy (bit-exact raw storage, binary16 rounding, codec parity),
lookups, decoding in id-byte order, removal, and the rule that a failed call
leaves the corpus exactly as it was."""

import collections

import numpy as np
import pytest

from codec_reference import NOT_CONTIGUOUS, cannot_convert, expect_error
from codec_reference import bits as bits_of
from marrowfin_rs._core import (Codebook, Codec, CodebookIncompatibleError, CodecConfig, CompressedVector,
                                CompressionPolicy, Corpus, DimensionMismatchError, DuplicateVectorError,
                                VectorEntry)

P = CompressionPolicy


def levels(bit_width):
    return np.linspace(-2.0, 2.0, 2**bit_width).astype(np.float32)


def make(policy=P.PASSTHROUGH, dimension=8, bit_width=4, residual=False, codebook_bits=None):
    config = CodecConfig(bit_width, 7, dimension, residual_enabled=residual)
    bits = codebook_bits or bit_width
    return Corpus("docs", config, Codebook(levels(bits), bits), policy)


def f32(values):
    return np.asarray(values, dtype=np.float32)


def observed(corpus):
    """Everything a read-only look can see (decompress records no event)."""
    ids = sorted(corpus.vector_ids)
    return corpus.vector_count, corpus.is_empty, ids, {i: bits_of(corpus.decompress(i)) for i in ids}


def filled(policy):
    corpus = make(policy)
    rng = np.random.default_rng(3)
    for vector_id in ("a", "b", "c"):
        corpus.insert(vector_id, rng.standard_normal(8).astype(np.float32))
    corpus.pending_events()
    return corpus


# ---- construction -----------------------------------------------------------

CONFIG, CODEBOOK = CodecConfig(4, 7, 8), Codebook(levels(4), 4)
GOOD = dict(corpus_id="c", codec_config=CONFIG, codebook=CODEBOOK, compression_policy=P.FP16)
METADATA_REFUSED = "Corpus(metadata=...) is not yet supported in the pyo3 wheel; pass metadata=None or omit the kwarg."


@pytest.mark.parametrize("changes, error, message", [
    ({"corpus_id": b"c"}, TypeError, cannot_convert("corpus_id", "bytes", "PyString")),
    ({"codec_config": "cfg"}, TypeError, cannot_convert("codec_config", "str", "CodecConfig")),
    ({"codebook": levels(4)}, TypeError, cannot_convert("codebook", "ndarray", "Codebook")),
    ({"compression_policy": "compress"}, TypeError, cannot_convert("compression_policy", "str", "CompressionPolicy")),
    ({"compression_policy": 0}, TypeError, cannot_convert("compression_policy", "int", "CompressionPolicy")),
    ({"metadata": []}, TypeError, cannot_convert("metadata", "list", "PyDict")),
    ({"metadata": {}}, NotImplementedError, METADATA_REFUSED),
    ({"metadata": collections.OrderedDict(a=1)}, NotImplementedError, METADATA_REFUSED),
    # Conversions run in parameter order; the first failure decides.
    ({"corpus_id": 1, "compression_policy": "x"}, TypeError, cannot_convert("corpus_id", "int", "PyString")),
    ({"compression_policy": "x", "metadata": {}}, TypeError,
     cannot_convert("compression_policy", "str", "CompressionPolicy")),
])
def test_constructor_conversions(changes, error, message):
    expect_error(error, message, Corpus, **{**GOOD, **changes})


def test_properties():
    corpus = Corpus("é ☃ 𝄞", CONFIG, CODEBOOK, P.PASSTHROUGH, None)
    assert corpus.corpus_id == "é ☃ 𝄞"
    assert corpus.codec_config is CONFIG and corpus.codebook is CODEBOOK
    policy = corpus.compression_policy
    assert policy == P.PASSTHROUGH and policy is not P.PASSTHROUGH and corpus.compression_policy is not policy
    assert (corpus.vector_count, corpus.is_empty, corpus.vector_ids) == (0, True, frozenset())
    assert corpus.decompress_all() == {}
    assert [type(e).__name__ for e in corpus.pending_events()] == ["CorpusCreated"]  # an empty decompress_all adds none
    expect_error(NotImplementedError, "Corpus.metadata is not yet supported in the pyo3 wheel.",
                 getattr, corpus, "metadata")
    corpus.insert("a", np.zeros(8, np.float32))
    ids = corpus.vector_ids
    assert type(ids) is frozenset and ids == {"a"} and corpus.vector_ids is not ids
    assert (corpus.vector_count, corpus.is_empty) == (1, False)


# ---- insert failures --------------------------------------------------------

INSERT_METADATA_REFUSED = ("Corpus.insert(metadata=...) is not yet supported in the pyo3 wheel; "
                           "pass metadata=None or omit the kwarg.")
ONES = np.ones(8, dtype=np.float32)


@pytest.mark.parametrize("policy", [P.COMPRESS, P.FP16], ids=str)
@pytest.mark.parametrize("vector_id, vector, kwargs, error, message", [
    ("a", ONES, {}, DuplicateVectorError, "duplicate vector_id a"),
    ("a", ONES[:3], {}, DimensionMismatchError, "dimension mismatch: expected 8, got 3"),
    ("n", np.ones(0, np.float32), {}, DimensionMismatchError, "dimension mismatch: expected 8, got 0"),
    ("a", np.ones(16, np.float32)[::2], {}, ValueError, NOT_CONTIGUOUS),
    ("n", np.ones(8), {"metadata": {}}, TypeError, cannot_convert("vector")),
    (b"n", ONES, {}, TypeError, cannot_convert("vector_id", "bytes", "PyString")),
    ("n", ONES, {"metadata": {}}, NotImplementedError, INSERT_METADATA_REFUSED),
    ("a", ONES, {"metadata": {"k": "v"}}, NotImplementedError, INSERT_METADATA_REFUSED),
    ("n", ONES, {"metadata": 1}, TypeError, cannot_convert("metadata", "int", "PyDict")),
])
def test_failed_insert_leaves_corpus_unchanged(policy, vector_id, vector, kwargs, error, message):
    corpus = filled(policy)
    before = observed(corpus)
    expect_error(error, message, corpus.insert, vector_id, vector, **kwargs)
    assert observed(corpus) == before and corpus.pending_events() == []


def test_unfitting_codebook_is_reported_at_a_compress_insert_only():
    corpus = make(P.COMPRESS, bit_width=4, codebook_bits=2)
    corpus.pending_events()
    expect_error(CodebookIncompatibleError, "codebook bit_width 2 does not match config bit_width 4",
                 corpus.insert, "a", ONES)
    assert observed(corpus) == (0, True, [], {}) and corpus.pending_events() == []
    for policy in (P.PASSTHROUGH, P.FP16):
        make(policy, bit_width=4, codebook_bits=2).insert("a", ONES)


# ---- what each policy stores ------------------------------------------------

SPECIAL_BITS = [
    0x00000000, 0x80000000, 0x7F800000, 0xFF800000,  # zeros, infinities
    0x7FC00000, 0x7FC00001, 0xFFA00005, 0x7F800001,  # NaNs with payloads, quiet and signalling
    0x00000001, 0x807FFFFF, 0x7F7FFFFF, 0x3F800000, 0xBDCCCCCD, 0x477FE000,  # subnormals, max, 1, -0.1, 65504
    0x3F801000, 0x477FF000, 0xC77FF000, 0x33000000, 0x33400000,  # binary16 ties: even, to infinity, to zero; 3 * 2**-26
]


def test_passthrough_is_bit_exact_and_copies_its_input():
    values = np.array(SPECIAL_BITS, dtype=np.uint32).view(np.float32)
    corpus = make(P.PASSTHROUGH, dimension=len(values))
    entry = corpus.insert("x", values)
    values[:] = 0
    assert bits_of(corpus.decompress("x")) == SPECIAL_BITS
    assert bits_of(corpus.decompress_all()["x"]) == SPECIAL_BITS
    record = entry.compressed
    assert np.frombuffer(record.indices.tobytes(), dtype="<u4").tolist() == SPECIAL_BITS
    assert (record.dimension, record.bit_width, record.residual, entry.dimension) == (76, 8, None, 19)


def test_fp16_matches_numpy_rounding():
    rng = np.random.default_rng(11)
    patterns = rng.integers(0, 2**32, 2048, dtype=np.uint64).astype(np.uint32)
    scaled = (rng.standard_normal(2048) * 10.0 ** rng.integers(-9, 6, 2048)).astype(np.float32)
    values = np.concatenate([patterns.view(np.float32), scaled, np.array(SPECIAL_BITS, np.uint32).view(np.float32)])
    corpus = make(P.FP16, dimension=len(values))
    entry = corpus.insert("x", values)
    assert (entry.compressed.dimension, entry.compressed.bit_width) == (2 * len(values), 8)
    with np.errstate(over="ignore", invalid="ignore"):
        expected = values.astype(np.float16)
    stored, nan = np.frombuffer(entry.compressed.indices.tobytes(), dtype="<u2"), np.isnan(values)
    assert stored[~nan].tolist() == expected[~nan].view(np.uint16).tolist()
    got = corpus.decompress("x")
    assert np.array_equal(np.isnan(got), nan) and bits_of(got[~nan]) == bits_of(expected[~nan].astype(np.float32))


@pytest.mark.parametrize("bit_width, residual", [(2, False), (4, True), (8, False), (8, True)])
@pytest.mark.parametrize("dimension", [1, 33])
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
        assert bits_of(corpus.decompress(vector_id)) == expected == bits_of(everything[vector_id])
        entry = entries[vector_id]
        assert entry.compressed.to_bytes() == reference.to_bytes()
        assert entry.has_residual is residual and entry.dimension == dimension


@pytest.mark.parametrize("policy, residual, record_dimension, has_residual", [
    (P.PASSTHROUGH, True, 16, False), (P.FP16, True, 8, False), (P.COMPRESS, False, 4, False),
    (P.COMPRESS, True, 4, True),
], ids=["passthrough", "fp16", "compress", "compress+residual"])
def test_vector_entry(policy, residual, record_dimension, has_residual):
    corpus = make(policy, dimension=4, residual=residual)
    entry = corpus.insert("it's é", f32([0.5, -1.0, 2.0, 0.25]))
    got = corpus.get("it's é")
    assert got is not entry and corpus.get("it's é") is not got
    for e in (entry, got):
        assert type(e) is VectorEntry
        assert repr(e) == f"VectorEntry(vector_id=it's é, dimension=4, has_residual={has_residual})"
        assert (e.vector_id, e.dimension, e.has_residual) == ("it's é", 4, has_residual)
        assert e.config_hash == corpus.codec_config.config_hash
        record = e.compressed
        assert type(record) is CompressedVector and record is not e.compressed
        assert (record.dimension, record.config_hash) == (record_dimension, e.config_hash)
        assert record.to_bytes() == entry.compressed.to_bytes()


# ---- reads ------------------------------------------------------------------


@pytest.mark.parametrize("inserted, expected", [
    (["b", "a", "C"], ["C", "a", "b"]),
    (["é", "z", "ab", "a", "B", ""], ["", "B", "a", "ab", "z", "é"]),
    (["\U0001F600", "\uFFFF", "\u00e9", "e\u0301", "e"], ["e", "e\u0301", "\u00e9", "\uFFFF", "\U0001F600"]),
])
def test_decompress_all_orders_ids_by_their_utf8_bytes(inserted, expected):
    corpus = make(P.PASSTHROUGH, dimension=1)
    for n, vector_id in enumerate(inserted):
        corpus.insert(vector_id, f32([n]))
    corpus.pending_events()
    everything = corpus.decompress_all()
    assert list(everything) == expected
    assert {i: v.tolist() for i, v in everything.items()} == {i: [n] for n, i in enumerate(inserted)}
    assert [(type(e).__name__, e.vector_count) for e in corpus.pending_events()] == [
        ("CorpusDecompressed", len(inserted))]


def test_unknown_ids_raise_key_error_and_change_nothing():
    corpus = filled(P.COMPRESS)
    before = observed(corpus)
    for method, args in (("get", ("missing",)), ("remove", ("missing",)),
                         ("decompress", ("unknown vector_id missing",))):
        assert expect_error(KeyError, None, getattr(corpus, method), "missing").args == args
        assert observed(corpus) == before
    assert corpus.contains("missing") is False and corpus.pending_events() == []


def test_remove_and_reinsert():
    corpus = filled(P.FP16)
    assert corpus.remove("b") is None and corpus.pending_events() == []  # records nothing
    assert (corpus.contains("a"), corpus.contains("b"), corpus.vector_count) == (True, False, 2)
    assert corpus.vector_ids == frozenset({"a", "c"})
    corpus.insert("b", f32([7] * 8))
    assert corpus.decompress("b").tolist() == [7] * 8 and list(corpus.decompress_all()) == ["a", "b", "c"]
