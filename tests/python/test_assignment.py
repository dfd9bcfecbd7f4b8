"""assign() from Python."""
import numpy as np
import pytest

from quorla import KMeans
from conftest import is_panic


@pytest.fixture(scope="module", params=[False, True], ids=["inner", "euclidean"])
def trained(request):
    rng = np.random.default_rng(11)
    data = rng.standard_normal((2000, 12)).astype(np.float32)
    m = KMeans(20).with_euclidean(request.param).with_iterations(5)
    m.train(data, None)
    return m


def brute_force(m, points, k):
    c = m.centroids.astype(np.float64)
    p = points.astype(np.float64)
    keys = ((p[:, None, :] - c[None]) ** 2).sum(-1) if m.is_euclidean else -(p @ c.T)
    order = np.argsort(keys, axis=1, kind="stable")
    sorted_keys = np.take_along_axis(keys, order, axis=1)
    return order[:, :k], sorted_keys


@pytest.mark.parametrize("k", [1, 2, 5, 19])
def test_matches_a_numpy_reference_away_from_ties(trained, k):
    rng = np.random.default_rng(k)
    points = rng.standard_normal((500, 12)).astype(np.float32)
    lists = trained.assign(points, k)
    assert len(lists) == 20
    chosen = [set() for _ in range(len(points))]
    for cluster, members in enumerate(lists):
        assert members == sorted(members)
        for i in members:
            chosen[i].add(cluster)
    top, keys = brute_force(trained, points, k)
    gap = keys[:, k] - keys[:, k - 1]
    clear = gap > 1e-4 * (1 + np.abs(keys[:, k]))
    assert clear.mean() > 0.9
    for i in np.nonzero(clear)[0]:
        assert chosen[i] == set(top[i].tolist())
    assert all(len(s) == k for s in chosen)


def test_k_beyond_the_cluster_count_lists_everything(trained):
    points = np.zeros((7, 12), np.float32)
    assert trained.assign(points, trained.n_clusters + 10) == [list(range(7))] * 20
    assert trained.assign(points, 2**64 - 1) == [list(range(7))] * 20


def test_errors(trained):
    y = np.zeros((3, 12), np.float32)
    with pytest.raises(ValueError) as info:
        KMeans(2).assign(y, 0)
    assert str(info.value) == "Clustering has not been trained yet"
    with pytest.raises(ValueError) as info:
        trained.assign(y, 0)
    assert str(info.value) == "Invalid parameter: k must be positive"
    with pytest.raises(ValueError) as info:
        trained.assign(y[:, :11], 1)
    assert str(info.value) == "Dimension mismatch: expected 12, got 11"
    with pytest.raises(ValueError, match="^Dimension mismatch: expected 12, got 3$"):
        trained.assign(np.zeros((0, 3), np.float32), 1)
    with pytest.raises(OverflowError):
        trained.assign(y, -1)
    with pytest.raises(TypeError, match="^argument 'k': "):
        trained.assign(y, 1.0)


def test_zero_rows(trained):
    assert trained.assign(np.zeros((0, 12), np.float32), 3) == [[] for _ in range(20)]


def test_layouts_give_identical_results(trained):
    rng = np.random.default_rng(5)
    points = rng.standard_normal((300, 12)).astype(np.float32)
    expected = trained.assign(points, 3)
    wide = np.zeros((600, 15), np.float32)
    wide[::2, 2:14] = points
    assert trained.assign(wide[::2, 2:14], 3) == expected
    assert trained.assign(np.asfortranarray(points), 3) == expected
    reversed_view = points[::-1].copy()[::-1]
    assert trained.assign(reversed_view, 3) == expected
    row = points[4]
    broadcast = np.broadcast_to(row, (9, 12))
    one = trained.assign(row[None], 3)
    assert trained.assign(broadcast, 3) == [list(range(9)) if l else [] for l in one]


def test_inner_product_ties_go_to_the_lower_cluster():
    # Two opposite points make two opposite centroids, whichever order the
    # draw puts them in; (0, 1) has the dot product 0 with both.
    m = KMeans(2).with_iterations(2)
    m.train(np.array([[1, 0], [-1, 0]], np.float32), None)
    assert sorted(m.centroids[:, 0].tolist()) == [-1.0, 1.0]
    assert m.assign(np.array([[0, 1], [0, -3]], np.float32), 1) == [[0, 1], []]


@pytest.mark.parametrize("query", ["assign", "search"])
def test_nan_panics_with_two_clusters_and_not_with_one(trained, query):
    bad = np.zeros((2, 12), np.float32)
    bad[1, 3] = np.nan
    with pytest.raises(BaseException) as info:
        getattr(trained, query)(bad, 1)
    assert is_panic(info.value)
    single = KMeans(1).with_euclidean(True)
    single.train(np.ones((3, 12), np.float32), None)
    if query == "assign":
        assert single.assign(bad, 1) == [[0, 1]]
    else:
        # Nothing is compared: cluster 0 for both, with the keys as computed.
        distances, clusters = single.search(bad, 1)
        assert clusters.tolist() == [[0], [0]]
        assert distances[0, 0] == 12 and np.isnan(distances[1, 0])


def test_assign_leaves_the_model_unchanged(trained):
    before = trained.centroids
    trained.assign(np.ones((4, 12), np.float32), 2)
    np.testing.assert_array_equal(trained.centroids, before)
    assert trained.is_trained


# Results that cannot fit are refused before any work: a wrapped size once
# allocated nothing and wrote past it, and a result of 2^40 entries ran until
# memory ran out.
@pytest.mark.parametrize("train_cols, data, k", [
    (1, lambda: np.broadcast_to(np.float32(0), (2**60, 1)), 16),
    (0, lambda: np.empty((2**60, 0), np.float32), 16),
    (1, lambda: np.broadcast_to(np.float32(0), (2**40, 1)), 1),
])
@pytest.mark.parametrize("n_clusters", [1, 32])
def test_results_too_large_for_memory_are_memory_errors(train_cols, data, k, n_clusters):
    model = KMeans(n_clusters)
    model.train(np.random.default_rng(0).random((100, train_cols), np.float32), None)
    with pytest.raises(MemoryError):
        model.assign(data(), k)
    with pytest.raises(MemoryError):
        KMeans(n_clusters).train(data(), None)
