"""The process's one thread pool: its size, where the size comes from, and KORVEL_THREADS."""

import os
import subprocess
import sys

import pytest

REPORT = "import korvel._engine as e; print(e.thread_count(), e.thread_count_source())"

# Starts the pool's workers with a batched search and prints how many threads that added.
SEARCH = """
import os, numpy as np, korvel, korvel._engine as e
X = np.random.default_rng(0).standard_normal((2000, 64), dtype=np.float32)
w = korvel.IndexWriter(["a"], 64)
w.add(np.arange(2000), {"a": np.array(["x", "y"])[np.arange(2000) % 2]}, embeddings=X)
w.save(PATH)
index = korvel.open(PATH)
before = len(os.listdir("/proc/self/task"))
index.search(X[:16], k=5)
print(e.thread_count(), len(os.listdir("/proc/self/task")) - before)
"""


def run(script, threads=None):
    env = dict(os.environ)
    env.pop("KORVEL_THREADS", None)
    if threads is not None:
        env["KORVEL_THREADS"] = threads
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env,
                          timeout=120)


def test_size_and_source():
    one_cpu = "import os; os.sched_setaffinity(0, {min(os.sched_getaffinity(0))}); " + REPORT
    for script, threads, printed in [
        (one_cpu, None, "1 CPU affinity mask"),
        (one_cpu, "", "1 CPU affinity mask"),  # empty is unset
        (one_cpu, "3", "3 KORVEL_THREADS"),
        (REPORT, "1024", "1024 KORVEL_THREADS"),
    ]:
        out = run(script, threads)
        assert (out.returncode, out.stdout.strip()) == (0, printed), out.stderr
    out = run(REPORT)
    count, source = out.stdout.split(" ", 1)
    assert 1 <= int(count) <= len(os.sched_getaffinity(0))
    assert source.strip() in ("CPU affinity mask", "cgroup CPU quota", "processor count")


@pytest.mark.parametrize("value", ["0", "1025", "-2", "2.5", " 4", "four"])
def test_a_bad_override_fails_the_import_of_either_module(value):
    for module in ("korvel", "korvel._native"):
        out = run(f"import {module}", value)
        assert out.returncode == 1
        assert out.stderr.strip().splitlines()[-1] == (
            f"ValueError: KORVEL_THREADS must be an integer in 1..1024, got '{value}'")


def test_the_pool_runs_on_that_many_threads(tmp_path):
    for threads, started in [("3", 2), ("1", 0)]:
        out = run(f"PATH = {str(tmp_path / 'i.korvix')!r}\n" + SEARCH, threads)
        assert (out.returncode, out.stdout.split()) == (0, [threads, str(started)]), out.stderr
