"""The bulk path of add reads a C-ordered float32 matrix in place: its peak memory stays far below
one copy of the matrix, while a route that copies the rows (column-major input) needs one."""
import os
import subprocess
import sys
import textwrap

import pytest

import kivo

SCRIPT = textwrap.dedent("""
    import resource, sys
    import numpy as np
    from kivo import Kivo

    order = sys.argv[1]
    data = np.ones((50_000, 384), dtype=np.float32, order=order)  # 76.8 MB, pages touched
    ids = np.arange(50_000, dtype=np.uint64)
    k = Kivo(384)
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    k.add(ids, data)
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    print((after - before) * 1024)
""")

MATRIX_BYTES = 50_000 * 384 * 4


def peak_growth(order):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in [os.path.dirname(os.path.dirname(kivo.__file__)), env.get("PYTHONPATH", "")] if p)
    out = subprocess.run([sys.executable, "-c", SCRIPT, order], capture_output=True, text=True, env=env, timeout=300)
    assert out.returncode == 0, out.stderr
    return int(out.stdout)


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss in KiB is Linux's unit")
def test_c_ordered_matrix_is_not_copied():
    # The engine keeps 256-byte codes, ids and norms: about 13.4 MB.
    assert peak_growth("C") < MATRIX_BYTES // 2


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="ru_maxrss in KiB is Linux's unit")
def test_column_major_matrix_takes_one_row_copy():
    assert peak_growth("F") > MATRIX_BYTES * 3 // 4
