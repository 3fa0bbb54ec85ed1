"""Bulk build: IndexWriter.add + save against HybridIndex.add_record + save and against preparing
the same sign bits for FAISS (np.packbits + IndexBinaryFlat.add), on one NumPy workload.

    python bench/build_bench.py [--n 1000000] [--dim 768] [--record-n 200000] [--out DIR]

Reports records/s of each, and the peak resident memory of the writer's add + save above the
caller's arrays (the process's high-water mark reset just before, through /proc/self/clear_refs)
against the data file's size. add_record runs on the first --record-n records only (it costs
microseconds per record); its rate is per record.
"""

import argparse
import hashlib
import os
import sys
import tempfile
import time

import numpy as np

TRAITS = (("tenant", 200), ("category", 50), ("lang", 12))


def status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field + " not in /proc/self/status")


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size


def digest(path):
    h = hashlib.sha256()
    for p in (path, path + ".meta"):
        with open(p, "rb") as f:
            while chunk := f.read(1 << 24):
                h.update(chunk)
    return h.hexdigest()[:16]


def workload(n, dim, seed=0):
    rng = np.random.default_rng(seed)
    ids = np.arange(n, dtype=np.uint64)
    columns = {}
    for name, count in TRAITS:
        values = np.array([f"{name}-{i}" for i in range(count)])
        columns[name] = values[rng.integers(0, count, n)]
    x = np.empty((n, dim), np.float32)
    step = 1 << 16
    for i in range(0, n, step):
        x[i:i + step] = rng.standard_normal((min(step, n - i), dim), dtype=np.float32)
    offsets = ids * np.uint64(dim * 4)
    return ids, columns, x, offsets


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--record-n", type=int, default=200_000)
    ap.add_argument("--out", default=None, help="directory for the index files (default: temp)")
    args = ap.parse_args(argv)

    import korvel

    n, dim = args.n, args.dim
    print(f"workload: {n:,} records x {dim} float32, {len(TRAITS)} traits, "
          f"{os.cpu_count()} cores", flush=True)
    ids, columns, x, offsets = workload(n, dim)
    out = args.out or tempfile.mkdtemp(prefix="korvel-build-")
    path = os.path.join(out, "writer.korvix")

    base_kib = status_kib("VmRSS")
    reset_peak()
    t0, c0 = time.perf_counter(), time.process_time()
    w = korvel.IndexWriter([name for name, _ in TRAITS], dim)
    w.add(ids, columns, embeddings=x, offsets=offsets)
    t_add, c_add = time.perf_counter() - t0, time.process_time() - c0
    add_peak_mib = (status_kib("VmHWM") - base_kib) / 1024
    w.save(path)
    t_total, c_total = time.perf_counter() - t0, time.process_time() - c0
    peak_mib = (status_kib("VmHWM") - base_kib) / 1024
    data_mib = os.path.getsize(path) / 2**20
    meta_mib = os.path.getsize(path + ".meta") / 2**20
    del w
    rows = [("IndexWriter add + save", n, t_total)]
    print(f"IndexWriter: add {t_add:.3f} s, save {t_total - t_add:.3f} s, total {t_total:.3f} s "
          f"= {n / t_total / 1e6:.2f} M records/s (CPU time: add {c_add:.3f} s, "
          f"save {c_total - c_add:.3f} s; load average {os.getloadavg()[0]:.1f})")
    print(f"  peak RSS above the caller's arrays: after add {add_peak_mib:.0f} MiB = "
          f"{add_peak_mib / data_mib:.2f} x, through save {peak_mib:.0f} MiB = "
          f"{peak_mib / data_mib:.2f} x the data file ({data_mib:.0f} MiB; sidecar {meta_mib:.1f} MiB)")

    # The same codes for the peer: sign bits packed little-endian, added to a flat binary index.
    try:
        import faiss
    except ImportError:
        faiss = None
    if faiss is not None:
        faiss.omp_set_num_threads(os.cpu_count() or 1)
        t0 = time.perf_counter()
        codes = np.packbits(x > 0, axis=1, bitorder="little")
        t_pack = time.perf_counter() - t0
        flat = faiss.IndexBinaryFlat(dim)
        flat.add(codes)
        t_faiss = time.perf_counter() - t0
        rows.append(("np.packbits + FAISS IndexBinaryFlat.add", n, t_faiss))
        print(f"np.packbits {t_pack:.3f} s + IndexBinaryFlat.add {t_faiss - t_pack:.3f} s "
              f"= {n / t_faiss / 1e6:.2f} M records/s")
        del codes, flat
    else:
        print("FAISS: not installed")

    m = min(args.record_n, n)
    sub = os.path.join(out, "records.korvix")
    names = [name for name, _ in TRAITS]
    cols = [columns[name][:m].tolist() for name in names]
    t0 = time.perf_counter()
    idx = korvel.HybridIndex.builder(names, dim)
    for i in range(m):
        idx.add_record(i, {names[0]: cols[0][i], names[1]: cols[1][i], names[2]: cols[2][i]},
                       x[i], int(offsets[i]))
    idx.save(sub)
    t_rec = time.perf_counter() - t0
    del idx
    rows.append((f"HybridIndex.add_record + save (first {m:,})", m, t_rec))
    print(f"HybridIndex.add_record + save: {m:,} records in {t_rec:.3f} s = "
          f"{m / t_rec / 1e6:.3f} M records/s")
    w = korvel.IndexWriter(names, dim)
    w.add(ids[:m], {k: v[:m] for k, v in columns.items()}, embeddings=x[:m], offsets=offsets[:m])
    w.save(os.path.join(out, "writer-sub.korvix"))
    same = digest(sub) == digest(os.path.join(out, "writer-sub.korvix"))
    print(f"  files of both APIs for those records identical: {same}")

    print("\n| build | records | seconds | records/s |\n|---|---:|---:|---:|")
    for name, count, secs in rows:
        print(f"| {name} | {count:,} | {secs:.3f} | {count / secs:,.0f} |")
    print(f"\npeak RSS of add + save above the caller's arrays: {peak_mib / data_mib:.2f} x "
          "the data file size")
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
