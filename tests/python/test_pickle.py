"""Saving and loading models: pickle, copy, and centroids trained elsewhere."""
import copy
import pickle

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quorla
from quorla import KMeans
from conftest import is_panic


def _trained(blobs, **options):
    model = (KMeans(4).with_seed(options.get("seed", 3)).with_euclidean(options.get("euclidean", False))
             .with_use_medoids(options.get("use_medoids", False)).with_balanced(options.get("balanced", False))
             .with_max_balance_diff(5).with_iterations(3))
    model.train(blobs, None)
    return model


def _retrained_after_interrupted_medoids(blobs):
    def stop(*_):
        raise RuntimeError("stop")

    model = KMeans(4).with_seed(1).with_use_medoids(True).with_progress(stop)
    with pytest.raises(RuntimeError):
        model.train(blobs, None)
    model = model.with_use_medoids(False).with_progress(None)
    model.train(blobs[:20], None)
    return model


def _models(blobs):
    failed = KMeans(3).with_verbose(True)
    bad = blobs.copy()
    bad[0, 0] = np.nan
    with pytest.raises(BaseException) as info:
        failed.train(bad, None)
    assert is_panic(info.value)
    no_columns = KMeans(2)
    no_columns.train(np.zeros((10, 0), np.float32), None)
    one_nan, one_infinite = KMeans(1), KMeans(1).with_euclidean(True)
    one_nan.train(bad, None)
    one_infinite.train(np.full((4, 2), 3e38, np.float32), None)
    assert np.isnan(one_nan.centroids).any() and np.isinf(one_infinite.centroids).all()
    return {
        "untrained": KMeans(5),
        "configured": KMeans(7).with_iterations(9).with_max_balance_diff(3).with_seed(2**64 - 1).with_verbose(True),
        "lock released": _trained(blobs).with_release_gil(True),
        "inner": _trained(blobs),
        "euclidean medoids balanced": _trained(blobs, euclidean=True, use_medoids=True, balanced=True),
        "inner medoids": _trained(blobs, use_medoids=True),
        "given centroids": KMeans(2).with_euclidean(True).with_centroids(blobs[:2]),
        "initial centroids": KMeans(2).with_euclidean(True).with_initial_centroids(blobs[:2]),
        "initial centroids, trained": _trained(blobs).with_initial_centroids(blobs[:4]),
        "hierarchical": KMeans(64).with_hierarchical(True),
        "medoid mode after training": _trained(blobs).with_use_medoids(True),
        "medoid mode after given centroids": KMeans(2).with_centroids(blobs[:2]).with_use_medoids(True),
        "medoid mode switched off": _trained(blobs, use_medoids=True).with_use_medoids(False),
        "retrained after interrupted medoids": _retrained_after_interrupted_medoids(blobs),
        "failed training": failed,
        "no columns": no_columns,
        "one cluster, NaN": one_nan,
        "one cluster, overflowing mean": one_infinite,
    }


def _observed(model):
    return (repr(model), model.n_clusters, model.iterations, model.is_euclidean, model.is_balanced,
            model.is_use_medoids, model.is_trained, model.seed, model.is_release_gil,
            None if model.initial_centroids is None else model.initial_centroids.tobytes(), model.is_hierarchical,
            None if model.centroids is None else model.centroids.tobytes(),
            model.medoid_indices, model.with_use_medoids(True).medoid_indices,
            None if model.labels is None else model.labels.tolist())


def _out_of_band_at(offset):
    """A protocol-5 round trip whose buffers arrive at `offset` bytes into
    memory of the receiver's own, as cluster frameworks hand them over."""
    def round_trip(model):
        buffers = []
        data = pickle.dumps(model, protocol=5, buffer_callback=buffers.append)
        assert buffers or not model.is_trained  # the arrays did travel out of band
        moved = []
        for buffer in buffers:
            block = bytearray(offset + buffer.raw().nbytes)
            block[offset:] = buffer.raw()
            moved.append(memoryview(block)[offset:])
        return pickle.loads(data, buffers=moved)
    return round_trip


COPIES = {f"pickle {p}": (lambda m, p=p: pickle.loads(pickle.dumps(m, protocol=p))) for p in range(2, 6)}
COPIES.update({f"pickle 5, buffers at offset {offset}": _out_of_band_at(offset) for offset in (1, 2, 3)})
COPIES.update({"copy": copy.copy, "deepcopy": copy.deepcopy})


