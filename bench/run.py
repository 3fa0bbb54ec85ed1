"""Side-by-side benchmark: Korvel against a NumPy brute force, FAISS and usearch on the same data.

    python -m bench [--quick] [--out DIR] [--queries 100]
    python -m bench --engine [--quick]    (the array API's targets: bench/engine.py)

Builds the workloads, runs every system on the same records and queries in one process, and
writes results.md, results.json, summary.md (the key tables) and latency.png under DIR (default
bench/results/<timestamp>/). Peers that are not installed appear as "not installed" rows.
"""

import argparse
import gc
import json
import os
import sys
import tempfile
import time

import numpy as np

from bench import measure, report, systems, workload

# (records, dimension, peers, query cap for the peers). At a million records the NumPy and usearch
# scans take a fifth of a second per query: they run for D=768 only, and every peer gets fewer
# queries there.
FULL_PLAN = [
    (10_000, 384, "all", None), (10_000, 768, "all", None), (10_000, 1536, "all", None),
    (100_000, 384, "all", None), (100_000, 768, "all", None), (100_000, 1536, "all", None),
    (1_000_000, 384, "faiss", 30), (1_000_000, 768, "all", 50), (1_000_000, 1536, "faiss", 30),
]
QUICK_PLAN = [(10_000, 768, "all", None), (100_000, 768, "all", None)]
HEADLINE = (1_000_000, 768)
TOP_KS = (10, 100)
LIST_RECORDS = 10_000
LOAD_REPEAT = 5
THREAD_ROUNDS = 3
RESCORE_ROUNDS = 3


def log(msg):
    print(msg, flush=True)


def build_phase(HybridIndex, w, path, phases):
    res = {}
    with measure.Phase("build (add_record)", phases):
        idx = HybridIndex.builder(w.trait_names, w.dim)
        t_add = systems.fill(idx.add_record, w, w.embeddings, w.n)
    t_loop = systems.fill(systems.noop, w, w.embeddings, w.n)
    with measure.Phase("save", phases):
        t0 = time.perf_counter()
        idx.save(path)
        t_save = time.perf_counter() - t0
    del idx
    gc.collect()
    res.update(add_us=t_add / w.n * 1e6, add_net_us=(t_add - t_loop) / w.n * 1e6,
               save_s=t_save, data_mib=os.path.getsize(path) / 2**20,
               meta_mib=os.path.getsize(path + ".meta") / 2**20)
    res["save_mib_s"] = (res["data_mib"] + res["meta_mib"]) / t_save

    # add_record from Python lists against NumPy rows, same vectors, same loop.
    m = min(w.n, LIST_RECORDS)
    lists = w.embeddings[:m].tolist()
    timings = {}
    for label, rows in (("lists", lists), ("rows", w.embeddings)):
        idx = HybridIndex.builder(w.trait_names, w.dim)
        t = systems.fill(idx.add_record, w, rows, m)
        base = systems.fill(systems.noop, w, rows, m)
        timings[label] = (t / m * 1e6, (t - base) / m * 1e6)
        del idx
    res["list_records"] = m
    res["add_lists_us"], res["add_lists_net_us"] = timings["lists"]
    res["add_rows_small_us"], res["add_rows_small_net_us"] = timings["rows"]
    del lists
    return res


def load_phase(HybridIndex, path, phases):
    with measure.Phase("load", phases):
        t_load = measure.median_of(lambda: HybridIndex.load(path), LOAD_REPEAT)
        index = HybridIndex.load(path)
    with open(path + ".meta", "rb") as f:
        raw = f.read()
    text = raw.decode()
    t_json = measure.median_of(lambda: json.loads(text), LOAD_REPEAT)

    def read_and_parse():
        with open(path + ".meta", "rb") as f:
            json.loads(f.read())

    t_read_json = measure.median_of(read_and_parse, LOAD_REPEAT)
    return index, {"load_ms": t_load * 1e3, "json_loads_ms": t_json * 1e3,
                   "read_json_loads_ms": t_read_json * 1e3}


