"""How soon a call ends after SIGINT, at several moments into it.

    python bench/interrupt_latency.py                      # this interpreter's quorla
    python bench/interrupt_latency.py --python A --python B  # two installs side by side

Each run starts a child that calls `search` (against given centroids) or
`train` on a view of overlapping rows (row i starts at value i), so tens of
millions of rows cost only their values' memory, and every pass over the
data (the value check, the norms, the shuffle) reads them all. The child is
sent SIGINT `delay` seconds after it announces the call, and the table
gives the seconds from the signal to its KeyboardInterrupt (or to the end
of the call, marked "finished"), for every repeat.
"""
import argparse
import signal
import subprocess
import sys
import textwrap
import time

CHILD = textwrap.dedent("""
    import signal, sys, time, numpy as np, quorla
    signal.signal(signal.SIGINT, signal.default_int_handler)
    method, rows, dim = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    values = np.random.default_rng(0).standard_normal(rows + dim).astype(np.float32)
    data = np.lib.stride_tricks.as_strided(values, (rows, dim), (4, 4))
    model = quorla.KMeans(16).with_euclidean(True)
    if method == "search":
        model = model.with_centroids(values[:16 * dim].reshape(16, dim))
    print("ready", flush=True)
    try:
        model.search(data, 2) if method == "search" else model.train(data, None)
        print("finished", time.time(), flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.time(), flush=True)
""")


def latency(python, method, rows, dim, delay):
    child = subprocess.Popen([python, "-c", CHILD, method, str(rows), str(dim)], stdout=subprocess.PIPE, text=True)
    try:
        if child.stdout.readline().strip() != "ready":
            raise SystemExit(f"{python}: the child did not start")
        time.sleep(delay)
        sent = time.time()
        child.send_signal(signal.SIGINT)
        outcome, at = child.stdout.readline().split()
        return f"{float(at) - sent:.2f}" + ("" if outcome == "interrupted" else " finished")
    finally:
        child.kill()
        child.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="interpreter with quorla installed (repeatable)")
    parser.add_argument("--rows", type=int, default=40_000_000)
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--delays", type=float, nargs="+", default=[0.05, 1.5, 3.0])
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()
    pythons = args.python or [sys.executable]
    print(f"{args.rows:,} x {args.dim} overlapping rows; seconds from SIGINT to the end of the call")
    print("| python | call | delay (s) | latency (s) |\n|---|---|---|---|")
    for python in pythons:
        for method in ("search", "train"):
            for delay in args.delays:
                got = [latency(python, method, args.rows, args.dim, delay) for _ in range(args.repeats)]
                print(f"| {python} | {method} | {delay} | {', '.join(got)} |", flush=True)


if __name__ == "__main__":
    main()
