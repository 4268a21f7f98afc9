"""The native msgpack decoder (tarndb._fast.unpackb) against the package's
Python decoding of stored objects (tarndb._codec.unpack, over msgpack-python):
the same values of the same types, or both fail, ours with TarnCorruptError."""

from __future__ import annotations

import struct
import tracemalloc

import msgpack
import pytest
from hypothesis import given, reject, settings
from hypothesis import strategies as st

from conftest import run_python
from tarndb import _codec, _fast
from tarndb.errors import TarnCorruptError

FAILED = object()


def reference(data: bytes):
    """What the package's Python path gives for `data`, or FAILED."""
    try:
        return _codec.unpack(data, "k")
    except TarnCorruptError:
        return FAILED


def native(data: bytes):
    try:
        return _fast.unpackb(data)
    except TarnCorruptError:
        return FAILED


def assert_same(a, b, path="value"):
    """Equal values of identical types, recursively (dict items in order;
    floats bit for bit, so that NaNs compare)."""
    assert type(a) is type(b), f"{path}: {type(a).__name__} != {type(b).__name__}"
    if isinstance(a, float):
        assert struct.pack("<d", a) == struct.pack("<d", b), f"{path}: {a!r} != {b!r}"
    elif isinstance(a, dict):
        assert len(a) == len(b), path
        for i, ((ka, va), (kb, vb)) in enumerate(zip(a.items(), b.items())):
            assert_same(ka, kb, f"{path}.key{i}")
            assert_same(va, vb, f"{path}[{ka!r}]")
    elif isinstance(a, (list, tuple)) and not isinstance(a, msgpack.ExtType):
        assert len(a) == len(b), path
        for i, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, f"{path}[{i}]")
    elif isinstance(a, msgpack.Timestamp):
        assert (a.seconds, a.nanoseconds) == (b.seconds, b.nanoseconds), path
    else:
        assert a == b, f"{path}: {a!r} != {b!r}"


def assert_agrees(data: bytes):
    want, got = reference(data), native(data)
    if want is FAILED or got is FAILED:
        assert want is got, f"{data.hex()}: reference {'failed' if want is FAILED else 'gave ' + repr(want)[:200]}, " \
                            f"native {'failed' if got is FAILED else 'gave ' + repr(got)[:200]}"
    else:
        assert_same(want, got)


# -- generated values ---------------------------------------------------------

ints = st.integers(-(2**63), 2**64 - 1)
timestamps = st.builds(msgpack.Timestamp, st.integers(-(2**63), 2**63 - 1), st.integers(0, 999_999_999))
exts = st.builds(msgpack.ExtType, st.integers(0, 127), st.binary(max_size=20))
scalars = st.one_of(
    st.none(), st.booleans(), ints, st.integers(-40, 300), st.floats(), st.text(max_size=40),
    st.binary(max_size=40), exts, timestamps,
    # Short ASCII keys that look alike, for the reused key strs.
    st.sampled_from(["id", "name", "tags", "a" * 31 + "x", "a" * 31 + "y", "ab", "ba", ""]),
)
hashables = st.recursive(scalars, lambda inner: st.tuples(inner, inner) | st.lists(inner, max_size=3).map(tuple),
                         max_leaves=6)
values = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=6) | st.dictionaries(hashables, inner, max_size=6)
    | st.lists(inner, max_size=3).map(tuple),
    max_leaves=30,
)
pack_options = st.fixed_dictionaries({"use_single_float": st.booleans(), "use_bin_type": st.booleans()})


@settings(max_examples=400, deadline=None)
@given(values, pack_options)
def test_generated_values_decode_as_the_python_path_does(value, options):
    try:
        data = msgpack.packb(value, **options)
    except OverflowError:  # a float beyond float32's range, with use_single_float
        reject()
    assert_agrees(data)


