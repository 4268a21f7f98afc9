"""The data set of the read-path benchmarks (bench/fast_path.py and
bench/fast_path_callgrind.py): str keys "user:" and 7 digits, values
{"id": int, "name": str, "tags": [1, 2, 3]} packed by msgpack, and one way
to build a store of them with the low-level writer.
"""

from __future__ import annotations

import os
from typing import Any

import msgpack

from tarndb._tarndb import _TarnWriter


def value(i: int) -> dict[str, Any]:
    return {"id": i, "name": f"item-{i}", "tags": [1, 2, 3]}


def key(i: int) -> str:
    return f"user:{i:07d}"


def build_tarn(path: str, order: list[int]) -> None:
    """Builds the store at *path* holding key(i) -> value(i) for each i of
    *order*, added in that order."""
    w = _TarnWriter()
    for i in order:
        w.add_key(key(i), w.add_object_raw(msgpack.packb(value(i))))
    # The low-level build prints a summary line on descriptor 1: keep the table clean.
    saved = os.dup(1)
    with open(os.devnull, "wb") as null:
        os.dup2(null.fileno(), 1)
        try:
            w.build(path)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
