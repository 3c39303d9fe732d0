"""One corpus shared by several Python threads inserting, removing, reading
and draining events at once: no crash, no deadlock, and a final state and
event history consistent with what every thread saw succeed."""

import collections
import random
import threading
import time
import zlib

import numpy as np
import pytest

from codec_reference import other_threads_ran_during, run_threads
from marrowfin_rs._core import (Codebook, CodecConfig, CompressionPolicy, Corpus, CorpusCreated,
                                CorpusDecompressed, DuplicateVectorError, VectorEntry, VectorsInserted)

ENTRY_MISSING = "insert succeeded but entry missing"


def make(policy, dimension):
    config = CodecConfig(4, 3, dimension, residual_enabled=True)
    return Corpus("shared", config, Codebook(np.linspace(-2, 2, 16).astype(np.float32), 4), policy)


def vector_for(vector_id, dimension):
    """A vector determined by its id, so any reader can check what it decodes."""
    return np.random.default_rng(zlib.crc32(vector_id.encode())).standard_normal(dimension).astype(np.float32)


@pytest.mark.parametrize("policy", [CompressionPolicy.COMPRESS, CompressionPolicy.FP16], ids=str)
def test_mixed_workload_stays_consistent(policy):
    dimension, rounds = 48, 400
    corpus = make(policy, dimension)
    lock, stop, events = threading.Lock(), threading.Event(), []
    inserted, removed = collections.Counter(), collections.Counter()

    def spinning():
        """Rounds until the inserters finish, handing the interpreter lock back
        after each so that an insert waiting to re-acquire it gets in at once."""
        while not stop.is_set():
            yield
            time.sleep(0)

    def inserters():
        try:
            run_threads([lambda w=w: insert_some(random.Random(w)) for w in range(3)])
        finally:
            stop.set()

    def insert_some(rng):
        for _ in range(rounds):
            # Ids collide across workers on purpose: at most one insert of a present id may succeed.
            vector_id = f"id{rng.randrange(rounds)}"
            try:
                entry = corpus.insert(vector_id, vector_for(vector_id, dimension))
            except DuplicateVectorError:
                continue
            except ValueError as error:
                assert str(error) == ENTRY_MISSING
            else:
                assert type(entry) is VectorEntry and entry.vector_id == vector_id
            with lock:
                inserted[vector_id] += 1

    def remover():
        rng = random.Random(99)
        for _ in spinning():
            vector_id = f"id{rng.randrange(rounds)}"
            try:
                assert corpus.remove(vector_id) is None
            except KeyError as error:
                assert error.args == (vector_id,)
            else:
                with lock:
                    removed[vector_id] += 1

    def reader():
        for _ in spinning():
            for vector_id in list(corpus.vector_ids)[:5]:
                try:
                    values = corpus.decompress(vector_id)
                except KeyError as error:
                    assert error.args == (f"unknown vector_id {vector_id}",)
                    continue
                assert values.shape == (dimension,)
                if policy == CompressionPolicy.FP16:
                    expected = vector_for(vector_id, dimension).astype(np.float16)
                    assert np.array_equal(values, expected.astype(np.float32))
            everything = corpus.decompress_all()
            assert list(everything) == sorted(everything, key=lambda s: s.encode())
            assert corpus.vector_count >= 0 and corpus.contains("id0") in (True, False)

    def drainer():
        for _ in spinning():
            events.extend(corpus.pending_events())

    run_threads([inserters, remover, reader, drainer])
    events.extend(corpus.pending_events())

    # Each id is present exactly when its successful inserts outnumber its removals.
    assert all(0 <= inserted[i] - removed[i] <= 1 for i in inserted)
    present = {i for i in inserted if inserted[i] - removed[i] == 1}
    assert corpus.vector_ids == present and corpus.vector_count == len(present)
    assert all(corpus.get(i).vector_id == i for i in present)
    # Every successful insert left exactly one VectorsInserted, across all drains.
    assert isinstance(events[0], CorpusCreated) and sum(isinstance(e, CorpusCreated) for e in events) == 1
    assert all(isinstance(e, (CorpusCreated, VectorsInserted, CorpusDecompressed)) for e in events)
    inserted_events = [e for e in events if isinstance(e, VectorsInserted)]
    assert all(e.count == 1 and len(e.vector_ids) == 1 for e in inserted_events)
    assert collections.Counter(e.vector_ids[0] for e in inserted_events) == inserted


def test_insert_runs_without_the_interpreter_lock():
    corpus, ids = make(CompressionPolicy.COMPRESS, 256), iter(range(1000))
    vector = vector_for("v", 256)
    assert other_threads_ran_during(lambda: corpus.insert(f"v{next(ids)}", vector), attempts=200)


def test_insert_racing_a_remover_of_the_same_id():
    """A remover that takes the id whenever it is present sometimes runs
    between the two halves of an insert, whose read-back then finds nothing;
    the insert itself stands (its event is recorded)."""
    dimension = 32
    corpus = make(CompressionPolicy.COMPRESS, dimension)
    corpus.pending_events()
    vector = vector_for("r", dimension)
    outcomes, removals = collections.Counter(), [0]
    stop, remover_running = threading.Event(), threading.Event()

    def inserter():
        remover_running.wait()
        deadline = time.monotonic() + 20
        try:
            while outcomes["missing"] < 3 and time.monotonic() < deadline:
                try:
                    entry = corpus.insert("r", vector)
                except DuplicateVectorError:
                    continue
                except ValueError as error:
                    assert str(error) == ENTRY_MISSING
                    outcomes["missing"] += 1
                else:
                    assert entry.vector_id == "r" and entry.dimension == dimension
                    outcomes["entry"] += 1
        finally:
            stop.set()

    def remover():
        remover_running.set()
        while not stop.is_set():
            try:
                corpus.remove("r")
            except KeyError:
                continue
            removals[0] += 1

    run_threads([inserter, remover])
    assert outcomes["missing"] >= 1, outcomes
    inserts = outcomes["entry"] + outcomes["missing"]
    assert removals[0] == inserts - corpus.vector_count
    events = corpus.pending_events()
    assert len(events) == inserts and all(e.vector_ids == ["r"] for e in events)
