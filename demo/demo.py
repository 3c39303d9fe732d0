"""End-to-end tour of marrowfin_rs on realistic embeddings.

Generates clustered, unit-norm 768-dimensional vectors (the shape of sentence
embeddings), then compresses them with every setting, measures what each costs
and keeps (the table that the README's "Choosing a setting" shows), stores them
in a corpus and searches them, and draws the trade-off into
build/demo/tradeoff.png.
"""

from __future__ import annotations

import argparse
import pathlib
import pickle
import time
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

import marrowfin_rs
from marrowfin_rs.backend import BruteForceBackend
from marrowfin_rs.codec import Codebook, Codec, CodecConfig, CompressedVector, RotationMatrix
from marrowfin_rs.corpus import CompressionPolicy, Corpus

Matrix = npt.NDArray[np.float32]

DIMENSION = 768
SEED = 42
TOP_K = 10
QUERIES = 100
PLOT_PATH = pathlib.Path(__file__).resolve().parent.parent / "build" / "demo" / "tradeoff.png"


@dataclass
class Setting:
    """What one way of storing the vectors costs and keeps."""

    name: str
    bytes_per_vector: int
    serialized_bytes: int
    mean_cosine: float
    recall: float
    compress_rate: float | None = None
    decompress_rate: float | None = None


def make_embeddings(count: int, dimension: int, clusters: int, rng: np.random.Generator) -> Matrix:
    """Unit vectors scattered around a few topic centroids, like real embeddings."""
    centroids = rng.standard_normal((clusters, dimension)).astype(np.float32)
    labels = rng.integers(0, clusters, size=count)
    noise = rng.standard_normal((count, dimension)).astype(np.float32)
    vectors = centroids[labels] + 0.9 * noise
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    return np.ascontiguousarray(vectors, dtype=np.float32)


def mean_cosine(a: Matrix, b: Matrix) -> float:
    a64, b64 = a.astype(np.float64), b.astype(np.float64)
    dots = np.einsum("ij,ij->i", a64, b64)
    norms = np.linalg.norm(a64, axis=1) * np.linalg.norm(b64, axis=1)
    return float(np.mean(dots / norms))


def section(title: str) -> None:
    print(f"\n== {title} ==")


def ids_for(count: int) -> list[str]:
    return [f"doc-{i:05d}" for i in range(count)]


def top_ids(backend: BruteForceBackend, queries: Matrix) -> list[set[str]]:
    return [{result.vector_id for result in backend.search(query, TOP_K)} for query in queries]


def recall_at_k(restored: Matrix, queries: Matrix, truth: list[set[str]]) -> float:
    """Share of the exact top-k (over the originals) found by searching the restored vectors."""
    backend = BruteForceBackend()
    backend.ingest(dict(zip(ids_for(len(restored)), restored)))
    found = top_ids(backend, queries)
    return float(np.mean([len(t & f) / TOP_K for t, f in zip(truth, found)]))


def show_config_and_rotation(config: CodecConfig) -> RotationMatrix:
    section("Configuration")
    print(config)
    print(f"config hash (the value identity of a configuration): {config.config_hash}")

    section("Rotation")
    start = time.perf_counter()
    rotation = RotationMatrix.from_config(config)
    built = time.perf_counter() - start
    matrix = np.frombuffer(rotation.matrix_f64_bytes(), dtype="<f8").reshape(DIMENSION, DIMENSION)
    error = np.abs(matrix @ matrix.T - np.eye(DIMENSION)).max()
    print(f"{DIMENSION}x{DIMENSION} orthogonal matrix from seed {config.seed} in "
          f"{built * 1e3:.1f} ms, max |M M^T - I| = {error:.2e}")
    return rotation


def train_codebook(rotation: RotationMatrix, sample: Matrix, config: CodecConfig) -> Codebook:
    # Quantization happens on rotated coordinates, so train on rotated samples.
    rotated = np.stack([rotation.apply(v) for v in sample])
    return Codebook.train(rotated, config)


def float_settings(vectors: Matrix, queries: Matrix, truth: list[set[str]]) -> list[Setting]:
    """Plain float32 (the reference) and float16, stored as raw arrays."""
    half = vectors.astype(np.float16)
    restored = np.ascontiguousarray(half.astype(np.float32))
    return [
        Setting("float32", DIMENSION * 4, DIMENSION * 4, 1.0, 1.0),
        Setting("float16", half.itemsize * DIMENSION, half.itemsize * DIMENSION,
                mean_cosine(vectors, restored), recall_at_k(restored, queries, truth)),
    ]


