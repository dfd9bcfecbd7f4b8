"""The distributed example: train on a sample, search every chunk on the
workers of a two-process Dask cluster, same answer as one process."""
import importlib.util
import pathlib

import numpy as np
import pytest

from conftest import SANITIZED

pytest.importorskip("dask.distributed")
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "distributed_assign.py"


def _example():
    found = importlib.util.spec_from_file_location("distributed_assign", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


@pytest.mark.skipif(bool(SANITIZED), reason="worker processes cannot load a sanitizer build of the module")
def test_searching_chunks_on_two_workers_equals_one_process(tmp_path):
    from dask.distributed import Client, LocalCluster

    example = _example()
    rng = np.random.default_rng(9)
    for shard in range(3):
        np.save(tmp_path / f"part{shard}.npy", rng.standard_normal((4000 + 500 * shard, 12)).astype(np.float32))
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        for collection in (example.collection_from_shards(tmp_path),
                           example.generated_collection(rows=30_000, dim=12, chunk=7_000, sources=16)):
            model = example.train_on_sample(collection, n_clusters=24, sample_rows=6_000)
            ids = example.nearest_clusters(model, collection, 3).compute()
            local = example.aligned(collection.compute())
            np.testing.assert_array_equal(ids, model.search(local, 3)[1])
            lists = example.inverted_lists(ids, model.n_clusters)
            assert sorted(np.concatenate(lists).tolist()) == list(range(len(local)))
