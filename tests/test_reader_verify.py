"""_TarnReader.verify, stats, repr and lifecycle."""

from __future__ import annotations

import itertools
import os

import pytest

from conftest import run_python
from filecraft import (Craft, body_crc, corrupt_crc, crc32, fix_crc, flip, header, hex32, record, set_crc, standard,
                       stored_crc, write)
from tarndb._tarndb import _TarnReader


@pytest.fixture
def opened(tmp_path):
    counter = itertools.count()

    def make(blob: bytes, verify: bool = True, name: str | None = None) -> _TarnReader:
        path = tmp_path / (name or f"v{next(counter)}.tndb")
        return _TarnReader(write(path, blob), verify=verify)

    return make


def three_objects() -> tuple[Craft, list[int]]:
    c = Craft()
    offs = [c.add_object(b"object-zero"), c.add_object(b"object-one"), c.add_object(b"object-two")]
    c.add_entry("a", offs[1])
    c.add_entry("b", offs[0])
    c.add_entry("c", offs[1])
    c.add_entry("d", offs[2])
    return c, offs


def verify_fails(r: _TarnReader, message: str) -> None:
    with pytest.raises(RuntimeError) as info:
        r.verify()
    assert type(info.value) is RuntimeError
    assert str(info.value) == "TarnCorruptError: " + message


# ---------------------------------------------------------------------------
# verify


def test_verify_good_file(opened):
    c, _ = three_objects()
    r = opened(c.build())
    assert r.verify() is True
    assert r.verify() is True


def test_verify_empty_store(opened):
    r = opened(header())
    assert r.verify() is True


def test_crc32_check_value(opened):
    # CRC-32 of "123456789" is CBF43926; a record carrying it verifies.
    c = Craft()
    o = c.add_object(b"123456789", crc=0xCBF43926)
    c.add_entry("k", o)
    blob = c.build()
    assert blob[o + 4:o + 8] == bytes.fromhex("CBF43926")
    r = opened(blob)
    assert r.verify() is True
    # and a zero-length record carries CRC 0
    c = Craft()
    o = c.add_object(b"", crc=0)
    c.add_entry("k", o)
    assert opened(c.build()).verify() is True


def test_damaged_payload_reports_whole_file_mismatch_first(opened):
    c, offs = three_objects()
    good = c.build()
    blob = flip(good, offs[2] + 8 + 2, 0x01)
    r = opened(blob, verify=False)
    assert r.get_raw("d") == b"obkect-two"  # 'j' (0x6a) ^ 1 == 'k'
    stored = body_crc(good)
    computed = body_crc(blob)
    verify_fails(r, f"file CRC32 mismatch  stored={hex32(stored)}  computed={hex32(computed)}")


def test_whole_file_mismatch_padding(opened):
    c, _ = three_objects()
    blob = set_crc(c.build(), 0x1F)
    r = opened(blob, verify=False)
    verify_fails(r, f"file CRC32 mismatch  stored=0x0000001f  computed={hex32(body_crc(blob))}")
    assert r.stats()["file_crc32"] == "0x0000001f"


def test_damaged_payload_with_rewritten_crc_is_per_object_mismatch(opened):
    c, offs = three_objects()
    blob = fix_crc(flip(c.build(), offs[2] + 8 + 2, 0x01))
    r = opened(blob)  # whole-file CRC matches, so open with verify passes
    verify_fails(r, f"object CRC32 mismatch at offset {offs[2]}")
    # the reader stays usable; undamaged records still read; same failure again
    assert r.get_raw("a") == b"object-one"
    assert r.get_raw("b") == b"object-zero"
    verify_fails(r, f"object CRC32 mismatch at offset {offs[2]}")


def test_wrong_stored_record_crc(opened):
    c = Craft()
    o1 = c.add_object(b"fine")
    o2 = c.add_object(b"payload", crc=0xDEADBEEF)
    c.add_entry("a", o1)
    c.add_entry("b", o2)
    r = opened(c.build())
    verify_fails(r, f"object CRC32 mismatch at offset {o2}")


def test_per_record_failures_in_first_reference_order(opened):
    c = Craft()
    lo = c.add_object(b"low", crc=1)
    hi = c.add_object(b"high", crc=2)
    c.add_entry("a", hi)
    c.add_entry("b", lo)
    verify_fails(opened(c.build()), f"object CRC32 mismatch at offset {hi}")


def test_verify_object_offset_out_of_bounds(opened):
    c = Craft()
    ok = c.add_object(b"fine")
    c.add_entry("a", ok)
    c.add_entry("b", 123456)
    c.add_entry("c", 2**64 - 1)
    r = opened(c.build())
    verify_fails(r, "object offset 123456 out of bounds")


