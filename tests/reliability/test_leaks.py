"""Leak loops over every operation of the module, on success and error paths.

Each group runs its calls a few thousand times after a warm-up. Afterwards the
reference count of every argument it passed must be what it was before, and
neither the bytes malloc has handed out (glibc's mallinfo2, which sees the
extension's C++ allocations and the interpreter's larger blocks), nor the
interpreter's own small-object blocks (sys.getallocatedblocks), nor the
resident memory may have grown by more than a small allowance.
"""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

from marrowfin_rs import _core

ITERATIONS = int(os.environ.get("MARROWFIN_LEAK_ITERATIONS", "2000"))
WARM_UP = 200


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
                 "fordblks", "keepcost")]


try:
    _mallinfo2 = ctypes.CDLL(None).mallinfo2
    _mallinfo2.restype = _MallInfo2
except (OSError, AttributeError):  # not glibc: resident memory alone
    _mallinfo2 = None


def allocated_bytes():
    if _mallinfo2 is None:
        return 0
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def swallow(call, *args, **kwargs):
    """call(*args, **kwargs), with the error paths' exceptions dropped."""
    try:
        return call(*args, **kwargs)
    except (ValueError, TypeError, KeyError, OverflowError, NotImplementedError, RuntimeError,
            _core.DimensionMismatchError,
            _core.ConfigMismatchError, _core.CodebookIncompatibleError, _core.DuplicateVectorError):
        return None


CONFIG = _core.CodecConfig(4, 9, 8)
CODEBOOK = _core.Codebook(np.linspace(-2, 2, 16).astype(np.float32), 4)
CODEC = _core.Codec()
VECTOR = np.linspace(-1, 1, 8).astype(np.float32)
MATRIX = np.random.default_rng(1).standard_normal((6, 8)).astype(np.float32)
SHORT = np.ones(5, np.float32)
DOUBLES = np.ones(8)
RECORD = CODEC.compress(VECTOR, CONFIG, CODEBOOK)
BLOB = RECORD.to_bytes()
BAD_BLOB = BLOB[:40]
ROTATION = _core.RotationMatrix.from_config(CONFIG)
OTHER = _core.CodecConfig(2, 9, 8)
ID, MISSING = "vector-1", "missing"
METADATA = {"a": 1}


def config_ops():
    c = _core.CodecConfig(4, 9, 8, residual_enabled=False)
    (c == CONFIG, hash(c), repr(c), c.config_hash, c.num_codebook_entries, c.seed, c.dimension, c.bit_width)
    swallow(_core.CodecConfig, 3, 9, 8)
    swallow(_core.CodecConfig, 4, -1, 8)
    swallow(_core.CodecConfig, 4, 9, 0)
    swallow(_core.CodecConfig, "4", 9, 8)
    swallow(_core.CodecConfig, 4, 9, 1 << 70)


def codebook_ops():
    b = _core.Codebook(CODEBOOK.entries, 4)
    (b.entries, b.num_entries, b.bit_width, repr(b))
    _core.Codebook.train(MATRIX, CONFIG)
    swallow(_core.Codebook, CODEBOOK.entries, 2)
    swallow(_core.Codebook, DOUBLES, 4)
    swallow(_core.Codebook.train, SHORT[None, :], CONFIG)
    swallow(_core.Codebook.train, DOUBLES, CONFIG)


def rotation_ops():
    r = _core.RotationMatrix.from_seed_and_dim(9, 8)
    inverse = r.apply_inverse(r.apply(VECTOR))
    (inverse, r.dimension, r.seed, r.matrix_f64_bytes(), ROTATION.apply(VECTOR))
    swallow(ROTATION.apply, SHORT)
    swallow(ROTATION.apply_inverse, DOUBLES)
    swallow(_core.RotationMatrix.from_seed_and_dim, 9, 0)
    swallow(_core.RotationMatrix.from_config, VECTOR)


def codec_ops():
    record = CODEC.compress(VECTOR, CONFIG, CODEBOOK)
    CODEC.decompress(record, CONFIG, CODEBOOK)
    _core.decompress(_core.compress(VECTOR, CONFIG, CODEBOOK), CONFIG, CODEBOOK)
    records = CODEC.compress_batch(MATRIX, CONFIG, CODEBOOK)
    CODEC.decompress_batch(records, CONFIG, CODEBOOK)
    CODEC.build_codebook(MATRIX, CONFIG)
    CODEC.build_rotation(CONFIG)
    swallow(CODEC.compress, SHORT, CONFIG, CODEBOOK)
    swallow(CODEC.compress, VECTOR, OTHER, CODEBOOK)
    swallow(CODEC.decompress, RECORD, OTHER, CODEBOOK)
    swallow(CODEC.compress_batch, DOUBLES, CONFIG, CODEBOOK)
    swallow(CODEC.decompress_batch, [RECORD, VECTOR], CONFIG, CODEBOOK)
    swallow(CODEC.decompress_batch, [RECORD], OTHER, CODEBOOK)


