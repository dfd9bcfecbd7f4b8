"""Two Python threads, each calling search on its own model, against the
same two calls one after the other. search computes without the interpreter
lock, so on a machine with a core per thread the two should take about as
long together as one alone.

    python bench/threads_bench.py [--rows 400000] [--dim 64] [--clusters 1024] [--k 1] [--repeats 3]

The worker pool is sized to one thread (it is process-wide and fixed by the
first train that passes num_threads), so each search runs on its calling
thread and the threads themselves are what runs in parallel.
"""
import argparse
import threading
import time

import numpy as np

import quorla
import suite  # the machine description


def best_of(repeats, run):
    times = []
    for _ in range(repeats):
        began = time.perf_counter()
        run()
        times.append(time.perf_counter() - began)
    return min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=400_000)
    parser.add_argument("--dim", type=int, default=64)
    parser.add_argument("--clusters", type=int, default=1024)
    parser.add_argument("--k", type=int, default=1)
    parser.add_argument("--repeats", type=int, default=3)
    args = parser.parse_args()

    rng = np.random.default_rng(0)
    models, queries = [], []
    for seed in range(2):
        sample = rng.standard_normal((20_000, args.dim)).astype(np.float32)
        model = quorla.KMeans(args.clusters).with_iterations(2).with_seed(seed)
        model.train(sample, 1 if seed == 0 else None)  # the pool: one thread, for the whole process
        models.append(model)
        queries.append(rng.standard_normal((args.rows, args.dim)).astype(np.float32))

    answers = [None, None]

    def search(i):
        answers[i] = models[i].search(queries[i], args.k)

    def serial():
        search(0)
        search(1)

    def together():
        threads = [threading.Thread(target=search, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    serial()
    expected = [answer[1].copy() for answer in answers]
    one_after_other = best_of(args.repeats, serial)
    side_by_side = best_of(args.repeats, together)
    same = all(np.array_equal(answers[i][1], expected[i]) for i in range(2))

    print(suite.machine_description()[0][2:])
    print(f"search of {args.rows:,} x {args.dim} into {args.clusters} clusters, k={args.k}, pool of 1 thread, "
          f"best of {args.repeats}")
    print("| | seconds |")
    print("|---|---|")
    print(f"| two searches one after the other | {one_after_other:.3f} |")
    print(f"| two searches on two threads | {side_by_side:.3f} |")
    print(f"| ratio (together / one after the other) | {side_by_side / one_after_other:.2f} |")
    print(f"| ids identical to the serial run | {same} |")


if __name__ == "__main__":
    main()
