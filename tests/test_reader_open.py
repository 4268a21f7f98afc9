"""_TarnReader construction: every open-time failure,
the header edges, the index decoding edges, and no leaked descriptors or
mappings after failed opens."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

from filecraft import (
    CORRUPT,
    OFF_NUM_KEYS,
    Craft,
    body_crc,
    entry,
    fix_crc,
    header,
    hex32,
    patch,
    set_crc,
    set_u32,
    set_u64,
    standard,
    write,
)
from tarndb._tarndb import _TarnReader

BOTH = pytest.mark.parametrize("verify", [True, False], ids=["verify", "noverify"])


def corrupt_msg(text: str) -> str:
    return "TarnCorruptError: " + text


def open_fails(path: str, verify: bool, message: str, exc=RuntimeError) -> None:
    with pytest.raises(exc) as info:
        _TarnReader(path, verify=verify)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert info.value.args == (message,)


def sample_blob() -> bytes:
    return standard([b"abc", b"", b"hello"], {"k": 0, b"b": 0, "a": 1, "zz": 2})


# ---------------------------------------------------------------------------
# size


@BOTH
def test_empty_file_is_too_small(tmp_path, verify):
    p = write(tmp_path / "empty.tndb", b"")
    open_fails(p, verify, corrupt_msg("file too small for header"))


@BOTH
def test_39_bytes_is_too_small(tmp_path, verify):
    p = write(tmp_path / "39.tndb", header()[:39])
    open_fails(p, verify, corrupt_msg("file too small for header"))


@BOTH
def test_39_bytes_of_garbage_reports_size_before_magic(tmp_path, verify):
    p = write(tmp_path / "39g.tndb", b"PK\x03\x04" + b"\xff" * 35)
    open_fails(p, verify, corrupt_msg("file too small for header"))


@BOTH
def test_40_byte_empty_store_opens(tmp_path, verify):
    blob = header()
    assert len(blob) == 40
    r = _TarnReader(write(tmp_path / "40.tndb", blob), verify=verify)
    assert r.keys() == []
    assert r.items_raw() == []
    assert r.objects_raw() == []
    assert r.get_raw("x") is None
    assert r.exists(b"") is False
    assert r.verify() is True


def test_40_byte_store_with_nonzero_crc_fails_only_when_verifying(tmp_path):
    p = write(tmp_path / "40bad.tndb", header(file_crc32=0x1A2B))
    open_fails(p, True, corrupt_msg("file CRC32 mismatch  stored=0x00001a2b  computed=0x00000000"))
    r = _TarnReader(p, verify=False)
    assert r.keys() == []


def test_default_verify_is_true(tmp_path):
    p = write(tmp_path / "bad.tndb", Craft().build(crc=CORRUPT))
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch  "):
        _TarnReader(p)
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch  "):
        _TarnReader(path=p)
    _TarnReader(p, False)
    _TarnReader(path=p, verify=False)


# ---------------------------------------------------------------------------
# magic and version


@BOTH
def test_bad_magic_list_form(tmp_path, verify):
    blob = patch(sample_blob(), 0, b"PK\x03\x04")
    p = write(tmp_path / "zip.tndb", blob)
    open_fails(p, verify, corrupt_msg("bad magic [80, 75, 3, 4]"))


@BOTH
def test_bad_magic_full_byte_range(tmp_path, verify):
    p = write(tmp_path / "m.tndb", header(magic=b"\x00\xff\x80TN"[:4]))
    open_fails(p, verify, corrupt_msg("bad magic [0, 255, 128, 84]"))


@BOTH
def test_lowercase_magic_is_bad(tmp_path, verify):
    p = write(tmp_path / "m.tndb", header(magic=b"tndb"))
    open_fails(p, verify, corrupt_msg("bad magic [116, 110, 100, 98]"))


@BOTH
def test_magic_checked_before_version_and_crc(tmp_path, verify):
    p = write(tmp_path / "m.tndb", header(magic=b"XNDB", version=3, file_crc32=5) + b"junk")
    open_fails(p, verify, corrupt_msg("bad magic [88, 78, 68, 66]"))


@BOTH
@pytest.mark.parametrize("version", [0, 1, 3, 255])
def test_unsupported_version(tmp_path, verify, version):
    # The rest of the file is sound (correct CRC, valid index).
    blob = Craft()
    o = blob.add_object(b"x")
    blob.add_entry("k", o)
    p = write(tmp_path / f"v{version}.tndb", blob.build(version=version))
    open_fails(p, verify, f"TarnVersionError: unsupported version {version}")


def test_version_3_exact_message(tmp_path):
    p = write(tmp_path / "v3.tndb", header(version=3))
    with pytest.raises(RuntimeError) as info:
        _TarnReader(p)
    assert str(info.value) == "TarnVersionError: unsupported version 3"


def test_version_checked_before_crc(tmp_path):
    p = write(tmp_path / "v1.tndb", header(version=1, file_crc32=0xDEADBEEF) + b"x")
    open_fails(p, True, "TarnVersionError: unsupported version 1")


@BOTH
def test_reserved_bytes_data_offset_num_objects_ignored(tmp_path, verify):
    c = Craft()
    o = c.add_object(b"payload")
    c.add_entry("k", o)
    blob = c.build(reserved=b"\xff\xfe\xfd", tail=b"\x01\x02\x03\x04", data_offset=0xFFFFFFFFFFFFFFFF,
                   num_objects=0xFFFFFFFF)
    r = _TarnReader(write(tmp_path / "r.tndb", blob), verify=verify)
    assert r.get_raw("k") == b"payload"
    assert r.stats()["data_offset"] == 40
    assert r.stats()["num_objects"] == 0xFFFFFFFF


# ---------------------------------------------------------------------------
# whole-file CRC at open


def test_crc_mismatch_message_zero_padded(tmp_path):
    blob = set_crc(sample_blob(), 0x1A2B)
    computed = body_crc(blob)
    assert computed != 0x1A2B
    p = write(tmp_path / "crc.tndb", blob)
    open_fails(p, True, corrupt_msg(f"file CRC32 mismatch  stored=0x00001a2b  computed={hex32(computed)}"))


def test_crc_mismatch_message_small_stored_value(tmp_path):
    blob = set_crc(sample_blob(), 0x1F)
    p = write(tmp_path / "crc.tndb", blob)
    expected = f"file CRC32 mismatch  stored=0x0000001f  computed={hex32(body_crc(blob))}"
    open_fails(p, True, corrupt_msg(expected))
    assert "stored=0x0000001f  computed=0x" in expected  # two blanks before each


def test_crc_mismatch_computed_value_is_lowercase_padded(tmp_path):
    # Find a body whose CRC has a leading zero nibble and hex letters, so both
    # padding and case of the computed value are exercised.
    for i in range(10000):
        c = Craft()
        c.add_object(b"p%d" % i)
        blob = c.build(crc=0xABCDEF01)
        crc = body_crc(blob)
        if crc < 0x10000000 and any(ch in "abcdef" for ch in f"{crc:08x}"):
            break
    else:  # pragma: no cover
        pytest.fail("no suitable body found")
    p = write(tmp_path / "crc.tndb", blob)
    open_fails(p, True, corrupt_msg(f"file CRC32 mismatch  stored=0xabcdef01  computed=0x{crc:08x}"))


def test_crc_mismatch_opens_without_verify(tmp_path):
    blob = set_crc(sample_blob(), 0x1A2B)
    r = _TarnReader(write(tmp_path / "crc.tndb", blob), verify=False)
    assert r.keys() == ["a", "b", "k", "zz"]
    assert r.get_raw("zz") == b"hello"
    assert r.stats()["file_crc32"] == "0x00001a2b"


def test_header_is_not_covered_by_crc(tmp_path):
    # Changing num_objects (header only) keeps the CRC valid.
    blob = set_u32(sample_blob(), 12, 77)
    r = _TarnReader(write(tmp_path / "h.tndb", blob))
    assert r.stats()["num_objects"] == 77


def test_verify_false_still_rejects_magic_version_truncation(tmp_path):
    good = sample_blob()
    p = write(tmp_path / "a.tndb", patch(good, 0, b"PK\x03\x04"))
    open_fails(p, False, corrupt_msg("bad magic [80, 75, 3, 4]"))
    p = write(tmp_path / "b.tndb", patch(good, 4, b"\x03"))
    open_fails(p, False, "TarnVersionError: unsupported version 3")
    p = write(tmp_path / "c.tndb", set_u32(good, OFF_NUM_KEYS, 5))
    open_fails(p, False, corrupt_msg("index section truncated (key_len)"))
    p = write(tmp_path / "d.tndb", good[:-1])
    open_fails(p, False, corrupt_msg("index section truncated (key + offset)"))
    p = write(tmp_path / "e.tndb", good[:39])
    open_fails(p, False, corrupt_msg("file too small for header"))


# ---------------------------------------------------------------------------
# index decoding


def two_entry_craft() -> Craft:
    c = Craft()
    o = c.add_object(b"v")
    c.add_entry("a", o)
    c.add_entry("bb", o)
    return c


@BOTH
def test_num_keys_beyond_entries_ending_exactly_at_eof(tmp_path, verify):
    blob = two_entry_craft().build(num_keys=3)
    p = write(tmp_path / "t.tndb", blob)
    open_fails(p, verify, corrupt_msg("index section truncated (key_len)"))


@BOTH
def test_one_byte_of_key_len_left(tmp_path, verify):
    blob = two_entry_craft().build(num_keys=3, extra_index=b"\x00")
    open_fails(write(tmp_path / "t.tndb", blob), verify, corrupt_msg("index section truncated (key_len)"))


@BOTH
@pytest.mark.parametrize("cut", [1, 2, 3, 5, 10], ids=lambda n: f"cut{n}")
def test_last_entry_cut_inside_key_or_offset(tmp_path, verify, cut):
    # The last entry ("bb", 12 bytes) loses `cut` bytes: it ends inside its
    # offset (cut <= 8) or inside its key (cut 9, 10).
    blob = two_entry_craft().build()
    blob = blob[:-cut]
    if verify:
        blob = fix_crc(blob)
    open_fails(write(tmp_path / "t.tndb", blob), verify, corrupt_msg("index section truncated (key + offset)"))


@BOTH
def test_key_len_claiming_more_than_remains(tmp_path, verify):
    c = Craft()
    o = c.add_object(b"v")
    blob = c.build(num_keys=1, extra_index=entry("abc", o, key_len=0xFFFF))
    open_fails(write(tmp_path / "t.tndb", blob), verify, corrupt_msg("index section truncated (key + offset)"))


@BOTH
def test_entry_with_only_key_len(tmp_path, verify):
    c = Craft()
    blob = c.build(num_keys=1, extra_index=b"\x00\x00")
    open_fails(write(tmp_path / "t.tndb", blob), verify, corrupt_msg("index section truncated (key + offset)"))


@BOTH
@pytest.mark.parametrize("num_keys", [1, 2, 0xFFFFFFFF])
@pytest.mark.parametrize("index_offset", [10_000, 2**63, 2**64 - 1, 2**64 - 2])
def test_index_offset_beyond_end_with_keys(tmp_path, verify, num_keys, index_offset):
    blob = two_entry_craft().build(index_offset=index_offset, num_keys=num_keys)
    open_fails(write(tmp_path / "t.tndb", blob), verify, corrupt_msg("index section truncated (key_len)"))


@BOTH
def test_index_offset_one_before_end(tmp_path, verify):
    blob = two_entry_craft().build()
    blob = set_u64(blob, 16, len(blob) - 1)
    open_fails(write(tmp_path / "t.tndb", blob), verify, corrupt_msg("index section truncated (key_len)"))


@BOTH
@pytest.mark.parametrize("index_offset", [10_000, 2**64 - 1, 0])
def test_index_offset_beyond_end_with_zero_keys_is_harmless(tmp_path, verify, index_offset):
    blob = two_entry_craft().build(index_offset=index_offset, num_keys=0)
    r = _TarnReader(write(tmp_path / "t.tndb", blob), verify=verify)
    assert r.keys() == []
    assert r.items_raw() == []
    assert r.objects_raw() == []
    assert r.get_raw("a") is None
    assert r.prefix_raw("") == []
    assert r.stats()["index_offset"] == index_offset
    assert r.stats()["num_keys"] == 0


@BOTH
def test_index_offset_exactly_at_end_with_zero_keys(tmp_path, verify):
    c = Craft()
    c.add_object(b"orphan")
    r = _TarnReader(write(tmp_path / "t.tndb", c.build()), verify=verify)
    assert r.keys() == [] and r.objects_raw() == []
    assert r.verify() is True


def test_absurd_num_keys_fails_in_process(tmp_path):
    blob = two_entry_craft().build(num_keys=0xFFFFFFFF)
    p = write(tmp_path / "absurd.tndb", blob)
    for verify in (True, False):
        open_fails(p, verify, corrupt_msg("index section truncated (key_len)"))


def test_absurd_num_keys_does_not_exhaust_memory(tmp_path):
    # In a child allowed 1 GiB of address space beyond what it already maps
    # (a free-threaded interpreter maps about that much at start): a reader
    # that presized its lists or map from num_keys = 0xFFFFFFFF would need
    # tens of GiB and run out of memory.
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer's shadow memory does not fit under an address-space limit")
    blob = two_entry_craft().build(num_keys=0xFFFFFFFF)
    p = write(tmp_path / "absurd.tndb", blob)
    code = textwrap.dedent(
        f"""
        import resource, sys
        from tarndb._tarndb import _TarnReader
        with open("/proc/self/status") as f:
            mapped = next(int(line.split()[1]) for line in f if line.startswith("VmSize:")) * 1024
        limit = mapped + (1 << 30)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        for verify in (True, False):
            try:
                _TarnReader({p!r}, verify=verify)
            except BaseException as e:
                print(type(e).__name__ + ":" + str(e))
            else:
                print("opened")
        """
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["RuntimeError:TarnCorruptError: index section truncated (key_len)"] * 2


@BOTH
def test_num_keys_smaller_than_entries_sees_first_only(tmp_path, verify):
    c = Craft()
    o1 = c.add_object(b"one")
    o2 = c.add_object(b"two")
    c.add_entry("a", o1)
    c.add_entry("b", o2)
    c.add_entry("c", o1)
    r = _TarnReader(write(tmp_path / "t.tndb", c.build(num_keys=2)), verify=verify)
    assert r.keys() == ["a", "b"]
    assert r.get_raw("c") is None
    assert r.exists("c") is False
    assert r.prefix_raw("c") == []
    assert r.items_raw() == [("a", b"one"), ("b", b"two")]


@BOTH
def test_bytes_after_last_entry_are_ignored(tmp_path, verify):
    c = Craft()
    o = c.add_object(b"one")
    c.add_entry("a", o)
    r = _TarnReader(write(tmp_path / "t.tndb", c.build(extra_index=b"\xff" * 5)), verify=verify)
    assert r.items_raw() == [("a", b"one")]


def test_zero_length_key_entry_is_ten_bytes(tmp_path):
    c = Craft()
    o = c.add_object(b"empty-key")
    c.add_entry(b"", o)
    blob = c.build()
    assert len(blob) == 40 + 8 + 9 + 10
    r = _TarnReader(write(tmp_path / "t.tndb", blob))
    assert r.keys() == [""]
    assert r.get_raw("") == b"empty-key"
    assert r.get_raw(b"") == b"empty-key"


@BOTH
def test_index_offset_may_point_into_data_section(tmp_path, verify):
    # An entry placed inside the data section, with index_offset pointing at it.
    c = Craft()
    o = c.add_object(b"target")
    at = c.add_raw_data(entry("inner", o))
    c.add_entry("outer", o)  # after the data section; never decoded
    r = _TarnReader(write(tmp_path / "t.tndb", c.build(index_offset=at, num_keys=1)), verify=verify)
    assert r.keys() == ["inner"]
    assert r.get_raw("inner") == b"target"
    assert r.get_raw("outer") is None


@BOTH
def test_index_offset_may_point_into_header(tmp_path, verify):
    # index_offset 36 lands on the 4 trailing header bytes, which we set to an
    # entry start: key length 2, key = 2 bytes, then 8 offset bytes reaching
    # into the data section.
    c = Craft()
    c.add_raw_data(b"\x00" * 8)  # offset bytes for the entry: record offset 0
    blob = c.build(index_offset=36, num_keys=1, tail=b"\x00\x02ok")
    r = _TarnReader(write(tmp_path / "t.tndb", blob), verify=verify)
    assert r.keys() == ["ok"]
    assert r.exists("ok")
    # Record offset 0: its length field is "TNDB", far beyond the file.
    with pytest.raises(RuntimeError) as info:
        r.get_raw("ok")
    assert str(info.value) == "TarnCorruptError: object at 0 extends beyond file end"


# ---------------------------------------------------------------------------
# I/O errors


def test_missing_file(tmp_path):
    p = str(tmp_path / "missing.tndb")
    with pytest.raises(OSError) as info:
        _TarnReader(p)
    e = info.value
    assert type(e) is OSError
    assert str(e) == f"TarnIOError: cannot open {p}: No such file or directory (os error 2)"
    assert e.args == (str(e),)
    assert e.errno is None
    assert e.strerror is None
    assert e.filename is None
    assert not isinstance(e, FileNotFoundError)


def test_missing_file_verify_false(tmp_path):
    p = str(tmp_path / "nope" / "missing.tndb")
    open_fails(p, False, f"TarnIOError: cannot open {p}: No such file or directory (os error 2)", OSError)


def test_missing_relative_path_named_as_passed(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    open_fails("rel.tndb", True, "TarnIOError: cannot open rel.tndb: No such file or directory (os error 2)", OSError)


def test_nul_in_path(tmp_path):
    real = write(tmp_path / "real.tndb", header())
    p = real + "\0suffix"
    open_fails(p, True, f"TarnIOError: cannot open {p}: file name contained an unexpected NUL byte", OSError)
    p = "\0"
    open_fails(p, False, f"TarnIOError: cannot open {p}: file name contained an unexpected NUL byte", OSError)


def test_directory_path_is_io_error(tmp_path):
    with pytest.raises(OSError) as info:
        _TarnReader(str(tmp_path))
    assert type(info.value) is OSError
    assert str(info.value).startswith("TarnIOError: ")
    assert info.value.errno is None
    assert "(os error " in str(info.value)


def test_verify_accepts_numpy_bool(tmp_path):
    np = pytest.importorskip("numpy")
    p = write(tmp_path / "crc.tndb", set_crc(sample_blob(), 0x1A2B))
    r = _TarnReader(p, verify=np.bool_(False))
    assert r.keys() == ["a", "b", "k", "zz"]
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch  stored=0x00001a2b  "):
        _TarnReader(p, np.bool_(True))


def test_path_must_be_str(tmp_path):
    p = write(tmp_path / "ok.tndb", header())
    with pytest.raises(TypeError):
        _TarnReader(p.encode())
    with pytest.raises(TypeError):
        _TarnReader(tmp_path / "ok.tndb")
    with pytest.raises(TypeError):
        _TarnReader(str(tmp_path / "missing.tndb"), verify=1)  # before any file is opened
    _TarnReader(p, True)


# ---------------------------------------------------------------------------
# no descriptors or mappings left behind


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def maps_lines_mentioning(fragment: str) -> list[str]:
    with open("/proc/self/maps") as f:
        return [line for line in f if fragment in line]


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_failed_opens_leak_nothing(tmp_path):
    d = tmp_path / "leakcheck"
    d.mkdir()
    good = sample_blob()
    blobs = {
        "empty": b"",
        "small": good[:39],
        "magic": patch(good, 0, b"PK\x03\x04"),
        "version": patch(good, 4, b"\x03"),
        "crc": set_crc(good, 0x1A2B),
        "keylen": set_u32(good, OFF_NUM_KEYS, 50),
        "keyoff": good[:-3],
        "farindex": set_u64(good, 16, 2**64 - 1),
    }
    paths = {name: write(d / f"{name}.tndb", blob) for name, blob in blobs.items()}
    paths["missing"] = str(d / "missing.tndb")
    paths["dir"] = str(d)
    names = sorted(paths)
    verify_ok = {"crc"}  # opens fine without verification; only fail mode used

    before_fd = fd_count()
    assert maps_lines_mentioning(str(d)) == []
    failures = 0
    for i in range(1000):
        name = names[i % len(names)]
        with pytest.raises((RuntimeError, OSError)):
            _TarnReader(paths[name], verify=True if name in verify_ok else bool(i % 2))
        failures += 1
    assert failures == 1000
    assert fd_count() == before_fd
    assert maps_lines_mentioning(str(d)) == []


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_successful_open_keeps_mapping_not_fd_and_del_unmaps(tmp_path):
    d = tmp_path / "mapcheck"
    d.mkdir()
    p = write(d / "store.tndb", sample_blob())
    before_fd = fd_count()
    r = _TarnReader(p)
    assert fd_count() == before_fd  # descriptor closed at the end of construction
    assert maps_lines_mentioning(p) != []
    r.close()
    assert maps_lines_mentioning(p) != []  # close() releases nothing
    with r:
        pass
    assert maps_lines_mentioning(p) != []
    payload = r.get_raw("zz")
    del r
    assert maps_lines_mentioning(p) == []
    assert fd_count() == before_fd
    assert payload == b"hello"  # a copy, valid after the reader is gone


@pytest.mark.skipif(not os.path.isdir("/proc/self/fd"), reason="needs /proc")
def test_many_successful_opens_and_dels_leak_nothing(tmp_path):
    d = tmp_path / "many"
    d.mkdir()
    p = write(d / "store.tndb", sample_blob())
    before_fd = fd_count()
    for _ in range(300):
        r = _TarnReader(p, verify=False)
        assert r.get_raw("a") == b""
        del r
    assert fd_count() == before_fd
    assert maps_lines_mentioning(str(d)) == []
