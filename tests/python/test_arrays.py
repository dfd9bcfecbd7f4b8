"""How input arrays are accepted or refused."""
import numpy as np
import pytest

from quorla import KMeans


def _refusals():
    base = np.zeros((6, 4), np.float32)
    raw = np.zeros(64, np.uint8)
    misaligned = np.frombuffer(raw.data, dtype=np.float32, count=8, offset=1).reshape(2, 4)
    packed = np.zeros(6, dtype=[("a", "u1"), ("x", "<f4", (2,))])["x"]
    return [
        pytest.param([[1.0, 2.0]], id="list"),
        pytest.param(None, id="none"),
        pytest.param(base.astype(np.float64), id="float64"),
        pytest.param(base.astype(np.float16), id="float16"),
        pytest.param(base.astype(np.int32), id="int32"),
        pytest.param(base.astype(">f4") if np.little_endian else base.astype("<f4"), id="byteswapped"),
        pytest.param(base[0], id="1d"),
        pytest.param(base.reshape(2, 3, 4), id="3d"),
        pytest.param(np.float32(1.0), id="scalar"),
        pytest.param(misaligned, id="misaligned"),
        pytest.param(packed, id="packed-record-field"),
    ]


@pytest.mark.parametrize("data", _refusals())
@pytest.mark.parametrize("method, extra", [("train", None), ("assign", 1)])
def test_refused_arrays_raise_type_error_with_prefix(data, method, extra):
    m = KMeans(1)
    with pytest.raises(TypeError) as info:
        getattr(m, method)(data, extra)
    assert str(info.value).startswith("argument 'data': ")
    assert not m.is_trained


def test_misaligned_and_packed_views_are_really_what_we_think():
    raw = np.zeros(64, np.uint8)
    misaligned = np.frombuffer(raw.data, dtype=np.float32, count=8, offset=1)
    assert misaligned.ctypes.data % 4 != 0
    packed = np.zeros(6, dtype=[("a", "u1"), ("x", "<f4", (2,))])["x"]
    assert packed.dtype == np.float32 and packed.strides[0] % 4 != 0


@pytest.mark.parametrize("data", [
    np.zeros((0, 3), np.float32),
    np.zeros((3, 0), np.float32),
    np.zeros((5, 4), np.float32)[::2],
    np.zeros((5, 4), np.float32)[::-1],
    np.zeros((5, 4), np.float32).T,
    np.broadcast_to(np.zeros(4, np.float32), (5, 4)),
    np.asfortranarray(np.zeros((5, 4), np.float32)),
    np.zeros((5, 4), np.float32).view(np.matrix),
])
def test_accepted_layouts_reach_the_engine(data):
    # An untrained model refuses assignment in the engine, after the array
    # was accepted; a refused array would have raised TypeError instead.
    with pytest.raises(ValueError, match="Clustering has not been trained yet"):
        KMeans(2).assign(data, 1)


def test_read_only_arrays_are_accepted():
    data = np.zeros((5, 4), np.float32)
    data.flags.writeable = False
    with pytest.raises(ValueError, match="not been trained"):
        KMeans(2).assign(data, 1)


@pytest.mark.parametrize("kind", ["misaligned", "packed-record-field"])
def test_refusal_of_an_odd_layout_suggests_a_copy_that_is_read(kind):
    # numpy.ascontiguousarray would hand a contiguous but misaligned array
    # back unchanged; the suggested expression must really be accepted.
    raw = np.zeros(64, np.uint8)
    data = {
        "misaligned": np.frombuffer(raw.data, dtype=np.float32, count=8, offset=1).reshape(2, 4),
        "packed-record-field": np.zeros(6, dtype=[("a", "u1"), ("x", "<f4", (2,))])["x"],
    }[kind]
    m = KMeans(1)
    with pytest.raises(TypeError) as info:
        m.train(data, None)
    assert str(info.value).endswith("; pass numpy.array(data)")
    assert m.train(np.array(data), None) == [list(range(len(data)))]
