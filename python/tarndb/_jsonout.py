"""JSON rendering of stored objects for the command-line tool.

msgpack can hold a few things JSON cannot; they are shown as follows:

- ``bytes``: ``{"$base64": "<standard base64>"}``
- a map key that is bytes: ``"$base64:<standard base64>"``; a tuple key:
  its JSON array text; int, float, bool and None keys as ``json`` writes them
- a msgpack extension type: ``{"$ext": <type code>, "$base64": "<data>"}``
- a msgpack timestamp: ``{"$timestamp": "<ISO 8601, UTC>"}``
"""

from __future__ import annotations

import base64
import json
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _key(key: Any) -> Any:
    if isinstance(key, (str, int, float)) or key is None:
        return key
    if isinstance(key, bytes):
        return "$base64:" + _b64(key)
    return json.dumps(to_json(key), ensure_ascii=False, separators=(",", ":"))


def to_json(obj: Any) -> Any:
    """*obj* with every part JSON cannot hold replaced as described above."""
    if isinstance(obj, (str, int, float)) or obj is None:
        return obj
    if isinstance(obj, dict):
        return {_key(k): to_json(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return [to_json(v) for v in obj]
    if isinstance(obj, bytes):
        return {"$base64": _b64(obj)}
    if isinstance(obj, msgpack.Timestamp):
        return {"$timestamp": obj.to_datetime().isoformat()}
    if isinstance(obj, msgpack.ExtType):
        return {"$ext": obj.code, "$base64": _b64(obj.data)}
    return repr(obj)


def dumps(obj: Any, indent: int | None = None) -> str:
    """The JSON text of *obj* (UTF-8 text, not ASCII-escaped)."""
    separators = (",", ": ") if indent else (", ", ": ")
    return json.dumps(to_json(obj), ensure_ascii=False, indent=indent, separators=separators)
