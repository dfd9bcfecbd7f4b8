import importlib.util
import os
import pathlib
import subprocess
import sys
import textwrap

import numpy as np
import pytest

# Set by scripts/sanitize.sh when the module under test is a sanitizer build.
SANITIZED = os.environ.get("QUORLA_SANITIZED", "")

# What a sanitizer runtime writes to standard error. ASan's reports also go
# to log files that the script checks, but UBSan's do not when it shares
# the process with ASan, so they are caught here.
SANITIZER_OUTPUT = ("runtime error: ", "Sanitizer")


EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"


def load_example(name):
    """examples/NAME.py as a module: the examples are scripts, not part of
    an installed package, so they are loaded from their files."""
    found = importlib.util.spec_from_file_location(name, EXAMPLES / f"{name}.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def run_python(code, env=None, timeout=300):
    """Runs code in a fresh interpreter: the worker pool and the NumPy table
    are process-wide, so tests of their first use need a process of their own.
    Under a sanitizer, a report from the child fails the calling test even
    when the test expects the child to fail or ignores its exit status."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=env,
        timeout=timeout,
    )
    if SANITIZED:
        assert not any(marker in result.stderr for marker in SANITIZER_OUTPUT), result.stderr
    return result


def is_panic(error):
    return type(error).__name__ == "PanicException" and not isinstance(error, Exception)


@pytest.fixture
def blobs():
    """Three well separated groups in 4 dimensions, 50 points each."""
    rng = np.random.default_rng(7)
    centres = np.array([[0, 0, 0, 0], [20, 0, 0, 0], [0, 20, 0, 0]], dtype=np.float32)
    points = np.concatenate([c + rng.standard_normal((50, 4)).astype(np.float32) for c in centres])
    return points.astype(np.float32)
