"""Building and serving sharded indexes on a Ray cluster (`pip install "korvel[ray]"`).

`build_shards` writes one shard per block of rows of a Ray Dataset, in parallel tasks, and a
manifest; `ShardedSearcher` serves a manifest from actors that each hold some of its shards
and answers exactly as `korvel.open(manifest).search`. Ray is imported on first use, so
`import korvel.ray` works without it. Shard files are written to and read from paths that
every node must see: a shared file system, or copies of the directory at the same path.
"""

from __future__ import annotations

import glob
import importlib
import os
import pickle
import re
import uuid
from collections.abc import Sequence
from typing import Any, Optional

import numpy as np
import numpy.typing as npt

from korvel import _fanout, _manifest
from korvel._index import SearchResult, Where
from korvel._writer import IndexWriter

__all__ = ["ShardedSearcher", "build_shards"]


def _ray() -> Any:
    try:
        ray = importlib.import_module("ray")
    except ImportError:
        raise ImportError(
            'korvel.ray needs Ray: pip install "korvel[ray]" (or "ray[data]")'
        ) from None
    return ray


def _unwrap(e: BaseException) -> BaseException:
    """The exception raised by our code on a worker, without Ray's wrappers (the cause of a
    task or Dataset failure), so that callers see what one process would raise."""
    ray = _ray()
    seen = set()
    while id(e) not in seen:
        seen.add(id(e))
        if isinstance(e, ray.exceptions.RayTaskError):
            cause = getattr(e, "cause", None)
            if isinstance(cause, BaseException):
                e = cause
                continue
        nested = e.__cause__
        module = type(e).__module__ or ""
        if nested is not None and (module.startswith("ray.") or module == "ray"):
            e = nested
            continue
        break
    return e


def _write_shard(
    batch: dict[str, npt.NDArray[Any]],
    *,
    out_dir: str,
    prefix: str,
    id_column: str,
    trait_columns: Sequence[str],
    embedding_column: str,
    offset_column: Optional[str],
) -> dict[str, npt.NDArray[Any]]:
    # A failure is returned, not raised: Ray Data hands a raised exception back wrapped,
    # without the original, and the caller re-raises the first shard's failure as it is.
    # `added` tells the caller that the rows an error names count within this shard.
    records, added = 0, False
    try:
        for argument, column in [("id_column", id_column),
                                 *(("trait_columns", t) for t in trait_columns),
                                 ("embedding_column", embedding_column),
                                 ("offset_column", offset_column)]:
            if column is not None and column not in batch:
                names = ", ".join(repr(c) for c in batch)
                raise ValueError(
                    f"{argument}: the dataset has no column {column!r} (its columns: {names})"
                )
        records = len(batch[id_column])
        embeddings = batch[embedding_column]
        if embeddings.dtype == object:  # rows of arrays or lists, as pandas holds them
            embeddings = np.stack([np.asarray(r) for r in embeddings])
        writer = IndexWriter(list(trait_columns), dim=embeddings.shape[1])
        added = True
        writer.add(
            batch[id_column],
            {t: batch[t] for t in trait_columns},
            embeddings=np.ascontiguousarray(embeddings),
            offsets=None if offset_column is None else batch[offset_column],
        )
        name = f"{prefix}{uuid.uuid4().hex}.korvix"
        added = False
        writer.save(os.path.join(out_dir, name))
        error = b""
    except Exception as e:  # noqa: BLE001
        name, error = "", pickle.dumps(e)
    return {
        "file": np.array([name]),
        "records": np.array([records], np.int64),
        "error": np.array([error], dtype=object),
        "in_add": np.array([added]),
    }


def _dataset_rows(e: BaseException, first_row: int) -> BaseException:
    """An error of `IndexWriter.add` on one shard, its row counted within the dataset: the
    writer names "{argument}, row {r}: ..." with r counted within the call."""
    text = str(e) if type(e) in (ValueError, TypeError) and len(e.args) == 1 else ""
    match = re.match(r"((?:[^,]|,(?! row ))*, row )(\d+)(: .*)", text, re.S)
    if match is None or first_row == 0:
        return e
    return type(e)(f"{match[1]}{int(match[2]) + first_row}{match[3]}")


