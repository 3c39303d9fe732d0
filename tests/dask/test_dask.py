"""marrowfin_rs.dask on a LocalCluster of two worker processes: the same bytes and answers as one process."""

import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")

import marrowfin_rs._core as core  # noqa: E402
from marrowfin_rs import dask as mdask  # noqa: E402

DIM = 24


def codec_for(bit_width, residual, dimension=DIM, seed=7):
    config = core.CodecConfig(bit_width, seed, dimension, residual)
    rotation = core.RotationMatrix.from_config(config)
    sample = np.random.default_rng(3).standard_normal((64, dimension)).astype(np.float32)
    codebook = core.Codebook.train(np.stack([rotation.apply(v) for v in sample]), config)
    return config, codebook


def one_process_records(vectors, config, codebook):
    records = core.Codec().compress_batch(vectors, config, codebook)
    return np.frombuffer(b"".join(r.to_bytes() for r in records), np.uint8).reshape(len(records), -1)


@pytest.mark.parametrize("bit_width,residual", [(2, False), (4, True), (8, False), (8, True)])
@pytest.mark.parametrize("dimension", [1, 5, 768])
def test_record_size_is_the_serialized_length(bit_width, residual, dimension):
    config, codebook = codec_for(bit_width, residual, dimension)
    vector = np.ones(dimension, np.float32)
    assert mdask.record_size(config) == len(core.compress(vector, config, codebook).to_bytes())


VECTORS = np.random.default_rng(11).standard_normal((60, DIM)).astype(np.float32)
VECTORS[5] = 0.0
VECTORS[9, 3] = np.inf


@pytest.mark.parametrize("rows", [(60,), (1,) * 15 + (45,), (7, 0, 13, 40), (30, 30)])
@pytest.mark.parametrize("bit_width,residual", [(2, False), (4, True), (8, True)])
def test_compress_and_decompress_are_byte_identical_to_one_process(client, rows, bit_width, residual):
    config, codebook = codec_for(bit_width, residual)
    vectors = da.from_array(VECTORS, chunks=(rows, (DIM,)))
    compressed = mdask.compress(vectors, config, codebook)
    assert compressed.dtype == np.uint8 and compressed.chunks[0] == rows
    expected = one_process_records(VECTORS, config, codebook)
    records = compressed.compute()
    assert records.tobytes() == expected.tobytes() and records.shape == expected.shape

    decoded = mdask.decompress(da.from_array(records, chunks=(rows[::-1], -1)), config, codebook).compute()
    reference = core.Codec().decompress_batch(
        [core.CompressedVector.from_bytes(row.tobytes()) for row in expected], config, codebook)
    assert decoded.dtype == np.float32 and decoded.tobytes() == reference.tobytes()


def test_graphs_are_lazy_and_columns_may_come_in_pieces(client):
    config, codebook = codec_for(4, True)
    calls = []

    def count(block):
        calls.append(len(block))
        return block

    source = da.from_array(VECTORS, chunks=(20, 8)).map_blocks(count, meta=np.empty((0, 0), np.float32))
    compressed = mdask.compress(source, config, codebook)
    decoded = mdask.decompress(compressed, config, codebook)
    assert calls == []
    assert decoded.chunks == ((20, 20, 20), (DIM,))
    assert compressed.chunks[1] == (mdask.record_size(config),)
    assert compressed.compute().tobytes() == one_process_records(VECTORS, config, codebook).tobytes()


@pytest.mark.parametrize("call,error,message", [
    (lambda c, b: mdask.compress(da.zeros((4, DIM), dtype=np.float64), c, b), TypeError, "float32"),
    (lambda c, b: mdask.compress(da.zeros((4, DIM + 1), dtype=np.float32), c, b),
     core.DimensionMismatchError, f"vector length {DIM + 1} does not match config dimension {DIM}"),
    (lambda c, b: mdask.compress(da.zeros((4, DIM), dtype=np.float32), c, codec_for(2, False)[1]),
     core.CodebookIncompatibleError, "codebook bit_width 2 does not match config bit_width 4"),
    (lambda c, b: mdask.decompress(da.zeros((4, 10), dtype=np.uint8), c, b), ValueError, "got rows of 10 bytes"),
    (lambda c, b: mdask.compress([[1.0] * DIM], c, b), TypeError, "Dask or NumPy array"),
])
def test_bad_arguments_are_refused_when_the_graph_is_built(call, error, message):
    config, codebook = codec_for(4, True)
    with pytest.raises(error, match=message):
        call(config, codebook)


