"""An inverted-file (IVF) nearest-neighbour index on quorla's clusters.

    python examples/ivf_index.py                          # scikit-learn's digits (1,797 x 64)
    python examples/ivf_index.py embeddings.npy --rows 100000 --lists 512
    python examples/ivf_index.py --synthetic --rows 50000 --dim 32

The data is split into a base set and held-out queries. The base set is
partitioned into lists (the clusters), and a query is answered by `search`
for its nearest lists (the probes) followed by exact distances to every row
of those lists. Each partition is compared with brute-force ground truth:
recall@k, and how many rows a query scans (mean and 99th percentile), at
1, 2, 4, 8, ... probes. The partitions are quorla's balanced clusters,
quorla's unbalanced ones, and faiss's k-means where faiss is installed.
Balancing bounds the worst case: with even lists no query scans a list
much longer than the average, where k-means alone leaves some lists many
times the average size.

Everything is Euclidean: the clustering, the probes and the exact distances.
For embeddings compared by cosine, normalise the rows first (--normalize);
Euclidean order on unit vectors is cosine order.

Without a .npy file the data is scikit-learn's bundled handwritten digits,
or with --synthetic (or without scikit-learn) a seeded Gaussian mixture
whose components have uneven sizes.
"""
import argparse
import sys
import time

import numpy as np

import quorla

# Queries per block of the brute-force ground truth, so that a block's
# float64 distance matrix stays a few hundred megabytes at a million rows.
TRUTH_BLOCK = 64


