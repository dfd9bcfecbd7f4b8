"""Assign a collection larger than memory, chunk by chunk, from a memory-mapped
.npy file into another.

    python examples/assign_memmap.py                          # a generated file in a temporary directory
    python examples/assign_memmap.py rows.npy --out ids.npy --k 4
    python examples/assign_memmap.py rows.npy --model model.pkl --chunk-rows 500000

The model is trained on rows drawn evenly from the file (or loaded from a
pickle), then every chunk of rows is read from the map, searched, and its
ids written into an (n, k) int64 .npy map. The process holds one chunk, its
distances and its ids at a time; the mapped pages belong to the files, and
the system drops them or writes them back as it needs the memory.
"""
import argparse
import contextlib
import pathlib
import pickle
import sys
import tempfile
import time

import numpy as np

import quorla

DEFAULT_CLUSTERS = 1024
# Large enough that a search keeps every thread of the pool busy, small
# enough (64 MB at 64 float32 dimensions) to sit beside anything else.
DEFAULT_CHUNK_ROWS = 250_000


def aligned(block):
    """The block as an aligned, C-contiguous float32 array; a slice of rows of
    a C-order float32 map already is one, and is read in place."""
    return np.require(block, np.float32, ["C", "A"])


class TextProgress:
    """Rows done out of the total, and the rate, redrawn in place on one line."""

    def __init__(self, total, stream=sys.stderr, width=30):
        self.total, self.stream, self.width = total, stream, width
        self.start = time.perf_counter()

    def __call__(self, done):
        filled = self.width * done // max(self.total, 1)
        rate = done / max(time.perf_counter() - self.start, 1e-9)
        self.stream.write(f"\r[{'#' * filled}{'.' * (self.width - filled)}] {done:,}/{self.total:,} rows, "
                          f"{rate:,.0f} rows/s")
        if done >= self.total:
            self.stream.write("\n")
        self.stream.flush()


def generate(path, rows, dim, chunk_rows, sources=256, seed=7):
    """A seeded Gaussian mixture written chunk by chunk, so that it need not
    fit in memory either."""
    centres = np.random.default_rng(seed).standard_normal((sources, dim)).astype(np.float32) * 4
    out = np.lib.format.open_memmap(path, mode="w+", dtype=np.float32, shape=(rows, dim))
    for start in range(0, rows, chunk_rows):
        rng = np.random.default_rng([seed, start])
        stop = min(start + chunk_rows, rows)
        out[start:stop] = centres[rng.integers(0, sources, stop - start)]
        out[start:stop] += rng.standard_normal((stop - start, dim), dtype=np.float32)
    out.flush()


def train_on_sample(data, n_clusters, sample_rows, seed=0):
    """Rows at an even stride through the file: a sample without reading it all."""
    sample = aligned(data[:: max(1, len(data) // sample_rows)][:sample_rows])
    model = quorla.KMeans(n_clusters).with_euclidean(True).with_seed(seed)
    model.train(sample, None)
    return model


def assign_in_chunks(model, data, out, chunk_rows, k=1, progress=None):
    """Writes the ids of each row's k nearest clusters into out, an (n, k)
    array, one chunk of rows at a time; returns the rows per cluster of the
    first choice, counted on the way."""
    sizes = np.zeros(model.n_clusters, dtype=np.int64)
    for start in range(0, len(data), chunk_rows):
        ids = model.search(aligned(data[start:start + chunk_rows]), k)[1]
        out[start:start + len(ids)] = ids
        sizes += np.bincount(ids[:, 0], minlength=model.n_clusters)
        if progress is not None:
            progress(start + len(ids))
    return sizes


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("data", nargs="?", help="an (n, d) .npy file (default: one generated in a temporary directory)")
    parser.add_argument("--out", help="where the (n, k) ids go (default: beside the data, as NAME.ids.npy; "
                        "a generated file's go with its temporary directory)")
    parser.add_argument("--model", help="a pickled, trained model (default: train one on a sample)")
    parser.add_argument("--clusters", type=int, default=DEFAULT_CLUSTERS)
    parser.add_argument("--chunk-rows", type=int, default=DEFAULT_CHUNK_ROWS)
    parser.add_argument("--k", type=int, default=1)
    parser.add_argument("--sample", type=int, default=200_000, help="rows to train on")
    parser.add_argument("--rows", type=int, default=2_000_000, help="rows of the generated file")
    parser.add_argument("--dim", type=int, default=64, help="dimension of the generated file")
    args = parser.parse_args(argv)

    with contextlib.ExitStack() as resources:
        path = args.data
        if path is None:
            path = pathlib.Path(resources.enter_context(tempfile.TemporaryDirectory())) / "rows.npy"
            generate(path, args.rows, args.dim, args.chunk_rows)
        data = np.load(path, mmap_mode="r")
        start = time.perf_counter()
        if args.model:
            with open(args.model, "rb") as file:
                model = pickle.load(file)
            print(f"loaded {model.n_clusters} clusters from {args.model}")
        else:
            model = train_on_sample(data, args.clusters, args.sample)
            print(f"trained {model.n_clusters} clusters on a sample in {time.perf_counter() - start:.2f} s")
        k = min(args.k, model.n_clusters)
        out_path = args.out or pathlib.Path(path).with_suffix(".ids.npy")
        out = np.lib.format.open_memmap(out_path, mode="w+", dtype=np.int64, shape=(len(data), k))
        start = time.perf_counter()
        sizes = assign_in_chunks(model, data, out, args.chunk_rows, k, TextProgress(len(data)))
        out.flush()
        print(f"{len(data):,} rows x {data.shape[1]} assigned in {time.perf_counter() - start:.2f} s into {out_path}; "
              f"first-choice clusters: sizes min {sizes.min()}, median {int(np.median(sizes))}, max {sizes.max()}")
    return sizes


if __name__ == "__main__":
    main()
