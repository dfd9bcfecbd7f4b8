"""KMeans.search against KMeans.assign and faiss flat search, at equal
threads, for the k nearest clusters of every point.

    python bench/search_bench.py --wait-quiet 1800 --markdown FILE   # full run
    python bench/search_bench.py --smoke                             # tiny sizes: checks that it runs
    python bench/search_bench.py --no-real                           # synthetic shapes only
    python bench/search_bench.py --screen [--threads 2]              # search with the bf16 screen on and off
    python bench/search_bench.py --screen --screen-kind dimensions --screen-clusters 4096

Needs quorla and the "bench" extra (faiss-cpu, threadpoolctl) in the running
interpreter, a C++ compiler for bench/fma_peak.cpp, and for the real data
set the cache that bench/embeddings.py writes (left out, with a note, when
it is missing).

Data sets, each clustered by a seeded quorla training (one per metric) whose
centroids all three methods then use, with the data set's own points as the
queries:
  - the suite's shapes: n = 200,000 standard normal points, d = 128 into
    1,024 clusters and d = 16 into 64 (bench/suite.py generates the same
    points);
  - real sentence embeddings (bench/embeddings.py: all-MiniLM-L6-v2, 384
    dimensions, unit length) into 1,024 and 256 clusters.
Per data set, thread count (1 and 2), metric (squared Euclidean: faiss
IndexFlatL2; inner product: IndexFlatIP) and top (1 and 10), three calls
are timed: search(data, top) (two numpy arrays), assign(data, top) (one
Python list of point indices per cluster) and faiss index.search(data, top)
(two numpy arrays). Each thread count runs in a fresh interpreter, since
quorla's pool is sized once per process by train(data, threads); faiss gets
faiss.omp_set_num_threads(threads) and OpenMP/OpenBLAS the same count. The
three calls are timed in turn, round after round (--repeats rounds, 5 by
default, four times as many when the calls take under 0.1 s), and each
keeps its best round, so a burst of other work on the machine hits all
three alike.

Checks, untimed, on the same calls' results:
  - top-1 agreement of search's clusters with faiss's, and at each
    disagreement the gap between the two choices' distances recomputed in
    float64 (relative to the distance), which says whether the two differ
    by a rounding tie or by a real miss;
  - top-10 agreement as identical sets per row, and where a set differs,
    the exact gap between the clusters that only one of the two kept;
  - search's membership equals assign's: the rows that search lists a
    cluster for, in ascending order, are exactly assign's list for it.
The FMA peak (bench/fma_peak.cpp) is measured before and after each thread
count's runs, as in bench/suite.py: a drop, or a 2-thread peak short of
twice the 1-thread one, says other work shared the cores.

--screen times search with the bf16 screen off, forced on and automatic
(QUORLA_SCREEN=off, =bf16 or =emulated where the CPU lacks AVX512_BF16,
and =auto), in one process, alternating call by call and keeping each
one's best, at top 1, 4 and 10 in both metrics (and assign at top 1,
whose plain scan is the label kernel's): on the real embeddings (60,000 x
384 into 1,024 clusters) and on standard normal points of the same shape.
Needs only numpy; the screened results must equal the plain ones bit for
bit. --screen-kind dimensions forces the dimension screen instead, and
the automatic column is then the choice of a CPU without a bf16 unit
(QUORLA_SCREEN=no-bf16); --screen-clusters sets the cluster count.
"""
import argparse
import json
import os
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, BENCH)

import suite  # noqa: E402  (shares the suite's native helpers and machine description)

SYNTHETIC = [(200_000, 128, 1024), (200_000, 16, 64)]
REAL_CLUSTERS = [1024, 256]
SMOKE_SYNTHETIC = [(3_000, 8, 16)]
TOPS = (1, 10)
METRICS = (("euclidean", True), ("inner", False))


# ---------------------------------------------------------------------------
# Child: one data set at one thread count


def load_data(task):
    import numpy as np

    if task["data"] == "synthetic":
        n, d, _ = task["shape"]
        return np.random.default_rng(42).standard_normal((n, d), dtype=np.float32)
    import embeddings

    vectors, _ = embeddings.load()
    if task.get("limit"):
        vectors = vectors[: task["limit"]]
    return np.ascontiguousarray(vectors)


