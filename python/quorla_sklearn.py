"""A scikit-learn estimator around quorla's k-means.

    from quorla_sklearn import KMeans
    model = KMeans(n_clusters=256, balanced=True, random_state=0).fit(X)

``KMeans`` follows ``sklearn.cluster.KMeans``: ``fit``, ``predict``,
``fit_predict``, ``transform``, ``fit_transform``, ``score``, and the fitted
attributes ``cluster_centers_``, ``labels_``, ``inertia_``, ``n_iter_``,
``n_features_in_`` (and ``feature_names_in_`` for data frames). It works in
Pipeline, GridSearchCV, clone and pickle like any other estimator.

This module lives beside the ``quorla`` extension rather than inside it,
because the extension is a single module and cannot hold a submodule.
scikit-learn is needed only here: ``pip install quorla[sklearn]``.
"""
import numbers

import numpy as np
from sklearn.base import BaseEstimator, ClassNamePrefixFeaturesOutMixin, ClusterMixin, TransformerMixin
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_is_fitted, validate_data

import quorla

__all__ = ["KMeans"]

_METRICS = ("euclidean", "inner_product")

# quorla's worker pool is process-wide and its size can be set only once;
# a later training that asks for a count fails with this text.
_POOL_ALREADY_SET = "global thread pool has already been initialized"
# Any finished training has fixed the pool, so later ones stop asking.
_pool_fixed = False

# Rows per block when costs are computed in NumPy, so that the temporary
# differences stay a few megabytes whatever the data size.
_COST_BLOCK = 16384


def _train(model, X, n_threads):
    """Trains with the requested pool size if the pool is still unset, and
    with the pool as it is otherwise: a second fit (GridSearchCV, clone,
    refit) must not fail just because the pool already exists."""
    global _pool_fixed
    if n_threads is not None and not _pool_fixed:
        try:
            model.train(X, n_threads)
            _pool_fixed = True
            return
        except ValueError as error:
            if _POOL_ALREADY_SET not in str(error):
                raise
            # The pool check fails before any work, leaving the model untrained.
    model.train(X, None)
    _pool_fixed = True


def _check_int(name, value, low):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int, got {value!r}")
    if value < low:
        raise ValueError(f"{name} must be >= {low}, got {value}")
    return int(value)


