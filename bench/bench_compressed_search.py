"""Searching a corpus where it lies: Corpus.search against the decompress_all ->
BruteForceBackend path and FAISS scalar quantizers, one thread, plus
insert_batch throughput, corpus memory and codebook quality.

Data: 200,000 x 768 embedding-like unit vectors (shared generator, seed 1),
50 queries (seed 2), top 10; codebooks trained on the rotated first 256
vectors (config seed 7), FAISS on the first 20,000. Recall@10 is against
exact float32 search on the originals.

Needs faiss-cpu (PyPI) in the interpreter that runs it; not part of CI:
    python -m pip install faiss-cpu && python bench/bench_compressed_search.py [N]
"""

from __future__ import annotations

import gc
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "shared" / "data"))
sys.path.insert(0, os.environ.get("MARROWFIN_DATA_DIR", "/work/shared/data"))
from embeddings import embeddings  # noqa: E402

DIMENSION, QUERIES, TOP_K = 768, 50, 10


def rss() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS"):
                return int(line.split()[1]) * 1024
    return 0


def per_query(search, queries) -> tuple[float, list]:
    """Best of two passes over all queries: seconds per query, and the results."""
    best, found = float("inf"), None
    for _ in range(2):
        t0 = time.perf_counter()
        found = [search(q) for q in queries]
        best = min(best, (time.perf_counter() - t0) / len(queries))
    return best, found


def recall(found_ids, truth) -> float:
    return float(np.mean([len(set(f) & set(t)) / TOP_K for f, t in zip(found_ids, truth)]))


def ours(core, data, queries, truth, ids, rows):
    results = {}
    for trainer in ("train", "train_lloyd_max"):
        for bits, residual in ((4, False), (8, False), (4, True)):
            config = core.CodecConfig(bits, 7, DIMENSION, residual_enabled=residual)
            rotation = core.RotationMatrix.from_config(config)
            sample = np.stack([rotation.apply(v) for v in data[:256]])
            codebook = getattr(core.Codebook, trainer)(sample, config)
            corpus = core.Corpus("bench", config, codebook, core.CompressionPolicy.COMPRESS)
            corpus.insert_batch(ids, data)
            backend = core.BruteForceBackend()
            backend.ingest(corpus.decompress_all())
            name = f"{bits}-bit" + (" + residual" if residual else "") + (", Lloyd-Max" if trainer != "train" else "")
            t_backend, via_backend = per_query(lambda q: backend.search(q, TOP_K), queries)
            t_corpus, via_corpus = per_query(lambda q: corpus.search(q, TOP_K), queries)
            same = all([(r.vector_id, r.score) for r in a] == [(r.vector_id, r.score) for r in b]
                       for a, b in zip(via_backend, via_corpus))
            found = [[int(r.vector_id) for r in res] for res in via_corpus]
            r = recall(found, truth)
            rows.append((f"ours: {name} corpus -> decompress_all -> BruteForceBackend", 3072, t_backend, r))
            rows.append((f"ours: {name} Corpus.search", (bits * DIMENSION) // 8 + (2 * DIMENSION if residual else 0),
                         t_corpus, r))
            results[name] = (t_corpus, t_backend, same, r)
            del backend, corpus
            gc.collect()
    return results


def faiss_rows(data, queries, truth, rows):
    import faiss

    faiss.omp_set_num_threads(1)
    qmat = np.stack(queries)
    for label, make, nbytes in (
        ("FAISS IndexScalarQuantizer 4-bit", lambda: faiss.IndexScalarQuantizer(DIMENSION, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT), 384),
        ("FAISS IndexScalarQuantizer 8-bit", lambda: faiss.IndexScalarQuantizer(DIMENSION, faiss.ScalarQuantizer.QT_8bit, faiss.METRIC_INNER_PRODUCT), 768),
        ("FAISS IndexScalarQuantizer fp16", lambda: faiss.IndexScalarQuantizer(DIMENSION, faiss.ScalarQuantizer.QT_fp16, faiss.METRIC_INNER_PRODUCT), 1536),
        ("FAISS IndexFlatIP float32", lambda: faiss.IndexFlatIP(DIMENSION), 3072),
    ):
        index = make()
        index.train(data[:20000])
        index.add(data)
        t, found = per_query(lambda q: index.search(q[None, :], TOP_K)[1][0], queries)
        rows.append((label, nbytes, t, recall([list(f) for f in found], truth)))
        del index
        gc.collect()


