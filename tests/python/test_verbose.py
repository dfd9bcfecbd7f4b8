"""Progress lines of verbose training on the process's standard output."""
import json
import re

import pytest

from conftest import run_python

LINE = re.compile(r"^Iteration (\d+)/(\d+) \| Cost: (-?\d+\.\d{6}|NaN|-?inf)$")


def run_verbose(body):
    result = run_python("import sys, numpy as np, quorla\n" + body)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines(), result.stderr


@pytest.mark.parametrize("euclidean", [False, True])
def test_one_line_per_iteration_on_file_descriptor_one(euclidean):
    lines, _ = run_verbose(f"""
import io
sys.stdout = io.StringIO()  # the lines must bypass sys.stdout
data = np.random.default_rng(0).standard_normal((300, 3)).astype(np.float32)
quorla.KMeans(4).with_euclidean({euclidean}).with_verbose(True).train(data, None)
""")
    assert len(lines) == 25
    for number, line in enumerate(lines, start=1):
        match = LINE.match(line)
        assert match, line
        assert match.group(1) == str(number) and match.group(2) == "25"
        assert match.group(3) not in ("NaN", "inf", "-inf")


def test_quiet_training_prints_nothing():
    lines, _ = run_verbose("""
data = np.ones((10, 2), np.float32)
quorla.KMeans(2).with_euclidean(True).train(data, None)
""")
    assert lines == []


def test_cost_is_the_exact_float32_mean():
    # One cluster in Euclidean mode: the cost is the in-order float32 mean
    # of squared distances to the in-order float32 mean.
    lines, _ = run_verbose("""
data = np.array([[0.0], [1.0], [3.0]], np.float32)
quorla.KMeans(1).with_euclidean(True).with_iterations(2).with_verbose(True).train(data, None)
""")
    # mean 4/3; squared distances in float32 sum to 4.666667 / 3.
    assert lines == ["Iteration 1/2 | Cost: 1.555556", "Iteration 2/2 | Cost: 1.555556"]


@pytest.mark.parametrize("values, text", [
    ("[[3e38, 0], [-3e38, 0], [3e38, 0]]", "inf"),
    ("[[np.nan, 1], [1, 1]]", "NaN"),
])
def test_non_finite_costs(values, text):
    lines, _ = run_verbose(f"""
data = np.array({values}, np.float32)
quorla.KMeans(1).with_euclidean(True).with_iterations(1).with_verbose(True).train(data, None)
""")
    assert lines == [f"Iteration 1/1 | Cost: {text}"]


def test_write_error_is_a_panic_not_a_crash():
    result = run_python("""
import os, sys, numpy as np, quorla
full = os.open("/dev/full", os.O_WRONLY)
saved = os.dup(1)
os.dup2(full, 1)
m = quorla.KMeans(2).with_verbose(True)
try:
    m.train(np.random.default_rng(0).standard_normal((20, 2)).astype(np.float32), None)
    outcome = "trained"
except BaseException as e:
    outcome = type(e).__name__ + " " + str(e)
os.dup2(saved, 1)
sys.stderr.write(outcome + "|" + str(m.is_trained) + "\\n")
""")
    assert result.returncode == 0, result.stderr
    outcome, trained = result.stderr.strip().splitlines()[-1].split("|")
    assert outcome.startswith("PanicException Failed to write progress to standard output")
    assert trained == "False"


@pytest.mark.parametrize("stop_at, into_line", [
    ("Balancing clusters...", 0),
    ("Balancing clusters...", 9),  # a partial write, then the failing one
    ("Balance iteration 1 ", 0),
    ("Balance iteration 2 ", 30),
])
def test_write_error_in_the_balancing_lines_is_a_panic(stop_at, into_line):
    # Identical points give fixed-width lines (costs below 10, the same size
    # moves), so a dry run tells where each line starts; a file size limit
    # there makes exactly that write fail (EFBIG; the interpreter ignores
    # SIGXFSZ).
    result = run_python(f"""
import json, os, resource, tempfile, numpy as np, quorla
data = np.ones((12, 2), np.float32)
unlimited = resource.getrlimit(resource.RLIMIT_FSIZE)
def run(limit):
    path = tempfile.mktemp()
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    saved = os.dup(1)
    os.dup2(fd, 1)
    os.close(fd)
    m = (quorla.KMeans(2).with_euclidean(True).with_iterations(2).with_balanced(True)
         .with_max_balance_diff(1).with_verbose(True))
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, unlimited[1]))
    try:
        m.train(data, None)
        outcome = "trained"
    except BaseException as e:
        outcome = type(e).__name__ + " " + str(e)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, unlimited)
        os.dup2(saved, 1)
        os.close(saved)
    with open(path, "rb") as f:
        written = f.read().decode()
    os.unlink(path)
    return outcome, m.is_trained, written
dry = run(unlimited[0])
limit = dry[2].index({stop_at!r}) + {into_line}
print(json.dumps([dry, run(limit), limit]))
""")
    assert result.returncode == 0, result.stderr
    dry, failed, limit = json.loads(result.stdout)
    assert dry[:2] == ["trained", True]
    outcome, trained, written = failed
    assert outcome == "PanicException Failed to write progress to standard output: File too large"
    assert trained is False
    # Everything before the limit was written, nothing after it.
    assert written == dry[2][:limit]
