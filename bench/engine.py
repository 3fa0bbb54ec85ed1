"""The array API's targets in one run on one workload: batched search against FAISS
IndexBinaryFlat and the processor's bit-count bound, threads, a selective filter, bulk build and
recall@10 by oversample and re-rank.

    python -m bench --engine [--quick] [--out DIR] [--records N] [--queries 256]
    python -m bench --engine --sweep [--quick] [--records N]

--sweep runs only the one-query dimension sweep (Index.search and HybridIndex.search of one
query against FAISS IndexBinaryFlat at 64, 128, 256 and 768 dimensions, unfiltered and with a
50% filter, one and two threads) and adds it to the last full run's results (engine.json), so
that the README's block is regenerated without repeating the rest.

Every time is given as wall-clock and as CPU time: the calling thread's for one-thread runs (the
engine's caller takes part in the work, so with threads=1 all of it runs there), the process's
for two-thread runs. CPU time is what a search costs when no other process takes the core; this
machine is shared, so wall-clock times swing with its load (the load average is recorded).

A full run writes docs/bench/engine.md and engine.json and regenerates the README's table between
its engine-bench markers; --quick (100,000 records) and --out write to a results folder only.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from bench import build_bench, measure, systems, workload

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
K, OVERSAMPLE, DIM = 10, 3, 768
OVERSAMPLES = range(1, 11)
LARGE_POOL = 100  # oversample of the large-pool target: a pool of 1,000 at k=10
# A one-query scan within this factor of a plain read of its signatures on as many threads is
# at the memory bound.
MEMORY_BOUND_SLACK = 1.15
MARK_BEGIN, MARK_END = "<!-- engine-bench -->", "<!-- /engine-bench -->"


def log(msg):
    print(msg, flush=True)


def timed(fn, reps):
    """Best and median wall-clock seconds of `reps` calls, with the best CPU seconds of the
    calling thread and of the process (every thread)."""
    wall, thread, proc = [], [], []
    for _ in range(reps):
        w0, t0, p0 = time.perf_counter(), time.thread_time(), time.process_time()
        fn()
        wall.append(time.perf_counter() - w0)
        thread.append(time.thread_time() - t0)
        proc.append(time.process_time() - p0)
    return {"wall_s": min(wall), "wall_median_s": statistics.median(wall),
            "cpu_s": min(thread), "process_cpu_s": min(proc), "reps": reps}


def alternated(fns, reps):
    """timed() of several calls taking turns, so that a burst of outside load hits each alike."""
    runs = {name: [] for name in fns}
    for _ in range(reps):
        for name, fn in fns.items():
            runs[name].append(timed(fn, 1))
    out = {}
    for name, rs in runs.items():
        out[name] = {"wall_s": min(r["wall_s"] for r in rs),
                     "wall_median_s": statistics.median(r["wall_s"] for r in rs),
                     "cpu_s": min(r["cpu_s"] for r in rs),
                     "process_cpu_s": min(r["process_cpu_s"] for r in rs), "reps": reps}
    return out


def recall(ids, truth, k=K):
    """Mean share of each query's exact top k found among its first k ids."""
    return float(np.mean([len(set(map(int, row[:k])) & t) / len(t) for row, t in zip(ids, truth)]))


def pools_agree(korvel_scores, faiss_distances):
    """Query rows where the Hamming distances of the two pools differ (ties may pick other
    records, never other distances)."""
    a = np.sort(np.asarray(korvel_scores, dtype=np.float64), axis=1)
    b = np.sort(np.asarray(faiss_distances, dtype=np.float64), axis=1)
    return [int(q) for q in np.flatnonzero(~(a == b).all(axis=1))]


# ---- the processor's bit-count bound, from the C++ micro-benchmark ----------------------------

_BOUND = {
    "popcnt": r"register-only POPCNT r64: ([\d.]+) bits/ns -> ([\d.]+) ns",
    "vpshufb": r"register-only VPSHUFB ymm \(4-bit lookups\): ([\d.]+) bits/ns -> ([\d.]+) ns",
    "vpopcntq": r"register-only VPOPCNTQ zmm: ([\d.]+) bits/ns -> ([\d.]+) ns",
}


