"""How the scan's rate holds up as the centroids outgrow the caches:
`search` at each kernel level the CPU has (QUORLA_KERNEL_LEVEL, with the
bf16 screen off, so every level computes every distance), against faiss's
flat search in the same process, at k = 1,024, 4,096 and 16,384 clusters.

    python bench/scan_rate.py [--dim 384] [--queries 20000] [--threads 2]

Centroids are seeded standard-normal rows (given with with_centroids, so no
training is timed); queries are standard normal too. Rates are 2 n k d
flops a second; faiss's search of the same arrays gives its own. The
columns at k = 16,384 against k = 1,024 show whether a rate falls with k.
Each figure is the best of --repeats calls; levels alternate call by call,
so other work on the machine hits all of them alike. Prints a Markdown
table; name the CPU (lscpu) beside it.
"""
import argparse
import os
import time

import numpy as np

import quorla


def best_of(repeats, call):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--dim", type=int, default=384)
    parser.add_argument("--queries", type=int, default=20_000)
    parser.add_argument("--clusters", type=int, nargs="+", default=[1024, 4096, 16384])
    parser.add_argument("--top", type=int, nargs="+", default=[1, 10])
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    # A level the CPU lacks runs the detected one instead.
    parser.add_argument("--levels", nargs="+", default=["avx512", "avx2"])
    args = parser.parse_args()

    os.environ["QUORLA_SCREEN"] = "off"
    rng = np.random.default_rng(0)
    queries = rng.standard_normal((args.queries, args.dim), dtype=np.float32)
    # The pool is sized once per process, by a training that gives a count.
    quorla.KMeans(1).train(queries[:1], args.threads)
    try:
        import faiss
        faiss.omp_set_num_threads(args.threads)
    except ImportError:
        faiss = None

    levels = args.levels
    print(f"{args.queries:,} queries x {args.dim}, {args.threads} threads, GFLOP/s (best of {args.repeats}), "
          "screen off")
    print("| k | top | " + " | ".join(f"quorla {level}" for level in levels) + " | faiss IndexFlatL2 |")
    print("|---|---|" + "---|" * (len(levels) + 1))
    for k in args.clusters:
        centroids = rng.standard_normal((k, args.dim), dtype=np.float32)
        model = quorla.KMeans(k).with_euclidean(True).with_centroids(centroids)
        flops = 2.0 * args.queries * k * args.dim
        index = None
        if faiss is not None:
            index = faiss.IndexFlatL2(args.dim)
            index.add(centroids)
        for top in args.top:
            seconds = {level: float("inf") for level in levels}
            answers = {}
            for _ in range(args.repeats):
                for level in levels:
                    os.environ["QUORLA_KERNEL_LEVEL"] = level
                    start = time.perf_counter()
                    answers[level] = model.search(queries, top)[1]
                    seconds[level] = min(seconds[level], time.perf_counter() - start)
            # The vector levels share each dot's FMA chain: the same clusters.
            first = answers[levels[0]]
            agree = all(np.array_equal(first, answer) for answer in answers.values())
            cells = [f"{flops / seconds[level] / 1e9:.1f}" for level in levels]
            faiss_cell = "n/a"
            if index is not None:
                faiss_seconds = best_of(args.repeats, lambda: index.search(queries, top))
                faiss_cell = f"{flops / faiss_seconds / 1e9:.1f}"
            print(f"| {k:,} | {top} | " + " | ".join(cells) + f" | {faiss_cell} |"
                  + ("" if agree else " (levels disagree)"))


if __name__ == "__main__":
    main()
