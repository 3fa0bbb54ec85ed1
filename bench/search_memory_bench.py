"""Peak memory and time of one Index.search: pools over many shards, and per-query filter lists.

    python bench/search_memory_bench.py RECORDS SHARDS QUERIES K WHERE [--dir DIR]

WHERE is one of: none; shared (one dense filter, about half the records, for every query);
list-dense (that filter, one equal copy per query); list-sel (an equal selective filter, 1 in
64, per query); list-pairs (distinct selective filters, about 1 in 16,000, per query). The
index files (dim 64, traits tenant x64 and user x250) are built into DIR on first use.

Prints the growth of the peak resident set during the search (the peak is reset first, through
/proc/self/clear_refs, so the build does not count), wall time and time per query, and a
digest of the ids (equal digests: equal results). Run each scenario in its own process.
"""

import argparse
import os
import time

import numpy as np

import korvel

DIM = 64


def _status_mib(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) / 1024.0
    return 0.0


def _build(path, n, seed):
    rng = np.random.default_rng(seed)
    writer = korvel.IndexWriter(["tenant", "user"], DIM)
    tenant = np.array([f"t{i}" for i in range(64)])[rng.integers(0, 64, n)]
    user = np.array([f"u{i}" for i in range(250)])[rng.integers(0, 250, n)]
    writer.add(np.arange(n, dtype=np.uint64), {"tenant": tenant.tolist(), "user": user.tolist()},
               rng.standard_normal((n, DIM)).astype(np.float32))
    writer.save(path)


def _paths(folder, n, shards):
    paths = [os.path.join(folder, f"n{n}_s{shards}_{i}.korvix") for i in range(shards)]
    for i, p in enumerate(paths):
        if not os.path.exists(p):
            os.makedirs(folder, exist_ok=True)
            _build(p, n // shards, 1000 * shards + i)
    return paths


def _where(kind, nq):
    dense = lambda: korvel.Not({"tenant": [f"t{i}" for i in range(32)]})  # noqa: E731
    if kind == "none":
        return None
    if kind == "shared":
        return dense()
    if kind == "list-dense":
        return [dense() for _ in range(nq)]
    if kind == "list-sel":
        return [{"tenant": "t3"} for _ in range(nq)]
    if kind == "list-pairs":
        return [{"tenant": f"t{q % 64}", "user": f"u{(q // 64) % 250}"} for q in range(nq)]
    raise SystemExit(f"unknown WHERE {kind!r}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("records", type=int)
    ap.add_argument("shards", type=int)
    ap.add_argument("queries", type=int)
    ap.add_argument("k", type=int)
    ap.add_argument("where")
    ap.add_argument("--dir", default="bench/results/search_memory")
    a = ap.parse_args()
    index = korvel.open(_paths(a.dir, a.records, a.shards))
    Q = np.random.default_rng(7).standard_normal((a.queries, DIM)).astype(np.float32)
    where = _where(a.where, a.queries)
    index.search(Q[:2], k=a.k, where=where[:2] if isinstance(where, list) else where)
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak resident set starts again from the current one
    base = _status_mib("VmRSS:")
    start = time.perf_counter()
    res = index.search(Q, k=a.k, where=where)
    wall = time.perf_counter() - start
    grown = _status_mib("VmHWM:") - base
    digest = int(res.ids.astype(np.uint64).sum(dtype=np.uint64)) % (1 << 61)
    print(f"{a.records} records, {a.shards} shards, {a.queries} queries, k={a.k}, {a.where}: "
          f"+{grown:.1f} MiB peak, {wall:.3f} s, {wall / a.queries * 1e6:.1f} us/query, "
          f"digest {digest}")


if __name__ == "__main__":
    main()