def membership_equal(np, ids, lists, k):
    """Whether the (n, top) cluster ids put every row under exactly the
    clusters, and in the order, that assign's lists give."""
    n, top = ids.shape
    flat = ids.reshape(-1)
    order = np.argsort(flat, kind="stable")
    rows = order // top
    counts = np.bincount(flat, minlength=k)
    if len(lists) != k or any(len(members) != c for members, c in zip(lists, counts)):
        return False
    theirs = np.fromiter((i for members in lists for i in members), dtype=np.int64, count=int(counts.sum()))
    return bool(np.array_equal(rows, theirs))


def exact_keys(np, data, centroids, rows, cols, euclidean):
    x = data[rows].astype(np.float64)
    c = centroids[cols].astype(np.float64)
    if euclidean:
        return ((x - c) ** 2).sum(axis=1)
    return (x * c).sum(axis=1)


def key_scale(np, data, centroids, rows, cols, euclidean):
    """The size of the terms a float32 key is computed from: |x|^2 + |c|^2
    for a squared distance (as |x|^2 + |c|^2 - 2 x.c, which faiss uses),
    |x| |c| for an inner product. Rounding errors are relative to this, not
    to the key, which cancels to near zero for a point that is its own
    cluster's centroid."""
    x = (data[rows].astype(np.float64) ** 2).sum(axis=1)
    c = (centroids[cols].astype(np.float64) ** 2).sum(axis=1)
    scale = x + c if euclidean else np.sqrt(x * c)
    return np.where(scale > 0, scale, 1.0)


def child_run(task):
    import numpy as np
    import faiss
    import quorla

    threads, repeats, iterations = task["threads"], task["repeats"], task["iterations"]
    data = load_data(task)
    n, d = data.shape
    k = task["clusters"]
    faiss.omp_set_num_threads(threads)
    out = {"n": n, "d": d, "k": k, "rows": []}
    configured = False
    for mode, euclidean in METRICS:
        model = quorla.KMeans(k).with_euclidean(euclidean).with_iterations(iterations).with_seed(task["seed"])
        start = time.perf_counter()
        model.train(data, None if configured else threads)
        out.setdefault("train_seconds", {})[mode] = time.perf_counter() - start
        configured = True
        centroids = np.ascontiguousarray(model.centroids)
        index = faiss.IndexFlatL2(d) if euclidean else faiss.IndexFlatIP(d)
        index.add(centroids)
        for top in TOPS:
            calls = {"search": lambda: model.search(data, top), "assign": lambda: model.assign(data, top),
                     "faiss": lambda: index.search(data, top)}
            warm = 0.0
            for fn in calls.values():  # first touch of pages and caches, untimed
                start = time.perf_counter()
                fn()
                warm = max(warm, time.perf_counter() - start)
            # Calls of a few milliseconds get more rounds: one slice of the
            # scheduler given to other work is a large share of one of them.
            rounds = repeats if warm >= 0.1 else 4 * repeats
            best = {name: float("inf") for name in calls}
            for _ in range(rounds):
                for name, fn in calls.items():
                    start = time.perf_counter()
                    fn()
                    best[name] = min(best[name], time.perf_counter() - start)
            row = {"mode": mode, "top": top, "rounds": rounds, **best}

            distances, ids = model.search(data, top)
            faiss_distances, faiss_ids = index.search(data, top)
            row["membership_equal"] = membership_equal(np, ids, model.assign(data, top), k)
            row["sorted"] = bool(np.all(np.diff(distances, axis=1) >= 0) if euclidean
                                 else np.all(np.diff(distances, axis=1) <= 0))
            if top == 1:
                ours, theirs = ids[:, 0], faiss_ids[:, 0]
                differ = np.nonzero(ours != theirs)[0]
                row["top1_agreement"] = float(1.0 - differ.size / n)
                row["top1_disagreements"] = int(differ.size)
                if differ.size:
                    key_ours = exact_keys(np, data, centroids, differ, ours[differ], euclidean)
                    key_theirs = exact_keys(np, data, centroids, differ, theirs[differ], euclidean)
                    gap = np.abs(key_ours - key_theirs) / key_scale(np, data, centroids, differ, ours[differ],
                                                                    euclidean)
                    row["top1_max_relative_gap"] = float(gap.max())
                    # Who is right in exact arithmetic at the disagreements.
                    better = key_ours < key_theirs if euclidean else key_ours > key_theirs
                    worse = key_ours > key_theirs if euclidean else key_ours < key_theirs
                    row["top1_quorla_better"] = int(better.sum())
                    row["top1_faiss_better"] = int(worse.sum())
                same = np.nonzero(ours == theirs)[0]
                scale = key_scale(np, data, centroids, same, ours[same], euclidean)
                row["top1_max_relative_distance_difference"] = float(
                    (np.abs(distances[same, 0].astype(np.float64) - faiss_distances[same, 0]) / scale).max())
            same_set = (np.sort(ids, axis=1) == np.sort(faiss_ids, axis=1)).all(axis=1)
            row["topk_set_agreement"] = float(same_set.mean())
            differ = np.nonzero(~same_set)[0]
            if top > 1 and differ.size:
                # Where the sets differ, each holds clusters the other left
                # out; the exact distances of the two sides say whether that
                # was a tie for the last places or a miss.
                gaps = []
                for i in differ[:1000]:
                    only_ours = np.setdiff1d(ids[i], faiss_ids[i])
                    only_theirs = np.setdiff1d(faiss_ids[i], ids[i])
                    rows_ = np.full(only_ours.size, i)
                    ours_keys = exact_keys(np, data, centroids, rows_, only_ours, euclidean)
                    theirs_keys = exact_keys(np, data, centroids, np.full(only_theirs.size, i), only_theirs,
                                             euclidean)
                    gap = (ours_keys.max() - theirs_keys.min() if euclidean
                           else theirs_keys.max() - ours_keys.min())
                    gaps.append(abs(gap) / key_scale(np, data, centroids, rows_[:1], only_ours[:1], euclidean)[0])
                row["topk_max_relative_gap"] = float(max(gaps))
            out["rows"].append(row)
    return out


