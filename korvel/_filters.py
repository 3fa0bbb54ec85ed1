"""Filters of `Index.search`, `Index.count` and `Index.facets`.

A filter is a dict of trait name -> value (a `str` for equality, a list, tuple or set of `str`
for "any of"; the entries are combined with AND), a `Range` on a number or date trait, or `Or`,
`And` and `Not` over such filters. `to_node` turns one into the tuples that `korvel._engine`
reads.
"""

from __future__ import annotations

import datetime as _dt
import math
from collections.abc import Iterable, Mapping
from typing import Union

import numpy as np

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


class Range:
    """Records whose value of `trait` lies between `lo` and `hi`, both included; a bound left
    as None is open. Bounds are numbers (int, float, NumPy scalars) or dates
    (`datetime.datetime`, `datetime.date`, `numpy.datetime64`), both of one kind, compared with
    the trait's values exactly, as numbers or as points in time. Records without a value match
    nothing; a trait holding a value that is not of the bounds' kind is a ValueError."""

    __slots__ = ("trait", "lo", "hi", "_node")

    def __init__(self, trait: str, lo: object = None, hi: object = None) -> None:
        if not isinstance(trait, str):
            raise TypeError(f"Range: the trait name must be a str, got {trait!r}")
        if lo is None and hi is None:
            raise ValueError(f"Range({trait!r}): give lo, hi or both")
        kinds = {}
        for which, bound in (("lo", lo), ("hi", hi)):
            if bound is not None:
                kinds[which] = _bound(trait, which, bound)
        if len({kind for kind, _ in kinds.values()}) > 1:
            raise TypeError(f"Range({trait!r}): lo and hi must both be numbers or both dates")
        kind = next(iter(kinds.values()))[0]
        text = {which: value for which, (_, value) in kinds.items()}
        self.trait, self.lo, self.hi = trait, lo, hi
        self._node = ("range", trait, kind, text.get("lo"), text.get("hi"))

    def __repr__(self) -> str:
        return f"Range({self.trait!r}, lo={self.lo!r}, hi={self.hi!r})"


def _bound(trait: str, which: str, value: object) -> tuple[str, str]:
    """A bound's kind ("number" or "date") and its canonical value string."""
    if isinstance(value, (bool, np.bool_)):
        pass
    elif isinstance(value, (int, np.integer)):
        return "number", str(int(value))
    elif isinstance(value, (float, np.floating)):
        if math.isnan(value):
            raise ValueError(f"Range({trait!r}): {which} is NaN")
        return "number", repr(float(value))
    elif isinstance(value, _dt.datetime):
        if value.tzinfo is not None:
            value = value.astimezone(_dt.timezone.utc).replace(tzinfo=None)
        return "date", value.isoformat()
    elif isinstance(value, _dt.date):
        return "date", value.isoformat()
    elif isinstance(value, np.datetime64):
        if np.isnat(value):
            raise ValueError(f"Range({trait!r}): {which} is NaT")
        return "date", str(np.datetime_as_string(value))
    raise TypeError(
        f"Range({trait!r}): {which} must be a number, a date or None, got {value!r}"
    )


Filter = Union[Mapping[str, Union[str, Iterable[str]]], And, Or, Not, Range]


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
    if isinstance(where, Range):
        return where._node
    raise TypeError(
        "where: expected a dict of trait -> value(s), korvel.And/Or/Not, or a list with one "
        f"filter per query, got {type(where).__name__}"
    )
