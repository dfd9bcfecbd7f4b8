"""examples/ivf_index.py at tiny sizes: the inverted lists must cover the
base set, and probing every list must find every neighbour."""
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
