"""Craft ``.tndb`` files byte by byte for the reader tests.

The layout: a 40-byte header, object records from
offset 40, index entries from ``index_offset`` to the end of the file. Every
integer is big-endian. ``file_crc32`` is the CRC-32 (zlib's) of bytes
[40, end).

Three levels of help:

* field encoders: :func:`header`, :func:`record`, :func:`entry`;
* a builder, :class:`Craft`, that lays out records and entries, tracks record
  offsets and fills the header (every field overridable, CRC fixed up,
  corrupted or given verbatim);
* byte surgery on a finished file: :func:`patch`, :func:`flip`,
  :func:`set_crc`, :func:`fix_crc`, :func:`corrupt_crc`, :func:`set_u32`,
  :func:`set_u64`.

:func:`standard` builds exactly the file that a correct writer produces for a
set of objects and a key -> object-index mapping (records in object order,
keys sorted by their bytes).
"""

from __future__ import annotations

import struct
import zlib
from pathlib import Path
from typing import Iterable, Mapping, Sequence, Union

HEADER_SIZE = 40
MAGIC = b"TNDB"
VERSION = 2
RECORD_PREFIX = 8
ENTRY_OVERHEAD = 10

# Header field positions.
OFF_MAGIC = 0
OFF_VERSION = 4
OFF_NUM_KEYS = 8
OFF_NUM_OBJECTS = 12
OFF_INDEX_OFFSET = 16
OFF_DATA_OFFSET = 24
OFF_FILE_CRC = 32

# Sentinels for the ``crc`` argument of Craft.build.
FIX = "fix"          # the correct CRC-32 of bytes [40, end)
CORRUPT = "corrupt"  # the correct value with its lowest bit flipped

KeyLike = Union[bytes, str]


def crc32(data: bytes) -> int:
    """The standard CRC-32, as an unsigned 32-bit int."""
    return zlib.crc32(data) & 0xFFFFFFFF


def as_key(key: KeyLike) -> bytes:
    return key.encode("utf-8") if isinstance(key, str) else bytes(key)


def hex32(value: int) -> str:
    """The rendering of a checksum: '0x' and 8 lower-case hex digits."""
    return f"0x{value:08x}"


# ---------------------------------------------------------------------------
# Field encoders


def header(
    *,
    num_keys: int = 0,
    num_objects: int = 0,
    index_offset: int = HEADER_SIZE,
    data_offset: int = HEADER_SIZE,
    file_crc32: int = 0,
    magic: bytes = MAGIC,
    version: int = VERSION,
    reserved: bytes = b"\0\0\0",
    tail: bytes = b"\0\0\0\0",
) -> bytes:
    """The 40 header bytes. Every field can be set to anything its width holds."""
    assert len(magic) == 4 and len(reserved) == 3 and len(tail) == 4
    out = (
        magic
        + bytes([version])
        + reserved
        + struct.pack(">IIQQI", num_keys, num_objects, index_offset, data_offset, file_crc32)
        + tail
    )
    assert len(out) == HEADER_SIZE
    return out


def record(payload: bytes, *, crc: int | None = None, length: int | None = None) -> bytes:
    """An object record: payload length, payload CRC-32, payload.

    ``crc`` and ``length`` override the stored fields (the payload bytes stay).
    """
    n = len(payload) if length is None else length
    c = crc32(payload) if crc is None else crc
    return struct.pack(">II", n, c) + payload


def entry(key: KeyLike, offset: int, *, key_len: int | None = None) -> bytes:
    """An index entry: key length (u16), key bytes, record offset (u64)."""
    k = as_key(key)
    n = len(k) if key_len is None else key_len
    return struct.pack(">H", n) + k + struct.pack(">Q", offset)


# ---------------------------------------------------------------------------
# Builder


