"""Collections: a directory of immutable shards whose records can be deleted, upserted and
appended, published as numbered generations.

Layout of a collection directory (see docs/collections.md):

    LOCK                      held (flock) by the one writer
    empty.korvix[.meta]       a data file of no records: what a generation without shards opens
    gen-<20 digits>.json      one manifest per kept generation; the highest number is current
    s-<gen>-<k>.korvix[.meta] shards, written once and never changed
    <shard>.<gen>.del         a shard's deletion bitmap as of generation <gen>

A generation is published by renaming its manifest into place after every file it names is
flushed, then flushing the directory: a reader sees the whole generation or the one before.
"""

from __future__ import annotations

import errno
import fcntl
import json
import operator
import os
import re
import shutil
import struct
import tempfile
import zlib
from collections.abc import Mapping, Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

from korvel import _engine, _manifest
from korvel._filters import Filter, to_node
from korvel._writer import IndexWriter

PathLike = Union[str, "os.PathLike[str]"]

FORMAT = "korvel-collection"
VERSION = 1
# Generations kept on disk: the current one only. A reader maps its data files at open and
# reads sidecars and deletion files whole, so on POSIX an open Index keeps its generation
# after the files are unlinked (the space returns when the last reader closes). A reader
# that lists the directory just before a commit and then finds a file gone opens the newest
# generation instead. Keeping more would hold the disk space of every rewritten shard for a
# generation longer (after a compaction of a large shard, twice its size).
KEEP_GENERATIONS = 1
_OPEN_ATTEMPTS = 50
# A shard with fewer live records than the largest one / _SMALL_FRACTION is merged with its
# small neighbours by compact(): each shard costs a search a fixed amount of work.
_SMALL_FRACTION = 4

_GEN_RE = re.compile(r"^gen-(\d{20})\.json$")
_SHARD_RE = re.compile(r"^s-\d+-\d+\.korvix(\.meta|\.\d+\.del)?$")
_TEMP_PREFIXES = (".manifest-", ".staged-", ".adopt-")
_EMPTY = "empty.korvix"

_DEL_MAGIC = b"KVDEL\x00\x00\x01"
_DEL_HEADER = struct.Struct("<8sQQII")  # magic, records, deleted, crc32 of the words, 0


# ---------------------------------------------------------------------------------------
# Deletion files: a header and ceil(records / 64) little-endian words, bit r set when
# record r is deleted. The checksum and the counts catch a torn or foreign file.


def _write_deletions(path: str, words: npt.NDArray[np.uint64], records: int) -> int:
    data = words.astype("<u8", copy=False).tobytes()
    deleted = _popcount(words)
    header = _DEL_HEADER.pack(_DEL_MAGIC, records, deleted, zlib.crc32(data), 0)
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    try:
        os.write(fd, header + data)
        os.fsync(fd)
    finally:
        os.close(fd)
    return deleted


def _read_deletions(path: str, records: int) -> npt.NDArray[np.uint64]:
    with open(path, "rb") as f:
        raw = f.read()
    words = (records + 63) // 64
    bad = None
    if len(raw) != _DEL_HEADER.size + 8 * words:
        bad = f"{len(raw)} bytes, expected {_DEL_HEADER.size + 8 * words}"
    else:
        magic, n, deleted, crc, _ = _DEL_HEADER.unpack_from(raw)
        body = raw[_DEL_HEADER.size :]
        if magic != _DEL_MAGIC:
            bad = "not a deletion file"
        elif n != records:
            bad = f"for {n} records, the shard has {records}"
        elif zlib.crc32(body) != crc:
            bad = "checksum mismatch"
        else:
            out = np.frombuffer(body, "<u8").astype(np.uint64)
            if _popcount(out) != deleted:
                bad = "deleted count mismatch"
            else:
                return out
    raise ValueError(f"Invalid deletion file '{path}': {bad}")


def _popcount(words: npt.NDArray[np.uint64]) -> int:
    return int(np.unpackbits(words.view(np.uint8)).sum()) if words.size else 0


def _bits(words: npt.NDArray[np.uint64], n: int) -> npt.NDArray[np.bool_]:
    """One bool per record from little-endian bitmap words."""
    return np.unpackbits(words.astype("<u8").view(np.uint8), bitorder="little")[:n].astype(bool)


