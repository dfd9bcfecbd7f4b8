"""The scikit-learn estimator (module quorla_sklearn): scikit-learn's own
estimator checks, then what those checks cannot know about k-means."""
import numpy as np
import pytest

from conftest import run_python

pytest.importorskip("sklearn")

from sklearn.exceptions import NotFittedError  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import quorla  # noqa: E402
from quorla_sklearn import KMeans  # noqa: E402


@parametrize_with_checks([
    KMeans(),
    KMeans(metric="inner_product"),
    KMeans(balanced=True, max_balance_diff=1),
    KMeans(use_medoids=True, max_iter=3),
])
def test_sklearn_estimator_checks(estimator, check):
    check(estimator)


def blobs(n_per=60, dim=5, groups=4, seed=3):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((groups, dim)) * 10
    points = np.concatenate([c + rng.standard_normal((n_per, dim)) for c in centres])
    return points[rng.permutation(len(points))]


def reference(points, centres, metric):
    """Distances as transform defines them, and the cost of each row's own
    column, computed independently in float64."""
    points, centres = points.astype(np.float64), centres.astype(np.float64)
    if metric == "euclidean":
        squared = ((points[:, None, :] - centres[None, :, :]) ** 2).sum(axis=2)
        return np.sqrt(squared), squared
    negated = -(points @ centres.T)
    return negated, negated


@pytest.mark.parametrize("metric", ["euclidean", "inner_product"])
def test_pipeline_predicts_and_transforms_against_the_centres(metric):
    X = blobs()
    pipeline = make_pipeline(StandardScaler(), KMeans(4, metric=metric, random_state=0)).fit(X)
    model = pipeline[-1]
    scaled = pipeline[0].transform(X)
    distances, cost = reference(scaled, model.cluster_centers_, metric)

    assert np.array_equal(pipeline.predict(X), distances.argmin(axis=1))
    np.testing.assert_allclose(pipeline.transform(X), distances, rtol=1e-4, atol=1e-4)
    assert pipeline.transform(X).dtype == np.float32
    # Unbalanced, every training row ends in its nearest cluster.
    assert np.array_equal(model.labels_, pipeline.predict(X))
    own = cost[np.arange(len(X)), model.labels_].sum()
    assert model.inertia_ == pytest.approx(own, rel=1e-5)
    assert pipeline.score(X) == pytest.approx(-model.inertia_, rel=1e-5)
    if metric == "inner_product":
        np.testing.assert_allclose(np.linalg.norm(model.cluster_centers_, axis=1), 1, rtol=1e-5)


@pytest.mark.parametrize("window, use_medoids", [(1, False), (4, False), (2, True)])
def test_balanced_sizes_stay_within_the_window(window, use_medoids):
    # Uneven groups, so that nearest-centre labels alone are far from even.
    rng = np.random.default_rng(5)
    X = np.concatenate([rng.standard_normal((n, 3)) + 8 * i for i, n in enumerate([150, 40, 20, 30])])
    model = KMeans(6, balanced=True, max_balance_diff=window, use_medoids=use_medoids, random_state=1).fit(X)
    sizes = np.bincount(model.labels_, minlength=6)
    assert sizes.max() - sizes.min() <= window
    _, cost = reference(X.astype(np.float32), model.cluster_centers_, "euclidean")
    assert model.inertia_ == pytest.approx(cost[np.arange(len(X)), model.labels_].sum(), rel=1e-5)
    # Balancing trades cost for evenness; the nearest clusters cost no more.
    assert -model.score(X) <= model.inertia_ * (1 + 1e-6)


