"""Small trainings on idle and on busy cores, quorla beside its peers.

Each library runs N small trainings (points x dim into k clusters, 25
iterations, a pool of the given size) once with the machine idle and once
while busy-loop processes keep the cores occupied, and the ratio of the two
is printed side by side. Every library runs in a child process of its own,
so that each sizes its thread pool once, as an application would; the busy
processes are started before and stopped after each timed run.

    python bench/busy_cores.py [--trainings 40] [--points 5000] [--dim 32]
                               [--clusters 16] [--threads 2] [--busy 2]
                               [--repeats 3] [--libraries quorla,faiss,sklearn]
"""
import argparse
import json
import subprocess
import sys
import time

import numpy as np

import suite  # the machine description

ITERATIONS = 25


def trainer(library, clusters, threads):
    """A function that runs one training, with the library's pool sized once."""
    if library == "quorla":
        import quorla

        first = [threads]

        def train(data):
            # The first training sizes the process-wide pool; later ones take it as it is.
            quorla.KMeans(clusters).with_iterations(ITERATIONS).train(data, first.pop() if first else None)

        return train
    if library == "faiss":
        import faiss

        faiss.omp_set_num_threads(threads)

        def train(data):
            faiss.Kmeans(data.shape[1], clusters, niter=ITERATIONS, spherical=True, seed=1).train(data)

        return train
    if library == "sklearn":
        from sklearn.cluster import KMeans
        from threadpoolctl import threadpool_limits

        limits = threadpool_limits(threads)

        def train(data, limits=limits):
            KMeans(clusters, n_init=1, max_iter=ITERATIONS, tol=0.0, algorithm="lloyd", random_state=1).fit(data)

        return train
    raise SystemExit(f"unknown library {library}")


def child(args):
    data = np.random.default_rng(0).standard_normal((args.points, args.dim)).astype(np.float32)
    train = trainer(args.child, args.clusters, args.threads)

    def trainings():
        start = time.perf_counter()
        for _ in range(args.trainings):
            train(data)
        return time.perf_counter() - start

    for _ in range(2):
        train(data)  # sizes the pool and warms the caches
    idle, busy = [], []
    for _ in range(args.repeats):
        idle.append(trainings())
        hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.busy)]
        try:
            time.sleep(0.5)  # let the scheduler place them
            busy.append(trainings())
        finally:
            for hog in hogs:
                hog.kill()
            for hog in hogs:
                hog.wait()
        time.sleep(0.5)
    print(json.dumps({"idle": idle, "busy": busy}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trainings", type=int, default=40)
    parser.add_argument("--points", type=int, default=5000)
    parser.add_argument("--dim", type=int, default=32)
    parser.add_argument("--clusters", type=int, default=16)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--busy", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--libraries", default="quorla,faiss,sklearn")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args)
        return

    print(f"{suite.machine_description()[0][2:]}: {args.trainings} trainings of {args.points} x {args.dim} "
          f"into {args.clusters}, {ITERATIONS} iterations, pool of {args.threads}, "
          f"{args.busy} busy processes, {args.repeats} repeats")
    print(f"{'library':<10}{'idle best s':>12}{'busy best s':>12}{'busy/idle best':>16}{'median':>8}")
    passed = [f"--{name}={getattr(args, name)}" for name in ("trainings", "points", "dim", "clusters",
                                                              "threads", "busy", "repeats")]
    for library in args.libraries.split(","):
        run = subprocess.run([sys.executable, __file__, *passed, "--child", library],
                             capture_output=True, text=True)
        if run.returncode != 0:
            print(f"{library:<10} failed: {run.stderr.strip().splitlines()[-1:]}")
            continue
        times = json.loads(run.stdout.strip().splitlines()[-1])
        idle, busy = times["idle"], times["busy"]
        print(f"{library:<10}{min(idle):>12.3f}{min(busy):>12.3f}{min(busy) / min(idle):>15.1f}x"
              f"{float(np.median(busy)) / float(np.median(idle)):>7.1f}x")


if __name__ == "__main__":
    main()
