"""msgpack encoding of stored objects.

Objects are packed with msgpack's defaults (``use_bin_type=True``): ``str``
stays ``str``, ``bytes`` stays ``bytes``, tuples come back as lists.  Maps
may have any hashable keys; a map key that msgpack would decode as a list
(a tuple key when packed) comes back as a tuple, so that it stays hashable.

:func:`to_builtin` is a ready ``default=`` hook for the types msgpack cannot
hold that data most often carries.
"""

from __future__ import annotations

import datetime
import decimal
import uuid
from collections.abc import Callable
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]

from tarndb import _fast
from tarndb.errors import TarnCorruptError

#: A ``default=`` hook: given a value msgpack cannot hold, returns one it can
#: (or raises TypeError).
Default = Callable[[Any], Any]


def pack(obj: object, default: Default | None = None) -> bytes:
    """The msgpack bytes of *obj*.  TypeError for a type msgpack cannot
    hold (after *default*, if given, has had its say), OverflowError for an
    integer outside 64 bits."""
    data: bytes = msgpack.packb(obj, default=default)
    return data


def _hashable(value: Any) -> Any:
    if isinstance(value, list):
        return tuple(_hashable(v) for v in value)
    return value


def _pairs_to_dict(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    return {_hashable(k): v for k, v in pairs}


def _drop_pairs(pairs: list[tuple[Any, Any]]) -> None:
    return None


def unpack(data: bytes, key: str | bytes) -> Any:
    """The object held in *data*, stored under *key* (named in errors).

    Bytes that are not one complete msgpack value raise TarnCorruptError:
    the tarndb writer never stores such payloads.
    """
    try:
        try:
            return msgpack.unpackb(data, strict_map_key=False)
        except TypeError:
            # An unhashable map key (a list): decode again, keys as tuples.
            return msgpack.unpackb(data, strict_map_key=False, object_pairs_hook=_pairs_to_dict)
    except (ValueError, TypeError) as exc:
        raise TarnCorruptError(f"object of key {key!r} is not valid msgpack: {exc}") from exc


def check_payload(data: bytes) -> None:
    """ValueError unless *data* is exactly one msgpack value that a reader
    can decode: the readers' own native decoder decides."""
    _fast.check_payload(data)


def to_builtin(obj: Any) -> Any:
    """A ``default=`` hook for :class:`tarndb.TarnWriter` (as for
    ``msgpack.packb``) that stores common types msgpack cannot hold:

    - ``datetime.datetime``, ``datetime.date``, ``datetime.time``: their
      ISO 8601 text (``obj.isoformat()``; an aware datetime keeps its offset)
    - ``datetime.timedelta``: its length in seconds, a float
    - ``decimal.Decimal``: its exact text (``str(obj)``, e.g. ``"1.10"``)
    - ``uuid.UUID``: its canonical text (``"12345678-1234-..."``)
    - numpy scalars: the matching Python ``int``, ``float``, ``bool``,
      ``str`` or ``bytes`` (complex numbers are refused);
      ``numpy.datetime64``: its ISO 8601 text, as numpy writes it
    - numpy arrays: nested lists of those (``obj.tolist()``)
    - ``set`` and ``frozenset``: a list, sorted when the items allow it

    Anything else raises TypeError naming the type.  Values come back from
    a reader as what they were stored as (text, numbers, lists), not as the
    original types.
    """
    if isinstance(obj, (datetime.date, datetime.time)):  # datetime is a date
        return obj.isoformat()
    if isinstance(obj, datetime.timedelta):
        return obj.total_seconds()
    if isinstance(obj, decimal.Decimal):
        return str(obj)
    if isinstance(obj, uuid.UUID):
        return str(obj)
    if isinstance(obj, (set, frozenset)):
        try:
            return sorted(obj)
        except TypeError:
            return list(obj)
    if type(obj).__module__ == "numpy" and hasattr(obj, "tolist"):
        if getattr(getattr(obj, "dtype", None), "kind", "") == "M":
            # datetime64 of any unit, scalar or array: numpy's own ISO 8601 text
            # (tolist() would give bare integers for nanosecond units).
            return str(obj) if obj.ndim == 0 else obj.astype(str).tolist()
        value = obj.tolist()
        # A scalar gives a Python scalar, which may itself need a turn; an
        # array's items get theirs from msgpack, item by item.
        if isinstance(value, (list, int, float, bool, str, bytes)) or value is None:
            return value
        return to_builtin(value)
    raise TypeError(f"cannot store an object of type {type(obj).__module__}.{type(obj).__qualname__}")
