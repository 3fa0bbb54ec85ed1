"""atheris target for the Python-facing parsers: shard manifests opened with korvel.open, and
column values converted by IndexWriter.add.

Manifests start from a valid document over a few small shards and take mutations (fields
replaced by any JSON value or removed, shard paths to missing, foreign, mismatched or
unreadable files, broken or deeply nested JSON, bytes that are not UTF-8). Writer calls pass
ids, trait columns, embeddings and offsets of many kinds (lists, scalars, nested lists, bytes,
NumPy arrays of many dtypes, shapes and layouts, pandas and Arrow objects when installed).

Invariants: only the documented exceptions come out (ValueError and OSError from open;
ValueError and TypeError from add); a manifest that opens describes its shards; a failed add
leaves the writer as it was (same length, and a save gives the same two files as before the
call), a successful one adds its rows.

    python fuzz/manifest_columns_fuzz.py [libFuzzer options] [corpus dir]
"""

import json
import os
import shutil
import sys
import tempfile

import warnings

import atheris
import numpy as np

try:
    import pandas as pd
except ImportError:
    pd = None
try:
    import pyarrow as pa
except ImportError:
    pa = None

np.seterr(all="ignore")  # casts of 1e300 to float16 and the like are meant
warnings.simplefilter("ignore")

with atheris.instrument_imports(include=["korvel"]):
    import korvel

# Memory-backed when possible: every run saves and opens small files. libFuzzer ends the
# process without running Python's exit handlers, so each run sweeps the directories of
# processes that are gone (named by process id) instead.
_TMP = "/dev/shm" if os.access("/dev/shm", os.W_OK) else tempfile.gettempdir()
for _old in os.listdir(_TMP):
    _pid = _old.split(".")[1] if _old.startswith("manifest_columns_fuzz.") else ""
    if _pid.isdigit() and not os.path.exists(f"/proc/{_pid}"):
        shutil.rmtree(os.path.join(_TMP, _old), ignore_errors=True)
WORK = tempfile.mkdtemp(prefix=f"manifest_columns_fuzz.{os.getpid()}.", dir=_TMP)
SCHEMA = ("a", "b")
DIM = 8
# name -> (schema, dim, records)
SHARDS = {
    "s0.korvix": (SCHEMA, DIM, 5),
    "s1.korvix": (SCHEMA, DIM, 3),
    "empty.korvix": (SCHEMA, DIM, 0),
    "other_schema.korvix": (["x"], DIM, 2),
    "other_dim.korvix": (SCHEMA, 16, 2),
}


def _setup():
    rng = np.random.default_rng(1)
    for name, (schema, dim, n) in SHARDS.items():
        w = korvel.IndexWriter(schema, dim)
        w.add(
            np.arange(n, dtype=np.uint64),
            {schema[0]: [f"v{i % 3}" for i in range(n)]},
            rng.standard_normal((n, dim)).astype(np.float32),
        )
        w.save(os.path.join(WORK, name))
    with open(os.path.join(WORK, "garbage.korvix"), "wb") as f:
        f.write(b"not an index" * 10)
    with open(os.path.join(WORK, "garbage.korvix.meta"), "wb") as f:
        f.write(b"{")
    shutil.copy(os.path.join(WORK, "s0.korvix"), os.path.join(WORK, "nometa.korvix"))
    os.mkdir(os.path.join(WORK, "dir.korvix"))


PATHS = list(SHARDS) + [
    "garbage.korvix",
    "nometa.korvix",
    "dir.korvix",
    "missing.korvix",
    "",
    ".",
    "../" + os.path.basename(WORK) + "/s0.korvix",
    "s0.korvix\x00x",
    "/dev/null",
    "s\u00e9.korvix",
    "s0.korvix.meta",
]


