import os

import pytest
from hypothesis import HealthCheck, settings

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


# Property tests: a moderate number of examples by default; KORVEL_LONG_TESTS=1 (or
# pytest --hypothesis-profile=long) runs the long version of every randomised test.
LONG_TESTS = os.environ.get("KORVEL_LONG_TESTS") == "1"
settings.register_profile("ci", max_examples=40, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("long", max_examples=2000, deadline=None,
                          suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("long" if LONG_TESTS else "ci")