def parse_bound(text):
    """The ns per 768-bit pair of each register-only loop found in the output, the best of them,
    and the C++ engine's own one-thread batch figure."""
    out = {"clock_ghz": None, "loops": {}}
    m = re.search(r"clock \(dependent add chain, thread CPU time\): ([\d.]+) GHz", text)
    if m:
        out["clock_ghz"] = float(m.group(1))
    for name, pattern in _BOUND.items():
        m = re.search(pattern, text)
        if m:
            out["loops"][name] = {"bits_per_ns": float(m.group(1)),
                                  "ns_per_pair": float(m.group(2))}
    if out["loops"]:
        best = min(out["loops"], key=lambda n: out["loops"][n]["ns_per_pair"])
        out["best"], out["ns_per_pair"] = best, out["loops"][best]["ns_per_pair"]
    m = re.search(r"queries, 1 thread\(s\): wall .*?; caller CPU [\d.]+ ms = ([\d.]+) ns/pair",
                  text)
    if m:
        out["cpp_batch_cpu_ns_per_pair"] = float(m.group(1))
    m = re.search(r"block kernel: (\S+)", text)
    if m:
        out["kernel"] = m.group(1)
    for t, ms in re.findall(r"^1 query, (\d) thread\(s\): wall ([\d.]+) ms", text, re.M):
        out["one_query_%st_ms" % t] = float(ms)
    for t, ms in re.findall(r"plain read of the [\d.]+ MB of signatures, (\d) thread\(s\): "
                            r"wall ([\d.]+) ms", text):
        out["read_%st_ms" % t] = float(ms)
    return out


def compute_bound(n):
    """Builds the core library and bench/batch_search_bench.cc (Release, g++) and runs it."""
    if not (shutil.which("cmake") and shutil.which("g++")):
        return {"missing": "cmake or g++ not found"}
    build = os.path.join(ROOT, "build", "bench")
    exe = os.path.join(build, "batch_search_bench")
    steps = [
        ["cmake", "-S", ROOT, "-B", build, "-DKORVEL_BUILD_MODULE=OFF", "-DKORVEL_BUILD_TESTS=OFF",
         "-DCMAKE_BUILD_TYPE=Release"],
        ["cmake", "--build", build, "--target", "korvel_core", "-j2"],
        ["g++", "-O2", "-std=c++20", "-ffp-contract=off", "-I" + os.path.join(ROOT, "src"),
         os.path.join(HERE, "batch_search_bench.cc"), os.path.join(build, "libkorvel_core.a"),
         "-lpthread", "-o", exe],
    ]
    for cmd in steps:
        done = subprocess.run(cmd, capture_output=True, text=True)
        if done.returncode != 0:
            return {"missing": "%s failed: %s" % (cmd[0], done.stderr.strip()[-300:])}
    done = subprocess.run([exe, str(n)], capture_output=True, text=True, timeout=900)
    if done.returncode != 0:
        return {"missing": "batch_search_bench exited with %d" % done.returncode}
    res = parse_bound(done.stdout)
    res["output"] = done.stdout
    return res


# ---- the run ------------------------------------------------------------------------------------

def search_phase(index, flat, w, selective, reps):
    """Batched, threaded, single-query and filtered timings, and the FAISS comparison."""
    import faiss

    q = w.queries
    nq = q.shape[0]
    qcodes = workload.signatures_of(q)
    faiss.omp_set_num_threads(1)
    res = {}
    log("   batched %d queries, one thread: Korvel and FAISS alternated" % nq)
    kres = index.search(q, K, oversample=OVERSAMPLE, threads=1)
    fd, _ = flat.search(qcodes, K)
    pool = index.search(q, K * OVERSAMPLE, oversample=1, threads=1)
    pd, _ = flat.search(qcodes, K * OVERSAMPLE)
    res["sanity"] = {"queries": nq, "top10_mismatches": pools_agree(kres.scores, fd),
                     "pool_mismatches": pools_agree(pool.scores, pd)}
    res.update(alternated({
        "korvel_1t": lambda: index.search(q, K, oversample=OVERSAMPLE, threads=1),
        "faiss_1t": lambda: flat.search(qcodes, K),
        "faiss_1t_pool": lambda: flat.search(qcodes, K * OVERSAMPLE),
    }, reps))
    log("   two threads against one")
    res.update(alternated({
        "korvel_2t": lambda: index.search(q, K, oversample=OVERSAMPLE, threads=2),
        "korvel_1t_again": lambda: index.search(q, K, oversample=OVERSAMPLE, threads=1),
    }, reps))
    log("   one query, one and two threads")
    one = q[:1]
    single = {t: (lambda t=t: index.search(one, K, oversample=OVERSAMPLE, threads=t))
              for t in (1, 2)}
    runs = alternated({"one_1t": lambda: [single[1]() for _ in range(10)],
                       "one_2t": lambda: [single[2]() for _ in range(10)]}, reps * 4)
    for v in runs.values():  # per query
        for key in ("wall_s", "wall_median_s", "cpu_s", "process_cpu_s"):
            v[key] /= 10
    res.update(runs)
    log("   ~0.5%% filter (%d records), batched, one thread" % selective.rows.size)
    res["filtered_1t"] = timed(
        lambda: index.search(q, K, where=selective.filters, oversample=OVERSAMPLE, threads=1),
        reps * 4)
    res["filter"] = {"where": selective.filters, "matches": int(selective.rows.size)}
    log("   large pools: oversample %d against %d, and the cascade at %d" % (
        LARGE_POOL, OVERSAMPLE, LARGE_POOL))
    buffer = w.embeddings.reshape(-1).view(np.uint8)
    res.update(alternated({
        "pool_small_1t": lambda: index.search(q, K, oversample=OVERSAMPLE, threads=1),
        "pool_large_1t": lambda: index.search(q, K, oversample=LARGE_POOL, threads=1),
        "cascade_large_1t": lambda: index.search(q, K, oversample=LARGE_POOL, threads=1,
                                                 rerank="signs", embeddings=buffer),
    }, reps))
    return res


