"""Writer staging, repr, last-add-wins and the format's limits."""

import pytest

from conftest import MAX_KEY_LEN, build, expected_tndb, make_writer, parse_tndb, read_file

from tarndb._tarndb import _TarnReader, _TarnWriter


def staged(tmp_path, w, name="staged.tndb"):
    """(payloads in ID order, key bytes -> object ID) of what `w` holds, read
    back from a build."""
    path = tmp_path / name
    w.build(str(path))
    pf = parse_tndb(read_file(path))
    return [p for *_, p in pf.records], pf.key_to_object_index()


def test_new_writer_repr():
    w = _TarnWriter()
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"
    assert str(w) == repr(w)


def test_repr_counts():
    w = _TarnWriter()
    for i in range(12):
        w.add_object_raw(b"x" * i)
    for i in range(7):
        w.add_key(f"k{i}", i)
    assert repr(w) == "_TarnWriter(objects=12, keys=7)"


def test_object_ids_sequential_from_zero(tmp_path):
    w = _TarnWriter()
    assert w.add_object_raw(b"") == 0
    assert w.add_object_raw(b"same") == 1
    assert w.add_object_raw(b"same") == 2
    ids = [w.add_object_raw(bytes([i])) for i in range(100)]
    assert ids == list(range(3, 103))
    assert all(type(i) is int for i in ids)
    assert repr(w) == "_TarnWriter(objects=103, keys=0)"
    payloads, keys = staged(tmp_path, w)
    assert payloads[:3] == [b"", b"same", b"same"]  # not de-duplicated
    assert payloads[3:] == [bytes([i]) for i in range(100)]
    assert keys == {}


def test_payload_is_copied(tmp_path):
    # The bytes object may go away (or a subclass mutate its view) after the call.
    w = _TarnWriter()
    data = bytes(range(256)) * 10
    w.add_object_raw(data)
    del data
    payloads, _ = staged(tmp_path, w)
    assert payloads == [bytes(range(256)) * 10]


def test_key_bytes_are_copied(tmp_path):
    w = make_writer([b"v"])
    key = bytearray(b"orig")
    w.add_key(key, 0)
    key[:] = b"changed"
    seq = [111, 112]
    w.add_key(seq, 0)
    seq.append(113)
    assert staged(tmp_path, w)[1] == {b"orig": 0, b"op": 0}


def test_add_key_without_objects_out_of_range():
    w = _TarnWriter()
    with pytest.raises(ValueError) as info:
        w.add_key("a", 0)
    assert type(info.value) is ValueError
    assert str(info.value) == "TarnError: obj_id 0 out of range (have 0 objects)"
    assert info.value.args == ("TarnError: obj_id 0 out of range (have 0 objects)",)
    assert repr(w) == "_TarnWriter(objects=0, keys=0)"


def test_obj_id_range_boundary(tmp_path):
    w = make_writer([b"0", b"1", b"2"])
    w.add_key("two", 2)
    with pytest.raises(ValueError, match=r"^TarnError: obj_id 3 out of range \(have 3 objects\)$"):
        w.add_key("three", 3)
    with pytest.raises(ValueError, match=r"^TarnError: obj_id 1000 out of range \(have 3 objects\)$"):
        w.add_key("big", 1000)
    assert repr(w) == "_TarnWriter(objects=3, keys=1)"
    # The range grows with the object count.
    w.add_object_raw(b"3")
    w.add_key("three", 3)
    assert staged(tmp_path, w)[1] == {b"two": 2, b"three": 3}


def test_failed_add_key_keeps_existing_mapping(tmp_path):
    w = make_writer([b"0", b"1"], [("k", 1)])
    with pytest.raises(ValueError, match="out of range"):
        w.add_key("k", 2)
    with pytest.raises(OverflowError):
        w.add_key("k", -1)
    assert repr(w) == "_TarnWriter(objects=2, keys=1)"
    assert staged(tmp_path, w)[1] == {b"k": 1}


