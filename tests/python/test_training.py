"""train() from Python: results, errors, faults and layouts."""
import numpy as np
import pytest

from quorla import KMeans
from conftest import SANITIZED, is_panic, run_python


def assert_partition(lists, n, k):
    assert isinstance(lists, list) and len(lists) == k
    flat = [i for members in lists for i in members]
    assert sorted(flat) == list(range(n))
    for members in lists:
        assert isinstance(members, list)
        assert members == sorted(members)
        assert all(type(i) is int for i in members)


@pytest.mark.parametrize("euclidean", [False, True])
def test_train_returns_a_partition(blobs, euclidean):
    m = KMeans(3).with_euclidean(euclidean).with_iterations(10)
    lists = m.train(blobs, None)
    assert_partition(lists, len(blobs), 3)
    assert m.is_trained
    assert m.medoid_indices is None
    c = m.centroids
    assert c.shape == (3, 4) and c.dtype == np.float32 and c.flags.c_contiguous and type(c) is np.ndarray
    if not euclidean:
        np.testing.assert_allclose(np.linalg.norm(c, axis=1), 1.0, rtol=1e-5)


def test_labels_match_the_nearest_final_centroid(blobs):
    m = KMeans(5).with_euclidean(True).with_iterations(3)
    lists = m.train(blobs, None)
    c = m.centroids.astype(np.float64)
    d = ((blobs[:, None, :].astype(np.float64) - c[None]) ** 2).sum(-1)
    labels = np.empty(len(blobs), int)
    for cluster, members in enumerate(lists):
        labels[members] = cluster
    best = d.min(axis=1)
    # Away from near-ties the label is the nearest centroid.
    clear = np.sort(d, axis=1)[:, 1] - best > 1e-3
    assert np.all(d[np.arange(len(blobs)), labels][clear] == best[clear])


def test_second_train_fails_and_first_result_stays(blobs):
    m = KMeans(3)
    first = m.train(blobs, None)
    centroids = m.centroids
    for args in [(blobs, None), (blobs[:1], 3), (blobs.astype(np.float32)[:, :2], None)]:
        with pytest.raises(ValueError) as info:
            m.train(*args)
        assert str(info.value) == "Clustering has already been trained"
    assert_partition(first, len(blobs), 3)
    np.testing.assert_array_equal(m.centroids, centroids)


@pytest.mark.parametrize("rows, k", [(4, 5), (0, 1), (2, 3)])
def test_too_few_points(rows, k):
    m = KMeans(k)
    with pytest.raises(ValueError) as info:
        m.train(np.zeros((rows, 3), np.float32), None)
    assert str(info.value) == (
        f"Number of points ({rows}) must be at least as large as number of clusters ({k})")
    assert info.value.__cause__ is None and info.value.__context__ is None
    assert not m.is_trained and m.centroids is None
    m.train(np.arange(3 * k, dtype=np.float32).reshape(k, 3), None)  # exactly k rows is enough
    assert m.is_trained


def test_float64_is_refused_and_leaves_the_model_untrained(blobs):
    m = KMeans(2)
    with pytest.raises(TypeError):
        m.train(blobs.astype(np.float64), None)
    assert not m.is_trained
    m.train(data=blobs, num_threads=None)
    assert m.is_trained


def test_builder_on_trained_model_copies_results(blobs):
    m = KMeans(3).with_euclidean(True)
    m.train(blobs, None)
    copy = m.with_iterations(3)
    assert copy.is_trained and copy.iterations == 3
    np.testing.assert_array_equal(copy.centroids, m.centroids)
    with pytest.raises(ValueError, match="^Clustering has already been trained$"):
        copy.train(blobs, None)
    assert copy.with_use_medoids(True).medoid_indices == []


def test_centroids_are_fresh_copies(blobs):
    m = KMeans(2)
    m.train(blobs, None)
    a = m.centroids
    a[:] = 123.0
    b = m.centroids
    assert a is not b and not np.any(b == 123.0)


@pytest.mark.parametrize("euclidean", [False, True])
def test_nan_panics_and_the_model_can_be_trained_again(blobs, euclidean):
    bad = blobs.copy()
    bad[17, 2] = np.nan
    m = KMeans(3).with_euclidean(euclidean)
    with pytest.raises(BaseException) as info:
        m.train(bad, None)
    assert is_panic(info.value)
    assert "NaN" in str(info.value)
    assert not m.is_trained
    assert m.centroids is not None  # the reset state is kept
    m.train(blobs, None)
    assert m.is_trained


MODES = [dict(euclidean=e, use_medoids=m, balanced=b) for e in (False, True) for m in (False, True)
         for b in (False, True)]


def _model(k, mode):
    return (KMeans(k).with_euclidean(mode["euclidean"]).with_use_medoids(mode["use_medoids"])
            .with_balanced(mode["balanced"]))


# Squares past the float range made every inner-product centroid a zero row,
# and squares below it made every key tie: either way one cluster took all.
@pytest.mark.parametrize("scale", [1e30, 1e-25, 3e38])
@pytest.mark.parametrize("mode", MODES, ids=str)
def test_values_whose_squares_leave_float_range_are_refused(blobs, scale, mode):
    model = _model(3, mode)
    data = (blobs / np.abs(blobs).max() * scale).astype(np.float32)
    assert np.isfinite(data).all()
    with pytest.raises(ValueError, match="out of the range single-precision distances can handle.*rescale"):
        model.train(data, None)
    assert not model.is_trained and model.centroids is None


