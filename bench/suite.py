"""quorla against the libraries users would pick instead, and against the
machine's limits. Every figure in the printed tables is measured in the same
run.

    python bench/suite.py                  # full run (a few minutes), Markdown tables on stdout
    python bench/suite.py --markdown FILE  # also write the tables to FILE
    python bench/suite.py --smoke          # tiny sizes, seconds: checks that the suite still runs

Needs quorla installed in the running interpreter (pip install .), a C++
compiler and CMake for the two native helpers, and for the peer columns the
"bench" extra (scikit-learn, faiss-cpu, threadpoolctl, and on x86-64
scikit-learn-intelex for oneDAL); --no-peers leaves those columns out.

What is measured, per shape (n points, d dimensions, k clusters) and per
thread count, each thread count in a fresh interpreter (quorla's worker pool
is sized once per process) with OpenBLAS/OpenMP pinned to the same count:
  - the machine's float32 FMA peak (bench/fma_peak.cpp, -march=native, one
    thread per worker, independent register accumulators);
  - numpy.matmul on the label step's shape (n x d times d x k), and which
    BLAS kernel ran (threadpoolctl);
  - the label step alone at every kernel level (bench/bench_label.cpp on the
    engine's C++ API), as GFLOP/s, fraction of the FMA peak and of matmul;
  - training seconds per iteration for quorla, scikit-learn KMeans (lloyd,
    float32, tol=0, n_init=1, init=the same array as faiss), oneDAL's k-means
    through scikit-learn-intelex (the same settings) and faiss Kmeans
    (max_points_per_centroid >= n/k, so no subsampling; spherical for the
    inner product), each as the difference of an (iterations + 1)-iteration
    and a 1-iteration run, so set-up and final passes cancel; final cost of
    each, computed by one shared function;
  - top-1 and top-10 assignment of the n points: quorla vs faiss
    IndexFlatL2/IndexFlatIP search vs a chunked numpy brute force;
  - peak resident memory of a training run beyond the input array;
  - heap allocations and peak heap bytes of one label step and one top-10
    assignment at n and n/4 points (bench_label's counting allocator).
Data are standard normal (no cluster structure), so no method stops early.
"""
import argparse
import json
import math
import os
import platform
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")

FULL_SHAPES = [(200_000, 128, 1024), (200_000, 16, 64)]
SMOKE_SHAPES = [(3_000, 8, 16)]


# ---------------------------------------------------------------------------
# Native helpers


