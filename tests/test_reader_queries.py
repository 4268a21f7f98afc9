"""_TarnReader lookups and scans on crafted files."""

from __future__ import annotations

import gc
import itertools

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from filecraft import Craft, as_key, header, standard, write
from tarndb._tarndb import _TarnReader


def spec_key_less(a: bytes, b: bytes) -> bool:
    # Python's bytes ordering is exactly the store's key order.
    return a < b


def spec_prefix(keys: list[bytes], p: bytes) -> list[int]:
    """Positions returned by the reader's prefix scan (lower-bound search, then forward walk), on
    a key list in file order (not necessarily sorted)."""
    if not keys:
        return []
    size, base = len(keys), 0
    while size > 1:
        half = size // 2
        mid = base + half
        if spec_key_less(keys[mid], p):
            base = mid
        size -= half
    i = base + 1 if spec_key_less(keys[base], p) else base
    out = []
    while i < len(keys) and keys[i].startswith(p):
        out.append(i)
        i += 1
    return out


def lossy(b: bytes) -> str:
    return b.decode("utf-8", "replace")


@pytest.fixture
def opened(tmp_path):
    counter = itertools.count()

    def make(blob: bytes, verify: bool = True) -> _TarnReader:
        return _TarnReader(write(tmp_path / f"q{next(counter)}.tndb", blob), verify=verify)

    return make


# ---------------------------------------------------------------------------
# the 92-byte worked example


def test_worked_example_layout_and_queries(opened):
    blob = standard([b"abc", b""], {"k": 0, "b": 0, "a": 1})
    assert len(blob) == 92
    assert blob[40:51] == b"\x00\x00\x00\x03" + (0x352441C2).to_bytes(4, "big") + b"abc"
    assert blob[51:59] == b"\x00" * 8
    assert blob[59:70] == b"\x00\x01a" + (51).to_bytes(8, "big")
    r = opened(blob)
    assert repr(r).endswith("keys=3, objects=2)")
    assert r.keys() == ["a", "b", "k"]
    assert r.items_raw() == [("a", b""), ("b", b"abc"), ("k", b"abc")]
    assert r.objects_raw() == [b"", b"abc"]
    assert r.get_raw("k") == b"abc"
    assert r.get_raw("a") == b""
    assert r.get_raw("c") is None
    assert r.verify() is True


# ---------------------------------------------------------------------------
# empty store


def test_empty_store_queries(opened):
    r = opened(header())
    assert r.get_raw("") is None
    assert r.get_raw(b"x") is None
    assert r.exists("") is False
    assert r.exists(b"x") is False
    for p in ("", b"", "a", b"\x80"):
        assert r.prefix_raw(p) == []
    assert r.keys() == []
    assert r.items_raw() == []
    assert r.objects_raw() == []


# ---------------------------------------------------------------------------
# get_raw / exists


def simple_store(opened):
    return opened(standard([b"alpha-object", b"", b"beta-object", b"\x00\x01\x02"],
                           {"apple": 0, "app": 0, "empty": 1, "banana": 2, b"\x80high": 3, "é": 2}))


def test_get_raw_and_exists(opened):
    r = simple_store(opened)
    assert r.get_raw("apple") == b"alpha-object"
    assert r.get_raw("app") == b"alpha-object"
    assert r.get_raw("banana") == b"beta-object"
    assert r.get_raw(b"\x80high") == b"\x00\x01\x02"
    assert r.get_raw("ap") is None
    assert r.get_raw("apples") is None
    assert r.exists("apple") is True
    assert r.exists("ap") is False
    assert type(r.get_raw("apple")) is bytes


def test_get_raw_by_keyword(opened):
    r = simple_store(opened)
    assert r.get_raw(key="apple") == b"alpha-object"
    assert r.exists(key="apple") is True
    assert r.prefix_raw(prefix="ban") == [("banana", b"beta-object")]