def test_graphs_of_different_inputs_never_share_keys(client):
    config, codebook = codec_for(4, True)
    other, _ = codec_for(4, True, seed=8)
    vectors = da.from_array(VECTORS, chunks=(20, -1))
    together = dask.compute(mdask.compress(vectors, config, codebook), mdask.compress(vectors, other, codebook),
                            mdask.compress(vectors[::-1], config, codebook))
    assert together[0].tobytes() == one_process_records(VECTORS, config, codebook).tobytes()
    assert together[1].tobytes() == one_process_records(VECTORS, other, codebook).tobytes()
    assert together[2].tobytes() == one_process_records(VECTORS[::-1].copy(), config, codebook).tobytes()


def test_records_of_another_configuration_are_refused(client):
    config, codebook = codec_for(4, True)
    other, _ = codec_for(4, True, seed=8)
    records = mdask.compress(da.from_array(VECTORS, chunks=(20, -1)), other, codebook)
    with pytest.raises(core.ConfigMismatchError, match=other.config_hash):
        mdask.decompress(records, config, codebook).compute()


def test_importing_without_dask_names_the_extra():
    code = "import sys; sys.modules['distributed'] = None; import marrowfin_rs.dask"
    completed = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert completed.returncode != 0
    assert "ImportError: marrowfin_rs.dask needs Dask" in completed.stderr
    assert "pip install 'marrowfin_rs[dask]'" in completed.stderr


# ---------------------------------------------------------------------------------------------------------------
# ShardedCorpus


def tied_data(n, seed):
    """Random vectors with many exact ties: repeated rows, zero rows and scaled copies."""
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    vectors[1::4] = vectors[0]
    vectors[2::9] = 0.0
    vectors[3::7] = vectors[3] * np.float32(2.0)
    ids = [f"v{i}" for i in rng.permutation(n)]
    ids[4], ids[5] = "v", "é"  # a prefix and a non-ASCII id
    return ids, vectors


POLICIES = [core.CompressionPolicy.COMPRESS, core.CompressionPolicy.PASSTHROUGH, core.CompressionPolicy.FP16]


@pytest.mark.parametrize("policy", POLICIES, ids=lambda p: p.name)
@pytest.mark.parametrize("shards", [1, 3])
def test_search_equals_one_corpus(client, policy, shards):
    config, codebook = codec_for(4, True)
    ids, vectors = tied_data(90, seed=shards)
    sharded = mdask.ShardedCorpus(client, "docs", config, codebook, policy, shards)
    sharded.insert_batch(ids[:50], vectors[:50])
    sharded.insert_batch(ids[50:], da.from_array(vectors[50:], chunks=(15, -1)))
    one = core.Corpus("docs", config, codebook, policy)
    for vector_id, vector in zip(ids, vectors):
        one.insert(vector_id, vector)

    assert len(sharded) == sharded.vector_count == 90
    queries = [vectors[0], vectors[3], np.zeros(DIM, np.float32),
               np.random.default_rng(5).standard_normal(DIM).astype(np.float32)]
    for query in queries:
        for top_k in (1, 7, 200):
            got = [(r.vector_id, r.score) for r in sharded.search(query, top_k)]
            want = [(r.vector_id, r.score) for r in one.search(query, top_k)]
            assert got == want

    everything = sharded.decompress_all()
    expected = one.decompress_all()
    assert list(everything) == list(expected)
    assert all(everything[key].tobytes() == expected[key].tobytes() for key in expected)
    assert sharded.contains("é") and not sharded.contains("nope")
    for vector_id in ("é", ids[0], ids[-1]):
        entry, want = sharded.get(vector_id), one.get(vector_id)
        assert (entry.vector_id, entry.dimension) == (want.vector_id, want.dimension)
        assert entry.compressed.to_bytes() == want.compressed.to_bytes()
    with pytest.raises(KeyError, match="nope"):
        sharded.get("nope")
    sharded.remove("é")
    one.remove("é")
    assert len(sharded) == 89 and not sharded.contains("é")
    with pytest.raises(KeyError):
        sharded.remove("é")
    got = [(r.vector_id, r.score) for r in sharded.search(vectors[0], 10)]
    assert got == [(r.vector_id, r.score) for r in one.search(vectors[0], 10)]


