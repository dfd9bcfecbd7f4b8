"""Python code that runs inside a call (an argument's __index__) and calls
back into the same model. train() holds exclusive access while it converts
num_threads, so every other use of the model is refused with
"Already mutably borrowed" (a second train with "Already borrowed"); assign()
and the builders hold shared access, under which reads, builders and nested
assigns work and only train is refused ("Already borrowed"). Whatever
happened inside, the model is usable afterwards.

test_arguments.py has the first two cases (reads during train, train during
a builder); these extend them to every accessor, to assign, to nested chains
and to unwinding from depth.
"""
import numpy as np
import pytest

from quorla import KMeans
from conftest import is_panic, run_python

POINTS = np.random.default_rng(2).standard_normal((60, 3)).astype(np.float32)
QUERIES = np.random.default_rng(3).standard_normal((10, 3)).astype(np.float32)


class Stop(Exception):
    pass


class Callback:
    """An index whose __index__ runs `action` first, then returns `value`
    (or raises Stop when value is None)."""

    def __init__(self, action, value=None):
        self.action, self.value = action, value

    def __index__(self):
        self.action()
        if self.value is None:
            raise Stop
        return self.value


def attempt(call):
    """'ok' or the RuntimeError's message; anything else propagates."""
    try:
        call()
    except RuntimeError as error:
        return str(error)
    return "ok"


# Every way into a model. test_arguments.py already covers n_clusters, repr
# and with_iterations during train.
ACCESSORS = {
    "str": str,
    "iterations": lambda m: m.iterations,
    "is_euclidean": lambda m: m.is_euclidean,
    "is_balanced": lambda m: m.is_balanced,
    "is_use_medoids": lambda m: m.is_use_medoids,
    "is_trained": lambda m: m.is_trained,
    "centroids": lambda m: m.centroids,
    "medoid_indices": lambda m: m.medoid_indices,
    "with_euclidean": lambda m: m.with_euclidean(True),
    "with_balanced": lambda m: m.with_balanced(True),
    "with_max_balance_diff": lambda m: m.with_max_balance_diff(3),
    "with_verbose": lambda m: m.with_verbose(False),
    "with_use_medoids": lambda m: m.with_use_medoids(True),
    "assign": lambda m: m.assign(QUERIES, 1),
    "train": lambda m: m.train(POINTS, None),
}


def assert_usable(model, trained_before):
    """The access flag is back at rest: reads, assign and (for an untrained
    model) train all work."""
    assert model.n_clusters == 3 and repr(model).startswith("KMeans(n_clusters=3,")
    if not trained_before:
        assert not model.is_trained
        model.train(POINTS, None)
    lists = model.assign(QUERIES, 2)
    assert sorted(i for members in lists for i in members) == sorted(list(range(10)) * 2)


@pytest.mark.parametrize("trained", [False, True], ids=["untrained", "trained"])
@pytest.mark.parametrize("name", list(ACCESSORS))
def test_everything_is_refused_during_train(name, trained):
    model = KMeans(3).with_euclidean(True).with_iterations(2)
    if trained:
        model.train(POINTS, None)
    seen = []
    hostile = Callback(lambda: seen.append(attempt(lambda: ACCESSORS[name](model))))
    with pytest.raises(Stop):
        model.train(POINTS, hostile)
    # A second exclusive access meets the held one as "borrowed"; everything
    # else meets the exclusive one.
    assert seen == ["Already borrowed" if name == "train" else "Already mutably borrowed"]
    assert model.is_trained == trained
    assert_usable(model, trained)


@pytest.mark.parametrize("name", list(ACCESSORS))
def test_only_train_is_refused_during_assign(name):
    model = KMeans(3).with_iterations(2)
    model.train(POINTS, None)
    centroids = model.centroids
    seen = []
    hostile = Callback(lambda: seen.append(attempt(lambda: ACCESSORS[name](model))), value=1)
    lists = model.assign(QUERIES, hostile)
    # The refusal comes before the check that the model is already trained.
    assert seen == ["Already borrowed" if name == "train" else "ok"]
    assert sorted(i for members in lists for i in members) == list(range(10))
    np.testing.assert_array_equal(model.centroids, centroids)
    assert_usable(model, True)


def test_uncaught_refusal_inside_assign_propagates_and_releases():
    model = KMeans(3).with_iterations(2)
    model.train(POINTS, None)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        model.assign(QUERIES, Callback(lambda: model.train(POINTS, None), value=1))
    assert_usable(model, True)


