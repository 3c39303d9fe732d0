"""marrowfin_rs.dask.compress on a two-worker LocalCluster vs compress_batch in one process, side by side.

200,000 x 768 embedding-like vectors, 4 bits with residual, both sides producing serialized records. The
single-process side runs pinned to one core, in the same chunks; the cluster has two worker processes of one thread
each, each pinned to its own core (the codec sizes its thread pool by the CPU affinity), the vectors already in their
memory (generated there, chunk by chunk) so only compression is timed. Both sides give the same bytes, which is
checked. Run with the dask extra installed:
    python bench/bench_dask.py [--rows N] [--chunk N]
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import cloudpickle
import dask.array as da
import distributed
import numpy as np

import marrowfin_rs._core as core
from marrowfin_rs import dask as mdask

sys.path.insert(0, str(Path(__file__).resolve().parent.parent.parent / "shared" / "data"))
import embeddings as embeddings_module  # noqa: E402

cloudpickle.register_pickle_by_value(embeddings_module)

REPEAT = 4


def pin_process(core_id: int) -> None:
    """Pins every thread of this process to one core (affinity is per thread on Linux; new threads inherit it)."""
    for thread_id in os.listdir("/proc/self/task"):
        os.sched_setaffinity(int(thread_id), {core_id})


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--chunk", type=int, default=10_000)
    args = parser.parse_args()
    n, d, chunk = args.rows, 768, args.chunk
    config = core.CodecConfig(4, 42, d, residual_enabled=True)
    rotation = core.RotationMatrix.from_config(config)
    codebook = core.Codebook.train(
        np.stack([rotation.apply(v) for v in embeddings_module.embeddings(256, d, seed=1)]), config)
    chunk_rows = tuple(min(chunk, n - start) for start in range(0, n, chunk))

    def generate(block_id=None):
        return embeddings_module.embeddings(chunk_rows[block_id[0]], d, seed=1000 + block_id[0])

    vectors = np.concatenate([generate((i,)) for i in range(len(chunk_rows))])

    cpus = os.sched_getaffinity(0)
    codec = core.Codec()
    local = b""

    def one_process():
        nonlocal local
        os.sched_setaffinity(0, {min(cpus)})  # one process, one core
        try:
            # Chunk by chunk, as the workers do: one process's best way (a single 200,000-row batch is slower,
            # its records and their bytes no longer fitting the caches).
            parts = []
            for start in range(0, n, chunk):
                records = codec.compress_batch(vectors[start:start + chunk], config, codebook)
                parts.append(b"".join(record.to_bytes() for record in records))
            local = b"".join(parts)
        finally:
            os.sched_setaffinity(0, cpus)

    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
        # One thread per worker: each worker process gets a core of its own, so the codec's own thread pool
        # (sized by the process's CPU affinity) runs one thread there, as the single-process side does.
        for core_id, worker in zip(sorted(cpus), sorted(client.nthreads())):
            client.run(pin_process, core_id, workers=[worker])
        resident = da.map_blocks(generate, chunks=(chunk_rows, (d,)), dtype=np.float32,
                                 meta=np.empty((0, 0), np.float32)).persist()
        distributed.wait(resident)
        mdask.compress(resident[:2 * chunk], config, codebook).compute()  # each worker builds its rotation once
        result = None

        def release_previous():
            """Drops the previous run's records and waits until the workers have let go of them, so that every
            run computes all of them again."""
            nonlocal result
            if result is None:
                return
            keys = {future.key for future in distributed.futures_of(result)}
            result = None
            while keys & set(client.who_has()):
                time.sleep(0.01)

        def on_cluster():
            nonlocal result
            result = mdask.compress(resident, config, codebook).persist()
            distributed.wait(result)

        # Side by side: the two are run alternately, so both see the same background load.
        singles, clustered = [], []
        for _ in range(REPEAT):
            singles.append(timed(one_process))
            release_previous()
            with distributed.get_task_stream(client) as stream:
                clustered.append(timed(on_cluster))
        identical = result.compute().tobytes() == local
        per_worker: dict[str, list[float]] = {}
        for record in stream.data:
            if isinstance(record["key"], tuple):
                per_worker.setdefault(record["worker"], []).append(sum(
                    span["stop"] - span["start"] for span in record["startstops"] if span["action"] == "compute"))

    single, cluster_time = min(singles), min(clustered)
    print(f"{n:,} x {d}, 4 bits + residual, {len(chunk_rows)} chunks of {chunk:,}; load average "
          f"{os.getloadavg()[0]:.1f} on {len(cpus)} cores; best of {REPEAT} alternating runs")
    print(f"  one process, compress_batch + to_bytes, 1 thread : {n / single:10,.0f} vectors/s ({single:.2f} s, "
          f"chunk by chunk)")
    print(f"  LocalCluster, 2 workers x 1 thread, compress     : {n / cluster_time:10,.0f} vectors/s "
          f"({cluster_time:.2f} s)")
    for worker, seconds in sorted(per_worker.items()):
        print(f"    last run, {worker}: {len(seconds)} chunks, {sum(seconds):.2f} s computing, "
              f"{sum(seconds) / len(seconds):.2f} s per chunk")
    ratios = sorted(s / c for s, c in zip(singles, clustered))
    print(f"  ratio: {single / cluster_time:.2f}x (per pair: {', '.join(f'{r:.2f}' for r in ratios)}); "
          f"byte-identical: {identical}")

if __name__ == "__main__":
    main()
