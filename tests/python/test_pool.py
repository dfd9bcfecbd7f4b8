"""The process-wide worker pool, observed from fresh interpreters."""
import os

import pytest

from conftest import SANITIZED, run_python

SETUP_FAILED = "Invalid parameter: Thread setup failed: "
ALREADY = SETUP_FAILED + "The global thread pool has already been initialized."

PRELUDE = """
import os, sys, numpy as np, quorla
data = np.random.default_rng(0).standard_normal((200, 4)).astype(np.float32)
def threads():
    return len(os.listdir("/proc/self/task"))
def attempt(k, n):
    m = quorla.KMeans(k)
    try:
        m.train(data, n)
        return "ok"
    except ValueError as e:
        return str(e)
"""


def run(body, env_extra=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
    env["OPENBLAS_NUM_THREADS"] = "1"  # keep NumPy's own threads out of the count
    env.update(env_extra or {})
    result = run_python(PRELUDE + body, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout.split("\n")


def test_lazy_creation_then_configuration_fails():
    out = run("""
m = quorla.KMeans(3)
m.train(data, None)
late = quorla.KMeans(3)
print(attempt(3, 4)); print(late.is_trained)
late.train(data, None); print(late.is_trained)
""")
    assert out[:3] == [ALREADY, "False", "True"]


def test_configuring_twice_fails_even_with_the_same_count():
    out = run("""
before = threads()
print(attempt(3, 4)); print(threads() - before)
print(attempt(3, 4)); print(attempt(3, None))
""")
    assert out[:4] == ["ok", "4", ALREADY, "ok"]


def test_failed_entry_checks_leave_the_pool_absent():
    out = run("""
print(attempt(500, 2))
before = threads()
print(attempt(3, 2)); print(threads() - before)
""")
    assert out[0] == "Number of points (200) must be at least as large as number of clusters (500)"
    assert out[1:3] == ["ok", "2"]


@pytest.mark.parametrize("env, request_count, expected", [
    ({"RAYON_NUM_THREADS": "3"}, "0", 3),
    ({"RAYON_NUM_THREADS": "+3"}, "None", 3),
    ({"RAYON_NUM_THREADS": "0", "RAYON_RS_NUM_CPUS": "5"}, "0", "cpus"),
    ({"RAYON_NUM_THREADS": "abc", "RAYON_RS_NUM_CPUS": "5"}, "0", 5),
    ({"RAYON_NUM_THREADS": "-2", "RAYON_RS_NUM_CPUS": "6"}, "None", 6),
    ({"RAYON_NUM_THREADS": "", "RAYON_RS_NUM_CPUS": "0"}, "0", "cpus"),
    ({"RAYON_RS_NUM_CPUS": "4"}, "None", 4),
    ({}, "0", "cpus"),
    ({"RAYON_NUM_THREADS": "7"}, "2", 2),  # an explicit count bypasses the environment
])
def test_automatic_thread_count(env, request_count, expected):
    out = run(f"""
before = threads()
print(attempt(3, {request_count})); print(threads() - before); print(len(os.sched_getaffinity(0)))
""", env)
    assert out[0] == "ok"
    want = int(out[2]) if expected == "cpus" else expected
    assert int(out[1]) == want


def test_assign_never_creates_the_pool():
    out = run("""
m = quorla.KMeans(2)
m.train(data, 1)
before = threads()
m.assign(data, 2)
print(threads() - before)
""")
    assert out[0] == "0"


@pytest.mark.parametrize("euclidean", [False, True])
@pytest.mark.parametrize("count", [1, 2, 3])
def test_labels_are_the_nearest_centroids_with_each_pool_size(count, euclidean):
    # Every process draws its own initial centroids, so runs are compared
    # with the brute-force nearest centroid of their own final model.
    out = run(f"""
data = np.random.default_rng(1).standard_normal((5000, 8)).astype(np.float32)
m = quorla.KMeans(16).with_euclidean({euclidean}).with_iterations(3)
lists = m.train(data, {count})
c = m.centroids.astype(np.float64); p = data.astype(np.float64)
keys = ((p[:, None] - c[None]) ** 2).sum(-1) if {euclidean} else -(p @ c.T)
labels = np.empty(len(data), int)
for cluster, members in enumerate(lists):
    labels[members] = cluster
s = np.sort(keys, axis=1)
clear = s[:, 1] - s[:, 0] > 1e-4
print(int(np.sum(keys.argmin(1)[clear] != labels[clear])), int(clear.sum()))
""")
    wrong, checked = map(int, out[0].split())
    assert wrong == 0 and checked > 4500


def test_refused_thread_creation_then_the_pool_is_missing():
    out = run("""
import resource, re
status = open("/proc/self/status").read()
vm = int(re.search(r"VmSize:\\s+(\\d+) kB", status).group(1)) * 1024
before = threads()
# Room for small allocations but not for a worker's stack.
resource.setrlimit(resource.RLIMIT_AS, (vm + 256 * 1024, resource.RLIM_INFINITY))
print(attempt(3, 2))
print(attempt(3, 2))
m = quorla.KMeans(3)
try:
    m.train(data, None)
except BaseException as e:
    print(type(e).__name__, e)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
# With memory back, nothing retries the pool: every training keeps failing
# the same way, and the rest of the module and the interpreter carry on.
outcomes = set()
for _ in range(20):
    try:
        m.with_use_medoids(True).train(data, None)
    except BaseException as e:
        outcomes.add(type(e).__name__ + " " + str(e))
print(outcomes == {"PanicException The global thread pool has not been initialized."})
print(m.is_trained, repr(m.with_iterations(2)).startswith("KMeans(n_clusters=3, iterations=2,"))
print(threads() - before, float(np.ones(4).sum()))
""")
    assert out[0].startswith("Invalid parameter: Thread setup failed: ")
    assert out[0] != ALREADY and len(out[0]) > len("Invalid parameter: Thread setup failed: ")
    assert out[1] == ALREADY
    assert out[2] == "PanicException The global thread pool has not been initialized."
    assert out[3:6] == ["True", "False True", "0 4.0"]  # no worker was left behind


# A worker that starts after the limit is used up must not need memory
# before it is told to stop. Whether a late worker finds any room depends on
# what is left after the last stack that fit, so the runs step the limit
# through one worker stack's worth of address space (1 MiB plus its guard
# page); staying below 64 MiB keeps glibc from giving any worker an arena of
# its own, so every worker's first allocation needs fresh address space.
STACK_PERIOD = (1 << 20) + 4096


@pytest.mark.skipif(bool(SANITIZED), reason="AddressSanitizer ends the process when a new thread finds no "
                    "address space for its own signal stack")
def test_running_out_of_address_space_mid_start_never_aborts():
    runs = 20
    outcomes = []
    for run_index in range(runs):
        extra = (40 << 20) + run_index * (STACK_PERIOD // runs // 4096) * 4096
        result = run_python(PRELUDE + f"""
import re, resource
vm = int(re.search(r"VmSize:\\s+(\\d+) kB", open("/proc/self/status").read()).group(1)) * 1024
before = threads()
resource.setrlimit(resource.RLIMIT_AS, (vm + {extra}, resource.RLIM_INFINITY))
outcome = attempt(2, 60000)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print("survived", threads() - before, outcome)
""", env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
        outcomes.append((extra, result.returncode, result.stdout.strip(), result.stderr.strip()[-300:]))
    broken = [o for o in outcomes if o[1] != 0 or not o[2].startswith("survived ")]
    assert not broken, broken
    for extra, _, line, _ in outcomes:
        _, leftover, outcome = line.split(" ", 2)
        # A pool that could not start all its workers joins the ones that did.
        assert outcome == "ok" or (outcome.startswith(SETUP_FAILED) and leftover == "0"), (extra, line)
    # Otherwise the limit no longer bites and the test checks nothing.
    assert any(line.split(" ", 2)[2].startswith(SETUP_FAILED) for _, _, line, _ in outcomes)


def test_forked_children_get_their_own_pool_and_random_stream():
    out = run("""
import json
lists = quorla.KMeans(8).with_iterations(1).train(data, 2)  # the parent's pool exists now
results = []
for child in range(2):
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(read_end)
        try:
            got = quorla.KMeans(8).with_iterations(1).train(data, None)
        except BaseException as e:
            got = repr(e)
        os.write(write_end, json.dumps(got).encode())
        os._exit(0)
    os.close(write_end)
    chunks = []
    while chunk := os.read(read_end, 1 << 16):
        chunks.append(chunk)
    os.waitpid(pid, 0)
    results.append(json.loads(b"".join(chunks)))
print(all(isinstance(r, list) and len(r) == 8 for r in results))
print(results[0] != results[1])
""")
    assert out[:2] == ["True", "True"]


# A fork from inside a call: the child goes on with the call with none of
# the parent's workers, so it finishes on its own thread, as the parent does.
def test_a_call_forked_from_its_progress_callable_finishes_in_both():
    out = run("""
import signal
points = np.random.default_rng(1).standard_normal((20_000, 16)).astype(np.float32)
config = quorla.KMeans(16).with_iterations(3).with_seed(7)
expected = config.with_seed(7).train(points, 2)  # the pool exists, with workers the child will not have
children = []
def progress(phase, step, cost):
    if step == 2:
        children.append(os.fork())
        signal.alarm(30)  # a hang in either process ends it
lists = config.with_progress(progress).train(points, None)
if children[0] == 0:
    os._exit(0 if lists == expected else 1)
_, status = os.waitpid(children[0], 0)
print(os.waitstatus_to_exitcode(status), lists == expected)
""")
    assert out[0] == "0 True"