def record_ops():
    record = _core.CompressedVector.from_bytes(BLOB)
    (record.to_bytes(), record.indices, record.residual, record.config_hash, record.dimension,
     record.bit_width, record.has_residual, record.size_bytes, repr(record), record == RECORD)
    swallow(_core.CompressedVector.from_bytes, BAD_BLOB)
    swallow(_core.CompressedVector.from_bytes, b"\x02" + BLOB[1:])
    swallow(_core.CompressedVector.from_bytes, VECTOR)


def corpus_ops():
    for policy in (_core.CompressionPolicy.COMPRESS, _core.CompressionPolicy.FP16):
        corpus = _core.Corpus("leaks", CONFIG, CODEBOOK, policy)
        entry = corpus.insert(ID, VECTOR)
        (entry.vector_id, entry.dimension, entry.compressed, entry.config_hash, repr(entry))
        (corpus.contains(ID), corpus.get(ID), corpus.decompress(ID), corpus.decompress_all(),
         corpus.vector_count, corpus.is_empty, corpus.vector_ids, corpus.corpus_id, corpus.codebook,
         corpus.codec_config, corpus.compression_policy)
        for event in corpus.pending_events():
            repr(event)
        swallow(corpus.insert, ID, VECTOR)
        swallow(corpus.insert, MISSING, SHORT)
        swallow(corpus.insert, MISSING, DOUBLES)
        swallow(corpus.insert, MISSING, VECTOR, METADATA)
        swallow(corpus.get, MISSING)
        swallow(corpus.decompress, MISSING)
        swallow(corpus.remove, MISSING)
        swallow(lambda: corpus.metadata)
        corpus.remove(ID)
    swallow(_core.Corpus, "leaks", CONFIG, CODEBOOK, "compress")
    swallow(_core.Corpus, "leaks", CONFIG, CODEBOOK, _core.CompressionPolicy.COMPRESS, METADATA)
    policy = _core.CompressionPolicy.FP16
    (policy == _core.CompressionPolicy.FP16, hash(policy), policy.name, policy.value, policy.requires_codec(),
     repr(policy))


def backend_ops():
    backend = _core.BruteForceBackend()
    backend.ingest({ID: VECTOR, MISSING: MATRIX[0]})
    results = backend.search(VECTOR, 2)
    (results[0].vector_id, results[0].score, repr(results[0]), results[0] == results[1])
    swallow(backend.ingest, {ID: SHORT})
    swallow(backend.ingest, {ID: DOUBLES})
    swallow(backend.search, VECTOR, 0)
    swallow(backend.search, SHORT, 3)
    swallow(backend.remove, [ID, 5])
    backend.remove([ID])
    (backend.count, backend.search(VECTOR, 1))
    backend.clear()


ARGUMENTS = [CONFIG, CODEBOOK, VECTOR, MATRIX, SHORT, DOUBLES, RECORD, BLOB, BAD_BLOB, ROTATION, OTHER, ID,
             MISSING, METADATA]
GROUPS = [config_ops, codebook_ops, rotation_ops, codec_ops, record_ops, corpus_ops, backend_ops]


@pytest.mark.parametrize("group", GROUPS, ids=lambda g: g.__name__)
def test_no_reference_or_memory_leaks(group):
    for _ in range(WARM_UP):
        group()
    gc.collect()
    refs = [sys.getrefcount(a) for a in ARGUMENTS]
    blocks, allocated, resident = sys.getallocatedblocks(), allocated_bytes(), resident_bytes()
    for _ in range(ITERATIONS):
        group()
    gc.collect()
    assert [sys.getrefcount(a) for a in ARGUMENTS] == refs
    assert sys.getallocatedblocks() - blocks < ITERATIONS // 10
    grown = allocated_bytes() - allocated
    # A leak of even 32 bytes per iteration shows as 64 KiB.
    assert grown < 48 * 1024, f"malloc'd bytes grew by {grown} over {ITERATIONS} iterations"
    assert resident_bytes() - resident < 4 << 20
