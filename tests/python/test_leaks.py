"""Thousands of calls of every entry point, on successful and failing paths,
must leave the reference counts of their inputs, the interpreter's object
count and the process's resident memory where they were.

Each scenario is one call; it is repeated a few hundred times to warm up
(NumPy's first import, free lists, arena growth), then for several rounds of
thousands of calls. Inputs are objects that are not immortal, so that a
missing or extra reference shows up in sys.getrefcount. The payloads are
sized so that leaking any engine-side allocation (a Model copy, a centroid
matrix, a label vector) once per call would grow the resident set by
megabytes, well past the slack.
"""
import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import quorla
from quorla import KMeans
from conftest import SANITIZED, is_panic

PAGE = os.sysconf("SC_PAGE_SIZE")
WARM_UP = 300
# Under a sanitizer every call is several times slower and the allocator
# keeps freed memory in quarantine, so fewer calls and no memory check.
ROUNDS, CALLS = (2, 300) if SANITIZED else (4, 1500)
RSS_SLACK = 512 << 10  # bytes
BLOCK_SLACK = 100  # Python objects
# Zero when the interpreter's object allocator is off (PYTHONMALLOC=malloc,
# as in the sanitizer run); the object count then proves nothing.
COUNTS_BLOCKS = sys.getallocatedblocks() > 0

try:
    # Hands free heap pages back to the system before each reading, so that
    # a leak cannot hide in memory that earlier tests freed but kept mapped.
    release_free_memory = ctypes.CDLL(None).malloc_trim
except (OSError, AttributeError):
    release_free_memory = None


def resident_bytes():
    if release_free_memory is not None:
        release_free_memory(0)
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


# Ints made at run time are ordinary (not immortal, not shared with code
# constants), so a reference kept by the conversion shows in their count.
CLUSTERS = int("4096")
THREE = Index(int("3"))


class RaisingIndex:
    def __index__(self):
        raise KeyError("no index")


rng = np.random.default_rng(3)
POINTS = rng.standard_normal((300, 16)).astype(np.float32)
QUERIES = rng.standard_normal((100, 16)).astype(np.float32)
NAN_POINTS = POINTS.copy()
NAN_POINTS[7, 3] = np.nan
WIDE = np.zeros((300, 5), np.float32)
DOUBLES = POINTS.astype(np.float64)
MISALIGNED = np.frombuffer(bytearray(POINTS.nbytes + 4), np.float32, count=POINTS.size, offset=1).reshape(300, 16)
STRIDED = POINTS[::-2, ::2]
FEW = POINTS[:80]

# A model with many clusters makes every copy of the record (builders, and
# anything that leaked one) cost kilobytes.
BIG = KMeans(4096)
TRAINED = KMeans(64).with_euclidean(True).with_iterations(2)
TRAINED.train(POINTS, None)
MEDOIDS = KMeans(8).with_use_medoids(True).with_iterations(2)
MEDOIDS.train(POINTS, None)


STATE = MEDOIDS.__reduce__()[1][0]
CENTROIDS = rng.standard_normal((4096, 16)).astype(np.float32)
INF_POINTS = POINTS.copy()
INF_POINTS[9, 1] = np.inf


def PROGRESS(phase, step, cost):
    return None


def raise_key(phase, step, cost):
    raise KeyError(step)


def fresh(k=32, iterations=1):
    return KMeans(k).with_iterations(iterations)


