"""Training speed of quorla next to numpy.matmul on the label step's shape.

    python bench/bench_train.py [--n 200000] [--dim 128] [--k 256] [--iterations 10] [--threads 1 2]

Each thread count runs in a fresh interpreter (quorla's worker pool is sized
once per process; OpenBLAS is pinned to the same count). The label step does
2·n·k·d floating-point operations per iteration; seconds per iteration also
include the centroid update, which is O(n·d). Data: seeded standard normal
points, so every iteration does the same work.
"""
import argparse
import json
import os
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    import quorla
    n, dim, k, iterations, threads = (int(v) for v in sys.argv[1:6])
    rng = np.random.default_rng(42)
    data = rng.standard_normal((n, dim), dtype=np.float32)
    flops = 2.0 * n * k * dim

    # numpy.matmul on the same shape: points (n x d) times centroids (d x k).
    centroids = data[:k].T.copy()
    np.matmul(data[:4096], centroids)
    start = time.perf_counter(); repeats = 3
    for _ in range(repeats):
        np.matmul(data, centroids)
    matmul = flops * repeats / (time.perf_counter() - start) / 1e9

    out = {"matmul_gflops": matmul}
    for name, euclidean in (("euclidean", True), ("inner", False)):
        # The difference of two runs removes set-up and the final relabelling.
        times = {}
        for its in (1, iterations + 1):
            m = quorla.KMeans(k).with_euclidean(euclidean).with_iterations(its)
            start = time.perf_counter()
            m.train(data, threads if name == "euclidean" and its == 1 else None)
            times[its] = time.perf_counter() - start
        per_iteration = (times[iterations + 1] - times[1]) / iterations
        out[name] = {"seconds_per_iteration": per_iteration, "gflops": flops / per_iteration / 1e9}
    print(json.dumps(out))
""")


def run(args, threads):
    env = dict(os.environ)
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(args.n), str(args.dim), str(args.k), str(args.iterations), str(threads)],
        capture_output=True, text=True, env=env, check=False)
    if result.returncode != 0:
        sys.exit(result.stderr)
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--dim", type=int, default=128)
    parser.add_argument("--k", type=int, default=256)
    parser.add_argument("--iterations", type=int, default=10)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    args = parser.parse_args()

    results = {t: run(args, t) for t in args.threads}
    print(f"n={args.n:,} d={args.dim} k={args.k}, {args.iterations} iterations, "
          f"{2 * args.n * args.k * args.dim / 1e9:.2f} GFLOP per label step\n")
    print("| threads | mode      | s / iteration | GFLOP/s | numpy.matmul GFLOP/s | vs matmul | vs 1 thread |")
    print("|---------|-----------|---------------|---------|----------------------|-----------|-------------|")
    base = results.get(min(args.threads))
    for t, r in results.items():
        for mode in ("euclidean", "inner"):
            m = r[mode]
            scale = base[mode]["seconds_per_iteration"] / m["seconds_per_iteration"]
            print(f"| {t:7d} | {mode:9s} | {m['seconds_per_iteration']:13.4f} | {m['gflops']:7.1f} | "
                  f"{r['matmul_gflops']:20.1f} | {m['gflops'] / r['matmul_gflops']:9.2f} | {scale:11.2f} |")


if __name__ == "__main__":
    main()