def recall_phase(index, w, buffer):
    truth = workload.exact_top(w, w.cases[0], k=K)
    rows = []
    for o in OVERSAMPLES:
        row = {"oversample": o}
        for name, kw in (("none", {}), ("signs", {"rerank": "signs"}),
                         ("exact", {"embeddings": buffer})):
            t0 = time.thread_time()
            r = index.search(w.queries, K, oversample=o, threads=1, **kw)
            row[name + "_cpu_qps"] = w.queries.shape[0] / max(time.thread_time() - t0, 1e-9)
            row[name] = recall(r.ids, truth)
        rows.append(row)
    return rows


def run(n, queries, reps, bound_n, out, command):
    import korvel

    info = measure.machine_info()
    info["command"] = command
    started = time.perf_counter()
    log("machine: %s, %d cores, load %s" % (info["cpu"], info["cores"], info["load_average"]))
    w = workload.make_workload(n, DIM, queries)
    ids = np.arange(n, dtype=np.uint64)
    columns = {name: np.asarray(w.values[t])[w.codes[:, t]]
               for t, name in enumerate(w.trait_names)}
    offsets = ids * np.uint64(DIM * 4)
    results = {"machine": info, "n": n, "dim": DIM, "queries": int(w.queries.shape[0]), "k": K,
               "oversample": OVERSAMPLE, "traits": len(w.trait_names)}
    with tempfile.TemporaryDirectory(prefix="korvel-engine-") as tmp:
        log("== build, %d x %d" % (n, DIM))
        results["build"] = build_bench.measure(ids, columns, w.embeddings, offsets, tmp,
                                               min(n // 5, 200_000), log=lambda m: log("   " + m))
        del columns
        index = korvel.open(results["build"]["path"])
        log("== compute bound (bench/batch_search_bench.cc, %d records)" % bound_n)
        results["bound"] = compute_bound(bound_n)
        log("   " + ("; ".join("%s %.3f ns/pair" % (k, v["ns_per_pair"])
                               for k, v in results["bound"].get("loops", {}).items())
                     or results["bound"].get("missing", "")))
        try:
            import faiss
        except ImportError:
            faiss = None
        if faiss is not None:
            log("== search")
            flat = faiss.IndexBinaryFlat(DIM)
            flat.add(w.signatures)
            selective = next(c for c in w.cases if c.name == "~0.5% filter")
            results["search"] = search_phase(index, flat, w, selective, reps)
            del flat
        else:
            results["search"] = {"missing": "faiss not installed (pip install '.[bench]')"}
        log("== recall@10 by oversample")
        results["recall"] = recall_phase(index, w, w.embeddings.reshape(-1).view(np.uint8))
        del index
    info["load_average_end"] = " ".join("%.2f" % x for x in os.getloadavg())
    info["seconds"] = time.perf_counter() - started
    results["targets"] = targets(results)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "engine.json"), "w") as f:
        json.dump(results, f, indent=1)
    text = markdown(results)
    with open(os.path.join(out, "engine.md"), "w") as f:
        f.write(text)
    return results


# ---- one query by dimension ---------------------------------------------------------------------

SWEEP_DIMS = (64, 128, 256, 768)
SWEEP_TARGET, SWEEP_THREADS_TARGET, HYBRID_TARGET = 1.2, 0.6, 1.1


