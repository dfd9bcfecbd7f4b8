"""Property-based fuzzing of the whole Python surface.

Every method gets objects of every kind: plain and NumPy integers, int
subclasses, booleans, floats, strings, arrays of every dtype, dimension and
memory layout, and objects whose __index__ raises, returns the wrong thing or
calls back into the model. Beyond plain facts (a Python int in range is
taken as it is, True and False as they are), no test predicts which objects
are accepted; each checks what holds whatever the answer:

- every call returns or raises, and the interpreter survives;
- only documented exceptions come out, each true of the call: TypeError
  names the argument at fault ("argument 'NAME': ") and never a plain int,
  a real bool or an aligned float32 matrix; OverflowError needs an integer
  outside the unsigned 64-bit range; ValueError is a known text whose claim
  holds; MemoryError comes only from the constructor, for counts no machine
  can hold; RuntimeError only from a refused re-entrant call; PanicException
  only for NaN, infinite or overflowing data in train/assign with two or
  more clusters; an argument's own exception comes out as the same object;
- integer arguments all convert alike: the constructor, the builders,
  num_threads and k agree with with_iterations, an accepted value is the
  object's __index__, and assign answers for it as for the plain int;
- layout never matters: train and assign on any view of float32 data give
  what a contiguous copy gives; data is refused only for its type, shape,
  dtype, byte order, or a misaligned pointer or stride, and a contiguous
  float32 copy of refused real 2-D data is accepted;
- results keep their invariants (train partitions the rows, assign lists
  each row under min(k, n_clusters) clusters, centroids have the data's
  width), and failing calls and builders leave their model as it was.

The budget is fixed and derandomized for the test command. For a longer,
randomized run set QUORLA_FUZZ_EXAMPLES, e.g.
    QUORLA_FUZZ_EXAMPLES=20000 pytest tests/python/test_fuzz.py
"""
import math
import operator
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
    return settings(max_examples=LONG_RUN or examples, derandomize=not LONG_RUN, database=None, deadline=None,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                           HealthCheck.filter_too_much])


# One cluster never panics, so assign on this model tells whether an array is
# read at all: anything but a TypeError about 'data' means it was.
PROBE = KMeans(1)


@pytest.fixture(scope="module", autouse=True)
def pool_exists():
    # The worker pool is per process and sized by the first train(). Creating
    # it here first means no fuzzed count can start thousands of threads in
    # the test process; every later count then meets "already initialized".
    PROBE.train(np.zeros((1, 1), np.float32), None)


# ---- hostile argument objects -------------------------------------------

class HostileError(Exception):
    """Raised by the hostile objects; must come out of the call unchanged."""


CURRENT = []  # the model whose method is running, for re-entrant callbacks


class Hostile:
    """An object whose __index__ (and __bool__) misbehave in one chosen way,
    keeping what it raised and what its nested calls met."""

    def __init__(self, kind, payload=0):
        self.kind, self.payload = kind, payload
        self.raised, self.nested = [], []

    def __repr__(self):
        return f"Hostile({self.kind!r}, {self.payload!r})"

    def __index__(self):
        if self.kind == "raise":
            self.raised.append(HostileError("from __index__"))
            raise self.raised[-1]
        if self.kind == "returns":
            return self.payload  # an int of any size, or a wrong type
        # "reenter": calls back into the model whose method is converting us
        # (a train, or a read if payload is false) and lets a refusal out.
        model = CURRENT[-1]
        what = "train" if self.payload else "read"
        try:
            model.train(np.zeros((4, 2), np.float32), None) if self.payload else repr(model)
        except BaseException as error:
            self.nested.append((what, error))
            self.raised.append(error)
            raise
        self.nested.append((what, None))
        return 2

    def __bool__(self):  # never consulted: only real booleans convert
        raise HostileError("from __bool__")

    def __int__(self):  # never consulted: only __index__ converts
        return 3

    def __float__(self):
        return 3.0


class IntSubclass(int):
    def __index__(self):  # an int subclass is converted by value, not by __index__
        raise HostileError("an int subclass's __index__ must not be called")


boundaries = st.sampled_from([0, 1, 2, 3, 2**8, 2**31 - 1, 2**32, 2**63 - 1, 2**63, U64_MAX, 2**64, 2**65, 2**100])
any_int = st.one_of(st.integers(-3, 40), boundaries, boundaries.map(lambda b: -b), st.integers(-(2**70), 2**70))
# Counts the constructor cannot allocate. Under a sanitizer the allocator
# aborts instead of throwing for sizes it cannot serve, so there only counts
# beyond what a vector can describe at all (which fail before allocating).
HUGE_FROM = 2**61 if SANITIZED else 2**45
HUGE_CLUSTERS = st.integers(HUGE_FROM, U64_MAX)