def test_zero_length_payload_is_empty_bytes_not_none(opened):
    r = simple_store(opened)
    v = r.get_raw("empty")
    assert v == b"" and v is not None and type(v) is bytes
    assert dict(r.items_raw())["empty"] == b""
    assert b"" in r.objects_raw()


def test_str_and_utf8_bytes_are_the_same_key(opened):
    r = simple_store(opened)
    assert r.get_raw("é") == b"beta-object"
    assert r.get_raw(b"\xc3\xa9") == b"beta-object"
    assert r.exists("é") and r.exists(b"\xc3\xa9")
    assert r.exists(bytearray(b"\xc3\xa9"))
    assert r.exists([0xC3, 0xA9])
    assert r.get_raw("e") is None
    assert r.get_raw("é".encode("latin-1")) is None
    assert r.prefix_raw(b"\xc3") == [("é", b"beta-object")]
    assert "é" in r.keys()


def test_bad_key_types(opened):
    r = simple_store(opened)
    for bad in (None, 1, 1.5, {"a": 1}, {1}, "\ud800", [256], [-1]):
        for method in (r.get_raw, r.exists, r.prefix_raw):
            with pytest.raises(ValueError) as info:
                method(bad)
            assert str(info.value) == "key must be str or bytes"


def test_payloads_are_fresh_copies(opened):
    r = simple_store(opened)
    # Payloads of 2+ bytes: CPython caches the empty and one-byte bytes objects.
    a = r.get_raw("apple")
    b = r.get_raw("apple")
    assert a == b and a is not b
    items1 = r.items_raw()
    items2 = r.items_raw()
    for (k1, v1), (k2, v2) in zip(items1, items2):
        assert k1 == k2 and v1 == v2
        if len(v1) > 1:
            assert v1 is not v2
    objs1 = r.objects_raw()
    objs2 = r.objects_raw()
    for o1, o2 in zip(objs1, objs2):
        assert o1 == o2
        if len(o1) > 1:
            assert o1 is not o2
    p1 = r.prefix_raw("app")
    p2 = r.prefix_raw("app")
    assert p1 == p2
    assert p1[0][1] is not p2[0][1]
    assert p1 is not p2 and p1[0] is not p2[0]
    assert r.keys() is not r.keys()


def test_payload_survives_reader(opened):
    r = simple_store(opened)
    v = r.get_raw("banana")
    items = r.items_raw()
    objs = r.objects_raw()
    del r
    gc.collect()
    assert v == b"beta-object"
    assert dict(items)["apple"] == b"alpha-object"
    assert b"beta-object" in objs


# ---------------------------------------------------------------------------
# keys / items_raw / objects_raw


def test_listings_in_key_order(opened):
    r = simple_store(opened)
    # b"\x80high" sorts before "é" (C3 A9): bytes compare unsigned.
    expected_keys = ["app", "apple", "banana", "empty", "\ufffdhigh", "é"]
    assert r.keys() == expected_keys
    items = r.items_raw()
    assert [k for k, _ in items] == expected_keys
    assert all(type(t) is tuple and len(t) == 2 and type(t[0]) is str and type(t[1]) is bytes for t in items)
    assert items == [
        ("app", b"alpha-object"),
        ("apple", b"alpha-object"),
        ("banana", b"beta-object"),
        ("empty", b""),
        ("\ufffdhigh", b"\x00\x01\x02"),
        ("é", b"beta-object"),
    ]
    assert type(r.keys()) is list and type(items) is list


def test_shared_object_gives_equal_but_distinct_bytes(opened):
    c = Craft()
    o = c.add_object(b"shared-payload")
    for k in ("k1", "k2", "k3"):
        c.add_entry(k, o)
    r = opened(c.build())
    items = r.items_raw()
    vals = [v for _, v in items]
    assert vals == [b"shared-payload"] * 3
    assert len({id(v) for v in vals}) == 3
    pre = r.prefix_raw("k")
    assert [v for _, v in pre] == [b"shared-payload"] * 3
    assert len({id(v) for _, v in pre}) == 3
    assert r.objects_raw() == [b"shared-payload"]


