"""`BruteForceBackend` and `SearchBackend`: argument conversion and errors,
the backend's state rules (dimension, replacement, removal, clearing),
bit-exact scores and result order against a float32 reference of the
sequential cosine definition, concurrent use from several threads, and the
poisoned-lock path."""

import inspect
import math
import os
import struct
import sys
import threading
from collections import OrderedDict

import numpy as np
import pytest

from marrowfin_rs._core import BruteForceBackend, SearchBackend, SearchResult

SEARCH_BACKEND_DOC = (
    "Runtime placeholder for the `SearchBackend` protocol.\n\n"
    "Python's `typing.Protocol` is a structural type that carries no runtime\n"
    "behavior; instantiation raises to preserve API parity with the reference\n"
    "implementation where `SearchBackend()` is not meaningful either."
)
NOT_CONTIGUOUS = "numpy slice unavailable: The given array is not contiguous"


def vec(*values):
    return np.array(values, dtype=np.float32)


def pairs(results):
    return [(r.vector_id, r.score) for r in results]


def bits(score):
    return struct.pack("<f", score)


# ---- float32 reference ----------------------------------------------------------


def reference_scores(stored, query):
    """Cosine of the query against each row of `stored`, in float32 exactly as
    the sequential definition forms it: each product rounded to float32, each
    of the three sums one running float32 total in index order. Vectorised
    across rows only, which keeps every row's own order of operations."""
    stored = np.asarray(stored, dtype=np.float32).reshape(len(stored), len(query))
    query = np.asarray(query, dtype=np.float32)
    rows = stored.shape[0]
    dot = np.zeros(rows, np.float32)
    na = np.float32(0.0)
    nb = np.zeros(rows, np.float32)
    with np.errstate(all="ignore"):
        for i in range(len(query)):
            dot = dot + stored[:, i] * query[i]
            na = np.float32(na + query[i] * query[i])
            nb = nb + stored[:, i] * stored[:, i]
        denom = np.sqrt(np.float32(na) * nb)
        scores = np.where(denom == 0, np.float32(0.0), dot / np.where(denom == 0, 1, denom))
    scores = scores.astype(np.float32)
    scores[np.isnan(stored).any(axis=1)] = 0.0
    if np.isnan(query).any():
        scores[:] = 0.0
    return [float(s) for s in scores]


def reference_search(ids, stored, query, top_k):
    """The expected (id, score) list, for score lists without NaN."""
    scores = reference_scores(stored, query)
    assert not any(math.isnan(s) for s in scores)
    ranked = sorted(zip(ids, scores), key=lambda p: (-p[1], p[0].encode()))
    return ranked[:top_k]


def ranks_before(a, b):
    """The result order: higher score first; equal or NaN scores by id bytes."""
    if a.score > b.score or b.score > a.score:
        return a.score > b.score
    return a.vector_id.encode() < b.vector_id.encode()


def assert_same_results(got, expected):
    assert [r.vector_id for r in got] == [i for i, _ in expected]
    assert [bits(r.score) for r in got] == [bits(s) for _, s in expected]


# ---- SearchBackend ----------------------------------------------------------------


def test_search_backend_refuses_to_be_instantiated():
    assert SearchBackend.__doc__ == SEARCH_BACKEND_DOC
    with pytest.raises(ValueError) as caught:
        SearchBackend()
    assert type(caught.value) is ValueError
    assert str(caught.value) == ("SearchBackend is a structural protocol; instantiate a concrete "
                                 "backend like BruteForceBackend instead")


@pytest.mark.parametrize("args, kwargs", [((1,), {}), ((), {"x": 1}), ((None, None), {})])
def test_search_backend_refuses_arguments_at_binding(args, kwargs):
    with pytest.raises(TypeError):
        SearchBackend(*args, **kwargs)


# ---- the class surface ------------------------------------------------------------------


def test_docstrings_and_signatures():
    assert BruteForceBackend.__doc__ == "Reference search backend: exhaustive cosine similarity."
    assert str(inspect.signature(BruteForceBackend)) == "()"
    assert BruteForceBackend.ingest.__doc__ == "Ingest a mapping of `vector_id -> 1-D f32 array`."
    expected = {"ingest": "($self, vectors)", "search": "($self, query, top_k)",
                "remove": "($self, vector_ids)", "clear": "($self)"}
    for name, signature in expected.items():
        assert getattr(BruteForceBackend, name).__text_signature__ == signature
    for name in ("search", "remove", "clear"):
        assert not getattr(BruteForceBackend, name).__doc__


