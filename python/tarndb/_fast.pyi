# Type stubs of tarndb._fast, the package's native fast path.
from typing import Any

ROUTE: str

def route(key: str | bytes, n: int) -> int: ...
def unpackb(data: bytes | bytearray | memoryview) -> Any: ...
