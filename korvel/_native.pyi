"""Type information for the compiled extension module."""

from collections.abc import Sequence
from typing import Any, SupportsFloat, SupportsIndex, final

import numpy as np
import numpy.typing as npt

from korvel._types import MemoryStats

__all__ = ["HybridIndex"]

# An embedding or query vector: any sequence of numbers, or a NumPy array of them.
_Vector = Sequence[SupportsFloat | SupportsIndex] | npt.NDArray[Any]
# The caller's embeddings buffer: raw little-endian float32 values.
_Bytes = bytes | bytearray | npt.NDArray[np.uint8]

@final
class HybridIndex:
    """The primary Python API class for the Korvel hybrid retrieval engine.

    Supports two modes of operation:
    - **Build mode**: Created via `HybridIndex.builder()`, accepts records via
      `add_record()`, and persists to disk via `save()`.
    - **Query mode**: Created via `HybridIndex.load()`, executes searches via
      `search()`.
    """

    @staticmethod
    def builder(schema: Sequence[str], vector_dim: SupportsIndex) -> HybridIndex: ...
    def add_record(
        self,
        doc_id: SupportsIndex,
        metadata: dict[str, str],
        embedding: _Vector | None = None,
        external_offset: SupportsIndex | None = None,
    ) -> None: ...
    def save(self, path: str) -> None: ...
    @staticmethod
    def load(path: str) -> HybridIndex: ...
    def search(
        self,
        filters: dict[str, str],
        query_vector: _Vector | None = None,
        top_k: SupportsIndex | None = None,
        exact_rescore: bool | np.bool_ | None = None,
        embeddings_data: _Bytes | None = None,
    ) -> npt.NDArray[np.float64]: ...
    def memory_stats(self) -> MemoryStats: ...