def pack_wide(value, draw) -> bytes:
    """`value` packed with a width drawn for every length and integer, not
    just the shortest one that msgpack.packb writes."""

    def head(n, fix, fix_max, *wide):
        fits = [b"" if fix is None or n > fix_max else bytes([fix | n])]
        fits += [bytes([code]) + n.to_bytes(w, "big") for code, w in wide if n < 1 << 8 * w]
        return draw(st.sampled_from([f for f in fits if f]))

    if value is None or isinstance(value, bool):
        return {None: b"\xc0", False: b"\xc2", True: b"\xc3"}[value]
    if isinstance(value, int):
        fits = [bytes([value & 0xFF])] if -32 <= value <= 127 else []
        for code, w in ((0xCC, 1), (0xCD, 2), (0xCE, 4), (0xCF, 8)):
            fits += [bytes([code]) + value.to_bytes(w, "big")] if 0 <= value < 1 << 8 * w else []
        for code, w in ((0xD0, 1), (0xD1, 2), (0xD2, 4), (0xD3, 8)):
            half = 1 << 8 * w - 1
            fits += [bytes([code]) + value.to_bytes(w, "big", signed=True)] if -half <= value < half else []
        return draw(st.sampled_from(fits))
    if isinstance(value, float):
        return b"\xcb" + struct.pack(">d", value)
    if isinstance(value, str):
        b = value.encode("utf-8", "surrogatepass")
        return head(len(b), 0xA0, 31, (0xD9, 1), (0xDA, 2), (0xDB, 4)) + b
    if isinstance(value, bytes):
        return head(len(value), None, 0, (0xC4, 1), (0xC5, 2), (0xC6, 4)) + value
    if isinstance(value, (msgpack.ExtType, msgpack.Timestamp)):
        code, body = (value.code, value.data) if isinstance(value, msgpack.ExtType) else (-1, value.to_bytes())
        fixed = {1: 0xD4, 2: 0xD5, 4: 0xD6, 8: 0xD7, 16: 0xD8}.get(len(body))
        fits = [bytes([fixed])] if fixed else []
        fits += [bytes([c]) + len(body).to_bytes(w, "big") for c, w in ((0xC7, 1), (0xC8, 2), (0xC9, 4))
                 if len(body) < 1 << 8 * w]
        return draw(st.sampled_from(fits)) + struct.pack(">b", code) + body
    if isinstance(value, (list, tuple)):
        return head(len(value), 0x90, 15, (0xDC, 2), (0xDD, 4)) + b"".join(pack_wide(v, draw) for v in value)
    return head(len(value), 0x80, 15, (0xDE, 2), (0xDF, 4)) + b"".join(
        pack_wide(k, draw) + pack_wide(v, draw) for k, v in value.items())


@settings(max_examples=300, deadline=None)
@given(values, st.data())
def test_every_width_of_every_header_decodes_alike(value, data):
    assert_agrees(pack_wide(value, data.draw))


def mutations(data: bytes):
    """Truncations, byte flips, insertions and deletions of `data`."""
    return st.one_of(
        st.integers(0, len(data)).map(lambda n: data[:n]),
        st.tuples(st.integers(0, len(data) - 1), st.integers(0, 255)).map(
            lambda t: data[: t[0]] + bytes([t[1]]) + data[t[0] + 1 :]),
        st.tuples(st.integers(0, len(data)), st.binary(min_size=1, max_size=4)).map(
            lambda t: data[: t[0]] + t[1] + data[t[0] :]),
        st.integers(0, len(data) - 1).map(lambda i: data[:i] + data[i + 1 :]),
    )


@settings(max_examples=500, deadline=None)
@given(st.one_of(st.binary(max_size=64), values.map(msgpack.packb).flatmap(mutations)))
def test_random_and_mutated_bytes_agree(data):
    assert_agrees(data)


# -- exact cases --------------------------------------------------------------

TS = msgpack.Timestamp


