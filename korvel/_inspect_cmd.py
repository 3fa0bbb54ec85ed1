"""`python -m korvel inspect`: describes a saved index and checks its two files against each other.

The data file is read with `struct` and NumPy over a read-only mapping, following the byte table
of the format (64-byte header; code planes, signatures and external offsets back to back); the
sidecar is read as JSON. Before anything else the pair goes through `HybridIndex.load()`, so a
pair that the engine refuses is reported with the engine's own message and nothing else.
"""

from __future__ import annotations

import json
import mmap
import os
import struct
import traceback
from collections import Counter
from typing import Any

import numpy as np

from korvel._native import HybridIndex

HEADER_SIZE = 64
HEADER_FORMAT = "<4sHQHHB"  # magic, version, record_count, trait_count, vector_dim, bit_width
NO_EXTERNAL_OFFSET = 2**64 - 1
RECORDS_PER_CHUNK = 65536  # every section is read this many records at a time


class InspectError(Exception):
    """A file that cannot be inspected; the message is one line for the user."""


def inspect_index(path: str, top: int = 5) -> dict[str, Any]:
    """Returns the report (plain JSON-ready values) or raises InspectError."""
    try:
        HybridIndex.load(path)
    except (OSError, ValueError) as e:
        raise InspectError(str(e)) from None
    meta_path = path + ".meta"
    try:
        with open(path, "rb") as f:
            data = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        try:
            report = _describe_data(path, data, top)
        except BaseException as e:
            # The traceback's frames hold NumPy views of the mapping, which cannot close while
            # any view exists: drop them first, so that the one error reported is this one.
            traceback.clear_frames(e.__traceback__)
            raise
        finally:
            data.close()
        with open(meta_path, "rb") as f:
            raw_meta = f.read()
    except (OSError, ValueError) as e:  # the files changed after load() accepted them
        raise InspectError(f"Failed to read '{path}': {e}") from None
    except MemoryError:
        raise InspectError(f"Not enough memory to inspect '{path}'") from None
    _describe_sidecar(report, meta_path, raw_meta, top)
    return report


def _describe_data(path: str, data: mmap.mmap, top: int) -> dict[str, Any]:
    magic, version, n, traits, dim, width = struct.unpack_from(HEADER_FORMAT, data, 0)
    blocks = (n + 63) // 64
    plane_bytes = blocks * traits * width * 8
    sig_size = (dim + 7) // 8
    sig_start = HEADER_SIZE + plane_bytes
    offsets_start = sig_start + n * sig_size
    required = offsets_start + n * 8
    report: dict[str, Any] = {
        "path": path,
        "file_size": len(data),
        "header": {
            "magic": magic.decode("ascii"),
            "version": version,
            "record_count": n,
            "trait_count": traits,
            "vector_dim": dim,
            "bit_width": width,
            "reserved_zero": not any(data[19:HEADER_SIZE]),
        },
        "sections": [
            {"name": "header", "offset": 0, "size": HEADER_SIZE},
            {"name": "code planes", "offset": HEADER_SIZE, "size": plane_bytes},
            {"name": "signatures", "offset": sig_start, "size": n * sig_size},
            {"name": "external offsets", "offset": offsets_start, "size": n * 8},
        ],
        "required_size": required,
        "trailing_bytes": len(data) - required,
        "signature_bytes": sig_size,
        "warnings": [],
    }
    # Every section is read a block of records at a time, so the memory needed does not grow
    # with the record count.
    report["code_counts"] = _count_codes(data, n, traits, width)
    zero_sigs = with_offset = last_offset = 0
    for start in range(0, n, RECORDS_PER_CHUNK):
        records = min(RECORDS_PER_CHUNK, n - start)
        if dim:
            sigs = np.frombuffer(data, dtype=np.uint8, count=records * sig_size,
                                 offset=sig_start + start * sig_size).reshape(records, sig_size)
            zero_sigs += records - int(np.count_nonzero(sigs.any(axis=1)))
        offsets = np.frombuffer(data, dtype="<u8", count=records, offset=offsets_start + start * 8)
        present = offsets[offsets != np.uint64(NO_EXTERNAL_OFFSET)]
        if present.size:
            with_offset += int(present.size)
            last_offset = max(last_offset, int(present.max()))
    report["embeddings"] = {
        "zero_signatures": zero_sigs,
        "with_external_offset": with_offset,
        # exact re-scoring scores 0.0 for any record whose embedding ends beyond the buffer
        "embeddings_data_bytes": last_offset + 4 * dim if with_offset else 0,
    }
    return report


