"""Training from given initial centroids: a warm start, or a training that
resumes from the centroids another one saved."""
import pickle

import numpy as np
import pytest

from quorla import KMeans


def _blobs(seed=2):
    rng = np.random.default_rng(seed)
    centres = 12 * rng.standard_normal((8, 16)).astype(np.float32)
    return (centres[np.arange(1200) % 8] + rng.standard_normal((1200, 16))).astype(np.float32)


def _trained(data, iterations, euclidean, initial=None):
    model = KMeans(8).with_seed(7).with_euclidean(euclidean).with_iterations(iterations)
    if initial is not None:
        model = model.with_initial_centroids(initial)
    lists = model.train(data, None)
    return lists, model


@pytest.mark.parametrize("euclidean", [True, False])
def test_a_resumed_training_is_the_uninterrupted_one(euclidean):
    # No cluster empties after the third iteration, so no draw separates
    # the two runs: the steps are functions of the centroids alone.
    data = _blobs()
    whole_lists, whole = _trained(data, 9, euclidean)
    _, first = _trained(data, 3, euclidean)
    saved = pickle.loads(pickle.dumps(KMeans(8).with_initial_centroids(first.centroids)))
    rest_lists, rest = _trained(data, 6, euclidean, saved.initial_centroids)
    assert rest.centroids.tobytes() == whole.centroids.tobytes()
    assert rest_lists == whole_lists
    # The start was not the end: the six iterations moved the centroids.
    assert rest.centroids.tobytes() != first.centroids.tobytes()


@pytest.mark.parametrize("euclidean", [True, False])
def test_the_first_step_uses_the_rows_as_they_are(euclidean):
    # Rows of two lengths: rescaled to unit length, they would move 68
    # points to other clusters in inner-product mode.
    data = _blobs()
    initial = data[:8] * np.array([1, 1.7] * 4, np.float32)[:, None]  # a row of every blob
    lists, model = _trained(data, 1, euclidean, initial)
    groups = KMeans(8).with_euclidean(euclidean).with_centroids(initial).assign(data, 1)
    assert min(map(len, groups)) > 0
    means = np.array([data[g].mean(axis=0) for g in groups], np.float32)
    if not euclidean:
        means /= np.linalg.norm(means, axis=1, keepdims=True)
    np.testing.assert_allclose(model.centroids, means, rtol=1e-5, atol=1e-5)
    assert model.initial_centroids.tobytes() == initial.tobytes()
    assert model.with_initial_centroids(None).initial_centroids is None


def test_medoid_mode_refuses_initial_centroids():
    # The other checks are with_centroids's, tested with it.
    with pytest.raises(ValueError, match="^Initial centroids are not training rows"):
        KMeans(2).with_use_medoids(True).with_initial_centroids(np.zeros((2, 16), np.float32))


@pytest.mark.parametrize("change, error", [
    (lambda m: m.with_initial_centroids(np.zeros((2, 3), np.float32)), "Dimension mismatch: expected 3, got 16"),
    (lambda m: m.with_initial_centroids(np.zeros((2, 16), np.float32)).with_use_medoids(True), "cannot be medoids"),
])
def test_trainings_that_refuse_their_initial_centroids(change, error):
    model = change(KMeans(2))
    with pytest.raises(ValueError, match=error):
        model.train(_blobs(), None)
    assert not model.is_trained and model.centroids is None
