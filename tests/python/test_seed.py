"""Seeded training: every draw of a training call from the model's seed."""
import hashlib
import textwrap

import numpy as np
import pytest

from quorla import KMeans
from conftest import run_python

MODES = [dict(euclidean=False, use_medoids=False, balanced=False),
         dict(euclidean=True, use_medoids=False, balanced=True),
         dict(euclidean=True, use_medoids=True, balanced=False),
         dict(euclidean=False, use_medoids=True, balanced=True)]


def _model(seed, mode, k=12):
    return (KMeans(k).with_seed(seed).with_euclidean(mode["euclidean"]).with_use_medoids(mode["use_medoids"])
            .with_balanced(mode["balanced"]).with_iterations(4).with_max_balance_diff(2))


def _data():
    # Two points per group of several identical rows: repairs of empty
    # clusters and medoid draws both happen.
    rng = np.random.default_rng(5)
    data = rng.standard_normal((600, 7)).astype(np.float32)
    data[:40] = data[0]
    return data


def _digest(model, lists):
    parts = [repr(lists), model.centroids.tobytes(), repr(model.medoid_indices)]
    return hashlib.sha256("|".join(map(str, parts)).encode()).hexdigest()


def _layouts(data):
    wide = np.zeros((data.shape[0], data.shape[1] + 5), np.float32)
    wide[:, 2:-3] = data
    return {"c": data, "fortran": np.asfortranarray(data), "columns of a wider array": wide[:, 2:-3],
            "every other row": np.repeat(data, 2, axis=0)[::2]}


@pytest.mark.parametrize("mode", MODES, ids=str)
def test_same_seed_same_results_in_every_layout(mode):
    data = _data()
    digests = set()
    for name, view in _layouts(data).items():
        np.testing.assert_array_equal(view, data)
        model = _model(2**64 - 1, mode)
        digests.add(_digest(model, model.train(view, None)))
    assert len(digests) == 1


def test_same_seed_same_results_across_processes_and_pool_sizes():
    code = textwrap.dedent("""
        import hashlib, sys, numpy as np, quorla
        rng = np.random.default_rng(5)
        data = rng.standard_normal((3000, 9)).astype(np.float32)
        model = quorla.KMeans(40).with_seed(7).with_euclidean(True).with_balanced(True).with_iterations(3)
        lists = model.train(data, int(sys.argv[1]) if len(sys.argv) > 1 else None)
        print(hashlib.sha256(repr(lists).encode() + model.centroids.tobytes()).hexdigest())
    """)
    outputs = []
    for threads in (1, 2, 3):
        result = run_python(f"import sys; sys.argv = ['x', '{threads}']\n" + code)
        assert result.returncode == 0, result.stderr
        outputs.append(result.stdout.strip())
    assert len(set(outputs)) == 1 and len(outputs[0]) == 64


def test_different_seeds_and_no_seed_draw_differently():
    data = _data()
    mode = MODES[0]
    centroids = []
    for seed in (1, 2, None, None):
        model = _model(seed, mode)
        model.train(data, None)
        centroids.append(model.centroids.tobytes())
    assert len(set(centroids)) == 4


def test_seed_builder_and_property():
    model = KMeans(3)
    assert model.seed is None
    seeded = model.with_seed(2**64 - 1)
    assert seeded.seed == 2**64 - 1 and model.seed is None
    assert seeded.with_seed(None).seed is None
    assert seeded.with_iterations(3).seed == 2**64 - 1  # other builders keep it
    with pytest.raises(OverflowError):
        model.with_seed(-1)
    with pytest.raises(OverflowError):
        model.with_seed(2**64)
    with pytest.raises(TypeError, match="argument 'seed'"):
        model.with_seed("3")
