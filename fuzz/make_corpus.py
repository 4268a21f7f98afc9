"""Regenerates the seed corpora of the fuzz targets.

fuzz/corpus/reader/: stores made by the writer, and hand-made files that sit
on each edge of the reader's checks (sizes around the header, bad magic and
version, checksum mismatch, truncated index entries, out-of-range record
offsets, duplicate and unsorted keys, index_offset inside the header).
fuzz/corpus/writer/: short operation programs for fuzz_writer.
fuzz/corpus/fuzz_msgpack/: msgpack values of every type, map keys that are
arrays, timestamps of each width, and a deep nesting.

Run with the development virtualenv: .venv/bin/python fuzz/make_corpus.py
Every file stays below 4 KiB.
"""

from __future__ import annotations

import struct
import sys
import tempfile
import zlib
from pathlib import Path

HERE = Path(__file__).resolve().parent
READER = HERE / "corpus" / "reader"
WRITER = HERE / "corpus" / "writer"
MSGPACK = HERE / "corpus" / "fuzz_msgpack"


def record(payload: bytes) -> bytes:
    return struct.pack(">II", len(payload), zlib.crc32(payload)) + payload


def entry(key: bytes, offset: int) -> bytes:
    return struct.pack(">H", len(key)) + key + struct.pack(">Q", offset)


def store(data: bytes, index: bytes, *, num_keys: int, num_objects: int,
          index_offset: int | None = None, crc: int | None = None,
          magic: bytes = b"TNDB", version: int = 2, reserved: bytes = b"\0\0\0") -> bytes:
    body = data + index
    if index_offset is None:
        index_offset = 40 + len(data)
    if crc is None:
        crc = zlib.crc32(body)
    header = (magic + bytes([version]) + reserved
              + struct.pack(">IIQQI", num_keys, num_objects, index_offset, 40, crc) + b"\0" * 4)
    assert len(header) == 40
    return header + body


def crafted() -> dict[str, bytes]:
    out: dict[str, bytes] = {}
    two = record(b"abc") + record(b"")
    idx = entry(b"a", 51) + entry(b"b", 40) + entry(b"k", 40)
    good = store(two, idx, num_keys=3, num_objects=2)
    out["worked_example"] = good
    out["empty_file"] = b""
    out["39_bytes"] = good[:39]
    out["header_only"] = store(b"", b"", num_keys=0, num_objects=0)
    out["bad_magic"] = b"PK\x03\x04" + good[4:]
    out["version_1"] = good[:4] + b"\x01" + good[5:]
    out["version_3"] = good[:4] + b"\x03" + good[5:]
    out["reserved_bytes_set"] = store(two, idx, num_keys=3, num_objects=2, reserved=b"\xff\xfe\xfd")
    out["crc_mismatch"] = store(two, idx, num_keys=3, num_objects=2, crc=0x1A2B)
    out["payload_flipped"] = good[:48] + b"X" + good[49:]
    damaged = bytearray(good)
    damaged[48] ^= 0xFF
    damaged[32:36] = struct.pack(">I", zlib.crc32(bytes(damaged[40:])))
    out["payload_crc_fixed_header"] = bytes(damaged)
    out["num_keys_too_large_at_end"] = store(two, idx, num_keys=4, num_objects=2)
    out["num_keys_huge"] = store(two, idx, num_keys=0xFFFFFFFF, num_objects=0xFFFFFFFF)
    out["entry_cut_in_key"] = store(two, idx + b"\x00\x05ab", num_keys=4, num_objects=2)
    out["entry_cut_in_offset"] = store(two, idx + b"\x00\x01z\x00\x00", num_keys=4, num_objects=2)
    out["num_keys_smaller"] = store(two, idx, num_keys=1, num_objects=2)
    out["index_offset_far_no_keys"] = store(two, b"", num_keys=0, num_objects=2, index_offset=1 << 62)
    out["index_offset_far"] = store(two, idx, num_keys=3, num_objects=2, index_offset=(1 << 64) - 1)
    out["index_offset_wraps"] = store(two, idx, num_keys=1, num_objects=2, index_offset=(1 << 64) - 2)
    out["index_in_header"] = store(two, idx, num_keys=2, num_objects=2, index_offset=0)
    out["record_offset_out_of_bounds"] = store(two, entry(b"a", 100) + entry(b"b", 40),
                                               num_keys=2, num_objects=2)
    out["record_offset_near_2_64"] = store(two, entry(b"x", (1 << 64) - 4), num_keys=1, num_objects=2)
    out["record_extends_past_end"] = store(record(b"abc")[:4] + b"\0\0\0\0", entry(b"a", 40)
                                           + struct.pack(">I", 0), num_keys=1, num_objects=1)
    long_len = struct.pack(">II", 0xFFFFFFF0, 0) + b"zz"
    out["record_length_huge"] = store(long_len, entry(b"a", 40), num_keys=1, num_objects=1)
    out["duplicate_keys"] = store(two, entry(b"k", 40) + entry(b"k", 51), num_keys=2, num_objects=2)
    out["unsorted_keys"] = store(two, entry(b"b", 40) + entry(b"a", 51) + entry(b"ab", 40) + entry(b"c", 51),
                                 num_keys=4, num_objects=2)
    out["empty_key"] = store(two, entry(b"", 51) + entry(b"a", 40), num_keys=2, num_objects=2)
    out["non_utf8_keys"] = store(two, entry(b"\xc0\xaf", 40) + entry(b"\xe0\x80", 51) + entry(b"\xed\xa0\x80", 40)
                                 + entry(b"\xf0\x9f\x98", 51) + entry(b"\xff", 40), num_keys=5, num_objects=2)
    out["record_offset_into_header"] = store(two, entry(b"h", 0) + entry(b"i", 8), num_keys=2, num_objects=2)
    out["shared_and_unreferenced"] = store(two + record(b"lost"), entry(b"p", 40) + entry(b"q", 40),
                                           num_keys=2, num_objects=3)
    return out