def codec_settings(vectors: Matrix, queries: Matrix, truth: list[set[str]],
                   rotation: RotationMatrix) -> list[Setting]:
    codec = Codec()
    settings = []
    for bit_width in (2, 4, 8):
        for residual in (False, True):
            config = CodecConfig(bit_width, SEED, DIMENSION, residual_enabled=residual)
            codebook = train_codebook(rotation, vectors[:256], config)
            start = time.perf_counter()
            records = codec.compress_batch(vectors, config, codebook)
            t_compress = time.perf_counter() - start
            start = time.perf_counter()
            restored = codec.decompress_batch(records, config, codebook)
            t_decompress = time.perf_counter() - start
            blobs = [record.to_bytes() for record in records]
            assert all(CompressedVector.from_bytes(b).to_bytes() == b for b in blobs)
            name = f"{bit_width}-bit" + (" + residual" if residual else "")
            settings.append(Setting(name, records[0].size_bytes, len(blobs[0]),
                                    mean_cosine(vectors, restored),
                                    recall_at_k(restored, queries, truth),
                                    len(vectors) / t_compress, len(vectors) / t_decompress))
    return settings


def print_table(settings: list[Setting], count: int) -> None:
    section("Choosing a setting")
    float32_bytes = DIMENSION * 4
    print(f"{'setting':<18} {'bytes/vec':>9} {'ratio':>6} {'serialized':>10} {'ser.ratio':>9} "
          f"{'total MB':>8} {'cosine':>8} {'1-cosine':>8} {'recall@10':>9} {'compress':>9} "
          f"{'decompress':>10}")
    for s in settings:
        rates = ("-" if s.compress_rate is None else f"{s.compress_rate:.0f}/s",
                 "-" if s.decompress_rate is None else f"{s.decompress_rate:.0f}/s")
        print(f"{s.name:<18} {s.bytes_per_vector:>9} {float32_bytes / s.bytes_per_vector:>6.2f} "
              f"{s.serialized_bytes:>10} {float32_bytes / s.serialized_bytes:>9.2f} "
              f"{s.serialized_bytes * count / 1e6:>8.2f} {s.mean_cosine:>8.5f} "
              f"{1 - s.mean_cosine:>8.1e} "
              f"{s.recall:>9.3f} "
              f"{rates[0]:>9} {rates[1]:>10}")
    print(f"""
  bytes/vec   payload per vector in memory: packed indices plus residual, no header
  ratio       float32 bytes ({float32_bytes}) / bytes/vec
  serialized  bytes of one stored record, CompressedVector.to_bytes() (float rows: raw array)
  ser.ratio   float32 bytes / serialized: what storage and the network actually save
  total MB    serialized bytes of all {count} vectors (as float32: {float32_bytes * count / 1e6:.2f} MB)
  cosine      mean cosine similarity between each original and its reconstruction
  1-cosine    the same as a loss, to tell the near-lossless settings apart (smaller is better)
  recall@10   share of the exact top-10 found by searching the reconstructions ({QUERIES} queries)
  compress    vectors per second through Codec.compress_batch (decompress: decompress_batch)""")


