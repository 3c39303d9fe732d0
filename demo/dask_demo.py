"""Scaling out with Dask: compress a million embeddings on a cluster, store them in Zarr, read them back and search.

Runs on a LocalCluster of two worker processes (one thread each) by default, or on a running cluster given by
--scheduler tcp://host:8786. Vectors are generated chunk by chunk on the workers (nothing of size n is ever held in
one place), compressed to fixed-size records, written to a Zarr store, read back and decoded, then inserted into a
ShardedCorpus whose shards live on the workers, which answers queries.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import sys
import time
import types
from pathlib import Path

import cloudpickle
import dask.array as da
import distributed
import numpy as np
import zarr  # noqa: F401  (the store format; imported here so a missing install fails before any work)

import marrowfin_rs._core as core
from marrowfin_rs import dask as mdask

REPO = Path(__file__).resolve().parent.parent
GENERATOR = REPO.parent / "shared" / "data" / "embeddings.py"


def load_generator():
    """The embedding-like data generator beside the repository, shipped to workers by value."""
    if not GENERATOR.is_file():
        sys.exit(f"error: the data generator {GENERATOR} is missing (it sits in ../shared beside the repository)")
    module = types.ModuleType("embeddings")
    module.__file__ = str(GENERATOR)
    exec(compile(GENERATOR.read_text(), str(GENERATOR), "exec"), module.__dict__)
    sys.modules["embeddings"] = module
    cloudpickle.register_pickle_by_value(module)  # workers need not have ../shared
    return module.embeddings


def peak_memory_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def report_per_worker(task_stream, prefix, chunk_rows, seconds):
    """Prints, for each worker, the rows of the chunk tasks whose key starts with prefix, their rate over the
    whole phase and the share of the phase the worker spent computing."""
    rows, busy = {}, {}
    for record in task_stream:
        key, worker = record["key"], record["worker"]
        busy[worker] = busy.get(worker, 0.0) + sum(
            span["stop"] - span["start"] for span in record["startstops"] if span["action"] == "compute")
        if isinstance(key, tuple) and str(key[0]).startswith(prefix):
            rows[worker] = rows.get(worker, 0) + chunk_rows[key[1]]
    for worker in sorted(rows):
        print(f"  {worker}: {rows[worker]:,} vectors, {rows[worker] / seconds:,.0f} vectors/s, "
              f"busy {busy[worker] / seconds:.0%} of the time")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running scheduler (default: a LocalCluster)")
    parser.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes (default 2)")
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--dimension", type=int, default=768)
    parser.add_argument("--chunk", type=int, default=20_000, help="rows per chunk (default 20,000)")
    parser.add_argument("--store", default=str(REPO / "build" / "demo" / "embeddings.zarr"))
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--corpus-rows", type=int, default=None, help="rows put in the ShardedCorpus (default all)")
    parser.add_argument("--queries", type=int, default=20)
    args = parser.parse_args()

    embeddings = load_generator()
    n, d, chunk = args.rows, args.dimension, args.chunk
    config = core.CodecConfig(bit_width=4, seed=42, dimension=d, residual_enabled=False)
    rotation = core.RotationMatrix.from_config(config)
    sample = embeddings(256, d, seed=1)
    codebook = core.Codebook.train(np.stack([rotation.apply(v) for v in sample]), config)
    size = mdask.record_size(config)

    if args.scheduler:
        cluster, client = None, distributed.Client(args.scheduler)
    else:
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                                           dashboard_address=":0")
        client = distributed.Client(cluster)
    workers = sorted(client.nthreads())
    print(f"cluster: {len(workers)} workers ({', '.join(workers)}); this machine: {os.cpu_count()} cores, "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"data: {n:,} x {d} embedding-like float32 vectors ({n * d * 4 / 1e9:.2f} GB), generated chunk by chunk "
          f"({chunk:,} rows) on the workers; config {config!r}; {size} bytes per record")

    def generate(block_id=None):
        return embeddings(chunk_rows[block_id[0]], d, seed=1000 + block_id[0])

    chunk_rows = tuple(min(chunk, n - start) for start in range(0, n, chunk))
    vectors = da.map_blocks(generate, chunks=(chunk_rows, (d,)), dtype=np.float32,
                            meta=np.empty((0, 0), np.float32))

    # 1. compress to a Zarr store on disk
    store = Path(args.store)
    shutil.rmtree(store, ignore_errors=True)
    store.parent.mkdir(parents=True, exist_ok=True)
    records = mdask.compress(vectors, config, codebook)
    with distributed.get_task_stream(client) as stream:
        start = time.perf_counter()
        records.to_zarr(str(store), overwrite=True)
        seconds = time.perf_counter() - start
    stored = sum(f.stat().st_size for f in store.rglob("*") if f.is_file())
    print(f"\ncompress + generate + store: {seconds:.1f} s, {n / seconds:,.0f} vectors/s in all; "
          f"store {stored / 1e6:,.0f} MB on disk ({n * size / 1e6:,.0f} MB of records, "
          f"{n * d * 4 / max(stored, 1):.1f}x smaller than float32)")
    report_per_worker(stream.data, "store-map", chunk_rows, seconds)

    # 2. read back, check one chunk against one process, decode everything
    back = da.from_zarr(str(store))
    first = back[:chunk_rows[0]].compute()
    local = core.Codec().compress_batch(embeddings(chunk_rows[0], d, seed=1000), config, codebook)
    identical = first.tobytes() == b"".join(record.to_bytes() for record in local)
    print(f"\nchunk 0 read back from Zarr is byte-identical to one-process compress_batch: {identical}")
    decoded = mdask.decompress(back, config, codebook)
    cosines = da.map_blocks(lambda x, y: np.einsum("ij,ij->i", x, y)[:, None], decoded, vectors,
                            dtype=np.float32, chunks=(chunk_rows, (1,)), name="cosine")
    with distributed.get_task_stream(client) as stream:
        start = time.perf_counter()
        mean_cosine = float(cosines.mean().compute())
        seconds = time.perf_counter() - start
    print(f"read + decompress (+ regenerate the originals to compare): {seconds:.1f} s, "
          f"{n / seconds:,.0f} vectors/s; mean cosine to the originals {mean_cosine:.4f}")
    report_per_worker(stream.data, "cosine", chunk_rows, seconds)

    # 3. a sharded corpus on the workers, filled straight from the chunks, and queries
    corpus_rows = args.corpus_rows or n
    sharded = mdask.ShardedCorpus(client, "demo", config, codebook, core.CompressionPolicy.COMPRESS, args.shards)
    start = time.perf_counter()
    step = 10 * chunk
    for begin in range(0, corpus_rows, step):
        end = min(begin + step, corpus_rows)
        sharded.insert_batch([f"doc-{i}" for i in range(begin, end)], vectors[begin:end])
    seconds = time.perf_counter() - start
    print(f"\nShardedCorpus: {len(sharded):,} vectors in {args.shards} shards on {len(set(sharded.workers))} "
          f"workers, inserted in {seconds:.1f} s ({corpus_rows / seconds:,.0f} vectors/s)")
    queries = embeddings(args.queries, d, seed=2)
    start = time.perf_counter()
    answers = [sharded.search(query, 10) for query in queries]
    seconds = time.perf_counter() - start
    print(f"{args.queries} queries, top 10: {seconds / args.queries * 1000:.1f} ms per query; first query's top 3: "
          + ", ".join(f"{r.vector_id} ({r.score:.3f})" for r in answers[0][:3]))

    # 4. memory
    print("\npeak resident memory of each process:")
    peaks = client.run(peak_memory_mib)
    for worker in sorted(peaks):
        print(f"  worker {worker}: {peaks[worker]:,.0f} MiB")
    print(f"  client: {peak_memory_mib():,.0f} MiB")
    client.close()
    if cluster is not None:
        cluster.close()


if __name__ == "__main__":
    main()
