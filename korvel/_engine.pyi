"""Type information for the array front end's extension module."""

from typing import Optional, Union, final

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
    ) -> tuple[npt.NDArray[np.uint64], npt.NDArray[np.float32], npt.NDArray[np.int64]]: ...
    def count(self, filters: Optional[_Node] = None) -> int: ...
    def facets(self, trait: str, filters: Optional[_Node] = None) -> dict[str, int]: ...
    def __len__(self) -> int: ...
    @property
    def schema(self) -> list[str]: ...
    @property
    def dim(self) -> int: ...
    @property
    def paths(self) -> list[str]: ...
    @property
    def shard_sizes(self) -> list[int]: ...

def open(paths: Union[str, list[str]]) -> Index: ...
