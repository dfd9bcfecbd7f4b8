"""Constructor, builders, argument conversion and the access flag."""
import numpy as np
import pytest

import quorla
from quorla import KMeans


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value, expected", [
    (1, 1), (3, 3), (np.int64(3), 3), (np.uint8(7), 7), (Index(5), 5), (True, 1),
])
def test_constructor_accepts_index_likes(value, expected):
    assert KMeans(value).n_clusters == expected
    assert KMeans(n_clusters=value).n_clusters == expected


@pytest.mark.parametrize("value", [2**64 - 1, np.uint64(2**64 - 1), 2**62])
def test_cluster_count_too_large_to_allocate_is_memory_error(value):
    with pytest.raises(MemoryError):
        KMeans(value)


@pytest.mark.parametrize("value", [-1, 2**64, Index(-3), np.int64(-1)])
def test_out_of_range_integers_raise_overflow(value):
    with pytest.raises(OverflowError):
        KMeans(value)
    with pytest.raises(OverflowError):
        KMeans(3).with_iterations(value)


@pytest.mark.parametrize("value", [2.5, "3", None, np.float32(3.0), [3], Index(2.0)])
@pytest.mark.parametrize("call, name", [
    (lambda v: KMeans(v), "n_clusters"),
    (lambda v: KMeans(2).with_iterations(v), "iters"),
    (lambda v: KMeans(2).with_max_balance_diff(v), "max_balance_diff"),
])
def test_wrong_integer_types_carry_the_argument_prefix(value, call, name):
    with pytest.raises(TypeError) as info:
        call(value)
    assert str(info.value).startswith(f"argument '{name}': ")


def test_index_raising_other_errors_propagates_unchanged():
    class Bad:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        KMeans(Bad())


@pytest.mark.parametrize("value, expected", [
    (True, True), (False, False), (np.bool_(True), True), (np.bool_(False), False),
])
@pytest.mark.parametrize("builder, getter", [
    ("with_euclidean", "is_euclidean"), ("with_balanced", "is_balanced"),
    ("with_use_medoids", "is_use_medoids"), ("with_verbose", None),
    ("with_release_gil", "is_release_gil"),
])
def test_booleans(builder, getter, value, expected):
    m = getattr(KMeans(2), builder)(value)
    if getter:
        assert getattr(m, getter) is expected


@pytest.mark.parametrize("value", [1, 0, None, "True", 1.0, np.int64(1), Index(1)])
@pytest.mark.parametrize("builder, name", [
    ("with_euclidean", "euclidean"), ("with_balanced", "balanced"),
    ("with_verbose", "verbose"), ("with_use_medoids", "use_medoids"),
    ("with_release_gil", "release"),
])
def test_non_booleans_are_refused(builder, name, value):
    with pytest.raises(TypeError) as info:
        getattr(KMeans(2), builder)(value)
    assert str(info.value).startswith(f"argument '{name}': ")


@pytest.mark.parametrize("call, message", [
    (lambda: KMeans(0), "Number of clusters must be positive"),
    (lambda: KMeans(3).with_iterations(0), "Number of iterations must be positive"),
    (lambda: KMeans(3).with_max_balance_diff(0), "Max balance difference must be positive"),
])
def test_zero_options_are_rejected(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message
    assert info.value.args == (message,)


def test_defaults():
    m = KMeans(1)
    assert m.n_clusters == 1 and m.iterations == 25
    assert (m.is_euclidean, m.is_balanced, m.is_use_medoids, m.is_trained) == (False,) * 4
    assert m.centroids is None and m.medoid_indices is None


def test_builders_copy_and_never_touch_the_receiver():
    base = KMeans(4)
    with pytest.raises(ValueError):
        base.with_iterations(0)
    a = base.with_iterations(10)
    b = a.with_euclidean(True)
    c = b.with_balanced(True).with_use_medoids(True).with_max_balance_diff(1).with_verbose(False)
    assert a is not base and b is not a
    assert (base.iterations, a.iterations, b.iterations, c.iterations) == (25, 10, 10, 10)
    assert (base.is_euclidean, a.is_euclidean, b.is_euclidean, c.is_euclidean) == (False, False, True, True)
    assert (b.is_balanced, c.is_balanced, c.is_use_medoids) == (False, True, True)


@pytest.mark.parametrize("call, message", [
    (lambda: KMeans(), "KMeans.__new__() missing 1 required positional argument: 'n_clusters'"),
    (lambda: KMeans(1, 2), "KMeans.__new__() takes 1 positional argument but 2 were given"),
    (lambda: KMeans(n=1), "KMeans.__new__() got an unexpected keyword argument 'n'"),
    (lambda: KMeans(1, n_clusters=1), "KMeans.__new__() got multiple values for argument 'n_clusters'"),
    (lambda: KMeans(1).with_iterations(), "KMeans.with_iterations() missing 1 required positional argument: 'iters'"),
    (lambda: KMeans(1).train(), "KMeans.train() missing 2 required positional arguments: 'data' and 'num_threads'"),
    (lambda: KMeans(1).train(None), "KMeans.train() missing 1 required positional argument: 'num_threads'"),
    (lambda: KMeans(1).assign(None, 1, 2), "KMeans.assign() takes 2 positional arguments but 3 were given"),
    (lambda: KMeans(1).assign(data=None, kk=1), "KMeans.assign() got an unexpected keyword argument 'kk'"),
])
def test_argument_matching_wording(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments_are_accepted():
    m = KMeans(n_clusters=2).with_iterations(iters=3).with_euclidean(euclidean=True)
    assert (m.n_clusters, m.iterations, m.is_euclidean) == (2, 3, True)


def test_wrong_receiver_is_a_type_error():
    with pytest.raises(TypeError):
        KMeans.with_iterations(5, 3)
    with pytest.raises(TypeError):
        KMeans.n_clusters.__get__(5)


def test_argument_conversion_order_data_first():
    m = KMeans(2)
    with pytest.raises(TypeError) as info:
        m.train(None, 1.5)
    assert str(info.value).startswith("argument 'data': ")
    with pytest.raises(TypeError) as info:
        m.assign([[1.0]], 1.5)
    assert str(info.value).startswith("argument 'data': ")


def test_reentrant_call_during_exclusive_access_is_refused():
    m = KMeans(2).with_euclidean(True)
    seen = []

    class Hostile:
        def __index__(self):
            for read in (lambda: m.n_clusters, lambda: repr(m), lambda: m.with_iterations(3)):
                try:
                    read()
                except RuntimeError as e:
                    seen.append(str(e))
            raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        m.train(np.zeros((4, 2), np.float32), Hostile())
    assert seen == ["Already mutably borrowed"] * 3
    assert not m.is_trained
    assert m.n_clusters == 2  # the flag was released


def test_exclusive_access_during_shared_access_is_refused():
    m = KMeans(2)
    seen = []

    class Hostile:
        def __index__(self):
            try:
                m.train(np.zeros((4, 2), np.float32), None)
            except RuntimeError as e:
                seen.append(str(e))
            assert m.n_clusters == 2  # shared accesses may nest
            return 7

    assert m.with_iterations(Hostile()).iterations == 7
    assert seen == ["Already borrowed"]
    assert not m.is_trained