def test_nan_scores_follow_the_reference_order(client):
    config, codebook = codec_for(4, True)
    ids, vectors = tied_data(40, seed=9)
    vectors[::5, 0] = np.inf
    policy = core.CompressionPolicy.PASSTHROUGH
    sharded = mdask.ShardedCorpus(client, "inf", config, codebook, policy, 2)
    sharded.insert_batch(ids, vectors)
    one = core.Corpus("inf", config, codebook, policy)
    for vector_id, vector in zip(ids, vectors):
        one.insert(vector_id, vector)
    query = vectors[0].copy()
    got = [(r.vector_id, r.score) for r in sharded.search(query, 12)]
    want = [(r.vector_id, r.score) for r in one.search(query, 12)]
    assert any(score != score for _, score in want)
    assert [i for i, _ in got] == [i for i, _ in want]
    assert np.array_equal(np.array([s for _, s in got]), np.array([s for _, s in want]), equal_nan=True)


def test_ids_go_to_the_same_shard_on_every_run():
    # Pinned: the shard of an id is a function of its UTF-8 bytes alone, never of the process or the run.
    assert [mdask.shard_of(i, 7) for i in ("a", "b", "doc-1", "é", "")] == [4, 0, 4, 5, 5]
    assert mdask.shard_of("doc-1", 1000) == 614


@pytest.mark.parametrize("batch_ids", [
    ["n1", "n2", "k3", "n4"],      # k3 is already stored
    ["n1", "n2", "n1"],            # repeated within the batch
])
def test_a_duplicate_id_is_refused_with_nothing_stored(client, batch_ids):
    config, codebook = codec_for(4, False)
    sharded = mdask.ShardedCorpus(client, "dup", config, codebook, core.CompressionPolicy.COMPRESS, 2)
    rng = np.random.default_rng(1)
    sharded.insert_batch([f"k{i}" for i in range(10)], rng.standard_normal((10, DIM)).astype(np.float32))
    before = sharded.decompress_all()
    with pytest.raises(core.DuplicateVectorError, match="duplicate vector_id (k3|n1)"):
        sharded.insert_batch(batch_ids, rng.standard_normal((len(batch_ids), DIM)).astype(np.float32))
    assert len(sharded) == 10
    assert not any(sharded.contains(i) for i in batch_ids if i.startswith("n"))
    assert list(sharded.decompress_all()) == list(before)


@pytest.mark.parametrize("ids,vectors,error", [
    (["a", "b"], np.zeros((3, DIM), np.float32), ValueError),
    (["a"], np.zeros((1, DIM), np.float64), TypeError),
    (["a"], np.zeros((1, DIM + 2), np.float32), core.DimensionMismatchError),
    ([1], np.zeros((1, DIM), np.float32), TypeError),
    ("ab", np.zeros((2, DIM), np.float32), TypeError),
])
def test_bad_batches_are_refused(client, ids, vectors, error):
    config, codebook = codec_for(4, False)
    sharded = mdask.ShardedCorpus(client, "bad", config, codebook, core.CompressionPolicy.COMPRESS, 2)
    with pytest.raises(error):
        sharded.insert_batch(ids, vectors)
    assert len(sharded) == 0


