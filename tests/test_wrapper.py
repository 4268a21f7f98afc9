"""The Python layer: TarnWriter, TarnReader and the exception classes."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import zlib
from collections.abc import Mapping
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import tarndb
from conftest import raw_store
from tarndb import TarnCorruptError, TarnError, TarnIOError, TarnReader, TarnVersionError, TarnWriter

# ---------------------------------------------------------------- helpers


def build(path: pathlib.Path | str, data: Mapping[Any, Any]) -> None:
    w = TarnWriter()
    for key, value in data.items():
        w[key] = value
    w.build(os.fspath(path))



@pytest.fixture
def store(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "s.tndb"
    build(path, {"apple": {"colour": "red"}, "banana": [1, 2, 3], "cherry": "dark", "b": None})
    return path


# ---------------------------------------------------------------- Mapping behaviour against a dict

_scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**64 - 1)
    | st.floats(allow_nan=False)
    | st.text(max_size=20)
    | st.binary(max_size=20)
)
_values = st.recursive(
    _scalars,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4),
    max_leaves=12,
)
_keys = st.text(st.characters(exclude_categories=["Cs"]), max_size=12)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.dictionaries(_keys, _values, max_size=30), probe=_keys)
def test_reader_behaves_like_the_dict_it_was_built_from(data: dict[str, Any], probe: str) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "d.tndb")
        build(path, data)
        with TarnReader(path) as r:
            assert isinstance(r, Mapping)
            assert len(r) == len(data)
            assert list(r) == sorted(data)
            assert list(r.keys()) == sorted(data)
            assert list(r.items()) == sorted(data.items())
            assert list(r.values()) == [data[k] for k in sorted(data)]
            assert r == data
            assert dict(r) == data
            for key, value in data.items():
                assert key in r
                assert r[key] == value
                assert r.get(key) == value
                assert r[key.encode("utf-8")] == value
            assert (probe in r) == (probe in data)
            assert r.get(probe, "absent") == data.get(probe, "absent")
            if probe not in data:
                with pytest.raises(KeyError):
                    r[probe]
            for key in list(data)[:5] + [probe, ""]:
                for p in {key[:n] for n in range(len(key) + 1)}:
                    expected = [(k, data[k]) for k in sorted(data) if k.startswith(p)]
                    assert r.prefix(p) == expected
                    assert r.prefix(p.encode("utf-8")) == expected
                    assert r.prefix_keys(p) == [k for k, _ in expected]


def test_keys_items_values_are_dict_like_views(store: pathlib.Path) -> None:
    with TarnReader(store) as r:
        assert r.keys() == {"apple", "b", "banana", "cherry"}
        assert ("b", None) in r.items()
        assert ("b", 0) not in r.items()
        assert "dark" in r.values()
        assert list(r) == ["apple", "b", "banana", "cherry"]
        assert r.prefix("b") == [("b", None), ("banana", [1, 2, 3])]
        assert r.prefix("bz") == []
        assert r.prefix_keys("ba") == ["banana"]


def test_missing_key_raises_key_error_and_get_gives_default(store: pathlib.Path) -> None:
    with TarnReader(store) as r:
        with pytest.raises(KeyError) as info:
            r["durian"]
        assert info.value.args == ("durian",)
        assert r.get("durian") is None
        assert r.get("durian", 7) == 7
        assert r.get("b", 7) is None  # a stored None is not "absent"
        assert "durian" not in r


def test_str_and_utf8_bytes_are_the_same_key(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "u.tndb"
    # TarnWriter refuses bytes keys that are not UTF-8; another program may
    # still write them, and they are found by their bytes.
    path.write_bytes(raw_store([msgpack.packb(1), msgpack.packb(2)], [("é".encode(), 0), (b"\xff\xfe", 1)]))
    with TarnReader(path) as r:
        assert r["é"] == r["é".encode()] == 1
        assert r[b"\xff\xfe"] == 2
        assert r.get(b"\xff\xfe") == 2


def test_objects_round_trip_through_msgpack(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "o.tndb"
    obj = {"bytes": b"\x00\xff", 1: "int key", (1, 2): "tuple key", "nested": {"t": (3, 4)}, "big": 2**64 - 1}
    build(path, {"k": obj, "empty": b"", "zero": 0})
    with TarnReader(path) as r:
        got = r["k"]
        assert got["bytes"] == b"\x00\xff"
        assert got[1] == "int key"
        assert got[(1, 2)] == "tuple key"  # a list key comes back as a tuple
        assert got["nested"] == {"t": [3, 4]}  # tuples come back as lists
        assert got["big"] == 2**64 - 1
        assert r["empty"] == b""
        assert r["zero"] == 0
        assert r.raw("zero") == msgpack.packb(0)
        with pytest.raises(KeyError):
            r.raw("nope")


def test_empty_store(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "e.tndb"
    TarnWriter(path).build()
    with TarnReader(path) as r:
        assert len(r) == 0
        assert list(r) == []
        assert r == {}
        assert r.prefix("") == []
        assert r.verify() is True
        assert r.stats["num_keys"] == 0


# ---------------------------------------------------------------- writer


def test_add_maps_many_keys_to_one_object(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "m.tndb"
    w = TarnWriter(path)
    apple = w.add({"name": "apple"}, "apple", "malus", b"pomme")
    lonely = w.add("no keys yet")
    w.alias("later", lonely)
    w["pear"] = {"name": "pear"}
    w["pear"] = {"name": "pear", "v": 2}  # the later mapping of a key wins
    assert (apple, lonely) == (0, 1)
    assert w.num_objects == 4
    assert repr(w) == f"TarnWriter(path={str(path)!r}, objects=4, keys=5)"
    w.build()
    with TarnReader(path) as r:
        assert r["apple"] == r["malus"] == r["pomme"] == {"name": "apple"}
        assert r["later"] == "no keys yet"
        assert r["pear"] == {"name": "pear", "v": 2}
        assert r.stats["num_objects"] == 4
        assert r.stats["num_keys"] == 5
        assert len(r) == 5


def test_context_manager_builds_on_clean_exit(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "c.tndb"
    with TarnWriter(path) as w:
        w["a"] = 1
        assert not path.exists()
    with TarnReader(path) as r:
        assert dict(r) == {"a": 1}


def test_context_manager_builds_nothing_when_the_block_raises(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "c.tndb"
    with pytest.raises(ZeroDivisionError):
        with TarnWriter(path) as w:
            w["a"] = 1
            1 / 0
    assert list(tmp_path.iterdir()) == []

    build(path, {"old": True})
    before = path.read_bytes()
    with pytest.raises(RuntimeError, match="stop"):
        with TarnWriter(path) as w:
            w["new"] = True
            raise RuntimeError("stop")
    assert path.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["c.tndb"]


def test_writer_needs_a_path_to_build(tmp_path: pathlib.Path) -> None:
    w = TarnWriter()
    with pytest.raises(TypeError):
        with w:
            pass
    with pytest.raises(TypeError):
        w.build()
    w.build(tmp_path / "given.tndb")  # a path object will do
    assert (tmp_path / "given.tndb").exists()


def test_rejected_arguments_stage_nothing(tmp_path: pathlib.Path) -> None:
    w = TarnWriter()
    with pytest.raises(TypeError):
        w.add(object(), "k")  # msgpack cannot hold it
    with pytest.raises(TypeError, match="^key must be str or bytes, not 'int'$") as info:
        w.add(1, "ok", 5)  # type: ignore[arg-type]
    assert not isinstance(info.value, TarnError)
    with pytest.raises(TarnError, match="exceeds the limit of 65535 bytes"):
        w.add(1, "x" * 65536)
    assert w.num_objects == 0
    assert repr(w).endswith("objects=0, keys=0)")
    w.add(1, "x" * 65535)  # the longest key the format holds
    w.build(tmp_path / "k.tndb")
    with TarnReader(tmp_path / "k.tndb") as r:
        assert r["x" * 65535] == 1


def test_alias_argument_errors_stay_what_they_are() -> None:
    w = TarnWriter()
    oid = w.add(0)
    with pytest.raises(TypeError):
        w.alias("k", "0")  # type: ignore[arg-type]
    with pytest.raises(OverflowError):
        w.alias("k", -1)
    with pytest.raises(TypeError, match="key must be str or bytes, not 'NoneType'"):
        w.alias(None, oid)  # type: ignore[arg-type]


def test_building_again_after_more_staging(tmp_path: pathlib.Path) -> None:
    w = TarnWriter()
    w["a"] = 1
    w.build(tmp_path / "one.tndb")
    w["b"] = 2
    w.build(tmp_path / "two.tndb")
    assert len(TarnReader(tmp_path / "one.tndb")) == 1
    assert len(TarnReader(tmp_path / "two.tndb")) == 2


def test_build_prints_nothing_unless_verbose(tmp_path: pathlib.Path, capfd: pytest.CaptureFixture[str]) -> None:
    # Nothing reaches descriptor 1 by default; verbose=True prints the
    # summary line through sys.stdout, in order with the caller's output.
    target = str(tmp_path / "o.tndb")
    w = tarndb.TarnWriter(target)
    w["k"] = 1
    print("before")
    w.build()
    w.build(verbose=True)
    print("after")
    size = os.path.getsize(target)  # 60 bytes of store and its lookup index
    assert capfd.readouterr().out.splitlines() == ["before", f"✅  {target}  —  1 object · 1 key · {size} bytes", "after"]


# ---------------------------------------------------------------- exceptions


def test_exception_hierarchy() -> None:
    assert issubclass(TarnError, Exception)
    for cls in (TarnCorruptError, TarnVersionError, TarnIOError):
        assert issubclass(cls, TarnError)
    assert issubclass(TarnIOError, OSError)
    assert not issubclass(TarnCorruptError, OSError)
    assert not issubclass(TarnError, (RuntimeError, ValueError))


def test_bad_magic_is_a_corrupt_error(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "zip.tndb"
    path.write_bytes(b"PK\x03\x04" + bytes(60))
    with pytest.raises(TarnCorruptError) as info:
        TarnReader(path)
    # The class is raised directly: named once, the file named in the message.
    assert str(info.value) == f"{path}: not a tarndb store (bad magic [80, 75, 3, 4])"
    assert info.value.__cause__ is None
    assert not isinstance(info.value, OSError)


def test_version_byte_3_is_a_version_error(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "v3.tndb"
    path.write_bytes(raw_store([b"\x01"], [(b"k", 0)], version=3))
    with pytest.raises(TarnVersionError) as info:
        TarnReader(path, verify=False)
    assert str(info.value) == "unsupported version 3"
    assert info.value.__cause__ is None


def test_missing_file_is_an_io_error_and_an_os_error(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "missing.tndb"
    with pytest.raises(OSError) as info:
        TarnReader(path)
    err = info.value
    assert isinstance(err, TarnIOError)
    assert isinstance(err, TarnError)
    assert str(err).startswith(f"cannot open {path}: ")
    assert str(err).endswith("(os error 2)")
    assert err.errno == 2
    assert err.__cause__ is None


def test_obj_id_out_of_range_is_a_tarn_error() -> None:
    w = TarnWriter()
    w.add("x")
    with pytest.raises(TarnError) as info:
        w.alias("k", 1)
    assert type(info.value) is TarnError
    assert str(info.value) == "obj_id 1 out of range (have 1 objects)"


def test_build_into_missing_directory_is_an_io_error(tmp_path: pathlib.Path) -> None:
    w = TarnWriter()
    with pytest.raises(TarnIOError) as info:
        w.build(tmp_path / "no" / "such.tndb")
    assert "open tmp: " in str(info.value)
    assert info.value.errno == 2


def test_checksum_faults(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "f.tndb"
    build(path, {"k": "payload-payload"})
    data = bytearray(path.read_bytes())
    data[50] ^= 0xFF  # inside the payload
    path.write_bytes(bytes(data))
    with pytest.raises(TarnCorruptError, match="file CRC32 mismatch"):
        TarnReader(path)
    with TarnReader(path, verify=False) as r:  # opens; reading or verifying notices
        with pytest.raises(TarnCorruptError, match=r"object of key 'k' \(record at offset 40\) fails its CRC-32 check"):
            r["k"]
        with pytest.raises(TarnCorruptError, match=r"object of key 'k' \(record at offset 40\) .*; 1 of 1 record fails$"):
            r.verify()


def test_truncated_file(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "t.tndb"
    build(path, {"key": "value"})
    data = path.read_bytes()
    path.write_bytes(data[:-3])
    size = len(data) - 3
    for verify in (True, False):
        with pytest.raises(TarnCorruptError, match=f"^{path}: truncated: the file is {size} bytes, but its header "
                           f"and index need at least {size + 3}$"):
            TarnReader(path, verify=verify)
    path.write_bytes(data[:39])
    with pytest.raises(TarnCorruptError, match="file too small for header"):
        TarnReader(path)


def test_damaged_records_raise_on_access_only(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "d.tndb"
    path.write_bytes(
        raw_store(
            [b"\x01", b"\xc1", b"\x92", b"\x02"],
            [(b"bad", 1), (b"far", 3), (b"good", 0), (b"short", 2)],
            offsets={3: 10**6},  # a record offset beyond the end of the file
        )
    )
    with TarnReader(path) as r:
        assert r["good"] == 1
        with pytest.raises(TarnCorruptError, match="not valid msgpack"):
            r["bad"]
        with pytest.raises(TarnCorruptError, match="not valid msgpack"):
            r["short"]
        with pytest.raises(TarnCorruptError, match="offset 1000000 out of bounds$"):
            r["far"]
        assert "far" in r  # presence comes from the index alone
        assert len(r) == 4
        with pytest.raises(TarnCorruptError):
            r.verify()


def test_argument_errors_of_lookups_stay_what_they_are(store: pathlib.Path) -> None:
    with TarnReader(store) as r:
        for call in (lambda: r[5], lambda: r.get(None), lambda: 3.5 in r, lambda: r.prefix(None)):  # type: ignore[index, arg-type, comparison-overlap]
            # As the dbm modules do: TypeError (the low-level module keeps ValueError).
            with pytest.raises(TypeError, match="^key must be str or bytes, not '(int|NoneType|float)'$") as info:
                call()
            assert not isinstance(info.value, TarnError)
    with pytest.raises(TypeError):
        TarnReader(5)  # type: ignore[arg-type]


# ---------------------------------------------------------------- files from other writers


def test_duplicate_and_non_utf8_keys_keep_len_consistent(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "foreign.tndb"
    records = [msgpack.packb(v) for v in ("first", "second", "latin-1", "genuine", "z")]
    entries = [
        (b"dup", 0),
        (b"dup", 1),  # the same key twice: lookups see the later entry
        (b"\xe9t\xe9", 2),  # not UTF-8: listed lossily by the native layer
        ("\ufffdt\ufffd".encode(), 3),  # a real key with U+FFFD in it
        (b"z", 4),
    ]
    path.write_bytes(raw_store(records, entries))
    with TarnReader(path) as r:
        keys = list(r)
        assert keys == ["dup", "z", "\ufffdt\ufffd"]
        assert len(r) == len(keys) == len(set(keys))
        assert all(k in r for k in r)
        assert r["dup"] == "second"
        assert r["\ufffdt\ufffd"] == "genuine"
        assert r[b"\xe9t\xe9"] == "latin-1"  # still found by its bytes
        assert dict(r.items()) == {"dup": "second", "z": "z", "\ufffdt\ufffd": "genuine"}
        assert r.prefix("") == list(r.items())
        assert r.prefix("d") == [("dup", "second")]


def test_unsorted_foreign_file_still_iterates_in_sorted_order(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "unsorted.tndb"
    records = [msgpack.packb(i) for i in range(3)]
    path.write_bytes(raw_store(records, [(b"c", 2), (b"a", 0), (b"b", 1)]))
    with TarnReader(path) as r:
        assert list(r) == ["a", "b", "c"]
        assert list(r.values()) == [0, 1, 2]


# ---------------------------------------------------------------- lifecycle, threads, replacement


def test_close_and_context_manager(store: pathlib.Path) -> None:
    r = TarnReader(store)
    assert repr(r) == f"TarnReader({str(store)!r}, keys=4, objects=4)"
    assert not r.closed
    with r as same:
        assert same is r
        assert same["cherry"] == "dark"
    assert r.closed
    assert repr(r) == f"TarnReader({str(store)!r}, closed)"
    for call in (lambda: r["cherry"], lambda: len(r), lambda: "a" in r, r.verify, lambda: r.stats):
        with pytest.raises(ValueError, match="closed"):
            call()
    r.close()  # again: nothing happens
    with pytest.raises(ValueError):
        with r:
            pass


def test_stats(store: pathlib.Path) -> None:
    with TarnReader(store) as r:
        s = r.stats
    assert list(s) == [
        "path",
        "version",
        "num_keys",
        "num_objects",
        "index_offset",
        "data_offset",
        "file_size_kb",
        "file_crc32",
        "lookup_index_bytes",
    ]
    assert s["path"] == str(store)
    assert s["version"] == 2
    assert s["num_keys"] == 4
    assert s["data_offset"] == 40
    assert s["file_size_kb"] * 1024 == store.stat().st_size
    assert s["file_crc32"] == f"0x{zlib.crc32(store.read_bytes()[40:]):08x}"


def test_one_reader_shared_by_threads(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "t.tndb"
    data = {f"key-{i:05d}": {"i": i, "s": "x" * (i % 50)} for i in range(3000)}
    build(path, data)
    r = TarnReader(path)
    errors: list[BaseException] = []
    barrier = threading.Barrier(8)

    def work(seed: int) -> None:
        try:
            barrier.wait()
            assert len(r) == len(data)  # settled once at open: no lock, no list
            for i in range(seed, 3000, 7):
                key = f"key-{i:05d}"
                assert r[key] == data[key]
            assert r.prefix("key-0001") == [(k, data[k]) for k in sorted(data) if k.startswith("key-0001")]
        except BaseException as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(n,)) for n in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []


def test_open_reader_keeps_its_file_when_a_build_replaces_it(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "live.tndb"
    build(path, {"version": 1, "old-only": True})
    old = TarnReader(path)
    build(path, {"version": 2, "new-only": True})
    new = TarnReader(path)
    assert dict(old) == {"version": 1, "old-only": True}
    assert old.verify()
    assert dict(new) == {"version": 2, "new-only": True}
    assert sorted(p.name for p in tmp_path.iterdir()) == ["live.tndb"]


def test_package_surface() -> None:
    assert tarndb.__version__ == "0.2.0"
    for name in tarndb.__all__:
        assert hasattr(tarndb, name)
    assert TarnReader.__mro__[1] is tarndb._fast.Reader
    assert issubclass(TarnReader, Mapping)