def test_nested_builder_chain():
    model = KMeans(3).with_iterations(2)
    seen = []

    def innermost():
        seen.append(attempt(lambda: model.train(POINTS, None)))
        seen.append(model.with_euclidean(True).is_euclidean)  # shared inside shared inside shared
        with pytest.raises(ValueError, match="not been trained"):
            model.assign(QUERIES, 1)

    def middle():
        copy = model.with_max_balance_diff(Callback(innermost, value=5))
        seen.append(copy.with_iterations(Callback(lambda: None, value=4)).iterations)
        # A copy has an access flag of its own: training it is not re-entry.
        copy.train(POINTS, None)
        seen.append(copy.is_trained)

    result = model.with_iterations(Callback(middle, value=7))
    assert seen == ["Already borrowed", True, 4, True]
    assert result.iterations == 7 and model.iterations == 2
    assert_usable(model, False)


@pytest.mark.parametrize("depth", [1, 2, 8, 40])
@pytest.mark.parametrize("builder", ["with_iterations", "with_max_balance_diff", "assign"])
def test_unwinding_from_depth_releases_every_level(builder, depth):
    model = KMeans(3).with_iterations(2)
    model.train(POINTS, None)
    levels = []

    def call_at(level):
        def action():
            levels.append(level)
            if level == depth:
                return  # the innermost raises Stop
            call_at(level + 1)
        argument = Callback(action)
        if builder == "assign":
            model.assign(QUERIES, argument)
        else:
            getattr(model, builder)(argument)

    with pytest.raises(Stop):
        call_at(1)
    assert levels == list(range(1, depth + 1))
    assert_usable(model, True)


def test_refusal_leaves_the_outer_call_to_finish():
    # The refused inner call does not spoil the outer one: the builder still
    # returns its copy with the value the hostile index returned.
    model = KMeans(3)
    result = model.with_max_balance_diff(Callback(lambda: attempt(lambda: model.train(POINTS, None)), value=9))
    assert type(result) is KMeans and result is not model
    assert_usable(model, False)


def test_other_models_are_independent_during_train():
    model = KMeans(3).with_iterations(2)
    other = KMeans(3).with_iterations(2)
    seen = []

    def use_other():
        other.train(POINTS, None)
        seen.append(len(other.assign(QUERIES, 1)))
        seen.append(attempt(lambda: model.is_trained))

    with pytest.raises(Stop):
        model.train(POINTS, Callback(use_other))
    assert seen == [3, "Already mutably borrowed"]
    assert other.is_trained and not model.is_trained
    assert_usable(model, False)


def test_panic_releases_exclusive_access():
    model = KMeans(3).with_iterations(2)
    broken = POINTS.copy()
    broken[5, 1] = np.nan
    with pytest.raises(BaseException) as info:
        model.train(broken, None)
    assert is_panic(info.value)
    assert not model.is_trained
    assert_usable(model, False)