def search_phase(w, korvel, peers, peer_queries, phases):
    rows, sanity = [], {"checked": 0, "mismatches": []}
    nq = w.queries.shape[0]
    present = [s for s in [korvel] + peers if s.available]
    with measure.Phase("search", phases):
        truth = {c.name: workload.exact_top(w, c) for c in w.cases}
        for case in w.cases:
            handles, prep = {}, {}
            for s in present:
                t0 = time.perf_counter()
                handles[s.name] = s.prepare(case)
                prep[s.name] = time.perf_counter() - t0
            for top_k in TOP_KS:
                for exact in (False, True):
                    calls = {s.name: (lambda qi, s=s, h=handles[s.name]:
                                      s.search(qi, h, top_k, exact)) for s in present}
                    counts = {s.name: nq if s is korvel or not peer_queries
                              else min(nq, peer_queries) for s in present}
                    samples, results = measure.interleaved(calls, counts)
                    for s in [korvel] + peers:
                        row = {"query": case.name, "matches": w.n if case.rows is None
                               else int(case.rows.size), "top_k": top_k, "exact": exact,
                               "system": s.name}
                        rows.append(row)
                        if not s.available:
                            row["missing"] = s.missing
                            continue
                        found = [s.decode(r) for r in results[s.name]]
                        row.update(measure.summarize(samples[s.name]))
                        row["queries"] = len(found)
                        row["prep_ms"] = prep[s.name] * 1e3
                        row["filtered_how"] = s.filtered_how if case.rows is not None else ""
                        row["recall@10"] = float(np.mean(
                            [workload.recall_at(f[0], truth[case.name][qi])
                             for qi, f in enumerate(found)]))
                        if s is korvel:
                            ref = found
                        elif not exact:
                            _check(sanity, s.name, case.name, top_k, ref, found)
    return rows, sanity


def _check(sanity, name, query, top_k, ref, results):
    """Hamming distances of the returned pools must agree with Korvel's, query by query."""
    for qi, (mine, theirs) in enumerate(zip(ref, results)):
        sanity["checked"] += 1
        a = np.sort(np.asarray(mine[1], dtype=np.float64))
        b = np.sort(np.asarray(theirs[1], dtype=np.float64))
        if not np.array_equal(a, b):
            sanity["mismatches"].append("%s, %s, top_k %d, query %d" % (name, query, top_k, qi))


def thread_phase(korvel, w):
    """top_k 10 searches on one index from 1 and from 2 Python threads, unfiltered (a stream of
    every signature) and with the ~0.5% filter (scattered reads): the best of alternated rounds
    of each."""
    calls = list(range(w.queries.shape[0]))
    index, q = korvel.index, w.queries
    out = {"rounds": THREAD_ROUNDS}
    selective = next(c for c in w.cases if c.name == "~0.5% filter").filters
    for key, filters in (("", {}), ("filtered_", selective)):
        fn = lambda qi, f=filters: index.search(f, q[qi], 10)
        fn(0)
        one, two = [], []
        for _ in range(THREAD_ROUNDS):  # alternated, so that outside load hits both alike
            one.append(measure.threaded_qps(fn, calls, 1))
            two.append(measure.threaded_qps(fn, calls, 2))
        out.update({key + "qps_1": max(one), key + "qps_2": max(two),
                    key + "speedup": max(two) / max(one)})
    return out


def rescore_phase(korvel, w):
    """Unfiltered top_k 10 on Korvel alone, with and without exact re-scoring, alternated in
    blocks of queries so that drift in the machine's speed falls on both alike."""
    fn = {exact: (lambda qi, e=exact: korvel.search(qi, {}, 10, e)) for exact in (False, True)}
    counts = {exact: w.queries.shape[0] for exact in fn}
    samples = measure.interleaved(fn, counts)[0]
    for _ in range(RESCORE_ROUNDS - 1):
        more = measure.interleaved(fn, counts)[0]
        for exact in fn:
            samples[exact] += more[exact]
    without, with_ = (measure.summarize(samples[e])["median_ms"] for e in (False, True))
    return {"without_ms": without, "with_ms": with_, "ratio": with_ / without,
            "queries": len(samples[True])}