@pytest.mark.parametrize("how", COPIES)
def test_round_trips_keep_everything(blobs, how):
    for name, model in _models(blobs).items():
        again = COPIES[how](model)
        assert type(again) is KMeans and again is not model
        assert _observed(again) == _observed(model), name
        if model.is_trained:
            data = blobs[:, :model.centroids.shape[1]]
            assert again.assign(data, 2) == model.assign(data, 2), name
            # NaN distances (the one-cluster models) compare equal here.
            np.testing.assert_array_equal(again.search(data, 2), model.search(data, 2), err_msg=name)
        else:
            again.train(blobs, None)  # still trainable, and training it leaves the source alone
            assert not model.is_trained


# The fields every build before release_gil saved and accepted (format 1).
FORMAT_1_FIELDS = {"format", "n_clusters", "iterations", "max_balance_diff", "euclidean", "balanced", "verbose",
                   "use_medoids", "seed", "trained", "centroids", "labels", "medoid_indices"}


def test_models_that_keep_the_lock_save_and_load_the_earlier_format(blobs):
    state = _state(blobs)
    # Exactly what builds before the flag wrote and read back.
    assert (state["format"], set(state)) == (1, FORMAT_1_FIELDS)
    model = quorla._kmeans_from_state(state)
    assert (model.is_trained, model.is_release_gil) == (True, False)
    np.testing.assert_array_equal(model.centroids, state["centroids"])
    state = model.with_release_gil(True).__reduce__()[1][0]
    assert (state["format"], set(state)) == (2, FORMAT_1_FIELDS | {"release_gil"})
    assert pickle.loads(pickle.dumps(model.with_release_gil(True))).is_release_gil


def test_training_without_medoids_keeps_none_from_an_interrupted_run(blobs):
    assert _retrained_after_interrupted_medoids(blobs).with_use_medoids(True).medoid_indices == []


def test_given_centroids_assign_with_exactly_those_rows(blobs):
    centroids = np.array([[0, 0, 0, 0], [20, 0, 0, 0], [0, 20, 0, 0]], np.float32)
    model = KMeans(3).with_euclidean(True).with_centroids(np.asfortranarray(centroids))
    np.testing.assert_array_equal(model.centroids, centroids)
    assert model.is_trained and model.labels.shape == (0,)
    assert model.assign(blobs, 1) == [list(range(50)), list(range(50, 100)), list(range(100, 150))]
    with pytest.raises(ValueError, match="Clustering has already been trained"):
        model.train(blobs, None)


@pytest.mark.parametrize("model, centroids, error", [
    (KMeans(2), np.zeros((3, 4), np.float32), "Expected 2 rows of centroids"),
    (KMeans(2), np.array([[0, 0], [np.inf, 0]], np.float32), "Centroid row 1 holds a value that is not finite"),
    (KMeans(2).with_use_medoids(True), np.zeros((2, 4), np.float32), "cannot be medoids"),
    # Squared distances past the float range would rank every cluster alike.
    (KMeans(2), np.array([[2e20, 0], [1e20, 0]], np.float32), "Centroid values are out of the range.*rescale"),
])
def test_given_centroids_that_cannot_be_used(model, centroids, error):
    with pytest.raises(ValueError, match=error):
        model.with_centroids(centroids)


def _state(blobs, **options):
    function, (state,) = _trained(blobs, **options).__reduce__()
    assert function is quorla._kmeans_from_state
    return state