def synthetic(rows, dim, seed):
    """A mixture of Gaussians with Zipf-like component sizes: the uneven
    density that makes unbalanced lists uneven too."""
    rng = np.random.default_rng(seed)
    components = max(2, rows // 500)
    weights = 1.0 / np.arange(1, components + 1)
    source = rng.choice(components, size=rows, p=weights / weights.sum())
    centres = rng.standard_normal((components, dim)) * 3.0
    return (centres[source] + rng.standard_normal((rows, dim))).astype(np.float32)


def load_data(path=None, rows=None, dim=32, force_synthetic=False, seed=0):
    """(data, description): a .npy file, scikit-learn's digits, or the mixture."""
    if path is not None:
        data = np.load(path, mmap_mode="r")
        if data.ndim != 2:
            raise SystemExit(f"{path}: expected a 2-D array, got shape {data.shape}")
        data = np.ascontiguousarray(data[:rows], dtype=np.float32)
        return data, f"{path} ({len(data):,} x {data.shape[1]})"
    if not force_synthetic:
        try:
            from sklearn.datasets import load_digits
        except ImportError:
            pass
        else:
            data = np.ascontiguousarray(load_digits().data[:rows], dtype=np.float32)
            return data, f"scikit-learn digits ({len(data):,} x {data.shape[1]})"
    data = synthetic(rows or 20_000, dim, seed)
    return data, f"synthetic Gaussian mixture ({len(data):,} x {dim})"


def squared_distances(rows, query):
    """Exact squared distances in float64: the same rows give the same bits
    wherever they are computed, so ties are judged alike everywhere."""
    diff = rows.astype(np.float64) - query.astype(np.float64)
    return np.einsum("ij,ij->i", diff, diff)


def brute_force(base, queries, k):
    """The squared distance of every query's k-th nearest base row, by
    blocks of queries. A neighbour found counts when it is no farther than
    that, so rows tied with the k-th are not counted as misses."""
    base64 = base.astype(np.float64)
    base_norms = np.einsum("ij,ij->i", base64, base64)
    kth = np.empty(len(queries))
    for start in range(0, len(queries), TRUTH_BLOCK):
        block = queries[start:start + TRUTH_BLOCK].astype(np.float64)
        # ||q||^2 is the same for a whole row, so it does not change the order.
        keys = base_norms[None, :] - 2.0 * (block @ base64.T)
        nearest = np.argpartition(keys, k - 1, axis=1)[:, :k]
        for i, query in enumerate(queries[start:start + TRUTH_BLOCK]):
            kth[start + i] = squared_distances(base[nearest[i]], query).max()
    return kth


def quorla_lists(base, n_lists, balanced, window, iterations, seed):
    """(coarse model, lists): train returns each cluster's rows, the lists."""
    model = (quorla.KMeans(n_lists).with_euclidean(True).with_iterations(iterations).with_seed(seed)
             .with_balanced(balanced).with_max_balance_diff(window))
    lists = model.train(base, None)
    return model, [np.asarray(rows, dtype=np.int64) for rows in lists]


def faiss_lists(base, n_lists, iterations, seed):
    """faiss's k-means, each row listed under its nearest centroid. The
    probes then use quorla's search on faiss's centroids, so that the
    partitions alone differ."""
    import faiss

    kmeans = faiss.Kmeans(base.shape[1], n_lists, niter=iterations, seed=seed, verbose=False)
    kmeans.train(base)
    nearest = kmeans.index.search(base, 1)[1][:, 0]
    order = np.argsort(nearest, kind="stable")
    bounds = np.searchsorted(nearest[order], np.arange(n_lists + 1))
    lists = [order[bounds[i]:bounds[i + 1]] for i in range(n_lists)]
    model = quorla.KMeans(n_lists).with_euclidean(True).with_centroids(np.ascontiguousarray(kmeans.centroids))
    return model, lists


def evaluate(model, lists, base, queries, kth, probes, k):
    """{probes: (recall@k, mean rows scanned, 99th percentile)}."""
    results = {}
    for n_probes in probes:
        chosen = model.search(queries, n_probes)[1]
        found = 0
        scanned = np.empty(len(queries), dtype=np.int64)
        for q, query in enumerate(queries):
            rows = np.concatenate([lists[c] for c in chosen[q]])
            scanned[q] = len(rows)
            distances = squared_distances(base[rows], query)
            if len(rows) > k:
                distances = distances[np.argpartition(distances, k - 1)[:k]]
            found += int(np.sum(distances <= kth[q]))
        results[n_probes] = (found / (k * len(queries)), float(scanned.mean()),
                             float(np.percentile(scanned, 99)))
    return results


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("data", nargs="?", help="an (n, d) .npy array (default: scikit-learn's digits)")
    parser.add_argument("--rows", type=int, help="use the first ROWS rows (synthetic: generate ROWS)")
    parser.add_argument("--dim", type=int, default=32, help="synthetic data's dimensions (32)")
    parser.add_argument("--synthetic", action="store_true", help="the Gaussian mixture even if scikit-learn is there")
    parser.add_argument("--normalize", action="store_true", help="scale rows to unit length (cosine order)")
    parser.add_argument("--queries", type=int, default=200, help="held-out queries (200)")
    parser.add_argument("--lists", type=int, help="inverted lists (default: about the square root of the base size)")
    parser.add_argument("--window", type=int, default=4, help="balanced lists' allowed size spread (4)")
    parser.add_argument("--iterations", type=int, default=20, help="Lloyd iterations (20)")
    parser.add_argument("-k", type=int, default=10, help="neighbours per query (10)")
    parser.add_argument("--seed", type=int, default=0)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(argv)
    data, description = load_data(args.data, args.rows, args.dim, args.synthetic, args.seed)
    if args.normalize:
        data /= np.maximum(np.linalg.norm(data, axis=1, keepdims=True), np.finfo(np.float32).tiny)
    rng = np.random.default_rng(args.seed)
    order = rng.permutation(len(data))
    queries, base = data[order[:args.queries]], data[order[args.queries:]]
    n_lists = args.lists or max(1, int(round(np.sqrt(len(base)))))
    if len(base) < n_lists or len(base) < args.k:
        raise SystemExit(f"{len(base)} base rows are too few for {n_lists} lists and k = {args.k}")
    probes = [p for p in (2 ** i for i in range(20)) if p < n_lists] + [n_lists]

    print(f"quorla {quorla.__version__}: {description}; {len(base):,} base rows, {len(queries):,} queries, "
          f"{n_lists} lists, k = {args.k}, Euclidean")
    start = time.perf_counter()
    kth = brute_force(base, queries, args.k)
    print(f"brute-force ground truth in {time.perf_counter() - start:.2f} s")

    builders = {
        f"quorla balanced (window {args.window})":
            lambda: quorla_lists(base, n_lists, True, args.window, args.iterations, args.seed),
        "quorla unbalanced": lambda: quorla_lists(base, n_lists, False, args.window, args.iterations, args.seed),
    }
    try:
        import faiss  # noqa: F401
    except ImportError:
        print("faiss not installed")
    else:
        builders["faiss Kmeans"] = lambda: faiss_lists(base, n_lists, args.iterations, args.seed)

    results = {}
    print(f"| partition | build | list sizes min / max | probes | recall@{args.k} | rows scanned mean | p99 |")
    print("|---|---|---|---|---|---|---|")
    for name, build in builders.items():
        start = time.perf_counter()
        model, lists = build()
        elapsed = time.perf_counter() - start
        sizes = [len(rows) for rows in lists]
        results[name] = {"sizes": sizes, "probes": evaluate(model, lists, base, queries, kth, probes, args.k)}
        for n_probes, (recall, mean, p99) in results[name]["probes"].items():
            print(f"| {name} | {elapsed:.2f} s | {min(sizes)} / {max(sizes)} | {n_probes} | {recall:.3f} "
                  f"| {mean:,.0f} | {p99:,.0f} |")
    return results


if __name__ == "__main__":
    main(sys.argv[1:])
