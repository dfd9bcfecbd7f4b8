"""Training with QUORLA_LABEL_STEP=bounded and =full, the switch benchmarks
use to time each kind of label step: the results must be the same bits."""
import numpy as np
import pytest

from quorla import KMeans


def _blobs():
    rng = np.random.default_rng(11)
    centres = 5 * rng.standard_normal((30, 24)).astype(np.float32)
    data = centres[rng.integers(0, 30, 3000)] + rng.standard_normal((3000, 24)).astype(np.float32)
    data[:50] = data[0]  # duplicates tie
    return data


def _train(data, euclidean, medoids, balanced):
    model = (KMeans(40).with_seed(3).with_euclidean(euclidean).with_use_medoids(medoids).with_balanced(balanced)
             .with_iterations(15))
    lists = model.train(data, None)
    return lists, model


@pytest.mark.parametrize("euclidean", [True, False])
@pytest.mark.parametrize("medoids,balanced", [(False, False), (True, False), (False, True)])
def test_full_and_bounded_label_steps_train_the_same(monkeypatch, euclidean, medoids, balanced):
    data = _blobs()
    monkeypatch.setenv("QUORLA_LABEL_STEP", "bounded")
    lists, bounded = _train(data, euclidean, medoids, balanced)
    monkeypatch.setenv("QUORLA_LABEL_STEP", "full")
    full_lists, full = _train(data, euclidean, medoids, balanced)
    assert lists == full_lists
    assert np.array_equal(bounded.labels, full.labels)
    assert bounded.centroids.tobytes() == full.centroids.tobytes()
    assert bounded.medoid_indices == full.medoid_indices
