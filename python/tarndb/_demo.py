"""Sample data for ``tarndb demo``: every named Unicode character.

The data comes from the standard library's ``unicodedata``, so the demo
needs no download.  Each character becomes one object, reachable under two
keys: its name ("GRINNING FACE") and its code point ("U+1F600").
"""

from __future__ import annotations

import sys
import unicodedata
from collections.abc import Iterator
from typing import Any

UNICODE_VERSION: str = unicodedata.unidata_version
LAST_CODE_POINT = sys.maxunicode


def code_point_key(cp: int) -> str:
    """The code-point key of *cp*: "U+" and at least four hex digits."""
    return f"U+{cp:04X}"


def character(cp: int) -> dict[str, Any] | None:
    """The record of code point *cp*, or None if it has no name."""
    ch = chr(cp)
    name = unicodedata.name(ch, None)
    if name is None:
        return None
    record: dict[str, Any] = {
        "char": ch,
        "name": name,
        "code_point": code_point_key(cp),
        "category": unicodedata.category(ch),
        "utf8": ch.encode("utf-8"),
    }
    numeric = unicodedata.numeric(ch, None)
    if numeric is not None:
        record["numeric"] = numeric
    decomposition = unicodedata.decomposition(ch)
    if decomposition:
        record["decomposition"] = decomposition
    return record


def characters() -> Iterator[tuple[int, dict[str, Any]]]:
    """Every named character as (code point, record), in code-point order."""
    for cp in range(LAST_CODE_POINT + 1):
        record = character(cp)
        if record is not None:
            yield cp, record
