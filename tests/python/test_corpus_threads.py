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

from marrowfin_rs._core import (
    Codebook,
    CodecConfig,
    CompressionPolicy,
    Corpus,
    CorpusCreated,
    CorpusDecompressed,
    DuplicateVectorError,
    VectorEntry,
    VectorsInserted,
)

ENTRY_MISSING = "insert succeeded but entry missing"
JOIN_TIMEOUT = 120


def make(policy, dimension):
    config = CodecConfig(4, 3, dimension, residual_enabled=True)
    codebook = Codebook(np.linspace(-2, 2, 16).astype(np.float32), 4)
    return Corpus("shared", config, codebook, policy)


def vector_for(vector_id, dimension):
    """A vector determined by its id, so any reader can check what it decodes."""
    rng = np.random.default_rng(zlib.crc32(vector_id.encode()))
    return rng.standard_normal(dimension).astype(np.float32)


def run_threads(targets):
    errors = []

    def guarded(target):
        def run():
            try:
                target()
            except BaseException as error:  # reported to the main thread
                errors.append(error)
        return run

    # Daemon threads: a stuck thread must not keep the test run from exiting.
    threads = [threading.Thread(target=guarded(t), daemon=True) for t in targets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(JOIN_TIMEOUT)
    assert not any(t.is_alive() for t in threads), "deadlock: a thread did not finish"
    if errors:
        raise errors[0]


class Ledger:
    """What the threads saw succeed, per id."""

    def __init__(self):
        self.lock = threading.Lock()
        self.inserted = collections.Counter()
        self.removed = collections.Counter()
        self.events = []

    def count(self, counter, vector_id):
        with self.lock:
            counter[vector_id] += 1


def drain_into(ledger, corpus):
    ledger.events.extend(corpus.pending_events())


@pytest.mark.parametrize("policy", [CompressionPolicy.COMPRESS, CompressionPolicy.FP16], ids=str)
def test_mixed_workload_stays_consistent(policy):
    dimension = 48
    corpus = make(policy, dimension)
    ledger = Ledger()
    stop = threading.Event()
    rounds = 400
    inserters = 3
    running = [inserters]

    def inserter(worker):
        def run():
            try:
                insert_some(random.Random(worker))
            finally:
                with ledger.lock:
                    running[0] -= 1
                    if running[0] == 0:
                        stop.set()
        return run

    def insert_some(rng):
        for n in range(rounds):
            # Ids collide across workers on purpose: at most one insert of
            # a present id may succeed.
            vector_id = f"id{rng.randrange(rounds)}"
            try:
                entry = corpus.insert(vector_id, vector_for(vector_id, dimension))
            except DuplicateVectorError:
                continue
            except ValueError as error:
                assert str(error) == ENTRY_MISSING
            else:
                assert type(entry) is VectorEntry and entry.vector_id == vector_id
            ledger.count(ledger.inserted, vector_id)

    def remover():
        rng = random.Random(99)
        while not stop.is_set():
            vector_id = f"id{rng.randrange(rounds)}"
            try:
                assert corpus.remove(vector_id) is None
            except KeyError as error:
                assert error.args == (vector_id,)
            else:
                ledger.count(ledger.removed, vector_id)

    def reader():
        while not stop.is_set():
            ids = corpus.vector_ids
            assert corpus.vector_count >= 0
            for vector_id in list(ids)[:5]:
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
            corpus.contains("id0")

    def drainer():
        while not stop.is_set():
            drain_into(ledger, corpus)

    run_threads([*(inserter(w) for w in range(inserters)), remover, reader, drainer])
    drain_into(ledger, corpus)

    # Each id is present exactly when its successful inserts outnumber its removals.
    present = {i for i in ledger.inserted if ledger.inserted[i] - ledger.removed[i] == 1}
    assert all(0 <= ledger.inserted[i] - ledger.removed[i] <= 1 for i in ledger.inserted)
    assert corpus.vector_ids == present and corpus.vector_count == len(present)
    for vector_id in present:
        assert corpus.get(vector_id).vector_id == vector_id

    # Every successful insert left exactly one VectorsInserted, across all drains.
    assert isinstance(ledger.events[0], CorpusCreated)
    assert sum(isinstance(e, CorpusCreated) for e in ledger.events) == 1
    inserted_events = [e for e in ledger.events if isinstance(e, VectorsInserted)]
    assert all(e.count == 1 and len(e.vector_ids) == 1 for e in inserted_events)
    assert collections.Counter(e.vector_ids[0] for e in inserted_events) == ledger.inserted
    assert all(isinstance(e, (CorpusCreated, VectorsInserted, CorpusDecompressed))
               for e in ledger.events)


@pytest.mark.parametrize("policy", [CompressionPolicy.COMPRESS, CompressionPolicy.PASSTHROUGH],
                         ids=str)
def test_insert_racing_a_remover_of_the_same_id(policy):
    """A remover that takes the id whenever it is present sometimes runs
    between the two halves of an insert, whose read-back then finds nothing;
    the insert itself stands (its event is recorded)."""
    dimension = 32
    corpus = make(policy, dimension)
    corpus.pending_events()
    vector = vector_for("r", dimension)
    outcomes = collections.Counter()
    removals = [0]
    stop = threading.Event()
    remover_running = threading.Event()

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
    assert len(events) == inserts
    assert all(e.vector_ids == ["r"] for e in events)
