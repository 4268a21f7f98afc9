"""The 40-byte header of a store file, read on its own.

Used where the native reader is not asked: for a shard's figures against
its store's manifest, and where the native reader cannot open a file
because its index or checksum is wrong: the header alone can still say
what the file is, and whether it is shorter than the header says.
"""

from __future__ import annotations

import os
import struct
from typing import Any

from tarndb._layout import user_objects

__all__ = ["HEADER_SIZE", "lookup_index_bytes", "parse", "read_header", "truncation"]

HEADER_SIZE = 40
_MAGIC = b"TNDB"
# magic, version, 3 reserved bytes, num_keys, num_objects, index_offset,
# data_offset, file CRC-32, 4 reserved bytes.
_LAYOUT = struct.Struct(">4sB3xIIQQI4x")
_ENTRY_LEAST = 10  # key length u16 + record offset u64, for an empty key


def parse(head: bytes) -> tuple[int, int, int, int, int, int] | None:
    """(version, num_keys, num_objects, index_offset, data_offset, file
    CRC-32) of the 40 header bytes *head*, the objects counted as the user
    sees them (:func:`tarndb._layout.user_objects`); None when *head* is not
    a store file's header."""
    if len(head) < HEADER_SIZE or head[:4] != _MAGIC:
        return None
    _magic, version, num_keys, num_objects, index_offset, data_offset, crc = _LAYOUT.unpack_from(head)
    return version, num_keys, user_objects(head, num_objects), index_offset, data_offset, crc


def lookup_index_bytes(head: bytes) -> int:
    """The size of the lookup index record (its 8-byte prefix included) that
    the 40 header bytes *head* announce: bytes 5 to 7 ``LX`` and 1, the
    payload length in bytes 36 to 39; 0 when they announce none.  The
    figure a reader that accepts the record reports."""
    if len(head) < HEADER_SIZE or head[5:8] != b"LX\x01":
        return 0
    return 8 + int.from_bytes(head[36:40], "big")


def read_header(path: str) -> tuple[dict[str, Any], int] | None:
    """The header's figures of *path* and the file's size in bytes, or None
    when the file cannot be read or its first 40 bytes are not a header."""
    try:
        with open(path, "rb") as f:
            head = f.read(HEADER_SIZE)
            size = os.fstat(f.fileno()).st_size
    except OSError:
        return None
    parsed = parse(head)
    if parsed is None:
        return None
    version, num_keys, num_objects, index_offset, data_offset, crc = parsed
    figures: dict[str, Any] = {
        "path": path,
        "version": version,
        "num_keys": num_keys,
        "num_objects": num_objects,
        "index_offset": index_offset,
        "data_offset": data_offset,
        "file_size": size,
        "file_crc32": f"0x{crc:08x}",
        "lookup_index_bytes": 0,  # not in use while the file cannot be opened
    }
    return figures, size


def truncation(path: str) -> str | None:
    """"truncated: ..." with the file's length and the length its header
    implies (the index section's entries walked from ``index_offset``), when
    *path* is a store file shorter than that; else None."""
    found = read_header(path)
    if found is None:
        return None
    figures, size = found
    index_offset, num_keys = figures["index_offset"], figures["num_keys"]
    if index_offset > size:
        least = index_offset + _ENTRY_LEAST * num_keys
        return (
            f"truncated: the file is {size:,} bytes, but its header puts the index at byte {index_offset:,} "
            f"(at least {least:,} bytes for {num_keys:,} keys)"
        )
    try:
        with open(path, "rb") as f:
            f.seek(index_offset)
            index = f.read()
    except OSError:
        return None
    pos = 0
    for _ in range(num_keys):
        if len(index) - pos < 2:
            needed = index_offset + pos + _ENTRY_LEAST
            break
        (key_len,) = struct.unpack_from(">H", index, pos)
        pos += 2 + key_len + 8
        if pos > len(index):
            needed = index_offset + pos
            break
    else:
        return None
    return f"truncated: the file is {size:,} bytes, but its header and index need at least {needed:,}"