def _json_value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-5, 20)
    if kind == 3:
        return fdp.ConsumeInt(fdp.ConsumeIntInRange(1, 24))
    if kind == 4:
        return fdp.ConsumeRegularFloat()
    if kind == 5:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 12))
    if kind == 6:
        return PATHS[fdp.ConsumeIntInRange(0, len(PATHS) - 1)]
    if kind == 7 and depth < 3:
        return [_json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    if kind == 8 and depth < 3:
        return {
            fdp.ConsumeUnicodeNoSurrogates(4): _json_value(fdp, depth + 1)
            for _ in range(fdp.ConsumeIntInRange(0, 3))
        }
    if kind == 9:
        return {"path": PATHS[fdp.ConsumeIntInRange(0, len(PATHS) - 1)],
                "records": fdp.ConsumeIntInRange(-1, 6)}
    if kind == 10:
        return float("nan") if fdp.ConsumeBool() else float("inf")
    return list(SCHEMA)


def _manifest_doc(fdp):
    names = ["s0.korvix", "s1.korvix"][: fdp.ConsumeIntInRange(0, 2)]
    doc = {
        "format": "korvel-shards",
        "version": 1,
        "schema": list(SCHEMA),
        "dim": DIM,
        "records": sum(SHARDS[n][2] for n in names),
        "shards": [{"path": n, "records": SHARDS[n][2]} for n in names],
    }
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        where = fdp.ConsumeIntInRange(0, 3)
        if where == 0 or not doc.get("shards"):
            keys = list(doc) + ["extra"]
            key = keys[fdp.ConsumeIntInRange(0, len(keys) - 1)]
            if fdp.ConsumeIntInRange(0, 4) == 0:
                doc.pop(key, None)
            else:
                doc[key] = _json_value(fdp)
        elif where == 1 and isinstance(doc.get("shards"), list):
            doc["shards"].append(_json_value(fdp) if fdp.ConsumeBool() else {
                "path": PATHS[fdp.ConsumeIntInRange(0, len(PATHS) - 1)],
                "records": fdp.ConsumeIntInRange(-1, 6)})
        elif isinstance(doc.get("shards"), list) and doc["shards"]:
            entry = doc["shards"][fdp.ConsumeIntInRange(0, len(doc["shards"]) - 1)]
            if isinstance(entry, dict):
                key = ["path", "records", "other"][fdp.ConsumeIntInRange(0, 2)]
                if fdp.ConsumeIntInRange(0, 4) == 0:
                    entry.pop(key, None)
                else:
                    entry[key] = _json_value(fdp)
    return doc


def _manifest_bytes(fdp):
    mode = fdp.ConsumeIntInRange(0, 9)
    if mode == 0:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64))
    if mode == 1:
        depth = fdp.ConsumeIntInRange(1, 100000)
        return b"[" * depth + b"]" * depth
    text = json.dumps(_manifest_doc(fdp), allow_nan=True).encode()
    if mode == 2 and text:
        return text[: fdp.ConsumeIntInRange(0, len(text) - 1)]
    if mode == 3:
        return text.replace(b'"', b"\xff", 1)
    return text


def check_manifest(fdp):
    name = os.path.join(WORK, "m.json")
    with open(name, "wb") as f:
        f.write(_manifest_bytes(fdp))
    try:
        index = korvel.open(name)
    except (ValueError, OSError):
        return
    with open(name, "rb") as f:
        doc = json.loads(f.read())
    assert index.schema == doc["schema"], (index.schema, doc)
    assert index.dim == doc["dim"], (index.dim, doc)
    assert len(index) == sum(s["records"] for s in doc["shards"]), (len(index), doc)
    assert len(index.paths) == len(doc["shards"])
    index.count()


# ---------------------------------------------------------------------------------------
# IndexWriter.add

DTYPES = [
    np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
    np.float16, np.float32, np.float64, np.bool_, np.complex64, object, "U3", "S3",
    "datetime64[s]", ">i8", ">f4", "<f4",
]
STRINGS = ["", "v0", "v1", "x", "\u00e9", "a\x00b", "\U0001f600"]


def _scalar(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeIntInRange(-3, 3)
    if kind == 2:
        return fdp.ConsumeInt(9) * (2 ** fdp.ConsumeIntInRange(0, 70))
    if kind == 3:
        return fdp.ConsumeFloat()
    if kind == 4:
        return b"v0"
    if kind == 5:
        return fdp.ConsumeBool()
    if kind == 6:
        return [STRINGS[1]]
    if kind == 7:
        return np.float32(1.5)
    return STRINGS[fdp.ConsumeIntInRange(0, len(STRINGS) - 1)]


def _array(fdp, n, width=None):
    """An array-like of about n rows (of `width` values when given)."""
    kind = fdp.ConsumeIntInRange(0, 15)
    rows = n if fdp.ConsumeIntInRange(0, 7) else fdp.ConsumeIntInRange(0, 6)
    shape = (rows,) if width is None else (rows, width if fdp.ConsumeIntInRange(0, 7) else
                                             fdp.ConsumeIntInRange(0, 9))
    if kind == 0:
        return None
    if kind == 1:
        return _scalar(fdp)
    if kind == 2:
        return [_scalar(fdp) for _ in range(rows)]
    if kind == 3:
        return [[_scalar(fdp) for _ in range(shape[-1])] for _ in range(rows)]
    if kind == 4:
        return bytes(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 64)))
    dtype = DTYPES[fdp.ConsumeIntInRange(0, len(DTYPES) - 1)]
    size = int(np.prod(shape))
    raw = np.frombuffer(fdp.ConsumeBytes(size * 8).ljust(size * 8, b"\0"), dtype=np.uint8)
    if dtype is object:
        arr = np.array([_scalar(fdp) for _ in range(size)] + [None], dtype=object)[:size]
    elif np.dtype(dtype).kind == "U":
        arr = np.array([STRINGS[b % len(STRINGS)] for b in raw[:size]], dtype=dtype)
    elif np.dtype(dtype).kind == "S":
        arr = np.array([STRINGS[b % len(STRINGS)].encode() for b in raw[:size]], dtype=dtype)
    elif np.dtype(dtype).kind == "M":
        arr = raw[:size].astype(np.int64).astype(dtype)
    else:
        arr = raw.view(np.uint8)[: size * np.dtype(dtype).itemsize].view(dtype) if size else np.empty(0, dtype)
        if np.dtype(dtype).kind in "iu" and fdp.ConsumeIntInRange(0, 3) == 0:
            arr = np.arange(size).astype(dtype)  # small valid values
        if np.dtype(dtype).kind == "f" and fdp.ConsumeIntInRange(0, 1):
            arr = np.array([[0.5, -1.0, 2.0, 0.0, np.nan, np.inf, 1e300, -3.0][b % 8] if b % 16 < 8
                            else (int(b) - 128) / 7.0 for b in raw[:size]]).astype(dtype)
    arr = arr.reshape(shape)
    layout = fdp.ConsumeIntInRange(0, 7)
    if layout == 0:
        arr = np.asfortranarray(arr)
    elif layout == 1 and arr.ndim and arr.shape[0] > 0:
        arr = np.repeat(arr, 2, axis=0)[::2]  # same values, not contiguous
    elif layout == 2:
        arr = arr.reshape(arr.shape + (1,))
    elif layout == 3 and kind % 2 == 0:
        arr = arr.tolist()
    elif layout == 4 and kind % 3 == 0:
        if arr.dtype.kind in "iufcb":
            arr = memoryview(np.ascontiguousarray(arr))
    return arr


