"""Balanced training side by side: two quorla builds, and k-means-constrained.

    python bench/bench_balanced.py --python OLD_PY NEW_PY [--peer-python PY]
        [--shapes 1000000x64x1024] [--embeddings FILE.npy --embedding-k 256]
        [--embedding-n 20000] [--peer-n 20000 --peer-k 20 --peer-dim 64]
        [--threads 2] [--diff 16] [--iterations I] [--medoids]

With --embeddings and --peer-python, the peer runs on the embeddings'
first --embedding-n rows at --embedding-k clusters instead of on normal
points. Each row reports the balancing passes, counted through the
progress callback.

Each build runs in a fresh interpreter of its own environment (the pool is
sized once per process). The balancing phase's time is the difference
between a balanced and an unbalanced training of the same seed: the Lloyd
iterations are bit-identical in both, and so is what follows them. Both
builds print the balanced labels' digest, which must agree. Against
k-means-constrained the data, the sizes (quorla's max_balance_diff as the
window around n / k) and one initialisation are the same; the accuracy
figure is the within-cluster sum of squares of the final labels about their
means, computed here in float64 for both.
"""
import argparse
import json
import subprocess
import sys
import textwrap

CHILD = textwrap.dedent("""
    import hashlib, json, sys, time
    import numpy as np
    import quorla
    n, dim, k, threads, diff, iterations, medoids = (int(v) for v in sys.argv[1:8])
    path = sys.argv[8]
    if path != "-":
        data = np.load(path, mmap_mode="r")[: n or None].astype(np.float32, copy=True)
    else:
        data = np.random.default_rng(42).standard_normal((n, dim), dtype=np.float32)
    out = {"n": data.shape[0], "dim": data.shape[1], "k": k}
    passes = []
    for balanced in (False, True):
        m = quorla.KMeans(k).with_euclidean(True).with_seed(7).with_balanced(balanced).with_max_balance_diff(diff)
        m = m.with_use_medoids(bool(medoids))
        if iterations:
            m = m.with_iterations(iterations)
        m = m.with_progress(lambda phase, count, cost: passes.append(count) if phase == "balancing" else None)
        start = time.perf_counter()
        m.train(data, threads)
        out["balanced" if balanced else "lloyd"] = time.perf_counter() - start
        threads = None  # the pool is sized by the first call
    labels = np.asarray(m.labels)
    out["digest"] = hashlib.sha256(labels.tobytes() + np.asarray(m.centroids).tobytes()).hexdigest()[:16]
    sizes = np.bincount(labels, minlength=k)
    out["spread"] = int(sizes.max() - sizes.min())
    out["passes"] = len(passes)
    if len(sys.argv) > 9:
        np.save(sys.argv[9], labels)
    print(json.dumps(out))
""")

PEER = textwrap.dedent("""
    import json, sys, time
    import numpy as np
    from k_means_constrained import KMeansConstrained
    n, dim, k, diff = (int(v) for v in sys.argv[1:5])
    path = sys.argv[6]
    if path != "-":
        data = np.load(path, mmap_mode="r")[:n].astype(np.float32, copy=True)
    else:
        data = np.random.default_rng(42).standard_normal((n, dim), dtype=np.float32)
    centre = n // k
    model = KMeansConstrained(n_clusters=k, size_min=centre - diff // 2, size_max=centre + diff // 2,
                              n_init=1, random_state=7)
    start = time.perf_counter()
    labels = model.fit_predict(data.astype(np.float64))
    seconds = time.perf_counter() - start
    np.save(sys.argv[5], labels)
    print(json.dumps({"seconds": seconds}))
""")


def run(python, code, *args):
    result = subprocess.run([python, "-c", code, *map(str, args)], capture_output=True, text=True, check=False)
    if result.returncode != 0:
        sys.exit(result.stderr)
    return json.loads(result.stdout.strip().splitlines()[-1])


