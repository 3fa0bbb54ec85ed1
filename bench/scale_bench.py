"""Sharded indexes and Ray: one file against shards of the same records, and the Ray build and
serving against the same work in one process.

    python bench/scale_bench.py [--n 1000000] [--dim 768] [--shards 4] [--out DIR]

Reports wall time and this process's CPU time (the machine may be shared: compare the two);
Ray workers' CPU is not in this process, so Ray rows give wall time only. Needs korvel[ray]
for the Ray part (skipped without it).
"""

import argparse
import hashlib
import os
import statistics
import sys
import tempfile
import time

import numpy as np

import korvel

TRAITS = (("tenant", 200), ("category", 50), ("lang", 12))
SCHEMA = [t for t, _ in TRAITS]


def timed(fn, repeat=1):
    """(result, best wall seconds, CPU seconds of that run)."""
    best = None
    for _ in range(repeat):
        w, c = time.perf_counter(), time.process_time()
        out = fn()
        w, c = time.perf_counter() - w, time.process_time() - c
        if best is None or w < best[0]:
            best = (w, c)
    return out, best[0], best[1]


def digest(path):
    h = hashlib.sha256()
    for p in (path, path + ".meta"):
        with open(p, "rb") as f:
            h.update(f.read())
    return h.hexdigest()


def write(path, ids, cols, X, offsets):
    w = korvel.IndexWriter(SCHEMA, X.shape[1])
    w.add(ids, cols, X, offsets)
    w.save(path)
    return path


def same(a, b):
    return all(np.array_equal(x, y, equal_nan=True) for x, y in zip(a, b))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--shards", type=int, default=4)
    ap.add_argument("--out", default=None)
    ap.add_argument("--no-ray", action="store_true")
    a = ap.parse_args()
    out = a.out or tempfile.mkdtemp(prefix="korvel-scale-")
    os.makedirs(out, exist_ok=True)
    n, dim, s = a.n, a.dim, a.shards
    per = -(-n // s)
    print(f"# N={n:,} D={dim} shards={s} x {per:,}; {os.cpu_count()} cores, kernel table "
          f"{korvel._engine.kernel_info()['kernels']}; load average {os.getloadavg()[0]:.1f}")

    rng = np.random.default_rng(0)
    X = rng.standard_normal((n, dim), dtype=np.float32)
    ids = np.arange(n, dtype=np.uint64)
    cols = {t: np.char.add(t[0], rng.integers(0, m, n).astype(str)) for t, m in TRAITS}
    offsets = np.arange(n, dtype=np.uint64) * dim * 4
    Q = rng.standard_normal((256, dim), dtype=np.float32)

    one_path = os.path.join(out, "one.korvix")
    _, w, c = timed(lambda: write(one_path, ids, cols, X, offsets))
    print(f"IndexWriter, one file of {n:,}: {w:.2f} s wall, {c:.2f} s CPU")
    blocks = [(i * per, min(n, (i + 1) * per)) for i in range(s)]
    shard_dir = os.path.join(out, "local")
    os.makedirs(shard_dir, exist_ok=True)

    def write_shards():
        return [write(os.path.join(shard_dir, f"shard-{i:05d}.korvix"), ids[lo:hi],
                      {t: v[lo:hi] for t, v in cols.items()}, X[lo:hi], offsets[lo:hi])
                for i, (lo, hi) in enumerate(blocks)]

    paths, w, c = timed(write_shards)
    manifest = korvel.write_manifest(os.path.join(shard_dir, "shards.json"), paths)
    print(f"IndexWriter, {s} shards in one process: {w:.2f} s wall, {c:.2f} s CPU")

    one, sharded = korvel.open(one_path), korvel.open(manifest)
    buf = X.view(np.uint8).ravel()
    checks = [dict(), dict(where={"lang": ["l1", "l2"]}), dict(embeddings=buf),
              dict(rerank="signs", where={"tenant": "t3"})]
    print("results identical (plain, filtered, exact re-scoring, sign re-rank):",
          [same(one.search(Q, 10, **k), sharded.search(Q, 10, **k)) for k in checks])
    for threads in (1, 2):
        for name, index in (("one file", one), (f"{s} shards", sharded)):
            _, w, c = timed(lambda: index.search(Q, 10, threads=threads), repeat=3)
            print(f"batch of 256, {threads} thread(s), {name}: {256 / w:,.0f} queries/s "
                  f"({w * 1e3:.1f} ms wall, {c * 1e3:.1f} ms CPU)")

    if a.no_ray:
        return
    try:
        import ray
        import korvel.ray as kray
    except ImportError:
        print("Ray not installed: Ray part skipped")
        return
    _, w, _ = timed(lambda: ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False,
                                     configure_logging=False))
    print(f"ray.init(num_cpus=2): {w:.2f} s")
    import pandas as pd
    from ray.data.extensions import TensorArray

    chunks = np.array_split(np.arange(n), 7)  # input blocks not aligned with the shards
    frames = [pd.DataFrame({"id": ids[ix], **{t: v[ix] for t, v in cols.items()},
                            "emb": TensorArray(X[ix]), "offset": offsets[ix]}) for ix in chunks]
    ds, w, _ = timed(lambda: ray.data.from_pandas(frames).materialize())
    del frames
    print(f"Dataset into the object store: {w:.2f} s")
    ray_dir = os.path.join(out, "ray")
    m2, w, c = timed(lambda: kray.build_shards(
        ds, ray_dir, id_column="id", trait_columns=SCHEMA, embedding_column="emb",
        offset_column="offset", rows_per_shard=per))
    ray_paths = korvel.open(m2).paths
    print(f"build_shards on the local cluster: {w:.2f} s wall ({c:.2f} s CPU of the driver); "
          f"byte-identical to IndexWriter's shards: "
          f"{[digest(p) for p in ray_paths] == [digest(p) for p in paths]}")

    searcher = kray.ShardedSearcher(manifest, num_actors=2)
    print("ShardedSearcher results identical:",
          [same(searcher.search(Q, 10, **k), sharded.search(Q, 10, **k)) for k in checks[:2]])
    for batch in (1, 256):
        q = Q[:batch]
        for name, fn in (("in process", lambda: sharded.search(q, 10)),
                         ("2 actors", lambda: searcher.search(q, 10))):
            fn()
            lat = []
            for _ in range(30 if batch == 1 else 5):
                t = time.perf_counter()
                fn()
                lat.append(time.perf_counter() - t)
            med = statistics.median(lat)
            print(f"batch of {batch}, {name}: {batch / med:,.0f} queries/s, "
                  f"median {med * 1e3:.2f} ms per call (min {min(lat) * 1e3:.2f})")
    searcher.close()
    ray.shutdown()


if __name__ == "__main__":
    sys.exit(main())
