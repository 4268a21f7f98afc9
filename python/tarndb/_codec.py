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
import struct
import uuid
from collections.abc import Callable
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]

from tarndb import _fast
from tarndb.errors import TarnCorruptError

#: A ``default=`` hook: given a value msgpack cannot hold, returns one it can
#: (or raises TypeError).
Default = Callable[[Any], Any]


#: The msgpack extension code of a stored numpy array (see README, "The
#: file format"); its data is laid out as :func:`pack_array` writes it.
ARRAY_EXT = 78
_ARRAY_LAYOUT = 1
#: numpy dtype kinds stored as arrays: bool, signed and unsigned integers,
#: floats, complex numbers, fixed-width text (UTF-32) and fixed-width bytes.
_ARRAY_KINDS = frozenset("biufcUS")
_MAX_DIMS = 64


def _is_ndarray(obj: object) -> bool:
    # Recognised by name, so that storing never imports numpy.
    cls = type(obj)
    return any(c.__name__ == "ndarray" and c.__module__ == "numpy" for c in cls.__mro__)


def pack_array(array: Any) -> msgpack.ExtType:
    """A numpy array as one msgpack extension value (code ARRAY_EXT):

    - layout version, u8 (1)
    - dtype length, u8; the dtype as numpy writes it (``dtype.str``: byte
      order ``<``, ``>`` or ``|``, kind letter, item size: ``"<f4"``)
    - number of dimensions, u8; each dimension, u64 big-endian
    - the items, in C order, in the dtype's own byte order

    TypeError for an array of objects, records or other kinds."""
    dtype = array.dtype
    if dtype.kind not in _ARRAY_KINDS or dtype.fields is not None or dtype.subdtype is not None:
        raise TypeError(
            f"cannot store a numpy array of dtype {dtype}: only bool, integer, float, complex and fixed-width "
            "str or bytes arrays can be stored (convert it to a list first)"
        )
    if array.ndim > _MAX_DIMS:
        raise TypeError(f"cannot store a numpy array of {array.ndim} dimensions (at most {_MAX_DIMS})")
    code = dtype.str.encode("ascii")
    head = struct.pack(f">BB{len(code)}sB{array.ndim}Q", _ARRAY_LAYOUT, len(code), code, array.ndim, *array.shape)
    return msgpack.ExtType(ARRAY_EXT, head + array.tobytes(order="C"))


def storable_array(obj: object) -> bool:
    """Whether *obj* is a numpy array that :func:`pack_array` stores."""
    if not _is_ndarray(obj):
        return False
    dtype: Any = getattr(obj, "dtype")
    return dtype.kind in _ARRAY_KINDS and dtype.fields is None and dtype.subdtype is None


def with_arrays(default: Default | None) -> Default:
    """A ``default=`` hook for msgpack that stores numpy arrays as array
    values and hands anything else to *default*.  An array of another kind
    (objects, datetimes, records) goes to *default* too, and raises
    TypeError without one."""

    def hook(obj: Any) -> Any:
        if storable_array(obj) or (default is None and _is_ndarray(obj)):
            return pack_array(obj)
        if default is None:
            raise TypeError(f"can not serialize {type(obj).__name__!r} object")
        return default(obj)

    return hook


#: The hook without a *default*: made once, since every object a writer
#: stages is packed through it.
_ARRAYS_ONLY = with_arrays(None)


def pack(obj: object, default: Default | None = None) -> bytes:
    """The msgpack bytes of *obj*.  A numpy array is stored as one array
    value (:func:`pack_array`).  TypeError for a type msgpack cannot hold
    (after *default*, if given, has had its say), OverflowError for an
    integer outside 64 bits."""
    data: bytes = msgpack.packb(obj, default=_ARRAYS_ONLY if default is None else with_arrays(default))
    return data


def _hashable(value: Any) -> Any:
    if isinstance(value, list):
        return tuple(_hashable(v) for v in value)
    return value


def _pairs_to_dict(pairs: list[tuple[Any, Any]]) -> dict[Any, Any]:
    return {_hashable(k): v for k, v in pairs}


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
    - numpy arrays: nested lists of those (``obj.tolist()``); the writer
      itself stores arrays of numbers, bools, text and bytes as arrays
      before a hook is asked, so this is for the other kinds (objects,
      datetimes)
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
