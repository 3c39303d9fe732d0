"""Ids chosen to collide in an unkeyed hash table cost what ordinary ids cost.

The backend's id index once hashed ids with libstdc++'s std::hash (MurmurHash64A
with a fixed seed) and took the cell from a fixed multiply of it: both steps
invert, so ids that share one full 64-bit hash, and thus one cell at every
table size, can be computed. With them every lookup walked all stored ids.
"""

import time

import numpy as np
import pytest

from marrowfin_rs._core import BruteForceBackend

_MASK = (1 << 64) - 1
_MUL = (0xC6A4A793 << 32) + 0x5BD1E995  # MurmurHash64A's multiplier
_INV = pow(_MUL, -1, 1 << 64)
_SEED = 0xC70F6907  # std::hash<std::string_view>'s seed


def _old_hash(data: bytes) -> int:
    """libstdc++'s _Hash_bytes for 8-byte multiples, as std::hash<string_view> calls it."""
    h = _SEED ^ (len(data) * _MUL & _MASK)
    for i in range(0, len(data), 8):
        k = int.from_bytes(data[i : i + 8], "little") * _MUL & _MASK
        k = (k ^ (k >> 47)) * _MUL & _MASK
        h = (h ^ k) * _MUL & _MASK
    h = ((h ^ (h >> 47)) * _MUL) & _MASK
    return h ^ (h >> 47)


def colliding_ids(count, seed=0):
    """`count` distinct 16-byte ASCII ids with one and the same old hash.

    The first 8 bytes are random; the second 8 are solved for so that the state
    after them is a fixed value (every step of the block mix inverts), and kept
    when they happen to be ASCII (about 1 in 256)."""
    u = np.uint64
    rng = np.random.default_rng(seed)
    state0 = u(_SEED ^ (16 * _MUL & _MASK))
    wanted = u(0x0123456789ABCDEF * _INV & _MASK)  # state1 ^ mix(block2) must be this
    found = {}
    with np.errstate(over="ignore"):
        while len(found) < count:
            raw = rng.integers(0, 1 << 63, size=1 << 20, dtype=np.uint64)
            block1 = (raw & u(0x7E7E7E7E7E7E7E7E)) | u(0x0101010101010101)
            mixed = block1 * u(_MUL)
            mixed ^= mixed >> u(47)
            state1 = (state0 ^ (mixed * u(_MUL))) * u(_MUL)
            y = (state1 ^ wanted) * u(_INV)
            y ^= y >> u(47)
            block2 = y * u(_INV)
            ascii = (block2 & u(0x8080808080808080)) == 0
            nonzero = (block2.view(np.uint8).reshape(-1, 8) != 0).all(axis=1)
            keep = ascii & nonzero
            for a, b in zip(block1[keep].tolist(), block2[keep].tolist()):
                found[a.to_bytes(8, "little") + b.to_bytes(8, "little")] = None
    return [key.decode("ascii") for key in list(found)[:count]]


def ordinary_ids(count, seed=1):
    rng = np.random.default_rng(seed)
    raw = rng.integers(0x21, 0x7F, size=(count, 16), dtype=np.uint8)
    return list(dict.fromkeys(row.tobytes().decode("ascii") for row in raw))


def best_times(ids, repeats=3):
    """The fastest ingest and the fastest remove of `ids` over a few runs."""
    vector = np.ones(4, dtype=np.float32)
    items = {vector_id: vector for vector_id in ids}
    ingest = remove = float("inf")
    for _ in range(repeats):
        backend = BruteForceBackend()
        start = time.perf_counter()
        backend.ingest(items)
        middle = time.perf_counter()
        backend.remove(ids)
        end = time.perf_counter()
        assert backend.count == 0
        ingest, remove = min(ingest, middle - start), min(remove, end - middle)
    return ingest, remove


COUNT = 6_000


def test_the_generated_ids_collide_under_the_old_hash():
    ids = colliding_ids(200)
    assert len(set(ids)) == 200
    assert len({_old_hash(i.encode()) for i in ids}) == 1


@pytest.mark.parametrize("operation", ["ingest", "remove"])
def test_ids_colliding_in_an_unkeyed_hash_cost_what_ordinary_ids_cost(operation):
    hostile, plain = colliding_ids(COUNT), ordinary_ids(COUNT)
    index = ["ingest", "remove"].index(operation)
    hostile_time = best_times(hostile)[index]
    plain_time = best_times(plain[: len(hostile)])[index]
    # With the old index these took several hundred times as long.
    assert hostile_time <= 3 * plain_time + 0.002, (hostile_time, plain_time)


def test_search_results_do_not_depend_on_the_hash_key(run_python):
    # Each interpreter draws its own key; equal scores are still ordered by id
    # bytes and every answer is the same.
    code = """
        import numpy as np
        from marrowfin_rs._core import BruteForceBackend
        backend = BruteForceBackend()
        ids = [f"id-{i:03d}" for i in range(300)]
        backend.ingest({i: np.ones(3, dtype=np.float32) for i in reversed(ids)})
        backend.remove(ids[::3])
        print([r.vector_id for r in backend.search(np.ones(3, dtype=np.float32), top_k=50)])
    """
    first, second = run_python(code), run_python(code)
    assert first == second
    assert eval(first) == [i for n, i in enumerate(f"id-{k:03d}" for k in range(300)) if n % 3][:50]