@pytest.mark.parametrize(
    "data, want",
    [
        (b"\xcf" + b"\xff" * 8, 2**64 - 1),
        (b"\xd3\x80" + b"\x00" * 7, -(2**63)),
        (b"\xd0\xff", -1),
        (b"\xd1\x00\x05", 5),
        (b"\xca\x3f\xc0\x00\x00", 1.5),
        (b"\x82\x01\x02\x01\x03", {1: 3}),  # later duplicate wins
        (b"\x82\x01\x02\xc3\x03", {1: 3}),  # True == 1: the first key object stays
        (b"\x81\x92\x91\x01\x02\x03", {((1,), 2): 3}),  # array keys are tuples, inside too
        (b"\x91\x91\x01", [[1]]),
        (b"\xd6\xff\x00\x00\x00\x05", TS(5, 0)),
        (b"\xd7\xff" + (999_999_999 << 34 | 7).to_bytes(8, "big"), TS(7, 999_999_999)),
        (b"\xc7\x0c\xff" + (1).to_bytes(4, "big") + (-1).to_bytes(8, "big", signed=True), TS(-1, 1)),
        (b"\xc8\x00\x01\x7f\x00", msgpack.ExtType(127, b"\x00")),
        # NaN payloads survive, float32 widened as C widens it.
        (b"\xca\x7f\xc0\x00\x01", struct.unpack(">f", b"\x7f\xc0\x00\x01")[0]),
        (b"\xcb\xff\xf8\x00\x00\x00\x00\x00\x01", struct.unpack(">d", b"\xff\xf8\x00\x00\x00\x00\x00\x01")[0]),
    ],
)
def test_exact_values(data, want):
    assert_agrees(data)
    assert_same(_fast.unpackb(data), want)


@pytest.mark.parametrize("opener", [b"\x91", b"\x81\x01"])
@pytest.mark.parametrize("depth, ok", [(1024, True), (1025, False)])
@pytest.mark.parametrize("innermost", [b"\x07", b"\x90"])
def test_nesting_limit_is_msgpacks(opener, depth, ok, innermost):
    # `depth` containers, the innermost one empty or holding 7.
    data = opener * (depth - 1) + (b"\x90" if innermost == b"\x90" else opener + innermost)
    assert (reference(data) is not FAILED) is ok
    got = native(data)
    assert (got is not FAILED) is ok
    for _ in range(depth - 1 if ok else 0):  # walk down: too deep for a recursive comparison
        assert type(got) is (list if opener == b"\x91" else dict) and len(got) == 1
        got = got[0] if opener == b"\x91" else got[1]
    if ok:
        assert got == ([] if innermost == b"\x90" else [7] if opener == b"\x91" else {1: 7})


@pytest.mark.parametrize(
    "data, detail",
    [
        (b"", "truncated value at byte 0"),
        (b"\x92\x01", "truncated array at byte 0"),
        (b"\x92\x01\x92\x05", "truncated array at byte 2"),
        (b"\x92\xa5abc", "truncated str at byte 1"),
        (b"\xdd\xff\xff\xff\xff\x01", "truncated array at byte 0"),
        (b"\xdf\xff\xff\xff\xff\x01\x02", "truncated map at byte 0"),
        (b"\xdb\xff\xff\xff\xff", "truncated str at byte 0"),
        (b"\xc6\xff\xff\xff\xf0" + b"x" * 10, "truncated bin at byte 0"),
        (b"\xc9\xff\xff\xff\xff\x05", "truncated ext at byte 0"),
        (b"\xcd\x01", "truncated int at byte 0"),
        (b"\xcb\x00\x00", "truncated float at byte 0"),
        (b"\x91\xc1", "reserved byte 0xc1 at byte 1"),
        (b"\x01\x02", "1 byte after the value"),
        (b"\x90\x00\x00", "2 bytes after the value"),
        (b"\x91" * 1025 + b"\x01", "nested deeper than 1024 at byte 1024"),
        (b"\x92\x01\xa2\xc3\x28", "invalid utf-8 in str at byte 2"),
        (b"\xa3\xed\xa0\x80", "invalid utf-8 in str at byte 0"),  # a surrogate
        (b"\x81\x91\x80\x01", "map used as a map key at byte 2"),
        (b"\xd4\xfe\x00", "reserved ext type -2 at byte 0"),
        (b"\xd5\xff\x00\x00", "timestamp of 2 bytes at byte 0"),
        (b"\xd7\xff" + (10**9 << 34).to_bytes(8, "big"), "timestamp nanoseconds 1000000000 out of range at byte 0"),
    ],
)
def test_invalid_bytes_name_the_fault(data, detail):
    assert reference(data) is FAILED
    with pytest.raises(TarnCorruptError) as err:
        _fast.unpackb(data)
    assert str(err.value) == f"object is not valid msgpack: {detail}"


