"""Type information for the array front end's extension module."""

from collections.abc import Sequence
from typing import Any, Optional, SupportsIndex, Union, final

import numpy as np
import numpy.typing as npt

_Node = tuple[object, ...]
_Filters = Union[None, _Node, list[Optional[_Node]]]

@final
class Index:
    def search(
        self,
        Q: npt.NDArray[np.float32],
        k: int,
        filters: _Filters = None,
        oversample: Optional[int] = 3,
        embeddings: object = None,
        rerank: Optional[str] = None,
        threads: Optional[int] = None,
        rescore: Optional[int] = None,
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32], npt.NDArray[np.int64]]: ...
    def pools(
        self,
        Q: npt.NDArray[np.float32],
        k: int,
        filters: _Filters = None,
        oversample: Optional[int] = 3,
        embeddings: object = None,
        rerank: Optional[str] = None,
        threads: Optional[int] = None,
        rescore: Optional[int] = None,
        scope: Optional[tuple[int, int, int]] = None,
    ) -> tuple[
        npt.NDArray[np.uint64],
        npt.NDArray[np.int64],
        npt.NDArray[np.int64],
        npt.NDArray[np.uint64],
        npt.NDArray[np.int64],
    ]: ...
    def rescore(
        self,
        Q: npt.NDArray[np.float32],
        rows: npt.NDArray[np.uint32],
        shards: npt.NDArray[np.uint32],
        records: npt.NDArray[np.uint64],
        embeddings: object = None,
        rerank: Optional[str] = None,
        scope: Optional[tuple[int, int, int]] = None,
    ) -> npt.NDArray[np.float32]: ...
    def count(self, filters: Optional[_Node] = None) -> int: ...
    def facets(self, trait: str, filters: Optional[_Node] = None) -> dict[str, int]: ...
    def matching(self, shard: int, filters: Optional[_Node] = None) -> npt.NDArray[np.uint64]: ...
    def doc_ids(self, shard: int) -> npt.NDArray[np.uint64]: ...
    def rewrite(self, path: str, first: int, end: int) -> None: ...
    def __len__(self) -> int: ...
    @property
    def schema(self) -> list[str]: ...
    @property
    def dim(self) -> int: ...
    @property
    def paths(self) -> list[str]: ...
    @property
    def shard_sizes(self) -> list[int]: ...

def open(
    paths: Union[str, list[str]], deleted: Optional[list[Optional[npt.NDArray[np.uint64]]]] = None
) -> Index: ...
def thread_count() -> int: ...
def thread_count_source() -> str: ...

_Pools = tuple[
    npt.NDArray[np.uint64],
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.uint64],
    npt.NDArray[np.int64],
]

def merge_pools(parts: list[_Pools]) -> _Pools: ...
def rank_scored(
    ids: npt.NDArray[np.uint64],
    scores: npt.NDArray[np.float32],
    shards: npt.NDArray[np.int64],
    records: npt.NDArray[np.uint64],
    counts: npt.NDArray[np.int64],
) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32]]: ...
def kernel_info() -> dict[str, Any]: ...
def cascade_pick(
    scores: npt.NDArray[np.float32],
    counts: npt.NDArray[np.int64],
    rescore: Optional[int],
    k: int,
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...

# A trait column: str values, a NumPy str or object array, or (categories, integer codes).
_Column = Sequence[str] | npt.NDArray[Any] | tuple[Sequence[str], npt.NDArray[np.integer[Any]]]
# Anything exporting a buffer of integers or floats (NumPy arrays above all).
_Integers = npt.NDArray[np.integer[Any]] | memoryview | bytes | bytearray
_Floats = npt.NDArray[np.floating[Any]] | memoryview

@final
class Writer:
    """Builds an index from columns: document ids, one column of str per trait, an embedding
    matrix and external offsets. Keeps per record only what the data file holds."""

    def __new__(cls, schema: Sequence[str], dim: SupportsIndex) -> Writer: ...
    def add(
        self,
        doc_ids: _Integers,
        columns: dict[str, _Column] | None = None,
        embeddings: _Floats | None = None,
        offsets: _Integers | None = None,
    ) -> None: ...
    def save(self, path: str) -> None: ...
    def __len__(self) -> int: ...
    @property
    def schema(self) -> tuple[str, ...]: ...
    @property
    def dim(self) -> int: ...