class Craft:
    """Lay out a file piece by piece.

    >>> c = Craft()
    >>> o = c.add_object(b"abc")      # returns the record's absolute offset
    >>> c.add_entry("k", o)
    >>> blob = c.build()              # header filled in, CRC fixed up
    """

    def __init__(self) -> None:
        self.data = bytearray()  # the data section (records, or raw bytes)
        self.entries: list[tuple[bytes, int]] = []
        self.offsets: list[int] = []  # offset of each add_object, in order

    # data section
    def add_object(self, payload: bytes, *, crc: int | None = None, length: int | None = None) -> int:
        off = HEADER_SIZE + len(self.data)
        self.data += record(payload, crc=crc, length=length)
        self.offsets.append(off)
        return off

    def add_raw_data(self, raw: bytes) -> int:
        """Append arbitrary bytes to the data section; returns their offset."""
        off = HEADER_SIZE + len(self.data)
        self.data += raw
        return off

    # index section
    def add_entry(self, key: KeyLike, offset: int) -> None:
        self.entries.append((as_key(key), offset))

    @property
    def index_offset(self) -> int:
        return HEADER_SIZE + len(self.data)

    def index_bytes(self) -> bytes:
        return b"".join(entry(k, o) for k, o in self.entries)

    def build(
        self,
        *,
        num_keys: int | None = None,
        num_objects: int | None = None,
        index_offset: int | None = None,
        data_offset: int = HEADER_SIZE,
        magic: bytes = MAGIC,
        version: int = VERSION,
        reserved: bytes = b"\0\0\0",
        tail: bytes = b"\0\0\0\0",
        crc: Union[int, str] = FIX,
        extra_index: bytes = b"",
    ) -> bytes:
        """The whole file.

        Counts default to what was added; ``index_offset`` to the end of the
        data section. ``crc`` is FIX (correct), CORRUPT (wrong by one bit) or a
        verbatim int. ``extra_index`` is appended after the entries (e.g. a
        cut-off entry).
        """
        body = bytes(self.data) + self.index_bytes() + extra_index
        blob = (
            header(
                num_keys=len(self.entries) if num_keys is None else num_keys,
                num_objects=len(self.offsets) if num_objects is None else num_objects,
                index_offset=self.index_offset if index_offset is None else index_offset,
                data_offset=data_offset,
                magic=magic,
                version=version,
                reserved=reserved,
                tail=tail,
                file_crc32=0,
            )
            + body
        )
        if crc == FIX:
            return fix_crc(blob)
        if crc == CORRUPT:
            return corrupt_crc(blob)
        assert isinstance(crc, int)
        return set_crc(blob, crc)


def standard(objects: Sequence[bytes], keys: Mapping[KeyLike, int]) -> bytes:
    """The file a correct writer builds: records in object order, entries
    sorted by key bytes (unsigned, prefix first), CRC fixed up."""
    c = Craft()
    for p in objects:
        c.add_object(p)
    by_bytes = {as_key(k): i for k, i in keys.items()}
    for k in sorted(by_bytes):
        c.add_entry(k, c.offsets[by_bytes[k]])
    return c.build()


# ---------------------------------------------------------------------------
# Byte surgery on finished files


def patch(blob: bytes, pos: int, new: bytes) -> bytes:
    """Overwrite ``blob[pos:pos+len(new)]`` (no CRC fix-up)."""
    assert 0 <= pos and pos + len(new) <= len(blob)
    return blob[:pos] + new + blob[pos + len(new):]


def flip(blob: bytes, pos: int, mask: int = 0xFF) -> bytes:
    """XOR one byte with ``mask`` (no CRC fix-up)."""
    return patch(blob, pos, bytes([blob[pos] ^ mask]))


def set_u32(blob: bytes, pos: int, value: int) -> bytes:
    return patch(blob, pos, struct.pack(">I", value))


def set_u64(blob: bytes, pos: int, value: int) -> bytes:
    return patch(blob, pos, struct.pack(">Q", value))


def stored_crc(blob: bytes) -> int:
    return struct.unpack_from(">I", blob, OFF_FILE_CRC)[0]


def body_crc(blob: bytes) -> int:
    """The CRC-32 a reader computes: bytes [40, end)."""
    return crc32(blob[HEADER_SIZE:])


def set_crc(blob: bytes, value: int) -> bytes:
    return set_u32(blob, OFF_FILE_CRC, value)


def fix_crc(blob: bytes) -> bytes:
    """Rewrite the header CRC to match the (possibly damaged) body."""
    return set_crc(blob, body_crc(blob))


def corrupt_crc(blob: bytes) -> bytes:
    """Set the header CRC to a value that certainly does not match."""
    return set_crc(blob, body_crc(blob) ^ 1)


def write(path: Union[str, Path], blob: bytes) -> str:
    """Write ``blob`` to ``path``; returns the path as str (the reader wants str)."""
    Path(path).write_bytes(blob)
    return str(path)


def parse_entries(blob: bytes) -> list[tuple[bytes, int]]:
    """Decode the index of a well-formed file (for cross-checks in tests)."""
    num_keys = struct.unpack_from(">I", blob, OFF_NUM_KEYS)[0]
    pos = struct.unpack_from(">Q", blob, OFF_INDEX_OFFSET)[0]
    out = []
    for _ in range(num_keys):
        (k,) = struct.unpack_from(">H", blob, pos)
        key = blob[pos + 2: pos + 2 + k]
        (off,) = struct.unpack_from(">Q", blob, pos + 2 + k)
        out.append((key, off))
        pos += 2 + k + 8
    return out


__all__: Iterable[str] = [
    "HEADER_SIZE", "MAGIC", "VERSION", "RECORD_PREFIX", "ENTRY_OVERHEAD",
    "OFF_MAGIC", "OFF_VERSION", "OFF_NUM_KEYS", "OFF_NUM_OBJECTS",
    "OFF_INDEX_OFFSET", "OFF_DATA_OFFSET", "OFF_FILE_CRC",
    "FIX", "CORRUPT", "crc32", "as_key", "hex32", "header", "record", "entry",
    "Craft", "standard", "patch", "flip", "set_u32", "set_u64", "stored_crc",
    "body_crc", "set_crc", "fix_crc", "corrupt_crc", "write", "parse_entries",
]
