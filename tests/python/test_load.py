"""load(): the four failure families, hand-made files, what is not cross-checked."""

import os

import numpy as np
import pytest

from korvel import HybridIndex

from index_files import NO_OFFSET, data_file, sidecar, write_index


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def load_error(exc, path):
    with pytest.raises(exc) as e:
        HybridIndex.load(path)
    assert type(e.value) is exc
    return str(e.value)


class TestFailures:
    def test_messages(self, tmp_path, small_index):
        p = str(tmp_path / "idx.korvix")
        before = open_fds()
        assert load_error(OSError, "missing.korvix") == (
            "Failed to open 'missing.korvix': File access failed: No such file or directory (os error 2)")
        assert load_error(OSError, str(tmp_path)).startswith(f"Failed to open '{tmp_path}': ")
        assert load_error(OSError, "a\0b") == (
            "Failed to open 'a\0b': File access failed: file name contained an unexpected NUL byte")
        write_index(p, b"", None)
        assert load_error(ValueError, p) == (
            f"Invalid korvix file '{p}': File truncated: expected at least 64 bytes, found 0")
        write_index(p, bytes(64), None)
        assert load_error(ValueError, p) == (
            f"Invalid korvix file '{p}': Invalid magic bytes: expected KRVX, found [0, 0, 0, 0]")
        good = data_file([[0]], [b"\x01"], [NO_OFFSET], 1, 8, 8)
        write_index(p, good[:-1], None)
        assert load_error(ValueError, p) == (
            f"Invalid korvix file '{p}': File truncated: expected at least {len(good)} bytes, "
            f"found {len(good) - 1}")
        write_index(p, good, None)
        assert load_error(OSError, p) == (
            f"Failed to read metadata '{p}.meta': No such file or directory (os error 2)")
        write_index(p, good, b'{"schema":["a"],"dicts":[{"\xff":0}],"doc_ids":[]}')
        assert load_error(OSError, p) == (
            f"Failed to read metadata '{p}.meta': stream did not contain valid UTF-8")
        write_index(p, good, b'{ "schema": ["a"], "dicts": [{}], "doc_ids": [] }')
        assert load_error(ValueError, p) == (
            f"Invalid metadata file '{p}.meta': Missing 'schema' field")
        write_index(p, good, b'{"schema":["a"],"dicts":[{"k":70000}],"doc_ids":[]}')
        assert load_error(ValueError, p) == (
            f"Invalid metadata file '{p}.meta': Invalid number '70000' for key 'k'")
        # Both files bad: the data file is reported.
        write_index(p, b"short", b"garbage")
        assert load_error(ValueError, p).startswith(f"Invalid korvix file '{p}': ")
        assert open_fds() == before, "no descriptor stays open after failures"

    def test_argument_errors(self):
        with pytest.raises(TypeError) as e:
            HybridIndex.load(5)
        assert str(e.value) == "argument 'path': 'int' object cannot be converted to 'PyString'"
        with pytest.raises(TypeError):
            HybridIndex.load(b"x")
        with pytest.raises(UnicodeEncodeError):
            HybridIndex.load("\udc80")
        with pytest.raises(TypeError) as e:
            HybridIndex.load()
        assert str(e.value) == "HybridIndex.load() missing 1 required positional argument: 'path'"


def test_round_trip_keeps_codes_and_ids(small_index, tmp_index_path):
    small_index.save(tmp_index_path)
    q = HybridIndex.load(path=tmp_index_path)
    rows = q.search({"color": "red"})
    assert rows.tolist() == [[1001.0, 0.0], [1003.0, 0.0]]
    assert q.search({"size": ""}).tolist() == [[1003.0, 0.0]]
    # The sidecar path is the data path plus ".meta", even without an extension.
    plain = os.path.join(os.path.dirname(tmp_index_path), "x")
    small_index.save(plain)
    assert HybridIndex.load(plain).search({}).shape == (3, 2)


def test_mode_errors_after_load(small_index, tmp_index_path):
    small_index.save(tmp_index_path)
    q = HybridIndex.load(tmp_index_path)
    with pytest.raises(ValueError) as e:
        q.add_record(1, {})
    assert str(e.value) == (
        "Cannot add records in query mode. Use HybridIndex.builder() to create a new index.")
    with pytest.raises(TypeError) as e:
        q.add_record("x", {})
    assert str(e.value).startswith("argument 'doc_id': ")
    with pytest.raises(TypeError) as e:
        q.add_record(1, {"a": 1})
    assert str(e.value) == "argument 'metadata': 'int' object cannot be converted to 'PyString'"
    with pytest.raises(ValueError) as e:
        q.save(tmp_index_path + "2")
    assert str(e.value) == (
        "Cannot save in query mode. Use HybridIndex.builder() to create a new index.")
    assert not os.path.exists(tmp_index_path + "2")


