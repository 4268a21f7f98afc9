"""msgpack encoding of stored objects.

Objects are packed with msgpack's defaults (``use_bin_type=True``): ``str``
stays ``str``, ``bytes`` stays ``bytes``, tuples come back as lists.  Maps
may have any hashable keys; a map key that msgpack would decode as a list
(a tuple key when packed) comes back as a tuple, so that it stays hashable.
"""

from __future__ import annotations

from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]

from tarndb.errors import TarnCorruptError


def pack(obj: object) -> bytes:
    """The msgpack bytes of *obj*.  TypeError for a type msgpack cannot
    hold, OverflowError for an integer outside 64 bits."""
    data: bytes = msgpack.packb(obj)
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
        raise TarnCorruptError(f"TarnCorruptError: object of key {key!r} is not valid msgpack: {exc}") from exc