# ---------------------------------------------------------------------------
# Screened against plain search, in this process


SCREEN_CLUSTERS = 1024
SCREEN_SHAPE = (60_000, 384)


def screen_comparison(args):
    import numpy as np
    import quorla

    threads = args.threads[-1]
    cpu = suite.machine_description()
    unit = "bf16" if "avx512_bf16" in open("/proc/cpuinfo").read() else "emulated"
    automatic = "auto"
    if args.screen_kind == "dimensions":
        unit, automatic = "dimensions", "no-bf16"
    n, d = (3_000, 64) if args.smoke else SCREEN_SHAPE
    k = 64 if args.smoke else args.screen_clusters
    sets = [("normal", np.random.default_rng(42).standard_normal((n, d), dtype=np.float32))]
    if not args.no_real:
        import embeddings

        try:
            vectors, _ = embeddings.load()
            sets.insert(0, ("MiniLM", np.ascontiguousarray(vectors[:n])))
        except (FileNotFoundError, ValueError) as error:
            print(f"note: {error}", file=sys.stderr)
    rounds = args.repeats or (1 if args.smoke else 5)
    lines = [*cpu, f"- {threads} thread(s), screen unit {unit}, best of {rounds} alternating rounds", "",
             "| data (n, d, clusters) | metric | call | top | plain s | screened s | plain / screened | "
             "plain / automatic | same bits |",
             "|---|---|---|---|---|---|---|---|---|"]
    configured = False
    same_everywhere = True
    for label, data in sets:
        for mode, euclidean in METRICS:
            os.environ["QUORLA_SCREEN"] = "off"
            model = quorla.KMeans(k).with_euclidean(euclidean).with_iterations(args.iterations).with_seed(args.seed)
            model.train(data, None if configured else threads)
            configured = True
            for call, top in [("search", 1), ("search", 4), ("search", 10), ("assign", 1)]:
                best = {"off": float("inf"), unit: float("inf"), automatic: float("inf")}
                found = {}
                for _ in range(rounds):
                    for setting in best:
                        os.environ["QUORLA_SCREEN"] = setting
                        start = time.perf_counter()
                        found[setting] = getattr(model, call)(data, top)
                        best[setting] = min(best[setting], time.perf_counter() - start)
                if call == "search":
                    same = all(a.tobytes() == b.tobytes() for setting in (unit, automatic)
                               for a, b in zip(found["off"], found[setting]))
                else:
                    same = found["off"] == found[unit] == found[automatic]
                same_everywhere = same_everywhere and same
                lines.append(f"| {label} ({data.shape[0]}, {data.shape[1]}, {k}) | {mode} | {call} | {top} | "
                             f"{best['off']:.4f} | {best[unit]:.4f} | {ratio(best['off'], best[unit])} | "
                             f"{ratio(best['off'], best[automatic])} | {'yes' if same else 'NO'} |")
                print(lines[-1], file=sys.stderr)
    os.environ.pop("QUORLA_SCREEN", None)
    suite.publish("\n".join(lines) + "\n", args.markdown)
    if not same_everywhere:
        sys.exit("screened search or assign differs from the plain one")


