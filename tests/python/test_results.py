"""Results as arrays: the labels property."""
import numpy as np
import pytest

from quorla import KMeans
from conftest import is_panic


@pytest.mark.parametrize("balanced", [False, True])
@pytest.mark.parametrize("use_medoids", [False, True])
def test_labels_are_the_training_partition(blobs, balanced, use_medoids):
    model = KMeans(4).with_balanced(balanced).with_use_medoids(use_medoids).with_max_balance_diff(3)
    assert model.labels is None
    lists = model.train(blobs, None)
    labels = model.labels
    assert labels.dtype == np.int64 and labels.shape == (len(blobs),)
    for cluster, members in enumerate(lists):
        assert (labels[members] == cluster).all()
    labels[:] = -1  # a fresh array each time: the model is not changed through it
    assert (model.labels >= 0).all()


def test_labels_stay_none_after_a_failed_training(blobs):
    data = blobs.copy()
    data[3, 0] = np.nan
    model = KMeans(3)
    with pytest.raises(BaseException) as info:
        model.train(data, None)
    assert is_panic(info.value)
    assert model.labels is None


# ---- search -------------------------------------------------------------

@pytest.fixture(scope="module", params=[False, True], ids=["inner", "euclidean"])
def model(request):
    data = np.random.default_rng(3).standard_normal((3000, 10)).astype(np.float32)
    model = KMeans(40).with_euclidean(request.param).with_iterations(4).with_seed(1)
    model.train(data, None)
    return model


def _queries():
    return np.random.default_rng(4).standard_normal((700, 10)).astype(np.float32)


@pytest.mark.parametrize("k", [1, 3, 39, 40, 1000])
@pytest.mark.parametrize("layout", ["c", "fortran", "every other row"])
def test_search_membership_is_assign_membership(model, k, layout):
    queries = _queries()
    view = {"c": queries, "fortran": np.asfortranarray(queries),
            "every other row": np.repeat(queries, 2, axis=0)[::2]}[layout]
    distances, clusters = model.search(view, k)
    take = min(k, model.n_clusters)
    assert distances.shape == clusters.shape == (len(queries), take)
    assert distances.dtype == np.float32 and clusters.dtype == np.int64
    listed = [[] for _ in range(model.n_clusters)]
    for row in range(len(queries)):
        for cluster in clusters[row]:
            listed[cluster].append(row)
    assert listed == model.assign(view, k)


def test_search_distances_nearest_first_and_exact(model):
    queries = _queries()
    distances, clusters = model.search(queries, 7)
    centroids = model.centroids.astype(np.float64)
    if model.is_euclidean:
        assert (np.diff(distances, axis=1) >= 0).all() and (distances >= 0).all()
        expected = ((queries[:, None, :].astype(np.float64) - centroids[clusters]) ** 2).sum(axis=2)
    else:
        assert (np.diff(distances, axis=1) <= 0).all()
        expected = np.einsum("nd,nkd->nk", queries.astype(np.float64), centroids[clusters])
    np.testing.assert_allclose(distances, expected, rtol=1e-4, atol=1e-4)


@pytest.mark.parametrize("euclidean", [False, True])
def test_search_ties_go_to_the_lower_cluster(euclidean):
    rows = np.array([[1, 0], [0, 1], [1, 0], [0, 1]], np.float32)
    model = KMeans(4).with_euclidean(euclidean).with_centroids(rows)
    distances, clusters = model.search(np.array([[1, 0], [0, 1], [1, 1]], np.float32), 4)
    assert clusters.tolist() == [[0, 2, 1, 3], [1, 3, 0, 2], [0, 1, 2, 3]]
    assert distances[0, 0] == distances[0, 1] and distances[2, 0] == distances[2, 3]


@pytest.mark.parametrize("k, data, error", [
    (0, np.zeros((2, 10), np.float32), "Invalid parameter: k must be positive"),
    (1, np.zeros((2, 3), np.float32), "Dimension mismatch: expected 10, got 3"),
])
def test_search_refusals(model, k, data, error):
    with pytest.raises(ValueError, match=error):
        model.search(data, k)
    with pytest.raises(ValueError, match="Clustering has not been trained yet"):
        KMeans(2).search(data, 1)


def test_search_of_no_rows(model):
    distances, clusters = model.search(np.zeros((0, 10), np.float32), 5)
    assert distances.shape == clusters.shape == (0, 5)
