"""Shard manifests: a small JSON file naming the data files of a sharded index.

    {"format": "korvel-shards", "version": 1, "schema": ["tenant", "lang"], "dim": 768,
     "records": 1000000,
     "shards": [{"path": "shard-00000.korvix", "records": 250000}, ...]}

Shard paths are relative to the manifest's directory (so the directory can be moved or copied
to another machine as a whole), in shard order. `records` lets `open` notice a shard that was
replaced after the manifest was written.
"""

from __future__ import annotations

import errno
import json
import os
import stat
import tempfile
from collections.abc import Sequence
from typing import Any, Union

from korvel import _engine

PathLike = Union[str, "os.PathLike[str]"]

FORMAT = "korvel-shards"
VERSION = 1
# Far beyond any real manifest (about 60 bytes per shard); a bound keeps a huge or endless
# file from being read into memory.
MAX_BYTES = 16 << 20


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
    _refuse_special_target(path)
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


def _no_device(what: str, path: str) -> OSError:
    """The error of a path that is neither a regular file nor missing (a FIFO, a device), in
    the words of the data file reader."""
    e = OSError(f"{what} '{path}': No such device (os error {errno.ENODEV})")
    e.errno = errno.ENODEV
    return e


def _refuse_special_target(path: str) -> None:
    """A FIFO or device at the target (or a link to one) is neither written through nor
    replaced: it is not where a manifest belongs. A directory fails at the rename."""
    try:
        mode = os.stat(path).st_mode
    except (FileNotFoundError, NotADirectoryError):
        return
    if not stat.S_ISREG(mode) and not stat.S_ISDIR(mode):
        raise _no_device("Failed to write manifest", path)


def _read_bounded(path: str) -> bytes:
    """The bytes of the regular file at `path`, at most MAX_BYTES of them. Opened without
    blocking, so a FIFO is refused instead of waiting for a writer; a device (which may have
    no end) is refused before any read."""
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            raise _no_device("Failed to read manifest", path)
        chunks, size = [], 0
        while size <= MAX_BYTES:
            chunk = os.read(fd, MAX_BYTES + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    finally:
        os.close(fd)
    if size > MAX_BYTES:
        raise ValueError(f"Invalid manifest '{path}': larger than {MAX_BYTES >> 20} MiB")
    return b"".join(chunks)


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
    raw = _read_bounded(path)
    try:
        doc = json.loads(raw)
    except ValueError as e:
        raise ValueError(f"Invalid manifest '{path}': {e}") from None
    except RecursionError:  # deep nesting exhausts the decoder's recursion
        raise ValueError(f"Invalid manifest '{path}': nested too deeply") from None
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
    check_shard_records(path, doc, index.shard_sizes)
    check_total(path, doc)


def check_shard_records(
    path: str, doc: dict[str, Any], sizes: Sequence[int], first_shard: int = 0
) -> None:
    """Raises ValueError for the first of the shards first_shard, first_shard + 1, ... whose
    record count (`sizes`) differs from the manifest's."""
    for i, n in enumerate(sizes, first_shard):
        entry = doc["shards"][i]
        if entry["records"] != n:
            raise ValueError(
                f"Manifest '{path}': shard {i} ('{entry['path']}') has {n} records, "
                f"the manifest says {entry['records']}"
            )


def check_total(path: str, doc: dict[str, Any]) -> None:
    """Raises ValueError when the manifest's `records` is not the sum of its shards'."""
    total = sum(s["records"] for s in doc["shards"])
    if not _count(doc.get("records")) or doc["records"] != total:
        raise ValueError(
            f"Manifest '{path}': the shards have records {total}, "
            f"the manifest says {doc.get('records')!r}"
        )