def written(tmp: Path) -> dict[str, bytes]:
    from tarndb._tarndb import _TarnWriter

    def build(name: str, objects: list[bytes], keys: list[tuple[object, int]]) -> tuple[str, bytes]:
        w = _TarnWriter()
        for o in objects:
            w.add_object_raw(o)
        for k, i in keys:
            w.add_key(k, i)
        path = tmp / f"{name}.tndb"
        w.build(str(path))
        return name, path.read_bytes()

    cases = [
        build("w_empty", [], []),
        build("w_objects_no_keys", [b"one", b"two"], []),
        build("w_one", [b"\x81\xa1a\x01"], [("key", 0)]),
        build("w_sort_order", [b"x", b"y"], [("a", 0), (b"a\0", 1), ("ab", 0), ("b", 1), ("z", 0), (b"\xff", 1)]),
        build("w_shared", [b"shared", b"shared"], [("k1", 0), ("k2", 0), ("k3", 1)]),
        build("w_prefix_runs", [bytes([i]) * i for i in range(12)],
              [(f"user:{i:03d}", i % 12) for i in range(40)] + [(f"item:{i}", i % 5) for i in range(20)]),
        build("w_unicode", [b"\x00" * 17, b""], [("\u00e9t\u00e9", 0), ("\u2705", 1), ("", 0), (b"\xfe\xff", 1)]),
        build("w_remapped", [b"old", b"new"], [("k", 0), (b"k", 1)]),
        build("w_long_key", [b"v"], [("L" * 600, 0), ("L" * 599, 0)]),
        build("w_big_payload", [bytes(range(256)) * 12], [("blob", 0)]),
    ]
    return dict(cases + indexed(tmp))


def indexed(tmp: Path) -> list[tuple[str, bytes]]:
    """Files of the package's writer, which carry a lookup index."""
    from tarndb._fast import Writer

    out = []
    for name, keys in [
        ("p_indexed_small", ["", "a", "ab", "\u00e9t\u00e9"]),
        ("p_indexed_fences", [f"user:{i:04d}" for i in range(70)]),
    ]:
        w = Writer()
        for i, k in enumerate(keys):
            w.add_key(k, w.add_object_raw(bytes([i % 128])))
        path = tmp / f"{name}.tndb"
        w.build(str(path))
        out.append((name, path.read_bytes()))
    return out


