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
