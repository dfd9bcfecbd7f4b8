"""Hierarchical training: a coarse and a fine level of clusters, then the
usual Lloyd iterations, through the API: lines and progress name the
levels, the levels stop as iterations do, balancing keeps its window, and
the cost is that of flat training."""
import numpy as np
import pytest

from quorla import KMeans

from conftest import run_python


def _data(seed=4):
    rng = np.random.default_rng(seed)
    centres = 6 * rng.standard_normal((40, 24)).astype(np.float32)
    return (centres[rng.integers(0, 40, 6000)] + rng.standard_normal((6000, 24))).astype(np.float32)


def _model(k=256, iterations=4):
    return KMeans(k).with_seed(3).with_euclidean(True).with_iterations(iterations).with_hierarchical(True)


def test_lines_and_progress_name_the_levels():
    result = run_python("""
import numpy as np, quorla
data = np.random.default_rng(1).standard_normal((2000, 8)).astype(np.float32)
seen = []
model = quorla.KMeans(100).with_seed(2).with_hierarchical(True).with_iterations(2).with_verbose(True)
model.with_progress(lambda phase, step, cost: seen.append((phase, step))).train(data, None)
print(seen)
""")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0].startswith("Coarse level: 10 clusters | Cost: ")
    assert lines[1].startswith("Fine level: 100 clusters in 10 groups | Cost: ")
    assert [line.split(" |")[0] for line in lines[2:4]] == ["Iteration 1/2", "Iteration 2/2"]
    assert lines[4] == "[('coarse', 1), ('fine', 1), ('iteration', 1), ('iteration', 2)]"


@pytest.mark.parametrize("phase", ["coarse", "fine"])
def test_a_failing_report_ends_the_training_at_a_level(phase):
    def stop(at, *_):
        if at == phase:
            raise KeyboardInterrupt
    model = _model().with_progress(stop)
    with pytest.raises(KeyboardInterrupt):
        model.train(_data(), None)
    assert not model.is_trained


def test_balanced_hierarchical_training_keeps_the_window():
    model = _model().with_balanced(True).with_max_balance_diff(4)
    lists = model.train(_data(), None)
    sizes = [len(points) for points in lists]
    assert max(sizes) - min(sizes) <= 4


def test_the_cost_is_flat_trainings():
    # The same iterations from a better start: no worse than a flat
    # training's cost, give or take a percent.
    data = _data()
    flat = KMeans(256).with_seed(3).with_euclidean(True).with_iterations(12)
    flat.train(data, None)
    hierarchical = _model(iterations=12)
    hierarchical.train(data, None)

    def cost(model):
        return float(np.mean(model.search(data, 1)[0], dtype=np.float64))
    assert cost(hierarchical) <= 1.01 * cost(flat)


@pytest.mark.parametrize("euclidean", [True, False])
def test_fine_tasks_trained_anywhere_stack_into_the_hierarchical_training(euclidean):
    data = _data()
    model = _model().with_euclidean(euclidean)
    whole = model.with_seed(3)
    whole.train(data, None)
    tasks = model.fine_tasks(data, None)
    rows = np.concatenate([task_rows for task_rows, _ in tasks])
    assert np.array_equal(np.sort(rows), np.arange(len(data)))
    assert sum(task.n_clusters for _, task in tasks) == 256
    # Each task alone, last first, on rows laid out column by column: what a
    # worker elsewhere would do.
    for task_rows, task in reversed(tasks):
        task.train(np.asfortranarray(data[task_rows]), None)
    start = np.vstack([task.centroids for _, task in tasks])
    warm = model.with_initial_centroids(start)
    warm.train(data, None)
    assert np.array_equal(warm.centroids, whole.centroids)
    assert np.array_equal(warm.labels, whole.labels)


@pytest.mark.parametrize("model, message", [
    (KMeans(256), "those of a hierarchical model"),
    (KMeans(32).with_hierarchical(True), "at least 64 clusters"),
    (_model().with_use_medoids(True), "cannot be medoids"),
])
def test_fine_tasks_refuse_what_has_no_fine_level(model, message):
    with pytest.raises(ValueError, match=message):
        model.fine_tasks(_data(), None)
