"""Eight threads mixing every operation on one Corpus and one BruteForceBackend.

Each thread owns its ids (never reused), so what it reads back of its own ids
is known exactly; searches and decompress_all see everyone's ids and are
checked against what any serial order could give: exact scores and values
from a plain NumPy reference, result order, and completeness over ids that
are present throughout. Afterwards the final state must equal the serial
model, and the drained event sequence must be serialisable: each
CorpusDecompressed(vector_count=n) must equal the live count at a point of
the event order that the threads' own operation orders allow.
"""

import os
import random
import threading
import time
import zlib

import numpy as np
import pytest

from marrowfin_rs import _core

SECONDS = float(os.environ.get("MARROWFIN_STRESS_SECONDS", "15"))
THREADS = 8
DIM = 16
TOP_K = 12
FP16 = _core.CompressionPolicy.FP16


def vector_for(vector_id):
    rng = np.random.default_rng(zlib.crc32(vector_id.encode()))
    return rng.standard_normal(DIM).astype(np.float32)


def stored_for(vector_id):
    """What the FP16 corpus gives back for the id's vector."""
    return vector_for(vector_id).astype(np.float16).astype(np.float32)


def sequential_sum(values):
    return np.add.accumulate(values, dtype=np.float32)[-1]


def cosine(query, vector):
    """The sequential float32 definition: products rounded, summed in order."""
    dot, na, nb = (sequential_sum(x) for x in (query * vector, query * query, vector * vector))
    denom = np.sqrt(np.float32(na * nb))
    return np.float32(0.0) if denom == 0 else np.float32(dot / denom)


def ranks_before(a, b):
    """Result order: higher score first, equal scores by id bytes."""
    return a[1] > b[1] or (a[1] == b[1] and a[0].encode() < b[0].encode())


class Run:
    def __init__(self):
        self.corpus = _core.Corpus("stress", _core.CodecConfig(4, 1, DIM), _core.Codebook(
            np.linspace(-2, 2, 16).astype(np.float32), 4), FP16)
        self.backend = _core.BruteForceBackend()
        self.permanent = [f"p{i}" for i in range(60)]
        self.backend.ingest({i: vector_for(i) for i in self.permanent})
        self.events, self.events_lock = [], threading.Lock()
        self.failures = []
        self.searches = self.decompress_alls = 0
        # Per thread: its own corpus operations in program order, as
        # ("insert", id) / ("remove", id), and its live ids at the end.
        self.history = [[] for _ in range(THREADS)]
        self.corpus_live = [set() for _ in range(THREADS)]
        self.backend_live = [set() for _ in range(THREADS)]

    def drain(self):
        with self.events_lock:
            self.events.extend(self.corpus.pending_events())

    def check_search(self, rng):
        query = rng.standard_normal(DIM).astype(np.float32)
        results = [(r.vector_id, r.score) for r in self.backend.search(query, TOP_K)]
        assert len(results) == TOP_K
        for (vector_id, score), following in zip(results, results[1:] + [None]):
            assert np.float32(score).tobytes() == cosine(query, vector_for(vector_id)).tobytes(), vector_id
            assert following is None or ranks_before((vector_id, score), following)
        found = {vector_id for vector_id, _ in results}
        for vector_id in self.permanent:
            if vector_id not in found:
                assert ranks_before(results[-1], (vector_id, float(cosine(query, vector_for(vector_id)))))
        self.searches += 1

    def check_decompress_all(self):
        result = self.corpus.decompress_all()
        assert list(result) == sorted(result, key=str.encode)
        for vector_id, values in result.items():
            assert values.tobytes() == stored_for(vector_id).tobytes(), vector_id
        self.decompress_alls += 1

    def worker(self, t, deadline):
        rng, nprng = random.Random(t), np.random.default_rng(t)
        corpus_live, backend_live, history = self.corpus_live[t], self.backend_live[t], self.history[t]
        serial = 0
        try:
            while time.monotonic() < deadline:
                op = rng.random()
                if op < 0.22:
                    serial += 1
                    vector_id = f"c{t}-{serial}"
                    entry = self.corpus.insert(vector_id, vector_for(vector_id))
                    assert entry.vector_id == vector_id
                    corpus_live.add(vector_id)
                    history.append(("insert", vector_id))
                elif op < 0.32 and corpus_live:
                    vector_id = rng.choice(sorted(corpus_live))
                    self.corpus.remove(vector_id)
                    corpus_live.discard(vector_id)
                    history.append(("remove", vector_id))
                elif op < 0.42 and serial:
                    vector_id = f"c{t}-{rng.randint(1, serial)}"
                    assert self.corpus.contains(vector_id) == (vector_id in corpus_live)
                    if vector_id in corpus_live:
                        assert self.corpus.get(vector_id).vector_id == vector_id
                        assert self.corpus.decompress(vector_id).tobytes() == stored_for(vector_id).tobytes()
                    else:
                        with pytest.raises(KeyError):
                            self.corpus.get(vector_id)
                elif op < 0.44:
                    self.check_decompress_all()
                elif op < 0.47:
                    self.drain()
                elif op < 0.65:
                    serial += 1
                    ids = [f"b{t}-{serial}-{j}" for j in range(rng.randint(1, 5))]
                    self.backend.ingest({i: vector_for(i) for i in ids})
                    backend_live.update(ids)
                elif op < 0.75 and backend_live:
                    doomed = rng.sample(sorted(backend_live), min(len(backend_live), rng.randint(1, 4)))
                    self.backend.remove(doomed)
                    backend_live.difference_update(doomed)
                else:
                    self.check_search(nprng)
                # Keep both stores small enough that scans stay quick.
                if len(corpus_live) > 150:
                    for vector_id in sorted(corpus_live)[:50]:
                        self.corpus.remove(vector_id)
                        corpus_live.discard(vector_id)
                        history.append(("remove", vector_id))
                if len(backend_live) > 300:
                    doomed = sorted(backend_live)[:150]
                    self.backend.remove(doomed)
                    backend_live.difference_update(doomed)
        except BaseException as error:  # reported by the test, with the thread's number
            self.failures.append((t, repr(error)))
            raise


