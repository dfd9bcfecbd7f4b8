"""Property-based fuzzing of the whole Python surface.

Every call either returns a result that passes the invariants below or
raises one of the exceptions the API documents, under the conditions it
documents them: TypeError for wrong types, OverflowError for integers out
of the unsigned 64-bit range, ValueError for invalid options and misuse,
MemoryError only for cluster counts no machine can hold, RuntimeError only
for re-entrant use, and PanicException only for NaN or overflowing data in
train/assign with two or more clusters. Anything else (another exception, a
wrong result, a crash of the interpreter running the tests) fails.

The budget is fixed and derandomized for the test command. For a longer,
randomized run set QUORLA_FUZZ_EXAMPLES, e.g.
    QUORLA_FUZZ_EXAMPLES=20000 pytest tests/python/test_fuzz.py
"""
import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

from quorla import KMeans
from conftest import SANITIZED, is_panic

U64_MAX = 2**64 - 1

pytestmark = pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
LONG_RUN = int(os.environ.get("QUORLA_FUZZ_EXAMPLES", "0") or 0)


def fuzz(examples):
    """Settings for one property: `examples` inputs, always the same ones,
    unless a long randomized run was asked for."""
    return settings(
        max_examples=LONG_RUN or examples,
        derandomize=not LONG_RUN,
        database=None,
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
    )


@pytest.fixture(scope="module", autouse=True)
def pool_exists():
    # The worker pool is per process and sized by the first train() that
    # passes num_threads. Creating it here first means no fuzzed count can
    # start thousands of threads in the test process; every later count
    # then meets "already initialized", which the oracle expects.
    KMeans(1).train(np.zeros((1, 1), np.float32), None)


# ---- hostile argument objects -------------------------------------------

class HostileError(Exception):
    """Raised by the hostile objects; must come out of the call unchanged."""


CURRENT = []  # the model whose method is running, for re-entrant callbacks


class Hostile:
    """An object whose __index__ (and __bool__) misbehave in one chosen way."""

    def __init__(self, kind, payload=0):
        self.kind, self.payload = kind, payload

    def __repr__(self):
        return f"Hostile({self.kind!r}, {self.payload!r})"

    def __index__(self):
        kind = self.kind
        if kind == "raise":
            raise HostileError("from __index__")
        if kind == "returns":
            return self.payload  # an int of any size, or a wrong type
        if kind == "reenter":
            # Calls back into the model whose method is converting us, then
            # lets the refusal (if any) propagate.
            model = CURRENT[-1]
            model.train(np.zeros((4, 2), np.float32), None) if self.payload else repr(model)
            return 2
        raise AssertionError(kind)

    def __bool__(self):
        raise HostileError("from __bool__")

    def __int__(self):  # never consulted: only __index__ converts
        return 3

    def __float__(self):
        return 3.0


class IntSubclass(int):
    def __index__(self):  # an int subclass is converted by value, not by __index__
        raise HostileError("an int subclass's __index__ must not be called")


WRONG_INDEX_RESULTS = [1.5, "3", None, b"1", [1], np.float32(2.0)]

boundaries = st.sampled_from([0, 1, 2, 3, 2**8, 2**31 - 1, 2**32, 2**63 - 1, 2**63, U64_MAX, 2**64, 2**65, 2**100])
any_int = st.one_of(
    st.integers(-3, 40),
    boundaries,
    boundaries.map(lambda b: -b),
    st.integers(-(2**70), 2**70),
)


def numpy_integers(values):
    """NumPy integer scalars of every width, from `values` where they fit;
    the narrow types also from their whole range (which never reaches a
    cluster count that would really be allocated)."""
    types = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]

    def of_type(t):
        info = np.iinfo(t)
        inside = values.filter(lambda v: info.min <= v <= info.max)
        if info.bits > 16:
            return inside.map(t)
        return st.one_of(inside, st.integers(int(info.min), int(info.max))).map(t)

    return st.sampled_from(types).flatmap(of_type)


def int_likes(values):
    """Every kind of object an integer argument can be handed."""
    return st.one_of(
        values,
        numpy_integers(values),
        values.map(IntSubclass),
        values.map(lambda v: np.array(v) if -(2**63) <= v <= U64_MAX else np.array(v, dtype=object)),
        st.booleans(),
        st.sampled_from([np.True_, np.False_, None, 2.0, float("nan"), float("inf"), "3", b"3", [3], (3,), object(),
                         np.float32(3), np.float64(1.0), 3 + 0j, np.array([3]), np.timedelta64(3, "s")]),
        st.builds(Hostile, st.just("raise")),
        values.map(lambda v: Hostile("returns", v)),
        st.sampled_from(WRONG_INDEX_RESULTS).map(lambda v: Hostile("returns", v)),
    )


