# Type information for the package's own native module tarndb._fast.
#
# Store failures are raised directly as the tarndb.errors classes, with the
# core's message (no kind prefix) and, for operating-system failures, errno.

from collections.abc import Callable, Sequence
from typing import SupportsIndex, final

ROUTE: str

def route(key: str | bytes, n: int, /) -> int: ...

# (build number of this writer, counting from 1; path; objects; keys; file
# size in bytes; seconds)
_Report = tuple[int, str, int, int, int, float]

@final
class Writer:
    def __init__(self) -> None: ...
    def add_object_raw(self, raw_bytes: bytes) -> int: ...
    def add_key(self, key: str | bytes | bytearray | Sequence[int], obj_id: SupportsIndex) -> None: ...
    def build(self, path: str, progress: Callable[[int, int], object] | None = None) -> _Report: ...
    def last_report(self) -> _Report | None: ...