def test_grid_search_refits_with_a_thread_count_in_a_fresh_process():
    # The pool is sized once per process: the first fit sets it, and every
    # later fit of the search (with any count) must still work.
    result = run_python("""
        import os
        import numpy as np
        from sklearn.model_selection import GridSearchCV
        from quorla_sklearn import KMeans
        X = np.random.default_rng(0).standard_normal((300, 4))
        before = len(os.listdir("/proc/self/task"))
        search = GridSearchCV(KMeans(random_state=0), {"n_clusters": [2, 5, 9], "n_threads": [3, 1]},
                              cv=3, error_score="raise").fit(X)
        print(len(os.listdir("/proc/self/task")) - before)
        print(search.best_params_["n_clusters"], np.isfinite(search.cv_results_["mean_test_score"]).all())
    """)
    assert result.returncode == 0, result.stderr
    threads, best = result.stdout.split("\n")[:2]
    assert threads == "3"  # the first fit's count, the only one that can count
    # score is minus the cost, which more clusters lower.
    assert best == "9 True"


def test_grid_search_over_options_in_process():
    X = blobs(n_per=40)
    grid = {"metric": ["euclidean", "inner_product"], "balanced": [False, True], "n_threads": [None, 2]}
    search = GridSearchCV(KMeans(4, random_state=0), grid, cv=2, error_score="raise").fit(X)
    assert np.isfinite(search.cv_results_["mean_test_score"]).all()
    assert search.best_estimator_.n_clusters == 4
    assert np.array_equal(search.predict(X), search.best_estimator_.predict(X))


@pytest.mark.parametrize("state_a, state_b, equal", [
    (0, 0, True),
    (0, 1, False),
    (np.random.RandomState(4), np.random.RandomState(4), True),
    (np.random.RandomState(4), np.random.RandomState(5), False),
])
def test_random_state(state_a, state_b, equal):
    X = np.random.default_rng(2).standard_normal((400, 6))
    a = KMeans(12, max_iter=2, random_state=state_a).fit(X)
    b = KMeans(12, max_iter=2, random_state=state_b).fit(X)
    assert np.array_equal(a.cluster_centers_, b.cluster_centers_) == equal


@pytest.mark.parametrize("params, message", [
    ({"n_clusters": 11}, "n_samples=10 should be >= n_clusters=11"),
    ({"n_clusters": 0}, "n_clusters must be >= 1"),
    ({"max_iter": 0}, "max_iter must be >= 1"),
    ({"max_balance_diff": 0}, "max_balance_diff must be >= 1"),
    ({"metric": "cosine"}, "metric must be one of"),
    ({"n_threads": 0}, "n_threads"),
    ({"random_state": -1}, "random_state must be >= 0"),
    ({"init": "k-means++"}, 'init must be "random" or an array'),
    ({"init": np.zeros((2, 4))}, r"init has shape \(2, 4\), expected \(2, 3\)"),
])
def test_invalid_parameters_raise_value_error_at_fit(params, message):
    estimator = KMeans(**{"n_clusters": 2, **params})  # accepted until fit, as sklearn requires
    with pytest.raises(ValueError, match=message):
        estimator.fit(np.ones((10, 3)))


@pytest.mark.parametrize("metric", ["euclidean", "inner_product"])
def test_fit_starts_from_given_centres(metric):
    points = blobs()
    start = points[::60].astype(np.float64)  # a list's worth of float64 rows is converted
    fitted = KMeans(4, metric=metric, init=start.tolist(), max_iter=3, random_state=1).fit(points)
    core = quorla.KMeans(4).with_euclidean(metric == "euclidean").with_iterations(3).with_seed(1)
    core = core.with_initial_centroids(start.astype(np.float32))
    core.train(points.astype(np.float32), None)
    assert fitted.cluster_centers_.tobytes() == core.centroids.tobytes()


@pytest.mark.parametrize("method", ["predict", "transform", "score"])
def test_unfitted_raises_not_fitted_error(method):
    with pytest.raises(NotFittedError):
        getattr(KMeans(), method)(np.ones((10, 3)))


def test_data_out_of_float32_range_is_refused():
    X = np.ones((10, 3))
    X[0, 0] = 1e30  # finite in float64, but its squares overflow float32
    with pytest.raises(ValueError, match="rescale"):
        KMeans(2).fit(X)
