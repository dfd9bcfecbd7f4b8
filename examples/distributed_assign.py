"""Train on a sample, then assign a collection too large for one machine
across a Dask cluster.

    python examples/distributed_assign.py                 # a generated collection, local cluster
    python examples/distributed_assign.py shards/         # every .npy shard in a directory
    python examples/distributed_assign.py --scheduler tcp://host:8786 shards/

The common practice for an inverted-file index: the coarse quantiser is
trained on a sample that fits one machine, and the whole collection is then
searched chunk by chunk on the workers. The model travels to the workers by
pickle, sent to each of them once ahead of the tasks; each chunk comes back
as the ids of its k nearest clusters, from which the inverted lists are
built.
"""
import argparse
import contextlib
import pathlib
import time

import numpy as np

import quorla

DEFAULT_CLUSTERS = 1024
# A local cluster whose workers have all gone fails the waiting tasks after
# this long instead of waiting for a worker that never comes.
NO_WORKERS_TIMEOUT = "60s"
# search lets go of the interpreter lock while it computes, so the threads
# of one worker search their chunks at the same time, each on its own core;
# tasks on one worker share the scattered model, which search only reads.
THREADS_PER_WORKER = 2


def aligned(block):
    """The block as an aligned, C-contiguous float32 array, copied only if it
    is not one: arrays that arrive over the network can sit at any byte
    offset, and numpy.ascontiguousarray keeps such an offset."""
    return np.require(block, np.float32, ["C", "A"])


def collection_from_shards(directory):
    """One dask.array chunk per .npy shard, read lazily on the workers."""
    import dask
    import dask.array as da

    paths = sorted(pathlib.Path(directory).glob("*.npy"))
    if not paths:
        raise SystemExit(f"{directory}: no .npy shards")
    shapes = [np.load(path, mmap_mode="r").shape for path in paths]
    load = dask.delayed(lambda path: aligned(np.load(path)))
    return da.concatenate([da.from_delayed(load(path), shape, dtype=np.float32) for path, shape in zip(paths, shapes)])


def generated_collection(rows=2_000_000, dim=64, chunk=250_000, sources=256, seed=7):
    """A seeded Gaussian mixture, generated chunk by chunk on the workers."""
    import dask.array as da

    centres = np.random.default_rng(seed).standard_normal((sources, dim)).astype(np.float32) * 4

    def chunk_of(block_id, rows_in_chunk):
        rng = np.random.default_rng([seed, block_id])
        source = rng.integers(0, sources, size=rows_in_chunk)
        return centres[source] + rng.standard_normal((rows_in_chunk, dim), dtype=np.float32)

    sizes = [min(chunk, rows - start) for start in range(0, rows, chunk)]
    return da.map_blocks(lambda _, block_info=None: chunk_of(block_info[None]["chunk-location"][0],
                                                             block_info[None]["chunk-shape"][0]),
                         da.zeros((rows, dim), chunks=(tuple(sizes), dim), dtype=np.float32), dtype=np.float32)


def train_on_sample(collection, n_clusters, sample_rows, seed=0):
    """Rows drawn evenly from every chunk, gathered on this machine."""
    fraction = min(1.0, sample_rows / collection.shape[0])
    pick = lambda block: block[:: max(1, int(round(1 / fraction)))]  # noqa: E731
    sample = aligned(collection.map_blocks(pick, dtype=np.float32).compute())
    model = quorla.KMeans(n_clusters).with_euclidean(True).with_iterations(20).with_seed(seed)
    model.train(sample, None)
    return model


def nearest_clusters(model, collection, k, client=None):
    """The ids of each row's k nearest clusters, as a lazy (n, k) int64 array.

    With a client, the model is sent to every worker once, ahead of the
    tasks, and a worker that cannot load it fails the scatter with its
    error. Without one, the model travels inside every task like any other
    argument; a worker that cannot load a task's message drops its
    connection to the scheduler and closes, and the task is then left
    waiting for a worker.
    """
    k = min(k, model.n_clusters)
    shared = model if client is None else client.scatter(model, broadcast=True)
    return collection.map_blocks(lambda block, on_worker: on_worker.search(aligned(block), k)[1], shared,
                                 dtype=np.int64, chunks=(collection.chunks[0], (k,)))


def inverted_lists(ids, n_clusters):
    """Row numbers per cluster, ascending, from the first-choice ids."""
    order = np.argsort(ids[:, 0], kind="stable")
    bounds = np.searchsorted(ids[order, 0], np.arange(n_clusters + 1))
    return [order[bounds[c]:bounds[c + 1]] for c in range(n_clusters)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("shards", nargs="?", help="directory of .npy shards (default: a generated collection)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--clusters", type=int, default=DEFAULT_CLUSTERS)
    parser.add_argument("--k", type=int, default=1)
    parser.add_argument("--sample", type=int, default=200_000)
    args = parser.parse_args()

    import dask
    from dask.distributed import Client, LocalCluster

    # Both closed on the way out, an error included.
    with contextlib.ExitStack() as resources:
        cluster = args.scheduler
        if cluster is None:
            # A running scheduler reads this from its own configuration.
            with dask.config.set({"distributed.scheduler.no-workers-timeout": NO_WORKERS_TIMEOUT}):
                cluster = resources.enter_context(
                    LocalCluster(n_workers=2, threads_per_worker=THREADS_PER_WORKER, processes=True))
        client = resources.enter_context(Client(cluster))
        collection = collection_from_shards(args.shards) if args.shards else generated_collection()
        print(f"{collection.shape[0]:,} rows x {collection.shape[1]} in {collection.numblocks[0]} chunks, "
              f"{len(client.scheduler_info()['workers'])} workers")
        start = time.perf_counter()
        model = train_on_sample(collection, args.clusters, args.sample)
        print(f"trained {model.n_clusters} clusters on a sample in {time.perf_counter() - start:.1f} s")
        start = time.perf_counter()
        ids = nearest_clusters(model, collection, args.k, client).compute()
        print(f"searched every chunk on the workers in {time.perf_counter() - start:.1f} s")
        lists = inverted_lists(ids, model.n_clusters)
        sizes = np.array([len(rows) for rows in lists])
        print(f"inverted lists: {len(lists)}, sizes min {sizes.min()}, median {int(np.median(sizes))}, "
              f"max {sizes.max()}")


if __name__ == "__main__":
    main()
