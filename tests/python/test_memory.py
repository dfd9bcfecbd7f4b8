"""Memory a call needs beyond its input, measured in a fresh process."""
import json
import sys

import pytest

from conftest import SANITIZED, run_python


@pytest.mark.skipif(bool(SANITIZED), reason="shadow memory and quarantine swamp the figure")
@pytest.mark.skipif(sys.platform != "linux", reason="reads resident sizes from /proc")
def test_training_a_few_long_rows_needs_about_the_input_again():
    # Four points of a million dimensions (16 MB). Training holds the
    # centroids, their panels and one packed copy of the points: about twice
    # the input. Scratch sized for whole tiles of 16 or 48 points, for every
    # worker of the pool, took more than 20 times the input here.
    #
    # The peak is VmHWM, not ru_maxrss: a child's ru_maxrss starts at the
    # resident size of the parent it was forked from, which after a long
    # test session is larger than the whole figure here.
    result = run_python("""
        import json, re
        import numpy as np
        import quorla

        def status_bytes(field):
            with open("/proc/self/status") as status:
                return int(re.search(field + r":\\s+(\\d+) kB", status.read()).group(1)) * 1024

        x = np.random.default_rng(5).standard_normal((4, 1_000_000), dtype=np.float32)
        resident = status_bytes("VmRSS")
        quorla.KMeans(2).with_iterations(1).train(x, None)
        print(json.dumps({"input": x.nbytes, "growth": status_bytes("VmHWM") - resident}))
    """)
    assert result.returncode == 0, result.stderr
    figures = json.loads(result.stdout)
    assert figures["growth"] <= 4 * figures["input"], figures