def wcss(n, dim, labels, path="-"):
    import numpy as np
    if path != "-":
        data = np.load(path, mmap_mode="r")[:n].astype(np.float64)
    else:
        data = np.random.default_rng(42).standard_normal((n, dim), dtype=np.float32).astype(np.float64)
    total = 0.0
    for c in np.unique(labels):
        members = data[labels == c]
        total += float(((members - members.mean(axis=0)) ** 2).sum())
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--python", nargs=2, required=True, metavar=("OLD", "NEW"))
    parser.add_argument("--peer-python")
    parser.add_argument("--shapes", nargs="*", default=["1000000x64x1024"])
    parser.add_argument("--embeddings")
    parser.add_argument("--embedding-k", type=int, default=256)
    parser.add_argument("--peer-n", type=int, default=20000)
    parser.add_argument("--peer-k", type=int, default=20)
    parser.add_argument("--peer-dim", type=int, default=64)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--diff", type=int, default=16)
    parser.add_argument("--iterations", type=int, default=0, help="Lloyd iterations (0: the model's default)")
    parser.add_argument("--medoids", action="store_true")
    parser.add_argument("--embedding-n", type=int, default=0, help="rows of the embeddings (0: all)")
    args = parser.parse_args()
    options = (args.threads, args.diff, args.iterations, int(args.medoids))

    cases = [tuple(int(v) for v in shape.split("x")) + ("-",) for shape in args.shapes]
    if args.embeddings:
        cases.append((args.embedding_n, 0, args.embedding_k, args.embeddings))
    print("| data (n x d, k) | build | unbalanced s | balanced s | balancing s | old / new balancing | balanced / "
          "unbalanced | passes | spread | digest |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for n, dim, k, path in cases:
        results = [run(python, CHILD, n, dim, k, *options, path) for python in args.python]
        name = f"{results[0]['n']} x {results[0]['dim']}, k={k}" + (" (embeddings)" if path != "-" else "")
        phases = [r["balanced"] - r["lloyd"] for r in results]
        for build, r, phase in zip(("old", "new"), results, phases):
            ratio = f"{phases[0] / phase:.2f}x" if build == "new" else ""
            print(f"| {name} | {build} | {r['lloyd']:.2f} | {r['balanced']:.2f} | {phase:.2f} | {ratio} | "
                  f"{r['balanced'] / r['lloyd']:.2f}x | {r['passes']} | {r['spread']} | {r['digest']} |", flush=True)

    if args.peer_python:
        import os
        import tempfile
        import numpy as np
        n, dim, k, path = args.peer_n, args.peer_dim, args.peer_k, "-"
        if args.embeddings:
            n, k, path = args.embedding_n, args.embedding_k, args.embeddings
            dim = np.load(path, mmap_mode="r").shape[1]
        scratch = tempfile.mkdtemp()
        ours_path, peer_path = os.path.join(scratch, "quorla.npy"), os.path.join(scratch, "peer.npy")
        ours = run(args.python[1], CHILD, n, dim, k, *options, path, ours_path)
        peer = run(args.peer_python, PEER, n, dim, k, args.diff, peer_path, path)
        ours_cost = wcss(n, dim, np.load(ours_path), path)
        peer_cost = wcss(n, dim, np.load(peer_path), path)
        print()
        print("| peer run (n x d, k, spread <= %d) | seconds | within-cluster SS | |" % args.diff)
        print("|---|---|---|---|")
        print(f"| quorla, {n} x {dim}, k={k} | {ours['balanced']:.3f} | {ours_cost:.1f} | spread {ours['spread']} |")
        print(f"| k-means-constrained | {peer['seconds']:.3f} | {peer_cost:.1f} | "
              f"quorla {peer['seconds'] / ours['balanced']:.0f}x faster, cost {100 * (ours_cost / peer_cost - 1):+.2f}% |")


if __name__ == "__main__":
    main()