@pytest.mark.parametrize("off", [2**64 - 1, 2**64 - 8, 2**64 - 7])
def test_verify_object_offset_no_wraparound(opened, off):
    c = Craft()
    c.add_entry("a", off)
    verify_fails(opened(c.build()), f"object offset {off} out of bounds")


def test_verify_object_offset_just_past_end(opened):
    c = Craft()
    c.add_entry("a", 0)
    size = len(c.build())
    c.entries[0] = (b"a", size - 7)
    verify_fails(opened(c.build()), f"object offset {size - 7} out of bounds")


def test_verify_object_extends_beyond_file_end(opened):
    c = Craft()
    ok = c.add_object(b"fine")
    bad = c.add_object(b"tail", length=500)
    c.add_entry("a", ok)
    c.add_entry("b", bad)
    verify_fails(opened(c.build()), f"object at {bad} extends beyond file end")


def test_verify_whole_file_first_even_with_bad_offsets(opened):
    c = Craft()
    c.add_entry("a", 99999)
    blob = set_crc(c.build(), 0x1A2B)
    verify_fails(opened(blob, verify=False),
                 f"file CRC32 mismatch  stored=0x00001a2b  computed={hex32(body_crc(blob))}")


def test_shared_record_checked_once_and_good(opened):
    c = Craft()
    o = c.add_object(b"shared")
    for k in "abcdef":
        c.add_entry(k, o)
    assert opened(c.build()).verify() is True


def test_unreferenced_damaged_object(opened):
    c = Craft()
    ok = c.add_object(b"referenced")
    orphan = c.add_object(b"orphan", crc=0)  # wrong record CRC, but no key
    c.add_entry("k", ok)
    blob = c.build()
    # With a matching whole-file CRC it is not caught at all...
    assert opened(blob).verify() is True
    # ...damaging its payload is caught only by the whole-file checksum.
    damaged = flip(blob, orphan + 8, 0x01)
    r = opened(damaged, verify=False)
    verify_fails(r, f"file CRC32 mismatch  stored={hex32(body_crc(blob))}  computed={hex32(body_crc(damaged))}")
    assert opened(fix_crc(damaged)).verify() is True


def test_damaged_index_key_caught_only_by_whole_file_crc(opened):
    c, _ = three_objects()
    blob = c.build()
    # The last entry's key byte "d" -> "e".
    pos = len(blob) - 9
    assert blob[pos:pos + 1] == b"d"
    damaged = flip(blob, pos, 0x01)
    r = opened(damaged, verify=False)
    assert r.keys() == ["a", "b", "c", "e"]
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch  "):
        r.verify()
    assert opened(fix_crc(damaged)).verify() is True


# ---------------------------------------------------------------------------
# stats


STATS_KEYS = ["path", "version", "num_keys", "num_objects", "index_offset", "data_offset", "file_size_kb", "file_crc32"]
STATS_TYPES = [str, int, int, int, int, int, float, str]


def test_stats_of_40_byte_store(opened, tmp_path):
    r = opened(header(), name="empty.tndb")
    s = r.stats()
    assert type(s) is dict
    assert list(s) == STATS_KEYS
    assert [type(v) for v in s.values()] == STATS_TYPES
    assert s == {
        "path": str(tmp_path / "empty.tndb"),
        "version": 2,
        "num_keys": 0,
        "num_objects": 0,
        "index_offset": 40,
        "data_offset": 40,
        "file_size_kb": 0.0390625,
        "file_crc32": "0x00000000",
    }


def test_stats_of_regular_store(opened, tmp_path):
    blob = standard([b"abc", b""], {"k": 0, "b": 0, "a": 1})
    r = opened(blob, name="ex.tndb")
    s = r.stats()
    assert list(s) == STATS_KEYS
    assert [type(v) for v in s.values()] == STATS_TYPES
    assert s == {
        "path": str(tmp_path / "ex.tndb"),
        "version": 2,
        "num_keys": 3,
        "num_objects": 2,
        "index_offset": 59,
        "data_offset": 40,
        "file_size_kb": 92 / 1024,
        "file_crc32": hex32(body_crc(blob)),
    }
    assert len(s["file_crc32"]) == 10


def test_stats_file_size_kb_not_rounded(opened):
    c = Craft()
    c.add_raw_data(b"\0" * (1536 - 40))
    r = opened(c.build())
    assert r.stats()["file_size_kb"] == 1.5
    c = Craft()
    c.add_raw_data(b"\0" * (1024 - 40 + 1))
    assert opened(c.build()).stats()["file_size_kb"] == 1025 / 1024