def _words(bits: npt.NDArray[np.bool_]) -> npt.NDArray[np.uint64]:
    n = len(bits)
    padded = np.zeros(((n + 63) // 64) * 64, dtype=bool)
    padded[:n] = bits
    return np.packbits(padded, bitorder="little").view("<u8").astype(np.uint64)


# ---------------------------------------------------------------------------------------
# Manifests and generations.


def _gen_name(gen: int) -> str:
    return f"gen-{gen:020d}.json"


def _generations(directory: str) -> list[int]:
    gens = []
    for name in os.listdir(directory):
        m = _GEN_RE.match(name)
        if m:
            gens.append(int(m.group(1)))
    return sorted(gens)


def is_collection(path: str) -> bool:
    return os.path.isdir(path) and bool(_generations(path))


def _read_doc(directory: str, gen: int) -> dict[str, Any]:
    path = os.path.join(directory, _gen_name(gen))
    try:
        doc = json.loads(_manifest._read_bounded(path))
    except ValueError as e:
        raise ValueError(f"Invalid collection manifest '{path}': {e}") from None
    shards = doc.get("shards") if isinstance(doc, dict) else None
    if (
        not isinstance(doc, dict)
        or doc.get("format") != FORMAT
        or doc.get("generation") != gen
        or not isinstance(shards, list)
        or not all(
            isinstance(s, dict)
            and isinstance(s.get("path"), str)
            and _count(s.get("records"))
            and _count(s.get("deleted"))
            and (s.get("deletions") is None or isinstance(s.get("deletions"), str))
            for s in shards
        )
    ):
        raise ValueError(f"Invalid collection manifest '{path}': not a {FORMAT} document")
    if doc.get("version") != VERSION:
        raise ValueError(f"Invalid collection manifest '{path}': unsupported version")
    return doc


def _count(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _open_doc(directory: str, doc: dict[str, Any]) -> _engine.Index:
    """The engine index of a generation: its shards with their deletion bitmaps."""
    shards = doc["shards"]
    if not shards:
        return _engine.open([os.path.join(directory, _EMPTY)])
    paths = [os.path.join(directory, s["path"]) for s in shards]
    deleted: list[Optional[npt.NDArray[np.uint64]]] = [
        None
        if s["deletions"] is None
        else _read_deletions(os.path.join(directory, s["deletions"]), s["records"])
        for s in shards
    ]
    index = _engine.open(paths, deleted)
    where = os.path.join(directory, _gen_name(doc["generation"]))
    for field, found in (("schema", index.schema), ("dim", index.dim)):
        if doc.get(field) != found:
            raise ValueError(
                f"Collection manifest '{where}': the shards have {field} {found!r}, "
                f"the manifest says {doc.get(field)!r}"
            )
    _manifest.check_shard_records(where, doc, index.shard_sizes)
    return index


def open_latest(directory: str) -> tuple[int, dict[str, Any], _engine.Index]:
    """The newest generation of the collection at `directory`, opened. A generation removed
    by a writer while it was being opened is skipped for the next newest."""
    for attempt in range(_OPEN_ATTEMPTS):
        gens = _generations(directory)
        if not gens:
            raise FileNotFoundError(errno.ENOENT, f"No collection at '{directory}'", directory)
        gen = gens[-1]
        try:
            doc = _read_doc(directory, gen)
            return gen, doc, _open_doc(directory, doc)
        except (FileNotFoundError, OSError) as e:
            missing = isinstance(e, FileNotFoundError) or "No such file" in str(e)
            if not missing or attempt + 1 == _OPEN_ATTEMPTS or _generations(directory) == gens:
                raise
    raise AssertionError("unreachable")


def _fsync_dir(directory: str) -> None:
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


# ---------------------------------------------------------------------------------------
# Argument checks.


def _id_array(doc_ids: npt.ArrayLike, name: str = "doc_ids") -> npt.NDArray[np.uint64]:
    if isinstance(doc_ids, (bytes, bytearray, memoryview)):
        doc_ids = np.asarray(memoryview(doc_ids))
    arr = np.asarray(doc_ids)
    if arr.ndim != 1:
        raise ValueError(f"{name}: expected a 1-D sequence of ids, got {arr.ndim}-D")
    if arr.size == 0:
        return np.empty(0, np.uint64)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name}: expected integer ids, got {arr.dtype}")
    if arr.dtype.kind == "i" and (arr < 0).any():
        row = int(np.argmax(arr < 0))
        raise ValueError(f"{name}, row {row}: negative id {int(arr[row])}")
    return arr.astype(np.uint64)


class Collection:
    """A collection of records that changes: adds, deletes and upserts staged and published by
    `commit()` as a new generation; readers (`korvel.open(path)`) see whole generations.

    One writer at a time: the object holds the directory's lock until `close()` (or the end
    of a `with` block). Not thread-safe; searches go through `korvel.open(path)`.
    """

    def __init__(
        self, path: PathLike, schema: Optional[Sequence[str]] = None, dim: Optional[int] = None
    ) -> None:
        self._dir = os.path.abspath(os.fspath(path))
        self._lock_fd: Optional[int] = None
        self._index_cache: Optional[_engine.Index] = None
        if (schema is None) != (dim is None):
            raise ValueError("schema and dim: give both (to create a collection) or neither")
        if isinstance(schema, str):
            raise TypeError(f"schema: expected a sequence of trait names, got the str {schema!r}")
        creating = schema is not None and not is_collection(self._dir)
        if creating:
            os.makedirs(self._dir, exist_ok=True)
        elif not is_collection(self._dir):
            raise FileNotFoundError(
                errno.ENOENT,
                f"No collection at '{self._dir}' (pass schema and dim to create one)",
                self._dir,
            )
        self._lock()
        try:
            if creating and not _generations(self._dir):
                self._create(list(schema), operator.index(dim))  # type: ignore[arg-type]
            self._load()
            if schema is not None and (list(schema) != self._schema or dim != self._dim):
                raise ValueError(
                    f"Collection '{self._dir}' has schema {self._schema!r} and dim "
                    f"{self._dim}, not {list(schema)!r} and {dim}"
                )
            self._clean()
        except BaseException:
            self.close()
            raise

    # -- lifetime --------------------------------------------------------------------------

    def _lock(self) -> None:
        fd = os.open(os.path.join(self._dir, "LOCK"), os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o666)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise BlockingIOError(
                errno.EWOULDBLOCK,
                f"Collection '{self._dir}' is open for writing elsewhere (its LOCK is held)",
            ) from None
        self._lock_fd = fd

    def close(self) -> None:
        """Drops staged changes and releases the writer's lock."""
        if self._lock_fd is not None:
            os.close(self._lock_fd)  # releases the flock
            self._lock_fd = None
        self._index_cache = None

    def __enter__(self) -> Collection:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_lock_fd", None) is not None:
            self.close()

    @property
    def _index(self) -> _engine.Index:
        """The committed generation, opened (with its deletions)."""
        if self._index_cache is None:
            self._index_cache = _open_doc(self._dir, self._doc)
        return self._index_cache

    def _check_open(self) -> None:
        if self._lock_fd is None:
            raise ValueError(f"Collection '{self._dir}' is closed")

    # -- state -----------------------------------------------------------------------------

    def _create(self, schema: list[str], dim: int) -> None:
        IndexWriter(schema, dim).save(os.path.join(self._dir, _EMPTY))
        doc = {
            "format": FORMAT, "version": VERSION, "generation": 0, "schema": schema,
            "dim": dim, "records": 0, "shards": [],
        }
        self._publish(doc)

    def _load(self) -> None:
        gen, doc, index = open_latest(self._dir)
        self._gen = gen
        self._doc = doc
        self._index_cache = index
        self._schema: list[str] = list(doc["schema"])
        self._dim: int = doc["dim"]
        self._lookup: dict[str, tuple[Any, Any]] = getattr(self, "_lookup", {})
        self._words_cache: dict[str, npt.NDArray[np.uint64]] = {}
        self.rollback()

    def rollback(self) -> None:
        """Drops every staged change."""
        self._writer: Optional[IndexWriter] = None
        self._staged_ids: list[npt.NDArray[np.uint64]] = []
        self._staged_dead = np.zeros(0, bool)
        self._deleted: dict[int, npt.NDArray[np.uint64]] = {}  # shard -> staged bitmap

    @property
    def generation(self) -> int:
        """The last committed generation."""
        return self._gen

    def __len__(self) -> int:
        """Live records in the last committed generation."""
        return int(self._doc["records"])

    @property
    def schema(self) -> list[str]:
        return list(self._schema)

    @property
    def dim(self) -> int:
        return self._dim

    @property
    def path(self) -> str:
        return self._dir

    def __repr__(self) -> str:
        return (
            f"<korvel.Collection {self._dir!r}: generation {self._gen}, {len(self):,} records, "
            f"{len(self._doc['shards'])} shards>"
        )

    # -- staging ---------------------------------------------------------------------------

    def add(
        self,
        doc_ids: npt.ArrayLike,
        columns: Optional[Mapping[str, Any]] = None,
        embeddings: Optional[npt.ArrayLike] = None,
        offsets: Optional[npt.ArrayLike] = None,
    ) -> None:
        """Stages records at the end of the collection, as `IndexWriter.add` takes them. A
        failed call stages nothing."""
        self._check_open()
        ids = _id_array(doc_ids)
        writer = self._writer or IndexWriter(self._schema, self._dim)
        writer.add(ids, columns, embeddings, offsets)
        self._writer = writer
        self._staged_ids.append(ids)
        self._staged_dead = np.concatenate([self._staged_dead, np.zeros(len(ids), bool)])

    def _staged_id_array(self) -> npt.NDArray[np.uint64]:
        if len(self._staged_ids) > 1:
            self._staged_ids = [np.concatenate(self._staged_ids)]
        return self._staged_ids[0] if self._staged_ids else np.empty(0, np.uint64)

    def _shard_lookup(self, i: int) -> tuple[Any, Any]:
        """Shard i's ids sorted, and the record of each."""
        key = self._doc["shards"][i]["path"]
        found = self._lookup.get(key)
        if found is None:
            ids = self._index.doc_ids(i)
            order = np.argsort(ids, kind="stable")
            found = (ids[order], order)
            self._lookup[key] = found
        return found

    def _deleted_words(self, i: int) -> npt.NDArray[np.uint64]:
        """Shard i's deletion bitmap with the staged deletions (a view: do not change)."""
        staged = self._deleted.get(i)
        if staged is not None:
            return staged
        return self._committed_words(i)

    def _committed_words(self, i: int) -> npt.NDArray[np.uint64]:
        entry = self._doc["shards"][i]
        if entry["deletions"] is None:
            return np.zeros((entry["records"] + 63) // 64, np.uint64)
        words = self._words_cache.get(entry["deletions"])
        if words is None:
            words = _read_deletions(os.path.join(self._dir, entry["deletions"]), entry["records"])
            self._words_cache = {entry["deletions"]: words} if len(self._words_cache) > 64 else {
                **self._words_cache, entry["deletions"]: words}
        return words

    def _targets_by_id(
        self, ids: npt.NDArray[np.uint64]
    ) -> tuple[dict[int, npt.NDArray[np.uint64]], npt.NDArray[np.bool_]]:
        """The live records holding any of `ids`: per committed shard its new bitmap (shards
        with a hit only), and the staged records' mask."""
        changes: dict[int, npt.NDArray[np.uint64]] = {}
        wanted = np.unique(ids)
        for i, entry in enumerate(self._doc["shards"]):
            if entry["records"] == entry["deleted"] and i not in self._deleted:
                continue
            sorted_ids, order = self._shard_lookup(i)
            lo = np.searchsorted(sorted_ids, wanted, "left")
            hi = np.searchsorted(sorted_ids, wanted, "right")
            spans = hi - lo
            if not spans.any():
                continue
            starts = np.repeat(lo - np.concatenate([[0], np.cumsum(spans)[:-1]]), spans)
            records = order[np.arange(int(spans.sum())) + starts].astype(np.uint64)
            words = self._deleted_words(i)
            bit = np.left_shift(np.uint64(1), records & np.uint64(63))
            live = (words[records >> np.uint64(6)] & bit) == 0
            if not live.any():
                continue
            new = words.copy()
            np.bitwise_or.at(new, records[live] >> np.uint64(6), bit[live])
            changes[i] = new
        staged = np.zeros(0, bool)
        if self._staged_ids:
            staged = np.isin(self._staged_id_array(), wanted) & ~self._staged_dead
        return changes, staged

    def _targets_by_filter(
        self, where: Filter
    ) -> tuple[dict[int, npt.NDArray[np.uint64]], npt.NDArray[np.bool_]]:
        node = to_node(where)
        changes: dict[int, npt.NDArray[np.uint64]] = {}
        for i, entry in enumerate(self._doc["shards"]):
            matching = self._index.matching(i, node)  # live as committed
            words = self._deleted_words(i)
            hit = matching & ~words
            if hit.any():
                changes[i] = words | hit
        if not self._doc["shards"]:
            self._index.count(node)  # the filter's errors, as for a collection with shards
        staged = np.zeros(0, bool)
        if self._writer is not None and len(self._writer):
            staged = self._staged_matching(node) & ~self._staged_dead
        return changes, staged

    def _staged_matching(self, node: Any) -> npt.NDArray[np.bool_]:
        """The staged records matching a filter, found by the engine on a scratch file."""
        assert self._writer is not None
        scratch = tempfile.mkdtemp(prefix=".staged-", dir=self._dir)
        try:
            path = os.path.join(scratch, "staged.korvix")
            self._writer.save(path)
            index = _engine.open([path])
            return _bits(index.matching(0, node), len(self._writer))
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def _apply(
        self, changes: dict[int, npt.NDArray[np.uint64]], staged: npt.NDArray[np.bool_]
    ) -> int:
        count = 0
        for i, new in changes.items():
            count += _popcount(new) - _popcount(self._deleted_words(i))
            self._deleted[i] = new
        if staged.size:
            count += int(staged.sum())
            self._staged_dead[: len(staged)] |= staged
        return count

    def delete(self, doc_ids: Optional[npt.ArrayLike] = None, *, where: Optional[Filter] = None) -> int:
        """Stages the deletion of every live record (committed or staged) with one of
        `doc_ids`, or matching the filter `where`; returns how many records that is."""
        self._check_open()
        if (doc_ids is None) == (where is None):
            raise TypeError("delete: give either doc_ids or where=")
        if where is not None:
            return self._apply(*self._targets_by_filter(where))
        assert doc_ids is not None
        return self._apply(*self._targets_by_id(_id_array(doc_ids)))

    def upsert(
        self,
        doc_ids: npt.ArrayLike,
        columns: Optional[Mapping[str, Any]] = None,
        embeddings: Optional[npt.ArrayLike] = None,
        offsets: Optional[npt.ArrayLike] = None,
    ) -> None:
        """Deletes every live record with one of `doc_ids`, then adds the new records at the
        end. An id given twice is a ValueError; a failed call stages nothing."""
        self._check_open()
        ids = _id_array(doc_ids)
        if ids.size:
            sorted_ids = np.sort(ids)
            repeated = sorted_ids[1:][sorted_ids[1:] == sorted_ids[:-1]]
            if repeated.size:
                rows = np.flatnonzero(ids == repeated[0])
                raise ValueError(
                    f"doc_ids: id {int(repeated[0])} appears more than once "
                    f"(rows {int(rows[0])} and {int(rows[1])})"
                )
        changes, staged = self._targets_by_id(ids)
        self.add(ids, columns, embeddings, offsets)
        self._apply(changes, staged)

    # -- publishing ------------------------------------------------------------------------

    def _publish(self, doc: dict[str, Any]) -> None:
        """Makes `doc` the current generation: every file it names is flushed already; the
        directory is flushed before (the new names) and after (the manifest's) the rename."""
        _fsync_dir(self._dir)
        _manifest._write_atomically(
            os.path.join(self._dir, _gen_name(doc["generation"])),
            (json.dumps(doc, indent=1) + "\n").encode(),
        )

    def _has_staged(self) -> bool:
        return bool(self._deleted) or (self._writer is not None and len(self._writer) > 0)

    def commit(self) -> int:
        """Publishes every staged change as one new generation, durable on return, and returns
        its number (the current one when nothing is staged)."""
        self._check_open()
        if not self._has_staged():
            return self._gen
        return self._commit_with([])

    def _commit_with(self, extra: list[dict[str, Any]]) -> int:
        """Publishes the staged changes and then the shards `extra` (already in the directory,
        named for the next generation) as one generation."""
        gen = self._gen + 1
        shards = [dict(s) for s in self._doc["shards"]]
        written: list[str] = []
        try:
            for i, words in sorted(self._deleted.items()):
                name = f"{shards[i]['path']}.{gen}.del"
                written.append(name)
                shards[i]["deleted"] = _write_deletions(
                    os.path.join(self._dir, name), words, shards[i]["records"]
                )
                shards[i]["deletions"] = name
            if self._writer is not None and len(self._writer):
                name = f"s-{gen}-0.korvix"
                written += [name, name + ".meta"]
                self._writer.save(os.path.join(self._dir, name))
                entry = {"path": name, "records": len(self._writer), "deleted": 0, "deletions": None}
                if self._staged_dead.any():
                    dname = f"{name}.{gen}.del"
                    written.append(dname)
                    entry["deleted"] = _write_deletions(
                        os.path.join(self._dir, dname), _words(self._staged_dead), len(self._writer)
                    )
                    entry["deletions"] = dname
                shards.append(entry)
                staged_ids = self._staged_id_array()
            else:
                staged_ids = None
            self._commit_doc(gen, shards + extra)
            if staged_ids is not None:  # the new shard's id lookup, without reading it back
                order = np.argsort(staged_ids, kind="stable")
                self._lookup[f"s-{gen}-0.korvix"] = (staged_ids[order], order)
        except BaseException:
            for name in written:
                _remove(os.path.join(self._dir, name))
            raise
        return gen

    def _commit_doc(self, gen: int, shards: list[dict[str, Any]]) -> None:
        doc = dict(self._doc)
        doc["generation"] = gen
        doc["shards"] = shards
        doc["records"] = sum(s["records"] - s["deleted"] for s in shards)
        self._publish(doc)
        self._gen, self._doc = gen, doc
        self._index_cache = None  # opened again when a filter, a lookup or a rewrite needs it
        self.rollback()
        self._clean()

    def _clean(self) -> None:
        """Removes generations beyond the kept ones, files no kept generation names, and what
        an interrupted writer left."""
        gens = _generations(self._dir)
        kept = gens[-KEEP_GENERATIONS:]
        for g in gens[:-KEEP_GENERATIONS]:
            _remove(os.path.join(self._dir, _gen_name(g)))
        used = {_EMPTY, _EMPTY + ".meta"}
        for g in kept:
            try:
                doc = _read_doc(self._dir, g)
            except (OSError, ValueError):
                return  # never remove what a generation might still name
            for s in doc["shards"]:
                used.update((s["path"], s["path"] + ".meta"))
                if s["deletions"]:
                    used.add(s["deletions"])
        live_paths = {s["path"] for s in self._doc["shards"]}
        for key in list(self._lookup):
            if key not in live_paths:
                del self._lookup[key]
        for name in os.listdir(self._dir):
            path = os.path.join(self._dir, name)
            if name.startswith(_TEMP_PREFIXES):
                if os.path.isdir(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    _remove(path)
            elif _SHARD_RE.match(name) and name not in used:
                _remove(path)

    def compact(self, min_dead: float = 0.2) -> int:
        """Commits anything staged, then rewrites every shard whose deleted share is at least
        `min_dead` (any deleted record when 0) without its deleted records, merging runs of
        neighbouring small shards, and publishes the result as a new generation. Returns the
        current generation. Records keep their order."""
        self._check_open()
        min_dead = float(min_dead)
        if not 0.0 <= min_dead <= 1.0:
            raise ValueError(f"min_dead must be in 0..1, got {min_dead}")
        self.commit()
        shards = self._doc["shards"]
        if not shards:
            return self._gen
        largest = max(s["records"] - s["deleted"] for s in shards)
        small = max(largest // _SMALL_FRACTION, 1)  # this small: merged with its neighbours
        target = max(largest, 1 << 20)  # nor does a merge grow past this

        def share(s: dict[str, Any]) -> float:
            return s["deleted"] / s["records"] if s["records"] else 0.0

        # Shards to rewrite: those at min_dead (or wholly dead), and, next to one of them,
        # those at half of it: they would cross it soon, and one rewrite serves both.
        dirty = [
            s["deleted"] > 0 and (s["deleted"] == s["records"] or share(s) >= min_dead)
            for s in shards
        ]
        for order in (range(1, len(shards)), range(len(shards) - 2, -1, -1)):
            for i in order:
                near = dirty[i - 1] if order.step == 1 else dirty[i + 1]
                if near and not dirty[i] and shards[i]["deleted"] > 0:
                    dirty[i] = share(shards[i]) >= min_dead / 2

        runs: list[tuple[int, int]] = []  # [first, end) rewritten as one file
        i = 0
        while i < len(shards):
            s = shards[i]
            if not dirty[i] and s["records"] - s["deleted"] >= small:
                i += 1
                continue
            first, live = i, 0
            while i < len(shards):
                s = shards[i]
                n = s["records"] - s["deleted"]
                if not (dirty[i] or n < small) or (i > first and live + n > target):
                    break
                live += n
                i += 1
            if i - first > 1 or dirty[first]:
                runs.append((first, i))
        if not runs:
            return self._gen
        gen = self._gen + 1
        new_shards: list[dict[str, Any]] = []
        written: list[str] = []

        def rewrite(first: int, end: int) -> None:
            live = sum(s["records"] - s["deleted"] for s in shards[first:end])
            if live == 0:
                return
            name = f"s-{gen}-{len(written) // 2}.korvix"
            written.extend((name, name + ".meta"))
            self._index.rewrite(os.path.join(self._dir, name), first, end)
            new_shards.append({"path": name, "records": live, "deleted": 0, "deletions": None})

        try:
            at = 0
            for first, end in runs:
                new_shards += [dict(s) for s in shards[at:first]]
                at = end
                try:
                    rewrite(first, end)
                except ValueError:
                    # Together the run's shards hold more values of a trait than one data
                    # file can: each is kept, or rewritten alone when it has deletions.
                    if end - first == 1:
                        raise
                    _remove(os.path.join(self._dir, written.pop()))
                    _remove(os.path.join(self._dir, written.pop()))
                    for i in range(first, end):
                        if shards[i]["deleted"]:
                            rewrite(i, i + 1)
                        else:
                            new_shards.append(dict(shards[i]))
            new_shards += [dict(s) for s in shards[at:]]
            self._commit_doc(gen, new_shards)
        except BaseException:
            for name in written:
                _remove(os.path.join(self._dir, name))
            raise
        return gen

    def export(self, path: PathLike) -> int:
        """Writes the live records of the last committed generation, in order, as one data
        file at `path` (and its sidecar, `path` + ".meta"), the file `IndexWriter` writes for
        those records; returns how many records it holds. Staged changes are not included."""
        self._check_open()
        target = os.fspath(path)
        shards = self._doc["shards"]
        if not shards:
            IndexWriter(self._schema, self._dim).save(target)
            return 0
        self._index.rewrite(target, 0, len(shards))
        return int(self._doc["records"])

    def add_shards(self, paths: Union[PathLike, Sequence[PathLike]]) -> int:
        """Adopts data files built elsewhere (a shard manifest's path, or a list of data
        files) at the end of the collection, with everything staged, in one commit. The files
        are linked (or copied) into the collection; the originals are left as they are."""
        self._check_open()
        if isinstance(paths, (str, os.PathLike)) and _manifest.is_manifest_path(os.fspath(paths)):
            sources, _ = _manifest.read_manifest(os.fspath(paths))
        elif isinstance(paths, (str, os.PathLike)):
            raise TypeError("paths: expected a shard manifest (.json) or a list of data files")
        else:
            sources = [os.fspath(p) for p in paths]
        if not sources:
            return self.commit()
        index = _engine.open(sources)
        if index.schema != self._schema or index.dim != self._dim:
            raise ValueError(
                f"paths: the shards have schema {index.schema!r} and dim {index.dim}, the "
                f"collection {self._schema!r} and {self._dim}"
            )
        gen = self._gen + 1
        scratch = tempfile.mkdtemp(prefix=".adopt-", dir=self._dir)
        written: list[str] = []
        try:
            entries = []
            for k, (src, n) in enumerate(zip(sources, index.shard_sizes)):
                name = f"s-{gen}-{k + 1}.korvix"
                for suffix in ("", ".meta"):
                    staged = os.path.join(scratch, name + suffix)
                    try:
                        os.link(src + suffix, staged)
                    except OSError:
                        shutil.copyfile(src + suffix, staged)
                        with open(staged, "rb") as f:
                            os.fsync(f.fileno())
                for suffix in ("", ".meta"):
                    written.append(name + suffix)
                    os.replace(os.path.join(scratch, name + suffix), os.path.join(self._dir, name + suffix))
                entries.append({"path": name, "records": n, "deleted": 0, "deletions": None})
            return self._commit_with(entries)
        except BaseException:
            for name in written:
                _remove(os.path.join(self._dir, name))
            raise
        finally:
            shutil.rmtree(scratch, ignore_errors=True)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