def test_a_batch_refused_by_the_shards_stores_nothing(client):
    config, _ = codec_for(4, False)
    _, two_bits = codec_for(2, False)  # refused by every COMPRESS shard at its first insert
    sharded = mdask.ShardedCorpus(client, "mismatch", config, two_bits, core.CompressionPolicy.COMPRESS, 3)
    with pytest.raises(core.CodebookIncompatibleError, match="codebook bit_width 2 does not match"):
        sharded.insert_batch([f"m{i}" for i in range(12)], np.ones((12, DIM), np.float32))
    assert len(sharded) == 0


# ---------------------------------------------------------------------------------------------------------------
# Faults: these kill worker processes, so they run last; the nanny restarts each one.


def kill_worker(client, address):
    """SIGKILL the process of one worker (of this machine's LocalCluster) and wait until the scheduler knows."""
    pid = client.run(os.getpid, workers=[address])[address]
    os.kill(pid, signal.SIGKILL)
    deadline = time.monotonic() + 30
    while address in mdask._live_workers(client):
        assert time.monotonic() < deadline, "the worker did not die"
        time.sleep(0.05)


def slow_rows(block, block_info=None):
    """Deterministic rows for one chunk, slowly enough that a worker can be killed mid-computation."""
    start = block_info[None]["array-location"][0][0]
    time.sleep(0.05)
    rows = np.random.default_rng(start).standard_normal(block.shape).astype(np.float32)
    return rows


@pytest.mark.parametrize("stage", ["compress", "decompress"])
def test_a_worker_killed_mid_computation_changes_no_byte(client, stage):
    client.wait_for_workers(2, timeout=30)
    config, codebook = codec_for(4, True)
    chunk, n = 50, 2000
    template = da.zeros((n, DIM), dtype=np.float32, chunks=(chunk, DIM))
    vectors = template.map_blocks(slow_rows, dtype=np.float32)
    expected = one_process_records(vectors.compute(scheduler="sync"), config, codebook)
    graph = mdask.compress(vectors, config, codebook)
    if stage == "decompress":
        graph = mdask.decompress(graph, config, codebook)
        expected = core.Codec().decompress_batch(
            [core.CompressedVector.from_bytes(row.tobytes()) for row in expected], config, codebook)

    future = client.compute(graph, retries=2)
    victim = mdask._live_workers(client)[0]
    while len([1 for holders in client.who_has().values() if holders]) < 4:  # a few chunks are done
        time.sleep(0.02)
    assert not future.done()
    kill_worker(client, victim)
    assert future.result(timeout=60).tobytes() == expected.tobytes()
    client.wait_for_workers(2, timeout=30)


def test_a_lost_shard_is_reported_never_answered_partially(client):
    client.wait_for_workers(2, timeout=30)
    config, codebook = codec_for(4, False)
    sharded = mdask.ShardedCorpus(client, "lost", config, codebook, core.CompressionPolicy.COMPRESS, 2)
    ids, vectors = tied_data(40, seed=4)
    sharded.insert_batch(ids, vectors)
    held = sum(1 for i in ids if sharded.shard_of(i) == 1)
    new_id = next(f"x{i}" for i in range(100) if sharded.shard_of(f"x{i}") == 1)
    kill_worker(client, sharded.workers[1])
    for call in (lambda: sharded.search(vectors[0], 5), lambda: len(sharded), sharded.decompress_all,
                 lambda: sharded.insert_batch([new_id], vectors[:1]), lambda: sharded.contains(new_id)):
        with pytest.raises(mdask.LostShardError, match=f"shard 1 of corpus 'lost' is lost.* {held} vectors") as info:
            call()
        assert (info.value.shard, info.value.vector_count) == (1, held)
    # Shard 0 still answers what it holds; a replaced shard takes its vectors back.
    stayed = [i for i in ids if sharded.shard_of(i) == 0]
    assert sharded.contains(stayed[0])
    client.wait_for_workers(2, timeout=30)
    sharded.replace_shard(1)
    rows = [k for k, i in enumerate(ids) if sharded.shard_of(i) == 1]
    sharded.insert_batch([ids[k] for k in rows], vectors[rows])
    assert len(sharded) == 40
