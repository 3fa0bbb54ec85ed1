"""Bulk build: IndexWriter.add + save against HybridIndex.add_record + save and against preparing
the same sign bits for FAISS (np.packbits + IndexBinaryFlat.add), on one NumPy workload.

    python bench/build_bench.py [--n 1000000] [--dim 768] [--record-n 200000] [--out DIR]

`python -m bench --engine` runs the same measurement on its own workload.

Reports records/s of each, the build's two bounds measured in the same run (one NumPy sum over
the input array; writing and flushing as many bytes as the saved files to a plain file), and
the peak resident memory of the writer's add + save above the
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


def bounds(x, nbytes, out):
    """The honest bounds of a build, measured now: reading its input once (a NumPy sum over
    the array) and writing `nbytes` (the saved files' size) to a plain file in `out` and
    flushing it to storage, as save does. The written buffer is touched first, so its page
    faults are not counted."""
    t0, c0 = time.perf_counter(), time.thread_time()
    float(np.add.reduce(x.reshape(-1), dtype=np.float32))
    read_s, read_cpu_s = time.perf_counter() - t0, time.thread_time() - c0
    buf = np.ones(nbytes, dtype=np.uint8)
    path = os.path.join(out, "write-bound.bin")
    t0 = time.perf_counter()
    with open(path, "wb", buffering=0) as f:
        view = memoryview(buf)
        while view:
            view = view[f.write(view):]
        os.fsync(f.fileno())
    write_s = time.perf_counter() - t0
    os.remove(path)
    return {"read_s": read_s, "read_cpu_s": read_cpu_s, "write_s": write_s,
            "write_bytes": nbytes}


def measure(ids, columns, x, offsets, out, record_n, log=print):
    """Times the three builds of the same records and returns their numbers; the writer's file
    stays at out/writer.korvix for the caller to search. `x` is (n, dim) float32 and record i's
    embedding sits at byte offsets[i] of x's buffer."""
    import korvel

    n, dim = x.shape
    names = list(columns)
    path = os.path.join(out, "writer.korvix")
    res = {"n": n, "dim": dim, "path": path}

    base_kib = status_kib("VmRSS")
    reset_peak()
    t0, c0 = time.perf_counter(), time.process_time()
    w = korvel.IndexWriter(names, dim)
    w.add(ids, columns, embeddings=x, offsets=offsets)
    t_add, c_add = time.perf_counter() - t0, time.process_time() - c0
    add_peak_mib = (status_kib("VmHWM") - base_kib) / 1024
    w.save(path)
    t_total, c_total = time.perf_counter() - t0, time.process_time() - c0
    peak_mib = (status_kib("VmHWM") - base_kib) / 1024
    del w
    data_mib = os.path.getsize(path) / 2**20
    res.update(bounds(x, os.path.getsize(path) + os.path.getsize(path + ".meta"), out))
    log(f"  bounds: one NumPy pass over the input {res['read_s']:.3f} s (thread CPU "
        f"{res['read_cpu_s']:.3f} s); writing and flushing {res['write_bytes'] / 2**20:.0f} MiB "
        f"to a plain file {res['write_s']:.3f} s -> add / read {t_add / res['read_s']:.2f}, "
        f"save / write {(t_total - t_add) / res['write_s']:.2f}")
    res.update(writer_add_s=t_add, writer_save_s=t_total - t_add, writer_s=t_total,
               writer_cpu_s=c_total, writer_add_cpu_s=c_add, writer_records_s=n / t_total,
               add_peak_mib=add_peak_mib, peak_mib=peak_mib, data_mib=data_mib,
               meta_mib=os.path.getsize(path + ".meta") / 2**20,
               peak_over_data=peak_mib / data_mib)
    log(f"IndexWriter: add {t_add:.3f} s, save {t_total - t_add:.3f} s, total {t_total:.3f} s "
        f"= {n / t_total / 1e6:.2f} M records/s (process CPU: add {c_add:.3f} s, "
        f"save {c_total - c_add:.3f} s; load average {os.getloadavg()[0]:.1f})")
    log(f"  peak RSS above the caller's arrays: after add {add_peak_mib:.0f} MiB = "
        f"{add_peak_mib / data_mib:.2f} x, through save {peak_mib:.0f} MiB = "
        f"{peak_mib / data_mib:.2f} x the data file ({data_mib:.0f} MiB)")

    # The same codes for the peer: sign bits packed little-endian, added to a flat binary index.
    try:
        import faiss
    except ImportError:
        faiss = None
    if faiss is not None:
        t0, c0 = time.perf_counter(), time.process_time()
        codes = np.packbits(x > 0, axis=1, bitorder="little")
        t_pack = time.perf_counter() - t0
        flat = faiss.IndexBinaryFlat(dim)
        flat.add(codes)
        t_faiss = time.perf_counter() - t0
        res.update(faiss_pack_s=t_pack, faiss_s=t_faiss, faiss_cpu_s=time.process_time() - c0,
                   faiss_records_s=n / t_faiss)
        log(f"np.packbits {t_pack:.3f} s + IndexBinaryFlat.add {t_faiss - t_pack:.3f} s "
            f"= {n / t_faiss / 1e6:.2f} M records/s")
        del codes, flat
    else:
        res["faiss_missing"] = "faiss not installed"
        log("FAISS: not installed")

    m = min(record_n, n)
    sub = os.path.join(out, "records.korvix")
    cols = [np.asarray(columns[name][:m]).tolist() for name in names]
    t0, c0 = time.perf_counter(), time.process_time()
    idx = korvel.HybridIndex.builder(names, dim)
    for i in range(m):
        idx.add_record(int(ids[i]), {name: col[i] for name, col in zip(names, cols)},
                       x[i], int(offsets[i]))
    idx.save(sub)
    t_rec = time.perf_counter() - t0
    del idx
    res.update(record_n=m, record_s=t_rec, record_cpu_s=time.process_time() - c0,
               record_records_s=m / t_rec)
    log(f"HybridIndex.add_record + save: {m:,} records in {t_rec:.3f} s = "
        f"{m / t_rec / 1e6:.3f} M records/s")
    w = korvel.IndexWriter(names, dim)
    w.add(ids[:m], {k: v[:m] for k, v in columns.items()}, embeddings=x[:m], offsets=offsets[:m])
    w.save(os.path.join(out, "writer-sub.korvix"))
    res["identical_files"] = digest(sub) == digest(os.path.join(out, "writer-sub.korvix"))
    log(f"  files of both APIs for those records identical: {res['identical_files']}")
    for p in (sub, os.path.join(out, "writer-sub.korvix")):
        os.remove(p)
        os.remove(p + ".meta")
    return res


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=int, default=1_000_000)
    ap.add_argument("--dim", type=int, default=768)
    ap.add_argument("--record-n", type=int, default=200_000)
    ap.add_argument("--out", default=None, help="directory for the index files (default: temp)")
    args = ap.parse_args(argv)

    from korvel import _engine

    n, dim = args.n, args.dim
    print(f"workload: {n:,} records x {dim} float32, {len(TRAITS)} traits, "
          f"{os.cpu_count()} cores, kernel table {_engine.kernel_info()['kernels']}", flush=True)
    ids, columns, x, offsets = workload(n, dim)
    res = measure(ids, columns, x, offsets, args.out or tempfile.mkdtemp(prefix="korvel-build-"),
                  args.record_n)
    rows = [("IndexWriter add + save", n, res["writer_s"])]
    if "faiss_s" in res:
        rows.append(("np.packbits + FAISS IndexBinaryFlat.add", n, res["faiss_s"]))
    rows.append((f"HybridIndex.add_record + save (first {res['record_n']:,})", res["record_n"],
                 res["record_s"]))
    print("\n| build | records | seconds | records/s |\n|---|---:|---:|---:|")
    for name, count, secs in rows:
        print(f"| {name} | {count:,} | {secs:.3f} | {count / secs:,.0f} |")
    print(f"\npeak RSS of add + save above the caller's arrays: {res['peak_over_data']:.2f} x "
          "the data file size")
    return 0 if res["identical_files"] else 1


if __name__ == "__main__":
    sys.exit(main())
