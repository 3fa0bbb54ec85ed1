"""Typed shapes of the values that HybridIndex returns."""

from typing import TypedDict


class MemoryStats(TypedDict):
    """The dict returned by `HybridIndex.memory_stats()`."""

    rss_mb: float  # always 0.0: the resident size is not measured
    mmap_size_mb: float  # size of the mapped data file in MiB; 0.0 in build mode
    heap_allocations_bytes: int  # estimated heap held by the index's own containers
