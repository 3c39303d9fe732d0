"""`BruteForceBackend` and `SearchBackend`: argument conversion and the error
mapping, bit-exact scores and result order against a float32 reference of the
sequential cosine definition, concurrent use from several threads, and the
poisoned-lock path."""

import math
import os
import struct
import sys
import threading
from collections import OrderedDict

import numpy as np
import pytest

from codec_reference import NOT_CONTIGUOUS, expect_error, other_threads_ran_during, run_threads
from marrowfin_rs._core import BruteForceBackend, SearchBackend, SearchResult


def vec(*values):
    return np.array(values, dtype=np.float32)


def pairs(results):
    return [(r.vector_id, r.score) for r in results]


def bits(score):
    return struct.pack("<f", score)


def reference_scores(stored, query):
    """Cosine of the query against each row, in float32: each product rounded,
    each of the three sums one running total in index order (vectorised across
    rows only, which keeps every row's own order of operations)."""
    stored = np.asarray(stored, dtype=np.float32).reshape(len(stored), len(query))
    query = np.asarray(query, dtype=np.float32)
    dot, na, nb = np.zeros(len(stored), np.float32), np.float32(0.0), np.zeros(len(stored), np.float32)
    with np.errstate(all="ignore"):
        for i in range(len(query)):
            dot = dot + stored[:, i] * query[i]
            na = np.float32(na + query[i] * query[i])
            nb = nb + stored[:, i] * stored[:, i]
        denom = np.sqrt(na * nb)
        scores = np.where(denom == 0, np.float32(0.0), dot / np.where(denom == 0, 1, denom)).astype(np.float32)
    scores[np.isnan(stored).any(axis=1)] = 0.0
    if np.isnan(query).any():
        scores[:] = 0.0
    return [float(s) for s in scores]


def reference_search(ids, stored, query, top_k):
    """The expected (id, score) list, for score lists without NaN."""
    scores = reference_scores(stored, query)
    assert not any(math.isnan(s) for s in scores)
    return sorted(zip(ids, scores), key=lambda p: (-p[1], p[0].encode()))[:top_k]


def assert_same_results(got, expected):
    assert all(type(r) is SearchResult for r in got)
    assert [(r.vector_id, bits(r.score)) for r in got] == [(i, bits(s)) for i, s in expected]


def test_search_backend_refuses_to_be_instantiated():
    expect_error(ValueError, "SearchBackend is a structural protocol; instantiate a concrete backend like "
                             "BruteForceBackend instead", SearchBackend)
    expect_error(TypeError, None, SearchBackend, None)


# ---- behaviour seen through the binding ---------------------------------------


def test_empty_backend_and_the_dimension_rules():
    backend = BruteForceBackend()
    assert (backend.count, backend.search(vec(1, 2, 3), 1), backend.ingest({}), backend.clear()) == (0, [], None, None)
    expect_error(ValueError, "top_k must be > 0", backend.search, vec(1), 0)
    expect_error(RuntimeError, "adapter error: dimension mismatch: expected 2, got 3",  # earlier pairs stay stored
                 backend.ingest, {"first": vec(1, 2), "second": vec(1, 2, 3), "third": vec(3, 4)})
    assert backend.count == 1 and pairs(backend.search(vec(1, 0), 5)) == [("first", pytest.approx(1 / 5**0.5))]
    backend.clear()  # forgets the dimension
    backend.ingest({"c": vec(1, 2, 3)})
    assert backend.count == 1


@pytest.mark.parametrize("ids, expected", [
    (["é", "z", "Z", "ab", "a"], ["Z", "a", "ab", "z", "é"]),
    (["\uffff", "\U00010000", "\u00ff"], ["\u00ff", "\uffff", "\U00010000"]),
])
def test_equal_scores_are_ordered_by_id_bytes(ids, expected):
    backend = BruteForceBackend()
    backend.ingest({i: vec(1, 1) for i in ids})
    assert [r.vector_id for r in backend.search(vec(2, 2), 10)] == expected


def test_accepted_argument_forms():
    backend = BruteForceBackend()
    source = vec(1, 0)
    backend.ingest(OrderedDict([("a", source)] + [(f"v{i}", vec(i, 1)) for i in range(4)]))
    source[:] = (0, 1)  # ingest copied it
    assert pairs(backend.search(vec(1, 0), True)) == [("a", 1.0)]
    assert len(backend.search(vec(1, 0), 2**64 - 1)) == 5
    assert len(backend.search(query=vec(1, 0), top_k=np.uint64(3))) == 3


