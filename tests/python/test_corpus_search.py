"""Corpus.search equals BruteForceBackend over decompress_all(), id for id and
bit for bit, on data built to stress the approximate first pass."""

import numpy as np
import pytest

from marrowfin_rs._core import (BruteForceBackend, Codebook, CodecConfig, CompressionPolicy, Corpus,
                                DimensionMismatchError, RotationMatrix)

POLICIES = [CompressionPolicy.COMPRESS, CompressionPolicy.PASSTHROUGH, CompressionPolicy.FP16]


def results(found):
    return [(r.vector_id, np.float32(r.score).tobytes()) for r in found]


def assert_same_as_backend(corpus, queries, ks):
    backend = BruteForceBackend()
    backend.ingest(corpus.decompress_all())
    for query in queries:
        for k in ks:
            assert results(corpus.search(query, k)) == results(backend.search(query, k))


def trained_corpus(policy, bit_width, residual, data, dimension, trainer=Codebook.train_lloyd_max):
    config = CodecConfig(bit_width, 5, dimension, residual_enabled=residual)
    rotation = RotationMatrix.from_config(config)
    sample = np.random.default_rng(0).standard_normal((64, dimension)).astype(np.float32)
    codebook = trainer(np.stack([rotation.apply(v) for v in sample]), config)
    corpus = Corpus("search", config, codebook, policy)
    corpus.insert_batch([f"id{i:05d}" for i in range(len(data))], data)
    return corpus


def stressing_rows(rng, n, dimension):
    """Random rows, plus exact and near duplicates (ties and near-ties at the
    k-th place), zero rows, huge and tiny norms, and a few non-finite rows."""
    base = rng.standard_normal((n, dimension)).astype(np.float32)
    base[1::9] = base[0]  # exact ties
    base[2::9] = base[0] * np.float32(1 + 2 ** -20)  # same direction, other norm
    base[3::9] = base[0] + rng.standard_normal(dimension).astype(np.float32) * np.float32(1e-6)
    base[4::37] = 0.0
    base[5::41] *= np.float32(1e30)
    base[6::43] *= np.float32(1e-30)
    base[7::53] *= np.float32(1e-42)  # subnormal elements
    return base


@pytest.mark.parametrize("policy", POLICIES, ids=str)
@pytest.mark.parametrize("bit_width,residual", [(2, False), (2, True), (4, False), (4, True), (8, False), (8, True)])
def test_search_equals_the_backend_over_decompress_all(policy, bit_width, residual):
    rng = np.random.default_rng(bit_width * 2 + residual)
    dimension = 48
    data = stressing_rows(rng, 700, dimension)
    corpus = trained_corpus(policy, bit_width, residual, data, dimension)
    queries = [rng.standard_normal(dimension).astype(np.float32) for _ in range(6)]
    queries += [data[0], data[3], data[0] * np.float32(-1), np.zeros(dimension, np.float32),
                data[5] * np.float32(1e8), data[6] * np.float32(1e-9)]
    assert_same_as_backend(corpus, queries, [1, 3, 10, 11, 700, 5000])


@pytest.mark.parametrize("policy", POLICIES, ids=str)
def test_nan_and_infinity_anywhere(policy):
    rng = np.random.default_rng(9)
    data = stressing_rows(rng, 300, 16)
    data[10, 3] = np.nan
    data[11, 0] = np.inf
    data[12] = np.float32(3e38)
    corpus = trained_corpus(policy, 4, True, data, 16)
    nan_query = rng.standard_normal(16).astype(np.float32)
    nan_query[2] = np.nan
    queries = [rng.standard_normal(16).astype(np.float32), nan_query, np.full(16, np.inf, np.float32), data[12]]
    assert_same_as_backend(corpus, queries, [1, 5, 300])


def test_codebook_with_huge_and_non_finite_levels():
    config = CodecConfig(2, 5, 24, residual_enabled=False)
    levels = np.array([-np.inf, -1e30, 0.5, np.nan], np.float32)
    corpus = Corpus("odd", config, Codebook(levels, 2), CompressionPolicy.COMPRESS)
    data = np.random.default_rng(3).standard_normal((200, 24)).astype(np.float32)
    corpus.insert_batch([str(i) for i in range(200)], data)
    assert_same_as_backend(corpus, list(data[:4]), [1, 7, 200])


def test_quantile_codebook_and_many_entries():
    rng = np.random.default_rng(4)
    data = rng.standard_normal((5000, 64)).astype(np.float32)
    corpus = trained_corpus(CompressionPolicy.COMPRESS, 4, False, data, 64, trainer=Codebook.train)
    assert_same_as_backend(corpus, [rng.standard_normal(64).astype(np.float32) for _ in range(5)], [1, 10, 100])