def draw_tradeoff(settings: list[Setting], path: pathlib.Path) -> bool:
    """Bytes per vector against recall@10 and mean cosine; False without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    figure, (left, right) = plt.subplots(1, 2, figsize=(13, 5.2))
    colors = plt.get_cmap("tab10").colors
    for index, s in enumerate(settings):
        marker = "s" if s.name.startswith("float") else ("^" if "residual" in s.name else "o")
        style = {"marker": marker, "s": 70, "color": colors[index % len(colors)], "label": s.name}
        left.scatter(s.bytes_per_vector, s.recall, **style)
        # float32 reconstructs exactly: no point on a logarithmic error axis.
        if s.name != "float32":
            right.scatter(s.bytes_per_vector, 1.0 - s.mean_cosine, **style)
    ticks = sorted({s.bytes_per_vector for s in settings})
    for axis in (left, right):
        axis.set_xscale("log")
        axis.set_xticks(ticks, [str(t) for t in ticks], rotation=45)
        axis.minorticks_off()
        axis.set_xlabel("bytes per vector (payload, logarithmic)")
        axis.grid(True, alpha=0.3)
    left.set_ylabel(f"recall@{TOP_K} (higher is better)")
    left.set_title(f"Search quality: recall@{TOP_K} against the exact top-{TOP_K}")
    right.set_yscale("log")
    right.set_ylabel("1 - mean cosine (lower is better, logarithmic)")
    right.set_title("Reconstruction fidelity (float32 is exact: not shown)")
    handles, labels = left.get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=len(settings), fontsize=9,
                  frameon=False)
    figure.suptitle(f"marrowfin_rs {marrowfin_rs.__version__}: {DIMENSION}-d embeddings, every "
                    "setting (squares: plain floats, circles: indices only, triangles: with residual)")
    figure.tight_layout(rect=(0, 0.07, 1, 1))
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return True


def corpus_tour(vectors: Matrix, rotation: RotationMatrix) -> None:
    section("Corpus")
    config = CodecConfig(4, SEED, DIMENSION, residual_enabled=False)
    codebook = train_codebook(rotation, vectors[:256], config)
    corpus = Corpus("demo", config, codebook, CompressionPolicy.COMPRESS)
    ids = ids_for(len(vectors))
    start = time.perf_counter()
    stored = sum(corpus.insert(vector_id, vector).compressed.size_bytes
                 for vector_id, vector in zip(ids, vectors))
    t_insert = time.perf_counter() - start
    restored = corpus.decompress_all()
    kinds: dict[str, int] = {}
    for event in corpus.pending_events():
        kinds[type(event).__name__] = kinds.get(type(event).__name__, 0) + 1
    matrix = np.stack([restored[i] for i in ids])
    print(f"{corpus.vector_count} vectors under {corpus.compression_policy!r} at 4 bits: "
          f"{stored / len(ids):.0f} bytes/vector, mean cosine {mean_cosine(vectors, matrix):.6f}, "
          f"{len(ids) / t_insert:.0f} inserts/s")
    print(f"events drained: {kinds}")
    entry = corpus.get(ids[0])
    shipped = pickle.dumps((config, codebook, entry))
    config2, codebook2, entry2 = pickle.loads(shipped)
    again = Codec().decompress(entry2.compressed, config2, codebook2)
    same = again.tobytes() == restored[ids[0]].tobytes()
    print(f"config, codebook and one entry pickle into {len(shipped)} bytes; "
          f"unpickled, they decompress to the same vector: {same}")


def search_tour(backend: BruteForceBackend, queries: Matrix, count: int) -> None:
    section("Exact search")
    top = backend.search(queries[0], 3)
    print("top 3 for the first query:", ", ".join(repr(r) for r in top))
    start = time.perf_counter()
    for query in queries:
        backend.search(query, TOP_K)
    elapsed = time.perf_counter() - start
    print(f"{elapsed / len(queries) * 1e3:.2f} ms per top-{TOP_K} query "
          f"over {count} float32 vectors")


def compressed_search_tour(vectors: Matrix, queries: Matrix, truth: list[set[str]],
                           rotation: RotationMatrix) -> None:
    section("Search where the vectors lie")
    print("Corpus.search answers from the compressed corpus itself, exactly as a backend holding\n"
          "decompress_all() would; no float32 copy of the corpus is made.")
    ids = ids_for(len(vectors))
    sample = np.stack([rotation.apply(v) for v in vectors[:256]])
    for bits in (4, 8):
        config = CodecConfig(bits, SEED, DIMENSION, residual_enabled=False)
        for trainer, codebook in (("quantile", Codebook.train(sample, config)),
                                  ("Lloyd-Max", Codebook.train_lloyd_max(sample, config))):
            corpus = Corpus("search", config, codebook, CompressionPolicy.COMPRESS)
            start = time.perf_counter()
            corpus.insert_batch(ids, vectors)
            inserted = len(ids) / (time.perf_counter() - start)
            start = time.perf_counter()
            found = [{r.vector_id for r in corpus.search(q, TOP_K)} for q in queries]
            per_query = (time.perf_counter() - start) / len(queries)
            recall = float(np.mean([len(f & t) / TOP_K for f, t in zip(found, truth)]))
            payload = config.dimension * bits // 8
            print(f"{bits}-bit, {trainer:>9} levels: {payload} bytes/vector searched, "
                  f"recall@{TOP_K} {recall:.3f}, {per_query * 1e3:.2f} ms/query, "
                  f"insert_batch {inserted:,.0f} vectors/s")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--count", type=int, default=3000, help="number of embeddings")
    args = parser.parse_args()
    count: int = args.count

    rng = np.random.default_rng(7)
    vectors = make_embeddings(count, DIMENSION, clusters=24, rng=rng)
    picks = rng.choice(count, size=QUERIES, replace=False)
    noise = 0.01 * rng.standard_normal((QUERIES, DIMENSION)).astype(np.float32)
    queries = np.ascontiguousarray(vectors[picks] + noise, dtype=np.float32)
    print(f"marrowfin_rs {marrowfin_rs.__version__}: {count} clustered unit embeddings "
          f"of dimension {DIMENSION}, {QUERIES} queries")

    rotation = show_config_and_rotation(CodecConfig(4, SEED, DIMENSION))
    exact = BruteForceBackend()
    exact.ingest(dict(zip(ids_for(count), vectors)))
    truth = top_ids(exact, queries)

    settings = float_settings(vectors, queries, truth) + codec_settings(vectors, queries, truth,
                                                                        rotation)
    print_table(settings, count)
    if draw_tradeoff(settings, PLOT_PATH):
        print(f"\ntrade-off plot written to {PLOT_PATH}")
    else:
        print("\n(matplotlib is not installed: no plot; ./scripts/demo.sh installs it)")

    corpus_tour(vectors, rotation)
    search_tour(exact, queries, count)

    compressed_search_tour(vectors, queries, truth, rotation)


if __name__ == "__main__":
    main()
