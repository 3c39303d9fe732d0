"""Corpus.insert_batch: all or nothing, one event, entries byte-identical to
one-by-one inserts; and the scan-friendly storage behind every corpus."""

import numpy as np
import pytest

from marrowfin_rs._core import (Codebook, CodebookIncompatibleError, CodecConfig, CompressionPolicy,
                                Corpus, DimensionMismatchError, DuplicateVectorError,
                                VectorsInserted)

POLICIES = [CompressionPolicy.COMPRESS, CompressionPolicy.PASSTHROUGH, CompressionPolicy.FP16]


def make(policy, bit_width=4, dimension=24, residual=False, codebook_bits=None):
    config = CodecConfig(bit_width, 11, dimension, residual_enabled=residual)
    bits = codebook_bits or bit_width
    levels = np.linspace(-1.5, 1.5, 1 << bits).astype(np.float32)
    return Corpus("batch", config, Codebook(levels, bits), policy)


def entry_bytes(corpus, vector_id):
    entry = corpus.get(vector_id)
    record = entry.compressed
    return (entry.dimension, record.to_bytes(), bytes(record.indices),
            None if record.residual is None else bytes(record.residual),
            corpus.decompress(vector_id).tobytes())


def rows(n, dimension, seed=3):
    values = np.random.default_rng(seed).standard_normal((n, dimension)).astype(np.float32)
    values[0, :3] = [np.nan, np.inf, -0.0]
    return values


@pytest.mark.parametrize("policy", POLICIES, ids=str)
@pytest.mark.parametrize("bit_width,residual", [(2, False), (4, False), (4, True), (8, True)])
def test_batch_entries_equal_one_by_one_inserts(policy, bit_width, residual):
    values = rows(300, 24)
    ids = [f"v{(i * 7919) % 1000:04d}" for i in range(300)]  # inserted out of id order
    batch, single = make(policy, bit_width, residual=residual), make(policy, bit_width, residual=residual)
    batch.pending_events(), single.pending_events()
    assert batch.insert_batch(ids, values) is None
    for vector_id, vector in zip(ids, values):
        single.insert(vector_id, vector)
    for vector_id in ids:
        assert entry_bytes(batch, vector_id) == entry_bytes(single, vector_id)
    assert list(batch.decompress_all()) == sorted(ids)
    [event] = [e for e in batch.pending_events() if isinstance(e, VectorsInserted)]
    assert (event.vector_ids, event.count) == (ids, 300)
    # Removals move other rows around; every survivor keeps its bytes.
    for vector_id in ids[::3]:
        batch.remove(vector_id)
    assert batch.vector_ids == frozenset(ids) - frozenset(ids[::3])
    for vector_id in ids[1::3]:
        assert entry_bytes(batch, vector_id) == entry_bytes(single, vector_id)


def test_empty_batch_records_nothing():
    corpus = make(CompressionPolicy.COMPRESS)
    corpus.pending_events()
    corpus.insert_batch([], np.zeros((0, 24), np.float32))
    assert corpus.pending_events() == [] and corpus.is_empty


@pytest.mark.parametrize(
    "ids,values,error,message",
    [
        (["a", "b"], np.zeros((3, 24), np.float32), ValueError, "vector_ids has 2 ids but vectors has 3 rows"),
        (["a", "b"], np.zeros((2, 5), np.float32), DimensionMismatchError, "dimension mismatch: expected 24, got 5"),
        # The dimension decides before any duplicate, as for insert.
        (["a", "kept"], np.zeros((2, 5), np.float32), DimensionMismatchError, "dimension mismatch: expected 24, got 5"),
        (["x", "kept", "x"], np.zeros((3, 24), np.float32), DuplicateVectorError, "duplicate vector_id kept"),
        (["y", "x", "y", "x"], np.zeros((4, 24), np.float32), DuplicateVectorError, "duplicate vector_id y"),
        (["a", "b"], np.zeros((4, 24), np.float32)[::2], ValueError, "input matrix must be C-contiguous float32"),
        ("ab", np.zeros((2, 24), np.float32), TypeError, "Can't extract `str` to `Vec`"),
        (["a", "b"], np.zeros((2, 24), np.float64), TypeError, "vectors"),
        (["a", 3], np.zeros((2, 24), np.float32), TypeError, "vector_ids"),
    ],
)
def test_failed_batches_change_nothing(ids, values, error, message):
    corpus = make(CompressionPolicy.COMPRESS)
    corpus.insert("kept", np.ones(24, np.float32))
    corpus.pending_events()
    with pytest.raises(error, match=message):
        corpus.insert_batch(ids, values)
    assert corpus.vector_ids == frozenset({"kept"}) and corpus.pending_events() == []


def test_unfitting_codebook_fails_the_batch_like_insert():
    corpus = make(CompressionPolicy.COMPRESS, bit_width=4, codebook_bits=2)
    with pytest.raises(CodebookIncompatibleError, match="codebook bit_width 2 does not match config bit_width 4"):
        corpus.insert_batch(["a"], np.zeros((1, 24), np.float32))
    assert corpus.is_empty
    # The raw policies never use the codebook.
    raw = make(CompressionPolicy.FP16, bit_width=4, codebook_bits=2)
    raw.insert_batch(["a"], np.zeros((1, 24), np.float32))
    assert raw.vector_count == 1


def test_large_batch_spans_several_codec_slices():
    values = rows(5000, 16, seed=9)
    ids = [str(i) for i in range(5000)]
    batch, single = make(CompressionPolicy.COMPRESS, 8, 16, True), make(CompressionPolicy.COMPRESS, 8, 16, True)
    batch.insert_batch(ids, values)
    for vector_id, vector in zip(ids[::97], values[::97]):
        single.insert(vector_id, vector)
    for vector_id in ids[::97]:
        assert entry_bytes(batch, vector_id) == entry_bytes(single, vector_id)
    decoded = batch.decompress_all()
    assert len(decoded) == 5000
    assert decoded["4999"].tobytes() == batch.decompress("4999").tobytes()