def test_arguments_and_edges():
    config = CodecConfig(4, 5, 8, residual_enabled=False)
    corpus = Corpus("args", config, Codebook(np.linspace(-1, 1, 16).astype(np.float32), 4), CompressionPolicy.COMPRESS)
    assert corpus.search(np.ones(8, np.float32), 3) == []
    corpus.pending_events()
    corpus.insert_batch(["b", "a"], np.ones((2, 8), np.float32))
    with pytest.raises(ValueError, match="^top_k must be > 0$"):
        corpus.search(np.ones(5, np.float32), 0)
    with pytest.raises(DimensionMismatchError, match="^dimension mismatch: expected 8, got 5$"):
        corpus.search(np.ones(5, np.float32), 1)
    with pytest.raises(TypeError):
        corpus.search(np.ones(8, np.float64), 1)
    with pytest.raises(ValueError, match="not contiguous"):
        corpus.search(np.ones(16, np.float32)[::2], 1)
    with pytest.raises(TypeError):
        corpus.search(np.ones(8, np.float32), 1.0)
    found = corpus.search(np.ones(8, np.float32), np.int64(5))
    assert [r.vector_id for r in found] == ["a", "b"]
    corpus.remove("a")
    assert [r.vector_id for r in corpus.search(np.ones(8, np.float32), 5)] == ["b"]
    events = corpus.pending_events()
    assert [type(e).__name__ for e in events] == ["VectorsInserted"]


@pytest.mark.parametrize("bit_width,residual", [(4, True), (8, True), (8, False), (2, True)])
@pytest.mark.parametrize("spread", [1e-2, 1e-3, 1e-4])
def test_crowded_kth_place(bit_width, residual, spread):
    """Hundreds of rows a hair apart around the query, so that the k-th best
    exact score has many neighbours inside the approximate pass's error."""
    rng = np.random.default_rng(int(spread * 1e5) + bit_width)
    dimension = 64
    centre = rng.standard_normal(dimension).astype(np.float32)
    data = (centre + spread * rng.standard_normal((600, dimension))).astype(np.float32)
    data[::2] = rng.standard_normal((300, dimension)).astype(np.float32)
    corpus = trained_corpus(CompressionPolicy.COMPRESS, bit_width, residual, data, dimension)
    queries = [(centre + spread * rng.standard_normal(dimension)).astype(np.float32) for _ in range(4)]
    assert_same_as_backend(corpus, queries, [1, 2, 5, 17, 64])


@pytest.mark.parametrize("bit_width,residual", [(8, False), (8, True), (4, True)])
@pytest.mark.parametrize("distort", ["lopsided", "spread", "clumped"])
def test_levels_the_first_pass_models_badly(bit_width, residual, distort):
    """Codebooks whose levels are wildly uneven, far wider than the data, or
    nearly all equal: each row's distance from the scan's model of its values
    is then large, and search must stay exact by scoring more rows."""
    rng = np.random.default_rng(bit_width + 2 * residual)
    dimension = 40
    data = rng.standard_normal((900, dimension)).astype(np.float32)
    config = CodecConfig(bit_width, 5, dimension, residual_enabled=residual)
    levels = np.sort(rng.standard_normal(1 << bit_width)).astype(np.float32) * np.float32(0.2)
    if distort == "lopsided":
        levels = np.sort(rng.standard_exponential(levels.size) ** 4).astype(np.float32) * np.float32(0.05)
    elif distort == "spread":
        levels = levels * np.float32(400)
    else:
        levels = np.full_like(levels, 0.01) + np.arange(levels.size, dtype=np.float32) * np.float32(1e-7)
    corpus = Corpus("odd", config, Codebook(levels, bit_width), CompressionPolicy.COMPRESS)
    corpus.insert_batch([f"v{i}" for i in range(len(data))], data)
    queries = [rng.standard_normal(dimension).astype(np.float32) for _ in range(3)] + [data[7]]
    assert_same_as_backend(corpus, queries, [1, 10, 40])


@pytest.mark.parametrize("bit_width,residual", [(8, False), (8, True), (4, True)])
@pytest.mark.parametrize("top", [np.inf, np.nan])
def test_an_unusable_level_at_the_edge(bit_width, residual, top):
    """A non-finite last level spoils the first pass's model of the codes
    beside it (8-bit) or the tables themselves (4-bit) for rows that never use
    it: such rows must still be found."""
    rng = np.random.default_rng(17)
    dimension = 32
    data = rng.standard_normal((500, dimension)).astype(np.float32)
    levels = np.linspace(-2.5, 2.5, 1 << bit_width).astype(np.float32)
    levels[-1] = top
    config = CodecConfig(bit_width, 5, dimension, residual_enabled=residual)
    corpus = Corpus("edge", config, Codebook(levels, bit_width), CompressionPolicy.COMPRESS)
    corpus.insert_batch([f"v{i}" for i in range(len(data))], data)
    queries = [rng.standard_normal(dimension).astype(np.float32) for _ in range(3)] + [data[11]]
    assert_same_as_backend(corpus, queries, [1, 10, 50])