def test_stats_version_and_data_offset_fixed(opened):
    c = Craft()
    o = c.add_object(b"x")
    c.add_entry("k", o)
    for data_offset in (0, 12345, 2**64 - 1):
        s = opened(c.build(data_offset=data_offset)).stats()
        assert s["version"] == 2
        assert s["data_offset"] == 40


def test_stats_counts_echo_header(opened):
    c = Craft()
    o1 = c.add_object(b"one")
    c.add_object(b"two")
    c.add_entry("a", o1)
    c.add_entry("b", o1)
    c.add_entry("c", o1)
    r = opened(c.build(num_keys=2, num_objects=0xFFFFFFFF))
    s = r.stats()
    assert s["num_keys"] == 2 and len(r.keys()) == 2
    assert s["num_objects"] == 0xFFFFFFFF and len(r.objects_raw()) == 1
    assert repr(r).endswith(", keys=2, objects=4294967295)")


def test_stats_index_offset_echo(opened):
    c = Craft()
    c.add_object(b"x")
    r = opened(c.build(index_offset=2**64 - 1, num_keys=0))
    assert r.stats()["index_offset"] == 2**64 - 1


def test_stats_crc_is_stored_value_not_recomputed(opened):
    c, _ = three_objects()
    r = opened(set_crc(c.build(), 0xABCDEF), verify=False)
    assert r.stats()["file_crc32"] == "0x00abcdef"
    r = opened(set_crc(c.build(), 0xFFFFFFFF), verify=False)
    assert r.stats()["file_crc32"] == "0xffffffff"


def test_stats_returns_new_dict(opened):
    r = opened(header())
    s1 = r.stats()
    s1["num_keys"] = 99
    s1.clear()
    s2 = r.stats()
    assert s2 is not s1
    assert s2["num_keys"] == 0 and len(s2) == 8


def test_stats_and_repr_on_damaged_file(opened):
    c = Craft()
    c.add_entry("k", 10**9)
    r = opened(set_crc(c.build(), 7), verify=False)
    assert r.stats()["num_keys"] == 1
    assert "keys=1" in repr(r)
    r.close()
    with r:
        pass


def test_stats_path_unicode(opened, tmp_path):
    r = opened(header(), name="é ø 日本.tndb")
    assert r.stats()["path"] == str(tmp_path / "é ø 日本.tndb")


# ---------------------------------------------------------------------------
# repr


def test_repr(opened, tmp_path):
    c = Craft()
    o1 = c.add_object(b"x1")
    o2 = c.add_object(b"x2")
    for k, o in (("a", o1), ("b", o2), ("c", o1)):
        c.add_entry(k, o)
    r = opened(c.build(), name="a.tndb")
    assert repr(r) == f"_TarnReader('{tmp_path / 'a.tndb'}', keys=3, objects=2)"
    assert str(r) == repr(r)


def test_repr_path_verbatim_without_escaping(opened, tmp_path):
    r = opened(header(), name="it's é\\x.tndb")
    assert repr(r) == f"_TarnReader('{tmp_path}/it's é\\x.tndb', keys=0, objects=0)"


def test_repr_relative_path_as_passed(tmp_path, monkeypatch):
    write(tmp_path / "rel.tndb", header(num_keys=0, num_objects=7))
    monkeypatch.chdir(tmp_path)
    r = _TarnReader("rel.tndb")
    assert repr(r) == "_TarnReader('rel.tndb', keys=0, objects=7)"
    assert r.stats()["path"] == "rel.tndb"


# ---------------------------------------------------------------------------
# close / __enter__ / __exit__


def test_close_releases_nothing(opened):
    c, _ = three_objects()
    r = opened(c.build())
    before = (r.get_raw("a"), r.items_raw(), r.objects_raw(), r.keys(), r.stats(), repr(r))
    for _ in range(5):
        assert r.close() is None
    after = (r.get_raw("a"), r.items_raw(), r.objects_raw(), r.keys(), r.stats(), repr(r))
    assert before == after
    assert r.verify() is True
    assert r.exists("d") and r.prefix_raw("c") == [("c", b"object-one")]


def test_with_binds_reader_itself(opened):
    c, _ = three_objects()
    r0 = opened(c.build())
    before = r0.get_raw("b")
    with r0 as r:
        assert r is r0
        assert r.get_raw("b") == before
    assert r0.get_raw("b") == before
    r0.close()
    r0.close()
    assert r0.get_raw("b") == before
    with r0 as again:  # a reader can be re-entered
        assert again is r0
    assert r0.__enter__() is r0