def run_combo(HybridIndex, n, dim, which, peer_queries, queries, tmp, bandwidth):
    phases = []
    log("== N=%d D=%d" % (n, dim))
    with measure.Phase("generate", phases):
        w = workload.make_workload(n, dim, queries)
    path = os.path.join(tmp, "bench_%d_%d.korvix" % (n, dim))
    combo = {"n": n, "dim": dim, "signature_bytes": w.signatures.shape[1],
             "cases": [{"name": c.name, "filters": c.filters,
                        "matches": w.n if c.rows is None else int(c.rows.size)} for c in w.cases]}
    combo["build"] = build_phase(HybridIndex, w, path, phases)
    log("   add_record %.2f us/record (net %.2f), save %.2f s"
        % (combo["build"]["add_us"], combo["build"]["add_net_us"], combo["build"]["save_s"]))
    index, combo["load"] = load_phase(HybridIndex, path, phases)
    log("   load %.1f ms, json.loads %.1f ms" % (combo["load"]["load_ms"],
                                                  combo["load"]["json_loads_ms"]))
    korvel = systems.Korvel(w, index)
    peers = systems.all_peers(w) if which == "all" else [systems.Faiss(w)]
    combo["peers_skipped"] = which != "all"
    combo["peer_queries"] = min(peer_queries or queries, w.queries.shape[0])
    bandwidth.append(measure.read_bandwidth())
    combo["search"], combo["sanity"] = search_phase(w, korvel, peers, peer_queries, phases)
    for r in combo["search"]:
        if r["system"] == "Korvel" and r["top_k"] == 10 and not r["exact"]:
            log("   %-14s korvel %.3f ms" % (r["query"], r["median_ms"]))
    combo["threads"] = thread_phase(korvel, w)
    combo["rescore"] = rescore_phase(korvel, w)
    t = combo["threads"]
    log("   threads: 1 -> %.0f qps, 2 -> %.0f qps (%.2fx), ~0.5%% filter %.2fx; re-scoring "
        "%.2fx; sanity: %d pools checked, %d mismatches"
        % (t["qps_1"], t["qps_2"], t["speedup"], t["filtered_speedup"],
           combo["rescore"]["ratio"], combo["sanity"]["checked"],
           len(combo["sanity"]["mismatches"])))
    combo["phases"] = phases
    for p in peers:
        p.close()
    del index, korvel, peers, w
    for f in (path, path + ".meta"):
        os.remove(f)
    gc.collect()
    return combo


def parse_sizes(text):
    plan = []
    for item in text.split(","):
        n, d = item.lower().split("x")
        n = int(float(n))
        plan.append((n, int(d), "all", 50 if n >= 1_000_000 else None))
    return plan


def write_results(out, info, combos, bandwidth, quick, started):
    # The limit uses the best bandwidth seen in the run: other load only ever lowers a sample.
    best = max(bandwidth)
    for c in combos:
        c["scan_limit_ms"] = c["n"] * c["signature_bytes"] / best * 1e3
    info["load_average_end"] = " ".join("%.2f" % x for x in os.getloadavg())
    info["seconds"] = time.perf_counter() - started
    results = {"machine": info, "bandwidth_bytes_s": best, "bandwidth_samples": bandwidth,
               "quick": quick, "headline": list(HEADLINE), "combos": combos}
    results["targets"] = report.targets(results)
    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    report.write_markdown(results, os.path.join(out, "results.md"))
    with open(os.path.join(out, "summary.md"), "w") as f:
        f.write(report.summary_markdown(results))
    return results


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python -m bench", description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, about a minute")
    ap.add_argument("--out", help="results folder (default bench/results/<timestamp>/)")
    ap.add_argument("--queries", type=int, default=100, help="queries per query kind")
    ap.add_argument("--sizes", help="override the plan, e.g. 100000x768,10000x384")
    ap.add_argument("--engine", action="store_true",
                    help="the array API's targets instead (bench/engine.py: --records, --queries)")
    args, _ = ap.parse_known_args(argv)
    if args.engine:
        from bench import engine
        return engine.main(argv)
    args = ap.parse_args(argv)

    HybridIndex = systems.import_korvel()
    plan = parse_sizes(args.sizes) if args.sizes else QUICK_PLAN if args.quick else FULL_PLAN
    here = os.path.dirname(os.path.abspath(__file__))
    out = args.out or os.path.join(here, "results", time.strftime("%Y%m%d-%H%M%S"))
    os.makedirs(out, exist_ok=True)

    started = time.perf_counter()
    info = measure.machine_info()
    info["command"] = "python -m bench " + " ".join(argv if argv is not None else sys.argv[1:])
    log("machine: %s, %d cores, %.0f GiB, load %s" % (info["cpu"], info["cores"],
                                                        info["ram_gib"], info["load_average"]))
    bandwidth = [measure.read_bandwidth()]
    combos = []
    with tempfile.TemporaryDirectory(prefix="korvel-bench-") as tmp:
        for n, dim, which, cap in plan:
            combos.append(run_combo(HybridIndex, n, dim, which, cap, args.queries, tmp,
                                    bandwidth))
            # Written after every size, so that a run cut short still leaves its results.
            results = write_results(out, info, combos, bandwidth, args.quick, started)
    plotted = report.plot(results, os.path.join(out, "latency.png"))
    log("single-core read bandwidth: %.1f GB/s (best of %d samples)"
        % (results["bandwidth_bytes_s"] / 1e9, len(bandwidth)))
    log("wrote %s (results.md, summary.md, results.json%s) in %.0f s"
        % (out, ", latency.png" if plotted else "", info["seconds"]))
    for t in results["targets"]:
        log("   %-60s %s" % (t["target"], t["status"]))
    return 0
