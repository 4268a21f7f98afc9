"""The lookup index that the package's writers put into a store file, and the
reader that answers from it in place: the file stays a sound store for the
low-level module, every way of reading gives what a decoded index gives, and
damage to the index never gives a wrong answer and is named by verify()."""

from __future__ import annotations

import os
import struct
import zlib

import pytest

import tarndb
from tarndb import _tarndb

KEYS = ["", "a", "a\x01", "ab", "b", "été", "z" * 300] + [f"key/{i:05d}" for i in range(1500)]


def obj(i: int) -> dict:
    return {"i": i, "pad": "x" * (i % 7)}


def fix_crc(blob: bytearray) -> None:
    """Makes the whole-file CRC-32 match the (damaged) bytes."""
    blob[32:36] = struct.pack(">I", zlib.crc32(bytes(blob[40:])))


def lookup_record(blob: bytes) -> tuple[int, int]:
    """(offset, length) of the lookup index record the header announces."""
    index_offset = struct.unpack(">Q", blob[16:24])[0]
    payload = struct.unpack(">I", blob[36:40])[0]
    return index_offset - 8 - payload, 8 + payload


def fence_table(blob: bytes) -> tuple[int, int]:
    """(offset, width) of the lookup index record's fences."""
    rec, length = lookup_record(blob)
    trailer = rec + length - 48
    slot_count, width = struct.unpack(">Q", blob[trailer + 16 : trailer + 24])[0], blob[trailer + 32]
    return rec + 8 + slot_count * width, width


@pytest.fixture
def indexed(tmp_path):
    path = str(tmp_path / "s.tndb")
    with tarndb.TarnWriter(path) as w:
        for i, k in enumerate(KEYS):
            w.add(obj(i), k)
        w.add("nobody's")  # an object no key names
    return path


@pytest.fixture
def plain(tmp_path):
    """The same content written by the low-level writer: no lookup index."""
    import msgpack

    path = str(tmp_path / "plain.tndb")
    w = _tarndb._TarnWriter()
    for i, k in enumerate(KEYS):
        w.add_key(k, w.add_object_raw(msgpack.packb(obj(i))))
    w.add_object_raw(msgpack.packb("nobody's"))
    w.build(path)
    return path


def test_the_file_stays_a_store_for_the_low_level_module(indexed):
    blob = open(indexed, "rb").read()
    assert blob[5:8] == b"LX\x01"
    r = _tarndb._TarnReader(indexed)
    assert r.keys() == sorted(KEYS, key=lambda k: k.encode())
    assert len(r.objects_raw()) == len(KEYS)  # the index is no key's object
    assert r.stats()["num_objects"] == len(KEYS) + 2  # the header counts it
    assert r.verify() is True


def test_report_and_stats_say_so(indexed):
    w = tarndb.TarnWriter()
    for i, k in enumerate(KEYS):
        w.add(obj(i), k)
    report = w.build(indexed)
    assert report.objects == len(KEYS)
    assert 0 < report.lookup_index_bytes <= 10 * len(KEYS) + 64
    with tarndb.TarnReader(indexed, verify=False) as r:
        assert r.stats["num_objects"] == len(KEYS)
        assert r.stats["lookup_index_bytes"] == report.lookup_index_bytes
        assert r.verify() is True


def test_in_place_answers_as_the_decoded_index(indexed, plain):
    with tarndb.TarnReader(indexed, verify=False) as a, tarndb.TarnReader(plain) as b:
        assert a.stats["lookup_index_bytes"] > 0 and b.stats["lookup_index_bytes"] == 0
        assert len(a) == len(b) == len(KEYS)
        assert list(a) == list(b)
        assert list(a.items()) == list(b.items())
        assert list(a.values()) == list(b.values())
        probes = KEYS[::7] + ["absent", "key/", "key/0149x", "\x00"]
        assert a.get_many(probes, 0) == b.get_many(probes, 0)
        assert a.raw_many(probes) == b.raw_many(probes)
        for k in probes:
            assert (k in a) == (k in b)
            assert a.get(k) == b.get(k)
        for p in ["", "a", "key/01", "key/0149", "key/2", "zz", "é"]:
            assert a.prefix(p) == b.prefix(p)
            assert a.prefix_keys(p) == b.prefix_keys(p)
        for lo, hi in [(None, None), ("a", "b"), ("key/00100", "key/00117"), ("b", "a"), ("key/", None)]:
            assert list(a.range(lo, hi)) == list(b.range(lo, hi))