def test_last_add_wins_str_then_str(tmp_path):
    w = make_writer([b"0", b"1"])
    w.add_key("k", 0)
    w.add_key("k", 1)
    assert repr(w) == "_TarnWriter(objects=2, keys=1)"
    assert staged(tmp_path, w)[1] == {b"k": 1}


def test_last_add_wins_str_then_same_bytes(tmp_path):
    w = make_writer([b"0", b"1"])
    w.add_key("k", 0)
    w.add_key(b"k", 1)
    assert repr(w) == "_TarnWriter(objects=2, keys=1)"
    assert staged(tmp_path, w)[1] == {b"k": 1}


def test_last_add_wins_across_key_forms(tmp_path):
    w = make_writer([b"0", b"1", b"2", b"3", b"4"])
    text = "caf\u00e9"
    w.add_key(text, 0)
    w.add_key(text.encode(), 1)
    w.add_key(bytearray(text.encode()), 2)
    w.add_key(list(text.encode()), 3)
    w.add_key(memoryview(text.encode()), 4)
    assert repr(w) == "_TarnWriter(objects=5, keys=1)"
    assert staged(tmp_path, w)[1] == {text.encode(): 4}
    # And back again.
    w.add_key(text, 0)
    assert staged(tmp_path, w, "again.tndb")[1] == {text.encode(): 0}


def test_last_add_wins_in_file_and_reader(tmp_path):
    path = build(tmp_path, [b"old", b"new"], [("k", 0), (b"k", 1)])
    assert read_file(path) == expected_tndb([b"old", b"new"], [("k", 1)])
    assert _TarnReader(str(path)).get_raw("k") == b"new"


def test_many_keys_share_an_object(tmp_path):
    w = make_writer([b"shared", b"lonely"], [("a", 0), ("b", 0), ("c", 0)])
    payloads, keys = staged(tmp_path, w)
    assert payloads == [b"shared", b"lonely"]
    assert keys == {b"a": 0, b"b": 0, b"c": 0}


def test_empty_and_non_utf8_keys(tmp_path):
    w = make_writer([b"e", b"x"], [("", 0), (b"\xff\xfe", 1), (b"\x00", 1)])
    assert repr(w) == "_TarnWriter(objects=2, keys=3)"
    assert staged(tmp_path, w)[1] == {b"": 0, b"\xff\xfe": 1, b"\x00": 1}
    w.add_key(b"", 1)  # the empty str and empty bytes are the same key
    assert repr(w) == "_TarnWriter(objects=2, keys=3)"


def test_bytearray_payload_stages_nothing():
    w = make_writer([b"a"])
    with pytest.raises(TypeError, match="^argument 'raw_bytes': 'bytearray' object is not an instance of 'bytes'$"):
        w.add_object_raw(bytearray(b"b"))
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"
    assert w.add_object_raw(b"c") == 1


def test_failed_key_conversion_stages_nothing():
    w = make_writer([b"a"])
    for bad in (None, {}, [256], "\ud800", 3.5):
        with pytest.raises(ValueError, match="^key must be str or bytes$"):
            w.add_key(bad, 0)
    assert repr(w) == "_TarnWriter(objects=1, keys=0)"


def test_staging_continues_after_build(tmp_path):
    w = make_writer([b"a"], [("a", 0)])
    first = tmp_path / "first.tndb"
    w.build(str(first))
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
    assert w.add_object_raw(b"b") == 1
    w.add_key("b", 1)
    w.add_key("a", 1)
    second = tmp_path / "second.tndb"
    w.build(str(second))
    assert read_file(first) == expected_tndb([b"a"], [("a", 0)])
    assert read_file(second) == expected_tndb([b"a", b"b"], [("a", 1), ("b", 1)])


