"""`python -m korvel inspect` and `--version`: reports, cross-file warnings, bad files."""

import json
import os
import struct
import subprocess
import sys
import tracemalloc

import numpy as np
import pytest

import korvel
from korvel import HybridIndex
from korvel.__main__ import main

from index_files import NO_OFFSET, data_file, sidecar, write_index

HERE = os.path.dirname(os.path.abspath(__file__))


def run_cli(*args):
    """Runs the command in a child interpreter, as a user would (korvel as the tests import it)."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-m", "korvel", *args], capture_output=True, text=True,
                          cwd=HERE, env=env, timeout=60)


def report(path, capsys):
    assert main(["inspect", path, "--json"]) == 0
    return json.loads(capsys.readouterr().out)


def test_report_of_a_saved_index(tmp_index_path, capsys):
    idx = HybridIndex.builder(["color", "size"], 12)
    for i in range(70):
        idx.add_record(500 + i % 69, {"color": ["red", "blue", "green"][i % 3] if i % 7 else "tab\t",
                                      "size": "M" if i < 50 else "L"},
                       [1.0] * 12 if i % 2 else None, i * 48 if i % 5 else None)
    idx.save(tmp_index_path)
    r = report(tmp_index_path, capsys)

    assert r["file_size"] == os.path.getsize(tmp_index_path) == r["required_size"]
    assert r["header"] == {"magic": "KRVX", "version": 1, "record_count": 70, "trait_count": 2,
                           "vector_dim": 12, "bit_width": 8, "reserved_zero": True}
    assert [(s["name"], s["offset"], s["size"]) for s in r["sections"]] == [
        ("header", 0, 64), ("code planes", 64, 2 * 2 * 8 * 8), ("signatures", 320, 70 * 2),
        ("external offsets", 460, 70 * 8)]
    assert r["schema"] == ["color", "size"]
    assert r["doc_ids"] == {"count": 70, "distinct": 69}
    assert r["embeddings"] == {"zero_signatures": 35, "with_external_offset": 56,
                               "embeddings_data_bytes": 69 * 48 + 4 * 12}
    color, size = r["traits"]
    assert (color["values"], color["codes_in_use"], size["values"]) == (4, 4, 2)
    # i % 7 == 0 (10 records) -> "tab\t"; the other 60 split evenly over the three colours.
    # Codes are first-seen: record 0 "tab\t", 1 "blue", 2 "green", 3 "red".
    assert color["most_frequent"] == [
        {"value": "blue", "code": 1, "records": 20}, {"value": "green", "code": 2, "records": 20},
        {"value": "red", "code": 3, "records": 20}, {"value": "tab\t", "code": 0, "records": 10}]
    assert size["most_frequent"] == [{"value": "M", "code": 0, "records": 50},
                                     {"value": "L", "code": 1, "records": 20}]
    assert r["warnings"] == []

    assert main(["inspect", tmp_index_path, "--top", "1"]) == 0
    text = capsys.readouterr().out.splitlines()
    assert text[2] == ("header       magic KRVX, version 1, 70 records, 2 traits, 8-bit codes, "
                       "vector_dim 12")
    assert '             0  "color", 4 values, 4 in use: "blue" 20' in text
    assert text[-1] == "warnings     none"


def test_counts_of_one_take_the_singular(tmp_index_path, capsys):
    idx = HybridIndex.builder(["color"], 8)
    idx.add_record(7, {"color": "red"}, [1.0] * 8, 0)
    idx.save(tmp_index_path)
    assert main(["inspect", tmp_index_path]) == 0
    text = capsys.readouterr().out
    for phrase in ["1 record, 1 trait,", "  1 byte\n", "1 byte each", "1 record has one",
                   '"color", 1 value, 1 in use']:
        assert phrase in text, phrase
    assert " 1 values" not in text and " 1 records" not in text and " 1 bytes" not in text


@pytest.mark.parametrize("bit_width", [4, 8, 16])
def test_codes_decoded_at_every_bit_width(tmp_index_path, capsys, bit_width):
    # 130 records: two full blocks and a partial one; codes use the top bit of the width.
    top = (1 << bit_width) - 1
    codes = [[top if r % 3 == 0 else r % 5, r % 2] for r in range(130)]
    names = {c: "v%d" % c for c in {top, 0, 1, 2, 3, 4}}
    write_index(tmp_index_path, data_file(codes, [b""] * 130, [NO_OFFSET] * 130, 2, bit_width, 0),
                sidecar(["a", "b"], [{v: c for c, v in names.items()}, {"x": 0, "y": 1}],
                        range(130)))
    r = report(tmp_index_path, capsys)
    counts = {}
    for c, _ in codes:
        counts[c] = counts.get(c, 0) + 1
    got = {e["code"]: e["records"] for e in r["traits"][0]["most_frequent"]}
    assert got == dict(sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))[:5])
    assert [e["records"] for e in r["traits"][1]["most_frequent"]] == [65, 65]
    assert r["warnings"] == []


GOOD_CODES = [[0], [1], [1]]
WARNING_CASES = [
    ("fewer identifiers", {"doc_ids": [7, 8]},
     ["sidecar lists 2 document identifiers but the data file holds 3 records (search reports "
      "the record index for records without one)"]),
    ("more identifiers", {"doc_ids": [1, 2, 3, 4]},
     ["sidecar lists 4 document identifiers but the data file holds 3 records (the extra "
      "identifiers are unused)"]),
    ("schema longer than the header", {"schema": ["t", "u"], "dicts": [{"a": 0, "b": 1}, {}]},
     ["sidecar schema names 2 traits but the data file header says 1 (filters on the extra names "
      "fail at search time)"]),
    ("fewer dictionaries", {"dicts": []},
     ["sidecar has 0 value dictionaries for 1 trait name",
      'trait "t": 3 records with codes that have no value in the sidecar (0, 1)']),
    ("schema shorter than the header", {"codes": [[0, 0]] * 3, "dicts": [{"a": 0}]},
     ["sidecar schema names 1 trait but the data file header says 2",
      "trait #1: 3 records with codes that have no value in the sidecar (0)"]),
    ("code beyond the bit width", {"dicts": [{"a": 0, "b": 1, "big": 257}]},
     ['trait "t": value "big" has code 257, which does not fit the data file\'s 8-bit codes '
      "(a filter on it matches no record)"]),
    ("records with unnamed codes", {"codes": [[0], [5], [5]]},
     ['trait "t": 2 records with codes that have no value in the sidecar (5)']),
    ("two values, one code", {"dicts": [{"a": 0, "b": 1, "c": 1}]},
     ['trait "t": values "b", "c" share code 1']),
    ("repeated trait name", {"codes": [[0, 0]] * 3, "schema": ["t", "t"], "dicts": [{"a": 0}] * 2},
     ['trait names repeated in the schema (filters use the first): "t"']),
    ("trailing bytes", {"extra": b"zz"}, ["2 bytes after the last section are ignored"]),
]


@pytest.mark.parametrize("case,change,expected", WARNING_CASES, ids=[c[0] for c in WARNING_CASES])
def test_warnings_when_the_files_disagree(tmp_index_path, capsys, case, change, expected):
    files = {"codes": GOOD_CODES, "schema": ["t"], "dicts": [{"a": 0, "b": 1}],
             "doc_ids": [1, 2, 3], "extra": b"", **change}
    trait_count = len(files["codes"][0])
    write_index(tmp_index_path,
                data_file(files["codes"], [b""] * 3, [NO_OFFSET] * 3, trait_count, 8, 0,
                          files["extra"]),
                sidecar(files["schema"], files["dicts"], files["doc_ids"]))
    HybridIndex.load(tmp_index_path)  # the engine accepts every one of these pairs
    assert report(tmp_index_path, capsys)["warnings"] == expected
    assert main(["inspect", tmp_index_path]) == 0
    assert capsys.readouterr().out.endswith(
        "warnings     %d\n%s\n" % (len(expected), "\n".join("  - " + w for w in expected)))


def test_sidecar_the_engine_reads_but_json_does_not(tmp_index_path, capsys):
    meta = b'{"schema":["t"],"dicts":[{"a":0,"b":01}],"doc_ids":[1, 2,,+3 ,]}'
    write_index(tmp_index_path, data_file(GOOD_CODES, [b""] * 3, [NO_OFFSET] * 3, 1, 8, 0), meta)
    r = report(tmp_index_path, capsys)
    assert len(r["warnings"]) == 1
    assert r["warnings"][0].startswith("sidecar contents not shown: not standard JSON (")
    assert r["schema"] is None and r["doc_ids"] is None
    assert [e["records"] for e in r["traits"][0]["most_frequent"]] == [2, 1]


BAD_FILES = [
    ("missing data file", None, None,
     "Failed to open '{p}': File access failed: No such file or directory (os error 2)"),
    ("empty data file", b"", b"{}",
     "Invalid korvix file '{p}': File truncated: expected at least 64 bytes, found 0"),
    ("wrong magic", b"KRVY" + bytes(60), b"{}",
     "Invalid korvix file '{p}': Invalid magic bytes: expected KRVX, found [75, 82, 86, 89]"),
    ("missing sidecar", "good", None,
     "Failed to read metadata '{p}.meta': No such file or directory (os error 2)"),
    ("pretty-printed sidecar", "good", b'{"schema": ["t"], "dicts": [{}], "doc_ids": []}',
     "Invalid metadata file '{p}.meta': Missing 'schema' field"),
]


@pytest.mark.parametrize("case,data,meta,message", BAD_FILES, ids=[c[0] for c in BAD_FILES])
@pytest.mark.parametrize("fmt", [[], ["--json"]], ids=["text", "json"])
def test_bad_files_give_one_line_and_status_1(tmp_index_path, case, data, meta, message, fmt):
    if data == "good":
        data = data_file(GOOD_CODES, [b""] * 3, [NO_OFFSET] * 3, 1, 8, 0)
    if data is not None:
        write_index(tmp_index_path, data, meta)
    done = run_cli("inspect", tmp_index_path, *fmt)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == "korvel inspect: " + message.format(p=tmp_index_path) + "\n"


def test_version_and_usage():
    done = run_cli("--version")
    assert (done.returncode, done.stdout) == (0, f"korvel {korvel.__version__}\n")
    assert korvel.__version__ != "0+unknown" or "site-packages" not in korvel.__file__
    done = run_cli()
    assert done.returncode == 2 and "inspect" in done.stdout


def sparse_index(path, n, dim=8):
    """A data file of n all-zero records (sparse on disk) and a sidecar without doc_ids."""
    header = b"KRVX" + struct.pack("<HQHHB", 1, n, 1, dim, 8)
    write_index(path, header + bytes(64 - len(header)), sidecar(["t"], [{"v": 0}], []))
    os.truncate(path, 64 + (n + 63) // 64 * 64 + n * ((dim + 7) // 8) + n * 8)


def test_memory_does_not_grow_with_the_record_count(tmp_index_path, capsys):
    peaks = []
    for n in (1 << 17, 1 << 21):
        sparse_index(tmp_index_path, n)
        tracemalloc.start()  # NumPy reports its array buffers to tracemalloc
        r = report(tmp_index_path, capsys)
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
        assert r["traits"][0]["most_frequent"] == [{"value": "v", "code": 0, "records": n}]
        assert r["embeddings"] == {"zero_signatures": n, "with_external_offset": n,
                                   "embeddings_data_bytes": 32}
    assert peaks[1] < peaks[0] + (1 << 20)


@pytest.mark.parametrize("exc,status,err", [
    (KeyboardInterrupt, 130, ""),
    (MemoryError, 1, "korvel inspect: Not enough memory to inspect '{p}'\n"),
])
def test_interrupted_or_failing_data_pass_ends_quietly(tmp_index_path, capsys, monkeypatch, exc,
                                                       status, err):
    # The views of the mapping must be gone before it closes: else a BufferError follows.
    sparse_index(tmp_index_path, 1000)

    def fail(*args, **kwargs):
        raise exc

    monkeypatch.setattr(np, "bincount", fail)
    assert main(["inspect", tmp_index_path]) == status
    assert capsys.readouterr() == ("", err.format(p=tmp_index_path))