# ---------------------------------------------------------------------------
# Parent


def run_child(task, threads, timeout):
    result = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(task)],
                            capture_output=True, text=True, env=suite.child_env(threads), timeout=timeout)
    if result.returncode != 0:
        sys.exit(f"benchmark child failed ({task['label']}, {threads} threads):\n{result.stderr}")
    return json.loads(result.stdout.strip().splitlines()[-1])


def ratio(a, b):
    return f"{a / b:.2f}x"


def report(results, args):
    out = []
    emit = out.append
    emit("### Machine and run\n")
    for line in suite.machine_description():
        emit(line)
    emit(f"- faiss {results['faiss']}, numpy {results['numpy']}")
    emit(f"- Load average before / after: {results['load_before']} / {results['load_after']}")
    emit("- FMA peak GFLOP/s before / after each thread count's runs: " + "; ".join(
        f"{t} thread(s) {results['peak'][t]:.1f} / {results['peak_after'][t]:.1f}" for t in args.threads))
    emit(f"- Timed rounds per call: {args.repeats}, {4 * args.repeats} for calls under 0.1 s (best kept); "
         f"quorla training: {args.iterations} iterations, seed {args.seed}")
    if results.get("real"):
        meta = results["real"]
        emit(f"- Real data: {meta['count']} x {meta['dimension']} {meta['model']} embeddings "
             f"(package {meta['package']} {meta['versions'].get(meta['package'])}), texts "
             + ", ".join(f"{k} {v}" for k, v in meta["kept_per_source"].items()))
    elif results.get("real_missing"):
        emit(f"- Real data: left out ({results['real_missing']})")
    emit("")

    emit("### Seconds per call (best round), and ratios\n")
    emit("| data (n, d, clusters) | threads | metric | top | search | assign | faiss flat | assign / search "
         "| faiss / search | faiss / assign |")
    emit("|---|---|---|---|---|---|---|---|---|---|")
    for label, by_threads in results["runs"].items():
        for threads in args.threads:
            run = by_threads[str(threads)]
            shape = f"{label} ({run['n']}, {run['d']}, {run['k']})"
            for r in run["rows"]:
                emit(f"| {shape} | {threads} | {r['mode']} | {r['top']} | {r['search']:.4f} | {r['assign']:.4f} | "
                     f"{r['faiss']:.4f} | {ratio(r['assign'], r['search'])} | {ratio(r['faiss'], r['search'])} | "
                     f"{ratio(r['faiss'], r['assign'])} |")
    emit("")
    emit("search returns (n, top) float32 distances and int64 clusters, as faiss does; assign returns one "
         "Python list of point indices per cluster. A ratio above 1 means search (or assign, last column) "
         "is the faster.")
    emit("")

    emit("### Agreement\n")
    emit("| data | threads | metric | top | membership equals assign's | distances ordered | top-1 agreement "
         "with faiss | disagreeing rows | largest gap at a disagreement (float64, relative) | quorla / faiss "
         "closer there | largest top-1 distance difference where they agree (relative) | top-k sets equal to "
         "faiss's |")
    emit("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for label, by_threads in results["runs"].items():
        for threads in args.threads:
            run = by_threads[str(threads)]
            for r in run["rows"]:
                if r["top"] == 1:
                    agreement = f"{r['top1_agreement']:.6f}"
                    rows = str(r["top1_disagreements"])
                    gap = f"{r['top1_max_relative_gap']:.1e}" if "top1_max_relative_gap" in r else "-"
                    who = (f"{r['top1_quorla_better']} / {r['top1_faiss_better']}"
                           if "top1_quorla_better" in r else "-")
                    diff = f"{r['top1_max_relative_distance_difference']:.1e}"
                else:
                    agreement = rows = gap = who = diff = "-"
                sets = f"{r['topk_set_agreement']:.6f}"
                if "topk_max_relative_gap" in r:
                    sets += f" (last-place gap {r['topk_max_relative_gap']:.1e})"
                emit(f"| {label} ({run['n']}, {run['d']}, {run['k']}) | {threads} | {r['mode']} | {r['top']} | "
                     f"{'yes' if r['membership_equal'] else 'NO'} | {'yes' if r['sorted'] else 'NO'} | "
                     f"{agreement} | {rows} | {gap} | {who} | {diff} | {sets} |")
    emit("")
    emit("At a disagreement both choices' distances are recomputed in float64; 'quorla / faiss closer there' "
         "counts the rows where each one's choice is the exactly nearer one (the rest are exact ties). Gaps and "
         "differences are relative to |x|^2 + |c|^2 (Euclidean) or |x| |c| (inner product), the size of the "
         "terms each float32 distance is computed from. 'top-k sets' counts rows whose k clusters are the same "
         "set in both; where they are not, the last-place gap is the exact distance between the farthest "
         "cluster only quorla kept and the nearest only faiss kept (at rounding level: a tie for the last "
         "place).")
    emit("")
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--smoke", action="store_true", help="tiny sizes: checks that the benchmark runs")
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeats", type=int, default=None, help="timed rounds per call (default 5, smoke 1)")
    parser.add_argument("--iterations", type=int, default=10, help="quorla training iterations for the centroids")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--no-real", action="store_true", help="leave out the real embeddings")
    parser.add_argument("--screen", action="store_true", help="search with the bf16 screen off and on, in this process")
    parser.add_argument("--screen-kind", choices=["unit", "dimensions"], default="unit",
                        help="--screen: the machine's bf16 unit (or its emulation), or the dimension screen")
    parser.add_argument("--screen-clusters", type=int, default=SCREEN_CLUSTERS, help="--screen: clusters")
    parser.add_argument("--no-synthetic", action="store_true", help="leave out the synthetic shapes")
    parser.add_argument("--build-dir", default=os.path.join(suite.ROOT, "build", "bench"))
    parser.add_argument("--markdown", help="also write the tables to this file")
    parser.add_argument("--wait-quiet", type=float, default=0.0, metavar="SECONDS",
                        help="first wait up to this long for the 1-minute load average to fall below 0.5")
    args = parser.parse_args()

    if args.child:
        print(json.dumps(child_run(json.loads(args.child))))
        return
    if args.screen:
        screen_comparison(args)
        return

    import faiss
    import numpy

    if args.repeats is None:
        args.repeats = 1 if args.smoke else 5
    tasks = []
    if not args.no_synthetic:
        for shape in SMOKE_SYNTHETIC if args.smoke else SYNTHETIC:
            tasks.append({"label": f"normal d={shape[1]}", "data": "synthetic", "shape": list(shape),
                          "clusters": shape[2]})
    results = {"runs": {}, "peak": {}, "peak_after": {}, "faiss": faiss.__version__, "numpy": numpy.__version__}
    if not args.no_real:
        import embeddings

        try:
            _, meta = embeddings.load()
            results["real"] = meta
            for k in [16] if args.smoke else REAL_CLUSTERS:
                tasks.append({"label": f"MiniLM k={k}", "data": "real", "clusters": k, "limit": 2_000 if args.smoke else 0})
        except (FileNotFoundError, ValueError) as error:
            results["real_missing"] = str(error)
            print(f"note: {error}", file=sys.stderr)

    build = argparse.Namespace(build_dir=args.build_dir, label_bench=None, skip_label_bench=True)
    peak_binary, _ = suite.build_native(build)
    deadline = time.monotonic() + args.wait_quiet
    while os.getloadavg()[0] >= 0.5 and time.monotonic() < deadline:
        time.sleep(5)
    results["load_before"] = " ".join(f"{v:.2f}" for v in os.getloadavg())
    seconds = 0.2 if args.smoke else 1.0
    for threads in args.threads:
        results["peak"][threads] = suite.fma_peak(peak_binary, threads, seconds)
        for task in tasks:
            label = task["label"]
            print(f"... {label} {task.get('shape', '')} {task['clusters']} clusters, {threads} thread(s)",
                  file=sys.stderr)
            full = dict(task, threads=threads, repeats=args.repeats, iterations=args.iterations, seed=args.seed)
            run = run_child(full, threads, 120 if args.smoke else 3600)
            results["runs"].setdefault(label, {})[str(threads)] = run
        results["peak_after"][threads] = suite.fma_peak(peak_binary, threads, seconds)
    results["load_after"] = " ".join(f"{v:.2f}" for v in os.getloadavg())

    suite.publish(report(results, args), args.markdown)
    failed = [(label, t, r["mode"], r["top"]) for label, runs in results["runs"].items() for t, run in runs.items()
              for r in run["rows"] if not (r["membership_equal"] and r["sorted"])]
    if failed:
        sys.exit(f"search's results disagree with assign's or are out of order: {failed}")


if __name__ == "__main__":
    main()