def test_writers_are_independent(tmp_path):
    w1, w2 = make_writer([b"1"], [("k", 0)]), _TarnWriter()
    assert repr(w2) == "_TarnWriter(objects=0, keys=0)"
    with pytest.raises(ValueError, match="have 0 objects"):
        w2.add_key("k", 0)
    assert repr(w1) == "_TarnWriter(objects=1, keys=1)"


def test_large_number_of_keys_and_replacements(tmp_path):
    n = 5000
    w = make_writer([b"even", b"odd"])
    for i in range(n):
        w.add_key(f"key{i}", i % 2)
    for i in range(0, n, 3):
        w.add_key(f"key{i}".encode(), (i + 1) % 2)
    assert repr(w) == f"_TarnWriter(objects=2, keys={n})"
    expected = {f"key{i}".encode(): ((i + 1) % 2 if i % 3 == 0 else i % 2) for i in range(n)}
    assert staged(tmp_path, w)[1] == expected


# ------------------------------------------------------------------ limits


def test_key_of_65535_bytes_accepted_and_round_trips(tmp_path):
    key = bytes(i % 251 for i in range(MAX_KEY_LEN))
    w = make_writer([b"long"])
    w.add_key(key, 0)
    w.add_key("x" * MAX_KEY_LEN, 0)
    assert repr(w) == "_TarnWriter(objects=1, keys=2)"
    path = tmp_path / "long.tndb"
    w.build(str(path))
    data = read_file(path)
    assert data == expected_tndb([b"long"], [(key, 0), ("x" * MAX_KEY_LEN, 0)])
    r = _TarnReader(str(path))
    assert r.get_raw(key) == b"long"
    assert r.get_raw("x" * MAX_KEY_LEN) == b"long"
    assert r.verify() is True


@pytest.mark.parametrize(
    "key",
    [b"k" * 65536, "k" * 65536, "\u00e9" * 32768, bytearray(65536), [0] * 65536, b"z" * 100000],
    ids=["bytes", "str", "str_two_byte_chars", "bytearray", "int_list", "100000"],
)
def test_key_too_long_refused_in_add_key(tmp_path, key):
    w = make_writer([b"v"], [("keep", 0)])
    size = 65536 if len(key) != 100000 else 100000
    with pytest.raises(ValueError) as info:
        w.add_key(key, 0)
    msg = str(info.value)
    assert type(info.value) is ValueError
    assert msg.startswith("TarnError: ")
    assert str(size) in msg and "65535" in msg
    # Nothing is staged.
    assert repr(w) == "_TarnWriter(objects=1, keys=1)"
    assert staged(tmp_path, w)[1] == {b"keep": 0}


def test_key_too_long_does_not_replace_existing_key(tmp_path):
    long = b"q" * 65536
    w = make_writer([b"0", b"1"])
    with pytest.raises(ValueError, match="^TarnError: "):
        w.add_key(long, 1)
    w.add_key(long[:-1], 0)
    with pytest.raises(ValueError, match="^TarnError: "):
        w.add_key(long, 1)
    assert repr(w) == "_TarnWriter(objects=2, keys=1)"
    assert staged(tmp_path, w)[1] == {long[:-1]: 0}


# ---------------------------------------------------------------- TarnWriter: the package's writer

import contextlib
import copy
import datetime
import decimal
import io
import os
import pickle
import threading
import traceback
import uuid

import msgpack
import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

import tarndb
from tarndb import BuildReport, TarnCorruptError, TarnError, TarnIOError, TarnReader, TarnVersionError, TarnWriter