# name -> (call, inputs whose reference counts must not move, expected outcome)
# where the outcome is None for a result, or an exception type ("panic" for
# PanicException).
SCENARIOS = {
    "construct": (lambda: KMeans(CLUSTERS), [CLUSTERS], None),
    "construct-index": (lambda: KMeans(THREE), [THREE, THREE.value], None),
    "construct-numpy-int": (lambda: KMeans(np.int64(4096)), [], None),
    "construct-zero": (lambda: KMeans(0), [], ValueError),
    "construct-negative": (lambda: KMeans(np.int64(-5)), [], OverflowError),
    "construct-too-big": (lambda: KMeans(2**62), [], MemoryError),
    "construct-wrong-type": (lambda: KMeans(2.5), [], TypeError),
    "construct-raising-index": (lambda: KMeans(RaisingIndex()), [], KeyError),
    "construct-keywords-wrong": (lambda: KMeans(clusters=3), [], TypeError),
    "repr": (lambda: repr(BIG), [BIG], None),
    "repr-trained": (lambda: str(TRAINED), [TRAINED], None),
    "builders": (lambda: BIG.with_iterations(THREE).with_euclidean(True).with_balanced(True)
                 .with_max_balance_diff(3).with_verbose(False).with_use_medoids(True), [BIG], None),
    "builders-numpy-args": (lambda: BIG.with_iterations(np.uint16(9)).with_euclidean(np.True_)
                            .with_max_balance_diff(np.int32(2)), [BIG, np.True_], None),
    "builder-keyword": (lambda: BIG.with_iterations(iters=5), [BIG], None),
    "builder-trained-copy": (lambda: TRAINED.with_verbose(False), [TRAINED], None),
    "builder-zero": (lambda: BIG.with_iterations(0), [BIG], ValueError),
    "builder-wrong-bool": (lambda: BIG.with_balanced(1), [BIG], TypeError),
    "builder-overflow": (lambda: BIG.with_max_balance_diff(-1), [BIG], OverflowError),
    "builder-missing": (lambda: BIG.with_euclidean(), [BIG], TypeError),
    "builder-extra-keyword": (lambda: BIG.with_euclidean(True, x=1), [BIG], TypeError),
    "properties": (lambda: (BIG.n_clusters, BIG.iterations, BIG.is_euclidean, BIG.is_balanced,
                            BIG.is_use_medoids, BIG.is_trained, BIG.centroids, BIG.medoid_indices), [BIG], None),
    "centroids-copy": (lambda: TRAINED.centroids, [TRAINED], None),
    "medoid-indices": (lambda: MEDOIDS.medoid_indices, [MEDOIDS], None),
    "train": (lambda: fresh().train(POINTS, None), [POINTS], None),
    "train-strided": (lambda: fresh(8).with_euclidean(True).train(STRIDED, None), [STRIDED], None),
    "train-balanced-medoids": (lambda: fresh(8).with_balanced(True).with_use_medoids(True).train(FEW, None),
                               [FEW], None),
    "train-again": (lambda: TRAINED.train(POINTS, None), [TRAINED, POINTS], ValueError),
    "train-too-few-points": (lambda: KMeans(301).train(POINTS, None), [POINTS], ValueError),
    "train-thread-setup": (lambda: fresh().train(POINTS, Index(2)), [POINTS], ValueError),
    "train-float64": (lambda: fresh().train(DOUBLES, None), [DOUBLES], TypeError),
    "train-misaligned": (lambda: fresh().train(MISALIGNED, None), [MISALIGNED], TypeError),
    "train-list": (lambda: fresh().train([[1.0]], None), [], TypeError),
    "train-bad-threads": (lambda: fresh().train(POINTS, "2"), [POINTS], TypeError),
    "train-raising-threads": (lambda: fresh().train(POINTS, RaisingIndex()), [POINTS], KeyError),
    "train-nan": (lambda: fresh().train(NAN_POINTS, None), [NAN_POINTS], "panic"),
    "assign": (lambda: TRAINED.assign(QUERIES, THREE), [TRAINED, QUERIES, THREE, THREE.value], None),
    "assign-k1": (lambda: TRAINED.assign(QUERIES, np.uint64(1)), [TRAINED, QUERIES], None),
    "assign-untrained": (lambda: BIG.assign(QUERIES, 1), [BIG, QUERIES], ValueError),
    "assign-k0": (lambda: TRAINED.assign(QUERIES, 0), [TRAINED, QUERIES], ValueError),
    "assign-width": (lambda: TRAINED.assign(WIDE, 2), [TRAINED, WIDE], ValueError),
    "assign-negative-k": (lambda: TRAINED.assign(QUERIES, np.int8(-1)), [TRAINED, QUERIES], OverflowError),
    "assign-float64": (lambda: TRAINED.assign(DOUBLES, 1), [TRAINED, DOUBLES], TypeError),
    "assign-nan": (lambda: TRAINED.assign(NAN_POINTS, 2), [TRAINED, NAN_POINTS], "panic"),
    "search": (lambda: TRAINED.search(QUERIES, THREE), [TRAINED, QUERIES, THREE, THREE.value], None),
    "search-k0": (lambda: TRAINED.search(QUERIES, 0), [TRAINED, QUERIES], ValueError),
    "labels": (lambda: TRAINED.labels, [TRAINED], None),
    # pickle itself warms caches for a few thousand calls; its two halves are ours.
    "reduce": (lambda: MEDOIDS.__reduce__(), [MEDOIDS], None),
    "load": (lambda: quorla._kmeans_from_state(STATE), [STATE["centroids"], STATE["labels"]], None),
    "load-forged": (lambda: quorla._kmeans_from_state({**STATE, "n_clusters": 5}), [STATE["centroids"]], ValueError),
    "with-centroids": (lambda: BIG.with_centroids(CENTROIDS), [BIG, CENTROIDS], None),
    "with-progress": (lambda: fresh(8).with_progress(PROGRESS).train(FEW, None), [FEW, PROGRESS], None),
    "progress-raises": (lambda: fresh(8).with_progress(raise_key).train(FEW, None), [FEW], KeyError),
    "train-infinite": (lambda: fresh().train(INF_POINTS, None), [INF_POINTS], ValueError),
}