def test_objects_raw_dedup_by_offset_in_first_reference_order(opened):
    c = Craft()
    o0 = c.add_object(b"obj-0")
    o1 = c.add_object(b"obj-1")
    o2 = c.add_object(b"obj-2")
    c.add_object(b"obj-3 unreferenced")
    o4 = c.add_object(b"obj-0")  # same bytes as obj-0, its own record
    c.add_entry("a", o2)
    c.add_entry("b", o0)
    c.add_entry("c", o2)
    c.add_entry("d", o1)
    c.add_entry("e", o4)
    c.add_entry("f", o0)
    r = opened(c.build())
    assert r.objects_raw() == [b"obj-2", b"obj-0", b"obj-1", b"obj-0"]
    assert b"obj-3 unreferenced" not in r.objects_raw()
    assert r.stats()["num_objects"] == 5
    assert len(r.objects_raw()) == 4


def test_objects_raw_of_two_keys_sharing_object_at_smaller_key(opened):
    r = opened(standard([b"X1", b"Y2"], {"z": 0, "a": 1, "m": 0}))
    assert r.objects_raw() == [b"Y2", b"X1"]


# ---------------------------------------------------------------------------
# prefix_raw


def prefix_store(opened):
    keys = ["", "a", "ab", "abc", "abd", "b", "ba", "c", "zz", b"\x80", b"\x80\x01", b"\xff"]
    objects = [f"v{i}".encode() for i in range(len(keys))]
    return opened(standard(objects, {k: i for i, k in enumerate(keys)})), keys, objects


def test_empty_prefix_equals_items_raw(opened):
    r, _, _ = prefix_store(opened)
    assert r.prefix_raw("") == r.items_raw()
    assert r.prefix_raw(b"") == r.items_raw()
    assert r.prefix_raw([]) == r.items_raw()
    assert len(r.prefix_raw("")) == 12


def test_prefix_equal_to_key_comes_first(opened):
    r, _, _ = prefix_store(opened)
    assert r.prefix_raw("ab") == [("ab", b"v2"), ("abc", b"v3"), ("abd", b"v4")]
    assert r.prefix_raw("abc") == [("abc", b"v3")]
    assert r.prefix_raw("a") == [("a", b"v1"), ("ab", b"v2"), ("abc", b"v3"), ("abd", b"v4")]
    assert r.prefix_raw("b") == [("b", b"v5"), ("ba", b"v6")]


def test_prefix_no_match(opened):
    r, _, _ = prefix_store(opened)
    assert r.prefix_raw("abe") == []  # between keys
    assert r.prefix_raw("bb") == []
    assert r.prefix_raw("d") == []
    assert r.prefix_raw("abcd") == []  # longer than every matching key
    assert r.prefix_raw(b"\xff\xff") == []  # greater than every key
    assert r.prefix_raw(b"\x00") == []  # smaller than every key but ""


def test_prefix_high_byte(opened):
    r, _, _ = prefix_store(opened)
    ks = r.keys()
    # 0x80 keys sort after every ASCII key.
    assert ks[:9] == ["", "a", "ab", "abc", "abd", "b", "ba", "c", "zz"]
    assert ks[9:] == ["\ufffd", "\ufffd\x01", "\ufffd"]
    assert r.prefix_raw(b"\x80") == [("\ufffd", b"v9"), ("\ufffd\x01", b"v10")]
    assert r.prefix_raw([0x80]) == r.prefix_raw(b"\x80")
    assert r.prefix_raw(b"\xff") == [("\ufffd", b"v11")]
    # The text U+FFFD is EF BF BD: it finds none of the stored 80/FF keys.
    assert r.prefix_raw("\ufffd") == []
    assert r.get_raw("\ufffd") is None
    assert r.get_raw(b"\x80") == b"v9"