def test_build_is_silent_and_returns_its_report(tmp_path, capfd):
    target = tmp_path / "r.tndb"
    w = TarnWriter(target)
    w.add({"a": 1}, "a", "b")
    w["c"] = [1, 2]
    report = w.build()
    assert capfd.readouterr() == ("", "")
    with TarnReader(target) as r:
        stats = r.stats
    assert report == BuildReport(
        str(target), 2, 3, target.stat().st_size, report.seconds, stats["lookup_index_bytes"], 1, 1
    )
    assert report.lookup_index_bytes > 0
    assert (report.objects, report.keys) == (stats["num_objects"], stats["num_keys"])
    assert report.seconds > 0
    assert w.last_build == report
    with pytest.raises(AttributeError):
        report.keys = 0  # frozen
    # verbose goes through sys.stdout, so redirect_stdout captures it
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        again = w.build(verbose=True)
    assert buf.getvalue() == f"✅  {target}  —  2 objects · 3 keys · {again.bytes} bytes\n"
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize(
    ("objects", "keys", "size", "line"),
    [
        (1, 1, 60, "1 object · 1 key · 60 bytes"),
        (2, 0, 1, "2 objects · 0 keys · 1 byte"),
        (3, 5, 1536, "3 objects · 5 keys · 1.5 KiB"),
        (1, 2, 5 * 2**20 + 2**19, "1 object · 2 keys · 5.5 MiB"),
        (10**6, 10**6, 3 * 2**30, "1,000,000 objects · 1,000,000 keys · 3.0 GiB"),
        (0, 0, 1024 * 1024 - 1, "0 objects · 0 keys · 1.0 MiB"),  # not "1024.0 KiB"
    ],
)
def test_summary_line_units_and_counts(objects, keys, size, line):
    assert BuildReport("x.tndb", objects, keys, size, 0.1).summary() == f"✅  x.tndb  —  {line}"


@pytest.mark.parametrize(
    ("key", "message"),
    [
        (b"\xe9t\xe9", r"key b'\\xe9t\\xe9' is not valid UTF-8 \(at byte 0\)"),
        (bytearray(b"ok\xff"), r"key b'ok\\xff' is not valid UTF-8 \(at byte 2\)"),
        ("a\udcff", r"key 'a\\udcff' cannot be encoded as UTF-8: it holds a lone surrogate at index 1"),
        ("\ud800", r"cannot be encoded as UTF-8"),
        (3, r"^key must be str or bytes, not 'int'$"),
        ([104, 105], r"^key must be str or bytes, not 'list'$"),
    ],
)
@pytest.mark.parametrize("how", ["add", "alias", "setitem", "add_raw"])
def test_keys_that_are_not_utf8_text_are_refused(tmp_path, key, message, how):
    w = TarnWriter()
    oid = w.add("kept", "kept")
    # A key that is not text at all is of the wrong type; one that is not UTF-8, a wrong value.
    with pytest.raises(TypeError if "must be" in message else ValueError, match=message):
        if how == "add":
            w.add("x", "fine", key)
        elif how == "alias":
            w.alias(key, oid)
        elif how == "setitem":
            w[key] = "x"
        else:
            w.add_raw(msgpack.packb("x"), "fine", key)
    assert w.num_objects == 1  # nothing staged
    w.build(tmp_path / "k.tndb")
    with TarnReader(tmp_path / "k.tndb") as r:
        # every stored key is listed: len() agrees with the header
        assert len(r) == r.stats["num_keys"] == 1 and dict(r) == {"kept": "kept"}


def test_add_raw_stores_the_bytes_as_they_are(tmp_path):
    payloads = [msgpack.packb(v) for v in ({"a": [1, 2]}, None, b"\x00" * 70000, {(1, 2): "tuple key"})]
    w = TarnWriter(tmp_path / "raw.tndb")
    ids = [w.add_raw(p, f"k{i}", f"alt{i}") for i, p in enumerate(payloads)]
    w.add_raw(memoryview(payloads[0]), "view")
    assert ids == [0, 1, 2, 3]
    w.build()
    with TarnReader(tmp_path / "raw.tndb") as r:
        assert [r.raw(f"k{i}") for i in range(4)] == payloads
        assert r.raw("view") == payloads[0]
        assert r.stats["num_objects"] == 5