def bool_likes():
    return st.one_of(
        st.booleans(),
        st.sampled_from([np.True_, np.False_, 0, 1, None, 1.0, "True", np.int64(1), np.array(True), [True]]),
        any_int,
        st.builds(Hostile, st.just("raise")),
    )


def index_value(value):
    """What converting `value` to an unsigned 64-bit integer gives: the int,
    or the exception type expected. Hostile callbacks are decided by the
    caller."""
    if isinstance(value, Hostile):
        if value.kind == "raise":
            return HostileError
        if value.kind == "returns":
            payload = value.payload
            if type(payload) is not int:
                return TypeError
            return index_value(payload)
        raise AssertionError(value)
    if isinstance(value, bool):
        return int(value)
    if isinstance(value, np.timedelta64):  # an np.integer without __index__
        return TypeError
    if isinstance(value, (int, np.integer)) or (isinstance(value, np.ndarray) and value.ndim == 0
                                                and value.dtype.kind in "iu"):
        number = int(value)
        return number if 0 <= number <= U64_MAX else OverflowError
    if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype == object and type(value.item()) is int:
        return TypeError  # object arrays have no __index__
    return TypeError


def bool_value(value):
    if value is True or value is False:
        return value
    if isinstance(value, np.bool_):
        return bool(value)
    return TypeError


# ---- arrays --------------------------------------------------------------

SPECIAL = [0.0, -0.0, 1.0, -1.0, 1e38, -1e38, 3.4028235e38, 1e-45, -1e-45, 1e-40, 1.1754944e-38,
           float("nan"), float("inf"), float("-inf")]
ordinary = st.floats(-100, 100, width=32)
floats32 = st.one_of(ordinary, ordinary, ordinary, st.sampled_from(SPECIAL), st.floats(width=32))

OTHER_DTYPES = [np.float64, np.float16, np.int32, np.int64, np.uint8, np.bool_, np.complex64, ">f4", "<f8",
                object, "U3", "S4", "V4", "datetime64[s]", [("x", "<f4")]]

LAYOUTS = ["c", "fortran", "rows_reversed", "cols_reversed", "step", "transposed", "padded", "broadcast",
           "misaligned", "odd_row_stride", "odd_col_stride", "packed_field", "read_only", "from_bytes",
           "matrix"]