@pytest.mark.parametrize("where", ["slots", "fences", "trailer"])
def test_damage_never_gives_a_wrong_value_and_verify_names_it(indexed, where):
    blob = bytearray(open(indexed, "rb").read())
    rec, length = lookup_record(blob)
    trailer = rec + length - 48
    fences, _ = fence_table(blob)
    at = {"slots": rec + 8 + 40, "fences": fences + 2, "trailer": trailer + 17}[where]
    for mask in (0x01, 0x40, 0xFF):
        damaged = bytearray(blob)
        damaged[at] ^= mask
        fix_crc(damaged)
        open(indexed, "wb").write(damaged)
        with tarndb.TarnReader(indexed) as r:  # the CRC-32 matches: opening succeeds
            for i, k in enumerate(KEYS):
                got = r.get(k)
                assert got is None or got == obj(i)
            with pytest.raises(tarndb.TarnCorruptError, match="lookup index: "):
                r.verify()


@pytest.mark.parametrize("value", ["zero", "its neighbour's"])
def test_a_fence_out_of_place_gives_no_key_out_of_order(indexed, plain, value):
    """Scans seek through the fences, which only verify() checks one by one:
    a fence that names the wrong entry is either caught by its neighbours
    (an error naming the lookup index) or leads to what the decoded index
    gives, never to keys outside what was asked for."""
    blob = bytearray(open(indexed, "rb").read())
    fences, width = fence_table(blob)
    j = 40  # a fence in the middle of the keys
    source = {"zero": b"\0" * width, "its neighbour's": blob[fences + (j - 1) * width : fences + j * width]}[value]
    blob[fences + j * width : fences + (j + 1) * width] = source
    fix_crc(blob)
    open(indexed, "wb").write(blob)
    with tarndb.TarnReader(indexed) as a, tarndb.TarnReader(plain) as b:
        assert list(a) == list(b)  # a listing walks the entries from the first
        for p in ["key/0063", "key/0064", "key/006", "key/0", "z"]:
            try:
                got = a.prefix_keys(p)
            except tarndb.TarnCorruptError as e:
                assert "lookup index: " in str(e)
            else:
                assert got == b.prefix_keys(p)
        with pytest.raises(tarndb.TarnCorruptError, match=r"lookup index: fence #40 names position"):
            a.verify()


def test_a_listing_through_a_broken_entry_is_an_error_not_an_empty_key(indexed):
    blob = bytearray(open(indexed, "rb").read())
    index_offset = struct.unpack(">Q", blob[16:24])[0]
    entry = index_offset + 6 * 10 + sum(len(k.encode()) for k in ["", "a", "a\x01", "ab", "b", "key/00000"])
    assert blob[entry + 2 : entry + 11] == b"key/00001"
    blob[entry : entry + 2] = b"\xff\xff"  # a key length that runs past the file
    fix_crc(blob)
    open(indexed, "wb").write(blob)
    with tarndb.TarnReader(indexed) as r:
        with pytest.raises(tarndb.TarnCorruptError, match="lookup index: a seek or listing through it went astray"):
            list(r)
        with pytest.raises(tarndb.TarnCorruptError, match="lookup index: "):
            r.verify()


def test_an_index_that_fails_the_open_checks_is_not_used(indexed):
    blob = bytearray(open(indexed, "rb").read())
    blob[36:40] = struct.pack(">I", struct.unpack(">I", blob[36:40])[0] + 8)  # the header lies about its size
    fix_crc(blob)
    open(indexed, "wb").write(blob)
    with tarndb.TarnReader(indexed) as r:
        assert r.stats["lookup_index_bytes"] == 0  # decoded instead
        assert list(r) == sorted(KEYS, key=lambda k: k.encode())
        assert r["key/00042"] == obj(KEYS.index("key/00042"))
        with pytest.raises(tarndb.TarnCorruptError, match=r"lookup index: the record at \d+ holds \d+ bytes, the header says"):
            r.verify()