@pytest.mark.parametrize(
    ("payload", "message"),
    [
        (b"", "payload is not valid msgpack"),
        (b"\xc1", "payload is not valid msgpack"),
        (b"\x92\x01", "payload is not valid msgpack"),  # a list of two with one item
        (b"\x01\x02", "payload is not one msgpack value: 1 byte after the first"),
        (msgpack.packb("x") * 3, "payload is not one msgpack value: 4 bytes after the first"),
        (b"\xa2\xff\xfe", "payload is not valid msgpack: invalid utf-8 in str at byte 0"),  # a str that is not UTF-8
        (b"\x81\x80\x00", "payload is not valid msgpack: map used as a map key at byte 1"),
        (b"\x81\x91\x80\x00", "payload is not valid msgpack: map used as a map key at byte 2"),  # inside an array key
        (b"\xd4\xfe\x00", "payload is not valid msgpack: reserved ext type -2 at byte 0"),
        (b"\xd7\xff" + b"\xff" * 8, "payload is not valid msgpack: timestamp nanoseconds"),
    ],
)
def test_add_raw_refuses_what_a_reader_could_not_decode(payload, message):
    w = TarnWriter()
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        w.add_raw(payload, "k")
    assert w.num_objects == 0
    assert repr(w) == "TarnWriter(path=None, objects=0, keys=0)"


_msgpack_ish = st.one_of(
    st.binary(max_size=12),
    # Sound values with a byte changed: mostly near misses of valid payloads.
    st.tuples(
        st.recursive(
            st.none() | st.integers(-(2**63), 2**64 - 1) | st.text(max_size=4) | st.binary(max_size=4),
            lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner, max_size=3),
            max_leaves=6,
        ),
        st.integers(0, 40),
        st.integers(0, 255),
    ).map(lambda t: _with_byte(msgpack.packb(t[0]), t[1], t[2])),
)


def _with_byte(data: bytes, pos: int, value: int) -> bytes:
    return data[:pos] + bytes([value]) + data[pos + 1 :] if pos < len(data) else data


@settings(max_examples=400, deadline=None)
@given(payload=_msgpack_ish)
def test_add_raw_accepts_exactly_what_the_reader_decodes(payload: bytes) -> None:
    # The reader's own decoder is the judge: refused there, refused here.
    w = TarnWriter()
    try:
        tarndb._fast.unpackb(payload)
    except TarnCorruptError:
        with pytest.raises(ValueError, match="^payload is not"):
            w.add_raw(payload, "k")
        assert w.num_objects == 0
    else:
        w.add_raw(payload, "k")
        assert w.num_objects == 1


_STAMP = datetime.datetime(2024, 2, 29, 13, 5, 7, 250000, tzinfo=datetime.timezone(datetime.timedelta(hours=1)))


def test_to_builtin_leaves_storable_arrays_to_the_writer(tmp_path):
    # Arrays of numbers are stored as arrays before the hook is asked.
    path = tmp_path / "a.tndb"
    values = {"i": np.arange(6, dtype=np.int16).reshape(2, 3), "f": np.array([[1.5], [np.inf]])}
    with TarnWriter(path, default=tarndb.to_builtin) as w:
        for k, v in values.items():
            w[k] = v
    with TarnReader(path) as r:
        for k, v in values.items():
            assert r[k].dtype == v.dtype and np.array_equal(r[k], v)


