"""JSON rendering of stored objects for the command-line tool.

msgpack can hold a few things JSON cannot; they are shown as follows:

- ``bytes``: ``{"$base64": "<standard base64>"}``
- a map key that is bytes: ``"$base64:<standard base64>"``; a tuple key:
  its JSON array text; int, float, bool and None keys as ``json`` writes them
- a msgpack extension type: ``{"$ext": <type code>, "$base64": "<data>"}``
- a msgpack timestamp: ``{"$timestamp": "<ISO 8601, UTC>"}``
- a float JSON has no number for: ``{"$float": "NaN"}``, ``{"$float":
  "Infinity"}``, ``{"$float": "-Infinity"}`` (the output stays strict JSON)
- a numpy array: ``{"$array": {"dtype": "<f4", "shape": [2, 3], "values":
  [[...], [...]]}}``, the dtype as numpy writes it (``dtype.str``), the
  values as nested lists in C order (a 0-d array: the value alone); a
  complex number is ``{"$complex": [real, imaginary]}``
"""

from __future__ import annotations

import base64
import json
import math
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _key(key: Any) -> Any:
    if isinstance(key, float) and not math.isfinite(key):
        return json.dumps(_float(key), separators=(",", ":"))
    if isinstance(key, (str, int, float)) or key is None:
        return key
    if isinstance(key, bytes):
        return "$base64:" + _b64(key)
    return json.dumps(to_json(key), ensure_ascii=False, separators=(",", ":"))


def _float(x: float) -> Any:
    if math.isfinite(x):
        return x
    return {"$float": "NaN" if math.isnan(x) else ("Infinity" if x > 0 else "-Infinity")}


def _array(obj: Any) -> dict[str, Any]:
    return {"$array": {"dtype": obj.dtype.str, "shape": list(obj.shape), "values": to_json(obj.tolist())}}


def to_json(obj: Any) -> Any:
    """*obj* with every part JSON cannot hold replaced as described above."""
    if isinstance(obj, float):
        return _float(obj)
    if isinstance(obj, (str, int)) or obj is None:
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
    if isinstance(obj, complex):
        return {"$complex": [_float(obj.real), _float(obj.imag)]}
    if type(obj).__name__ == "ndarray" and type(obj).__module__ == "numpy":
        return _array(obj)
    return repr(obj)


def dumps(obj: Any, indent: int | None = None) -> str:
    """The JSON text of *obj* (UTF-8 text, not ASCII-escaped)."""
    separators = (",", ": ") if indent else (", ", ": ")
    return json.dumps(to_json(obj), ensure_ascii=False, indent=indent, separators=separators, allow_nan=False)
