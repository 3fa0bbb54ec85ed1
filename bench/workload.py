"""Synthetic workloads shared by every system in one run.

Records carry three skewed categorical traits (like tenants, categories and tags) and embeddings
drawn from a Gaussian mixture, so that neighbours share clusters the way real embeddings do.
Queries are perturbed copies of stored records. Everything is float32 and generated in chunks,
so a million records of dimension 1536 never need a float64 temporary.
"""

from dataclasses import dataclass, field

import numpy as np

# (trait name, distinct values, Zipf exponent of the value frequencies)
TRAITS = (("tenant", 20, 1.0), ("category", 200, 1.0), ("tag", 256, 1.2))
CHUNK = 1 << 16


@dataclass
class FilterCase:
    """One query kind: the filter as Korvel takes it and the matching record indexes."""

    name: str
    filters: dict
    rows: np.ndarray | None  # None: every record matches

    @property
    def selectivity(self):
        return None if self.rows is None else self.rows.size


@dataclass
class Workload:
    n: int
    dim: int
    embeddings: np.ndarray  # (n, dim) float32, C order
    codes: np.ndarray  # (n, traits) uint8: value index per trait
    values: list  # per trait, the value strings by value index
    signatures: np.ndarray  # (n, ceil(dim / 8)) uint8, sign bits, little bit order
    queries: np.ndarray  # (q, dim) float32
    query_signatures: np.ndarray
    cases: list = field(default_factory=list)

    @property
    def trait_names(self):
        return [name for name, _, _ in TRAITS]


def zipf_weights(count, exponent):
    w = 1.0 / np.arange(1, count + 1, dtype=np.float64) ** exponent
    return w / w.sum()


def draw(rng, n, weights):
    """n indexes drawn from the weights (inverse CDF; exact for any n)."""
    cdf = np.cumsum(weights)
    idx = np.searchsorted(cdf, rng.random(n), side="right")
    return np.minimum(idx, len(weights) - 1)


def signatures_of(x):
    """Bit i mod 8 of byte i / 8 is set when component i is greater than zero."""
    return np.packbits(x > 0, axis=-1, bitorder="little")


def clustered_embeddings(rng, n, dim, spread=1.0):
    clusters = max(16, n // 1000)
    centers = rng.standard_normal((clusters, dim), dtype=np.float32)
    assign = draw(rng, n, zipf_weights(clusters, 0.7))
    out = np.empty((n, dim), dtype=np.float32)
    for start in range(0, n, CHUNK):
        block = out[start:start + CHUNK]
        rng.standard_normal(out=block, dtype=np.float32)
        block *= np.float32(spread)
        block += centers[assign[start:start + CHUNK]]
    return out


def closest_value(counts, target):
    return int(np.argmin(np.abs(counts - target)))


def filter_cases(codes, values, names):
    """No filter; one value near 10%; one near 0.5%; a two-trait conjunction near 1%."""
    n = codes.shape[0]
    counts = [np.bincount(codes[:, t], minlength=len(values[t])) for t in range(len(values))]
    ten = closest_value(counts[0], 0.10 * n)
    half = closest_value(counts[1], 0.005 * n)
    tenant_rows = codes[:, 0] == ten
    joint = np.bincount(codes[tenant_rows, 2], minlength=len(values[2]))
    tag = closest_value(joint, 0.01 * n)

    def case(name, pairs):
        mask = np.ones(n, dtype=bool)
        for t, v in pairs:
            mask &= codes[:, t] == v
        return FilterCase(name, {names[t]: values[t][v] for t, v in pairs}, np.flatnonzero(mask))

    return [FilterCase("no filter", {}, None),
            case("~10% filter", [(0, ten)]),
            case("~0.5% filter", [(1, half)]),
            case("two traits", [(0, ten), (2, tag)])]


def make_workload(n, dim, queries=100, seed=0):
    rng = np.random.default_rng([seed, n, dim])
    codes = np.empty((n, len(TRAITS)), dtype=np.uint8)
    values = []
    for t, (name, count, exponent) in enumerate(TRAITS):
        codes[:, t] = draw(rng, n, zipf_weights(count, exponent))
        values.append(["%s-%03d" % (name, v) for v in range(count)])
    emb = clustered_embeddings(rng, n, dim)
    sigs = np.empty((n, (dim + 7) // 8), dtype=np.uint8)
    for start in range(0, n, CHUNK):
        sigs[start:start + CHUNK] = signatures_of(emb[start:start + CHUNK])
    picks = rng.choice(n, size=min(queries, n), replace=False)
    q = emb[picks] + np.float32(0.5) * rng.standard_normal((picks.size, dim), dtype=np.float32)
    w = Workload(n, dim, emb, codes, values, sigs, q, signatures_of(q))
    w.cases = filter_cases(codes, values, w.trait_names)
    return w


def exact_top(workload, case, k=10):
    """Per query, the k record indexes with the highest float32 dot product among the matches."""
    rows = case.rows
    best = []
    emb = workload.embeddings
    q = workload.queries
    if rows is None:
        # Chunked so that the score matrix never exceeds CHUNK x queries.
        top_s = np.full((q.shape[0], 0), -np.inf, dtype=np.float32)
        top_i = np.empty((q.shape[0], 0), dtype=np.int64)
        for start in range(0, workload.n, CHUNK):
            s = q @ emb[start:start + CHUNK].T
            top_s = np.concatenate([top_s, s], axis=1)
            top_i = np.concatenate(
                [top_i, np.broadcast_to(np.arange(start, start + s.shape[1]), s.shape)], axis=1)
            if top_s.shape[1] > k:
                part = np.argpartition(-top_s, k - 1, axis=1)[:, :k]
                top_s = np.take_along_axis(top_s, part, axis=1)
                top_i = np.take_along_axis(top_i, part, axis=1)
        best = top_i
    else:
        kk = min(k, rows.size)
        s = q @ emb[rows].T if rows.size else np.empty((q.shape[0], 0), np.float32)
        if rows.size > kk:
            part = np.argpartition(-s, kk - 1, axis=1)[:, :kk]
        else:
            part = np.broadcast_to(np.arange(rows.size), (q.shape[0], rows.size))
        best = rows[part]
    return [set(map(int, r)) for r in best]


def recall_at(found, truth, k=10):
    """Share of the exact top k found among the first k results."""
    if not truth:
        return 1.0
    return len(set(map(int, found[:k])) & truth) / len(truth)