def test_prefix_high_byte_after_ascii_letters(opened):
    r = opened(standard([b"A-", b"B-", b"C-"], {b"\x80x": 0, "zebra": 1, "Apple": 2}))
    assert r.keys() == ["Apple", "zebra", "\ufffdx"]
    assert r.prefix_raw(b"\x80") == [("\ufffdx", b"A-")]


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 100])
def test_prefix_every_position(opened, n):
    keys = sorted({f"k{i:03d}".encode() for i in range(n)})
    r = opened(standard([k + b"!" for k in keys], {k: i for i, k in enumerate(keys)}))
    for k in keys:
        assert r.prefix_raw(k) == [(k.decode(), k + b"!")]
    assert r.prefix_raw(b"k") == r.items_raw()
    assert r.prefix_raw(b"j") == [] and r.prefix_raw(b"l") == []
    assert r.prefix_raw(b"k0") == [(k.decode(), k + b"!") for k in keys if k.startswith(b"k0")]


# ---------------------------------------------------------------------------
# duplicate keys and unsorted index (files from another writer)


def test_duplicate_keys_later_entry_wins_lookup(opened):
    c = Craft()
    oa = c.add_object(b"A-val")
    ob1 = c.add_object(b"B-first")
    ob2 = c.add_object(b"B-second")
    oc = c.add_object(b"C-val")
    c.add_entry("a", oa)
    c.add_entry("b", ob1)
    c.add_entry("b", ob2)
    c.add_entry("c", oc)
    r = opened(c.build())
    assert r.get_raw("b") == b"B-second"
    assert r.exists("b")
    assert r.keys() == ["a", "b", "b", "c"]
    assert r.items_raw() == [("a", b"A-val"), ("b", b"B-first"), ("b", b"B-second"), ("c", b"C-val")]
    assert r.prefix_raw("b") == [("b", b"B-first"), ("b", b"B-second")]
    assert r.objects_raw() == [b"A-val", b"B-first", b"B-second", b"C-val"]
    assert r.stats()["num_keys"] == 4


def test_duplicate_key_non_adjacent_and_thrice(opened):
    c = Craft()
    offs = [c.add_object(f"val{i}".encode()) for i in range(4)]
    c.add_entry("dup", offs[0])
    c.add_entry("x", offs[1])
    c.add_entry("dup", offs[2])
    c.add_entry("dup", offs[3])
    r = opened(c.build())
    assert r.get_raw("dup") == b"val3"
    assert r.keys() == ["dup", "x", "dup", "dup"]
    assert [v for k, v in r.items_raw() if k == "dup"] == [b"val0", b"val2", b"val3"]