def numpy_integers(values):
    """NumPy integer scalars of every width, from `values` where they fit;
    the narrow types also from their whole range."""
    def of_type(t):
        info = np.iinfo(t)
        inside = values.filter(lambda v: info.min <= v <= info.max)
        return (inside if info.bits > 16 else st.one_of(inside, st.integers(int(info.min), int(info.max)))).map(t)

    types = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]
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
        st.sampled_from([1.5, "3", None, b"1", [1], np.float32(2.0)]).map(lambda v: Hostile("returns", v)),
    )


bool_likes = st.one_of(
    st.booleans(),
    st.sampled_from([np.True_, np.False_, 0, 1, None, 1.0, "True", np.int64(1), np.array(True), [True]]),
    any_int,
    st.builds(Hostile, st.just("raise")),
)

reentrant = st.builds(Hostile, st.just("reenter"), st.booleans())

# ---- arrays --------------------------------------------------------------

# Each rounded to the float32 it stands for: NumPy 1.x compares a float32
# element with the Python float it came from in double precision, and
# hypothesis refuses an element that compares unequal after storing.
SPECIAL = [float(np.float32(v)) for v in (0.0, -0.0, 1.0, -1.0, 1e38, -1e38, 3.4028235e38, 1e-45, -1e-45, 1e-40,
                                          1.1754944e-38, float("nan"), float("inf"), float("-inf"))]
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
    if layout == "step":
        wide = np.zeros((rows * 2, cols * 3), np.float32)
        wide[::2, ::3] = a
        return wide[::2, ::3]
    if layout == "padded":
        wide = np.full((rows, cols + 3), np.float32(-7.0))
        wide[:, :cols] = a
        return wide[:, :cols]
    if layout == "misaligned":
        view = np.frombuffer(bytearray(a.nbytes + 8), np.float32, count=a.size, offset=1).reshape(rows, cols)
        view[...] = a
        return view
    if layout in ("odd_row_stride", "odd_col_stride"):  # zeros, whatever `a` holds
        row_stride, col_stride = (cols * 4 + 2, 4) if layout == "odd_row_stride" else (cols * 6 + 4, 6)
        raw = np.zeros(rows * row_stride + cols * col_stride + 16, np.uint8)
        base = np.frombuffer(raw.data, np.float32, count=len(raw) // 4)
        return np.lib.stride_tricks.as_strided(base, shape=(rows, cols), strides=(row_stride, col_stride))
    if layout == "packed_field":
        record = np.zeros(rows, dtype=[("pad", "u1"), ("x", "<f4", (cols,))])
        record["x"] = a
        return record["x"]
    return {
        "c": np.ascontiguousarray, "fortran": np.asfortranarray, "matrix": np.asmatrix,
        "rows_reversed": lambda a: a[::-1].copy()[::-1], "cols_reversed": lambda a: a[:, ::-1].copy()[:, ::-1],
        "transposed": lambda a: a.T.copy().T, "broadcast": lambda a: np.broadcast_to(a[:1], a.shape) if rows else a,
        "read_only": lambda a: np.lib.stride_tricks.as_strided(a.copy(), writeable=False),
        "from_bytes": lambda a: np.frombuffer(a.tobytes(), np.float32).reshape(a.shape),  # read-only memory
    }[layout](a)


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
        a = draw(hnp.arrays(np.float32, hnp.array_shapes(min_dims=ndim, max_dims=ndim, min_side=0, max_side=4),
                            elements=floats32))
        return a[::-1] if a.ndim and a.shape[0] > 1 else a
    a = draw(hnp.arrays(np.float32, (draw(st.integers(0, 4)), draw(st.integers(0, 3))), elements=ordinary))
    others = [a.tolist(), None, np.float32(1.0), memoryview(a.copy()), "data", 3, a.tobytes()]
    return others[draw(st.integers(0, len(others) - 1))]


QUERIES = np.random.default_rng(3).standard_normal((5, 3)).astype(np.float32)


@pytest.fixture(scope="module")
def trained_models():
    data = np.random.default_rng(5).standard_normal((40, 3)).astype(np.float32)
    models = [KMeans(k).with_euclidean(euclidean).with_iterations(3) for euclidean in (False, True) for k in (1, 4)]
    for model in models:
        model.train(data, None)
    return models


# ---- facts about arguments ------------------------------------------------

def index_of(value):
    """The integer Python itself reads from `value` through __index__, or
    None when it reads none."""
    if isinstance(value, Hostile) and value.kind == "reenter":
        return 2  # what its __index__ answers once the nested call is allowed
    try:
        return operator.index(value)
    except Exception:  # noqa: BLE001 - any refusal means "no integer"
        return None


def is_float32_matrix(data):
    return isinstance(data, np.ndarray) and data.ndim == 2 and data.dtype == np.float32 and data.dtype.isnative


def odd_layout(data):
    """Whether reading the floats means following a misaligned pointer or a
    byte stride that is not a whole number of floats."""
    walked = [stride for extent, stride in zip(data.shape, data.strides) if extent > 1]
    return data.ctypes.data % 4 != 0 or any(stride % 4 for stride in walked)


BOOL_BUILDERS = [("with_euclidean", "euclidean", "is_euclidean"), ("with_balanced", "balanced", "is_balanced"),
                 ("with_verbose", "verbose", None), ("with_use_medoids", "use_medoids", "is_use_medoids")]
BOOL_ARGS = {name for _, name, _ in BOOL_BUILDERS}
INT_ARGS = {"n_clusters", "iters", "max_balance_diff", "num_threads", "k"}


def plainly_valid(name, value):
    """Values an argument can never be refused for by type: ints (range is
    OverflowError's business), real booleans, aligned float32 matrices."""
    if name == "data":
        return is_float32_matrix(value) and not odd_layout(value)
    if name in BOOL_ARGS:
        return value is True or value is False
    return isinstance(value, int) or (name == "num_threads" and value is None)


def fresh_copy(data, dtype=None):
    # Not np.ascontiguousarray: that hands back a misaligned array that is
    # already contiguous as it is, without copying.
    return np.array(data, dtype=dtype, order="C")


def reads(data):
    _, error = outcome(lambda: PROBE.assign(data, 1))
    return not (type(error) is TypeError and str(error).startswith("argument 'data': "))


def overflow_prone(data):
    """NaN, infinity, or values whose squares and sums can overflow float32."""
    values = np.abs(np.asarray(data, dtype=np.float64))
    if values.size == 0:
        return False
    rows, cols = values.shape
    return not np.isfinite(values).all() or float(values.max()) ** 2 * max(cols, 1) * 4 * max(rows, 1) > 3.4e38


# ---- calls and the checks on their outcome -------------------------------

def outcome(call):
    try:
        return call(), None
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        if isinstance(error, (KeyboardInterrupt, SystemExit)):
            raise
        return None, error


def model_state(model):
    return (repr(model), model.n_clusters, model.iterations, model.is_euclidean, model.is_balanced,
            model.is_use_medoids, model.is_trained)


class Call:
    """One call of a method of `model` (of the constructor when model is
    None) and what the model was before it."""

    def __init__(self, model, method, args, keyword=False):
        self.method, self.args = method, args
        hostiles = [value for value in args.values() if isinstance(value, Hostile)]
        marks = [(len(h.raised), len(h.nested)) for h in hostiles]
        if model is not None:
            self.state = model_state(model)
            self.n_clusters, self.trained, self.centroids = model.n_clusters, model.is_trained, model.centroids
        target = KMeans if model is None else getattr(model, method)
        CURRENT.append(model)
        try:
            call = (lambda: target(**args)) if keyword else (lambda: target(*args.values()))
            self.result, self.error = outcome(call)
        finally:
            CURRENT.pop()
        # What the argument objects raised and met during this call only.
        self.raised = [e for h, (r, _) in zip(hostiles, marks) for e in h.raised[r:]]
        self.nested = [n for h, (_, m) in zip(hostiles, marks) for n in h.nested[m:]]
        text = re.sub(r"\d+", "N", str(self.error).split(":")[0])[:40]
        event(f"{method}: " + ("result" if self.error is None else f"{type(self.error).__name__} {text}"))


THREADS_TAKEN = "Invalid parameter: Thread setup failed: The global thread pool has already been initialized."


def check_value_error(call, text):
    """A ValueError is one of the known ones, and what it says holds."""
    args, numbers = call.args, [int(n) for n in re.findall(r"\d+", text)]
    shape = getattr(args.get("data"), "shape", None)
    train, assign = call.method == "train", call.method == "assign"

    def zero(name):
        return name in args and index_of(args[name]) == 0

    claims = {
        "Number of clusters must be positive": lambda: zero("n_clusters"),
        "Number of iterations must be positive": lambda: zero("iters"),
        "Max balance difference must be positive": lambda: zero("max_balance_diff"),
        "Invalid parameter: k must be positive": lambda: assign and zero("k"),
        "Number of points (N) must be at least as large as number of clusters (N)":
            lambda: train and shape[0] == numbers[0] < numbers[1] == call.n_clusters,
        "Dimension mismatch: expected N, got N":
            lambda: assign and call.trained and call.centroids.shape[1] == numbers[0] != numbers[1] == shape[1],
        "Clustering has already been trained": lambda: train and call.trained,
        "Clustering has not been trained yet": lambda: assign and not call.trained,
        THREADS_TAKEN: lambda: train and args["num_threads"] is not None,
    }
    if text.startswith("Data values are out of the range single-precision distances can handle"):
        assert train or assign, text
        data = np.asarray(args["data"], dtype=np.float64)
        largest = np.abs(data[np.isfinite(data)]).max(initial=0.0)
        highest = math.sqrt(float(np.finfo(np.float32).max) / (4 * max(shape[1], 1)))
        assert largest > highest or (train and call.n_clusters >= 2 and 0 < largest < 2.0 ** -51), text
        return
    claims["Data contains an infinite value (row N, column N); only finite values can be clustered"] = \
        lambda: (train or assign) and np.isinf(args["data"][numbers[0], numbers[1]])
    assert claims.get(re.sub(r"\d+", "N", text), lambda: False)(), text


def check_refused_data(data, text):
    """Data is refused only for something a contiguous float32 copy would
    not have, the refusal says what, and such a copy is read."""
    if not isinstance(data, np.ndarray):
        assert f"{type(data).__name__}' object cannot be converted" in text, text
    elif is_float32_matrix(data):
        assert odd_layout(data), f"shape {data.shape}, strides {data.strides} refused: {text}"
        assert text.endswith("cannot be read in place; pass numpy.array(data)"), text
        assert reads(fresh_copy(data)), "a contiguous copy is refused too"
    else:
        assert f"{data.ndim} dimension(s)" in text and repr(data.dtype) in text, text
        if data.ndim == 2 and data.dtype.kind in "biuf":
            with np.errstate(all="ignore"):
                assert reads(fresh_copy(data, np.float32)), "a float32 copy is refused"


# Inside train every nested call is refused, elsewhere only a nested train;
# the text says what the nested call found in its way.
BORROWED = {"train": "Already borrowed", "read": "Already mutably borrowed"}


def check_error(call, panic=False):
    """The exception, if any, is one this call may raise, and it is right
    about the arguments."""
    for what, nested in call.nested:
        if call.method == "train" or what == "train":
            assert type(nested) is RuntimeError, f"nested {what} inside {call.method}: {nested!r}"
            assert str(nested) == BORROWED[what], str(nested)
        else:
            assert nested is None, f"nested {what} inside {call.method}: {nested!r}"
    error = call.error
    if call.raised:  # an argument's own exception comes out, unchanged
        assert any(error is raised for raised in call.raised), f"{call.raised[-1]!r} became {error!r}"
        return
    if error is None:
        return
    text = str(error)
    if type(error) is TypeError:
        name = re.match(r"argument '(\w+)': ", text)
        assert name and name[1] in call.args, text
        value = call.args[name[1]]
        assert not plainly_valid(name[1], value), f"{value!r} refused: {text}"
        if name[1] == "data":
            check_refused_data(value, text)
    elif type(error) is OverflowError:
        assert "int" in text, text
        numbers = [index_of(value) for name, value in call.args.items() if name in INT_ARGS]
        assert any(n is not None and not 0 <= n <= U64_MAX for n in numbers), text
    elif type(error) is ValueError:
        check_value_error(call, text)
    elif type(error) is MemoryError:
        assert call.method == "KMeans" and (index_of(call.args["n_clusters"]) or 0) >= HUGE_FROM, text
    else:
        assert panic and is_panic(error), f"{type(error).__name__}: {error}"


def detail(error):
    """An error's text without the argument it names."""
    return re.sub(r"^argument '\w+': ", "", str(error))


def same_outcome(a, b):
    assert (type(a.error), detail(a.error)) == (type(b.error), detail(b.error))
    assert a.result == b.result


def check_lists(lists, rows, n_clusters, per_row):
    """One ascending list of distinct row numbers per cluster, every row in
    `per_row` of them."""
    assert type(lists) is list and len(lists) == n_clusters
    counts = [0] * rows
    for members in lists:
        assert type(members) is list and members == sorted(members) and len(set(members)) == len(members)
        for i in members:
            assert type(i) is int and 0 <= i < rows
            counts[i] += 1
    assert counts == [per_row] * rows


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


def run_with_data(model, method, data, value):
    call = Call(model, method, {"data": data, "num_threads" if method == "train" else "k": value})
    centroids, matrix = call.centroids, is_float32_matrix(data)
    prone = matrix and (overflow_prone(data) or (method == "assign" and centroids is not None
                                                  and overflow_prone(centroids)))
    check_error(call, panic=model.n_clusters >= 2 and prone)
    engine_reached = call.error is None or type(call.error) is ValueError or is_panic(call.error)
    assert matrix or not engine_reached, f"{type(data).__name__} read as data"
    return call


def run_train(model, data, num_threads):
    call = run_with_data(model, "train", data, num_threads)
    if call.error is not None:
        assert model_state(model) == call.state
        return call
    # The pool exists, so any thread count is refused.
    assert not call.trained and num_threads is None
    check_lists(call.result, data.shape[0], model.n_clusters, 1)
    check_trained_model(model, *data.shape)
    return call


def run_assign(model, data, k):
    call = run_with_data(model, "assign", data, k)
    assert model_state(model) == call.state
    if call.centroids is not None:
        np.testing.assert_array_equal(model.centroids, call.centroids)
    if call.error is None:
        assert call.trained and data.shape[1] == call.centroids.shape[1]
        check_lists(call.result, data.shape[0], model.n_clusters, min(index_of(k), model.n_clusters))
    return call


def assign_ignores_layout(model, data, k):
    """Assigning a view answers as assigning a contiguous copy of it."""
    view = run_assign(model, data, k)
    if is_float32_matrix(data) and not str(view.error).startswith("argument 'data': "):
        same_outcome(view, run_assign(model, fresh_copy(data), k))


# ---- properties -----------------------------------------------------------

@fuzz(1200)
@given(value=int_likes(st.one_of(any_int, HUGE_CLUSTERS)), which=st.integers(0, 3), keyword=st.booleans())
def test_integer_arguments_convert_alike(trained_models, value, which, keyword):
    base, model = KMeans(3), trained_models[which]
    reference = Call(base, "with_iterations", {"iters": value}, keyword)
    check_error(reference)
    assert model_state(base) == reference.state
    number = None if reference.error else reference.result.iterations
    assert number is None or number == index_of(value)
    if isinstance(value, int):  # also bool and int subclasses
        plain = int(value)
        refusal = None if 1 <= plain <= U64_MAX else ValueError if plain == 0 else OverflowError
        assert (number, type(reference.error)) == (None if refusal else plain, refusal or type(None))

    sites = [Call(base, "with_max_balance_diff", {"max_balance_diff": value}, keyword),
             run_assign(model, QUERIES, value)]
    if value is not None:  # None is no count at all for train
        sites.append(Call(KMeans(2), "train", {"data": QUERIES, "num_threads": value}, keyword))
    # Counts in between would really be allocated (gigabytes, written).
    count = index_of(value)
    if count is None or count < 2**20 or count >= HUGE_FROM:
        sites.append(Call(None, "KMeans", {"n_clusters": value}, keyword))
    for site in sites:
        check_error(site)
        if number is None:  # refused, or zero: the same everywhere
            assert type(site.error) is type(reference.error), f"{site.method}: {site.error!r}"
            if type(site.error) is not ValueError:
                assert detail(site.error) == detail(reference.error)
        elif site.method == "assign":
            same_outcome(site, run_assign(model, QUERIES, number))
        elif site.method == "train":
            assert str(site.error) == THREADS_TAKEN, repr(site.error)
        elif type(site.error) is not MemoryError:  # check_error saw to it that one was for a huge count
            assert site.error is None and type(site.result) is KMeans and site.result is not base, repr(site.error)
            if site.method == "KMeans":
                assert (site.result.n_clusters, site.result.centroids) == (number, None)


@fuzz(600)
@given(value=bool_likes, keyword=st.booleans())
def test_boolean_arguments_convert_alike(value, keyword):
    base = KMeans(2)
    calls = [Call(base, builder, {name: value}, keyword) for builder, name, _ in BOOL_BUILDERS]
    first = calls[0]
    if isinstance(value, (bool, np.bool_)):
        assert first.error is None and first.result.is_euclidean is bool(value), repr(first.error)
    for call, (_, _, getter) in zip(calls, BOOL_BUILDERS):
        check_error(call)
        assert model_state(base) == call.state
        assert type(call.error) is type(first.error), f"{call.method}: {call.error!r}, {first.error!r}"
        if call.error is not None:
            assert detail(call.error) == detail(first.error)
        else:
            assert type(call.result) is KMeans and call.result is not base
            if getter:
                assert getattr(call.result, getter) is first.result.is_euclidean


@fuzz(1500)
@given(data=any_data(), n_clusters=st.integers(1, 4), euclidean=st.booleans(), use_medoids=st.booleans(),
       balanced=st.booleans(), k=st.integers(1, 5))
def test_train_on_any_data(data, n_clusters, euclidean, use_medoids, balanced, k):
    def fresh():
        return (KMeans(n_clusters).with_iterations(2).with_euclidean(euclidean).with_use_medoids(use_medoids)
                .with_balanced(balanced).with_max_balance_diff(1))

    model = fresh()
    trained = run_train(model, data, None)
    if trained.error is not None:
        return
    if n_clusters == 1:
        # One cluster leaves nothing to chance: the result depends on the
        # values alone, so training on the copy must give the same model.
        twin = fresh()
        same_outcome(trained, run_train(twin, fresh_copy(data), None))
        np.testing.assert_array_equal(twin.centroids, model.centroids)
        assert twin.medoid_indices == model.medoid_indices
    assign_ignores_layout(model, data, k)


@fuzz(1600)
@given(data=st.one_of(any_data(), point_arrays(rows=st.integers(0, 6), cols=st.just(3))), which=st.integers(0, 3),
       k=st.one_of(st.integers(1, 5), int_likes(any_int)))
def test_assign_any_data_and_k(trained_models, data, which, k):
    assign_ignores_layout(trained_models[which], data, k)
    if is_float32_matrix(data):
        assign_ignores_layout(trained_models[which], data, 1)  # the nearest cluster tells most rows apart


BUILDER_ARGS = {"with_iterations": "iters", "with_max_balance_diff": "max_balance_diff",
                **{builder: name for builder, name, _ in BOOL_BUILDERS}}
# A builder step: the builder's name and an argument for it; the chain is
# applied in order to whichever model the previous step produced.
builder_steps = st.one_of(
    st.tuples(st.sampled_from(["with_iterations", "with_max_balance_diff"]), int_likes(any_int) | reentrant),
    st.tuples(st.sampled_from([b for b, _, _ in BOOL_BUILDERS]), bool_likes))

READERS = [repr, str, lambda m: m.n_clusters, lambda m: m.iterations, lambda m: m.is_euclidean,
           lambda m: m.is_balanced, lambda m: m.is_use_medoids, lambda m: m.is_trained, lambda m: m.centroids,
           lambda m: m.medoid_indices]


@fuzz(1500)
@given(
    n_clusters=st.integers(1, 4),
    steps=st.lists(builder_steps, max_size=8),
    data=point_arrays(rows=st.integers(1, 12), cols=st.integers(1, 3)),
    num_threads=st.one_of(st.none(), st.none(), st.none(), st.none(), int_likes(any_int), reentrant),
    queries=point_arrays(rows=st.integers(0, 6), cols=st.integers(1, 3)),
    k=st.one_of(st.integers(0, 6), st.integers(1, 6), int_likes(any_int), reentrant),
    reads=st.lists(st.integers(0, len(READERS) - 1), max_size=4),
)
def test_builder_chains_then_train_and_assign(n_clusters, steps, data, num_threads, queries, k, reads):
    model = KMeans(n_clusters)
    for builder, value in steps:
        call = Call(model, builder, {BUILDER_ARGS[builder]: value})
        check_error(call)
        assert model_state(model) == call.state  # builders never touch the receiver
        if call.error is None:
            assert type(call.result) is KMeans
            if builder == "with_iterations":
                assert call.result.iterations == index_of(value)
            model = call.result
    for read in reads:
        READERS[read](model)
    # Keep training short whatever the chain asked for.
    if model.iterations > 2:
        model = model.with_iterations(2)
    run_train(model, data, num_threads)
    run_assign(model, queries, k)
    if model.is_trained:
        assign_ignores_layout(model, data, 1)
    for read in READERS:
        read(model)