def _count_codes(data: mmap.mmap, n: int, traits: int, width: int) -> list[list[int]]:
    """For each trait of the data file, the number of records holding each code (0..2^w - 1)."""
    counts = [np.zeros(1 << width, dtype=np.int64) for _ in range(traits)]
    block_words = traits * width
    for start in range(0, (n + 63) // 64, RECORDS_PER_CHUNK // 64):
        blocks = min(RECORDS_PER_CHUNK // 64, (n + 63) // 64 - start)
        chunk = np.frombuffer(data, dtype="<u8", count=blocks * block_words,
                              offset=HEADER_SIZE + start * block_words * 8)
        chunk = chunk.reshape(blocks, traits, width)
        records = min(n - start * 64, blocks * 64)
        for t in range(traits):
            # Bit j of a plane word is bit j % 8 of its byte j / 8 (little-endian words).
            words = np.ascontiguousarray(chunk[:, t, :]).view(np.uint8)
            bits = np.unpackbits(words.reshape(blocks, width, 8), axis=2, bitorder="little")
            codes = np.zeros((blocks, 64), dtype=np.int64)
            for k in range(width):
                codes |= bits[:, k, :].astype(np.int64) << k
            counts[t] += np.bincount(codes.reshape(-1)[:records], minlength=1 << width)
    return [c.tolist() for c in counts]


def _load_sidecar(raw: bytes) -> tuple[list[str], list[dict[str, int]], list[int]] | str:
    """The sidecar's three lists, or why they cannot be shown."""
    try:
        # strict=False: the writer stores control characters other than tab, CR, LF raw.
        obj = json.loads(raw.decode("utf-8"), strict=False)
    except (UnicodeDecodeError, ValueError) as e:
        return f"not standard JSON ({e})"
    if not isinstance(obj, dict):
        return "not a JSON object"
    schema, dicts, doc_ids = obj.get("schema"), obj.get("dicts"), obj.get("doc_ids")
    if not (isinstance(schema, list) and all(isinstance(s, str) for s in schema)):
        return "'schema' is not a list of strings"
    if not (isinstance(dicts, list) and all(
            isinstance(d, dict) and all(_is_int(c) for c in d.values()) for d in dicts)):
        return "'dicts' is not a list of objects of numbers"
    if not (isinstance(doc_ids, list) and all(_is_int(i) for i in doc_ids)):
        return "'doc_ids' is not a list of numbers"
    return schema, dicts, doc_ids


def _is_int(x: object) -> bool:
    return isinstance(x, int) and not isinstance(x, bool)


def _describe_sidecar(report: dict[str, Any], meta_path: str, raw: bytes, top: int) -> None:
    header = report["header"]
    n, trait_count, width = header["record_count"], header["trait_count"], header["bit_width"]
    code_counts: list[list[int]] = report.pop("code_counts")
    warnings: list[str] = report["warnings"]
    report["sidecar"] = {"path": meta_path, "size": len(raw)}

    if report["trailing_bytes"] > 0:
        warnings.append(f"{report['trailing_bytes']} bytes after the last section are ignored")
    if not header["reserved_zero"]:
        warnings.append("reserved header bytes 19..63 are not all zero")

    loaded = _load_sidecar(raw)
    if isinstance(loaded, str):
        warnings.append(f"sidecar contents not shown: {loaded}")
        schema: list[str] = []
        dicts: list[dict[str, int]] = []
        report["schema"] = report["doc_ids"] = None
    else:
        schema, dicts, doc_ids = loaded
        report["schema"] = schema
        report["doc_ids"] = {"count": len(doc_ids), "distinct": len(set(doc_ids))}
        if len(doc_ids) != n:
            warnings.append(
                f"sidecar lists {_count(len(doc_ids), 'document identifier')} but the data file "
                f"holds {_count(n, 'record')}" + (" (search reports the record index for records without one)"
                                  if len(doc_ids) < n else " (the extra identifiers are unused)"))
        if len(schema) != trait_count:
            warnings.append(
                f"sidecar schema names {_count(len(schema), 'trait')} but the data file header "
                f"says {trait_count}" + (" (filters on the extra names fail at search time)"
                                    if len(schema) > trait_count else ""))
        if len(dicts) != len(schema):
            warnings.append(f"sidecar has {_count(len(dicts), 'value dictionary')} for "
                            f"{_count(len(schema), 'trait name')}")
        repeated = sorted(name for name, k in Counter(schema).items() if k > 1)
        if repeated:
            warnings.append("trait names repeated in the schema (filters use the first): "
                            + ", ".join(_quote(s) for s in repeated))

    mask = (1 << width) - 1
    report["traits"] = []
    for t in range(max(trait_count, len(schema))):
        name = schema[t] if t < len(schema) else None
        label = _quote(name) if name is not None else f"#{t}"
        values = dicts[t] if t < len(dicts) else None
        by_code: dict[int, list[str]] = {}
        for value, code in (values or {}).items():
            by_code.setdefault(code, []).append(value)
            if code > mask:
                warnings.append(
                    f"trait {label}: value {_quote(value)} has code {code}, which does not fit "
                    f"the data file's {width}-bit codes (a filter on it matches no record)")
        for code, names in sorted(by_code.items()):
            if len(names) > 1:
                warnings.append(f"trait {label}: values {', '.join(map(_quote, names))} "
                                f"share code {code}")
        entry: dict[str, Any] = {"index": t, "name": name,
                                 "values": None if values is None else len(values)}
        if t < trait_count:
            counts = code_counts[t]
            used = [c for c in range(len(counts)) if counts[c]]
            entry["codes_in_use"] = len(used)
            if not isinstance(loaded, str):
                orphans = [c for c in used if c not in by_code]
                if orphans:
                    held = sum(counts[c] for c in orphans)
                    warnings.append(
                        f"trait {label}: {_count(held, 'record')} with codes that have no value "
                        f"in the sidecar "
                        f"({', '.join(map(str, orphans[:8]))}{', ...' if len(orphans) > 8 else ''})")
            ranked = sorted(used, key=lambda c: (-counts[c], c))[:top]
            entry["most_frequent"] = [
                {"value": by_code[c][0] if c in by_code else None, "code": c, "records": counts[c]}
                for c in ranked]
        else:
            entry["codes_in_use"] = None
            entry["most_frequent"] = []
        report["traits"].append(entry)


def _noun(n: int, noun: str) -> str:
    return noun if n == 1 else noun[:-1] + "ies" if noun.endswith("y") else noun + "s"


def _count(n: int, noun: str, grouped: bool = False) -> str:
    return f"{n:,} {_noun(n, noun)}" if grouped else f"{n} {_noun(n, noun)}"


def _quote(s: str) -> str:
    return json.dumps(s, ensure_ascii=False)


def report_json(report: dict[str, Any]) -> str:
    return json.dumps(report, indent=2, ensure_ascii=False)


def format_report(r: dict[str, Any]) -> str:
    h = r["header"]
    lines = [
        f"index        {r['path']}",
        f"data file    {_count(r['file_size'], 'byte', True)} (the format needs {r['required_size']:,})",
        f"header       magic {h['magic']}, version {h['version']}, "
        f"{_count(h['record_count'], 'record', True)}, {_count(h['trait_count'], 'trait')}, "
        f"{h['bit_width']}-bit codes, vector_dim {h['vector_dim']}",
    ]
    for i, s in enumerate(r["sections"]):
        lines.append(f"{'sections' if i == 0 else '':<13}{s['name']:<18}at {s['offset']:>11,}"
                     f"  {s['size']:>11,} {_noun(s['size'], 'byte')}")
    side = r["sidecar"]
    lines.append(f"sidecar      {side['path']}, {_count(side['size'], 'byte', True)}")
    if r["doc_ids"] is not None:
        lines.append(f"doc_ids      {r['doc_ids']['count']:,} ({r['doc_ids']['distinct']:,} distinct)")
    e = r["embeddings"]
    lines.append(f"signatures   {_count(r['signature_bytes'], 'byte')} each; "
                 f"{e['zero_signatures']:,} all zero")
    with_offset = e["with_external_offset"]
    lines.append(f"ext. offsets {_count(with_offset, 'record', True)} "
                 f"{'has' if with_offset == 1 else 'have'} one; exact re-scoring "
                 f"reads up to byte {e['embeddings_data_bytes']:,} of embeddings_data")
    lines.append("traits       #  name, values in the sidecar, codes in use: most frequent (records)")
    for t in r["traits"]:
        name = _quote(t["name"]) if t["name"] is not None else "(no name)"
        values = "no dictionary" if t["values"] is None else _count(t["values"], "value")
        in_use = "no data" if t["codes_in_use"] is None else f"{t['codes_in_use']} in use"
        top = ", ".join(
            f"{_quote(v['value']) if v['value'] is not None else '<code %d>' % v['code']} "
            f"{v['records']:,}" for v in t["most_frequent"])
        lines.append(f"{'':<13}{t['index']:<3}{name}, {values}, {in_use}" + (f": {top}" if top else ""))
    if r["warnings"]:
        lines.append(f"warnings     {len(r['warnings'])}")
        lines.extend(f"  - {w}" for w in r["warnings"])
    else:
        lines.append("warnings     none")
    return "\n".join(lines)
