"""Shard manifests: a small JSON file naming the data files of a sharded index.

    {"format": "korvel-shards", "version": 1, "schema": ["tenant", "lang"], "dim": 768,
     "records": 1000000,
     "shards": [{"path": "shard-00000.korvix", "records": 250000}, ...]}

Shard paths are relative to the manifest's directory (so the directory can be moved or copied
to another machine as a whole), in shard order. `records` lets `open` notice a shard that was
replaced after the manifest was written.
"""

from __future__ import annotations

import json
import os
import tempfile
from collections.abc import Sequence
from typing import Any, Union

from korvel import _engine

PathLike = Union[str, "os.PathLike[str]"]

FORMAT = "korvel-shards"
VERSION = 1


def is_manifest_path(path: str) -> bool:
    return path.endswith(".json")


def write_manifest(path: PathLike, shard_paths: Sequence[PathLike]) -> str:
    """Writes a manifest at `path` listing `shard_paths` in order, and returns `path`.

    The shards are opened first: they must exist and agree on the schema and dimension (the
    errors of `korvel.open`). The file is replaced atomically: written in full to a temporary
    file in the same directory, flushed, then renamed over `path`.
    """
    path = os.fspath(path)
    if isinstance(shard_paths, (str, os.PathLike)):
        raise TypeError("shard_paths: expected a list of paths, got a single path")
    shards = [os.fspath(p) for p in shard_paths]
    index = _engine.open(shards)
    base = os.path.dirname(os.path.abspath(path))
    doc: dict[str, Any] = {
        "format": FORMAT,
        "version": VERSION,
        "schema": index.schema,
        "dim": index.dim,
        "records": len(index),
        "shards": [
            {"path": os.path.relpath(os.path.abspath(p), base), "records": n}
            for p, n in zip(shards, index.shard_sizes)
        ],
    }
    _write_atomically(path, (json.dumps(doc, indent=1) + "\n").encode())
    return path


def _write_atomically(path: str, data: bytes) -> None:
    directory = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=directory, prefix=".manifest-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)  # as a plain new file; mkstemp makes it 0600
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise
    dir_fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dir_fd)  # the rename itself survives a crash
    finally:
        os.close(dir_fd)


def read_manifest(path: str) -> tuple[list[str], dict[str, Any]]:
    """The shard paths of the manifest at `path` (resolved against its directory) and its
    document. Raises ValueError for a malformed manifest, FileNotFoundError for a listed
    shard that does not exist."""
    paths, doc = parse_manifest(path)
    for i, p in enumerate(paths):
        if not os.path.exists(p):
            raise FileNotFoundError(
                2, f"Manifest '{path}': shard {i} ('{doc['shards'][i]['path']}') does not exist", p
            )
    return paths, doc


def parse_manifest(path: str) -> tuple[list[str], dict[str, Any]]:
    """As read_manifest, without looking for the shards."""
    with open(path, "rb") as f:
        raw = f.read()
    try:
        doc = json.loads(raw)
    except (ValueError, RecursionError) as e:  # deep nesting exhausts the decoder's recursion
        raise ValueError(f"Invalid manifest '{path}': {e}") from None
    shards = doc.get("shards") if isinstance(doc, dict) else None
    if (
        not isinstance(doc, dict)
        or doc.get("format") != FORMAT
        or not isinstance(shards, list)
        or not all(
            isinstance(s, dict) and isinstance(s.get("path"), str) and _count(s.get("records"))
            for s in shards
        )
    ):
        raise ValueError(f"Invalid manifest '{path}': not a {FORMAT} document")
    if doc.get("version") != VERSION:
        raise ValueError(f"Invalid manifest '{path}': unsupported version {doc.get('version')!r}")
    base = os.path.dirname(os.path.abspath(path))
    return [os.path.join(base, s["path"]) for s in shards], doc


def _count(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def check_manifest(path: str, doc: dict[str, Any], index: _engine.Index) -> None:
    """Raises ValueError when the opened shards disagree with what the manifest says."""
    for field, found in (("schema", index.schema), ("dim", index.dim)):
        if doc.get(field) != found:
            raise ValueError(
                f"Manifest '{path}': the shards have {field} {found!r}, "
                f"the manifest says {doc.get(field)!r}"
            )
    for i, (entry, n) in enumerate(zip(doc["shards"], index.shard_sizes)):
        if entry["records"] != n:
            raise ValueError(
                f"Manifest '{path}': shard {i} ('{entry['path']}') has {n} records, "
                f"the manifest says {entry['records']}"
            )