def _forged(blobs):
    medoids = _state(blobs, use_medoids=True)
    cases = {
        "not a dict": lambda s: list(s.items()),
        "missing field": lambda s: {k: v for k, v in s.items() if k != "labels"},
        "extra field": lambda s: {**s, "extra": 1},
        "future format": lambda s: {**s, "format": 4},
        "format 3 without its fields": lambda s: {**s, "format": 3, "release_gil": False},
        "format 1 with release_gil": lambda s: {**s, "format": 1, "release_gil": True},
        "format 2 without release_gil": lambda s: {**s, "format": 2},
        "release_gil as int": lambda s: {**s, "format": 2, "release_gil": 1},
        "bool as count": lambda s: {**s, "iterations": True},
        "count as bool": lambda s: {**s, "euclidean": 1},
        "negative count": lambda s: {**s, "max_balance_diff": -1},
        "zero clusters": lambda s: {**s, "n_clusters": 0},
        "huge clusters": lambda s: {**s, "n_clusters": 2**63},
        "seed out of range": lambda s: {**s, "seed": 2**64},
        "seed as float": lambda s: {**s, "seed": 1.0},
        "centroids as list": lambda s: {**s, "centroids": s["centroids"].tolist()},
        "centroids float64": lambda s: {**s, "centroids": s["centroids"].astype(np.float64)},
        "centroid rows": lambda s: {**s, "centroids": s["centroids"][:-1]},
        "centroid NaN": lambda s: {**s, "centroids": np.where(s["centroids"] == s["centroids"][0, 0], np.nan,
                                                                  s["centroids"]).astype(np.float32)},
        "centroid infinite": lambda s: {**s, "centroids": np.where(s["centroids"] == s["centroids"][0, 0], np.inf,
                                                                       s["centroids"]).astype(np.float32)},
        "centroids broadcast": lambda s: {**s, "centroids": np.broadcast_to(s["centroids"][:1], s["centroids"].shape)},
        "trained without centroids": lambda s: {**s, "centroids": None},
        "trained without labels": lambda s: {**s, "labels": None},
        "untrained with labels": lambda s: {**s, "trained": False},
        "labels int32": lambda s: {**s, "labels": s["labels"].astype(np.int32)},
        "labels 2-D": lambda s: {**s, "labels": s["labels"].reshape(1, -1)},
        "label beyond clusters": lambda s: {**s, "labels": np.full_like(s["labels"], 4)},
        "negative label": lambda s: {**s, "labels": np.full_like(s["labels"], -1)},
        "labels broadcast": lambda s: {**s, "labels": np.broadcast_to(np.int64(0), (2**40,))},
    }
    states = {name: (forge, _state(blobs)) for name, forge in cases.items()}
    warm = KMeans(4).with_initial_centroids(blobs[:4]).__reduce__()[1][0]
    assert (warm["format"], set(warm)) == (3, FORMAT_1_FIELDS | {"release_gil", "initial_centroids", "hierarchical"})
    states["hierarchical as int"] = (lambda s: {**s, "hierarchical": 1}, warm)
    for name, initial in {"initial rows": blobs[:3],
                          "initial NaN": np.full((4, 4), np.nan, np.float32),
                          "initial overflowing": np.full((4, 4), 2e20, np.float32)}.items():
        states[name] = (lambda s, initial=initial: {**s, "initial_centroids": initial}, warm)
    states["medoid mode without medoids"] = (lambda s: {**s, "medoid_indices": None}, medoids)
    states["untrained with medoids"] = (lambda s: {**s, "trained": False, "labels": None}, medoids)
    states["medoid beyond rows"] = (lambda s: {**s, "medoid_indices": np.full(4, 150, np.int64)}, medoids)
    states["medoids short"] = (lambda s: {**s, "medoid_indices": s["medoid_indices"][:3]}, medoids)
    return states


def test_forged_states_are_value_errors(blobs):
    for name, (forge, state) in _forged(blobs).items():
        with pytest.raises(ValueError, match="^Invalid KMeans state: "):
            quorla._kmeans_from_state(forge(state))
    assert quorla._kmeans_from_state(_state(blobs)).is_trained  # while the unforged state loads


VALUES = st.one_of(st.none(), st.booleans(), st.integers(-2, 2**65), st.floats(), st.text(max_size=3),
                   st.sampled_from([np.zeros((4, 4), np.float32), np.zeros(5, np.int64), np.zeros((0, 0), np.float32),
                                    np.arange(4, dtype=np.int64), np.full((4, 4), np.nan, np.float32)]))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(changes=st.dictionaries(st.sampled_from(["format", "n_clusters", "iterations", "max_balance_diff",
                                                "euclidean", "balanced", "verbose", "use_medoids", "seed",
                                                "trained", "centroids", "labels", "medoid_indices",
                                                "release_gil", "initial_centroids", "hierarchical"]),
                               VALUES, max_size=4))
def test_any_state_loads_or_is_refused(blobs, changes):
    state = {**_STATE, **changes}
    try:
        model = quorla._kmeans_from_state(state)
    except ValueError as error:
        assert str(error).startswith("Invalid KMeans state: ")
        return
    if model.is_trained:
        lists = model.assign(blobs[:, :model.centroids.shape[1]], 1)
        assert len(lists) == model.n_clusters


_STATE = KMeans(4).with_centroids(np.eye(4, dtype=np.float32)).__reduce__()[1][0]


@pytest.mark.parametrize("cut", [1, 10, 100, -1])
def test_truncated_pickles_fail_cleanly(blobs, cut):
    data = pickle.dumps(_trained(blobs, use_medoids=True))
    with pytest.raises(Exception):
        pickle.loads(data[:cut] if cut > 0 else data[:len(data) // 2])