def test_exception_in_with_propagates(opened):
    c, _ = three_objects()
    r = opened(c.build())
    with pytest.raises(KeyError):
        with r:
            raise KeyError("boom")
    assert r.get_raw("d") == b"object-two"


def test_exit_returns_false_whatever_args(opened):
    r = opened(header())
    assert r.__exit__(None, None, None) is False
    err = ValueError("x")
    assert r.__exit__(ValueError, err, err.__traceback__) is False
    assert r.__exit__(1, "two", [3]) is False
    assert r.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None) is False
    assert r.__exit__(None, _exc_tb=None, _exc_val=None) is False


def test_exit_argument_errors(opened):
    r = opened(header())
    with pytest.raises(TypeError) as info:
        r.__exit__()
    assert str(info.value) == (
        "_TarnReader.__exit__() missing 3 required positional arguments: '_exc_type', '_exc_val', and '_exc_tb'"
    )
    with pytest.raises(TypeError) as info:
        r.__exit__(None)
    assert str(info.value) == (
        "_TarnReader.__exit__() missing 2 required positional arguments: '_exc_val' and '_exc_tb'"
    )
    with pytest.raises(TypeError) as info:
        r.__exit__(None, None)
    assert str(info.value) == "_TarnReader.__exit__() missing 1 required positional argument: '_exc_tb'"
    with pytest.raises(TypeError) as info:
        r.__exit__(None, None, None, None)
    assert str(info.value) == "_TarnReader.__exit__() takes 3 positional arguments but 4 were given"
    # still usable
    assert r.__exit__(None, None, None) is False


def test_no_arg_methods_reject_arguments(opened):
    r = opened(header())
    for name in ("close", "__enter__", "verify", "stats", "keys", "items_raw", "objects_raw"):
        with pytest.raises(TypeError):
            getattr(r, name)(1)


def test_verify_reports_the_first_damaged_record_in_index_order(tmp_path):
    # Object 0 lies first in the file but is referenced by the larger key, so
    # with both payloads damaged the record of key "a" (object 1) is reported.
    import zlib
    from tarndb._tarndb import _TarnReader, _TarnWriter

    w = _TarnWriter()
    first = w.add_object_raw(b"first-payload")
    second = w.add_object_raw(b"second-payload")
    w.add_key("b", first)
    w.add_key("a", second)
    path = tmp_path / "two.tndb"
    w.build(str(path))
    data = bytearray(path.read_bytes())
    first_off, second_off = 40, 40 + 8 + len(b"first-payload")
    data[first_off + 8] ^= 0xFF
    data[second_off + 8] ^= 0xFF
    data[32:36] = zlib.crc32(bytes(data[40:])).to_bytes(4, "big")
    path.write_bytes(bytes(data))
    with pytest.raises(RuntimeError) as err:
        _TarnReader(str(path)).verify()
    assert str(err.value) == f"TarnCorruptError: object CRC32 mismatch at offset {second_off}"


# ---------------------------------------------------------------------------
# verify: the header's layout, which the whole-file CRC-32 does not cover


def damaged_layouts() -> list:
    """(id, blob, message) for files whose body CRC-32 matches but whose
    header or index disagrees with the layout: verify() must refuse each."""
    cases = []

    c, offs = three_objects()
    good = c.build()
    size, index_at = len(good), c.index_offset
    # One bit of num_keys (byte 11) cleared: 4 keys become 0 and silently go missing.
    cases.append(("num_keys_lower", flip(good, 11, 0x04), f"index ends at {index_at} but the file is {size} bytes"))
    cases.append(("bytes_after_index", fix_crc(good + b"\0" * 10),
                  f"index ends at {size} but the file is {size + 10} bytes"))
    cases.append(("num_objects_lower", c.build(num_objects=2), "data section holds 3 records, the header says 2"))
    cases.append(("num_objects_higher", c.build(num_objects=4), "data section holds 3 records, the header says 4"))
    for at in (size + 1, 2**64 - 1, 0, 39):
        cases.append((f"index_offset_{at}", c.build(index_offset=at, num_keys=0),
                      f"index offset {at} lies outside the file [40, {size}]"))

    # A record offset into the header, crafted so that the header bytes there
    # read as a record with a matching CRC-32: num_keys 1 is the length, the
    # stored CRC is num_objects, the payload the first byte of index_offset.
    c = Craft()
    c.add_entry("k", 8)
    cases.append(("offset_into_header", c.build(num_objects=crc32(b"\0")),
                  "record offset 8 of key #0 lies outside the data section [40, 40)"))

    # The entry of the empty key, its offset below 2^16, reads as an empty
    # record with CRC-32 0: a sound record, but in the index section.
    c = Craft()
    o = c.add_object(b"x")
    c.add_entry("", o)
    c.add_entry("b", c.index_offset)
    cases.append(("offset_into_index", c.build(), f"record offset {c.index_offset} of key #1 lies outside the data "
                                                  f"section [40, {c.index_offset})"))

    # A payload that holds a sound record of its own, named by a key.
    c = Craft()
    o = c.add_object(record(b"inner"))
    c.add_entry("a", o)
    c.add_entry("b", o + 8)
    cases.append(("offset_inside_record", c.build(), f"record offset {o + 8} of key #1 is not the start of a record"))

    # Bytes between records that are no record: the walk cannot go on.
    c = Craft()
    o = c.add_object(b"fine")
    junk = c.add_raw_data(b"\xff" * 12)
    c.add_entry("a", o)
    cases.append(("junk_in_data_section", c.build(),
                  f"record at {junk} runs past the data section end {c.index_offset}"))
    return cases