@pytest.mark.parametrize(
    ("value", "stored"),
    [
        (_STAMP, "2024-02-29T13:05:07.250000+01:00"),
        (datetime.datetime(2020, 1, 2, 3, 4, 5), "2020-01-02T03:04:05"),
        (datetime.date(1999, 12, 31), "1999-12-31"),
        (datetime.time(23, 59, 1), "23:59:01"),
        (datetime.timedelta(minutes=2, microseconds=500000), 120.5),
        (decimal.Decimal("1.10"), "1.10"),
        (uuid.UUID("12345678-1234-5678-1234-567812345678"), "12345678-1234-5678-1234-567812345678"),
        (frozenset({3, 1, 2}), [1, 2, 3]),
        (np.int64(-7), -7),
        (np.uint64(2**64 - 1), 2**64 - 1),
        (np.float32(0.5), 0.5),
        (np.bool_(True), True),
        (np.datetime64("2021-03-04T05:06:07.123456789"), "2021-03-04T05:06:07.123456789"),
        (np.array(["2020-01-01", "NaT"], dtype="datetime64[D]"), ["2020-01-01", "NaT"]),
        (np.array([datetime.date(2001, 2, 3)], dtype=object), ["2001-02-03"]),
        ({"nested": [decimal.Decimal("2"), {"when": datetime.date(2000, 1, 1)}]}, {"nested": ["2", {"when": "2000-01-01"}]}),
    ],
)
def test_to_builtin_stores_common_types(tmp_path, value, stored):
    path = tmp_path / "d.tndb"
    with TarnWriter(path, default=tarndb.to_builtin) as w:
        w["v"] = value
    with TarnReader(path) as r:
        assert r["v"] == stored
    with pytest.raises(TypeError):
        TarnWriter().add(value)  # without the hook: refused, as msgpack refuses it


@pytest.mark.parametrize("value", [object(), 1j, np.complex64(1j), {"k": {1, object()}}])
def test_to_builtin_refuses_the_rest_with_a_type_error(value):
    w = TarnWriter(default=tarndb.to_builtin)
    with pytest.raises(TypeError):
        w.add(value, "k")
    assert w.num_objects == 0


def test_a_writer_refuses_pickling_and_copying():
    w = TarnWriter("x.tndb")
    w["k"] = 1
    for attempt in (lambda: pickle.dumps(w), lambda: pickle.dumps(w, protocol=0), lambda: copy.copy(w)):
        with pytest.raises(TypeError, match="a TarnWriter cannot be pickled: its staged content lives in this process"):
            attempt()


@pytest.mark.parametrize("case", ["missing directory", "target is a directory", "temporary path is a directory"])
def test_a_failed_build_names_its_target_and_leaves_nothing(tmp_path, case):
    old = tmp_path / "old.tndb"
    target = tmp_path / "no" / "x.tndb" if case == "missing directory" else tmp_path / "x.tndb"
    if case == "target is a directory":
        target.mkdir()
    if case == "temporary path is a directory":
        (tmp_path / "x.tndb.tmp").mkdir()
    w = TarnWriter()
    w["k"] = 1
    w.build(old)
    with pytest.raises(TarnIOError) as info:
        w.build(target)
    err = info.value
    assert str(err).startswith(f"cannot build {target}: ")
    assert isinstance(err, OSError) and err.errno in (2, 21)
    leftovers = sorted(p.name for p in tmp_path.iterdir())
    expected = {
        "missing directory": ["old.tndb"],
        "target is a directory": ["old.tndb", "x.tndb"],
        "temporary path is a directory": ["old.tndb", "x.tndb.tmp"],  # not ours to remove
    }[case]
    assert leftovers == expected
    assert w.last_build is not None and w.last_build.path == str(old)


@pytest.mark.parametrize("raised", [KeyboardInterrupt, RuntimeError, SystemExit])
def test_an_exception_from_progress_stops_the_build_before_the_rename(tmp_path, raised):
    target = tmp_path / "p.tndb"
    w = TarnWriter(target)
    w["old"] = 1
    w.build()
    before = target.read_bytes()
    for i in range(40):
        w.add(bytes([i]) * (1 << 20), f"k{i}")
    seen = []

    def progress(written, total):
        seen.append((written, total))
        raise raised("stop")

    with pytest.raises(raised):
        w.build(progress=progress)
    assert len(seen) == 1 and 0 < seen[0][0] < seen[0][1]
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["p.tndb"]
    assert w.last_build is not None and w.last_build.keys == 1  # still the first build's


