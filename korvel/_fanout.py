"""A search fanned out over workers that each hold consecutive shards of one sharded index.

Two rounds give the results of one `Index` over all shards. First every worker returns the
candidate pools of its shards: the first `oversample * k` of its records under (distance,
shard, record), with global shard numbers. The caller merges them under the same order and
keeps the first `oversample * k`: exactly the pool of the whole index, since a worker's pool
holds every record of the global pool that lies in its shards. Without re-scoring that pool's
first k is the result. With re-scoring, each worker scores the pool entries in its shards
(only those, so that an embedding beyond its buffer fails exactly when it fails in one
process) and the caller orders the pool by (score descending, NaN last, shard, record).
Exact search takes one round: each worker's exact top k, ranked together by the same rule.
The cascade (both re-scorings) takes one round per step: sign scores of the whole pool, the
engine's choice of the entries to re-score (`_engine.cascade_pick`), their exact scores.
Both merges are the engine's own (`_engine.merge_pools`, `_engine.rank_scored`): the rules
live in one place, shared with a search in one process.

Workers are reached through `run(method, args_per_worker)`, which calls the method on every
worker (concurrently, as the transport allows) and returns each one's result or exception:
Ray actors in `korvel.ray`, plain objects in tests.
"""

from __future__ import annotations

import operator
from collections.abc import Sequence
from typing import Any, Callable, Optional

import numpy as np
import numpy.typing as npt

from korvel import _engine, _manifest
from korvel._index import SearchResult, Where, engine_rerank, prepare_queries

Run = Callable[[str, Sequence[tuple[Any, ...]]], list[Any]]

PADDING_ID = np.uint64(2**64 - 1)


class ShardWorker:
    """Opens shards first_shard .. first_shard + shard_count - 1 of a manifest and answers the
    two rounds for them."""

    def __init__(self, manifest: str, first_shard: int, shard_count: int) -> None:
        paths, doc = _manifest.read_manifest(manifest)
        sizes = [s["records"] for s in doc["shards"]]
        self._index = _engine.open(paths[first_shard : first_shard + shard_count])
        _manifest.check_shard_records(manifest, doc, self._index.shard_sizes, first_shard)
        _manifest.check_total(manifest, doc)
        self._scope = (sum(sizes), len(sizes), first_shard)

    def pools(
        self, q: Any, k: int, filters: Any, oversample: int, embeddings: Any, rerank: Any,
        threads: Any, rescore: Any = None,
    ) -> Any:
        return self._index.pools(q, k, filters, oversample, embeddings, rerank, threads,
                                 rescore, scope=self._scope)

    def rescore(
        self, q: Any, rows: Any, shards: Any, records: Any, embeddings: Any, rerank: Any
    ) -> Any:
        """The scores of the entries, or ("error", i, exception) for the first entry i that
        fails (the exception is the one a search in one process raises for it)."""

        def score(n: int) -> Any:
            return self._index.rescore(
                q, rows[:n], shards[:n], records[:n], embeddings, rerank, self._scope
            )

        try:
            return score(len(rows))
        except Exception as e:  # noqa: BLE001 - handed back with its position
            lo, hi = 0, len(rows)  # entries before lo score; the first hi entries fail
            while hi - lo > 1:
                mid = (lo + hi) // 2
                try:
                    score(mid)
                    lo = mid
                except Exception:  # noqa: BLE001
                    hi = mid
            return ("error", hi - 1, e)


def split_shards(shard_count: int, workers: int) -> list[tuple[int, int]]:
    """(first_shard, shard_count) of each worker: consecutive runs, sizes differing by at most
    one, no worker without shards."""
    workers = max(1, min(workers, shard_count))
    base, extra = divmod(shard_count, workers)
    out, first = [], 0
    for w in range(workers):
        n = base + (1 if w < extra else 0)
        out.append((first, n))
        first += n
    return out


def _raise_first(results: list[Any]) -> None:
    for r in results:
        if isinstance(r, BaseException):
            raise r


