"""End-to-end tour of marrowfin_rs._core on realistic embeddings.

Generates clustered, unit-norm 768-dimensional vectors (the shape of sentence
embeddings), then compresses, serializes, stores and searches them, printing
what each step achieved.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

from marrowfin_rs import _core

DIMENSION = 768
SEED = 42


def make_embeddings(count: int, dimension: int, clusters: int, rng: np.random.Generator) -> np.ndarray:
    """Unit vectors scattered around a few topic centroids, like real embeddings."""
    centroids = rng.standard_normal((clusters, dimension)).astype(np.float32)
    labels = rng.integers(0, clusters, size=count)
    noise = rng.standard_normal((count, dimension)).astype(np.float32)
    vectors = centroids[labels] + 0.9 * noise
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return np.ascontiguousarray(vectors, dtype=np.float32)


def mean_cosine(a: np.ndarray, b: np.ndarray) -> float:
    dots = np.einsum("ij,ij->i", a.astype(np.float64), b.astype(np.float64))
    norms = np.linalg.norm(a, axis=1) * np.linalg.norm(b, axis=1)
    return float(np.mean(dots / norms))


def section(title: str) -> None:
    print(f"\n== {title} ==")


def show_config_and_rotation(config: _core.CodecConfig) -> _core.RotationMatrix:
    section("Configuration")
    print(config)
    print(f"config hash: {config.config_hash}")

    section("Rotation")
    start = time.perf_counter()
    rotation = _core.RotationMatrix.from_config(config)
    built = time.perf_counter() - start
    start = time.perf_counter()
    _core.RotationMatrix.from_config(config)
    cached = time.perf_counter() - start
    matrix = np.frombuffer(rotation.matrix_f64_bytes(), dtype="<f8").reshape(DIMENSION, DIMENSION)
    error = np.abs(matrix @ matrix.T - np.eye(DIMENSION)).max()
    print(f"{DIMENSION}x{DIMENSION} orthogonal matrix from seed {config.seed}: "
          f"built in {built * 1e3:.1f} ms, fetched again in {cached * 1e6:.0f} us, "
          f"max |M M^T - I| = {error:.2e}")
    return rotation


def train_codebook(rotation: _core.RotationMatrix, sample: np.ndarray, config: _core.CodecConfig) -> _core.Codebook:
    # Quantization happens on rotated coordinates, so train on rotated samples.
    rotated = np.stack([rotation.apply(v) for v in sample])
    codebook = _core.Codec().build_codebook(rotated, config)
    return codebook


def codec_tour(vectors: np.ndarray, rotation: _core.RotationMatrix) -> None:
    section("Compression (codec)")
    codec = _core.Codec()
    sample = vectors[:256]
    print(f"{'bits':>4} {'residual':>8} {'bytes/vec':>9} {'ratio':>6} {'serialized':>10} "
          f"{'cosine':>8} {'compress':>9} {'decompress':>10}")
    for bit_width in (2, 4, 8):
        for residual in (False, True):
            config = _core.CodecConfig(bit_width, SEED, DIMENSION, residual_enabled=residual)
            codebook = train_codebook(rotation, sample, config)
            start = time.perf_counter()
            compressed = codec.compress_batch(vectors, config, codebook)
            t_compress = time.perf_counter() - start
            start = time.perf_counter()
            restored = codec.decompress_batch(compressed, config, codebook)
            t_decompress = time.perf_counter() - start
            blobs = [c.to_bytes() for c in compressed]
            parsed = [_core.CompressedVector.from_bytes(b) for b in blobs]
            assert all(p.to_bytes() == b for p, b in zip(parsed, blobs))
            size = compressed[0].size_bytes
            print(f"{bit_width:>4} {str(residual):>8} {size:>9} {DIMENSION * 4 / size:>6.1f} "
                  f"{len(blobs[0]):>10} {mean_cosine(vectors, restored):>8.6f} "
                  f"{len(vectors) / t_compress:>7.0f}/s {len(vectors) / t_decompress:>8.0f}/s")
    print(f"(float32 vector: {DIMENSION * 4} bytes; every record survived to_bytes/from_bytes unchanged)")


def corpus_tour(vectors: np.ndarray, rotation: _core.RotationMatrix) -> dict[str, np.ndarray]:
    section("Corpora")
    config = _core.CodecConfig(4, SEED, DIMENSION, residual_enabled=False)
    codebook = train_codebook(rotation, vectors[:256], config)
    ids = [f"doc-{i:05d}" for i in range(len(vectors))]
    restored_by_policy = {}
    for policy in (_core.CompressionPolicy.COMPRESS, _core.CompressionPolicy.FP16):
        corpus = _core.Corpus(f"demo-{policy.value}", config, codebook, policy)
        start = time.perf_counter()
        stored_bytes = 0
        for vector_id, vector in zip(ids, vectors):
            entry = corpus.insert(vector_id, vector)
            stored_bytes += entry.compressed.size_bytes
        t_insert = time.perf_counter() - start
        restored = corpus.decompress_all()
        matrix = np.stack([restored[i] for i in ids])
        events = corpus.pending_events()
        kinds: dict[str, int] = {}
        for event in events:
            kinds[type(event).__name__] = kinds.get(type(event).__name__, 0) + 1
        print(f"{policy!r:>30}: {corpus.vector_count} vectors, {stored_bytes / len(ids):.0f} bytes/vector, "
              f"mean cosine {mean_cosine(vectors, matrix):.6f}, {len(ids) / t_insert:.0f} inserts/s")
        print(f"{'':>30}  events drained: {kinds}")
        restored_by_policy[policy.value] = matrix
    return restored_by_policy


def search_tour(vectors: np.ndarray, restored: dict[str, np.ndarray], rng: np.random.Generator) -> None:
    section("Search")
    ids = [f"doc-{i:05d}" for i in range(len(vectors))]
    exact = _core.BruteForceBackend()
    exact.ingest(dict(zip(ids, vectors)))
    queries = vectors[rng.choice(len(vectors), size=50, replace=False)] + 0.01 * rng.standard_normal(
        (50, DIMENSION)).astype(np.float32)
    queries = np.ascontiguousarray(queries, dtype=np.float32)
    top = exact.search(queries[0], 3)
    print("top 3 for the first query:", ", ".join(repr(r) for r in top))
    truth = [{r.vector_id for r in exact.search(q, 10)} for q in queries]
    for name, matrix in restored.items():
        approx = _core.BruteForceBackend()
        approx.ingest(dict(zip(ids, matrix)))
        start = time.perf_counter()
        found = [{r.vector_id for r in approx.search(q, 10)} for q in queries]
        elapsed = time.perf_counter() - start
        recall = np.mean([len(t & f) / 10 for t, f in zip(truth, found)])
        print(f"recall@10 of search over {name} vectors vs originals: {recall:.3f} "
              f"({elapsed / len(queries) * 1e3:.2f} ms per query over {len(ids)} vectors)")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=3000, help="number of embeddings")
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    vectors = make_embeddings(args.count, DIMENSION, clusters=24, rng=rng)
    print(f"marrowfin_rs._core {_core.__version__}: {args.count} clustered unit embeddings of dimension {DIMENSION}")

    config = _core.CodecConfig(4, SEED, DIMENSION)
    rotation = show_config_and_rotation(config)
    codec_tour(vectors, rotation)
    restored = corpus_tour(vectors, rotation)
    search_tour(vectors, restored, rng)


if __name__ == "__main__":
    main()
