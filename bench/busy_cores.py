"""Small trainings on idle and on busy cores.

Runs N small trainings (points x dim into k clusters, a pool of the given
size) once with the machine idle and once while busy-loop processes keep
cores occupied, and prints both times and their ratio. The same data and
seeds go to every run; the busy processes are started before and stopped
after each timed run.

    python bench/busy_cores.py [--trainings 40] [--points 5000] [--dim 32]
                               [--clusters 16] [--threads 2] [--busy 2] [--repeats 3]
"""
import argparse
import subprocess
import sys
import time

import numpy as np
import quorla


def trainings(data, clusters, count):
    start = time.perf_counter()
    for _ in range(count):
        quorla.KMeans(clusters).train(data, None)  # the pool made at start-up
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--trainings", type=int, default=40)
    parser.add_argument("--points", type=int, default=5000)
    parser.add_argument("--dim", type=int, default=32)
    parser.add_argument("--clusters", type=int, default=16)
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--busy", type=int, default=2)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    data = np.random.default_rng(0).standard_normal((args.points, args.dim)).astype(np.float32)
    # The pool is sized once per process, by the first training.
    quorla.KMeans(args.clusters).train(data, args.threads)
    trainings(data, args.clusters, 2)  # warms the caches

    idle, busy = [], []
    for _ in range(args.repeats):
        idle.append(trainings(data, args.clusters, args.trainings))
        hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(args.busy)]
        try:
            time.sleep(0.5)  # let the scheduler place them
            busy.append(trainings(data, args.clusters, args.trainings))
        finally:
            for hog in hogs:
                hog.kill()
            for hog in hogs:
                hog.wait()
        time.sleep(0.5)

    print(f"{args.trainings} trainings of {args.points} x {args.dim} into {args.clusters}, "
          f"pool of {args.threads}, {args.busy} busy processes, best of {args.repeats}")
    print(f"{'case':<8}{'best s':>10}{'median s':>10}")
    for name, times in (("idle", idle), ("busy", busy)):
        print(f"{name:<8}{min(times):>10.3f}{float(np.median(times)):>10.3f}")
    print(f"busy / idle: {min(busy) / min(idle):.1f}x (best), "
          f"{float(np.median(busy)) / float(np.median(idle)):.1f}x (median)")


if __name__ == "__main__":
    main()