@pytest.mark.parametrize("gap", [1, 2, 15, 16, 17, 31, 32, 33, 100])
@pytest.mark.parametrize("where", ["start", "middle", "tail"])
def test_duplicate_keys_at_any_distance(opened, gap, where):
    # Many entries, with pairs of equal keys `gap` entries apart at the start,
    # in the middle and at the very end of the index: the later one wins.
    n = 200
    keys = [f"k{i:04d}".encode() for i in range(n)]
    start = {"start": 0, "middle": n // 2 - gap // 2, "tail": n - 1 - gap}[where]
    keys[start + gap] = keys[start]
    if start + gap + 1 < n:
        keys[start + gap - 1 if gap > 1 else start + gap + 1] = b"dup2"
        keys[start + gap + 1] = b"dup2"
    c = Craft()
    for i, k in enumerate(keys):
        c.add_entry(k, c.add_object(b"#%d" % i))
    r = opened(c.build())
    last = {k: i for i, k in enumerate(keys)}
    for k, i in last.items():
        assert r.get_raw(k) == b"#%d" % i, k
    assert r.keys() == [k.decode() for k in keys]
    assert r.items_raw() == [(k.decode(), b"#%d" % i) for i, k in enumerate(keys)]


def test_duplicate_key_with_bad_earlier_record(opened):
    # Only the later entry's record is read by get_raw.
    c = Craft()
    good = c.add_object(b"good")
    c.add_entry("k", 10**9)
    c.add_entry("k", good)
    r = opened(c.build())
    assert r.get_raw("k") == b"good"
    with pytest.raises(RuntimeError, match=r"^TarnCorruptError: offset 1000000000 out of bounds$"):
        r.items_raw()


def test_unsorted_index_opens_and_prefix_follows_search(opened):
    order = [b"m", b"a", b"z", b"b", b"ma", b"c", b"mb"]
    c = Craft()
    for k in order:
        c.add_entry(k, c.add_object(b"<" + k + b">"))
    r = opened(c.build())
    assert r.keys() == [k.decode() for k in order]
    for k in order:
        assert r.get_raw(k) == b"<" + k + b">"
    missed = 0
    for p in [b"", b"a", b"b", b"c", b"m", b"ma", b"mb", b"z", b"q", b"\x00", b"\xff"]:
        expected = [(order[i].decode(), b"<" + order[i] + b">") for i in spec_prefix(order, p)]
        assert r.prefix_raw(p) == expected, p
        naive = [(k.decode(), b"<" + k + b">") for k in order if k.startswith(p)]
        missed += expected != naive
    assert missed > 0  # the unsorted file really does make the scan miss keys


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    keys=st.lists(st.binary(max_size=3, min_size=0).map(lambda b: bytes(x % 4 + 0x61 for x in b)), max_size=12),
    prefixes=st.lists(st.binary(max_size=3).map(lambda b: bytes(x % 4 + 0x61 for x in b)), min_size=1, max_size=6),
)
def test_prefix_matches_reference_search_on_arbitrary_order(opened, keys, prefixes):
    c = Craft()
    for k in keys:
        c.add_entry(k, c.add_object(b"#" + k))
    r = opened(c.build())
    for p in prefixes + [b""]:
        expected = [(keys[i].decode(), b"#" + keys[i]) for i in spec_prefix(keys, p)]
        assert r.prefix_raw(p) == expected


# ---------------------------------------------------------------------------
# damaged records


def bad_offset_store(opened, bad_offset):
    c = Craft()
    o1 = c.add_object(b"first")
    o2 = c.add_object(b"second")
    c.add_entry("a", o1)
    c.add_entry("bad", bad_offset)
    c.add_entry("c", o2)
    c.add_entry("d", o1)
    return opened(c.build())