def relayout(a, layout):
    """The same values (where possible) in another memory layout."""
    rows, cols = a.shape
    if layout == "c":
        return np.ascontiguousarray(a)
    if layout == "fortran":
        return np.asfortranarray(a)
    if layout == "rows_reversed":
        return a[::-1].copy()[::-1]
    if layout == "cols_reversed":
        return a[:, ::-1].copy()[:, ::-1]
    if layout == "step":
        wide = np.zeros((rows * 2, cols * 3), np.float32)
        wide[::2, ::3] = a
        return wide[::2, ::3]
    if layout == "transposed":
        return a.T.copy().T
    if layout == "padded":
        wide = np.full((rows, cols + 3), np.float32(-7.0))
        wide[:, :cols] = a
        return wide[:, :cols]
    if layout == "broadcast":
        if rows == 0:
            return a
        return np.broadcast_to(a[:1], (rows, cols))
    if layout == "misaligned":
        raw = bytearray(a.nbytes + 8)
        view = np.frombuffer(raw, np.float32, count=a.size, offset=1).reshape(rows, cols)
        view[...] = a
        return view
    if layout in ("odd_row_stride", "odd_col_stride"):
        row_stride, col_stride = (cols * 4 + 2, 4) if layout == "odd_row_stride" else (cols * 6 + 4, 6)
        raw = np.zeros(rows * row_stride + cols * col_stride + 16, np.uint8)
        base = np.frombuffer(raw.data, np.float32, count=len(raw) // 4)
        view = np.lib.stride_tricks.as_strided(base, shape=(rows, cols), strides=(row_stride, col_stride))
        return view
    if layout == "packed_field":
        record = np.zeros(rows, dtype=[("pad", "u1"), ("x", "<f4", (cols,))])
        record["x"] = a
        return record["x"]
    if layout == "read_only":
        copy = a.copy()
        copy.flags.writeable = False
        return copy
    if layout == "from_bytes":
        return np.frombuffer(a.tobytes(), np.float32).reshape(rows, cols)  # read-only memory
    if layout == "matrix":
        return np.asmatrix(a)
    raise AssertionError(layout)


@st.composite
def point_arrays(draw, rows=st.integers(0, 10), cols=st.integers(0, 4)):
    shape = (draw(rows), draw(cols))
    # Half the arrays hold only ordinary values, so that training gets far.
    elements = draw(st.sampled_from([ordinary, floats32]))
    values = draw(hnp.arrays(np.float32, shape, elements=elements))
    return relayout(values, draw(st.sampled_from(LAYOUTS)))


@st.composite
def any_data(draw):
    """Mostly 2-D float32 arrays in every layout; also every other dtype,
    0, 1 and 3 dimensions, and things that are not arrays at all."""
    kind = draw(st.sampled_from(["points"] * 5 + ["dtype", "ndim", "not_array"]))
    if kind == "points":
        return draw(point_arrays())
    if kind == "dtype":
        shape = (draw(st.integers(0, 6)), draw(st.integers(0, 3)))
        if draw(st.booleans()):
            # Every scalar type in both byte orders, records, subarrays, strings.
            dtype = draw(st.one_of(hnp.scalar_dtypes(), hnp.array_dtypes(allow_subarrays=True),
                                   hnp.byte_string_dtypes(), hnp.unicode_string_dtypes()))
            return draw(hnp.arrays(dtype, shape))
        a = draw(hnp.arrays(np.float32, shape, elements=ordinary))
        dtype = draw(st.sampled_from(OTHER_DTYPES))
        try:
            return a.astype(dtype)
        except (TypeError, ValueError):
            return np.zeros(a.shape, dtype)
    if kind == "ndim":
        ndim = draw(st.sampled_from([0, 1, 3]))
        return relayout_nd(draw(hnp.arrays(np.float32, hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0,
                                                                          max_side=4), elements=floats32)))
    a = draw(hnp.arrays(np.float32, (draw(st.integers(0, 4)), draw(st.integers(0, 3))), elements=ordinary))
    others = [a.tolist(), None, np.float32(1.0), memoryview(a.copy()), "data", 3, a.tobytes()]
    return others[draw(st.integers(0, len(others) - 1))]


def relayout_nd(a):
    return a[::-1] if a.ndim and a.shape[0] > 1 else a


def accepted(data):
    """Whether the module must read `data` in place (else TypeError)."""
    if not isinstance(data, np.ndarray) or data.ndim != 2:
        return False
    if data.dtype != np.float32 or not data.dtype.isnative:
        return False
    for extent, stride in zip(data.shape, data.strides):
        if extent > 1 and stride % 4 != 0:
            return False
    return data.size == 0 or data.ctypes.data % 4 == 0


def overflow_prone(data):
    """NaN, infinity, or values whose squares and sums can overflow float32."""
    values = np.asarray(data, dtype=np.float64)
    if values.size == 0:
        return False
    if not np.all(np.isfinite(values)):
        return True
    cols = max(values.shape[1], 1)
    return float(np.max(np.abs(values))) ** 2 * cols * 4 * max(values.shape[0], 1) > 3.4e38


# ---- the oracle ---------------------------------------------------------

VALUE_ERRORS = [
    r"Number of clusters must be positive",
    r"Number of iterations must be positive",
    r"Max balance difference must be positive",
    r"Clustering has already been trained",
    r"Clustering has not been trained yet",
    r"Number of points \(\d+\) must be at least as large as number of clusters \(\d+\)",
    r"Dimension mismatch: expected \d+, got \d+",
    r"Invalid parameter: k must be positive",
    r"Invalid parameter: Thread setup failed: The global thread pool has already been initialized\.",
]
BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def describe(result, error):
    """A coarse label of an outcome, for --hypothesis-show-statistics."""
    if error is None:
        return "result"
    text = re.sub(r"\d+", "N", str(error).split(":")[0])
    return f"{type(error).__name__} {text[:40]}"


def outcome(call):
    try:
        return call(), None
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return None, error