# fuzz_writer programs: op byte % 8 picks add_object (0, 1; bit 7 = long),
# add_key (2-4), an over-long key (5) or a build (6, 7).
WRITER_SEEDS = {
    "objects_keys_build": bytes([0, 3]) + b"abc" + bytes([0, 0, 2, 100, 1]) + b"k" + bytes([0, 2, 100, 2]) + b"zz"
    + bytes([1, 6]),
    "remap_and_empty_key": bytes([0, 1]) + b"x" + bytes([0, 1]) + b"y" + bytes([2, 100, 1]) + b"k" + bytes([0])
    + bytes([2, 0, 1, 2, 255, 0, 6]),
    "out_of_range": bytes([2, 100, 1]) + b"k" + bytes([5, 0, 2]) + b"q" + bytes([0, 2, 100, 1]) + b"k" + bytes([241, 6]),
    "long_payload": bytes([0x80, 0x80, 0x01]) + bytes(range(64)) + bytes([2, 100, 3]) + b"big" + bytes([0, 6]),
    "long_key": bytes([0, 1, 0x41, 2, 250, 0xFF, 0xF0]) + b"long" + bytes([0, 5, 200, 3, 6]),
    # More than 1 MiB of index: long keys, each from a few input bytes.
    "index_over_buffer": bytes([0, 1, 0x76])
    + b"".join(bytes([2, 250, 0xFF, i]) + bytes([i]) * 32 + bytes([0]) for i in range(20)) + bytes([6]),
    "builds_between": bytes([0, 1, 0x61, 6, 2, 100, 1, 0x61, 0, 6, 0, 1, 0x62, 2, 100, 1, 0x62, 1, 7]),
}


def msgpack_seeds() -> dict[str, bytes]:
    import msgpack

    ts = msgpack.Timestamp
    values = {
        "record": {"id": 12345, "name": "item-12345", "tags": [1, 2, 3]},
        "scalars": [None, True, False, 0, -1, -33, 255, -129, 65536, -(2**31), 2**64 - 1, -(2**63), 1.5, "ü", b"\0"],
        "array_keys": {(1, (2, "x")): "tuple key", (): 0, "k": {"inner": [1]}},
        "timestamps": [ts(0), ts(2**32 - 1), ts(1, 5), ts(2**34 - 1, 999_999_999), ts(-1, 1), ts(2**40)],
        "exts": [msgpack.ExtType(i, bytes(n)) for i, n in ((0, 1), (1, 2), (2, 4), (3, 8), (4, 16), (127, 3), (5, 300))],
        "long_str": "s" * 300,
        "deep": [[[[[[[[{"a": [[[]]]}]]]]]]]],
    }
    seeds = {name: msgpack.packb(v) for name, v in values.items()}
    seeds["single_floats"] = msgpack.packb([0.1, float("inf"), float("nan")], use_single_float=True)
    seeds["wide_forms"] = b"\x93\xdc\x00\x01\xd9\x01a\xde\x00\x01\xc4\x00\xc7\x0c\xff" + bytes(12) + b"\xcc\x05"
    return seeds


def main() -> int:
    READER.mkdir(parents=True, exist_ok=True)
    WRITER.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as d:
        files = {**crafted(), **written(Path(d))}
    for name, data in {**files}.items():
        assert len(data) < 4096, name
        (READER / name).write_bytes(data)
    for name, data in WRITER_SEEDS.items():
        (WRITER / name).write_bytes(data)
    MSGPACK.mkdir(parents=True, exist_ok=True)
    mp = msgpack_seeds()
    for name, data in mp.items():
        (MSGPACK / name).write_bytes(data)
    print(f"{len(files)} reader seeds, {len(WRITER_SEEDS)} writer seeds, {len(mp)} msgpack seeds", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
