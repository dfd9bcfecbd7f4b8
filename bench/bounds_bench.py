"""Whole k-means trainings with quorla's bounded label step against its
full one, faiss, oneDAL and scikit-learn, at equal threads.

    python bench/bounds_bench.py --wait-quiet 600 --markdown FILE   # full run
    python bench/bounds_bench.py --smoke                            # tiny sizes: checks that it runs

Needs quorla, faiss-cpu, scikit-learn and threadpoolctl in the running
interpreter (scikit-learn-intelex for the oneDAL column, left out with a
note when it is missing), a built quorla_bench_bounds (--bounds-tool, or
$QUORLA_BOUNDS_TOOL; CMake option QUORLA_BUILD_BOUNDS_BENCH) for the shares
of distances computed, and for the real sets the caches of
bench/embeddings.py and bench/token_vectors.py (a missing one is left out,
with a note).

Data sets:
  - MiniLM sentences: 60,000 all-MiniLM-L6-v2 sentence embeddings, 384
    dimensions, unit length;
  - MiniLM tokens: about 1,000,000 contextual token vectors of the same
    model and texts, 384 dimensions, scaled to unit length;
  - standard-normal points, seeded as in bench/search_bench.py: 200,000 x
    128 and 100,000 x 16.
For each set, number of clusters and metric (squared Euclidean, inner
product), these trainings of --iterations iterations run, each in a fresh
interpreter (quorla's pool is sized once per process) with OpenMP, OpenBLAS
and threadpoolctl held to --threads:
  - quorla bounded: the default label step, which skips distances that
    bounds prove cannot change a label;
  - quorla full: the same build with QUORLA_LABEL_STEP=full, every distance
    computed; both from the same seed, so their labels must be equal, and
    the run stops with an error when they are not;
  - faiss.Kmeans (nredo=1, every point used, spherical for inner product);
  - oneDAL's k-means through scikit-learn-intelex (sklearnex.cluster.KMeans,
    "lloyd", n_init=1, tol=0), Euclidean only, as scikit-learn;
  - scikit-learn KMeans, algorithm "lloyd" and "elkan" (n_init=1, tol=0),
    Euclidean only, since it has no inner-product mode; Elkan's bounds take
    n x k doubles, so it is left out above --elkan-gb of them.
The peers start from one seeded random sample of the points;
quorla draws its own seeded sample (its API takes no initial centroids), so
the cost column, computed the same way for every method from its final
centroids, is the accuracy figure next to each time. A training under a
second is repeated three times and keeps its best; longer ones run once.

quorla_bench_bounds then trains the same points once more with the bounded
step (its own seed) and reports, per label step, the share of the n x k
point-centroid distances that were computed. Standard-normal points are
saved once under ~/.cache/quorla-bench/normal/ so that the tool reads the
very points the trainings used.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

import suite  # noqa: E402  (FMA peak, child environment, machine description, publish)

NORMAL_SHAPES = [(200_000, 128), (100_000, 16)]
SMOKE_NORMAL = [(4_000, 8)]
METRICS = ("euclidean", "inner")
METHODS = ("quorla bounded", "quorla full", "faiss", "onedal", "sklearn lloyd", "sklearn elkan")
# Peers without an inner-product mode.
EUCLIDEAN_ONLY = ("onedal", "sklearn lloyd", "sklearn elkan")


def cache_root():
    return os.environ.get("QUORLA_BENCH_CACHE") or os.path.join(os.path.expanduser("~"), ".cache", "quorla-bench")


# ---------------------------------------------------------------------------
# Data


def normal_points(n, d):
    import numpy as np

    return np.random.default_rng(42).standard_normal((n, d), dtype=np.float32)


def normal_file(n, d):
    """The .npy the shares tool reads: the same points as normal_points."""
    import numpy as np

    folder = os.path.join(cache_root(), "normal")
    path = os.path.join(folder, f"normal-{n}x{d}-seed42.npy")
    if not os.path.exists(path):
        os.makedirs(folder, exist_ok=True)
        np.save(path + ".tmp.npy", normal_points(n, d))
        os.replace(path + ".tmp.npy", path)
    return path


def load_points(dataset):
    import numpy as np

    if dataset["kind"] == "normal":
        return normal_points(*dataset["shape"])
    if dataset["kind"] == "sentences":
        import embeddings

        vectors, _ = embeddings.load()
    else:
        import token_vectors

        vectors, _ = token_vectors.load()
    if dataset.get("limit"):
        vectors = vectors[: dataset["limit"]]
    return np.ascontiguousarray(vectors)


def cost(np, data, centroids, euclidean):
    """Mean squared distance to the nearest centroid (lower is better), or
    mean largest inner product (higher is better), in float64 sums over
    float32 blocks."""
    centroids = np.ascontiguousarray(centroids, dtype=np.float32)
    norms = (centroids.astype(np.float64) ** 2).sum(axis=1)
    total = 0.0
    for first in range(0, len(data), 65_536):
        block = data[first:first + 65_536]
        dots = (block @ centroids.T).astype(np.float64)
        if euclidean:
            # |x|^2 + |c|^2 - 2 x.c, clamped: rounding can take it below zero.
            best = np.maximum((block.astype(np.float64) ** 2).sum(axis=1) + (norms - 2 * dots).min(axis=1), 0)
        else:
            best = dots.max(axis=1)
        total += float(best.sum())
    return total / len(data)


# ---------------------------------------------------------------------------
# Child: one training


def train_once(task, data, init):
    import numpy as np

    k, euclidean, iterations, threads = task["k"], task["metric"] == "euclidean", task["iterations"], task["threads"]
    method = task["method"]
    if method.startswith("quorla"):
        import quorla

        model = quorla.KMeans(k).with_euclidean(euclidean).with_iterations(iterations).with_seed(task["seed"])
        # The pool is sized by the first train of the process; a repeat that passes a size again is refused.
        model.train(data, threads if task.setdefault("pool", "unset") == "unset" else None)
        task["pool"] = "set"
        return model, np.asarray(model.centroids), {}
    if method == "faiss":
        import faiss

        n, d = data.shape
        km = faiss.Kmeans(d, k, niter=iterations, nredo=1, seed=task["seed"], spherical=not euclidean,
                          max_points_per_centroid=n // k + 1, min_points_per_centroid=1, verbose=False)
        km.train(data, init_centroids=init)
        return km, km.centroids, {}
    if method == "onedal":
        from sklearnex.cluster import KMeans
    else:
        from sklearn.cluster import KMeans

    algorithm = "lloyd" if method == "onedal" else method.split()[1]
    km = KMeans(n_clusters=k, init=init, n_init=1, max_iter=iterations, tol=0.0, algorithm=algorithm,
                random_state=task["seed"]).fit(data)
    # With tol=0 scikit-learn and oneDAL still stop early at strict convergence (no label changed).
    return km, km.cluster_centers_, {"n_iter": int(km.n_iter_)}


def child_run(task):
    import numpy as np
    from threadpoolctl import threadpool_limits

    threads = task["threads"]
    threadpool_limits(threads)
    if task["method"] == "faiss":
        import faiss

        faiss.omp_set_num_threads(threads)
    data = load_points(task["dataset"])
    init = None
    if not task["method"].startswith("quorla"):
        rows = np.sort(np.random.default_rng(task["seed"]).choice(len(data), task["k"], replace=False))
        init = np.ascontiguousarray(data[rows])
    times = []
    for _ in range(3):
        start = time.perf_counter()
        model, centroids, extra = train_once(task, data, init)
        times.append(time.perf_counter() - start)
        if times[0] >= 1.0:
            break
    result = {"seconds": min(times), "runs": len(times),
              "cost": cost(np, data, centroids, task["metric"] == "euclidean"), **extra}
    if task["method"].startswith("quorla"):
        np.save(task["labels_out"], np.asarray(model.labels))
        np.save(task["centroids_out"], np.asarray(centroids))
    return result


def run_child(task, threads, label_step=None):
    env = suite.child_env(threads)
    env.pop("QUORLA_LABEL_STEP", None)
    if label_step:
        env["QUORLA_LABEL_STEP"] = label_step
    result = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
                            capture_output=True, text=True, env=env)
    if result.returncode != 0:
        sys.exit(f"benchmark child failed ({task['method']}, {task['dataset']['label']}, k={task['k']}, "
                 f"{task['metric']}):\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def shares(tool, path, k, metric, iterations, threads):
    out = subprocess.run([tool, path, str(k), metric, str(iterations), str(threads), "bounded", "screened"],
                         capture_output=True,
                         text=True, check=True, env=suite.child_env(threads))
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# Report


def ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "n/a"


def report(results, args):
    out = []
    emit = out.append
    emit("#### Machine and run\n")
    for line in suite.machine_description():
        emit(line)
    emit(f"- {results['versions']}")
    emit(f"- FMA peak, {args.threads} threads: {results['peak']:.1f} GFLOP/s before the runs, "
         f"{results['peak_after']:.1f} after")
    emit(f"- load average (1, 5, 15 min): {results['load_before']} before, {results['load_after']} after; "
         f"the 1-minute figure before each configuration is in the first table")
    for note in results["notes"]:
        emit(f"- {note}")
    emit("")
    emit(f"#### Whole trainings, seconds ({args.threads} threads)\n")
    emit("| data (n, d) | k | metric | iterations | load | " + " | ".join(METHODS) + " | " +
         " | ".join(f"{m.split()[-1]} / bounded" for m in METHODS[1:]) + " | labels equal |")
    emit("|---" * (6 + 2 * len(METHODS)) + "|")
    for row in results["rows"]:
        s = {m: row["runs"][m]["seconds"] if m in row["runs"] else None for m in METHODS}
        cell = lambda m: f"{s[m]:.3f}" if s[m] is not None else "n/a"  # noqa: E731
        emit(f"| {row['label']} ({row['n']}, {row['d']}) | {row['k']} | {row['metric']} | {row['iterations']} | "
             f"{row['load']:.2f} | " + " | ".join(cell(m) for m in METHODS) + " | " +
             " | ".join(ratio(s[m], s["quorla bounded"]) for m in METHODS[1:]) +
             f" | {'yes' if row['labels_equal'] else 'NO'} |")
    emit("")
    emit("A ratio above 1 means quorla's bounded step is the faster. 'labels equal': the bounded and the full "
         "training's label arrays (and centroids) compared element by element. n/a: oneDAL and scikit-learn "
         "have no inner-product mode; Elkan is left out where its n x k bounds would exceed the memory cap.")
    emit("")
    emit("#### Cost of the final centroids\n")
    emit("| data | k | metric | " + " | ".join(METHODS) + " | peers' iterations run |")
    emit("|---" * (4 + len(METHODS)) + "|")
    for row in results["rows"]:
        c = [f"{row['runs'][m]['cost']:.5f}" if m in row["runs"] else "n/a" for m in METHODS]
        its = ", ".join(f"{m.split()[-1]} {row['runs'][m]['n_iter']}" for m in EUCLIDEAN_ONLY if m in row["runs"])
        emit(f"| {row['label']} | {row['k']} | {row['metric']} | " + " | ".join(c) + f" | {its or '-'} |")
    emit("")
    emit("Cost: mean squared distance to the nearest centroid (Euclidean, lower is better) or mean largest "
         "inner product (higher is better), from each method's final centroids. The peers start "
         "from the same random rows; quorla from its own seeded random rows.")
    emit("")
    emit("#### Share of point-centroid distances computed per label step (quorla_bench_bounds, bounded)\n")
    emit("| data | k | metric | tool seconds | mean share | shares by label step |")
    emit("|---|---|---|---|---|---|")
    for row in results["rows"]:
        tool = row.get("shares")
        if not tool:
            emit(f"| {row['label']} | {row['k']} | {row['metric']} | n/a | n/a | n/a |")
            continue
        values = tool["shares"]
        emit(f"| {row['label']} | {row['k']} | {row['metric']} | {tool['seconds']:.3f} | "
             f"{sum(values) / len(values):.3f} | {' '.join(f'{v:.2f}' for v in values)} |")
    emit("")
    emit("One share per label step of the training, first to last: distances computed over n x k. The tool "
         "seeds its own initial centroids, so its training is not the one timed above, only the same points, "
         "k and metric.")
    emit("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that the benchmark runs")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--iterations", type=int, default=25)
    parser.add_argument("--clusters", type=int, nargs="+", default=[256, 1024])
    parser.add_argument("--token-clusters", type=int, nargs="*", default=[1024],
                        help="clusters for the token set, the slowest (default 1024 only)")
    parser.add_argument("--token-iterations", type=int, default=None, help="iterations on the token set")
    parser.add_argument("--sets", nargs="+", default=["sentences", "tokens", "normal"])
    parser.add_argument("--metrics", nargs="+", choices=METRICS, default=list(METRICS))
    parser.add_argument("--peers", nargs="*", choices=METHODS[2:], default=list(METHODS[2:]),
                        help="which of faiss, oneDAL and scikit-learn to run next to quorla")
    parser.add_argument("--elkan-gb", type=float, default=4.0, help="largest n x k x 8 bytes for Elkan's bounds")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--bounds-tool", default=os.environ.get("QUORLA_BOUNDS_TOOL"),
                        help="path of quorla_bench_bounds (default $QUORLA_BOUNDS_TOOL; no shares without it)")
    parser.add_argument("--build-dir", default=os.path.join(suite.ROOT, "build", "bench"))
    parser.add_argument("--markdown", help="also write the tables to this file")
    parser.add_argument("--wait-quiet", type=float, default=0.0, metavar="SECONDS",
                        help="first wait up to this long for the 1-minute load average to fall below 0.5")
    args = parser.parse_args()

    if args.child:
        print(json.dumps(child_run(json.loads(args.child))))
        return

    import faiss
    import numpy as np
    import quorla  # noqa: F401  (fails here, not in a child, when it is missing)
    import sklearn
    import embeddings

    results = {"rows": [], "notes": [], "versions": f"quorla {getattr(quorla, '__version__', '?')}, faiss "
               f"{faiss.__version__}, scikit-learn {sklearn.__version__}, numpy {np.__version__}"}
    if "onedal" in args.peers:
        try:
            import sklearnex  # noqa: F401
            from importlib.metadata import version

            results["versions"] += f", scikit-learn-intelex {version('scikit-learn-intelex')}"
        except ImportError:
            args.peers.remove("onedal")
            results["notes"].append("oneDAL left out: scikit-learn-intelex is not installed")
    datasets = []
    limit = 3_000 if args.smoke else 0
    clusters = [16] if args.smoke else args.clusters
    if "sentences" in args.sets:
        try:
            vectors, meta = embeddings.load()
            datasets.append({"kind": "sentences", "label": "MiniLM sentences", "limit": limit,
                             "n": limit or meta["count"], "d": meta["dimension"], "clusters": clusters,
                             "file": os.path.join(embeddings.cache_dir(), "embeddings.npy")})
            del vectors
        except (FileNotFoundError, ValueError) as error:
            results["notes"].append(f"sentence set left out: {error}")
    if "tokens" in args.sets:
        import token_vectors

        try:
            vectors, meta = token_vectors.load()
            datasets.append({"kind": "tokens", "label": "MiniLM tokens", "limit": limit, "n": limit or meta["count"],
                             "d": meta["dimension"], "clusters": [16] if args.smoke else args.token_clusters,
                             "iterations": args.token_iterations,
                             "file": os.path.join(embeddings.cache_dir(), "tokens.npy")})
            del vectors
        except (FileNotFoundError, ValueError) as error:
            results["notes"].append(f"token set left out: {error}")
    if "normal" in args.sets:
        for n, d in SMOKE_NORMAL if args.smoke else NORMAL_SHAPES:
            datasets.append({"kind": "normal", "label": f"normal d={d}", "shape": [n, d], "n": n, "d": d,
                             "clusters": clusters, "file": normal_file(n, d)})
    if args.smoke:
        # A cut real set would need its own file for the tool; the smoke run checks the tool on normal points only.
        for dataset in datasets:
            if dataset["kind"] != "normal":
                dataset["file"] = None

    build = argparse.Namespace(build_dir=args.build_dir, label_bench=None, skip_label_bench=True)
    peak_binary, _ = suite.build_native(build)
    deadline = time.monotonic() + args.wait_quiet
    while os.getloadavg()[0] >= 0.5 and time.monotonic() < deadline:
        time.sleep(5)
    results["load_before"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    results["peak"] = suite.fma_peak(peak_binary, args.threads, 1.0)
    scratch = tempfile.mkdtemp(prefix="quorla-bounds-")
    for dataset in datasets:
        iterations = dataset.get("iterations") or args.iterations
        if iterations != args.iterations:
            results["notes"].append(f"{dataset['label']}: {iterations} iterations instead of {args.iterations}")
        for k in dataset["clusters"]:
            for metric in args.metrics:
                row = {"label": dataset["label"], "n": dataset["n"], "d": dataset["d"], "k": k, "metric": metric,
                       "iterations": iterations, "load": os.getloadavg()[0], "runs": {}}
                print(f"... {dataset['label']} k={k} {metric}", file=sys.stderr, flush=True)
                for method in METHODS:
                    if not method.startswith("quorla") and method not in args.peers:
                        continue
                    if method in EUCLIDEAN_ONLY and metric != "euclidean":
                        continue
                    if method == "sklearn elkan" and dataset["n"] * k * 8 > args.elkan_gb * 2**30:
                        continue
                    task = {"method": method, "dataset": {key: dataset.get(key) for key in
                                                          ("kind", "label", "shape", "limit")},
                            "k": k, "metric": metric, "iterations": iterations, "threads": args.threads,
                            "seed": args.seed, "labels_out": os.path.join(scratch, f"{method.replace(' ', '-')}-labels.npy"),
                            "centroids_out": os.path.join(scratch, f"{method.replace(' ', '-')}-centroids.npy")}
                    step = "full" if method == "quorla full" else None
                    row["runs"][method] = run_child(task, args.threads, step)
                    print(f"    {method}: {row['runs'][method]['seconds']:.3f} s", file=sys.stderr, flush=True)
                labels = [np.load(os.path.join(scratch, f"quorla-{w}-labels.npy")) for w in ("bounded", "full")]
                centroids = [np.load(os.path.join(scratch, f"quorla-{w}-centroids.npy")) for w in ("bounded", "full")]
                row["labels_equal"] = bool(np.array_equal(*labels) and np.array_equal(*centroids))
                print(f"    bounded and full labels equal: {row['labels_equal']}", file=sys.stderr, flush=True)
                if args.bounds_tool and dataset.get("file"):
                    row["shares"] = shares(args.bounds_tool, dataset["file"], k, metric, iterations, args.threads)
                results["rows"].append(row)
    results["peak_after"] = suite.fma_peak(peak_binary, args.threads, 1.0)
    results["load_after"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    if not args.bounds_tool:
        results["notes"].append("no quorla_bench_bounds given: shares left out")
    suite.publish(report(results, args), args.markdown)
    unequal = [(r["label"], r["k"], r["metric"]) for r in results["rows"] if not r["labels_equal"]]
    if unequal:
        sys.exit(f"bounded and full label steps disagree: {unequal}")


if __name__ == "__main__":
    main()