def _column(fdp, n):
    kind = fdp.ConsumeIntInRange(0, 11)
    values = [STRINGS[fdp.ConsumeIntInRange(0, len(STRINGS) - 1)] for _ in range(n)]
    if fdp.ConsumeIntInRange(0, 5) == 0 and n:
        values[fdp.ConsumeIntInRange(0, n - 1)] = _scalar(fdp)
    if kind == 0:
        return values
    if kind == 1:
        return tuple(values)
    if kind == 2:
        return np.array(values, dtype=object)
    if kind == 3 and all(isinstance(v, str) for v in values):
        return np.array(values, dtype="U")
    if kind == 4 and pd is not None:
        return pd.Categorical(values if all(isinstance(v, str) for v in values) else
                              [v if isinstance(v, str) else None for v in values])
    if kind == 5 and pd is not None:
        return pd.Series(values, dtype=object)
    if kind == 6 and pa is not None:
        strs = [v if isinstance(v, str) else None for v in values]
        arr = pa.array(strs, type=pa.string())
        return arr.dictionary_encode() if fdp.ConsumeBool() else pa.chunked_array([arr, arr[:0]])
    if kind == 7 and pa is not None:
        return pa.array(list(range(n)))
    if kind == 8:
        return "v0" * n
    return _array(fdp, n)


def _files(path):
    out = []
    for p in (path, path + ".meta"):
        with open(p, "rb") as f:
            out.append(f.read())
    return out


def check_writer(fdp):
    dim = [0, 3, DIM][fdp.ConsumeIntInRange(0, 2)]
    w = korvel.IndexWriter(SCHEMA, dim)
    before = os.path.join(WORK, "before.korvix")
    after = os.path.join(WORK, "after.korvix")
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        n = fdp.ConsumeIntInRange(0, 6)
        ids = _array(fdp, n) if fdp.ConsumeIntInRange(0, 3) == 3 else np.arange(n, dtype=np.uint64)
        columns = None
        mode = fdp.ConsumeIntInRange(0, 5)
        if mode == 1:
            columns = [("a", ["v0"] * n)]
        elif mode >= 2:
            columns = {}
            for _ in range(fdp.ConsumeIntInRange(0, 3)):
                key = ["a", "b", "c", 1, b"a"][fdp.ConsumeIntInRange(0, 4)]
                columns[key] = _column(fdp, n)
            if mode == 5 and pd is not None:
                try:
                    columns = pd.DataFrame({k: v for k, v in columns.items() if isinstance(k, str)
                                            and isinstance(v, list)})
                except ValueError:
                    pass
        embeddings = _array(fdp, n, dim) if fdp.ConsumeBool() else None
        offsets = _array(fdp, n) if fdp.ConsumeIntInRange(0, 3) == 3 else None
        size = len(w)
        w.save(before)
        try:
            w.add(ids, columns, embeddings, offsets)
        except (ValueError, TypeError):
            assert len(w) == size, (size, len(w))
            w.save(after)
            assert _files(before) == _files(after), "a failed add changed the writer"
            continue
        rows = len(ids) if isinstance(ids, (bytes, memoryview)) else np.asarray(ids).size
        assert len(w) == size + rows, (size, len(w), ids)
    w.save(after)
    index = korvel.open(after)
    assert len(index) == len(w)


def TestOneInput(data):
    fdp = atheris.FuzzedDataProvider(data)
    if fdp.ConsumeBool():
        check_manifest(fdp)
    else:
        check_writer(fdp)


def main():
    _setup()
    try:
        atheris.Setup(sys.argv, TestOneInput)
        atheris.Fuzz()
    finally:
        shutil.rmtree(WORK, ignore_errors=True)


if __name__ == "__main__":
    main()
