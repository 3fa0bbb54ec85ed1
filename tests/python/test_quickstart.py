"""The README's quickstart runs end to end on the bundled digits data and its numbers hold up."""

import os
import subprocess
import sys

import pytest

QUICKSTART = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples",
                          "quickstart.py")


def test_quickstart_prints_its_recall_table():
    pytest.importorskip("sklearn", reason="the quickstart's data set comes with scikit-learn")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, QUICKSTART], capture_output=True, text=True, env=env,
                          cwd=os.path.dirname(QUICKSTART), timeout=300)
    assert done.returncode == 0, done.stderr
    out = done.stdout
    assert out.startswith("saved 1697 records: data file 30672 bytes, sidecar ")
    table = out.split("recall@10 against exact dot-product search, 100 held-out queries\n")[1]
    rows = {line[:34].strip(): [float(x) for x in line[34:].split()]
            for line in table.splitlines()[1:]}
    assert list(rows) == ["Hamming ranking", "Hamming + sign re-ranking",
                          "Hamming + exact re-scoring", "cascade: pool 300, 50 re-scored",
                          "digit filter + exact re-scoring", "exact search"]
    hamming, signs, rescored, cascade, filtered, exact = (rows[k][:2] for k in rows)
    # Re-ranking a pool of 30 must beat taking the 10 nearest signatures, and exact re-scoring
    # the sign re-rank; the filter is exact, so every filtered hit carries the query's digit.
    assert 0.2 < hamming[0] < signs[0] < rescored[0] < cascade[0] <= 1.0
    assert filtered == [filtered[0], 1.0] and filtered[0] > 0.5
    assert exact[0] >= 0.99  # equal to the reference but where two dot products tie
