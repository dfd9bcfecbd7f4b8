"""Whole trainings of quorla and its peers on the same rows, side by side.

    python bench/peers_train.py DATA.npy --rows 40960 --k 1024 --iterations 25 [--threads 2]
                                [--metric euclidean|inner] [--methods ...] [--same-start] [--cost-rows R]

Every method runs in a fresh process on the first ROWS rows of DATA.npy (a
float32 (n, d) file, such as the caches of bench/embeddings.py and
bench/token_vectors.py), with the same thread count pinned for OpenMP and
OpenBLAS, for a fixed number of iterations and no early stop. The cost is
one measure for all, computed the same way in every process: the mean
squared distance to the nearest returned centroid (Euclidean), or the mean
largest dot product (inner product, higher is better).

Methods (those whose package is missing are skipped, and said so):
  quorla            automatic screens (the default)
  quorla-plain      QUORLA_SCREEN=off
  quorla-dimensions QUORLA_SCREEN=dimensions: every full step and refresh
                    through the dimension screen
  quorla-hierarchical  with_hierarchical(True): coarse and fine levels
                    (10 iterations each), then --iterations refining ones
  quorla-no-bf16    QUORLA_SCREEN=no-bf16: the automatic choice as on a CPU
                    without a bf16 unit (with QUORLA_KERNEL_LEVEL=avx2, what
                    an AVX2-only CPU runs by default)
  faiss             faiss.Kmeans over every row (max_points_per_centroid = n)
  onedal            scikit-learn-intelex KMeans, Lloyd, tol 0 (Euclidean only)
  superkmeans       SuperKMeans flat: every row, no early stop (Euclidean only)
  superkmeans-own   SuperKMeans with its own defaults: it samples rows, stops
                    early and may switch to its hierarchical variant
With --same-start every method starts from the same k rows, drawn once
(seeded) and scaled to unit length for inner products: quorla through
with_initial_centroids, faiss through train's init_centroids, oneDAL
through init. The runs then do the same Lloyd iterations and their costs
should agree closely; SuperKMeans takes no starting centroids and is left
out.
SuperKMeans comes from the peers' build script (build_superkmeans.sh PYTHON).
Prints a Markdown table with the CPU's model name and quorla's kernel
level; times are the whole training call, data loading excluded. Set
QUORLA_KERNEL_LEVEL=avx2 to measure the AVX2 level on an AVX-512 machine
(the peers keep theirs).
"""
import argparse
import json
import os
import subprocess
import sys
import time

from suite import cost  # one cost for every benchmark

METHODS = ["quorla", "quorla-plain", "quorla-dimensions", "quorla-no-bf16", "quorla-hierarchical", "faiss", "onedal", "superkmeans", "superkmeans-own"]
EUCLIDEAN_ONLY = {"onedal", "superkmeans", "superkmeans-own"}


def child(task):
    import numpy as np
    data = np.ascontiguousarray(np.load(task["data"], mmap_mode="r")[:task["rows"]], dtype=np.float32)
    n, d = data.shape
    k, its, threads, method = task["k"], task["iterations"], task["threads"], task["method"]
    euclidean = task["metric"] == "euclidean"
    initial = None
    if task["same_start"]:
        initial = data[np.sort(np.random.default_rng(1).choice(n, k, replace=False))].copy()
        if not euclidean:
            initial /= np.linalg.norm(initial, axis=1, keepdims=True)
    start = time.perf_counter()
    if method.startswith("quorla"):
        import quorla
        model = (quorla.KMeans(k).with_seed(1).with_euclidean(euclidean).with_iterations(its)
                 .with_initial_centroids(initial).with_hierarchical(method == "quorla-hierarchical"))
        model.train(data, threads)
        centroids = model.centroids
    elif method == "faiss":
        import faiss
        faiss.omp_set_num_threads(threads)
        km = faiss.Kmeans(d, k, niter=its, seed=1, spherical=not euclidean, max_points_per_centroid=n,
                          min_points_per_centroid=1, verbose=False)
        km.train(data, init_centroids=initial)
        centroids = km.centroids
    elif method == "onedal":
        from sklearnex.cluster import KMeans
        km = KMeans(n_clusters=k, max_iter=its, tol=0.0, n_init=1, init="random" if initial is None else initial,
                    random_state=1, algorithm="lloyd").fit(data)
        centroids = km.cluster_centers_
    else:
        from superkmeans import SuperKMeans
        if method == "superkmeans":
            km = SuperKMeans(n_clusters=k, dimensionality=d, hierarchical=False, iters=its, sampling_fraction=1.0,
                             early_termination=False, n_threads=threads, seed=42)
        else:
            km = SuperKMeans(n_clusters=k, dimensionality=d, n_threads=threads, seed=42)
        centroids = km.train(data)
    seconds = time.perf_counter() - start
    scored = data[-task["cost_rows"]:] if task["cost_rows"] else data
    print(json.dumps({"seconds": seconds, "cost": cost(np, scored, centroids, euclidean)}))


def cpu_name():
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return "unknown CPU"


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        child(json.loads(sys.argv[2]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("data")
    parser.add_argument("--rows", type=int, required=True)
    parser.add_argument("--k", type=int, required=True)
    parser.add_argument("--iterations", type=int, default=25)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--metric", choices=["euclidean", "inner"], default="euclidean")
    parser.add_argument("--methods", nargs="+", choices=METHODS, default=METHODS)
    parser.add_argument("--same-start", action="store_true")
    # At collection scale the cost over every row takes longer than the
    # training; the last rows stand in for them.
    parser.add_argument("--cost-rows", type=int, default=0, help="cost over the last COST_ROWS rows (0: all)")
    args = parser.parse_args()

    rows = []
    for method in args.methods:
        if args.metric == "inner" and method in EUCLIDEAN_ONLY:
            continue
        if args.same_start and method.startswith("superkmeans"):
            print(f"{method}: skipped (no starting centroids)", file=sys.stderr)
            continue
        env = dict(os.environ)
        for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
            env[var] = str(args.threads)
        if method == "quorla-plain":
            env["QUORLA_SCREEN"] = "off"
        if method == "quorla-dimensions":
            env["QUORLA_SCREEN"] = "dimensions"
        if method == "quorla-no-bf16":
            env["QUORLA_SCREEN"] = "no-bf16"
        task = dict(vars(args), method=method, data=os.path.abspath(args.data))
        del task["methods"]
        result = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
                                capture_output=True, text=True, env=env, check=False)
        if result.returncode != 0:
            last = (result.stderr.strip().splitlines() or ["failed"])[-1]
            print(f"{method}: skipped ({last})", file=sys.stderr)
            continue
        rows.append((method, json.loads(result.stdout.strip().splitlines()[-1])))

    base = next((r["seconds"] for m, r in rows if m == "quorla"), None)
    print(f"{args.rows:,} rows of {os.path.basename(args.data)}, k = {args.k:,}, {args.iterations} iterations, "
          f"{args.metric}, {args.threads} threads, {cpu_name()}, "
          f"quorla level {os.environ.get('QUORLA_KERNEL_LEVEL', 'detected')}"
          f"{', every method from the same start' if args.same_start else ''}\n")
    print("| method | seconds | method / quorla | cost |")
    print("|---|---|---|---|")
    for method, r in rows:
        ratio = f"{r['seconds'] / base:.2f}x" if base else "-"
        print(f"| {method} | {r['seconds']:.2f} | {ratio} | {r['cost']:.5f} |")


if __name__ == "__main__":
    main()