def build_shards(
    dataset: Any,
    out_dir: str | os.PathLike[str],
    *,
    id_column: str,
    trait_columns: Sequence[str],
    embedding_column: str,
    offset_column: Optional[str] = None,
    rows_per_shard: int = 250_000,
    manifest_name: str = "shards.json",
) -> str:
    """Builds one shard per `rows_per_shard` consecutive rows of `dataset` (a Ray Dataset)
    in parallel Ray tasks and writes a manifest of them; returns the manifest's path.

    Shard i holds rows i * rows_per_shard onwards, in dataset order, and is byte-identical to
    what `IndexWriter` writes for those rows. `trait_columns` is the schema, in order; the
    dimension is the width of `embedding_column`. Shards are named shard-00000.korvix, ...
    in `out_dir` (which every node must be able to write), the manifest `manifest_name`.

    A column missing from the dataset raises ValueError naming the argument; an error of the
    writer is raised as `IndexWriter.add` raises it, for the first failing shard, with its row
    counted within the dataset.
    """
    ray = _ray()
    rows_per_shard = int(rows_per_shard)
    if rows_per_shard < 1:
        raise ValueError(f"rows_per_shard must be at least 1, got {rows_per_shard}")
    out_dir = os.path.abspath(os.fspath(out_dir))
    os.makedirs(out_dir, exist_ok=True)
    prefix = f".part-{uuid.uuid4().hex[:12]}-"
    # Blocks of exactly rows_per_shard rows (the last one shorter), each one batch; the
    # output rows (one per shard) in input order. A Dataset runs with its own copy of the
    # context, so the order is asked of that copy.
    blocks = dataset.repartition(target_num_rows_per_block=rows_per_shard, strict=True)
    shards = blocks.map_batches(
        _write_shard,
        batch_size=rows_per_shard,
        batch_format="numpy",
        fn_kwargs=dict(
            out_dir=out_dir,
            prefix=prefix,
            id_column=id_column,
            trait_columns=list(trait_columns),
            embedding_column=embedding_column,
            offset_column=offset_column,
        ),
    )
    shards.context.execution_options.preserve_order = True
    try:
        stats = shards.take_all()
        if not stats:
            raise ValueError("build_shards: the dataset has no rows")
        for i, s in enumerate(stats):
            if s["error"]:
                error = pickle.loads(s["error"])
                if s["in_add"]:
                    error = _dataset_rows(error, sum(int(t["records"]) for t in stats[:i]))
                raise error
        sizes = [int(s["records"]) for s in stats]
        if any(n != rows_per_shard for n in sizes[:-1]):
            raise RuntimeError(f"build_shards: Ray cut the rows into blocks of {sizes} rows")
        paths = []
        for i, s in enumerate(stats):
            final = os.path.join(out_dir, f"shard-{i:05d}.korvix")
            os.replace(os.path.join(out_dir, s["file"]), final)
            os.replace(os.path.join(out_dir, s["file"] + ".meta"), final + ".meta")
            paths.append(final)
        return _manifest.write_manifest(os.path.join(out_dir, manifest_name), paths)
    except Exception as e:  # noqa: BLE001 - re-raised as the worker raised it
        cause = _unwrap(e)
        if cause is e:
            raise
        raise cause from None
    finally:
        for leftover in glob.glob(os.path.join(out_dir, prefix + "*")):
            os.unlink(leftover)


class ShardedSearcher:
    """Serves a manifest from `num_actors` Ray actors, each holding a consecutive run of its
    shards (memory-mapped on the actor's node).

    `search` takes the arguments of `korvel.Index.search` and returns the same result:
    each call fans out to every actor (candidate pools, then, when re-scoring, the scores of
    the merged pool's entries) and merges here. An error on an actor is raised here as the
    same exception a search in one process raises. `actor_options` go to Ray's
    `.options(...)` of each actor (default: one CPU each).
    """

    def __init__(
        self,
        manifest: str | os.PathLike[str],
        num_actors: int = 2,
        *,
        actor_options: Optional[dict[str, Any]] = None,
    ) -> None:
        ray = _ray()
        self.manifest = os.path.abspath(os.fspath(manifest))
        _, doc = _manifest.parse_manifest(self.manifest)
        self.schema: list[str] = list(doc["schema"])
        self.dim: int = int(doc["dim"])
        self._records = int(sum(s["records"] for s in doc["shards"]))
        self._parts = _fanout.split_shards(len(doc["shards"]), int(num_actors))
        remote = ray.remote(_fanout.ShardWorker).options(**(actor_options or {"num_cpus": 1}))
        self._actors = [remote.remote(self.manifest, f, n) for f, n in self._parts]
        try:  # a shard missing on a node fails here, not on the first search
            ray.get([a.__ray_ready__.remote() for a in self._actors])
        except Exception as e:  # noqa: BLE001
            self.close()
            raise _unwrap(e) from None

    def _run(self, method: str, args: Sequence[tuple[Any, ...]]) -> list[Any]:
        ray = _ray()
        shared: dict[int, Any] = {}

        def ref(x: Any) -> Any:  # large arguments go to the object store once per call
            if isinstance(x, (np.ndarray, bytes, bytearray, list)):
                if id(x) not in shared:
                    shared[id(x)] = ray.put(x)
                return shared[id(x)]
            return x

        refs = [getattr(a, method).remote(*map(ref, xs)) for a, xs in zip(self._actors, args)]
        out: list[Any] = []
        for r in refs:
            try:
                out.append(ray.get(r))
            except Exception as e:  # noqa: BLE001 - handed back as the actor raised it
                out.append(_unwrap(e))
        return out

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
        """As `korvel.Index.search`. Embedding buffers are sent to the object store once
        per call."""
        if isinstance(embeddings, list):
            embeddings = [_picklable(b) for b in embeddings]
        elif embeddings is not None:
            embeddings = _picklable(embeddings)
        return _fanout.search(
            self._run,
            self._parts,
            self.dim,
            Q,
            k,
            where=where,
            oversample=oversample,
            embeddings=embeddings,
            rerank=rerank,
            threads=threads,
            rescore=rescore,
            exact=exact,
        )

    def __len__(self) -> int:
        return self._records

    def close(self) -> None:
        """Ends the actors."""
        ray = _ray()
        for a in self._actors:
            ray.kill(a)
        self._actors = []

    def __repr__(self) -> str:
        return (
            f"<korvel.ray.ShardedSearcher {self.manifest!r}: {self._records:,} records, "
            f"{len(self._parts)} actors>"
        )


def _picklable(buffer: object) -> object:
    """A buffer that pickles (memoryview and mmap do not), as a uint8 view of it."""
    if buffer is None or isinstance(buffer, (bytes, bytearray, np.ndarray)):
        return buffer
    try:
        return np.frombuffer(buffer, np.uint8)  # type: ignore[call-overload]
    except (TypeError, ValueError):
        return buffer  # refused on the actor with the message of one process
