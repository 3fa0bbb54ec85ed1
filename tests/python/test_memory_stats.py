"""memory_stats() in both modes."""

import pytest

from korvel import HybridIndex

from index_files import NO_OFFSET, data_file, sidecar, write_index


def test_build_mode_grows_with_records():
    idx = HybridIndex.builder(["color", "size"], 4)
    first = idx.memory_stats()
    assert set(first) == {"rss_mb", "mmap_size_mb", "heap_allocations_bytes"}
    assert first["rss_mb"] == 0.0 and first["mmap_size_mb"] == 0.0
    assert isinstance(first["heap_allocations_bytes"], int) and first["heap_allocations_bytes"] > 0
    # The schema alone: 24 per slot plus each name's capacity, 48 per dictionary slot plus
    # the dictionaries' entry room; at least the fixed slot terms.
    assert first["heap_allocations_bytes"] >= 2 * 24 + 2 * 48
    idx.add_record(1, {"color": "red"}, [1, 2, 3, 4])
    second = idx.memory_stats()["heap_allocations_bytes"]
    # One record: at least its slot (64), two value slots (48) and the embedding (16).
    assert second >= first["heap_allocations_bytes"] + 64 + 48 + 16
    for i in range(100):
        idx.add_record(i, {"color": "c%d" % i, "size": "s"}, [0.0] * 4)
    assert idx.memory_stats()["heap_allocations_bytes"] > second + 100 * (64 + 48 + 16)
    assert idx.memory_stats() is not idx.memory_stats()


@pytest.mark.parametrize("size", [64, 1048576])
def test_query_mode_reports_mapping_size(tmp_path, size):
    p = str(tmp_path / "m.korvix")
    header_only = data_file([], [], [], 1, 8, 0)
    write_index(p, header_only + bytes(size - len(header_only)), sidecar(["a"], [{}], []))
    stats = HybridIndex.load(p).memory_stats()
    assert stats["mmap_size_mb"] == size / 1048576
    assert stats["rss_mb"] == 0.0
    # Query mode counts the schema, the identifiers and the dictionaries, not the mapping.
    assert 24 + 48 <= stats["heap_allocations_bytes"] < 4096


def test_query_mode_counts_identifiers(tmp_path):
    p = str(tmp_path / "ids.korvix")
    n = 1000
    write_index(p, data_file([[0]] * n, [b""] * n, [NO_OFFSET] * n, 1, 8, 0),
                sidecar(["a"], [{"x": 0}], list(range(n))))
    assert HybridIndex.load(p).memory_stats()["heap_allocations_bytes"] >= 8 * n


def test_build_mode_counts_each_record_as_received():
    # Known values leave the dictionaries alone, so each step is exactly the record's share:
    # two value strings (24-byte slots, 15 bytes of inline capacity each), the embedding
    # (4 per value), and 64 per slot of the record list whenever it doubles.
    idx = HybridIndex.builder(["color", "size"], 4)
    idx.add_record(0, {"color": "red", "size": "s"}, [1, 2, 3, 4])
    record = 2 * 24 + 2 * 15 + 4 * 4
    steps = []
    for i in range(1, 9):
        before = idx.memory_stats()["heap_allocations_bytes"]
        idx.add_record(i, {"color": "red", "size": "s"}, [0.5] * 4)
        steps.append(idx.memory_stats()["heap_allocations_bytes"] - before)
    slots = [1, 2, 0, 4, 0, 0, 0, 8]  # the list's growth at records 2..9
    assert steps == [record + 64 * s for s in slots]
    idx.add_record(9, {"color": "red", "size": "s"})  # no embedding: nothing for it
    assert idx.memory_stats()["heap_allocations_bytes"] - before - steps[-1] == 2 * 24 + 30
