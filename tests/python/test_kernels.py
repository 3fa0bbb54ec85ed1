"""The kernel table: KORVEL_KERNELS forces one, every usable table gives the same search results,
a table the processor cannot run (or an unknown name) stops the import with a clear text, and
`python -m korvel info` reports the choice."""

import os
import shutil
import subprocess
import sys

import pytest

from korvel import _engine

HERE = os.path.dirname(os.path.abspath(__file__))
TABLES = ["portable", "avx2", "avx512"]

# Batched searches that reach every kernel family: filtered (plane match) and unfiltered, Hamming
# ranking (block kernels), sign re-ranking and exact re-scoring, one query at a time too.
SEARCH = """
import hashlib, sys
import numpy as np
import korvel
rng = np.random.default_rng(5)
n, dim = 3000, 200
X = rng.standard_normal((n, dim), dtype=np.float32)
w = korvel.IndexWriter(["a", "b"], dim)
w.add(np.arange(n), {"a": rng.choice(["x", "y", "z"], n), "b": rng.choice(list("pqrstuvw"), n)},
      embeddings=X, offsets=np.arange(n) * dim * 4)
w.save(sys.argv[1])
index = korvel.open(sys.argv[1])
Q = rng.standard_normal((37, dim), dtype=np.float32)
h = hashlib.sha256()
for args in [dict(), dict(where={"a": "x"}), dict(where=korvel.Not({"b": ["p", "q"]}),
             rerank="signs"), dict(embeddings=X, oversample=5), dict(threads=1)]:
    for q in (Q, Q[:1]):
        r = index.search(q, k=20, **args)
        h.update(r.ids.tobytes()); h.update(r.scores.tobytes()); h.update(r.counts.tobytes())
h.update(repr(index.facets("b", where={"a": "y"})).encode())
print(korvel._engine.kernel_info()["kernels"], h.hexdigest())
"""


def run(args, kernels, emulated_cpu=None):
    """A child interpreter with KORVEL_KERNELS set (None: unset), on an emulated processor model
    when `emulated_cpu` names one."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    env.pop("KORVEL_KERNELS", None)
    if kernels is not None:
        env["KORVEL_KERNELS"] = kernels
    emulator = ["qemu-x86_64", "-cpu", emulated_cpu] if emulated_cpu else []
    return subprocess.run([*emulator, sys.executable, *args], capture_output=True, text=True,
                          cwd=HERE, env=env, timeout=120)


def test_every_usable_table_gives_the_same_results(tmp_path):
    info = _engine.kernel_info()
    assert set(info["usable"]) <= set(TABLES) and "portable" in info["usable"]
    assert info["kernels"] == (os.environ.get("KORVEL_KERNELS") or info["usable"][-1])
    outputs = {}
    for table in info["usable"]:
        out = run(["-c", SEARCH, str(tmp_path / f"{table}.kvx")], table)
        assert out.returncode == 0, out.stderr
        chosen, digest = out.stdout.split()
        assert chosen == table
        outputs[table] = digest
    assert len(set(outputs.values())) == 1, outputs


def test_a_table_that_cannot_run_stops_the_import():
    unusable = [t for t in TABLES if t not in _engine.kernel_info()["usable"]]
    cases = [("avx-512", 'KORVEL_KERNELS="avx-512" names no kernel table: use one of portable, '
                         "avx2, avx512, or leave it unset for the best this processor runs", "")]
    for table in unusable:
        cases.append((table, f"KORVEL_KERNELS={table}: this processor cannot run the {table} "
                             "kernels (it lacks ",
                      "(or leave KORVEL_KERNELS unset for the best of them)"))
    # An emulated processor with AVX2 and without AVX-512, for machines that have AVX-512 (the
    # sanitizer runtime does not run under the emulator).
    emulate = shutil.which("qemu-x86_64") and os.environ.get("KORVEL_SANITIZED") != "1"
    cases += [("avx512", "KORVEL_KERNELS=avx512: this processor cannot run the avx512 kernels "
                         "(it lacks avx512f, avx512bw, avx512vpopcntdq, OS support for ZMM "
                         "state); usable here: portable, avx2 (or leave KORVEL_KERNELS unset "
                         "for the best of them)", "", "Haswell")]
    for request, start, end, *cpu in cases:
        if cpu and not emulate:
            continue
        out = run(["-c", "import korvel"], request, *cpu)
        assert out.returncode == 1
        last = out.stderr.strip().splitlines()[-1]
        assert last.startswith("ImportError: " + start) and last.endswith(end), last


@pytest.mark.parametrize("kernels", [None, "", "portable"])
def test_info_command(kernels):
    out = run(["-m", "korvel", "info"], kernels)
    assert (out.returncode, out.stderr) == (0, "")
    lines = out.stdout.splitlines()
    import korvel

    info = _engine.kernel_info()
    assert lines[0] == f"korvel {korvel.__version__}"
    chosen = "portable" if kernels else info["usable"][-1]
    assert lines[1].startswith(f"kernels: {chosen} (")
    assert lines[2] == "usable kernel tables: " + ", ".join(info["usable"])
    assert lines[3].startswith("processor: avx2 ")
    assert lines[-1] == (f"threads: {_engine.thread_count()} ({_engine.thread_count_source()}; "
                         "KORVEL_THREADS overrides)")