@pytest.mark.parametrize("method", ["train", "assign"])
@pytest.mark.parametrize("replace, expected", [
    # A smaller float32 buffer: the call works on what the array holds now.
    ("data.__setstate__((1, (1, 64), np.dtype(np.float32), False, bytes(256)))", {
        "train": "ValueError Number of points (1) must be at least as large as number of clusters (4)",
        "assign": "ok 1"}),
    ("data.__setstate__((1, (3, 64), np.dtype(np.float64), False, bytes(3 * 64 * 8)))", {
        "train": "TypeError argument 'data'", "assign": "TypeError argument 'data'"}),
    ("data.resize((5,), refcheck=False)", {
        "train": "TypeError argument 'data'", "assign": "TypeError argument 'data'"}),
])
def test_array_buffer_replaced_while_an_argument_converts(method, replace, expected):
    # The integer argument is converted after the array was read; its
    # __index__ frees the array's buffer in place. The engine must see the
    # array as it is afterwards, not the freed memory (1 MiB, so that it is a
    # mapping of its own and reading it after the free faults at once).
    result = run_python(f"""
import numpy as np, quorla
data = np.random.default_rng(0).standard_normal((4096, 64)).astype(np.float32)
model = quorla.KMeans(4).with_iterations(1)
if {method!r} == "assign":
    model.train(data[:100].copy(), None)
class Replace:
    def __index__(self):
        {replace}
        return 1
try:
    lists = getattr(model, {method!r})(data, Replace())
    print("ok", sum(len(members) for members in lists))
except BaseException as e:
    print(type(e).__name__, str(e).split(":")[0])
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == expected[method]


# Python code that runs later in a call (the progress callable between
# iterations, a signal handler while the pool works) frees or replaces the
# memory of the array, or of the array it views. The call must stop with an
# error before anything reads it again (arrays of many MiB are mappings of
# their own, so reading freed memory faults at once).
RESIZE = "data.resize((1, 1), refcheck=False)"
SETSTATE = "data.__setstate__((1, (2, 64), np.dtype(np.float32), False, bytes(512)))"
BASE_RESIZE = "base.resize((1,), refcheck=False)"
BASE_SETSTATE = "base.__setstate__((1, (2,), np.dtype(np.float32), False, bytes(8)))"
# Letting go of the export first, so that NumPy would refuse nothing.
RELEASE_RESIZE = "first_memoryview(data).release(); " + BASE_RESIZE

# How `data` reaches `base`, the flat array that owns the memory: through
# arrays alone, or through links that are not arrays (a memoryview, NumPy's
# __array_interface__ wrapper under as_strided and sliding_window_view).
VIEWS = {
    "copy": "base.reshape(ROWS, 65)[:, :64].copy()",
    "slice": "base.reshape(ROWS, 65)[:, :64]",
    "memoryview": "np.asarray(memoryview(base)).reshape(ROWS, 65)[:, :64]",
    "as_strided": "as_strided(base, shape=(ROWS, 64), strides=(260, 4))",
    "sliding window": "sliding_window_view(base, 64)[::65]",
}


@pytest.mark.parametrize("method, hook, view, change", [
    ("train", "progress", "copy", RESIZE), ("train", "progress", "copy", SETSTATE),
    ("train", "progress", "slice", BASE_RESIZE), ("train", "signal", "copy", RESIZE),
    ("search", "signal", "copy", SETSTATE), ("search", "signal", "slice", BASE_RESIZE),
    ("train", "progress", "memoryview", BASE_RESIZE), ("search", "signal", "memoryview", BASE_SETSTATE),
    ("train", "progress", "memoryview", RELEASE_RESIZE), ("train", "progress", "as_strided", BASE_SETSTATE),
    ("search", "signal", "as_strided", BASE_RESIZE), ("train", "signal", "sliding window", BASE_RESIZE),
    ("train", "progress", "sliding window", BASE_SETSTATE),
])
def test_array_freed_while_the_call_runs(method, hook, view, change):
    result = run_python(f"""
import signal, numpy as np, quorla
from numpy.lib.stride_tricks import as_strided, sliding_window_view
ROWS = 400_000
base = np.random.default_rng(0).standard_normal(ROWS * 65).astype(np.float32)
data = {VIEWS[view]}
assert data.shape == (ROWS, 64)
def first_memoryview(a):
    while not isinstance(a, memoryview):
        a = a.base
    return a
def change(*_):
    {change}
model = quorla.KMeans(1024).with_iterations(50)
if {method!r} == "search":
    model = quorla.KMeans(1024).with_iterations(1)
    model.train(data[:20_000].copy(), None)
if {hook!r} == "progress":
    model = model.with_progress(lambda phase, step, cost: step == 2 and change())
else:
    signal.signal(signal.SIGALRM, change)
    signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    for _ in range(100):
        model.search(data, 4) if {method!r} == "search" else model.train(data, None)
    print("finished")
except RuntimeError as e:
    print("RuntimeError", "resized or its memory replaced" in str(e))
""")
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "RuntimeError True"


# A signal handler waits for another thread's call (as any handler that lets
# another thread run can), while the calling thread holds the pool: that call
# must not wait for the pool while its thread holds the interpreter lock.
def test_signal_handler_waiting_for_another_threads_call():
    result = run_python("""
import signal, threading, numpy as np, quorla
rng = np.random.default_rng(0)
queries = rng.standard_normal((400_000, 64)).astype(np.float32)
big = quorla.KMeans(1024).with_iterations(1)
big.train(queries[:20_000], None)
small = quorla.KMeans(8).with_iterations(1)
small.train(queries[:1000], None)
go, done = threading.Event(), threading.Event()
def other():
    go.wait()
    small.search(queries[:20_000], 2)
    done.set()
thread = threading.Thread(target=other)
thread.start()
def handler(*_):
    go.set()
    done.wait(10)
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.3)
for _ in range(20):
    big.search(queries, 10)
    if done.is_set():
        break
thread.join()
print("both", done.is_set())
""", timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "both True"
