"""Cluster a data set with quorla and show what comes back.

    python examples/quickstart.py              # built-in Gaussian mixture
    python examples/quickstart.py points.npy   # your own (n, d) array

The built-in data set is 300,000 float32 points in 64 dimensions drawn from a
seeded mixture of 200 Gaussians; a tenth of it is held out and assigned to
its two nearest clusters after training. The same points are then split
again into balanced clusters, whose sizes differ by at most BALANCE_WINDOW,
and two held-out points are looked up with `search`.
"""
import sys
import time

import numpy as np

import quorla

# Largest allowed difference between cluster sizes in the balanced run.
BALANCE_WINDOW = 16


def builtin_data(n=300_000, dim=64, n_sources=200, seed=1234):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((n_sources, dim)).astype(np.float32) * 4.0
    source = rng.integers(0, n_sources, size=n)
    return (centres[source] + rng.standard_normal((n, dim), dtype=np.float32)).astype(np.float32)


def load(argv):
    if len(argv) > 1:
        data = np.load(argv[1])
        if data.ndim != 2:
            sys.exit(f"{argv[1]}: expected a 2-D array, got shape {data.shape}")
        return np.ascontiguousarray(data, dtype=np.float32), argv[1]
    return builtin_data(), "built-in Gaussian mixture"


def progress_reporter(iterations):
    """A progress callable: a tqdm bar when tqdm is installed, plain lines
    otherwise. quorla calls it after every iteration (and balancing pass)."""
    try:
        from tqdm import tqdm
    except ImportError:
        return lambda phase, step, cost: print(f"  {phase} {step}: cost {cost:.4f}", flush=True)
    bar = tqdm(total=iterations, desc="training", unit="it")

    def report(phase, step, cost):
        bar.set_postfix(cost=f"{cost:.4f}")
        bar.update(1)
        if phase == "iteration" and step == iterations:
            bar.close()
    return report


def main(argv):
    data, name = load(argv)
    rng = np.random.default_rng(0)
    order = rng.permutation(len(data))
    n_held = max(1, len(data) // 10)
    held_out, train = data[order[:n_held]], data[order[n_held:]]
    n_clusters = int(min(256, max(1, len(train) // 39)))

    print(f"quorla {quorla.__version__}: {len(train):,} points x {data.shape[1]} dims ({name}), "
          f"{n_clusters} clusters")
    iterations = 20
    model = (quorla.KMeans(n_clusters).with_euclidean(True).with_iterations(iterations).with_seed(7)
             .with_progress(progress_reporter(iterations)))
    start = time.perf_counter()
    clusters = model.train(train, None)
    elapsed = time.perf_counter() - start

    sizes = np.array([len(members) for members in clusters])
    centroids = model.centroids
    labels = model.labels
    cost = float(np.mean(np.sum((train - centroids[labels]) ** 2, axis=1)))
    print(f"trained in {elapsed:.2f} s ({elapsed / model.iterations * 1000:.1f} ms per iteration, "
          "the progress reports' costs included)")
    print(f"cluster sizes: min {sizes.min()}, median {int(np.median(sizes))}, max {sizes.max()}, "
          f"empty {int(np.sum(sizes == 0))}")
    print(f"mean squared distance to the assigned centroid: {cost:.4f}")

    start = time.perf_counter()
    nearest = model.assign(held_out, 2)
    elapsed = time.perf_counter() - start
    listed = sum(len(members) for members in nearest)
    print(f"assigned {len(held_out):,} held-out points to their 2 nearest clusters in {elapsed:.2f} s "
          f"({listed:,} memberships)")
    first = [c for c, members in enumerate(nearest) if members and members[0] == 0]
    print(f"held-out point 0 belongs to clusters {first}")

    distances, nearest_clusters = model.search(held_out[:2], 3)
    for row in range(len(nearest_clusters)):
        pairs = ", ".join(f"{c} ({d:.2f})" for c, d in zip(nearest_clusters[row], distances[row]))
        print(f"search: held-out point {row}'s 3 nearest clusters (squared distance): {pairs}")

    # The same training with a balancing phase after the iterations.
    balanced = (quorla.KMeans(n_clusters).with_euclidean(True).with_iterations(iterations).with_seed(7)
                .with_balanced(True).with_max_balance_diff(BALANCE_WINDOW))
    start = time.perf_counter()
    balanced_clusters = balanced.train(train, None)
    elapsed = time.perf_counter() - start
    balanced_sizes = np.array([len(members) for members in balanced_clusters])
    balanced_cost = float(np.mean(np.sum((train - balanced.centroids[balanced.labels]) ** 2, axis=1)))
    print(f"balanced (window {BALANCE_WINDOW}) in {elapsed:.2f} s, iterations included: sizes min/median/max "
          f"{sizes.min()}/{int(np.median(sizes))}/{sizes.max()} -> "
          f"{balanced_sizes.min()}/{int(np.median(balanced_sizes))}/{balanced_sizes.max()}, "
          f"cost {cost:.4f} -> {balanced_cost:.4f} ({(balanced_cost / cost - 1) * 100:+.1f}%)")


if __name__ == "__main__":
    main(sys.argv)