def two_bit_cosine(core, data) -> dict:
    sample = data[:20000]
    out = {}
    for trainer in ("train", "train_lloyd_max"):
        config = core.CodecConfig(2, 7, DIMENSION, residual_enabled=False)
        rotation = core.RotationMatrix.from_config(config)
        codebook = getattr(core.Codebook, trainer)(np.stack([rotation.apply(v) for v in data[:256]]), config)
        decoded = core.Codec().decompress_batch(core.Codec().compress_batch(sample, config, codebook), config, codebook)
        cos = np.sum(decoded * sample, axis=1) / (np.linalg.norm(decoded, axis=1) * np.linalg.norm(sample, axis=1))
        out[trainer] = float(np.mean(cos))
    return out


def memory_child(n: int, residual: bool) -> None:
    """Run in a fresh process: resident memory of one corpus filled by insert_batch."""
    from marrowfin_rs import _core as core

    data = embeddings(n, DIMENSION, 1)
    ids = [f"doc-{i:07d}" for i in range(n)]
    config = core.CodecConfig(4, 7, DIMENSION, residual_enabled=residual)
    codebook = core.Codebook.train_lloyd_max(data[:256], config)
    gc.collect()
    before = rss()
    corpus = core.Corpus("memory", config, codebook, core.CompressionPolicy.COMPRESS)
    t0 = time.perf_counter()
    corpus.insert_batch(ids, data)
    seconds = time.perf_counter() - t0
    corpus.pending_events()
    del data
    gc.collect()
    grown = rss() - before
    payload = n * (DIMENSION // 2 + (2 * DIMENSION if residual else 0)) + sum(len(i) for i in ids)
    print(f"{grown} {payload} {n / seconds}")


def main() -> None:
    if len(sys.argv) > 1 and sys.argv[1] == "--memory":
        memory_child(int(sys.argv[2]), sys.argv[3] == "1")
        return
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
    os.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})
    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[name] = "1"
    from marrowfin_rs import _core as core

    data = embeddings(n, DIMENSION, 1)
    queries = list(embeddings(QUERIES, DIMENSION, 2))
    truth = [list(np.argsort(-(data @ q), kind="stable")[:TOP_K]) for q in queries]
    ids = [str(i) for i in range(n)]
    rows: list = []
    try:
        faiss_rows(data, queries, truth, rows)
    except ImportError:
        print("faiss-cpu not installed: FAISS rows skipped")
    results = ours(core, data, queries, truth, ids, rows)

    print(f"\n{n:,} x {DIMENSION}, one thread, {QUERIES} queries, top {TOP_K}\n")
    print(f"| System | bytes/vector searched | ms/query | recall@{TOP_K} |\n|---|---|---|---|")
    for label, nbytes, t, r in rows:
        print(f"| {label} | {nbytes:,} | {t * 1e3:.1f} | {r:.3f} |")
    print("\nCorpus.search against the backend over decompress_all (same results bit for bit?):")
    for name, (t_corpus, t_backend, same, r) in results.items():
        print(f"  {name}: {t_corpus / t_backend:.2f} of the backend's time, identical={same}")

    cos = two_bit_cosine(core, data)
    print(f"\n2-bit mean cosine of reconstruction: quantile {cos['train']:.3f}, Lloyd-Max {cos['train_lloyd_max']:.3f}")

    for residual in (False, True):
        out = subprocess.run([sys.executable, __file__, "--memory", str(n), "1" if residual else "0"],
                             check=True, capture_output=True, text=True).stdout.split()
        grown, payload, rate = int(out[0]), int(out[1]), float(out[2])
        limit = 1.15 * payload + 32 * 2**20
        label = "4-bit + residual" if residual else "4-bit"
        print(f"{label}: insert_batch {rate:,.0f} vectors/s; corpus resident {grown / 2**20:.1f} MiB for "
              f"{payload / 2**20:.1f} MiB of payload + ids (target <= {limit / 2**20:.1f} MiB)")


if __name__ == "__main__":
    main()