def sweep_records(rng, n, dim, chunk):
    """Sign bits of n records in chunks: each a noisy copy (a quarter of its bits flipped) of
    one of n / 1000 random centres, so that a query has near neighbours as real data has."""
    nbytes = (dim + 7) // 8
    centres = rng.integers(0, 256, size=(max(16, n // 1000), nbytes), dtype=np.uint8)
    for start in range(0, n, chunk):
        m = min(chunk, n - start)
        noise = rng.integers(0, 256, size=(m, nbytes), dtype=np.uint8)
        noise &= rng.integers(0, 256, size=(m, nbytes), dtype=np.uint8)  # each bit: 1 in 4
        yield centres[rng.integers(0, centres.shape[0], size=m)] ^ noise


def sweep_dim(korvel, faiss, n, dim, queries, reps, tmp):
    """One query at a time at one dimension: Index.search (one and two threads, with and without
    a 50% filter), HybridIndex.search of the same file (the process's threads), FAISS
    IndexBinaryFlat of the pool's size on one thread, and one NumPy pass over the signatures."""
    rng = np.random.default_rng([7, n, dim])
    nbytes = (dim + 7) // 8
    sigs = np.empty((n, nbytes), dtype=np.uint8)
    writer = korvel.IndexWriter(["half"], dim)
    chunk = 100_000
    for start, bits in zip(range(0, n, chunk), sweep_records(rng, n, dim, chunk)):
        if dim % 8:
            bits[:, -1] &= (1 << (dim % 8)) - 1  # the spare bits of a signature are zero
        sigs[start:start + bits.shape[0]] = bits
        signs = np.unpackbits(bits, axis=1, count=dim, bitorder="little").astype(np.float32)
        writer.add(np.arange(start, start + bits.shape[0], dtype=np.uint64),
                   {"half": np.where(rng.random(bits.shape[0]) < 0.5, "a", "b")},
                   embeddings=signs * 2 - 1)
    path = os.path.join(tmp, "sweep-%d.korvix" % dim)
    writer.save(path)
    del writer
    index = korvel.open(path)
    hybrid = korvel.HybridIndex.load(path)
    picks = rng.choice(n, size=queries, replace=False)
    flips = rng.random((queries, dim)) < 0.1
    signs = np.unpackbits(sigs[picks], axis=1, count=dim, bitorder="little").astype(bool)
    qbits = signs ^ flips
    q = np.where(qbits, 1.0, -1.0).astype(np.float32)
    qcodes = np.packbits(qbits, axis=1, bitorder="little")
    flat = faiss.IndexBinaryFlat(8 * nbytes)  # whole bytes; the spare bits are zero
    flat.add(sigs)
    pool = K * OVERSAMPLE
    fd, _ = flat.search(qcodes, pool)
    mismatches = sum(
        not np.array_equal(np.sort(index.search(q[i], pool, oversample=1, threads=1).scores),
                           np.sort(fd[i].astype(np.float32))) for i in range(queries))
    half = {"half": "a"}
    words = sigs.reshape(-1).view(np.uint64 if sigs.size % 8 == 0 else np.uint8)

    def each(fn):
        return lambda: [fn(i) for i in range(queries)]

    runs = alternated({
        "korvel_1t": each(lambda i: index.search(q[i], K, oversample=OVERSAMPLE, threads=1)),
        "korvel_1t_half": each(lambda i: index.search(q[i], K, where=half,
                                                      oversample=OVERSAMPLE, threads=1)),
        "korvel_2t": each(lambda i: index.search(q[i], K, oversample=OVERSAMPLE, threads=2)),
        "hybrid": each(lambda i: hybrid.search({}, q[i], top_k=K)),
        "hybrid_half": each(lambda i: hybrid.search(half, q[i], top_k=K)),
        "faiss_1t": each(lambda i: flat.search(qcodes[i:i + 1], pool)),
        "numpy_pass": each(lambda i: np.bitwise_or.reduce(words)),
    }, reps)
    for v in runs.values():  # per query
        for key in ("wall_s", "wall_median_s", "cpu_s", "process_cpu_s"):
            v[key] /= queries
    runs["dim"], runs["signature_bytes"], runs["pool_mismatches"] = dim, nbytes, mismatches
    del index, hybrid, flat
    return runs


def sweep_phase(n, queries, reps):
    import faiss
    import korvel

    faiss.omp_set_num_threads(1)
    rows = []
    with tempfile.TemporaryDirectory(prefix="korvel-sweep-") as tmp:
        for dim in SWEEP_DIMS:
            log("== one query, %d x %d" % (n, dim))
            rows.append(sweep_dim(korvel, faiss, n, dim, queries, reps, tmp))
    return {"n": n, "queries": queries, "k": K, "oversample": OVERSAMPLE, "rows": rows}


def sweep_table(sweep):
    """One row per dimension: CPU milliseconds per query of the calling thread for one-thread
    runs; HybridIndex.search runs on every thread of the pool, so it is timed by its latency
    (wall) and compared with FAISS's wall time and with Index.search on as many threads."""
    def ms(r, name, key="cpu_s"):
        return "%.3f" % (r[name][key] * 1e3)

    rows = []
    for r in sweep["rows"]:
        f, f_wall = r["faiss_1t"]["cpu_s"], r["faiss_1t"]["wall_s"]
        worst = min([f / r[name]["cpu_s"] for name in ("korvel_1t", "korvel_1t_half")]
                    + [f_wall / r[name]["wall_s"] for name in ("hybrid", "hybrid_half")])
        two = r["korvel_2t"]["process_cpu_s"] / 2 / r["korvel_1t"]["cpu_s"]
        # One thread already reading the signatures faster than one NumPy pass is at the
        # memory bound: a second thread cannot halve that.
        bound = r["korvel_1t"]["wall_s"] <= r["numpy_pass"]["wall_s"]
        hybrid = r["hybrid"]["wall_s"] / r["korvel_2t"]["wall_s"]
        ok = worst >= SWEEP_TARGET and hybrid <= HYBRID_TARGET and (
            two <= SWEEP_THREADS_TARGET or bound)
        rows.append((r["dim"], r["signature_bytes"], ms(r, "korvel_1t"), ms(r, "korvel_1t_half"),
                     ms(r, "faiss_1t"), "%.2f" % (f / r["korvel_1t"]["cpu_s"]),
                     ms(r, "hybrid", "wall_s"), ms(r, "hybrid_half", "wall_s"),
                     ms(r, "faiss_1t", "wall_s"), "%.2f" % hybrid, "%.2f" % worst,
                     "%.2f%s" % (two, " (memory bound)" if bound else ""),
                     "%.2f / %.2f" % (r["korvel_2t"]["wall_s"] * 1e3,
                                      r["korvel_1t"]["wall_s"] * 1e3),
                     ms(r, "numpy_pass", "wall_s"), "met" if ok else "missed"))
    head = ("One query, N = %s, k = %d, oversample %d (FAISS searches the pool's %d), ms per "
            "query, best of alternated runs over %d queries: one-thread runs by the calling "
            "thread's CPU time, HybridIndex.search (every thread of the pool) by its wall time. "
            "Targets: FAISS / Korvel at least %.1f in every Korvel column (\"worst\"; "
            "HybridIndex against FAISS's wall time), HybridIndex within %.1fx of Index.search on "
            "as many threads (wall), two threads at most %.1f of one (process CPU / 2 against "
            "one thread's CPU) unless one thread already reads the signatures faster than one "
            "NumPy pass over them (the memory bound)."
            % (f"{sweep['n']:,}", sweep["k"], sweep["oversample"], sweep["k"] * sweep["oversample"],
               sweep["queries"], SWEEP_TARGET, HYBRID_TARGET, SWEEP_THREADS_TARGET))
    m = sweep.get("machine")
    if m:
        head += " %s, %d cores%s; load average %s at start, %s at end; %s." % (
            m["cpu"], m["cores"], ", kernel table %s" % m["kernels"] if m.get("kernels") else "",
            m["load_average"], m.get("load_average_end", "?"), m["date"])
    return head + "\n\n" + _table(
        ["dims", "bytes", "Index.search", "50% filter", "FAISS", "FAISS / Korvel",
         "HybridIndex wall", "HybridIndex 50% wall", "FAISS wall", "HybridIndex / Index.search "
         "2 threads, wall", "worst", "2 threads / 1", "wall ms 2 / 1 threads",
         "NumPy pass wall", "status"], rows)


# ---- targets and text ---------------------------------------------------------------------------

def _qps(t, nq, key):
    return nq / t[key]


def targets(res):
    """(target, measured, wall ratio, CPU ratio, needed, status) for each of the issue's targets;
    a ratio is None where the run could not measure it."""
    rows = []
    s, b, nq, n = res.get("search", {}), res["build"], res["queries"], res["n"]

    def add(name, measured, wall, cpu, needed, at_least):
        def ok(x):
            return None if x is None else (x >= needed if at_least else x <= needed)
        marks = [("wall", ok(wall)), ("CPU", ok(cpu))]
        status = ", ".join("%s %s" % (m, "met" if v else "missed")
                           for m, v in marks if v is not None)
        rows.append({"target": name, "measured": measured, "wall_ratio": wall, "cpu_ratio": cpu,
                     "needed": ("at least " if at_least else "at most ") + _ratio(needed),
                     "status": status or "n/a"})

    if "korvel_1t" in s:
        k1, f1 = s["korvel_1t"], s["faiss_1t"]
        add("batched %d queries, 1 thread: Korvel / FAISS IndexBinaryFlat queries/s" % nq,
            "Korvel %.0f q/s (CPU %.0f), FAISS %.0f q/s (CPU %.0f); FAISS with k=%d: %.0f q/s"
            % (_qps(k1, nq, "wall_s"), _qps(k1, nq, "cpu_s"), _qps(f1, nq, "wall_s"),
               _qps(f1, nq, "cpu_s"), K * OVERSAMPLE, _qps(s["faiss_1t_pool"], nq, "wall_s")),
            f1["wall_s"] / k1["wall_s"], f1["cpu_s"] / k1["cpu_s"], 4, True)
        bound = res["bound"].get("ns_per_pair")
        pairs = nq * n
        if bound:
            add("batched, 1 thread: ns per (query, record) pair / bit-count bound",
                "Korvel %.3f ns/pair (CPU %.3f), bound %.3f ns/pair (%s, register-only)"
                % (k1["wall_s"] * 1e9 / pairs, k1["cpu_s"] * 1e9 / pairs, bound,
                   res["bound"]["best"]),
                k1["wall_s"] * 1e9 / pairs / bound, k1["cpu_s"] * 1e9 / pairs / bound, 2, False)
        k2, k1b = s["korvel_2t"], s["korvel_1t_again"]
        add("batched: 2 threads / 1 thread queries/s",
            "%.0f q/s on 2 threads, %.0f on 1 (process CPU %.3f s against %.3f s)"
            % (_qps(k2, nq, "wall_s"), _qps(k1b, nq, "wall_s"), k2["process_cpu_s"],
               k1b["cpu_s"]),
            k1b["wall_s"] / k2["wall_s"], 2 * k1b["cpu_s"] / k2["process_cpu_s"], 1.8, True)
        o1, o2 = s["one_1t"], s["one_2t"]
        add("one query: 2-thread / 1-thread latency",
            "%.2f ms on 2 threads, %.2f ms on 1 (CPU %.2f ms, process CPU on 2: %.2f ms)"
            % (o2["wall_s"] * 1e3, o1["wall_s"] * 1e3, o1["cpu_s"] * 1e3,
               o2["process_cpu_s"] * 1e3),
            o2["wall_s"] / o1["wall_s"], o2["process_cpu_s"] / 2 / o1["cpu_s"], 0.6, False)
        bd = res["bound"]
        if "read_2t_ms" in bd and "one_query_2t_ms" in bd:
            # A scan that reads each record once cannot beat a plain read of the same bytes on
            # as many threads: where two threads read little faster than one, so does the scan.
            at_bound = bd["one_query_2t_ms"] <= MEMORY_BOUND_SLACK * bd["read_2t_ms"]
            row = rows[-1]
            row["measured"] += (
                "; C++ micro-benchmark, alternated: one query %.2f ms on 2 threads, %.2f on 1; a "
                "plain read of its signatures %.2f ms on 2 threads, %.2f on 1 (two threads read "
                "%.2fx as fast as one)"
                % (bd["one_query_2t_ms"], bd["one_query_1t_ms"], bd["read_2t_ms"],
                   bd["read_1t_ms"], bd["read_1t_ms"] / bd["read_2t_ms"]))
            if at_bound and "missed" in row["status"]:
                row["status"] += "; at the memory bound (2 threads within %.2fx of the plain " \
                                 "read)" % MEMORY_BOUND_SLACK
        if "pool_large_1t" in s:
            small, large, casc = s["pool_small_1t"], s["pool_large_1t"], s["cascade_large_1t"]
            add("pools of %d, 1 thread: queries/s at oversample %d / at %d (Hamming only; the "
                "cascade in the measured column)" % (K * LARGE_POOL, LARGE_POOL, OVERSAMPLE),
                "%.0f q/s at oversample %d (CPU %.0f), %.0f at %d (CPU %.0f); cascade at %d: "
                "%.0f q/s (CPU %.0f)"
                % (_qps(large, nq, "wall_s"), LARGE_POOL, _qps(large, nq, "cpu_s"),
                   _qps(small, nq, "wall_s"), OVERSAMPLE, _qps(small, nq, "cpu_s"), LARGE_POOL,
                   _qps(casc, nq, "wall_s"), _qps(casc, nq, "cpu_s")),
                small["wall_s"] / large["wall_s"], small["cpu_s"] / large["cpu_s"], 0.8, True)
        fl = s["filtered_1t"]
        add("~0.5%% filter, batched, 1 thread: queries/s (%d matching records)"
            % s["filter"]["matches"],
            "%.0f q/s (CPU %.0f)" % (_qps(fl, nq, "wall_s"), _qps(fl, nq, "cpu_s")),
            _qps(fl, nq, "wall_s"), _qps(fl, nq, "cpu_s"), 50_000, True)
    if "read_s" in b:
        add("bulk build: IndexWriter.add of %s x %d / one NumPy sum over the same array"
            % (f"{n:,}", res["dim"]),
            "add %.3f s (process CPU %.3f s), sum %.3f s (CPU %.3f s); add + save %.2f M "
            "records/s" % (b["writer_add_s"], b["writer_add_cpu_s"], b["read_s"],
                           b["read_cpu_s"], b["writer_records_s"] / 1e6),
            b["writer_add_s"] / b["read_s"], None, 1.5, False)
        add("bulk build: IndexWriter.save / writing and flushing as many bytes to a plain file",
            "save %.3f s (process CPU %.3f s), plain write of %.0f MiB %.3f s"
            % (b["writer_save_s"], b["writer_cpu_s"] - b["writer_add_cpu_s"],
               b["write_bytes"] / 2**20, b["write_s"]),
            b["writer_save_s"] / b["write_s"], None, 1.5, False)
    add("bulk build: peak RSS above the caller's arrays / data file",
        "%.0f MiB peak, data file %.0f MiB" % (b["peak_mib"], b["data_mib"]),
        b["peak_over_data"], None, 1.3, False)
    return rows


def _table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|---" + "|--:" * (len(header) - 1) + "|"]
    lines += ["| " + " | ".join(str(c) for c in r) + " |" for r in rows]
    return "\n".join(lines)


def _ratio(x):
    return "" if x is None else "%.2f" % x if x < 1000 else f"{x:,.0f}"


def summary(res):
    """The table of targets and the recall table: the README's block between the markers."""
    m = res["machine"]
    head = ("N = %s, D = %d, %d traits, k = %d, oversample %d, %d queries. %s, %d cores, "
            "kernel table %s; load average %s at start, %s at end; %s." % (
                f"{res['n']:,}", res["dim"], res["traits"], res["k"], res["oversample"],
                res["queries"], m["cpu"], m["cores"], measure.kernels_of(m), m["load_average"],
                m.get("load_average_end", "?"), m["date"]))
    tgt = _table(["target", "measured", "wall", "CPU", "needed", "status"],
                 [(t["target"], t["measured"], _ratio(t["wall_ratio"]), _ratio(t["cpu_ratio"]),
                   t["needed"], t["status"]) for t in res["targets"]])
    rec = _table(["oversample", "Hamming only", 'rerank="signs"', "embeddings= (exact)",
                  "q/s, 1 thread CPU: none / signs / exact"],
                 [(r["oversample"], "%.3f" % r["none"], "%.3f" % r["signs"], "%.3f" % r["exact"],
                   "%.0f / %.0f / %.0f" % (r["none_cpu_qps"], r["signs_cpu_qps"],
                                           r["exact_cpu_qps"]))
                  for r in res["recall"]])
    b = res["build"]
    build = _table(["build of the same records", "records", "seconds", "records/s"],
                   [("IndexWriter add + save (2 cores)", f"{b['n']:,}", "%.3f" % b["writer_s"],
                     f"{b['writer_records_s']:,.0f}")]
                   + ([("np.packbits + FAISS IndexBinaryFlat.add", f"{b['n']:,}",
                        "%.3f" % b["faiss_s"], f"{b['faiss_records_s']:,.0f}")]
                      if "faiss_s" in b else [])
                   + [("HybridIndex.add_record + save (first %s, per record)"
                       % f"{b['record_n']:,}", f"{b['record_n']:,}", "%.3f" % b["record_s"],
                       f"{b['record_records_s']:,.0f}")])
    parts = [head, tgt, build, "recall@10 against exact float32 dot-product search, no filter:",
             rec]
    if "sweep" in res:
        parts.append(sweep_table(res["sweep"]))
    return "\n\n".join(parts)


def markdown(res):
    bound = res["bound"]
    how = ("Bit-count bound: bench/batch_search_bench.cc, built with g++ -O2 against the core "
           "library, times register-only loops of eight independent bit-count instructions on "
           "the calling thread's CPU clock (no memory traffic) and converts the best of them to "
           "ns per 768-bit pair." if "loops" in bound else
           "Bit-count bound: not measured (%s)." % bound.get("missing", "?"))
    if bound.get("loops"):
        how += " Loops: " + ", ".join("%s %.0f bits/ns = %.3f ns/pair" % (k, v["bits_per_ns"],
                                                                          v["ns_per_pair"])
                                      for k, v in bound["loops"].items())
        how += "; clock %.2f GHz; block kernel %s." % (bound.get("clock_ghz") or 0,
                                                       bound.get("kernel", "?"))
        if bound.get("cpp_batch_cpu_ns_per_pair"):
            how += (" The C++ engine alone on random bits (same program): %.3f ns/pair of "
                    "thread CPU." % bound["cpp_batch_cpu_ns_per_pair"])
    s = res.get("search", {})
    sanity = ("Sanity: Korvel's and FAISS's Hamming distances agree for %d of %d queries (top %d) "
              "and %d of %d (pool of %d)." % (
                  s["sanity"]["queries"] - len(s["sanity"]["top10_mismatches"]),
                  s["sanity"]["queries"], K, s["sanity"]["queries"]
                  - len(s["sanity"]["pool_mismatches"]), s["sanity"]["queries"],
                  K * OVERSAMPLE) if "sanity" in s else s.get("missing", ""))
    b = res["build"]
    return "\n\n".join([
        "# Array API benchmark", "`%s`, %.0f s." % (res["machine"].get("command", ""),
                                                     res["machine"].get("seconds", 0)),
        summary(res), how, sanity,
        "Bulk build: peak resident memory above the caller's arrays %.0f MiB after add, %.0f MiB "
        "through save; data file %.0f MiB, sidecar %.1f MiB. Files of IndexWriter and "
        "HybridIndex.add_record for the same %s records identical: %s." % (
            b["add_peak_mib"], b["peak_mib"], b["data_mib"], b["meta_mib"],
            f"{b['record_n']:,}", b["identical_files"]),
        "Times: best of alternated repetitions. CPU: the calling thread's CPU time for one-thread "
        "runs; for two threads the process's, so its ratio estimates the speed-up with both "
        "cores free (2 x one-thread CPU / two-thread process CPU).",
    ]) + "\n"


def splice_readme(text, block):
    """`text` with the part between the engine-bench markers replaced by `block`."""
    start, end = text.index(MARK_BEGIN) + len(MARK_BEGIN), text.index(MARK_END)
    return text[:start] + "\n" + block + "\n" + text[end:]


def run_sweep(n, reps, out, command):
    """The sweep alone, added to the last full run's results when there is one (the README's
    block needs them); otherwise written on its own."""
    started = time.perf_counter()
    last = os.path.join(ROOT, "docs", "bench", "engine.json")
    res = {}
    if os.path.exists(last):
        with open(last) as f:
            res = json.load(f)
    info = measure.machine_info()
    info["command"] = command
    res["sweep"] = sweep_phase(n, 20, reps)
    info["load_average_end"] = " ".join("%.2f" % x for x in os.getloadavg())
    info["seconds"] = time.perf_counter() - started
    res["sweep"]["machine"] = info
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "engine.json"), "w") as f:
        json.dump(res, f, indent=1)
    if "targets" not in res:
        with open(os.path.join(out, "engine.md"), "w") as f:
            f.write("# One query by dimension\n\n%s\n" % sweep_table(res["sweep"]))
        res["machine"], res["targets"] = info, []
        return res
    with open(os.path.join(out, "engine.md"), "w") as f:
        f.write(markdown(res))
    return res


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python -m bench --engine",
                                 description=__doc__.split("\n")[0])
    ap.add_argument("--engine", action="store_true")
    ap.add_argument("--quick", action="store_true", help="100,000 records, about a minute")
    ap.add_argument("--out", help="results folder (default docs/bench, or bench/results/... "
                                  "with --quick)")
    ap.add_argument("--records", type=int, help="records (default 1,000,000; 100,000 quick)")
    ap.add_argument("--queries", type=int, default=256)
    ap.add_argument("--sweep", action="store_true",
                    help="only the one-query dimension sweep, added to the last full run's results")
    args = ap.parse_args(argv)
    n = args.records or (100_000 if args.quick else 1_000_000)
    official = not (args.quick or args.out or args.records)
    out = args.out or (os.path.join(ROOT, "docs", "bench") if official else os.path.join(
        HERE, "results", time.strftime("%Y%m%d-%H%M%S") + "-engine"))
    systems.import_korvel()  # the installed package, also when run from the source tree
    command = "python -m bench " + " ".join(argv if argv is not None else sys.argv[1:])
    if args.sweep:
        res = run_sweep(n, 3 if args.quick else 5, out, command)
    else:
        res = run(n, args.queries, 3 if args.quick else 5, n, out, command)
    if official and "build" in res:
        readme = os.path.join(ROOT, "README.md")
        with open(readme) as f:
            text = f.read()
        with open(readme, "w") as f:
            f.write(splice_readme(text, summary(res)))
    log("wrote %s (engine.md, engine.json)%s in %.0f s; load average %s at end"
        % (out, " and the README's table" if official else "", res["machine"]["seconds"],
           res["machine"]["load_average_end"]))
    for t in res["targets"]:
        log("   %-72s %s" % (t["target"], t["status"]))
    return 0