def test_map_keys_that_share_their_ends_stay_apart():
    # Keys alike in length and in their first and last bytes land in one
    # slot of the reused key strs: each must still come back as itself.
    keys = [f"{'p' * 12}{i:03d}{'s' * 12}" for i in range(300)] + [f"k{i}" for i in range(300)]
    records = [{k: i} for i, k in enumerate(keys)] * 2
    data = msgpack.packb(records)
    for _ in range(2):
        assert_same(_fast.unpackb(data), records)


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: memoryview(b"\x00" + b)[1:]])
def test_bytes_like_arguments(wrap):
    assert _fast.unpackb(wrap(msgpack.packb({"a": [1, b"x"]}))) == {"a": [1, b"x"]}


@pytest.mark.parametrize("arg", ["\x90", 144, memoryview(b"\x90\x01\x90\x01")[::2]])
def test_arguments_that_are_not_contiguous_bytes_are_refused(arg):
    with pytest.raises((TypeError, BufferError)):
        _fast.unpackb(arg)


@pytest.mark.parametrize(
    "data",
    [
        # A value fails after containers, strs, tuples and exts were built.
        b"\x93\xa8abcdefgh\x92\x01\x81\xa1k\x92\xd4\x05\x00\xc1",
        b"\x81\x92\xa3abc\xd6\xff\x00\x00\x00\x01\x91\xc1",
        msgpack.packb([{"key": "v" * 100, "n": [1.5, 2**40]}] * 20)[:-1],
        msgpack.packb([[1, 2], {"a": b"b" * 50}]) + b"\x00",
        # Values that decode: nothing but the result stays.
        msgpack.packb([{"key": "v" * 100, "n": [1.5, 2**40, -(2**63)], (1, "t"): None}] * 20),
        msgpack.packb({"e": msgpack.ExtType(3, b"x" * 40), "t": msgpack.Timestamp(2**40, 5), "\u00e9": [True]}),
    ],
)
def test_decoding_keeps_nothing_it_does_not_return(data):
    def decode():
        try:
            return _fast.unpackb(data)
        except TarnCorruptError:
            return None

    decode()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(3000):
            decode()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # A leak of even one small object per call would be 100 KB or more here.
    assert grown < 20_000, grown


def test_a_subinterpreter_decodes_with_keys_of_its_own():
    # Outside the main interpreter the map keys' strs are not shared between
    # calls: the decoding there must give the same records.
    pytest.importorskip("_testcapi")
    proc = run_python(
        """
        import _testcapi, sys
        code = '''
        import msgpack
        from tarndb import _fast
        recs = [{"k%d" % (i % 40): i, "name": "x" * (i % 50), ("t", i % 3): [i]} for i in range(500)]
        data = msgpack.packb(recs)
        got = [_fast.unpackb(data) for _ in range(3)]
        print(all(g == recs for g in got), flush=True)
        '''
        sys.stdout.flush()
        assert _testcapi.run_in_subinterp(code) == 0
        import msgpack
        from tarndb import _fast
        print(_fast.unpackb(msgpack.packb({"a": 1})) == {"a": 1})
        """
    )
    assert proc.stdout.split() == [b"True", b"True"]