# ---- edge cases of the backend's behaviour -------------------------------------


def test_new_backend_is_empty():
    backend = BruteForceBackend()
    assert backend.count == 0
    assert backend.search(vec(1, 2, 3), 1) == []
    assert backend.search(vec(), 10) == []
    with pytest.raises(ValueError, match=r"^top_k must be > 0$"):
        backend.search(vec(1), 0)


def test_basic_search_orders_by_score():
    backend = BruteForceBackend()
    assert backend.ingest({"a": vec(1, 0), "b": vec(0, 1)}) is None
    results = backend.search(vec(1, 0), 5)
    assert all(type(r) is SearchResult for r in results)
    assert pairs(results) == [("a", 1.0), ("b", 0.0)]


@pytest.mark.parametrize(
    "ids, expected",
    [
        (["b", "a"], ["a", "b"]),
        (["ab", "a"], ["a", "ab"]),
        (["é", "z", "Z"], ["Z", "z", "é"]),
        (["\uffff", "\U00010000", "\u00ff"], ["\u00ff", "\uffff", "\U00010000"]),
    ],
)
def test_equal_scores_are_ordered_by_id_bytes(ids, expected):
    backend = BruteForceBackend()
    backend.ingest({i: vec(1, 1) for i in ids})
    assert [r.vector_id for r in backend.search(vec(2, 2), 10)] == expected


def test_dimension_mismatch_mid_batch_keeps_the_earlier_pairs():
    backend = BruteForceBackend()
    with pytest.raises(RuntimeError) as caught:
        backend.ingest({"first": vec(1, 2), "second": vec(1, 2, 3), "third": vec(3, 4)})
    assert type(caught.value) is RuntimeError
    assert str(caught.value) == "adapter error: dimension mismatch: expected 2, got 3"
    assert backend.count == 1
    assert [r.vector_id for r in backend.search(vec(1, 1), 5)] == ["first"]


def test_ingest_replaces_an_existing_id():
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1, 0), "b": vec(0, 1)})
    backend.ingest({"a": vec(0, 1)})
    assert backend.count == 2
    assert pairs(backend.search(vec(0, 1), 5)) == [("a", 1.0), ("b", 1.0)]


def test_dimension_survives_removal_but_not_clear():
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1, 2, 3), "b": vec(4, 5, 6)})
    backend.remove(["a", "b"])
    assert backend.count == 0
    assert backend.search(vec(1), 3) == []  # empty store: no dimension check
    with pytest.raises(RuntimeError, match=r"^adapter error: dimension mismatch: expected 3, got 2$"):
        backend.ingest({"c": vec(1, 2)})
    backend.clear()
    backend.ingest({"c": vec(1, 2)})
    assert backend.count == 1
    with pytest.raises(RuntimeError, match=r"^adapter error: dimension mismatch: expected 2, got 3$"):
        backend.search(vec(1, 2, 3), 1)


def test_zero_and_nan_vectors_score_zero_and_sort_by_id():
    backend = BruteForceBackend()
    backend.ingest({"z": vec(0, 0), "n": vec(math.nan, 1), "a": vec(-1, 0), "p": vec(1, 0),
                    "m": vec(0, 1)})
    assert pairs(backend.search(vec(1, 0), 10)) == [
        ("p", 1.0), ("m", 0.0), ("n", 0.0), ("z", 0.0), ("a", -1.0)]
    assert pairs(backend.search(vec(0, 0), 10)) == [(i, 0.0) for i in "amnpz"]
    assert pairs(backend.search(vec(math.nan, 0), 10)) == [(i, 0.0) for i in "amnpz"]


def test_top_k_larger_than_count_returns_everything():
    backend = BruteForceBackend()
    backend.ingest({f"v{i}": vec(i, 1) for i in range(5)})
    assert len(backend.search(vec(1, 0), 2**64 - 1)) == 5
    assert len(backend.search(vec(1, 0), True)) == 1
    assert len(backend.search(vec(1, 0), np.uint64(3))) == 3


def test_zero_dimension_is_a_dimension():
    backend = BruteForceBackend()
    backend.ingest({"b": vec(), "a": vec()})
    assert pairs(backend.search(vec(), 5)) == [("a", 0.0), ("b", 0.0)]
    with pytest.raises(RuntimeError, match=r"expected 0, got 1$"):
        backend.ingest({"c": vec(1)})


# ---- argument conversion --------------------------------------------------------------------


