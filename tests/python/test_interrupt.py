"""Ending a call early: Ctrl-C, and the progress callable."""
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from quorla import KMeans
from conftest import SANITIZED

CHILD = textwrap.dedent("""
    import signal, sys, time, numpy as np, quorla
    # A harness that starts tests in the background hands them SIGINT
    # ignored, and Python then leaves it ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    mode = sys.argv[1]
    data = np.random.default_rng(0).standard_normal((200_000, 64)).astype(np.float32)
    model = quorla.KMeans(512).with_iterations(100_000).with_release_gil(mode == "lloyd-released")
    if mode == "balancing":
        model = quorla.KMeans(1024).with_iterations(1).with_balanced(True).with_max_balance_diff(1)
    if mode == "assign":
        model = quorla.KMeans(1024).with_iterations(1)
        model.train(data[:20_000], None)
        data = np.broadcast_to(data[:1], (30_000_000, 64))
    if mode.startswith("passes"):
        # 40,000,000 overlapping rows of 64 over 160 MB: seconds of reading
        # for the value check, the norms and the shuffle before the work.
        values = np.random.default_rng(0).standard_normal(40_000_064).astype(np.float32)
        data = np.lib.stride_tricks.as_strided(values, (40_000_000, 64), (4, 4))
        model = quorla.KMeans(16).with_euclidean(True)
        if mode == "passes-search":
            model = model.with_centroids(values[:16 * 64].reshape(16, 64))
    print("ready", flush=True)
    try:
        if mode in ("assign", "passes-search"):
            model.assign(data, 5) if mode == "assign" else model.search(data, 2)
        else:
            model.train(data, None)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.time(), flush=True)
        if mode in ("lloyd", "lloyd-released", "balancing"):
            assert not model.is_trained
            model.with_iterations(2).train(data[:5000], None)  # a new model; the pool still works
            model.with_iterations(1).train(data[:3000], None)
            print("trained again", flush=True)
""")


# Signalled from outside: the calling thread holds the interpreter lock for
# the whole call, so a thread of the same process could not send it in time.
@pytest.mark.skipif(bool(SANITIZED), reason="sanitizer builds run many times slower")
# The "passes" modes are signalled early, in the passes that read every
# value before the work, which used to take seconds to notice.
@pytest.mark.parametrize("mode, delay, margin", [
    ("lloyd", 2.0, 1.5), ("lloyd-released", 2.0, 1.5), ("balancing", 2.0, 1.5), ("assign", 2.0, 1.5),
    ("passes-search", 0.3, 1.0), ("passes-train", 0.3, 1.0),
])
def test_ctrl_c_ends_the_call_promptly(mode, delay, margin):
    child = subprocess.Popen([sys.executable, "-c", CHILD, mode], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(delay)  # well inside the call: none of them ends in under a minute
        sent = time.time()
        child.send_signal(signal.SIGINT)
        words = child.stdout.readline().split()
        assert words[0] == "interrupted", words
        # Stop checks come every few milliseconds of work; the margin is for
        # a loaded machine, where the child may wait that long for a core.
        assert float(words[1]) - sent < margin
        if mode in ("lloyd", "lloyd-released", "balancing"):
            assert child.stdout.readline().strip() == "trained again"
    finally:
        child.kill()
        child.wait()


def test_progress_reports_every_iteration_and_pass(blobs):
    reports = []
    model = KMeans(3).with_iterations(4).with_balanced(True).with_max_balance_diff(1).with_progress(
        lambda *report: reports.append(report))
    model.train(blobs[:-1], None)
    phases = [(phase, step) for phase, step, _ in reports]
    passes = len(phases) - 4
    assert phases == [("iteration", s) for s in range(1, 5)] + [("balancing", s) for s in range(1, passes + 1)]
    assert passes >= 1 and all(isinstance(cost, float) for _, _, cost in reports)


def test_a_raising_progress_callable_ends_training_like_an_interrupt(blobs):
    class Stop(Exception):
        pass

    def progress(phase, step, cost):
        if step == 2:
            raise Stop(phase)

    model = KMeans(3).with_iterations(10).with_progress(progress)
    with pytest.raises(Stop, match="iteration"):
        model.train(blobs, None)
    assert not model.is_trained and model.labels is None
    assert len(model.with_progress(None).train(blobs, None)) == 3


def test_calls_back_into_the_model_get_access_errors(blobs):
    errors = []

    def progress(phase, step, cost):
        for call in (lambda: model.centroids, lambda: model.train(blobs, None), lambda: model.assign(blobs, 1)):
            try:
                call()
            except RuntimeError as error:
                errors.append(str(error))
        other = KMeans(2).with_iterations(1)
        other.train(blobs, None)  # another model trains normally meanwhile
        errors.append(other.is_trained)

    model = KMeans(3).with_iterations(2).with_progress(progress)
    model.train(blobs, None)
    assert model.is_trained
    assert errors == ["Already mutably borrowed", "Already borrowed", "Already mutably borrowed", True] * 2


@pytest.mark.parametrize("value, error", [(3, TypeError), ("print", TypeError)])
def test_progress_must_be_callable(value, error):
    with pytest.raises(error, match="argument 'progress'"):
        KMeans(2).with_progress(value)


def test_progress_callable_is_kept_by_builders_but_not_by_pickle(blobs):
    import pickle
    reports = []
    model = KMeans(3).with_progress(lambda *r: reports.append(r)).with_iterations(2).with_seed(1)
    pickle.loads(pickle.dumps(model)).train(blobs, None)
    assert reports == []
    model.train(blobs, None)
    assert len(reports) == 2


HANDLER_CHILD = textwrap.dedent("""
    import signal, numpy as np, quorla
    # Several seconds of label steps, none of them a fixed point yet.
    data = np.random.default_rng(0).standard_normal((1_000_000, 32)).astype(np.float32)
    other = quorla.KMeans(16).with_iterations(1)
    other.train(data[:2000], None)
    answers = []
    signal.signal(signal.SIGUSR1, lambda *_: answers.append(len(other.assign(data[:5000], 2))))
    print("ready", flush=True)
    model = quorla.KMeans(1024).with_iterations(8)
    model.train(data, None)
    print("trained", model.is_trained, answers, flush=True)
""")


# A signal handler runs while the calling thread waits for the pool; one
# that uses the pool itself must neither deadlock nor disturb the training.
@pytest.mark.skipif(bool(SANITIZED), reason="sanitizer builds run many times slower")
def test_signal_handler_that_uses_the_pool_mid_training():
    child = subprocess.Popen([sys.executable, "-c", HANDLER_CHILD], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.0)
        child.send_signal(signal.SIGUSR1)
        assert child.wait(timeout=120) == 0
        assert child.stdout.readline().strip() == "trained True [16]"
    finally:
        child.kill()
        child.wait()
