"""Codebook.train_lloyd_max: mean-squared-error levels from the quantile start."""

import numpy as np
import pytest

from marrowfin_rs._core import Codebook, CodecConfig


def mse(levels, values):
    values = values.astype(np.float64).ravel()
    return float(np.min((values[:, None] - levels.astype(np.float64)[None, :]) ** 2, axis=1).mean())


@pytest.mark.parametrize("bit_width", [2, 4, 8])
def test_levels_beat_the_quantiles_and_are_deterministic(bit_width):
    values = np.random.default_rng(bit_width).standard_t(4, size=(64, 96)).astype(np.float32)
    config = CodecConfig(bit_width, 1, 96, residual_enabled=False)
    quantile = Codebook.train(values, config).entries
    trained = Codebook.train_lloyd_max(values, config).entries
    assert trained.dtype == np.float32 and trained.shape == (1 << bit_width,)
    assert np.all(np.diff(trained) > 0)
    assert mse(trained, values) < mse(quantile, values)
    assert Codebook.train_lloyd_max(values, config).entries.tobytes() == trained.tobytes()
    # More iterations never make it worse; none at all is the quantile codebook.
    longer = Codebook.train_lloyd_max(values, config, iterations=200).entries
    assert mse(longer, values) <= mse(trained, values)
    assert Codebook.train_lloyd_max(values, config, iterations=0).entries.tobytes() == quantile.tobytes()


def test_well_separated_clusters_end_at_their_means():
    centres = np.array([-3.0, -1.0, 0.5, 4.0])
    rng = np.random.default_rng(0)
    values = (centres[rng.integers(0, 4, 4000)] + rng.uniform(-0.1, 0.1, 4000)).astype(np.float32)
    levels = Codebook.train_lloyd_max(values.reshape(40, 100), CodecConfig(2, 1, 100, False), iterations=100).entries
    assignment = np.argmin(np.abs(values[:, None] - levels[None, :]), axis=1)
    means = [values[assignment == i].astype(np.float64).mean() for i in range(4)]
    np.testing.assert_allclose(levels, means, rtol=0, atol=1e-6)
    np.testing.assert_allclose(levels, centres, atol=0.02)


@pytest.mark.parametrize(
    "values,error",
    [
        (np.zeros((0, 4), np.float32), "insufficient training data for 4 distinct entries"),
        (np.ones((3, 4), np.float32), "insufficient training data for 4 distinct entries"),
    ],
)
def test_errors_match_train(values, error):
    config = CodecConfig(2, 1, 4, False)
    for train in (Codebook.train, Codebook.train_lloyd_max):
        with pytest.raises(ValueError, match=error):
            train(values, config)


@pytest.mark.parametrize("bad", [np.zeros((2, 4), np.float64), np.zeros(8, np.float32), [[1.0] * 4]])
def test_array_rules_match_train(bad):
    config = CodecConfig(2, 1, 4, False)
    with pytest.raises(TypeError) as from_train:
        Codebook.train(bad, config)
    with pytest.raises(TypeError) as from_lloyd:
        Codebook.train_lloyd_max(bad, config)
    assert str(from_lloyd.value) == str(from_train.value)
    with pytest.raises((OverflowError, TypeError)):
        Codebook.train_lloyd_max(np.zeros((2, 4), np.float32), config, iterations=-1)


@pytest.mark.parametrize("bad", [np.inf, -np.inf, np.nan])
def test_a_non_finite_value_keeps_the_quantile_levels(bad):
    # Such a value is an end quantile, and no mean moves past it.
    values = np.random.default_rng(1).standard_normal((16, 64)).astype(np.float32)
    values[3, 5] = bad
    config = CodecConfig(4, 1, 64, False)
    quantile = Codebook.train(values, config).entries
    assert Codebook.train_lloyd_max(values, config).entries.tobytes() == quantile.tobytes()