def test_progress_counts_bytes_up_to_the_file_size(tmp_path):
    w = TarnWriter(tmp_path / "p.tndb")
    for i in range(30):
        w.add(bytes([i]) * (1 << 20), f"k{i}")
    seen = []
    report = w.build(progress=lambda written, total: seen.append((written, total)))
    assert seen, "no progress reported"
    assert [t for _, t in seen] == [report.bytes] * len(seen)
    assert [d for d, _ in seen] == sorted({d for d, _ in seen})  # strictly rising
    assert seen[-1][0] == report.bytes


def test_other_threads_run_during_a_build_and_cannot_stage(tmp_path):
    # The build holds the writer's exclusive borrow and releases the
    # interpreter lock while it writes: another thread sees the temporary
    # file and is refused, all while the build is still going on.
    target = tmp_path / "t.tndb"
    w = TarnWriter(target)
    for i in range(150):
        w.add(bytes([i]) * (1 << 20), f"k{i}")
    tmp = tmp_path / "t.tndb.tmp"
    result: list[object] = []
    done = threading.Event()

    def meddle():
        while not tmp.exists():
            if done.is_set():
                result.append("the build never let this thread run")
                return
        try:
            w.add("late", "late")
        except RuntimeError as exc:
            result.append(str(exc))
        else:
            result.append("staged during a build")

    t = threading.Thread(target=meddle)
    t.start()
    try:
        w.build()
    finally:
        done.set()
        t.join()
    assert result == ["Already borrowed"]
    with TarnReader(target) as r:
        assert len(r) == 150


def _raise_store_errors(tmp_path):
    bad = tmp_path / "bad.tndb"
    bad.write_bytes(b"PK\x03\x04" + bytes(60))
    v3 = tmp_path / "v3.tndb"
    with TarnWriter(v3) as w:
        w["k"] = 1
    data = bytearray(v3.read_bytes())
    data[4] = 3
    v3.write_bytes(bytes(data))
    w = TarnWriter()
    w["k"] = 1
    return {
        TarnCorruptError: lambda: TarnReader(bad),
        TarnVersionError: lambda: TarnReader(v3, verify=False),
        TarnIOError: lambda: w.build(tmp_path / ("n" * 300 + ".tndb")),  # ENAMETOOLONG: no narrower class
        TarnError: lambda: w.alias("k", 5),
    }


@pytest.mark.parametrize("cls", [TarnCorruptError, TarnVersionError, TarnIOError, TarnError])
def test_a_traceback_names_the_class_once(tmp_path, cls):
    with pytest.raises(cls) as info:
        _raise_store_errors(tmp_path)[cls]()
    assert type(info.value) is cls
    last = traceback.format_exception_only(type(info.value), info.value)[-1]
    assert last.startswith(f"tarndb.errors.{cls.__name__}: ")
    assert last.count(cls.__name__) == 1, last


CHUNK = 2 << 20  # the sink writes whole pieces of this size from the file's start


@pytest.mark.parametrize(
    "sizes",
    [
        pytest.param([CHUNK - 40 - 8], id="header-and-record-fill-one-piece"),
        pytest.param([CHUNK - 40 - 8 - 1, 1], id="second-record-crosses-by-its-prefix"),
        pytest.param([CHUNK], id="record-larger-than-a-piece"),
        pytest.param([3, 2 * CHUNK + 5, 7], id="several-pieces-in-one-record"),
        pytest.param([1000] * 4300, id="small-records-across-pieces"),
    ],
)
def test_files_written_in_whole_pieces_are_byte_exact(tmp_path, sizes):
    objects = [bytes([i % 251]) * n for i, n in enumerate(sizes)]
    keys = [(f"k{i:05d}", i) for i in range(len(objects))]
    path = build(tmp_path, objects, keys)
    assert read_file(path) == expected_tndb(objects, keys)
    r = _TarnReader(str(path), verify=True)
    assert r.get_raw(keys[-1][0]) == objects[-1]
