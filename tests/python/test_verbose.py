"""Progress lines of verbose training on the process's standard output."""
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
