"""Training with a screen forced on (QUORLA_SCREEN=emulated, =bf16,
=amx, =amx-model, =dimensions), off, and left to the automatic choice: the results must be
the same bits.
The data makes near-ties (near-duplicate centres, points on and between
them) so that windows hold several clusters, and NaN must still fault.
Search and assign with the screen forced must give the plain results too."""
import numpy as np
import pytest

from quorla import KMeans

from conftest import is_panic


def _near_ties():
    rng = np.random.default_rng(5)
    base = rng.standard_normal((20, 33)).astype(np.float32)
    centres = np.concatenate([base, base + np.float32(2**-9) * rng.standard_normal((20, 33)).astype(np.float32)])
    data = centres[rng.integers(0, 40, 4000)] + 0.05 * rng.standard_normal((4000, 33)).astype(np.float32)
    data[:40] = centres
    data[40:60] = 0.5 * (centres[:20] + centres[20:])
    return data.astype(np.float32)


def _train(data, euclidean, balanced):
    model = KMeans(40).with_seed(4).with_euclidean(euclidean).with_balanced(balanced).with_iterations(6)
    lists = model.train(data, None)
    return lists, model


@pytest.mark.parametrize("euclidean", [True, False])
@pytest.mark.parametrize("balanced", [False, True])
@pytest.mark.parametrize("screen", ["emulated", "bf16", "amx", "amx-model", "dimensions", "auto"])
@pytest.mark.parametrize("steps", ["full", "bounded"])
def test_screened_trainings_are_the_plain_ones(monkeypatch, euclidean, balanced, screen, steps):
    data = _near_ties()
    monkeypatch.setenv("QUORLA_LABEL_STEP", "full")
    monkeypatch.setenv("QUORLA_SCREEN", "off")
    plain_lists, plain = _train(data, euclidean, balanced)
    # Bounded steps refresh their bounds through the screen.
    monkeypatch.setenv("QUORLA_LABEL_STEP", steps)
    monkeypatch.setenv("QUORLA_SCREEN", screen)
    lists, screened = _train(data, euclidean, balanced)
    assert lists == plain_lists
    assert np.array_equal(screened.labels, plain.labels)
    assert screened.centroids.tobytes() == plain.centroids.tobytes()


@pytest.mark.parametrize("euclidean", [True, False])
def test_automatic_dimension_screen_trains_the_plain_model(monkeypatch, euclidean):
    # As on a CPU without a bf16 unit, at a shape where the automatic
    # choice may take the dimension screen: data of low rank, 2,048 clusters.
    rng = np.random.default_rng(9)
    basis = rng.standard_normal((6, 256)).astype(np.float32)
    data = (rng.standard_normal((9000, 6)).astype(np.float32) @ basis
            + np.float32(0.02) * rng.standard_normal((9000, 256)).astype(np.float32))
    runs = {}
    for screen in ("off", "no-bf16"):
        monkeypatch.setenv("QUORLA_SCREEN", screen)
        model = KMeans(2048).with_seed(3).with_euclidean(euclidean).with_iterations(4)
        runs[screen] = (model.train(data, None), model.centroids.tobytes())
    assert runs["no-bf16"] == runs["off"]


@pytest.mark.parametrize("euclidean", [True, False])
@pytest.mark.parametrize("screen", ["emulated", "dimensions"])
def test_nan_faults_with_the_screen_forced(monkeypatch, euclidean, screen):
    data = _near_ties()
    data[1234, 7] = np.nan
    monkeypatch.setenv("QUORLA_SCREEN", screen)
    model = KMeans(40).with_seed(4).with_euclidean(euclidean).with_iterations(3)
    with pytest.raises(BaseException) as raised:
        model.train(data, None)
    assert is_panic(raised.value)
    assert "NaN" in str(raised.value)
    assert not model.is_trained


@pytest.mark.parametrize("euclidean", [True, False])
def test_automatic_screen_at_a_shape_it_may_take(monkeypatch, euclidean):
    # k = 256 and d = 64: the automatic choice measures the unit and may
    # screen the full steps; whichever it decides, the bits are the same.
    rng = np.random.default_rng(9)
    centres = rng.standard_normal((64, 64)).astype(np.float32)
    data = (centres[rng.integers(0, 64, 6000)] + 0.3 * rng.standard_normal((6000, 64))).astype(np.float32)
    monkeypatch.setenv("QUORLA_LABEL_STEP", "full")
    runs = []
    for screen in ["off", "auto"]:
        monkeypatch.setenv("QUORLA_SCREEN", screen)
        model = KMeans(256).with_seed(2).with_euclidean(euclidean).with_iterations(3)
        runs.append((model.train(data, None), model.centroids.tobytes()))
    assert runs[0] == runs[1]


@pytest.mark.parametrize("euclidean", [True, False])
@pytest.mark.parametrize("screen", ["emulated", "bf16", "amx", "amx-model", "dimensions", "auto"])
def test_screened_search_and_assign_are_the_plain_ones(monkeypatch, euclidean, screen):
    # Near-ties at every top count, through the API: distances bit for bit,
    # clusters and lists alike, with the screen off and forced or automatic.
    data = _near_ties()
    model = KMeans(40).with_seed(4).with_euclidean(euclidean).with_iterations(3)
    model.train(data, None)
    runs = []
    for setting in ["off", screen]:
        monkeypatch.setenv("QUORLA_SCREEN", setting)
        runs.append([(model.search(data, k), model.assign(data, k)) for k in (1, 2, 10, 39)])
    for ((plain_d, plain_c), plain_lists), ((d, c), lists) in zip(*runs):
        assert d.tobytes() == plain_d.tobytes()
        assert np.array_equal(c, plain_c)
        assert lists == plain_lists


@pytest.mark.parametrize("euclidean", [True, False])
def test_nan_query_faults_with_the_screen_forced(monkeypatch, euclidean):
    data = _near_ties()
    model = KMeans(40).with_seed(4).with_euclidean(euclidean).with_iterations(2)
    model.train(data, None)
    data[17, 3] = np.nan
    for screen in ("emulated", "dimensions"):
        monkeypatch.setenv("QUORLA_SCREEN", screen)
        for call in (model.search, model.assign):
            with pytest.raises(BaseException) as raised:
                call(data, 2)
            assert is_panic(raised.value)
            assert "NaN" in str(raised.value)


# QUORLA_KERNEL_LEVEL runs a lower level than the CPU's: the vector levels
# share each dot's FMA chain, so their results agree to the bit with the
# detected level's, while the scalar level sums in another order and its
# distances differ in the last bits. A name the CPU lacks, or none at all,
# leaves the detected level.
def test_forced_kernel_levels(monkeypatch):
    rng = np.random.default_rng(8)
    data = rng.standard_normal((3000, 37)).astype(np.float32)
    model = KMeans(50).with_seed(1).with_euclidean(True).with_iterations(3)
    model.train(data, None)
    monkeypatch.setenv("QUORLA_SCREEN", "off")

    def searched(level):
        monkeypatch.setenv("QUORLA_KERNEL_LEVEL", level)
        distances, clusters = model.search(data, 3)
        return distances.tobytes(), clusters.tolist()

    detected = searched("no such level")
    for level in ("avx2", "avx512", "neon", ""):
        assert searched(level) == detected, level
    scalar = searched("scalar")
    assert scalar[1] == detected[1]
    assert scalar[0] != detected[0]
