"""How many distances a bounded label step could leave uncomputed at large k,
under three ways of moving its lower bounds, measured in float64 on a
sample of points between two successive centroid sets of one training.

    python bench/bound_filters.py DATA.npy --rows 200000 --k 16384 [--sample 2000]

The centroids: a seeded hierarchical training of the first --rows rows with
one iteration (C1), then one more iteration warm-started from C1 (C2), so
C1 -> C2 is what the centroids move between two label steps of a training
that starts hierarchically. Each sample point is labelled against C1 and
keeps, per group of centroids (64 runs of equal size, split as the bounded
step splits them), the least distance to the group's other centroids; the
bound it needs beaten is its distance to its own centroid in C2. Printed,
as a share of k per point, the centroids whose distance must be computed:
  - group filter: every centroid of each group whose bound, moved down by
    the group's largest drift, no longer clears the point (today's step);
  - drift-sorted prefix: within such a group, only the centroids whose own
    drift breaks the bound, rounded up to whole panels of 16, as a group
    ordered by drift would give them;
  - local filter: those centroids one by one;
  - per-centroid bounds: a bound for every centroid (memory n x k), the
    least any bound could do.
"""
import argparse

import numpy as np

import quorla

GROUPS = 64
PANEL = 16


def split(centroids, members, size):
    """Runs of `size` close together: each split cuts along the line through
    two far-apart members at a count that keeps both sides whole runs."""
    if len(members) <= size:
        return [members]
    left = (len(members) + size - 1) // size // 2 * size
    rows = centroids[members]
    a = members[np.argmax(((rows - rows[0]) ** 2).sum(1))]
    b = members[np.argmax(((rows - centroids[a]) ** 2).sum(1))]
    ordered = members[np.argsort((rows - centroids[a]) @ (centroids[b] - centroids[a]), kind="stable")]
    return split(centroids, ordered[:left], size) + split(centroids, ordered[left:], size)


def distances(points, centroids):
    squared = (points**2).sum(1)[:, None] + (centroids**2).sum(1)[None] - 2 * points @ centroids.T
    return np.sqrt(np.maximum(squared, 0.0))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("data")
    parser.add_argument("--rows", type=int, default=200000)
    parser.add_argument("--k", type=int, default=16384)
    parser.add_argument("--sample", type=int, default=2000)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()

    x = np.ascontiguousarray(np.load(args.data, mmap_mode="r")[: args.rows], dtype=np.float32)
    first = quorla.KMeans(args.k).with_iterations(1).with_seed(3).with_hierarchical(True)
    first.train(x, args.threads)
    c1 = np.array(first.centroids)
    second = quorla.KMeans(args.k).with_iterations(1).with_seed(3).with_initial_centroids(c1)
    second.train(x, None)
    c2 = np.array(second.centroids, dtype=np.float64)
    c1 = c1.astype(np.float64)

    groups = split(c1, np.arange(args.k), args.k // GROUPS)
    drift = np.sqrt(((c2 - c1) ** 2).sum(1))
    group_drift = np.array([drift[g].max() for g in groups])
    print(f"drift: median {np.median(drift):.4f}, 90th percentile {np.percentile(drift, 90):.4f}, "
          f"max {drift.max():.4f}; a group's largest, median {np.median(group_drift):.4f}")

    sample = x[np.random.default_rng(0).choice(len(x), args.sample, replace=False)].astype(np.float64)
    before, after = distances(sample, c1), distances(sample, c2)
    own = before.argmin(1)
    needed = after[np.arange(len(sample)), own]
    counts = dict.fromkeys(["group filter", "drift-sorted prefix", "local filter", "per-centroid bounds"], 0)
    for i in range(len(sample)):
        others = before[i].copy()
        others[own[i]] = np.inf
        for g, members in enumerate(groups):
            bound = others[members].min()
            if bound - group_drift[g] >= needed[i]:
                continue
            counts["group filter"] += len(members)
            broken = np.count_nonzero(bound - drift[members] < needed[i])
            counts["local filter"] += broken
            counts["drift-sorted prefix"] += -(-broken // PANEL) * PANEL
        counts["per-centroid bounds"] += np.count_nonzero(others - drift < needed[i])
    for name, count in counts.items():
        print(f"{name}: {count / len(sample) / args.k:.4f} of k per point")


if __name__ == "__main__":
    main()