@pytest.mark.parametrize("blob, message", [case[1:] for case in damaged_layouts()],
                         ids=[case[0] for case in damaged_layouts()])
def test_verify_refuses_a_header_that_disagrees_with_the_layout(opened, blob, message):
    r = opened(blob)  # open tolerates all of these
    verify_fails(r, message)


def test_verify_whole_file_crc_still_comes_first(opened):
    c, _ = three_objects()
    blob = corrupt_crc(flip(c.build(), 11, 0x04))
    verify_fails(opened(blob, verify=False),
                 f"file CRC32 mismatch  stored={hex32(stored_crc(blob))}  computed={hex32(body_crc(blob))}")


@pytest.mark.parametrize("payloads", [[], [b""], [b"", b"", b""], [b"x" * 70_000, b"", b"y"],
                                      [bytes([i % 256]) * i for i in range(300)]],
                         ids=["none", "one_empty", "empty_only", "large_and_empty", "every_length_to_300"])
def test_verify_accepts_what_the_writer_builds(tmp_path, payloads):
    # Every record start is found, whatever the lengths and however keys name
    # records (shared, in reverse order, or not at all).
    from conftest import build

    keys = [(f"k{i:04d}", len(payloads) - 1 - i) for i in range(0, len(payloads), 2)]
    keys += [(f"s{i}", 0) for i in range(3) if payloads]
    r = _TarnReader(str(build(tmp_path, payloads, keys)))
    assert r.verify() is True


def test_store_rewritten_in_place_under_a_reader_fails_verify(tmp_path):
    # Truncated and grown back to its size (as cp or an in-place rsync do it):
    # the mapping now reads zeros, and verify must not report success.
    from conftest import build

    path = build(tmp_path, [b"payload-%d" % i for i in range(50)], [(f"k{i}", i) for i in range(50)])
    r = _TarnReader(str(path))
    size = path.stat().st_size
    os.truncate(path, 40)
    os.truncate(path, size)
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch  "):
        r.verify()
    proc = run_python("import sys, tarndb.__main__ as m; sys.exit(m.main(['verify', sys.argv[1]]))", path,
                      check=False)
    assert proc.returncode == 1 and b"ok" not in proc.stdout


@pytest.mark.parametrize("order", ["ascending", "descending", "interleaved"])
def test_verify_over_regions_reports_first_damage_in_index_order(tmp_path, order):
    # Records over several 4 MiB regions of the data section, named by keys in
    # and against object order; two damaged records (whole-file CRC fixed up):
    # the one the index names first is reported, whichever way it is checked.
    import random

    from conftest import build

    rnd = random.Random(5)
    payloads = [rnd.randbytes(700_000) for _ in range(20)]
    ids = list(range(20))
    if order == "descending":
        ids.reverse()
    elif order == "interleaved":
        ids = ids[::2] + ids[1::2]
    path = build(tmp_path, payloads, [(f"k{i:02d}", obj) for i, obj in enumerate(ids)])
    assert _TarnReader(str(path)).verify() is True
    offsets = [40 + sum(8 + len(p) for p in payloads[:obj]) for obj in range(20)]
    blob = path.read_bytes()
    for obj in (3, 16):
        blob = flip(blob, offsets[obj] + 8 + 1000, 0x10)
    write(path, fix_crc(blob))
    first = next(obj for obj in ids if obj in (3, 16))
    verify_fails(_TarnReader(str(path)), f"object CRC32 mismatch at offset {offsets[first]}")