class KMeans(ClassNamePrefixFeaturesOutMixin, TransformerMixin, ClusterMixin, BaseEstimator):
    """K-means clustering by quorla, with optional balanced cluster sizes
    and medoid centroids.

    Parameters
    ----------
    n_clusters : int, default=8
        Number of clusters; fitting needs at least as many samples.
    max_iter : int, default=25
        Lloyd iterations (quorla's ``with_iterations``). quorla runs exactly
        this many; one that changes nothing ends the work early with the same
        result, so there is no ``tol``.
    metric : {"euclidean", "inner_product"}, default="euclidean"
        "euclidean" minimises squared Euclidean distances as
        ``sklearn.cluster.KMeans`` does; "inner_product" maximises inner
        products with unit-length centroids (quorla's default mode, suited to
        normalised embeddings).
    balanced : bool, default=False
        Even out cluster sizes after the iterations (``with_balanced``).
        Then ``labels_`` are the balanced clusters, which need not be the
        nearest ones, while ``predict`` always names the nearest.
    max_balance_diff : int, default=16
        Largest allowed difference between the biggest and the smallest
        cluster when balancing (``with_max_balance_diff``), at least 1.
    use_medoids : bool, default=False
        Every centroid is a training sample (``with_use_medoids``).
    random_state : int, RandomState instance or None, default=None
        An int (0 to 2**64 - 1) seeds every random draw of training
        (``with_seed``), so equal data give equal results. A RandomState
        gives the seed it draws. None leaves training seeded by the operating
        system (NumPy's global generator is not consulted).
    init : "random" or array-like of shape (n_clusters, n_features), default="random"
        "random" starts from distinct samples drawn at random; an array
        starts from these rows (quorla's ``with_initial_centroids``), used as
        they are (not rescaled in "inner_product" mode), so that a fit can
        start where another stopped. There is no "k-means++".
    n_threads : int or None, default=None
        Size of quorla's process-wide worker pool; -1 means one per
        available processor. The pool is sized once per process: only the
        first training in the process can set it, and later fits (and every
        fit after the pool was created some other way) use it as it is,
        whatever they ask for. None uses the pool as it is, or creates it
        with quorla's automatic size (``RAYON_NUM_THREADS`` or the
        processors available).

    Attributes
    ----------
    cluster_centers_ : ndarray of shape (n_clusters, n_features), float32
    labels_ : ndarray of shape (n_samples,), int64
        The cluster of every training sample (after balancing, if on).
    inertia_ : float
        The cost of ``labels_``: the sum of squared Euclidean distances of
        the samples to their cluster centres ("euclidean"), or the sum of
        their negated inner products with them ("inner_product").
    n_iter_ : int
        Lloyd iterations run, which is ``max_iter``.
    n_features_in_ : int
    feature_names_in_ : ndarray of str, only when fitted on named columns

    Notes
    -----
    Data is converted once to a C-contiguous float32 array and every
    computation is in single precision, so ``transform`` returns float32
    whatever the input dtype. In "inner_product" mode ``transform`` gives
    the negated inner products, so that in both modes smaller means nearer,
    ``predict`` is the column of the smallest value, and ``score`` is minus
    the cost of the nearest clusters.
    """

    def __init__(self, n_clusters=8, *, max_iter=25, metric="euclidean", balanced=False,
                 max_balance_diff=16, use_medoids=False, random_state=None, init="random", n_threads=None):
        self.n_clusters = n_clusters
        self.max_iter = max_iter
        self.metric = metric
        self.balanced = balanced
        self.max_balance_diff = max_balance_diff
        self.use_medoids = use_medoids
        self.random_state = random_state
        self.init = init
        self.n_threads = n_threads

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        # Every computation is in float32, so that is the dtype transform keeps.
        tags.transformer_tags.preserves_dtype = ["float32"]
        return tags

    def _seed(self):
        if self.random_state is None:
            return None
        if isinstance(self.random_state, numbers.Integral) and not isinstance(self.random_state, bool):
            return _check_int("random_state", self.random_state, 0)
        # A RandomState (or anything check_random_state accepts) gives a
        # seed, as sklearn's own estimators draw theirs.
        return int(check_random_state(self.random_state).randint(np.iinfo(np.int32).max))

    def _initial_centroids(self, n_clusters, n_features):
        if isinstance(self.init, str):
            if self.init != "random":
                raise ValueError(f'init must be "random" or an array of initial centroids, got {self.init!r}')
            return None
        centres = np.ascontiguousarray(self.init, dtype=np.float32)
        if centres.shape != (n_clusters, n_features):
            raise ValueError(f"init has shape {centres.shape}, expected ({n_clusters}, {n_features})")
        return centres

    def _quorla_model(self, n_samples, n_features):
        n_clusters = _check_int("n_clusters", self.n_clusters, 1)
        if n_samples < n_clusters:
            raise ValueError(f"n_samples={n_samples} should be >= n_clusters={n_clusters}.")
        if self.metric not in _METRICS:
            raise ValueError(f"metric must be one of {_METRICS}, got {self.metric!r}")
        n_threads = self.n_threads
        if n_threads is not None:
            n_threads = 0 if n_threads == -1 else _check_int("n_threads (None, -1 or a count)", n_threads, 1)
        model = (quorla.KMeans(n_clusters)
                 .with_iterations(_check_int("max_iter", self.max_iter, 1))
                 .with_euclidean(self.metric == "euclidean")
                 .with_balanced(bool(self.balanced))
                 .with_max_balance_diff(_check_int("max_balance_diff", self.max_balance_diff, 1))
                 .with_use_medoids(bool(self.use_medoids))
                 .with_seed(self._seed())
                 .with_initial_centroids(self._initial_centroids(n_clusters, n_features))
                 # GridSearchCV and joblib's threading backend fit models on
                 # several threads; they run side by side only without the lock.
                 .with_release_gil(True))
        return model, n_threads

    def _fit(self, X):
        model, n_threads = self._quorla_model(*X.shape)
        _train(model, X, n_threads)
        self._model = model
        self.cluster_centers_ = model.centroids
        self.labels_ = model.labels
        self.inertia_ = self._cost(X, self.labels_)
        self.n_iter_ = model.iterations
        self._n_features_out = self.cluster_centers_.shape[0]
        return self

    def _cost(self, X, labels):
        """The cost of the given labels, summed in float64 block by block."""
        total = 0.0
        centres = self.cluster_centers_
        for start in range(0, X.shape[0], _COST_BLOCK):
            rows = X[start:start + _COST_BLOCK]
            own = centres[labels[start:start + _COST_BLOCK]]
            if self.metric == "euclidean":
                diff = (rows - own).astype(np.float64)
                total += float(np.einsum("ij,ij->", diff, diff))
            else:
                total -= float(np.einsum("ij,ij->", rows.astype(np.float64), own.astype(np.float64)))
        return total

    def _validate(self, X, reset):
        return validate_data(self, X, dtype=np.float32, order="C", reset=reset)

    def fit(self, X, y=None):
        """Clusters X, of shape (n_samples, n_features). y is ignored."""
        return self._fit(self._validate(X, reset=True))

    def fit_predict(self, X, y=None):
        """Fits and returns ``labels_``. y is ignored."""
        return self.fit(X).labels_

    def fit_transform(self, X, y=None):
        """Fits and returns ``transform(X)``, converting X only once. y is ignored."""
        X = self._validate(X, reset=True)
        return self._fit(X)._transform(X)

    def predict(self, X):
        """The nearest cluster of every row, as int64; ties go to the lower index."""
        check_is_fitted(self)
        X = self._validate(X, reset=False)
        return self._model.search(X, 1)[1][:, 0]

    def transform(self, X):
        """Distances to every cluster centre, float32 of shape (n_samples,
        n_clusters): Euclidean distances ("euclidean"), or negated inner
        products ("inner_product")."""
        check_is_fitted(self)
        return self._transform(self._validate(X, reset=False))

    def _transform(self, X):
        values, clusters = self._model.search(X, self.cluster_centers_.shape[0])
        if self.metric == "euclidean":
            values = np.sqrt(np.maximum(values, 0, out=values), out=values)
        else:
            values = np.negative(values, out=values)
        out = np.empty_like(values)
        np.put_along_axis(out, clusters, values, axis=1)
        return out

    def score(self, X, y=None):
        """Minus the cost of X with every row in its nearest cluster (the
        opposite of ``inertia_`` on X when unbalanced). y is ignored."""
        check_is_fitted(self)
        X = self._validate(X, reset=False)
        return -self._cost(X, self._model.search(X, 1)[1][:, 0])
