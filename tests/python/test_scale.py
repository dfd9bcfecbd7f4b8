"""Tens of millions of rows: counts and sums past single precision's
counting range. Deselected by default (marker `large`); scripts/test.sh runs
them after the rest."""
import numpy as np
import pytest

from quorla import KMeans

pytestmark = pytest.mark.large


@pytest.mark.parametrize("rows, low, high", [
    (20_000_000, 0.5, 1.5),      # the size stopped counting at 2^24: mean 1.192
    (10_000_000, 999.5, 1000.5),  # one running float total: mean 1022.49
])
def test_one_cluster_mean_of_many_rows(rows, low, high):
    data = np.random.default_rng(1).uniform(low, high, (rows, 1)).astype(np.float32)
    model = KMeans(1).with_euclidean(True).with_iterations(1)
    model.train(data, None)
    exact = data.mean(dtype=np.float64)
    assert abs(float(model.centroids[0, 0]) - exact) <= 1e-5 * exact


def test_balancing_counts_past_two_to_the_twenty_four():
    rng = np.random.default_rng(2)
    data = np.concatenate([rng.standard_normal((20_000_000, 1)),
                           100 + rng.standard_normal((1_000_000, 1))]).astype(np.float32)
    model = KMeans(2).with_euclidean(True).with_iterations(1).with_balanced(True)
    sizes = sorted(len(members) for members in model.train(data, None))
    assert sum(sizes) == len(data)
    assert sizes[1] - sizes[0] <= 16