# ---- argument conversion --------------------------------------------------------


@pytest.mark.parametrize("vectors, error, message", [
    ([("a", vec(1))], TypeError, "argument 'vectors': 'list' object cannot be converted to 'PyDict'"),
    ({"a": vec(1), 2: vec(1)}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ({"a": vec(1), "b": [1.0]}, TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
    ({"a": vec(1), "b": np.zeros(1)}, TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    ({"a": vec(1, 2), "b": np.zeros(4, np.float32)[::2]}, ValueError, NOT_CONTIGUOUS),
    ({"a": vec(1), "\ud800": vec(1)}, UnicodeEncodeError, None),
])
def test_ingest_conversion_errors_store_nothing(vectors, error, message):
    backend = BruteForceBackend()
    expect_error(error, message, backend.ingest, vectors)
    assert backend.count == 0
    backend.ingest({"c": vec(1, 2, 3)})  # nothing fixed the dimension either
    assert backend.count == 1


@pytest.mark.parametrize("query, top_k, error, message", [
    (vec(1, 0), -1, OverflowError, None),
    (vec(1, 0), 2**64, OverflowError, None),
    (vec(1, 0), 1.5, TypeError, "argument 'top_k': 'float' object cannot be interpreted as an integer"),
    (vec(1, 0), "1", TypeError, "argument 'top_k': 'str' object cannot be interpreted as an integer"),
    (np.zeros(4, np.float32)[::2], 0, ValueError, NOT_CONTIGUOUS),
    (vec(1, 0, 0), 1, RuntimeError, "adapter error: dimension mismatch: expected 2, got 3"),
])
def test_search_errors(query, top_k, error, message):
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1, 0)})
    expect_error(error, message, backend.search, query, top_k)


@pytest.mark.parametrize("vector_ids, message", [
    ("a", "Can't extract `str` to `Vec`"),
    ({"a"}, "'set' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
    (["a", 1], "'int' object cannot be converted to 'PyString'"),
    (["a", b"b"], "'bytes' object cannot be converted to 'PyString'"),
])
def test_remove_conversion_errors_remove_nothing(vector_ids, message):
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1), "b": vec(2)})
    expect_error(TypeError, "argument 'vector_ids': " + message, backend.remove, vector_ids)
    assert backend.count == 2


@pytest.mark.parametrize("container", [list, tuple])
def test_remove_takes_sequences_and_ignores_unknown_ids(container):
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1), "b": vec(2), "c": vec(3)})
    assert backend.remove(container(["zz"])) is None and backend.count == 3
    backend.remove(container(["c", "a", "a", "nope"]))
    assert [r.vector_id for r in backend.search(vec(1), 5)] == ["b"]


# ---- bit-exact results against the reference ------------------------------------


def special_rows(rng, rows, dim):
    """Random rows, some zero, with a NaN, tied with another row, tiny enough
    for the sums of squares to underflow, subnormal, or small integers."""
    data = rng.standard_normal((rows, dim)).astype(np.float32)
    kind = rng.integers(0, 12, rows)
    data[kind == 0] = 0.0
    data[np.flatnonzero(kind == 1), rng.integers(0, dim, np.count_nonzero(kind == 1))] = np.nan
    data[kind == 2] = data[rng.integers(0, rows, np.count_nonzero(kind == 2))]
    data[kind == 3] *= np.float32(1e-25)
    data[kind == 4] = np.float32(2.0**-140) * np.sign(data[kind == 4])
    data[kind == 5] = np.round(data[kind == 5])
    return data


@pytest.mark.parametrize("seed", range(6))
def test_scores_and_order_match_the_sequential_float32_reference(seed):
    rng = np.random.default_rng(seed)
    dim, rows = int(rng.integers(1, 40)), int(rng.integers(1, 150))
    data = special_rows(rng, rows, dim)
    ids = [f"id{rng.integers(0, 10**6)}-{r}" for r in range(rows)]
    backend = BruteForceBackend()
    backend.ingest(dict(zip(ids, data)))
    for query in (rng.standard_normal(dim).astype(np.float32), data[rng.integers(0, rows)].copy(),
                  np.zeros(dim, np.float32), np.round(rng.standard_normal(dim)).astype(np.float32)):
        for top_k in (1, 3, rows + 5):
            assert_same_results(backend.search(query, top_k), reference_search(ids, data, query, top_k))
    # After replacing and removing some of them.
    replaced = {ids[i]: rng.standard_normal(dim).astype(np.float32) for i in range(0, rows, 3)}
    backend.ingest(replaced)
    backend.remove(ids[1::3])
    live = {i: replaced.get(i, row) for i, row in zip(ids, data) if i not in set(ids[1::3])}
    query = rng.standard_normal(dim).astype(np.float32)
    assert_same_results(backend.search(query, rows), reference_search(list(live), list(live.values()), query, rows))