def search(
    run: Run,
    parts: Sequence[tuple[int, int]],
    dim: int,
    Q: npt.ArrayLike,
    k: int = 10,
    *,
    where: Where = None,
    oversample: int = 3,
    embeddings: object = None,
    rerank: Optional[str] = None,
    threads: Optional[int] = None,
    rescore: Optional[int] = None,
    exact: bool = False,
) -> SearchResult:
    """`Index.search` over workers holding `parts` (consecutive shard runs, in order)."""
    rerank = engine_rerank(exact, rerank, rescore, embeddings)
    q, k, filters, single = prepare_queries(Q, k, where, dim)
    oversample = operator.index(oversample)
    nq = q.shape[0]
    args = (q, k, filters, oversample, embeddings, rerank, threads, rescore)
    results = run("pools", [args] * len(parts))
    _raise_first(results)  # the first worker's failure: the first record in shard order
    if exact:
        # Each worker's exact top k; their union, packed to the left of each row, ranked.
        valid = np.concatenate(
            [np.arange(r[0].shape[1])[None, :] < r[4][:, None] for r in results], axis=1)
        order = np.argsort(~valid, axis=1, kind="stable")
        ids, scores, shards, records = (
            np.take_along_axis(np.concatenate([r[i] for r in results], axis=1), order, 1)
            for i in range(4))
        counts = valid.sum(axis=1)
        ids, scores = _engine.rank_scored(ids, scores, shards, records, counts)
        return _result(ids, scores, np.minimum(counts, k), k, single)
    # Merged and ranked by the engine's own rules, those of a search in one process.
    ids, dist, shards, records, counts = _engine.merge_pools(results)

    width = ids.shape[1]
    valid = np.arange(width)[None, :] < counts[:, None]
    if embeddings is None and rerank is None:
        scores = dist.astype(np.float32)
    elif embeddings is not None and rerank is not None:
        # The cascade, one step per round as one process runs it: sign scores of the whole
        # pool, the engine's choice of what to re-score, exact scores of that, ranked.
        # A choice that keeps every entry needs no sign scores (nor their round).
        positions, picked = _engine.cascade_pick(np.zeros(ids.shape, np.float32), counts,
                                                 rescore, k)
        if positions.shape[1] < width:
            signs = _rescore(run, parts, q, shards, records, valid, None, rerank)
            positions, picked = _engine.cascade_pick(signs, counts, rescore, k)
        counts = picked
        ids = np.take_along_axis(ids, positions, 1)
        shards = np.take_along_axis(shards, positions, 1)
        records = np.take_along_axis(records, positions, 1)
        width = ids.shape[1]
        valid = np.arange(width)[None, :] < counts[:, None]
        scores = _rescore(run, parts, q, shards, records, valid, embeddings, None)
        ids, scores = _engine.rank_scored(ids, scores, shards, records, counts)
    else:
        scores = _rescore(run, parts, q, shards, records, valid, embeddings, rerank)
        ids, scores = _engine.rank_scored(ids, scores, shards, records, counts)

    return _result(ids, scores, np.minimum(counts, k), k, single)


def _result(ids: Any, scores: Any, counts: Any, k: int, single: bool) -> SearchResult:
    """The first counts[q] entries of each ranked row, padded to k."""
    nq, width = ids.shape
    out_ids = np.full((nq, k), PADDING_ID, np.uint64)
    out_scores = np.full((nq, k), np.nan, np.float32)
    out_counts = counts.astype(np.int64)
    n = min(k, width)
    keep = np.arange(n)[None, :] < out_counts[:, None]
    out_ids[:, :n] = np.where(keep, ids[:, :n], PADDING_ID)
    out_scores[:, :n] = np.where(keep, scores[:, :n], np.float32(np.nan))
    if single:
        return SearchResult(out_ids[0], out_scores[0], int(out_counts[0]))
    return SearchResult(out_ids, out_scores, out_counts)


def _rescore(
    run: Run,
    parts: Sequence[tuple[int, int]],
    q: npt.NDArray[np.float32],
    shards: npt.NDArray[np.int64],
    records: npt.NDArray[np.uint64],
    valid: npt.NDArray[np.bool_],
    embeddings: object,
    rerank: Optional[str],
) -> npt.NDArray[np.float32]:
    """Scores of the pool entries, each scored by the worker holding its shard. When some
    fail, raises the failure of the first in (query, pool position) order: the one a search
    in one process reports."""
    flat = np.flatnonzero(valid)  # entries in (query, pool position) order
    rows = (flat // valid.shape[1]).astype(np.uint32)
    entry_shards = shards.ravel()[flat].astype(np.uint32)
    entry_records = records.ravel()[flat].astype(np.uint64)
    firsts = np.array([first for first, _ in parts])
    owner = np.searchsorted(firsts, entry_shards, side="right") - 1
    picks = [np.flatnonzero(owner == w) for w in range(len(parts))]
    results = run(
        "rescore",
        [
            (q, rows[p], entry_shards[p], entry_records[p], embeddings, rerank)
            for p in picks
        ],
    )
    _raise_first(results)
    failures = [(p[r[1]], r[2]) for p, r in zip(picks, results) if isinstance(r, tuple)]
    if failures:
        raise min(failures, key=lambda f: f[0])[1]
    scores = np.full(valid.size, np.nan, np.float32)
    for p, r in zip(picks, results):
        scores[flat[p]] = r
    return scores.reshape(valid.shape)


def local_run(workers: Sequence[ShardWorker]) -> Run:
    """Calls the workers one after another in this process."""

    def run(method: str, args: Sequence[tuple[Any, ...]]) -> list[Any]:
        out: list[Any] = []
        for w, a in zip(workers, args):
            try:
                out.append(getattr(w, method)(*a))
            except Exception as e:  # noqa: BLE001 - returned like a remote failure
                out.append(e)
        return out

    return run

