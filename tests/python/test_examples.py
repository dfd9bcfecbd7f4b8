"""The examples at tiny sizes: ivf_index's inverted lists must cover the
base set, and probing every list must find every neighbour; assign_memmap's
chunks must give the ids of one search of the whole file."""
import io
import pickle

import numpy as np
import pytest

from conftest import load_example


@pytest.mark.parametrize("data_args, n_base", [
    (["--synthetic", "--rows", "1240", "--dim", "8"], 1200),
    (["--rows", "640"], 600),  # scikit-learn's digits, or the mixture without it
])
def test_ivf_index_example(data_args, n_base, capsys):
    window = 3
    results = load_example("ivf_index").main(data_args + ["--queries", "40", "--lists", "12", "--window", str(window)])
    assert f"| {n_base:,} | {n_base:,} |" in capsys.readouterr().out
    balanced = results[f"quorla balanced (window {window})"]
    assert max(balanced["sizes"]) - min(balanced["sizes"]) <= window
    for name, result in results.items():
        assert sum(result["sizes"]) == n_base, name
        probes = result["probes"]
        assert list(probes) == [1, 2, 4, 8, 12]
        recalls = [recall for recall, _, _ in probes.values()]
        # More probes scan a superset of the rows, so recall cannot drop.
        assert recalls == sorted(recalls), name
        assert probes[12] == (1.0, n_base, n_base), name
        assert 0 < probes[1][1] < n_base, name


@pytest.mark.parametrize("chunk_rows", [1000, 777, 9000])
@pytest.mark.parametrize("k", [1, 3])
def test_assigning_a_memory_map_in_chunks_equals_one_search(tmp_path, chunk_rows, k):
    example = load_example("assign_memmap")
    example.generate(tmp_path / "rows.npy", rows=5000, dim=12, chunk_rows=1200)
    data = np.load(tmp_path / "rows.npy", mmap_mode="r")
    model = example.train_on_sample(data, n_clusters=64, sample_rows=2000)
    out = np.lib.format.open_memmap(tmp_path / "ids.npy", mode="w+", dtype=np.int64, shape=(len(data), k))
    stream = io.StringIO()
    sizes = example.assign_in_chunks(model, data, out, chunk_rows, k, example.TextProgress(len(data), stream))
    out.flush()
    expected = model.search(np.load(tmp_path / "rows.npy"), k)[1]
    np.testing.assert_array_equal(np.load(tmp_path / "ids.npy"), expected)
    np.testing.assert_array_equal(sizes, np.bincount(expected[:, 0], minlength=64))
    # One redraw per chunk, the last at the total.
    draws = stream.getvalue().split("\r")[1:]
    assert len(draws) == -(-len(data) // chunk_rows)
    assert draws[-1].startswith(f"[{'#' * 30}] 5,000/5,000 rows")


@pytest.mark.parametrize("pickled", [False, True], ids=["trained on a sample", "pickled model"])
def test_the_memory_map_example_writes_every_rows_ids(tmp_path, capsys, pickled):
    example = load_example("assign_memmap")
    example.generate(tmp_path / "rows.npy", rows=3000, dim=8, chunk_rows=500)
    data = np.load(tmp_path / "rows.npy")
    # What the example trains unless it is given another model to load.
    model = example.train_on_sample(data, n_clusters=70 if pickled else 90, sample_rows=1000)
    (tmp_path / "model.pkl").write_bytes(pickle.dumps(model))
    args = [str(tmp_path / "rows.npy"), "--clusters", "90", "--chunk-rows", "640", "--k", "2", "--sample", "1000"]
    sizes = example.main(args + (["--model", str(tmp_path / "model.pkl")] if pickled else []))
    ids = np.load(tmp_path / "rows.ids.npy")
    np.testing.assert_array_equal(ids, model.search(data, 2)[1])
    np.testing.assert_array_equal(sizes, np.bincount(ids[:, 0], minlength=model.n_clusters))
    assert f"{'loaded' if pickled else 'trained'} {model.n_clusters} clusters" in capsys.readouterr().out