@pytest.mark.parametrize(
    "vectors, error, message",
    [
        ([("a", vec(1))], TypeError, "argument 'vectors': 'list' object cannot be converted to 'PyDict'"),
        (None, TypeError, "argument 'vectors': 'NoneType' object cannot be converted to 'PyDict'"),
        ({"a": vec(1), 2: vec(1)}, TypeError, "'int' object cannot be converted to 'PyString'"),
        ({"a": vec(1), b"b": vec(1)}, TypeError, "'bytes' object cannot be converted to 'PyString'"),
        ({"a": vec(1), "b": [1.0]}, TypeError, "'list' object cannot be converted to 'PyArray<T, D>'"),
        ({"a": vec(1), "b": np.zeros(1)}, TypeError, "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"a": vec(1), "b": np.zeros((1, 1), np.float32)}, TypeError,
         "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"a": vec(1), "b": np.zeros(1, ">f4")}, TypeError,
         "'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        ({"a": vec(1, 2), "b": np.zeros(4, np.float32)[::2]}, ValueError, NOT_CONTIGUOUS),
        ({"a": vec(1), "\ud800": vec(1)}, UnicodeEncodeError, None),
    ],
)
def test_ingest_conversion_errors_store_nothing(vectors, error, message):
    backend = BruteForceBackend()
    with pytest.raises(error) as caught:
        backend.ingest(vectors)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    assert backend.count == 0
    # Nothing fixed the dimension either.
    backend.ingest({"c": vec(1, 2, 3)})
    assert backend.count == 1


def test_ingest_accepts_dict_subclasses_read_only_arrays_and_empty_dicts():
    backend = BruteForceBackend()
    assert backend.ingest({}) is None
    frozen = vec(3, 4)
    frozen.flags.writeable = False
    backend.ingest(OrderedDict([("b", frozen), ("a", vec(4, 3))]))
    single = np.zeros(6, np.float32)[::3][:1]  # one element: any stride is contiguous
    backend.clear()
    backend.ingest({"s": single})
    assert backend.count == 1


def test_ingest_copies_the_arrays():
    backend = BruteForceBackend()
    source = vec(1, 0)
    backend.ingest({"a": source})
    source[:] = (0, 1)
    assert pairs(backend.search(vec(1, 0), 1)) == [("a", 1.0)]


def test_ingest_reads_arrays_at_an_unaligned_address():
    raw = np.zeros(4 * 4 + 1, np.uint8)
    unaligned = raw[1:].view(np.float32)
    unaligned[:] = (1, 2, 3, 4)
    backend = BruteForceBackend()
    backend.ingest({"u": unaligned})
    assert_same_results(backend.search(vec(1, 1, 1, 1), 1),
                        reference_search(["u"], [[1, 2, 3, 4]], [1, 1, 1, 1], 1))


@pytest.mark.parametrize(
    "query, top_k, error, message",
    [
        (vec(1, 0), 0, ValueError, "top_k must be > 0"),
        (vec(1, 0), -1, OverflowError, None),
        (vec(1, 0), 2**64, OverflowError, None),
        (vec(1, 0), 1.5, TypeError, "argument 'top_k': 'float' object cannot be interpreted as an integer"),
        (vec(1, 0), "1", TypeError, None),
        ([1.0, 0.0], 1, TypeError, "argument 'query': 'list' object cannot be converted to 'PyArray<T, D>'"),
        (np.zeros(2), 1, TypeError, "argument 'query': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
        (np.zeros(4, np.float32)[::2], 1, ValueError, NOT_CONTIGUOUS),
        (np.zeros(4, np.float32)[::2], 0, ValueError, NOT_CONTIGUOUS),
        (vec(1, 0, 0), 1, RuntimeError, "adapter error: dimension mismatch: expected 2, got 3"),
    ],
)
def test_search_errors(query, top_k, error, message):
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1, 0)})
    with pytest.raises(error) as caught:
        backend.search(query, top_k)
    assert type(caught.value) is error
    if message is not None:
        assert str(caught.value) == message
    if error is TypeError and message is None:
        assert str(caught.value).startswith("argument 'top_k': ")


