"""Train a hierarchical model with its fine level on the workers of a Dask
cluster.

    python examples/distributed_hierarchical.py                 # generated data, local cluster
    python examples/distributed_hierarchical.py points.npy --clusters 4096
    python examples/distributed_hierarchical.py --scheduler tcp://host:8786 --check

A hierarchical training clusters the data coarsely, splits every coarse
cluster into fine ones by a small training of its own rows, then refines all
of them together with the usual Lloyd iterations. The fine trainings are
independent of one another, so fine_tasks hands them out: the coarse level
is trained here, each fine training goes to a worker with only its rows,
and the stacked fine centroids start the refinement here. With the same
seed the result is that of training in one process, bit for bit.
"""
import argparse
import contextlib
import time

import numpy as np

import quorla

DEFAULT_CLUSTERS = 1024
# A local cluster whose workers have all gone fails the waiting tasks after
# this long instead of waiting for a worker that never comes.
NO_WORKERS_TIMEOUT = "60s"
# Each worker trains this many fine tasks at once, side by side in one
# process: the tasks let go of the interpreter lock while they train.
THREADS_PER_WORKER = 2


def aligned(block):
    """The block as an aligned, C-contiguous float32 array, copied only if it
    is not one: arrays that arrive over the network can sit at any byte
    offset, and numpy.ascontiguousarray keeps such an offset."""
    return np.require(block, np.float32, ["C", "A"])


def clustered(rows=200_000, dim=64, sources=256, seed=7):
    """A seeded Gaussian mixture."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((sources, dim)).astype(np.float32) * 4
    return centres[rng.integers(0, sources, size=rows)] + rng.standard_normal((rows, dim), dtype=np.float32)


def train_fine(task, block):
    """One fine training, on a worker: its centroids are all that comes back.
    Pass None for the threads, since the worker's pool may already exist."""
    task = task.with_release_gil(True)  # the worker's event loop keeps answering meanwhile
    task.train(aligned(block), None)
    return task.centroids


def fine_level_on_workers(client, model, data):
    """The stacked fine centroids, trained on the workers, in task order.

    Each task's rows are scattered alone rather than the whole data once:
    the tasks partition the rows, so every row crosses the network once,
    where data shared by all would reach every worker whole. Scattering
    places the blocks on the workers in turn, and each task then runs where
    its block is.
    """
    tasks = model.fine_tasks(data, None)
    futures = [client.submit(train_fine, task, client.scatter(data[rows], hash=False), pure=False)
               for rows, task in tasks]
    return np.vstack(client.gather(futures))


def train_on_workers(client, model, data):
    """The model trained from the fine level the workers trained; data stays
    here for the coarse level and the refinement, which need all of it."""
    trained = model.with_initial_centroids(fine_level_on_workers(client, model, data))
    trained.train(data, None)
    return trained


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", nargs="?", help="an (n, d) .npy array (default: a generated mixture)")
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--clusters", type=int, default=DEFAULT_CLUSTERS, help="at least 64")
    parser.add_argument("--rows", type=int, default=200_000, help="rows of the generated mixture")
    parser.add_argument("--dim", type=int, default=64, help="dimension of the generated mixture")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--check", action="store_true", help="also train in this process and compare")
    args = parser.parse_args(argv)

    import dask
    from dask.distributed import Client, LocalCluster

    data = aligned(np.load(args.data)) if args.data else clustered(args.rows, args.dim)
    model = quorla.KMeans(args.clusters).with_euclidean(True).with_seed(args.seed).with_hierarchical(True)
    # Both closed on the way out, an error included.
    with contextlib.ExitStack() as resources:
        cluster = args.scheduler
        if cluster is None:
            # A running scheduler reads this from its own configuration.
            with dask.config.set({"distributed.scheduler.no-workers-timeout": NO_WORKERS_TIMEOUT}):
                cluster = resources.enter_context(
                    LocalCluster(n_workers=2, threads_per_worker=THREADS_PER_WORKER, processes=True))
        client = resources.enter_context(Client(cluster))
        print(f"{data.shape[0]:,} rows x {data.shape[1]} into {model.n_clusters} clusters, "
              f"{len(client.scheduler_info()['workers'])} workers")
        start = time.perf_counter()
        fine = fine_level_on_workers(client, model, data)
        print(f"coarse level here, fine level on the workers: {time.perf_counter() - start:.2f} s")
    start = time.perf_counter()
    trained = model.with_initial_centroids(fine)
    trained.train(data, None)
    print(f"refined here in {time.perf_counter() - start:.2f} s")
    if args.check:
        start = time.perf_counter()
        model.train(data, None)
        same = np.array_equal(model.centroids, trained.centroids) and np.array_equal(model.labels, trained.labels)
        print(f"one process: {time.perf_counter() - start:.2f} s, centroids and labels "
              f"{'identical' if same else 'DIFFER'}")
        return same
    return True


if __name__ == "__main__":
    raise SystemExit(0 if main() else 1)