@pytest.mark.parametrize("bad", ["file_size-7", "file_size", 10**6, 2**64 - 1, 2**64 - 8, 2**63])
def test_record_offset_out_of_bounds(opened, tmp_path, bad):
    if isinstance(bad, str):
        # Compute the file size first (it does not depend on the offset value).
        c = Craft()
        c.add_object(b"first")
        c.add_object(b"second")
        for k in ("a", "bad", "c", "d"):
            c.add_entry(k, 0)
        size = len(c.build())
        bad = size - 7 if bad == "file_size-7" else size
    r = bad_offset_store(opened, bad)
    msg = f"TarnCorruptError: offset {bad} out of bounds"
    assert r.exists("bad") is True
    for call in (lambda: r.get_raw("bad"), r.items_raw, r.objects_raw,
                 lambda: r.prefix_raw(""), lambda: r.prefix_raw("b"), lambda: r.prefix_raw("ba")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert type(info.value) is RuntimeError
        assert str(info.value) == msg
        # the same call fails the same way again
        with pytest.raises(RuntimeError) as again:
            call()
        assert str(again.value) == msg
    assert r.keys() == ["a", "bad", "c", "d"]
    assert r.get_raw("a") == b"first"
    assert r.get_raw("c") == b"second"
    assert r.prefix_raw("c") == [("c", b"second")]
    assert r.prefix_raw("a") == [("a", b"first")]
    assert r.prefix_raw("bb") == []


def test_offset_100_in_104_byte_file(opened):
    c = Craft()
    c.add_object(b"p" * 45)
    c.add_entry("k", 100)
    blob = c.build()
    assert len(blob) == 104
    r = opened(blob)
    with pytest.raises(RuntimeError) as info:
        r.get_raw("k")
    assert str(info.value) == "TarnCorruptError: offset 100 out of bounds"


def test_record_at_last_8_bytes_is_in_bounds(opened):
    # Offset L-8: the 8-byte prefix fits; it is the tail of the entry's own
    # offset field, read as length (high half) and CRC (low half).
    c = Craft()
    c.add_object(b"xx")
    c.add_entry("k", 0)
    size = len(c.build())
    c.entries[0] = (b"k", size - 8)
    # offset field = size-8 < 2^32, so its high 4 bytes (the "length") are 0.
    r = opened(c.build())
    assert r.get_raw("k") == b""


def test_object_extends_beyond_file_end(opened):
    c = Craft()
    ok = c.add_object(b"fine")
    bad = c.add_object(b"short", length=1000)
    c.add_entry("a", ok)
    c.add_entry("b", bad)
    r = opened(c.build())
    msg = f"TarnCorruptError: object at {bad} extends beyond file end"
    assert r.exists("b")
    for call in (lambda: r.get_raw("b"), r.items_raw, r.objects_raw, lambda: r.prefix_raw("b")):
        with pytest.raises(RuntimeError) as info:
            call()
        assert str(info.value) == msg
    assert r.get_raw("a") == b"fine"
    assert r.keys() == ["a", "b"]


def test_length_field_max_value(opened):
    c = Craft()
    bad = c.add_object(b"", length=0xFFFFFFFF)
    c.add_entry("k", bad)
    r = opened(c.build())
    with pytest.raises(RuntimeError, match=rf"^TarnCorruptError: object at {bad} extends beyond file end$"):
        r.get_raw("k")


def test_first_bad_record_in_key_order_is_reported(opened):
    c = Craft()
    ok = c.add_object(b"fine")
    c.add_entry("a", ok)
    c.add_entry("b", 5000)
    c.add_entry("c", 4000)
    r = opened(c.build())
    for call in (r.items_raw, r.objects_raw, lambda: r.prefix_raw("")):
        with pytest.raises(RuntimeError, match="^TarnCorruptError: offset 5000 out of bounds$"):
            call()
    with pytest.raises(RuntimeError, match="^TarnCorruptError: offset 4000 out of bounds$"):
        r.prefix_raw("c")


def test_damaged_payload_without_verify_returned_as_is(opened):
    c = Craft()
    o = c.add_object(b"pristine payload")
    c.add_entry("k", o)
    blob = bytearray(c.build())
    blob[o + 8 + 3] ^= 0x20
    blob = bytes(blob)
    with pytest.raises(RuntimeError, match="^TarnCorruptError: file CRC32 mismatch  "):
        opened(blob)
    r = opened(blob, verify=False)
    assert r.get_raw("k") == b"priStine payload"
    assert r.items_raw() == [("k", b"priStine payload")]
    assert r.objects_raw() == [b"priStine payload"]


def test_record_crc_field_not_checked_by_queries(opened):
    c = Craft()
    o = c.add_object(b"payload", crc=0x12345678)
    c.add_entry("k", o)
    r = opened(c.build())
    assert r.get_raw("k") == b"payload"
    assert r.items_raw() == [("k", b"payload")]


# ---------------------------------------------------------------------------
# lossy UTF-8 keys


LOSSY_CASES = [
    b"\xff",
    b"\x80",
    b"\xc0\xaf",
    b"\xc2",
    b"\xe0\x80\xaf",
    b"\xe0\xa0",
    b"\xed\xa0\x80",
    b"\xed\x9f\xbf",
    b"\xf0\x9f\x98",
    b"\xf0\x9f\x98\x80",
    b"\xf0\x80\x80\x80",
    b"\xf4\x90\x80\x80",
    b"\xf4\x8f\xbf\xbf",
    b"\xf5\x80",
    b"a\xe2\x82b\xe2\x82\xac",
    b"\xc3\xa9\xc3",
    b"\xe1\x80\xe2\xf0\x91\x92\xf1\xbfA",
    b"\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
]


def test_lossy_table(opened):
    keys = sorted(set(LOSSY_CASES))
    r = opened(standard([b"v%d" % i for i in range(len(keys))], {k: i for i, k in enumerate(keys)}))
    assert r.keys() == [lossy(k) for k in keys]
    assert [k for k, _ in r.items_raw()] == [lossy(k) for k in keys]
    for i, k in enumerate(keys):
        assert r.get_raw(k) == b"v%d" % i
        assert r.prefix_raw(k)[0] == (lossy(k), b"v%d" % i)


def test_lossy_text_does_not_find_original_key(opened):
    r = opened(standard([b"raw", b"real"], {b"\xff": 0, "\ufffd": 1}))
    # Two distinct byte keys show as equal strings.
    assert r.keys() == ["\ufffd", "\ufffd"]
    assert r.get_raw("\ufffd") == b"real"  # EF BF BD
    assert r.get_raw(b"\xff") == b"raw"


def test_lossy_decoding_exhaustive_short_sequences(opened):
    # Every 1- and 2-byte key, plus 3- and 4-byte keys around the boundaries
    # of the UTF-8 lead and continuation byte ranges, in one file.
    keys = {bytes([a]) for a in range(256)}
    keys |= {bytes([a, b]) for a in range(256) for b in range(256)}
    edges = [0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF]
    for a in (0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5):
        for b in range(256):
            for c in edges:
                keys.add(bytes([a, b, c]))
    for a in (0xF0, 0xF1, 0xF4):
        for b in edges:
            for c in edges:
                for d in edges:
                    keys.add(bytes([a, b, c, d]))
    order = sorted(keys)
    c = Craft()
    o = c.add_object(b"v")
    for k in order:
        c.add_entry(k, o)
    r = opened(c.build())
    got = r.keys()
    assert len(got) == len(order)
    bad = [(k, g, lossy(k)) for k, g in zip(order, got) if g != lossy(k)]
    assert bad == []


key_bytes = st.lists(
    st.one_of(
        st.integers(0, 255),
        st.sampled_from([0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF,
                         0xE0, 0xE1, 0xED, 0xEF, 0xF0, 0xF1, 0xF4, 0xF5, 0xFF]),
    ),
    max_size=12,
).map(bytes)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(keys=st.lists(st.one_of(st.binary(max_size=16), key_bytes), unique=True, max_size=20))
def test_lossy_decoding_matches_python(opened, keys):
    r = opened(standard([k + b"." for k in keys], {k: i for i, k in enumerate(keys)}))
    order = sorted(keys)
    assert r.keys() == [lossy(k) for k in order]
    assert r.items_raw() == [(lossy(k), k + b".") for k in order]
    for k in keys:
        assert r.get_raw(k) == k + b"."
        assert r.exists(k)
        got = r.prefix_raw(k)
        assert got[0] == (lossy(k), k + b".")
        assert got == [(lossy(x), x + b".") for x in order if x.startswith(k)]


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.text(max_size=10))
def test_str_key_is_its_utf8(opened, text):
    r = opened(standard([b"val"], {as_key(text): 0}))
    assert r.get_raw(text) == b"val"
    assert r.get_raw(text.encode("utf-8")) == b"val"
    assert r.keys() == [text]
