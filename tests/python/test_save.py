"""save(): byte-exact data files decoded independently, the sidecar text, replacement."""

import os
import random
import stat
import struct

import numpy as np
import pytest

from korvel import HybridIndex

from sidecar_reader import read_sidecar

NO_OFFSET = 2**64 - 1


def decode_data_file(raw):
    """Decodes a data file from the byte table alone (no shared code with the writer)."""
    magic, version, n, t, d, w = struct.unpack_from("<4sHQHHB", raw, 0)
    assert magic == b"KRVX" and version == 1
    assert raw[19:64] == bytes(45)
    blocks = (n + 63) // 64
    b = (d + 7) // 8
    planes_end = 64 + blocks * t * w * 8
    assert len(raw) == planes_end + n * (b + 8)
    codes = []
    for r in range(n):
        row = []
        for trait in range(t):
            code = 0
            for k in range(w):
                (word,) = struct.unpack_from("<Q", raw, 64 + 8 * ((r // 64) * t * w + trait * w + k))
                code |= ((word >> (r % 64)) & 1) << k
            row.append(code)
        codes.append(row)
    # Positions past the last record in the last block are zero in every plane word.
    if n % 64:
        for i in range(t * w):
            (word,) = struct.unpack_from("<Q", raw, 64 + 8 * ((blocks - 1) * t * w + i))
            assert word >> (n % 64) == 0
    sigs = [raw[planes_end + r * b: planes_end + (r + 1) * b] for r in range(n)]
    off_start = planes_end + n * b
    offsets = [struct.unpack_from("<Q", raw, off_start + 8 * r)[0] for r in range(n)]
    return dict(n=n, t=t, d=d, w=w, codes=codes, sigs=sigs, offsets=offsets)


def expected_signature(values):
    out = bytearray((len(values) + 7) // 8)
    for i, v in enumerate(np.asarray(values, dtype=np.float32)):
        if v > 0:
            out[i // 8] |= 1 << (i % 8)
    return bytes(out)


def test_small_index_exact_bytes(small_index, tmp_index_path):
    small_index.save(tmp_index_path)
    with open(tmp_index_path, "rb") as f:
        raw = f.read()
    assert len(raw) == 64 + 128 + 3 * 9
    assert raw[:19] == b"KRVX\x01\x00" + struct.pack("<Q", 3) + b"\x02\x00\x04\x00\x08"
    dec = decode_data_file(raw)
    assert dec["codes"] == [[0, 0], [1, 1], [0, 2]]
    assert dec["sigs"] == [b"\x05", b"\x0e", b"\x00"]
    assert dec["offsets"] == [0, 16, NO_OFFSET]
    with open(tmp_index_path + ".meta", "rb") as f:
        assert f.read() == (b'{"schema":["color","size"],"dicts":[{"red":0,"blue":1},'
                            b'{"S":0,"XL":1,"":2}],"doc_ids":[1001,1002,1003]}')


@pytest.mark.parametrize("n,d", [(0, 0), (1, 1), (63, 9), (64, 128), (65, 128), (200, 300)])
def test_random_builds_decode_back(tmp_path, n, d):
    rng = random.Random(n * 1000 + d)
    schema = ["t%d" % i for i in range(rng.randint(1, 4))]
    idx = HybridIndex.builder(schema, d)
    records = []
    for r in range(n):
        meta = {name: rng.choice(["a", "b", "c", "é", ""]) for name in schema if rng.random() < .8}
        emb = [rng.uniform(-1, 1) for _ in range(d)] if rng.random() < .7 else None
        off = rng.randrange(2**64 - 1) if rng.random() < .5 else None
        doc = rng.randrange(2**64)
        idx.add_record(doc, meta, emb, off)
        records.append((doc, meta, emb, off))
    path = str(tmp_path / "r.korvix")
    idx.save(path)
    with open(path, "rb") as f:
        dec = decode_data_file(f.read())
    side = read_sidecar(path + ".meta")
    assert (dec["n"], dec["t"], dec["d"], dec["w"]) == (n, len(schema), d, 8)
    assert side["schema"] == schema
    assert side["doc_ids"] == [doc for doc, *_ in records]
    for r, (doc, meta, emb, off) in enumerate(records):
        for t, name in enumerate(schema):
            assert side["dicts"][t][meta.get(name, "")] == dec["codes"][r][t]
        assert dec["sigs"][r] == (expected_signature(emb) if emb else bytes((d + 7) // 8))
        assert dec["offsets"][r] == (NO_OFFSET if off is None else off)
    for t in range(len(schema)):
        assert sorted(side["dicts"][t].values()) == list(range(len(side["dicts"][t])))


def test_save_is_reproducible_and_non_consuming(small_index, tmp_path):
    a, b, c = (str(tmp_path / x) for x in "abc")
    small_index.save(a)
    small_index.save(b)
    for suffix in ("", ".meta"):
        with open(a + suffix, "rb") as f1, open(b + suffix, "rb") as f2:
            assert f1.read() == f2.read()
    small_index.add_record(1004, {"size": "M"})
    small_index.save(c)
    side = read_sidecar(c + ".meta")
    assert side["doc_ids"] == [1001, 1002, 1003, 1004]
    assert side["dicts"][1] == {"S": 0, "XL": 1, "": 2, "M": 3}


def test_sidecar_escapes_round_trip(tmp_path):
    names = ['q"uote', "back\\slash", "tab\tnl\ncr\r", "[]{},:", "café", "\x01ctl"]
    idx = HybridIndex.builder(names, 0)
    idx.add_record(1, {n: n * 2 for n in names})
    path = str(tmp_path / "e")
    idx.save(path)
    with open(path + ".meta", "rb") as f:
        raw = f.read()
    assert b"\\u" not in raw and "café".encode() in raw and b"\x01ctl" in raw
    side = read_sidecar(path + ".meta") if b"\x01" not in raw else None
    assert side is None  # raw control bytes are not strict JSON; the own parser reads them


def test_paths_and_replacement(small_index, tmp_path):
    plain = str(tmp_path / "noext")
    small_index.save(plain)
    assert os.path.exists(plain) and os.path.exists(plain + ".meta")
    # Replacing a longer file leaves exactly the new content.
    target = str(tmp_path / "x.korvix")
    with open(target, "wb") as f:
        f.write(b"z" * 10000)
    small_index.save(target)
    assert os.path.getsize(target) == 64 + 128 + 27
    with pytest.raises(TypeError) as e:
        small_index.save(tmp_path / "p")
    assert str(e.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"


def test_permission_bits_follow_the_umask(small_index, tmp_path):
    old = os.umask(0o027)
    try:
        path = str(tmp_path / "perm")
        small_index.save(path)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert stat.S_IMODE(os.stat(path + ".meta").st_mode) == 0o640
    # A replaced pair keeps its own bits: a private index stays private.
    for p in (path, path + ".meta"):
        os.chmod(p, 0o600)
    small_index.save(path)
    assert [stat.S_IMODE(os.stat(p).st_mode) for p in (path, path + ".meta")] == [0o600] * 2


def test_failed_saves_leave_no_trace(small_index, tmp_path):
    missing = str(tmp_path / "no" / "such" / "dir.korvix")
    with pytest.raises(OSError) as e:
        small_index.save(missing)
    assert str(e.value) == f"Failed to write '{missing}': No such file or directory (os error 2)"
    assert type(e.value) is OSError
    # The data file cannot replace a directory; the old file of the sidecar stays as it was.
    target = tmp_path / "d.korvix"
    target.mkdir()
    with pytest.raises(OSError) as e:
        small_index.save(str(target))
    assert str(e.value).startswith(f"Failed to write '{target}': ")
    assert not os.path.exists(str(target) + ".meta")
    # The sidecar path is a directory: the error names the sidecar and, the pair being
    # replaced together or not at all, no data file is left either.
    good = tmp_path / "g.korvix"
    (tmp_path / "g.korvix.meta").mkdir()
    with pytest.raises(OSError) as e:
        small_index.save(str(good))
    assert str(e.value) == f"Failed to write metadata '{good}.meta': Is a directory (os error 21)"
    assert sorted(os.listdir(tmp_path)) == ["d.korvix", "g.korvix.meta"]
    with pytest.raises(OSError) as e:
        small_index.save(str(tmp_path / "nul\0byte"))
    assert str(e.value).endswith(": file name contained an unexpected NUL byte")


def test_replacing_keeps_readers_of_the_old_file_valid(small_index, tmp_path):
    import mmap

    path = str(tmp_path / "m.korvix")
    big = HybridIndex.builder(["a"], 64)
    for i in range(5000):
        big.add_record(i, {"a": str(i % 7)}, [1.0] * 64)
    big.save(path)
    with open(path, "rb") as f:
        mapped = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    small_index.save(path)  # a shorter file at the same path
    assert mapped[-8:] == struct.pack("<Q", NO_OFFSET)  # old pages are still there
    mapped.close()