def test_merge_writes_a_fresh_index_and_copies_none(indexed, tmp_path):
    out = str(tmp_path / "m.tndb")
    report = tarndb.merge(out, indexed, {"new": 1, "a": None})
    assert report.objects == len(KEYS)  # one removed, one added
    assert report.lookup_index_bytes > 0
    low = _tarndb._TarnReader(out)
    assert low.stats()["num_objects"] == len(KEYS) + 1
    assert b"TNLX" not in b"".join(low.objects_raw())
    with tarndb.TarnReader(out) as r:
        assert r["new"] == 1 and "a" not in r and r.verify()


def test_keys_that_are_not_text_get_no_index(tmp_path):
    src = str(tmp_path / "bytes.tndb")
    w = _tarndb._TarnWriter()
    w.add_key(b"\xe9t\xe9", w.add_object_raw(b"\x01"))
    w.add_key(b"ok", w.add_object_raw(b"\x02"))
    w.build(src)
    out = str(tmp_path / "out.tndb")
    report = tarndb.merge(out, src)
    assert report.lookup_index_bytes == 0
    assert open(out, "rb").read()[5:8] == b"\x00\x00\x00"
    with tarndb.TarnReader(out) as r:
        assert list(r) == ["ok"] and r[b"\xe9t\xe9"] == 1


def test_each_shard_of_a_sharded_store_carries_one(tmp_path):
    store = str(tmp_path / "sharded")
    with tarndb.TarnWriter(store, shards=3) as w:
        for i, k in enumerate(KEYS):
            w.add(obj(i), k)
    with tarndb.TarnReader(store) as r:
        stats = r.shard_stats()
        assert all(s["lookup_index_bytes"] > 0 for s in stats)
        assert r.stats["num_objects"] == len(KEYS)
        assert sorted(r) == sorted(KEYS) and r["key/01234"] == obj(KEYS.index("key/01234"))
        assert r.verify()


def test_a_damaged_record_read_in_place_names_its_key(indexed):
    blob = bytearray(open(indexed, "rb").read())
    with tarndb.TarnReader(indexed) as r:
        raw = r.raw("key/00777")
    at = bytes(blob).index(raw)
    blob[at + len(raw) - 1] ^= 0x01  # the record's own CRC-32 no longer matches
    fix_crc(blob)
    open(indexed, "wb").write(blob)
    with tarndb.TarnReader(indexed) as r:
        assert r.stats["lookup_index_bytes"] > 0
        for read in (lambda: r["key/00777"], lambda: r.get_many(["a", "key/00777"]), lambda: dict(r.items())):
            with pytest.raises(tarndb.TarnCorruptError, match=r"object of key 'key/00777' \(record at offset \d+\)"):
                read()


def vm_flags(path: str) -> list[set[str]]:
    """The VmFlags of each of this process's mappings of `path`."""
    flags, current = [], False
    with open("/proc/self/smaps") as f:
        for line in f:
            head = line.split()
            if head and "-" in head[0] and ":" not in head[0]:
                current = line.rstrip().endswith(path)
            elif current and head[0] == "VmFlags:":
                flags.append(set(head[1:]))
    return flags


@pytest.mark.skipif(not os.path.exists("/sys/kernel/mm/transparent_hugepage"), reason="no transparent huge pages")
@pytest.mark.parametrize("which", ["indexed", "plain"])
def test_the_mapping_asks_for_huge_pages(request, which):
    # Lookups read random pages of the mapping: without the advice a file not
    # yet cached comes into the page cache in small folios, mapped page by page.
    path = os.path.realpath(request.getfixturevalue(which))
    r = tarndb.TarnReader(path)
    mapped = vm_flags(path)
    assert mapped and all("hg" in f for f in mapped)
    assert r[KEYS[-1]] == obj(len(KEYS) - 1)
    r.close()
    assert vm_flags(path) == []
