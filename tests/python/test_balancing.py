"""Balanced training and medoid mode from Python."""
import numpy as np
import pytest

from quorla import KMeans
from conftest import run_python


def sizes_of(lists):
    return [len(members) for members in lists]


def test_worked_example_of_six_points():
    result = run_python("""
import numpy as np, quorla
x = np.array([[0], [1], [2], [3], [10], [11]], np.float32)
m = quorla.KMeans(2).with_euclidean(True).with_balanced(True).with_max_balance_diff(1).with_verbose(True)
lists = m.train(x, None)
print(sorted(map(sorted, lists)))
print(sorted(m.centroids.ravel().tolist()))
""")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:25] == [line for line in lines[:25] if line.startswith("Iteration ")]
    assert lines[25] == "Balancing clusters..."
    assert lines[26].startswith("Balance iteration 1 | Cost: ") and lines[26].endswith(" | Max diff: 2.00")
    assert lines[27].startswith("Balance iteration 2 | Cost: ") and lines[27].endswith(" | Max diff: 0.00")
    assert lines[28] == "[[0, 4, 5], [1, 2, 3]]"
    assert lines[29] == str(sorted([float(np.float32(6) / np.float32(3.15)), float(np.float32(21) / np.float32(3.15))]))


def skewed(n=3000, dim=8, seed=0):
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((n, dim)).astype(np.float32)
    data[: int(n * 0.8), 0] += 12.0  # most points crowd one region
    return data


@pytest.mark.parametrize("euclidean", [False, True])
@pytest.mark.parametrize("medoids", [False, True])
@pytest.mark.parametrize("tolerance", [1, 5])
def test_balanced_training_ends_within_tolerance(euclidean, medoids, tolerance):
    data = skewed(1200 if medoids else 3000)
    m = (KMeans(12).with_euclidean(euclidean).with_balanced(True).with_use_medoids(medoids)
         .with_max_balance_diff(tolerance).with_iterations(5))
    lists = m.train(data, None)
    sizes = sizes_of(lists)
    assert sum(sizes) == len(data)
    assert max(sizes) - min(sizes) <= tolerance
    assert np.all(np.isfinite(m.centroids))
    if medoids:
        idx = m.medoid_indices
        assert len(idx) == 12 and all(0 <= i < len(data) for i in idx)
        np.testing.assert_array_equal(m.centroids, data[idx])  # balancing writes unscaled copies


@pytest.mark.parametrize("euclidean", [False, True])
@pytest.mark.parametrize("case", ["identical", "outlier", "one_per_point"])
def test_hazardous_inputs_finish_cleanly(euclidean, case):
    if case == "identical":
        data, k = np.ones((40, 3), np.float32), 4
    elif case == "outlier":
        data = np.random.default_rng(1).standard_normal((60, 3)).astype(np.float32)
        data[7] = 1e4
        k = 3
    else:
        data, k = np.random.default_rng(2).standard_normal((7, 3)).astype(np.float32), 7
    m = KMeans(k).with_euclidean(euclidean).with_balanced(True).with_max_balance_diff(1)
    lists = m.train(data, None)
    sizes = sizes_of(lists)
    assert sorted(i for l in lists for i in l) == list(range(len(data)))
    assert max(sizes) - min(sizes) <= 1
    assert np.all(np.isfinite(m.centroids))


def test_three_points_medoid_is_the_middle_one():
    for _ in range(5):  # whatever the draw
        m = KMeans(1).with_euclidean(True).with_use_medoids(True)
        m.train(np.array([[0], [1], [3]], np.float32), None)
        assert m.medoid_indices == [1]
        assert m.centroids.tolist() == [[1.0]]


def test_two_members_tie_to_the_lower_index():
    m = KMeans(1).with_euclidean(True).with_use_medoids(True)
    m.train(np.array([[5], [2]], np.float32), None)
    assert m.medoid_indices == [0]


@pytest.mark.parametrize("euclidean", [False, True])
def test_medoid_rows_equal_their_points(euclidean):
    data = np.random.default_rng(3).standard_normal((400, 5)).astype(np.float32) + 0.5
    m = KMeans(6).with_euclidean(euclidean).with_use_medoids(True).with_iterations(4)
    m.train(data, None)
    idx = m.medoid_indices
    assert len(idx) == 6 and len(set(idx)) == 6 and all(0 <= i < 400 for i in idx)
    expected = data[idx]
    if not euclidean:
        expected = expected / np.sqrt(np.sum(expected * expected, axis=1, dtype=np.float32))[:, None]
        np.testing.assert_allclose(m.centroids, expected, rtol=2e-6)
    else:
        np.testing.assert_array_equal(m.centroids, expected)


def test_medoid_indices_need_both_flags():
    data = np.random.default_rng(4).standard_normal((50, 2)).astype(np.float32)
    plain = KMeans(3)
    plain.train(data, None)
    assert plain.medoid_indices is None
    assert plain.with_use_medoids(True).medoid_indices == []
    assert KMeans(3).with_use_medoids(True).medoid_indices is None