@pytest.fixture(scope="module")
def run():
    state = Run()
    deadline = time.monotonic() + SECONDS
    threads = [threading.Thread(target=state.worker, args=(t, deadline)) for t in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    state.drain()
    return state


def test_every_result_matches_the_serial_reference_and_the_final_state_is_the_model(run):
    assert run.failures == []
    assert run.searches > 100 and run.decompress_alls > 10
    expected_corpus = set().union(*run.corpus_live)
    assert run.corpus.vector_ids == frozenset(expected_corpus)
    final = run.corpus.decompress_all()
    assert set(final) == expected_corpus
    assert all(final[i].tobytes() == stored_for(i).tobytes() for i in final)
    expected_backend = set(run.permanent).union(*run.backend_live)
    assert run.backend.count == len(expected_backend)
    query = np.ones(DIM, np.float32)
    results = run.backend.search(query, len(expected_backend))
    assert {r.vector_id for r in results} == expected_backend
    assert all(np.float32(r.score).tobytes() == cosine(query, vector_for(r.vector_id)).tobytes() for r in results)


def test_inserted_events_match_the_successful_inserts(run):
    inserted = [e.vector_ids[0] for e in run.events if isinstance(e, _core.VectorsInserted)]
    assert isinstance(run.events[0], _core.CorpusCreated)
    assert sorted(inserted) == sorted(i for h in run.history for op, i in h if op == "insert")
    assert len(inserted) == len(set(inserted))


def test_decompressed_events_are_serialisable(run):
    position = {}  # id -> index of its VectorsInserted in the event order
    for index, event in enumerate(run.events):
        if isinstance(event, _core.VectorsInserted):
            position[event.vector_ids[0]] = index
    # A remove lies between its thread's neighbouring operations. Bound, per
    # remove, the event positions it may take: after the insert events of its
    # thread that precede it, before those that follow it.
    removes = []
    for history in run.history:
        inserts_so_far = [position[i] for op, i in history if op == "insert"]
        seen = 0
        for op, vector_id in history:
            if op == "insert":
                seen += 1
                continue
            before = inserts_so_far[:seen]
            after = inserts_so_far[seen:]
            removes.append((max(before, default=-1), min(after, default=len(run.events))))
    inserted = 0
    for index, event in enumerate(run.events):
        if isinstance(event, _core.VectorsInserted):
            inserted += 1
        elif isinstance(event, _core.CorpusDecompressed):
            surely_removed = sum(1 for low, high in removes if high < index)
            maybe_removed = sum(1 for low, high in removes if low < index)
            assert inserted - maybe_removed <= event.vector_count <= inserted - surely_removed, (
                index, event.vector_count, inserted, surely_removed, maybe_removed)
