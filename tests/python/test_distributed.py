"""The distributed example: train on a sample, search every chunk on the
workers of a Dask cluster of two processes with two threads each (which
search at once, on one scattered model), same answer as one process."""
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