@pytest.mark.parametrize("scale", [1e-15, 1e17])
@pytest.mark.parametrize("euclidean", [False, True])
def test_values_just_inside_the_range_are_clustered(scale, euclidean):
    rng = np.random.default_rng(4)
    groups = [(1, 1, 1), (-1, 1, -1)]
    data = np.concatenate([np.array(g) + 0.01 * rng.standard_normal((40, 3)) for g in groups]) * scale
    lists = KMeans(2).with_euclidean(euclidean).train(data.astype(np.float32), None)
    assert sorted(lists) == [list(range(40)), list(range(40, 80))]


@pytest.mark.parametrize("k", [1, 3])
@pytest.mark.parametrize("mode", MODES, ids=str)
@pytest.mark.parametrize("value", [np.inf, -np.inf])
def test_an_infinite_value_is_refused_in_every_mode(blobs, k, mode, value):
    data = blobs.copy()
    data[17, 2] = value
    model = _model(k, mode)
    with pytest.raises(ValueError, match=r"^Data contains an infinite value \(row 17, column 2\)"):
        model.train(data, None)
    assert not model.is_trained and model.centroids is None
    trained = _model(k, mode)
    trained.train(blobs, None)
    with pytest.raises(ValueError, match=r"^Data contains an infinite value \(row 17, column 2\)"):
        trained.assign(data, 2)


def test_one_cluster_centroid_is_the_in_order_float32_mean():
    rng = np.random.default_rng(3)
    data = (rng.standard_normal((1001, 5)) * np.array([1e6, 1, 1e-3, 10, 1e4])).astype(np.float32)
    m = KMeans(1).with_euclidean(True).with_iterations(2)
    lists = m.train(data, None)
    assert lists == [list(range(1001))]
    expected = np.zeros(5, np.float32)
    for row in data:  # float32 accumulation in point order, not numpy's pairwise sum
        expected = (expected + row).astype(np.float32)
    expected = expected / np.float32(1001)
    np.testing.assert_array_equal(m.centroids[0], expected)


def _layouts(data):
    double = np.zeros((2 * len(data), data.shape[1] + 3), np.float32)
    double[::2, 1:-2] = data
    return {
        "fortran": np.asfortranarray(data),
        "every_second_row": double[::2, 1:-2],
        "reversed": data[::-1].copy()[::-1],
        "transposed": np.ascontiguousarray(data.T).T,
    }


@pytest.mark.parametrize("layout", ["fortran", "every_second_row", "reversed", "transposed"])
def test_strided_views_give_the_same_one_cluster_result(blobs, layout):
    view = _layouts(blobs)[layout]
    assert not view.flags.c_contiguous
    reference = KMeans(1).with_euclidean(True)
    reference.train(blobs, None)
    m = KMeans(1).with_euclidean(True)
    assert m.train(view, None) == [list(range(len(blobs)))]
    np.testing.assert_array_equal(m.centroids, reference.centroids)


def test_broadcast_input_trains():
    data = np.broadcast_to(np.arange(4, dtype=np.float32), (50, 4))
    m = KMeans(3).with_euclidean(True)
    lists = m.train(data, None)
    assert_partition(lists, 50, 3)
    used = m.centroids[[i for i, l in enumerate(lists) if l]]
    np.testing.assert_allclose(used, np.broadcast_to(np.arange(4), used.shape), rtol=1e-2)


def test_zero_columns_train_into_one_cluster():
    data = np.zeros((6, 0), np.float32)
    assert KMeans(3).with_euclidean(True).train(data, None)[0] == list(range(6))
    assert KMeans(3).train(data, None)[2] == list(range(6))


def test_duplicate_points_leave_no_cluster_empty_for_long():
    data = np.repeat(np.eye(4, dtype=np.float32) * 10, 25, axis=0)
    m = KMeans(4).with_euclidean(True)
    lists = m.train(data, None)
    assert_partition(lists, 100, 4)
    assert m.centroids.shape == (4, 4) and np.all(np.isfinite(m.centroids))


@pytest.mark.skipif(bool(SANITIZED), reason="AddressSanitizer's allocator aborts instead of failing an allocation")
def test_centroid_array_out_of_memory_is_memory_error():
    result = run_python("""
import ctypes, re, resource, numpy as np, quorla
data = np.random.default_rng(0).standard_normal((600, 4000), dtype=np.float32)
m = quorla.KMeans(600).with_iterations(1)
m.train(data, 1)
del data
ctypes.CDLL("libc.so.6").malloc_trim(0)  # no freed heap left to serve the array from
vm = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
resource.setrlimit(resource.RLIMIT_AS, (vm + (1 << 20), resource.RLIM_INFINITY))
try:
    m.centroids  # 9.6 MB: more than the limit leaves
    print("no error")
except BaseException as e:
    print(type(e).__name__)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(m.centroids.shape)
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["MemoryError", "(600, 4000)"]


# At a fixed point every later iteration repeats the last one; with nobody
# watching them, a count that could never be run out still returns at once,
# with the result a shorter count gives.
def test_fixed_point_returns_whatever_the_iteration_count():
    result = run_python("""
import numpy as np, quorla
data = np.random.default_rng(5).standard_normal((3000, 8)).astype(np.float32)
models = [quorla.KMeans(12).with_seed(4).with_euclidean(True).with_iterations(n) for n in (300, 2**64 - 1)]
for model in models:
    model.train(data, None)
same = all(np.array_equal(getattr(models[0], a), getattr(models[1], a)) for a in ("labels", "centroids"))
print("same", same)
""", timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "same True"