def check_error_text(error):
    """Whatever the path, the text of an allowed error is one of the known
    forms."""
    text = str(error)
    if type(error) is ValueError:
        assert any(re.fullmatch(p, text) for p in VALUE_ERRORS), text
    elif type(error) is RuntimeError:
        assert text in BORROW_ERRORS, text
    elif type(error) is TypeError:
        assert text.startswith("argument '") or "KMeans." in text, text
    elif type(error) is OverflowError:
        assert "int" in text, text


def expect_error(error, expected):
    """`error` must be an instance of exactly the expected type."""
    assert error is not None, f"expected {expected.__name__}, got a result"
    assert type(error) is expected, f"expected {expected.__name__}, got {type(error).__name__}: {error}"
    check_error_text(error)


def model_state(model):
    return (repr(model), model.n_clusters, model.iterations, model.is_euclidean, model.is_balanced,
            model.is_use_medoids, model.is_trained)


def check_partition(lists, rows, n_clusters):
    assert type(lists) is list and len(lists) == n_clusters
    seen = []
    for members in lists:
        assert type(members) is list
        assert all(type(i) is int for i in members)
        assert members == sorted(members) and len(set(members)) == len(members)
        seen.extend(members)
    assert sorted(seen) == list(range(rows))


def check_assignment(lists, rows, n_clusters, k):
    assert type(lists) is list and len(lists) == n_clusters
    counts = [0] * rows
    for members in lists:
        assert type(members) is list and members == sorted(members) and len(set(members)) == len(members)
        for i in members:
            assert type(i) is int and 0 <= i < rows
            counts[i] += 1
    assert counts == [min(k, n_clusters)] * rows


def check_trained_model(model, rows, cols):
    assert model.is_trained
    centroids = model.centroids
    assert type(centroids) is np.ndarray and centroids.dtype == np.float32
    assert centroids.shape == (model.n_clusters, cols) and centroids.flags.c_contiguous
    medoids = model.medoid_indices
    if model.is_use_medoids:
        assert type(medoids) is list and len(medoids) == model.n_clusters
        assert all(type(i) is int and 0 <= i < rows for i in medoids)
    else:
        assert medoids is None


def run_train(model, data, num_threads):
    """train() checked against everything the oracle can predict."""
    before_trained = model.is_trained
    CURRENT.append(model)
    try:
        lists, error = outcome(lambda: model.train(data, num_threads))
    finally:
        CURRENT.pop()
    event(f"train: {describe(lists, error)}")
    if not accepted(data):
        expect_error(error, TypeError)
        assert str(error).startswith("argument 'data': ")
        assert model.is_trained == before_trained
        return
    threads = None
    if num_threads is not None:
        if isinstance(num_threads, Hostile) and num_threads.kind == "reenter":
            # Exclusive access is held while num_threads is converted.
            expect_error(error, RuntimeError)
            assert str(error) == ("Already borrowed" if num_threads.payload else "Already mutably borrowed")
            assert model.is_trained == before_trained
            return
        threads = index_value(num_threads)
        if not isinstance(threads, int):
            expect_error(error, threads)
            assert model.is_trained == before_trained
            return
    rows, cols = data.shape
    if before_trained:
        expect_error(error, ValueError)
        assert str(error) == "Clustering has already been trained"
        assert model.is_trained
        return
    if rows < model.n_clusters:
        expect_error(error, ValueError)
        assert str(error).startswith("Number of points (")
    elif threads is not None:
        expect_error(error, ValueError)
        assert str(error).startswith("Invalid parameter: Thread setup failed: ")
    elif error is not None:
        assert is_panic(error), f"{type(error).__name__}: {error}"
        assert overflow_prone(data) and model.n_clusters >= 2, str(error)
        assert not model.is_trained
        return
    else:
        check_partition(lists, rows, model.n_clusters)
        check_trained_model(model, rows, cols)
        return
    assert not model.is_trained


