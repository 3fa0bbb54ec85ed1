"""Korvel: in-process hybrid retrieval with exact categorical filters and vector ranking."""

from importlib import metadata as _metadata

from korvel._collection import Collection
from korvel._filters import And, Not, Or, Range
from korvel._index import Index, SearchResult, open
from korvel._manifest import write_manifest
from korvel._native import HybridIndex
from korvel._types import MemoryStats
from korvel._writer import IndexWriter

try:
    __version__ = _metadata.version("korvel")
except _metadata.PackageNotFoundError:  # running from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "And", "Collection", "HybridIndex", "Index", "IndexWriter", "MemoryStats", "Not", "Or", "Range",
    "SearchResult", "open", "write_manifest",
]