def build_native(args):
    build = args.build_dir
    os.makedirs(build, exist_ok=True)
    cxx = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if cxx is None:
        sys.exit("a C++ compiler is needed for bench/fma_peak.cpp")
    peak = os.path.join(build, "fma_peak")
    subprocess.run([cxx, "-O2", "-march=native", "-std=c++17", "-pthread", os.path.join(BENCH, "fma_peak.cpp"),
                    "-o", peak], check=True)
    label = args.label_bench
    if label is None and not args.skip_label_bench:
        cmake = shutil.which("cmake")
        if cmake is None:
            sys.exit("CMake is needed to build the label-step benchmark (or pass --skip-label-bench)")
        subprocess.run([cmake, "-S", ROOT, "-B", build, "-DQUORLA_BUILD_MODULE=OFF", "-DQUORLA_BUILD_LABEL_BENCH=ON",
                        "-DCMAKE_BUILD_TYPE=Release"], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([cmake, "--build", build, "--target", "quorla_bench_label", "--parallel", "2"], check=True,
                       stdout=subprocess.DEVNULL)
        label = os.path.join(build, "quorla_bench_label")
    return peak, label


def fma_peak(binary, threads, seconds):
    out = subprocess.run([binary, str(threads), str(seconds)], capture_output=True, text=True, check=True)
    return float(out.stdout.strip())


def label_bench(binary, shape, threads, repeats):
    n, d, k = shape
    out = subprocess.run([binary, str(n), str(d), str(k), str(threads), str(repeats)], capture_output=True, text=True,
                         check=True)
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


# ---------------------------------------------------------------------------
# Child processes: one per thread count and task


def child_env(threads):
    env = dict(os.environ)
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        env[var] = str(threads)
    # Settings that force OpenBLAS onto another kernel or cache size would
    # make matmul a strawman; the children run with OpenBLAS's own choice.
    for var in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
        env.pop(var, None)
    return env


def run_child(task, threads, timeout):
    result = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
                            capture_output=True, text=True, env=child_env(threads), timeout=timeout)
    if result.returncode != 0:
        sys.exit(f"benchmark child failed ({task['kind']}, {threads} threads):\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def timed(fn):
    start = time.perf_counter()
    value = fn()
    return time.perf_counter() - start, value


def best_of(repeats, fn):
    return min(timed(fn)[0] for _ in range(repeats))


def cost(np, data, centroids, euclidean):
    """Mean squared distance to the nearest centroid (Euclidean), or mean
    largest dot product (inner product); one function for every method."""
    centroids = np.ascontiguousarray(centroids, dtype=np.float32)
    cn = (centroids.astype(np.float64) ** 2).sum(axis=1)
    total = 0.0
    for start in range(0, data.shape[0], 8192):
        x = data[start:start + 8192]
        dots = (x @ centroids.T).astype(np.float64)
        if euclidean:
            xn = (x.astype(np.float64) ** 2).sum(axis=1)
            total += float(np.maximum(xn[:, None] + cn[None, :] - 2.0 * dots, 0.0).min(axis=1).sum())
        else:
            total += float(dots.max(axis=1).sum())
    return total / data.shape[0]


def labels_from_lists(np, lists, n):
    labels = np.full(n, -1, dtype=np.int64)
    for c, members in enumerate(lists):
        labels[np.asarray(members, dtype=np.int64)] = c
    return labels


def child_run(task):
    """Matmul, training and assignment for one shape at one thread count."""
    import numpy as np
    import quorla

    n, d, k = task["shape"]
    threads, iterations, peers, repeats = task["threads"], task["iterations"], task["peers"], task["repeats"]
    rng = np.random.default_rng(42)
    data = rng.standard_normal((n, d), dtype=np.float32)
    init = data[rng.choice(n, k, replace=False)].copy()
    out = {"blas": None}
    try:
        from threadpoolctl import threadpool_info
        blas = [i for i in threadpool_info() if i.get("user_api") == "blas"]
        if blas:
            out["blas"] = {key: blas[0].get(key) for key in ("internal_api", "version", "architecture", "num_threads")}
    except ImportError:
        pass

    # numpy.matmul on the label step's shape.
    flops = 2.0 * n * d * k
    right = np.ascontiguousarray(init.T)
    np.matmul(data[: min(n, 4096)], right)
    out["matmul_gflops"] = flops / best_of(repeats, lambda: np.matmul(data, right)) / 1e9

    # quorla training: difference of (iterations + 1) and 1 iterations.
    models = {}
    out["train"] = {}
    configured = False
    for mode, euclidean in (("euclidean", True), ("inner", False)):
        seconds = {}
        for its in (1, iterations + 1):
            m = quorla.KMeans(k).with_euclidean(euclidean).with_iterations(its)
            seconds[its], _ = timed(lambda: m.train(data, None if configured else threads))
            configured = True
        models[mode] = m
        out["train"][mode] = {"quorla": (seconds[iterations + 1] - seconds[1]) / iterations,
                              "quorla_cost": cost(np, data, m.centroids, euclidean)}

    if peers:
        from sklearn.cluster import KMeans as SkKMeans
        import faiss
        faiss.omp_set_num_threads(threads)
        # scikit-learn's Lloyd and oneDAL's through scikit-learn-intelex: one
        # estimator interface, Euclidean only.
        estimators = {"sklearn": SkKMeans}
        try:
            from sklearnex.cluster import KMeans as DalKMeans
            estimators["onedal"] = DalKMeans
        except ImportError:
            pass
        for name, KMeansClass in estimators.items():
            seconds = {}
            for its in (1, iterations + 1):
                est = KMeansClass(n_clusters=k, init=init, n_init=1, max_iter=its, tol=0.0, algorithm="lloyd",
                                  random_state=0)
                seconds[its], _ = timed(lambda: est.fit(data))
            out["train"]["euclidean"].update({name: (seconds[iterations + 1] - seconds[1]) / iterations,
                                              f"{name}_cost": cost(np, data, est.cluster_centers_, True),
                                              f"{name}_iterations": int(est.n_iter_)})
        for mode, spherical in (("euclidean", False), ("inner", True)):
            seconds = {}
            for its in (1, iterations + 1):
                km = faiss.Kmeans(d, k, niter=its, seed=1, spherical=spherical, verbose=False,
                                  max_points_per_centroid=math.ceil(n / k) + 1, min_points_per_centroid=1)
                seconds[its], _ = timed(lambda: km.train(data, init_centroids=init))
            out["train"][mode].update(faiss=(seconds[iterations + 1] - seconds[1]) / iterations,
                                      faiss_cost=cost(np, data, km.centroids, mode == "euclidean"))

    # Assignment of the training points to the trained quorla centroids.
    out["assign"] = {}
    for mode, euclidean in (("euclidean", True), ("inner", False)):
        model = models[mode]
        centroids = np.ascontiguousarray(model.centroids)
        cn = (centroids * centroids).sum(axis=1)
        for top in (1, 10):
            row = {"quorla": best_of(repeats, lambda: model.assign(data, top))}
            if peers:
                import faiss
                index = faiss.IndexFlatL2(d) if euclidean else faiss.IndexFlatIP(d)
                index.add(centroids)
                row["faiss"] = best_of(repeats, lambda: index.search(data, top))
                if top == 1:
                    ours = labels_from_lists(np, model.assign(data, 1), n)
                    theirs = index.search(data, 1)[1][:, 0]
                    row["top1_agreement"] = float((ours == theirs).mean())

            def brute():
                for start in range(0, n, 16384):
                    scores = data[start:start + 16384] @ centroids.T
                    keys = cn[None, :] - 2.0 * scores if euclidean else -scores
                    if top == 1:
                        keys.argmin(axis=1)
                    else:
                        np.argpartition(keys, top, axis=1)[:, :top]

            row["numpy"] = best_of(1 if n > 50_000 else repeats, brute)
            out["assign"][f"{mode}/{top}"] = row
    return out


def child_memory(task):
    """Peak resident memory of one training run beyond what the process held
    with the input array in place."""
    import resource

    import numpy as np
    import quorla

    n, d, k = task["shape"]
    data = np.random.default_rng(42).standard_normal((n, d), dtype=np.float32)
    model = quorla.KMeans(k).with_euclidean(task["euclidean"]).with_iterations(task["iterations"])
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    clusters = model.train(data, task["threads"])
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    del clusters
    return {"input_mb": data.nbytes / 2**20, "extra_mb": (after - before) / 1024}


# ---------------------------------------------------------------------------
# Report


def machine_description():
    model, flags = platform.processor() or "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                elif line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
    except OSError:
        pass
    wanted = [f for f in ("avx2", "fma", "avx512f", "avx512vl", "avx512bw", "avx512dq") if f in flags]
    return [f"- CPU: {model}, {os.cpu_count()} logical CPUs; {' '.join(wanted) or 'no AVX2/AVX-512 flags'}",
            f"- Python {platform.python_version()} on {platform.system()} {platform.release()}"]


def ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "n/a"


def fmt(value, pattern):
    return format(value, pattern) if value is not None else "n/a"


def report(results, args):
    out = []
    emit = out.append
    emit("## Machine\n")
    for line in machine_description():
        emit(line)
    for threads in args.threads:
        blas = next((results["runs"][key(s, threads)]["blas"] for s in args.shapes
                     if results["runs"][key(s, threads)]["blas"]), None)
        if blas:
            emit(f"- BLAS with {threads} thread(s): {blas['internal_api']} {blas['version']}, "
                 f"kernel {blas['architecture']}, {blas['num_threads']} threads")
    emit(f"- quorla kernel level detected: {results.get('detected', 'n/a')}")
    emit(f"- Load average before / after: {results['load_before']} / {results['load_after']}")
    emit(f"- Peers: {results['peer_versions']}")
    emit("- Iterations timed per training: " + ", ".join(
        f"{timed_iterations(args, s)} for {tuple(s)} (difference of {timed_iterations(args, s) + 1} and 1)"
        for s in args.shapes))
    emit(f"- OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE in this environment: {results['openblas_env']} "
         "(the measuring children always run without them)")
    emit("")

    emit("## Float32 FMA peak and numpy.matmul\n")
    emit("| threads | FMA peak GFLOP/s | FMA peak after the runs | "
         + " | ".join(f"matmul n={s[0]} d={s[1]} k={s[2]}" for s in args.shapes) + " |")
    emit("|---|---|---|" + "---|" * len(args.shapes))
    for threads in args.threads:
        cells = [fmt(results["runs"][key(s, threads)]["matmul_gflops"], ".1f") for s in args.shapes]
        emit(f"| {threads} | {results['peak'][threads]:.1f} | {results['peak_after'][threads]:.1f} | "
             + " | ".join(cells) + " |")
    emit("")
    emit("The peak is measured before and after each thread count's runs; a peak well below threads x the "
         "one-thread peak, or a drop between the two, means other work shared the cores.")
    emit("")

    if results["label"]:
        emit("## Label step alone (C++ engine API)\n")
        emit("| shape (n, d, k) | threads | level | mode | seconds | GFLOP/s | of FMA peak | of numpy.matmul |")
        emit("|---|---|---|---|---|---|---|---|")
        for (shape, threads), rows in results["label"].items():
            matmul = results["runs"][key(shape, threads)]["matmul_gflops"]
            for row in rows:
                if "level" not in row:
                    continue
                emit(f"| {shape} | {threads} | {row['level']} | {row['mode']} | {row['seconds']:.4g} | "
                     f"{row['gflops']:.1f} | {row['gflops'] / results['peak'][threads]:.0%} | "
                     f"{row['gflops'] / matmul:.2f}x |")
        emit("")

    emit("## Training, seconds per iteration\n")
    emit("| shape (n, d, k) | threads | mode | quorla | scikit-learn | oneDAL | faiss | sklearn / quorla "
         "| oneDAL / quorla | faiss / quorla | cost quorla | cost sklearn | cost oneDAL | cost faiss |")
    emit("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|")
    for shape in args.shapes:
        for threads in args.threads:
            run = results["runs"][key(shape, threads)]
            for mode in ("euclidean", "inner"):
                t = run["train"][mode]
                emit(f"| {tuple(shape)} | {threads} | {mode} | {t['quorla']:.4f} | {fmt(t.get('sklearn'), '.4f')} | "
                     f"{fmt(t.get('onedal'), '.4f')} | {fmt(t.get('faiss'), '.4f')} | "
                     f"{ratio(t.get('sklearn'), t['quorla'])} | {ratio(t.get('onedal'), t['quorla'])} | "
                     f"{ratio(t.get('faiss'), t['quorla'])} | {t['quorla_cost']:.4f} | "
                     f"{fmt(t.get('sklearn_cost'), '.4f')} | {fmt(t.get('onedal_cost'), '.4f')} | "
                     f"{fmt(t.get('faiss_cost'), '.4f')} |")
    emit("")
    emit("Cost: mean squared distance to the nearest centroid (Euclidean, lower is better) or mean largest "
         "dot product (inner product, higher is better). scikit-learn and oneDAL have no inner-product mode; faiss runs "
         "spherical k-means there. Initial centroids: one random sample of the points for scikit-learn and "
         "faiss; quorla draws its own random sample (its API takes no initial centroids).")
    emit("")

    emit("## Assignment of the n points, seconds\n")
    emit("| shape (n, d, k) | threads | mode | top | quorla | faiss flat | numpy brute force | faiss / quorla "
         "| numpy / quorla | top-1 agreement with faiss |")
    emit("|---|---|---|---|---|---|---|---|---|---|")
    for shape in args.shapes:
        for threads in args.threads:
            run = results["runs"][key(shape, threads)]
            for name, row in run["assign"].items():
                mode, top = name.split("/")
                emit(f"| {tuple(shape)} | {threads} | {mode} | {top} | {row['quorla']:.4f} | "
                     f"{fmt(row.get('faiss'), '.4f')} | {row['numpy']:.4f} | {ratio(row.get('faiss'), row['quorla'])} | "
                     f"{ratio(row['numpy'], row['quorla'])} | {fmt(row.get('top1_agreement'), '.5f')} |")
    emit("")
    emit("quorla's time includes building its answer as Python lists (one list of point indices per cluster); "
         "faiss and numpy return arrays.")
    emit("")

    emit("## Memory\n")
    emit("| shape (n, d, k) | mode | input MB | extra peak RSS of training MB |")
    emit("|---|---|---|---|")
    for (shape, mode), row in results["memory"].items():
        emit(f"| {shape} | {mode} | {row['input_mb']:.1f} | {row['extra_mb']:.1f} |")
    emit("")
    heap = [(shape, row) for (shape, _), rows in results["label"].items() for row in rows if "heap" in row]
    if heap:
        emit("Heap use of single calls (counting allocator, detected level; outputs included):\n")
        emit("| shape (n, d, k) | mode | points | label step allocations | label step peak heap bytes "
             "| top-10 assign allocations | top-10 assign peak heap bytes |")
        emit("|---|---|---|---|---|---|---|")
        seen = set()
        for shape, row in heap:
            tag = (shape, row["heap"], row["n"])
            if tag in seen:
                continue
            seen.add(tag)
            emit(f"| {shape} | {row['heap']} | {row['n']} | {row['label_allocations']} | {row['label_peak_bytes']} | "
                 f"{row['assign_allocations']} | {row['assign_peak_bytes']} |")
        emit("")
    out.extend(targets(results, args))
    return "\n".join(out)


def targets(results, args):
    """The performance targets, each checked against this run's figures."""
    out = ["## Targets\n", "| target | measured | met |", "|---|---|---|"]

    def row(name, measured, met):
        out.append(f"| {name} | {measured} | {'yes' if met else 'no'} |")

    large, small = tuple(args.shapes[0]), tuple(args.shapes[-1])
    most = max(args.threads)
    detected = results.get("detected")
    for shape in dict.fromkeys((large, small)):
        threads = most
        for r in results["label"].get((shape, threads), []):
            if r.get("level") != detected:
                continue
            share = r["gflops"] / results["peak"][threads]
            matmul = results["runs"][key(shape, threads)]["matmul_gflops"]
            if shape == large:
                row(f"label step {r['mode']} {shape}, {threads} threads: >= 60% of FMA peak", f"{share:.0%}",
                    share >= 0.6)
            if shape == small:
                row(f"label step {r['mode']} {shape}, {threads} threads: >= 2x numpy.matmul",
                    f"{r['gflops'] / matmul:.2f}x", r["gflops"] >= 2 * matmul)
    for shape in args.shapes:
        for threads in args.threads:
            run = results["runs"][key(shape, threads)]
            for mode in ("euclidean", "inner"):
                t = run["train"][mode]
                if t.get("sklearn"):
                    row(f"train {mode} {tuple(shape)}, {threads} threads: >= 1.5x faster than scikit-learn",
                        ratio(t["sklearn"], t["quorla"]), t["sklearn"] >= 1.5 * t["quorla"])
                if t.get("faiss"):
                    row(f"train {mode} {tuple(shape)}, {threads} threads: >= 2x faster than faiss",
                        ratio(t["faiss"], t["quorla"]), t["faiss"] >= 2 * t["quorla"])
            for name, a in run["assign"].items():
                if a.get("faiss"):
                    row(f"assign top-{name.split('/')[1]} {name.split('/')[0]} {tuple(shape)}, {threads} threads: "
                        f"at least as fast as faiss", ratio(a["faiss"], a["quorla"]), a["faiss"] >= a["quorla"])
    for (shape, _), rows in results["label"].items():
        heap = {(r["heap"], r["n"]): r for r in rows if "heap" in r}
        for mode in ("euclidean", "inner"):
            counts = sorted(((n, r["label_allocations"]) for (m, n), r in heap.items() if m == mode), reverse=True)
            if len(counts) == 2:
                row(f"label step allocations independent of n ({mode}, {shape})",
                    f"{counts[0][1]} at n={counts[0][0]}, {counts[1][1]} at n={counts[1][0]}",
                    counts[0][1] == counts[1][1])
        break
    out.append("")
    return out


def timed_iterations(args, shape):
    """Iterations timed per training run. A small shape's iteration takes a
    few milliseconds, so it gets more of them: the difference of two runs is
    otherwise within the noise of their set-up."""
    n, d, k = shape
    return args.iterations if args.smoke or n * d * k >= 1e9 else 8 * args.iterations


def key(shape, threads):
    return f"{tuple(shape)}@{threads}"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that the suite runs")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--iterations", type=int, default=None,
                        help="timed training iterations (default 5; 8 times as many for the small shape)")
    parser.add_argument("--no-peers", action="store_true", help="leave out scikit-learn and faiss")
    parser.add_argument("--label-bench", help="a built quorla_bench_label to use instead of building one")
    parser.add_argument("--skip-label-bench", action="store_true", help="no label-step table")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    parser.add_argument("--markdown", help="also write the tables to this file")
    parser.add_argument("--wait-quiet", type=float, default=0.0, metavar="SECONDS",
                        help="first wait up to this long for the 1-minute load average to fall below 0.5 "
                             "(other work on the machine takes cores from the measurements)")
    args = parser.parse_args()

    if args.child:
        task = json.loads(args.child)
        result = child_run(task) if task["kind"] == "run" else child_memory(task)
        print(json.dumps(result))
        return

    args.shapes = SMOKE_SHAPES if args.smoke else FULL_SHAPES
    if args.iterations is None:
        args.iterations = 1 if args.smoke else 5
    repeats = 1 if args.smoke else 3
    timeout = 120 if args.smoke else 1800
    peers = not args.no_peers
    peer_versions = "left out"
    if peers:
        try:
            import faiss
            import sklearn
            peer_versions = f"scikit-learn {sklearn.__version__}, faiss {faiss.__version__}"
            try:
                from importlib.metadata import PackageNotFoundError, version

                peer_versions += f", scikit-learn-intelex {version('scikit-learn-intelex')}"
            except PackageNotFoundError:
                peer_versions += ", oneDAL left out (scikit-learn-intelex not installed)"
        except ImportError as error:
            sys.exit(f"{error}; install the bench extra (pip install '.[bench]') or pass --no-peers")

    results = {"load_before": " ".join(f"{v:.2f}" for v in os.getloadavg()), "peer_versions": peer_versions,
               "runs": {}, "label": {}, "memory": {}, "peak": {}, "peak_after": {}}
    results["openblas_env"] = ", ".join(f"{v}={os.environ[v]}" for v in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
                                        if os.environ.get(v)) or "not set"
    if os.environ.get("OPENBLAS_CORETYPE") or os.environ.get("OPENBLAS_L2_SIZE"):
        print("note: OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE are set here; the measuring children run without them",
              file=sys.stderr)
    peak_binary, label_binary = build_native(args)
    deadline = time.monotonic() + args.wait_quiet
    while os.getloadavg()[0] >= 0.5 and time.monotonic() < deadline:
        time.sleep(5)
    results["load_before"] = " ".join(f"{v:.2f}" for v in os.getloadavg())

    for threads in args.threads:
        results["peak"][threads] = fma_peak(peak_binary, threads, 0.2 if args.smoke else 1.0)
        for shape in args.shapes:
            print(f"... {shape} with {threads} thread(s)", file=sys.stderr)
            task = {"kind": "run", "shape": shape, "threads": threads, "iterations": timed_iterations(args, shape),
                    "peers": peers, "repeats": repeats}
            results["runs"][key(shape, threads)] = run_child(task, threads, timeout)
            if label_binary:
                rows = label_bench(label_binary, shape, threads, repeats)
                results["label"][(tuple(shape), threads)] = rows
                results["detected"] = next((r["detected"] for r in rows if "detected" in r), None)
        # Measured again after the runs: a drop means other work took cores
        # during them, and the figures of this thread count are suspect.
        results["peak_after"][threads] = fma_peak(peak_binary, threads, 0.2 if args.smoke else 1.0)
    memory_threads = max(args.threads)
    for shape in args.shapes:
        for mode in ("euclidean", "inner"):
            task = {"kind": "memory", "shape": shape, "threads": memory_threads, "euclidean": mode == "euclidean",
                    "iterations": 2}
            results["memory"][(tuple(shape), mode)] = run_child(task, memory_threads, timeout)
    results["load_after"] = " ".join(f"{v:.2f}" for v in os.getloadavg())

    publish(report(results, args), args.markdown)


def publish(text, markdown):
    """Prints the report, and writes it to `markdown` when given."""
    print(text)
    if markdown:
        with open(markdown, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