def run_assign(model, data, k):
    CURRENT.append(model)
    try:
        lists, error = outcome(lambda: model.assign(data, k))
    finally:
        CURRENT.pop()
    event(f"assign: {describe(lists, error)}")
    if not accepted(data):
        expect_error(error, TypeError)
        assert str(error).startswith("argument 'data': ")
        return
    if isinstance(k, Hostile) and k.kind == "reenter":
        if k.payload:  # train while assign holds shared access
            expect_error(error, RuntimeError)
            assert str(error) == "Already borrowed"
            return
        count = 2  # a nested read is allowed; the hostile object returns 2
    else:
        count = index_value(k)
        if not isinstance(count, int):
            expect_error(error, count)
            return
    rows, cols = data.shape
    if not model.is_trained:
        expect_error(error, ValueError)
        assert str(error) == "Clustering has not been trained yet"
    elif count == 0:
        expect_error(error, ValueError)
        assert str(error) == "Invalid parameter: k must be positive"
    elif cols != model.centroids.shape[1]:
        expect_error(error, ValueError)
        assert str(error) == f"Dimension mismatch: expected {model.centroids.shape[1]}, got {cols}"
    elif error is not None:
        assert is_panic(error), f"{type(error).__name__}: {error}"
        assert model.n_clusters >= 2
        assert overflow_prone(data) or overflow_prone(model.centroids), str(error)
    else:
        check_assignment(lists, rows, model.n_clusters, count)


# ---- properties -----------------------------------------------------------

# Cluster counts that need no real allocation: small ones, and ones past any
# address space. Counts in between would really be allocated (and written).
# Under a sanitizer the allocator aborts instead of throwing for sizes it
# cannot serve, so only counts beyond what a vector can describe at all
# (which fail before allocating) are used there.
HUGE_CLUSTERS = st.integers(2**61, U64_MAX) if SANITIZED else st.integers(2**45, U64_MAX)
cluster_counts = st.one_of(st.integers(-(2**70), 8), HUGE_CLUSTERS, st.integers(2**64, 2**80), boundaries.filter(
    lambda b: b < 2**20 or b >= 2**61))


@fuzz(1000)
@given(value=int_likes(cluster_counts), keyword=st.booleans())
def test_constructor(value, keyword):
    expected = index_value(value)
    # A count in between would be allocated for real (gigabytes, written).
    assert not (isinstance(expected, int) and 2**20 <= expected < 2**45), "unsafe cluster count generated"
    model, error = outcome(lambda: KMeans(n_clusters=value) if keyword else KMeans(value))
    if not isinstance(expected, int):
        assert type(error) is expected, repr(error)
        return
    if expected == 0:
        expect_error(error, ValueError)
    elif expected >= 2**45:
        expect_error(error, MemoryError)
    else:
        assert error is None, repr(error)
        assert model.n_clusters == expected and not model.is_trained and model.centroids is None


INT_BUILDERS = [("with_iterations", "iters", "iterations", "Number of iterations must be positive"),
                ("with_max_balance_diff", "max_balance_diff", None, "Max balance difference must be positive")]
BOOL_BUILDERS = [("with_euclidean", "euclidean", "is_euclidean"), ("with_balanced", "balanced", "is_balanced"),
                 ("with_verbose", "verbose", None), ("with_use_medoids", "use_medoids", "is_use_medoids")]


@pytest.mark.parametrize("builder, name, getter, zero_message", INT_BUILDERS)
@fuzz(600)
@given(value=int_likes(any_int), keyword=st.booleans())
def test_integer_builders(builder, name, getter, zero_message, value, keyword):
    base = KMeans(3)
    before = model_state(base)
    method = getattr(base, builder)
    result, error = outcome(lambda: method(**{name: value}) if keyword else method(value))
    assert model_state(base) == before
    expected = index_value(value)
    if not isinstance(expected, int):
        assert type(error) is expected, repr(error)
        if expected is TypeError:
            assert str(error).startswith(f"argument '{name}': ")
        return
    if expected == 0:
        expect_error(error, ValueError)
        assert str(error) == zero_message
        return
    assert error is None, repr(error)
    assert type(result) is KMeans and result is not base
    if getter:
        assert getattr(result, getter) == expected


@pytest.mark.parametrize("builder, name, getter", BOOL_BUILDERS)
@fuzz(300)
@given(value=bool_likes())
def test_boolean_builders(builder, name, getter, value):
    base = KMeans(2)
    before = model_state(base)
    result, error = outcome(lambda: getattr(base, builder)(value))
    assert model_state(base) == before
    expected = bool_value(value)
    if expected is TypeError:
        expect_error(error, TypeError)
        assert str(error).startswith(f"argument '{name}': ")
        return
    assert error is None, repr(error)
    if getter:
        assert getattr(result, getter) is expected