def once(call, expected):
    try:
        call()
    except BaseException as error:  # noqa: B902 - PanicException derives from BaseException
        if expected == "panic":
            assert is_panic(error), repr(error)
        else:
            assert expected is not None and type(error) is expected, repr(error)
    else:
        assert expected is None, f"expected {expected}"


@pytest.mark.parametrize("name", list(SCENARIOS))
def test_repeated_calls_leave_references_and_memory_flat(name):
    call, inputs, expected = SCENARIOS[name]
    for _ in range(WARM_UP):
        once(call, expected)
    gc.collect()
    inputs = inputs + [KMeans]  # every instance holds a reference to its type
    references = [sys.getrefcount(item) for item in inputs]
    blocks = sys.getallocatedblocks()
    resident = [resident_bytes()]
    for _ in range(ROUNDS):
        for _ in range(CALLS):
            once(call, expected)
        gc.collect()
        resident.append(resident_bytes())
    assert [sys.getrefcount(item) for item in inputs] == references
    assert sys.getallocatedblocks() - blocks < BLOCK_SLACK
    if not SANITIZED:
        growth = max(resident) - resident[0]
        assert growth <= RSS_SLACK, f"resident memory grew by {growth} bytes over {ROUNDS * CALLS} calls"


def test_reentrant_refusals_leave_references_flat():
    model = KMeans(2)
    data = np.zeros((4, 2), np.float32)

    class Reenter:
        def __index__(self):
            model.train(data, None)  # refused: the builder holds shared access

    hostile = Reenter()
    for _ in range(WARM_UP):
        with pytest.raises(RuntimeError):
            model.with_iterations(hostile)
    gc.collect()
    before = (sys.getrefcount(model), sys.getrefcount(data), sys.getrefcount(hostile), sys.getallocatedblocks())
    for _ in range(ROUNDS * CALLS):
        with pytest.raises(RuntimeError, match="Already borrowed"):
            model.with_iterations(hostile)
    gc.collect()
    after = (sys.getrefcount(model), sys.getrefcount(data), sys.getrefcount(hostile), sys.getallocatedblocks())
    assert after[:3] == before[:3]
    assert after[3] - before[3] < BLOCK_SLACK
    model.train(data, None)  # the access flag came back every time
    assert model.is_trained


def test_the_leak_check_can_see_a_leak():
    # The same measurements on a loop that does keep its results: a check
    # that cannot fail would prove nothing.
    kept = []
    array = np.zeros(8, np.float32)
    references = sys.getrefcount(array)
    blocks = sys.getallocatedblocks()
    resident = resident_bytes()
    for _ in range(CALLS):
        kept.append(array)
        kept.append(TRAINED.centroids)
    assert sys.getrefcount(array) - references == CALLS
    if COUNTS_BLOCKS:
        assert sys.getallocatedblocks() - blocks >= CALLS
    if not SANITIZED:
        # 64 x 16 float32 centroids: 4 KiB per copy kept.
        assert resident_bytes() - resident > RSS_SLACK
