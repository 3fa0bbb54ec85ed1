"""`korvel.open` and `Index`: batched search, counts and facets over one or more data files."""

from __future__ import annotations

import operator
import os
from collections.abc import Sequence
from typing import NamedTuple, Optional, Union

import numpy as np
import numpy.typing as npt

from korvel import _collection, _engine, _manifest
from korvel._filters import Filter, FilterNode, to_node

PathLike = Union[str, "os.PathLike[str]"]
Where = Union[None, Filter, Sequence[Optional[Filter]]]

_FLOATS = (np.float16, np.float32, np.float64)


class SearchResult(NamedTuple):
    """Hits best first. For a 2-D query array: `ids` and `scores` of shape (nq, k) and `counts`
    of shape (nq,); for one 1-D query: shapes (k,), (k,) and an int. Row i holds `counts[i]`
    real hits; the rest is padding (id 2**64 - 1, score NaN)."""

    ids: npt.NDArray[np.uint64]
    scores: npt.NDArray[np.float32]
    counts: npt.NDArray[np.int64] | int


def _filters(
    where: Where, nq: int, single: bool
) -> Union[None, FilterNode, list[Optional[FilterNode]]]:
    if where is None:
        return None
    if isinstance(where, list):
        if len(where) != nq:
            raise ValueError(
                f"where: a list of filters needs one per query: got {len(where)} for {nq} "
                f"{'query' if single else 'queries'}"
            )
        return [None if w is None else to_node(w) for w in where]
    return to_node(where)  # type: ignore[arg-type]


def engine_rerank(exact: bool, rerank: Optional[str], rescore: Optional[int],
                  embeddings: object) -> Optional[str]:
    """The engine's rerank argument: "exact" stands for exact=True, which no caller names."""
    if exact:
        if rerank is not None or rescore is not None:
            raise ValueError("exact=True scores every record: rerank and rescore do not apply")
        if embeddings is None:
            raise ValueError("exact=True needs embeddings")
        return "exact"
    if rerank == "exact":
        raise ValueError("rerank must be None or 'signs', got 'exact'")
    return rerank


def prepare_queries(
    Q: npt.ArrayLike, k: int, where: Where, dim: int
) -> tuple[npt.NDArray[np.float32], int, Union[None, FilterNode, list[Optional[FilterNode]]], bool]:
    """The checks of `Index.search` made in Python: Q as a C-contiguous (nq, dim) float32
    matrix, k, the normalised filters, and whether Q was one 1-D query."""
    q = np.asarray(Q)
    if q.dtype not in _FLOATS:
        raise TypeError(f"Q must hold float16, float32 or float64 values, got {q.dtype}")
    if q.ndim not in (1, 2):
        raise ValueError(f"Q must be 1-D (one query) or 2-D (one per row), got {q.ndim}-D")
    single = q.ndim == 1
    if q.shape[-1] != dim:
        raise ValueError(f"Q has {q.shape[-1]} columns, expected dim {dim}")
    q2 = np.ascontiguousarray(q.reshape(1, dim) if single else q, dtype=np.float32)
    k = operator.index(k)
    if k < 1:
        raise ValueError(f"k must be at least 1, got {k}")
    return q2, k, _filters(where, q2.shape[0], single), single


def _single_filter(where: Optional[Filter]) -> Optional[FilterNode]:
    return None if where is None else to_node(where)


class Index:
    """One or more data files searched as one index; made by `korvel.open`.

    Records are numbered shard by shard in the order the files were given, and ties are broken
    in that order, so several shards answer exactly as one file of the concatenated records.
    Thread-safe: any number of threads may search one index at once.
    """

    __slots__ = ("_index",)

    def __init__(self, index: _engine.Index) -> None:
        self._index = index

    def search(
        self,
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
        """The k best records for each query.

        The pool of each query is its `oversample * k` nearest records by Hamming distance of
        sign bits. Without re-ranking the result is the pool's first k and `scores` are the
        distances (lower is better). `embeddings` (one buffer for every shard, or a list with one
        per shard) re-scores the pool by the exact float32 dot product with the embedding at each
        record's byte offset; `rerank="signs"` re-scores it by the query against the stored sign
        bits. Re-scored hits are ordered by score, highest first.

        Both together run the cascade: the pool is ordered by sign score (equal scores in pool
        order), its best `rescore * k` (default 20 * k) are re-scored exactly and the k best of
        them by exact score are returned. A large pool (oversample 100 or more) with the cascade
        finds far more of the exact top k than exact re-scoring of a small pool at the same cost.

        `exact=True` (with `embeddings`) scores every record that matches `where` exactly, with
        no pool and no signatures: the exact top k, equal scores by shard and record. It reads
        every matching embedding per batch of queries; batches of many queries run fastest.
        `oversample` does not apply; `rerank` and `rescore` must be left out.
        """
        rerank = engine_rerank(exact, rerank, rescore, embeddings)
        q2, k, filters, single = prepare_queries(Q, k, where, self._index.dim)
        ids, scores, counts = self._index.search(
            q2, k, filters, operator.index(oversample), embeddings, rerank, threads, rescore
        )
        if single:
            return SearchResult(ids[0], scores[0], int(counts[0]))
        return SearchResult(ids, scores, counts)

    def count(self, where: Optional[Filter] = None) -> int:
        """Records matching `where` (all records without it), counted on the code planes."""
        return self._index.count(_single_filter(where))

    def facets(self, trait: str, where: Optional[Filter] = None) -> dict[str, int]:
        """Records per value of `trait` among those matching `where`: values with at least one
        record, in order of first appearance (shard by shard, then by code)."""
        return self._index.facets(trait, _single_filter(where))

    def __len__(self) -> int:
        return len(self._index)

    @property
    def schema(self) -> list[str]:
        """Trait names, in order."""
        return self._index.schema

    @property
    def dim(self) -> int:
        """Embedding dimension (0 for a categorical-only index)."""
        return self._index.dim

    @property
    def paths(self) -> list[str]:
        """The data file of each shard, in order."""
        return self._index.paths

    def __repr__(self) -> str:
        paths = self._index.paths
        where = repr(paths[0]) if len(paths) == 1 else f"{len(paths)} shards"
        return (
            f"<korvel.Index {where}: {len(self):,} records, dim {self.dim}, "
            f"schema {self.schema!r}>"
        )


def open(path: Union[PathLike, Sequence[PathLike]]) -> Index:  # noqa: A001 - korvel.open
    """Opens one data file (with its `.meta` sidecar), a list of them, or a shard manifest
    (a path ending in ".json", see `korvel.write_manifest`) as one index. A directory is a
    collection (`korvel.Collection`): its latest committed generation is opened, and the
    Index keeps that generation for its lifetime.

    Files are memory-mapped, never copied. Several files must agree on the schema (names in
    order) and the dimension; their dictionaries may differ. The shards of a manifest must
    exist and have the schema, dimension and record counts it lists.
    """
    if isinstance(path, (str, os.PathLike)):
        single = os.fspath(path)
        if os.path.isdir(single):
            return Index(_collection.open_latest(single)[2])
        if _manifest.is_manifest_path(single):
            paths, doc = _manifest.read_manifest(single)
            index = _engine.open(paths)
            _manifest.check_manifest(single, doc, index)
            return Index(index)
        paths = [single]
    elif isinstance(path, Sequence):
        paths = [os.fspath(p) for p in path]
    else:
        raise TypeError(f"path: expected a path or a list of paths, got {type(path).__name__}")
    return Index(_engine.open(paths))