@pytest.mark.parametrize(
    "vector_ids, message",
    [
        ("a", "argument 'vector_ids': Can't extract `str` to `Vec`"),
        ({"a"}, "argument 'vector_ids': 'set' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "argument 'vector_ids': 'dict' object cannot be converted to 'Sequence'"),
        (None, "argument 'vector_ids': 'NoneType' object cannot be converted to 'Sequence'"),
        (["a", 1], "argument 'vector_ids': 'int' object cannot be converted to 'PyString'"),
        (["a", b"b"], "argument 'vector_ids': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_remove_conversion_errors_remove_nothing(vector_ids, message):
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1), "b": vec(2)})
    with pytest.raises(TypeError) as caught:
        backend.remove(vector_ids)
    assert str(caught.value) == message
    assert backend.count == 2


@pytest.mark.parametrize("container", [list, tuple])
def test_remove_takes_sequences_and_ignores_unknown_ids(container):
    backend = BruteForceBackend()
    backend.ingest({"a": vec(1), "b": vec(2), "c": vec(3)})
    assert backend.remove(container(["zz"])) is None
    assert backend.count == 3
    backend.remove(container(["c", "a", "a", "nope"]))
    assert backend.count == 1
    assert [r.vector_id for r in backend.search(vec(1), 5)] == ["b"]


def test_clear_on_empty_backend():
    backend = BruteForceBackend()
    assert backend.clear() is None
    assert backend.count == 0


# ---- bit-exact results against the reference -----------------------------------------------


def special_rows(rng, rows, dim):
    data = rng.standard_normal((rows, dim)).astype(np.float32)
    for r in range(rows):
        kind = rng.integers(0, 12)
        if kind == 0:
            data[r] = 0.0
        elif kind == 1:
            data[r, rng.integers(0, dim)] = np.nan
        elif kind == 2:
            data[r] = data[rng.integers(0, rows)]  # a tie with another row
        elif kind == 3:
            data[r] *= np.float32(1e-25)  # sums of squares underflow
        elif kind == 4:
            data[r] = np.float32(2.0**-140) * np.sign(data[r])  # subnormal elements
        elif kind == 5:
            data[r] = -data[r]
        elif kind == 6:
            data[r] = np.round(data[r])  # small integers: exact cosines like 1 and 0
    return data


@pytest.mark.parametrize("seed", range(12))
def test_scores_and_order_match_the_sequential_float32_reference(seed):
    rng = np.random.default_rng(seed)
    dim = int(rng.integers(1, 40))
    rows = int(rng.integers(1, 150))
    data = special_rows(rng, rows, dim)
    ids = [f"id{rng.integers(0, 10**6)}-{r}" for r in range(rows)]
    backend = BruteForceBackend()
    backend.ingest(dict(zip(ids, data)))
    for query in (rng.standard_normal(dim).astype(np.float32), data[rng.integers(0, rows)].copy(),
                  np.zeros(dim, np.float32), np.round(rng.standard_normal(dim)).astype(np.float32)):
        for top_k in (1, 3, rows, rows + 5):
            assert_same_results(backend.search(query, top_k),
                                reference_search(ids, data, query, top_k))


def test_results_after_replacement_and_removal_match_the_reference():
    rng = np.random.default_rng(99)
    dim, rows = 7, 300
    backend = BruteForceBackend()
    live = {}
    for step in range(6):
        batch = {f"k{int(i)}": rng.standard_normal(dim).astype(np.float32)
                 for i in rng.integers(0, 400, 80)}
        backend.ingest(batch)
        live.update(batch)
        gone = [f"k{int(i)}" for i in rng.integers(0, 400, 60)]
        backend.remove(gone)
        for key in gone:
            live.pop(key, None)
        assert backend.count == len(live)
        query = rng.standard_normal(dim).astype(np.float32)
        ids = list(live)
        assert_same_results(backend.search(query, rows),
                            reference_search(ids, [live[i] for i in ids], query, rows))


def test_overflowing_and_infinite_inputs_give_the_reference_scores():
    # Sums of squares overflow to inf (inf / inf = NaN, finite / inf = 0) and
    # infinite elements give NaN or +-0: compare the scores of every id. With
    # NaN scores the ranking rule is no consistent order, so the exact
    # placement depends on the sort; only its local guarantee is checked.
    rng = np.random.default_rng(7)
    dim = 6
    data = rng.standard_normal((40, dim)).astype(np.float32)
    data[:10] *= np.float32(1e20)
    data[10:15, 2] = np.inf
    data[15:18, 0] = -np.inf
    ids = [f"r{i:02d}" for i in range(len(data))]
    backend = BruteForceBackend()
    backend.ingest(dict(zip(ids, data)))
    for query in (rng.standard_normal(dim).astype(np.float32),
                  rng.standard_normal(dim).astype(np.float32) * np.float32(1e20),
                  np.array([np.inf, 1, 0, 0, 0, 0], np.float32)):
        got = backend.search(query, 100)
        expected = dict(zip(ids, reference_scores(data, query)))
        assert sorted(r.vector_id for r in got) == ids
        for r in got:
            want = expected[r.vector_id]
            assert bits(r.score) == bits(want) or (math.isnan(r.score) and math.isnan(want))
        # What any stable sort under the tie-on-NaN rule guarantees: no result
        # ranks strictly before the one it follows.
        for before, after in zip(got, got[1:]):
            assert not ranks_before(after, before)
        first = backend.search(query, 7)
        assert [(r.vector_id, bits(r.score)) for r in first] == [
            (r.vector_id, bits(r.score)) for r in got[:7]]


def test_large_store_with_many_ties_matches_the_reference():
    rng = np.random.default_rng(3)
    # Over two million floats: the scan is split between threads.
    dim, rows = 24, 100000
    data = rng.standard_normal((rows, dim)).astype(np.float32)
    data[::97] = data[5]  # many exact ties
    ids = [f"v{i}" for i in range(rows)]
    backend = BruteForceBackend()
    backend.ingest(dict(zip(ids, data)))
    query = data[5].copy()
    first = pairs(backend.search(query, 500))
    assert first == pairs(backend.search(query, 500))
    assert_same_results(backend.search(query, 500), reference_search(ids, data, query, 500))


# ---- concurrency ------------------------------------------------------------------------------


def run_threads(workers):
    errors = []

    def guard(fn):
        def run():
            try:
                fn()
            except BaseException as error:  # noqa: BLE001 - reported below
                errors.append(error)
        return run

    threads = [threading.Thread(target=guard(fn)) for fn in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def assert_sane(results, top_k):
    assert len(results) <= top_k
    assert all(type(r) is SearchResult for r in results)
    keys = [(-r.score, r.vector_id.encode()) for r in results]
    assert keys == sorted(keys)


def test_concurrent_ingest_search_remove_keep_the_state_consistent():
    dim = 16
    backend = BruteForceBackend()
    expected = {}
    lock = threading.Lock()

    def worker(k):
        rng = np.random.default_rng(100 + k)
        mine = {}
        for round_ in range(30):
            batch = {f"t{k}-{int(i)}": rng.standard_normal(dim).astype(np.float32)
                     for i in rng.integers(0, 500, 200)}
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
    assert backend.count == len(expected)
    ids = list(expected)
    query = np.ones(dim, np.float32)
    assert_same_results(backend.search(query, len(ids)),
                        reference_search(ids, [expected[i] for i in ids], query, len(ids)))


def test_concurrent_clear_never_corrupts():
    backend = BruteForceBackend()
    stop = threading.Event()

    def writer(k):
        rng = np.random.default_rng(k)
        for _ in range(60):
            backend.ingest({f"w{k}-{i}": rng.standard_normal(8).astype(np.float32) for i in range(300)})
            backend.remove([f"w{k}-{i}" for i in range(0, 300, 3)])

    def reader():
        rng = np.random.default_rng(50)
        while not stop.is_set():
            assert_sane(backend.search(rng.standard_normal(8).astype(np.float32), 10), 10)
            assert backend.count >= 0

    def clearer():
        for _ in range(40):
            backend.clear()

    readers = [threading.Thread(target=reader) for _ in range(2)]
    for t in readers:
        t.start()
    try:
        run_threads([lambda: writer(1), lambda: writer(2), clearer])
    finally:
        stop.set()
        for t in readers:
            t.join()
    backend.clear()
    assert backend.count == 0 and backend.search(np.ones(3, np.float32), 5) == []


# ---- a poisoned lock -------------------------------------------------------------------------

POISON_SCRIPT = """
import resource
import numpy as np
from marrowfin_rs._core import BruteForceBackend

backend = BruteForceBackend()
vector = np.ones(1 << 24, np.float32)  # 64 MiB; the store wants a 1 GiB block for it
with open("/proc/self/status") as status:
    used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (used + (512 << 20), resource.RLIM_INFINITY))

def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as error:
        return f"{type(error).__name__}: {error}"

print(outcome(lambda: backend.ingest({"big": vector})))
print(outcome(lambda: backend.count))
print(outcome(lambda: backend.remove(["big"])))
print(outcome(lambda: backend.clear()))
print(outcome(lambda: backend.search(np.ones(2, np.float32), 1)))
print(outcome(lambda: backend.ingest({})))
print(outcome(lambda: BruteForceBackend().count))
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
