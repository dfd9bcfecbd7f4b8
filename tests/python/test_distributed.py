"""The distributed examples on a Dask cluster of two processes with two
threads each: training on a sample and searching every chunk on the workers
(which search at once, on one scattered model), and a hierarchical training
whose fine level the workers train; the same answers as one process."""
import os

import numpy as np
import pytest

from conftest import SANITIZED, load_example

pytest.importorskip("dask.distributed")
pytestmark = pytest.mark.skipif(bool(SANITIZED), reason="worker processes cannot load a sanitizer build of the module")


def _example():
    return load_example("distributed_assign")


@pytest.fixture(scope="module")
def client():
    import dask
    from dask.distributed import Client, LocalCluster

    # A cluster that has lost every worker fails the test instead of hanging it.
    with dask.config.set({"distributed.scheduler.no-workers-timeout": "20s"}), \
            LocalCluster(n_workers=2, threads_per_worker=2, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        yield client


@pytest.mark.parametrize("scattered", [False, True], ids=["in every task", "scattered"])
def test_searching_chunks_on_two_workers_equals_one_process(tmp_path, client, scattered):
    example = _example()
    rng = np.random.default_rng(9)
    for shard in range(3):
        np.save(tmp_path / f"part{shard}.npy", rng.standard_normal((4000 + 500 * shard, 12)).astype(np.float32))
    for collection in (example.collection_from_shards(tmp_path),
                       example.generated_collection(rows=30_000, dim=12, chunk=7_000, sources=16)):
        # Centroids this large reach the workers as out-of-band buffers at any byte offset.
        model = example.train_on_sample(collection, n_clusters=example.DEFAULT_CLUSTERS, sample_rows=6_000)
        ids = example.nearest_clusters(model, collection, 3, client if scattered else None).compute()
        local = example.aligned(collection.compute())
        np.testing.assert_array_equal(ids, model.search(local, 3)[1])
        lists = example.inverted_lists(ids, model.n_clusters)
        assert sorted(np.concatenate(lists).tolist()) == list(range(len(local)))


def test_a_broadcast_model_answers_on_every_worker(client):
    from quorla import KMeans

    data = np.random.default_rng(4).standard_normal((3000, 16)).astype(np.float32)
    model = KMeans(256).with_seed(1)
    model.train(data, None)
    shared = client.scatter(model, broadcast=True)
    workers = sorted(client.scheduler_info()["workers"])
    assert sorted(client.who_has(shared)[shared.key]) == workers
    search = lambda on_worker, rows: on_worker.search(np.require(rows, np.float32, ["C", "A"]), 3)  # noqa: E731
    expected = model.search(data, 3)
    for worker in workers:
        answer = client.submit(search, shared, data, workers=[worker], pure=False).result()
        for got, want in zip(answer, expected):
            np.testing.assert_array_equal(got, want)


class _RefusedOnWorkers:
    """Loads only in the process that saved it, as a model would that the
    workers cannot read."""
    n_clusters = 4

    def __reduce__(self):
        return _load_in, (os.getpid(),)


def _load_in(pid):
    if os.getpid() != pid:
        raise ValueError("refused on a worker")
    return _RefusedOnWorkers()


def test_a_model_the_workers_cannot_load_ends_the_search_with_their_error(client):
    import dask.array as da

    collection = da.zeros((1000, 4), chunks=(250, 4), dtype=np.float32)
    with pytest.raises(Exception, match="refused on a worker"):
        _example().nearest_clusters(_RefusedOnWorkers(), collection, 1, client).compute()
    assert len(client.scheduler_info()["workers"]) == 2  # nor does it cost the cluster its workers


@pytest.mark.parametrize("euclidean", [True, False])
def test_a_fine_level_trained_on_the_workers_equals_one_process(client, euclidean):
    from dask.distributed import get_task_stream
    from quorla import KMeans

    example = load_example("distributed_hierarchical")
    data = example.clustered(rows=5000, dim=16, sources=30, seed=3)
    model = KMeans(128).with_seed(5).with_euclidean(euclidean).with_hierarchical(True)
    here = model.with_seed(5)
    here.train(data, None)
    with get_task_stream(client) as stream:
        there = example.train_on_workers(client, model, data)
    assert np.array_equal(there.centroids, here.centroids)
    assert np.array_equal(there.labels, here.labels)
    # Every fine training ran on the cluster, spread over both workers.
    trainings = [task for task in stream.data if task["key"].startswith("train_fine")]
    assert len(trainings) == len(model.fine_tasks(data, None))
    assert len({task["worker"] for task in trainings}) == 2


@pytest.mark.parametrize("from_file", [False, True], ids=["generated", "npy"])
def test_the_hierarchical_example_finds_both_trainings_identical(tmp_path, client, capsys, from_file):
    example = load_example("distributed_hierarchical")
    source = []
    if from_file:
        np.save(tmp_path / "rows.npy", example.clustered(rows=3000, dim=10, seed=2).astype(np.float64))
        source = [str(tmp_path / "rows.npy")]
    args = ["--rows", "4000", "--dim", "8", "--clusters", "100", "--check", "--scheduler", client.scheduler.address]
    assert example.main(source + args) is True
    assert f"{3000 if from_file else 4000:,} rows x {10 if from_file else 8} into 100 clusters, 2 workers" \
        in capsys.readouterr().out
