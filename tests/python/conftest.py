import pytest

from korvel import HybridIndex


@pytest.fixture
def tmp_index_path(tmp_path):
    return str(tmp_path / "index.korvix")


@pytest.fixture
def small_index():
    """Two traits, dimension 4, three records."""
    idx = HybridIndex.builder(["color", "size"], 4)
    idx.add_record(1001, {"color": "red", "size": "S"}, [1.0, -2.0, 3.0, 0.0], 0)
    idx.add_record(1002, {"color": "blue", "size": "XL"}, [-1.0, 2.0, 0.5, 4.0], 16)
    idx.add_record(1003, {"color": "red"})
    return idx
