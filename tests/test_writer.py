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