@fuzz(1500)
@given(data=any_data(), n_clusters=st.integers(1, 4), euclidean=st.booleans(), use_medoids=st.booleans(),
       balanced=st.booleans())
def test_train_on_any_data(data, n_clusters, euclidean, use_medoids, balanced):
    model = (KMeans(n_clusters).with_iterations(2).with_euclidean(euclidean).with_use_medoids(use_medoids)
             .with_balanced(balanced).with_max_balance_diff(1))
    run_train(model, data, None)
    assert not model.is_trained or accepted(data)


@pytest.fixture(scope="module")
def trained_models():
    rng = np.random.default_rng(5)
    data = rng.standard_normal((40, 3)).astype(np.float32)
    models = []
    for euclidean in (False, True):
        for k in (1, 4):
            model = KMeans(k).with_euclidean(euclidean).with_iterations(3)
            model.train(data, None)
            models.append(model)
    return models


@fuzz(1000)
@given(data=any_data(), which=st.integers(0, 3), k=int_likes(any_int))
def test_assign_any_data_and_k(trained_models, data, which, k):
    model = trained_models[which]
    centroids = model.centroids
    run_assign(model, data, k)
    np.testing.assert_array_equal(model.centroids, centroids)  # assign never changes the model


@fuzz(600)
@given(data=point_arrays(rows=st.integers(0, 6), cols=st.just(3)), k=int_likes(any_int), which=st.integers(0, 3))
def test_assign_matching_width(trained_models, data, k, which):
    run_assign(trained_models[which], data, k)


# A builder step: the builder's name and an argument for it; the chain is
# applied in order to whichever model the previous step produced.
def builder_steps():
    int_step = st.tuples(st.sampled_from(["with_iterations", "with_max_balance_diff"]),
                         int_likes(any_int) | st.builds(Hostile, st.just("reenter"), st.booleans()))
    bool_step = st.tuples(st.sampled_from([b for b, _, _ in BOOL_BUILDERS]), bool_likes())
    return st.one_of(int_step, bool_step)


READERS = [repr, str, lambda m: m.n_clusters, lambda m: m.iterations, lambda m: m.is_euclidean,
           lambda m: m.is_balanced, lambda m: m.is_use_medoids, lambda m: m.is_trained, lambda m: m.centroids,
           lambda m: m.medoid_indices]


@fuzz(1500)
@given(
    n_clusters=st.integers(1, 4),
    steps=st.lists(builder_steps(), max_size=8),
    data=point_arrays(rows=st.integers(1, 12), cols=st.integers(1, 3)),
    num_threads=st.one_of(st.none(), st.none(), st.none(), st.none(), int_likes(any_int),
                          st.builds(Hostile, st.just("reenter"), st.booleans())),
    queries=point_arrays(rows=st.integers(0, 6), cols=st.integers(1, 3)),
    k=st.one_of(st.integers(0, 6), st.integers(1, 6), int_likes(any_int),
                st.builds(Hostile, st.just("reenter"), st.booleans())),
    reads=st.lists(st.integers(0, len(READERS) - 1), max_size=4),
)
def test_builder_chains_then_train_and_assign(n_clusters, steps, data, num_threads, queries, k, reads):
    model = KMeans(n_clusters)
    for builder, value in steps:
        before = model_state(model)
        CURRENT.append(model)
        try:
            result, error = outcome(lambda: getattr(model, builder)(value))
        finally:
            CURRENT.pop()
        assert model_state(model) == before  # builders never touch the receiver
        if isinstance(value, Hostile) and value.kind == "reenter":
            if value.payload:
                expect_error(error, RuntimeError)  # train inside a builder's shared access
                assert str(error) == "Already borrowed"
                continue
            assert error is None, repr(error)  # a nested read is fine
        elif error is not None:
            assert type(error) in (TypeError, OverflowError, ValueError, HostileError), repr(error)
            check_error_text(error)
            continue
        assert type(result) is KMeans
        model = result
    for read in reads:
        READERS[read](model)
    # Keep training short whatever the chain asked for.
    if model.iterations > 2:
        model = model.with_iterations(2)
    run_train(model, data, num_threads)
    run_assign(model, queries, k)
    if model.is_trained and np.isfinite(model.centroids).all():
        rows_like = np.ascontiguousarray(data) if accepted(data) else None
        if rows_like is not None and not overflow_prone(rows_like):
            run_assign(model, rows_like, 1)
    for read in READERS:
        read(model)
