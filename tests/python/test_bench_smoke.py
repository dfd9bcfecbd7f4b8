"""The benchmark suite (bench/suite.py) at tiny sizes, so that it cannot rot:
it must run end to end, fill every table, and where faiss is installed its
top-1 assignment must agree with quorla's."""
import importlib.util
import os
import shutil
import subprocess
import sys

import pytest

from conftest import SANITIZED

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SUITE = os.path.join(ROOT, "bench", "suite.py")


def peers_installed():
    return all(importlib.util.find_spec(name) is not None for name in ("sklearn", "faiss", "threadpoolctl"))


def built_label_bench():
    # The engine test build (scripts/test.sh) also builds the label-step
    # benchmark; building it here would take longer than the whole run.
    for build in ("cpp-tests", "dev", "bench"):
        path = os.path.join(ROOT, "build", build, "quorla_bench_label")
        if os.access(path, os.X_OK):
            return path
    return None


def table(text, heading):
    """Rows of the Markdown table under `heading`, as lists of cells."""
    lines = text.split(heading, 1)[1].splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith("|"))
    block = []
    for line in lines[start:]:
        if not line.startswith("|"):
            break
        block.append([cell.strip() for cell in line.strip("|").split("|")])
    assert len(block) > 2, heading
    return block[2:]  # without the header and the separator


@pytest.mark.skipif(shutil.which("c++") is None and shutil.which("g++") is None, reason="no C++ compiler")
@pytest.mark.skipif(bool(SANITIZED), reason="the suite measures speed; the plain test run already checks that it runs, "
                                            "and its compiler and peer libraries would run under the preloaded sanitizer")
def test_suite_runs_at_tiny_sizes(tmp_path):
    out = tmp_path / "results.md"
    command = [sys.executable, SUITE, "--smoke", "--threads", "1", "2", "--markdown", str(out),
               "--build-dir", str(tmp_path / "build")]
    peers = peers_installed()
    if not peers:
        command.append("--no-peers")
    label = built_label_bench()
    command += ["--label-bench", label] if label else ["--skip-label-bench"]
    result = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    text = out.read_text()
    assert text.strip() in result.stdout

    peak = table(text, "## Float32 FMA peak and numpy.matmul")
    assert [row[0] for row in peak] == ["1", "2"]
    assert all(float(cell) > 0 for row in peak for cell in row[1:])

    training = table(text, "## Training, seconds per iteration")
    assert sorted((row[1], row[2]) for row in training) == [
        ("1", "euclidean"), ("1", "inner"), ("2", "euclidean"), ("2", "inner")]
    for row in training:
        assert float(row[10]) == float(row[10])  # the cost is a number
        if peers:
            assert row[6] != "n/a"  # faiss ran in both modes
            assert (row[4] != "n/a") == (row[2] == "euclidean")  # scikit-learn only in Euclidean mode
            if importlib.util.find_spec("sklearnex") is not None:
                assert (row[5] != "n/a") == (row[2] == "euclidean")  # so is oneDAL

    assignment = table(text, "## Assignment of the n points, seconds")
    assert len(assignment) == 2 * 2 * 2  # threads x modes x (top-1, top-10)
    if peers:
        agreements = [float(row[9]) for row in assignment if row[3] == "1"]
        assert len(agreements) == 4
        assert min(agreements) >= 0.99, agreements

    memory = table(text, "## Memory")
    assert [row[1] for row in memory] == ["euclidean", "inner"]
    if label:
        levels = {row[2] for row in table(text, "## Label step alone (C++ engine API)")}
        assert "scalar" in levels