# ---- concurrency -------------------------------------------------------------------


def test_ingest_and_search_run_without_the_interpreter_lock():
    rows = np.random.default_rng(1).standard_normal((20000, 64)).astype(np.float32)
    backend = BruteForceBackend()
    assert other_threads_ran_during(lambda: backend.ingest({f"v{i}": row for i, row in enumerate(rows)}))
    assert other_threads_ran_during(lambda: backend.search(rows[0], 10), attempts=200)


def assert_sane(results, top_k):
    keys = [(-r.score, r.vector_id.encode()) for r in results]
    assert len(results) <= top_k and keys == sorted(keys)


def test_concurrent_ingest_search_remove_keep_the_state_consistent():
    dim, backend, expected, lock = 16, BruteForceBackend(), {}, threading.Lock()

    def worker(k):
        rng = np.random.default_rng(100 + k)
        mine = {}
        for _ in range(30):
            batch = {f"t{k}-{int(i)}": rng.standard_normal(dim).astype(np.float32) for i in rng.integers(0, 500, 200)}
            backend.ingest(batch)
            mine.update(batch)
            gone = [f"t{k}-{int(i)}" for i in rng.integers(0, 500, 50)]
            backend.remove(gone)
            for key in gone:
                mine.pop(key, None)
            assert_sane(backend.search(rng.standard_normal(dim).astype(np.float32), 25), 25)
            assert backend.count >= len(mine)
        with lock:
            expected.update(mine)

    run_threads([lambda k=k: worker(k) for k in range(4)])
    ids = list(expected)
    query = np.ones(dim, np.float32)
    assert backend.count == len(ids)
    assert_same_results(backend.search(query, len(ids)),
                        reference_search(ids, list(expected.values()), query, len(ids)))


def test_concurrent_clear_never_corrupts():
    backend, stop = BruteForceBackend(), threading.Event()

    def writer(k):
        rng = np.random.default_rng(k)
        for _ in range(60):
            backend.ingest({f"w{k}-{i}": rng.standard_normal(8).astype(np.float32) for i in range(300)})
            backend.remove([f"w{k}-{i}" for i in range(0, 300, 3)])

    def writers_then_stop():
        try:
            run_threads([lambda: writer(1), lambda: writer(2), lambda: [backend.clear() for _ in range(40)]])
        finally:
            stop.set()

    def reader():
        rng = np.random.default_rng(50)
        while not stop.is_set():
            assert_sane(backend.search(rng.standard_normal(8).astype(np.float32), 10), 10)

    run_threads([writers_then_stop, reader, reader])
    backend.clear()
    assert backend.count == 0 and backend.search(np.ones(3, np.float32), 5) == []


POISON_SCRIPT = """
import resource
import numpy as np
from marrowfin_rs._core import BruteForceBackend

backend = BruteForceBackend()
vector = np.ones(1 << 24, np.float32)  # 64 MiB: room for its copy, not for its storage too
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + (96 << 20), resource.RLIM_INFINITY))

def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as error:
        return f"{type(error).__name__}: {error}"

for call in (lambda: backend.ingest({"big": vector}), lambda: backend.count, lambda: backend.remove(["big"]),
             backend.clear, lambda: backend.search(np.ones(2, np.float32), 1), lambda: backend.ingest({}),
             lambda: BruteForceBackend().count):
    print(outcome(call))
"""


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="an address-space limit does not combine with AddressSanitizer")
@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs /proc and RLIMIT_AS")
def test_a_failure_inside_the_lock_poisons_the_backend(run_python):
    # An allocation failure inside the core ingest escapes while the mutex is
    # held: the state may be half-updated, so every later use is refused.
    lines = run_python(POISON_SCRIPT).splitlines()
    assert lines[0].startswith("PanicException: ")
    assert lines[1:4] == ["ValueError: backend mutex poisoned"] * 3
    assert lines[4].startswith("PanicException: backend mutex poisoned")
    assert lines[5].startswith("PanicException: backend mutex poisoned")
    assert lines[6] == "ok"