@pytest.mark.parametrize("bit_width", [4, 16])
def test_foreign_bit_widths(tmp_path, bit_width):
    n = 150
    codes = [[(r * 7) % (2**bit_width if bit_width == 4 else 300), r % 3] for r in range(n)]
    sigs = [bytes([r % 256, 0]) for r in range(n)]
    p = str(tmp_path / "w.korvix")
    values = sorted({c[0] for c in codes})
    dicts = [{"v%d" % c: c for c in values}, {"a": 0, "b": 1, "c": 2}]
    write_index(p, data_file(codes, sigs, [NO_OFFSET] * n, 2, bit_width, 9, extra=b"tail"),
                sidecar(["x", "y"], dicts, list(range(1000, 1000 + n))))
    q = HybridIndex.load(p)
    for c in values[:5] + values[-3:]:
        expect = [1000 + r for r in range(n) if codes[r][0] == c and codes[r][1] == 1]
        got = q.search({"x": "v%d" % c, "y": "b"}, top_k=10000)[:, 0].tolist()
        assert got == expect


def test_sidecar_and_data_file_are_not_cross_checked(tmp_path):
    p = str(tmp_path / "m.korvix")
    n = 40
    data = data_file([[0]] * n, [b""] * n, [NO_OFFSET] * n, 1, 8, 0)
    # More names than the header's trait count, fewer dictionaries than names, short doc_ids.
    write_index(p, data, sidecar(["a", "b", "c"], [{"x": 0}, {"y": 0}], [7, 8]))
    q = HybridIndex.load(p)
    rows = q.search({}, top_k=2)
    assert rows[:, 0].tolist() == [7, 8, 2, 3, 4, 5]
    assert q.search({"a": "x"}, top_k=1)[:, 0].tolist() == [7, 8, 2]
    with pytest.raises(ValueError) as e:
        q.search({"b": "y"})
    assert str(e.value) == "Trait index 1 out of range (valid: 0..1)"
    with pytest.raises(ValueError) as e:
        q.search({"c": "z"})
    assert str(e.value) == "Trait 'c' has no value dictionary in the index metadata"


def test_loaded_index_survives_a_save_over_its_file(tmp_path):
    p = str(tmp_path / "live.korvix")
    big = HybridIndex.builder(["a"], 32)
    rng = np.random.default_rng(1)
    vecs = rng.standard_normal((3000, 32)).astype(np.float32)
    for i, v in enumerate(vecs):
        big.add_record(i, {"a": str(i % 5)}, v)
    big.save(p)
    q = HybridIndex.load(p)
    before = q.search({"a": "3"}, vecs[0], top_k=50)
    small = HybridIndex.builder(["a"], 32)
    small.add_record(1, {"a": "3"})
    small.save(p)  # replaces the file the loaded index maps
    after = q.search({"a": "3"}, vecs[0], top_k=50)
    assert np.array_equal(before, after)
    assert HybridIndex.load(p).search({}).tolist() == [[1.0, 0.0]]


def test_non_regular_files_are_refused_at_once(tmp_path, small_index):
    """A FIFO must not wait for a writer, nor a device be read without end (in a child with a
    capped address space), at either path, directly or through a link."""
    import subprocess
    import sys

    good = str(tmp_path / "good.korvix")
    small_index.save(good)
    datas, sidecars = [], []
    for name, make in [("fifo", os.mkfifo), ("zero", lambda p: os.symlink("/dev/zero", p)),
                       ("urandom", lambda p: os.symlink("/dev/urandom", p)),
                       ("full", lambda p: os.symlink("/dev/full", p))]:
        data = str(tmp_path / f"{name}.korvix")
        make(data)
        make(data + "2.meta")
        os.link(good, data + "2")
        datas.append(data)
        sidecars.append(data + "2")
    script = (
        "import os, resource, sys\nfrom korvel import HybridIndex\n"
        "if os.environ.get('KORVEL_SANITIZED') != '1':\n"
        "    resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))\n"
        "for p in sys.argv[1:]:\n"
        "    try:\n        HybridIndex.load(p)\n"
        "    except (OSError, ValueError) as e:\n        print(type(e).__name__, e)\n")
    out = subprocess.run([sys.executable, "-c", script, *datas, *sidecars], capture_output=True,
                         text=True, timeout=60)
    assert out.stdout.splitlines() == [
        f"OSError Failed to open '{p}': File access failed: No such device (os error 19)"
        for p in datas] + [
        f"OSError Failed to read metadata '{p}.meta': No such device (os error 19)"
        for p in sidecars]
