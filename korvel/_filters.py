"""Filters of `Index.search`, `Index.count` and `Index.facets`.

A filter is a dict of trait name -> value (a `str` for equality, a list, tuple or set of `str`
for "any of"; the entries are combined with AND), or `Or`, `And` and `Not` over such filters.
`to_node` turns one into the tuples that `korvel._engine` reads.
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Union

FilterNode = tuple[object, ...]


class And:
    """Records matching every one of `filters` (all records when there are none)."""

    __slots__ = ("filters",)

    def __init__(self, *filters: Filter) -> None:
        self.filters = filters

    def __repr__(self) -> str:
        return f"And({', '.join(map(repr, self.filters))})"


class Or:
    """Records matching at least one of `filters` (no record when there are none)."""

    __slots__ = ("filters",)

    def __init__(self, *filters: Filter) -> None:
        self.filters = filters

    def __repr__(self) -> str:
        return f"Or({', '.join(map(repr, self.filters))})"


class Not:
    """Records not matching `filter`."""

    __slots__ = ("filter",)

    def __init__(self, filter: Filter) -> None:  # noqa: A002 - the natural name
        self.filter = filter

    def __repr__(self) -> str:
        return f"Not({self.filter!r})"


Filter = Union[Mapping[str, Union[str, Iterable[str]]], And, Or, Not]


def _values(name: str, value: object) -> tuple[str, ...]:
    if isinstance(value, str):
        return (value,)
    if isinstance(value, (list, tuple, set, frozenset)) and all(isinstance(v, str) for v in value):
        return tuple(value)
    raise TypeError(
        f"where[{name!r}]: expected a str or a list, tuple or set of str, got {value!r}"
    )


def to_node(where: Filter) -> FilterNode:
    """The engine's form of one filter; TypeError for anything that is not a filter."""
    if isinstance(where, Mapping):
        leaves = []
        for name, value in where.items():
            if not isinstance(name, str):
                raise TypeError(f"where: trait names must be str, got {name!r}")
            leaves.append(("in", name, _values(name, value)))
        return leaves[0] if len(leaves) == 1 else ("and", tuple(leaves))
    if isinstance(where, And):
        return ("and", tuple(to_node(f) for f in where.filters))
    if isinstance(where, Or):
        return ("or", tuple(to_node(f) for f in where.filters))
    if isinstance(where, Not):
        return ("not", to_node(where.filter))
    raise TypeError(
        "where: expected a dict of trait -> value(s), korvel.And/Or/Not, or a list with one "
        f"filter per query, got {type(where).__name__}"
    )
