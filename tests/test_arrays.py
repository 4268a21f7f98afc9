"""numpy arrays stored as one msgpack extension value and read back as
arrays of the same dtype, shape and values."""

from __future__ import annotations

import json
import pathlib
import re
import struct
import subprocess
import sys

import msgpack
import numpy as np
import pytest

import tarndb
from tarndb import TarnReader, TarnWriter, _codec, _fast

ARRAYS = {
    "float32": np.arange(768, dtype=np.float32) / 7,
    "big-endian int": np.arange(6, dtype=">i4").reshape(2, 3),
    "0-d": np.array(3.5),
    "fortran order": np.asfortranarray(np.arange(12.0).reshape(3, 4)),
    "strided view": np.arange(40, dtype=np.int64)[::3],
    "transposed": np.arange(6, dtype=np.uint16).reshape(2, 3).T,
    "bool": np.array([True, False, True]),
    "text": np.array(["ab", "héllo", ""]),
    "big-endian text": np.array(["xyz"], dtype=">U3"),
    "bytes": np.array([b"x", b"yz\x00w"]),
    "complex": np.array([1 + 2j, -0.5j], dtype=np.complex64),
    "empty": np.zeros((0, 3), dtype=np.uint8),
    "non-finite": np.array([np.nan, np.inf, -np.inf, -0.0]),
    "uint64": np.array([2**64 - 1], dtype=np.uint64),
    "float16": np.array([1.5, -2], dtype=np.float16),
}


def same(got: object, want: np.ndarray) -> bool:
    return (
        type(got) is np.ndarray
        and got.dtype == want.dtype
        and got.shape == want.shape
        and np.array_equal(got, want, equal_nan=want.dtype.kind in "fc")
    )


@pytest.fixture
def store(tmp_path: pathlib.Path) -> pathlib.Path:
    path = tmp_path / "a.tndb"
    with TarnWriter(path) as w:
        for name, array in ARRAYS.items():
            w[name] = array
        w["nested"] = {"vec": ARRAYS["float32"], "list": [ARRAYS["0-d"], 1]}
    return path


@pytest.mark.parametrize("name", ARRAYS)
def test_an_array_reads_back_as_itself(store: pathlib.Path, name: str) -> None:
    want = ARRAYS[name]
    with TarnReader(store) as r:
        got = r[name]
        assert same(got, want)
        assert got.flags.owndata and got.flags.writeable and got.flags.c_contiguous
        # Every read path decodes it the same way.
        assert same(r.get_many([name])[0], want)
        assert same(dict(r.items())[name], want)
        assert same(_fast.unpackb(r.raw(name)), want)


def test_arrays_nested_in_other_values(store: pathlib.Path) -> None:
    with TarnReader(store) as r:
        value = r["nested"]
    assert same(value["vec"], ARRAYS["float32"])
    assert same(value["list"][0], ARRAYS["0-d"]) and value["list"][1] == 1


def test_the_stored_layout(store: pathlib.Path) -> None:
    # The documented layout, read by hand as another language would.
    with TarnReader(store) as r:
        raw = r.raw("big-endian int")
        stored_f32 = len(r.raw("float32"))
    ext = msgpack.unpackb(raw)
    assert ext.code == _codec.ARRAY_EXT == 78
    data = ext.data
    assert data[0] == 1 and data[1] == 3 and data[2:5] == b">i4" and data[5] == 2
    assert struct.unpack(">QQ", data[6:22]) == (2, 3)
    assert data[22:] == np.arange(6, dtype=">i4").tobytes()
    assert stored_f32 <= ARRAYS["float32"].nbytes + 64


@pytest.mark.parametrize(
    "array",
    [
        np.array([object(), 1], dtype=object),
        np.zeros(2, dtype=[("a", "i4"), ("b", "f8")]),
        np.array(["2020-01-01"], dtype="datetime64[D]"),
    ],
    ids=["objects", "records", "datetimes"],
)
def test_other_kinds_are_refused_clearly(array: np.ndarray) -> None:
    w = TarnWriter()
    with pytest.raises(TypeError, match="^" + re.escape(f"cannot store a numpy array of dtype {array.dtype}: only")):
        w.add(array, "k")
    assert w.num_objects == 0


def test_a_hook_still_gets_the_kinds_arrays_are_not_stored_as(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "h.tndb"
    with TarnWriter(path, default=tarndb.to_builtin) as w:
        w["when"] = np.array(["2020-01-01"], dtype="datetime64[D]")
        w["floats"] = np.ones(2, dtype=np.float32)
    with TarnReader(path) as r:
        assert r["when"] == ["2020-01-01"]
        assert same(r["floats"], np.ones(2, dtype=np.float32))


@pytest.mark.parametrize(
    "data",
    [
        b"\x02\x03<f4\x00" + bytes(4),  # another layout version
        b"\x01\x03<f4\x01" + struct.pack(">Q", 2) + bytes(4),  # 8 bytes short
        b"\x01\x03<O8\x00" + bytes(8),  # a kind the layout does not hold
        b"\x01\x03<f4\x01" + struct.pack(">Q", 2**62) + bytes(8),  # a size that overflows
        b"\x01\x09<f4",  # the dtype runs past the end
    ],
    ids=["layout", "short", "kind", "overflow", "cut"],
)
def test_an_ext_value_that_is_no_such_array_stays_an_ext_value(data: bytes) -> None:
    raw = msgpack.packb(msgpack.ExtType(78, data))
    assert _fast.unpackb(raw) == msgpack.ExtType(78, data)


NO_NUMPY = """
import sys
sys.modules["numpy"] = None  # import numpy fails
import msgpack, tarndb
path, raw = sys.argv[1], bytes.fromhex(sys.argv[2])
w = tarndb.TarnWriter(path)
w["plain"] = [1, 2]
w.add_raw(raw, "array")
w.build()
with tarndb.TarnReader(path) as r:
    value = r["array"]
    print(type(value).__name__, value.code, value.data == msgpack.unpackb(raw).data, r["plain"])
"""


def test_without_numpy_the_reader_gives_the_ext_value(tmp_path: pathlib.Path) -> None:
    raw = _codec.pack(ARRAYS["float32"])
    proc = subprocess.run(
        [sys.executable, "-c", NO_NUMPY, str(tmp_path / "n.tndb"), raw.hex()],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == "ExtType 78 True [1, 2]\n"


def test_cli_shows_an_array_as_documented(store: pathlib.Path) -> None:
    proc = subprocess.run(
        [sys.executable, "-m", "tarndb", "get", str(store), "big-endian int", "non-finite", "0-d", "complex", "--compact"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    lines = [json.loads(line) for line in proc.stdout.splitlines()]
    assert lines[0] == {"$array": {"dtype": ">i4", "shape": [2, 3], "values": [[0, 1, 2], [3, 4, 5]]}}
    nan, inf, ninf = ({"$float": t} for t in ("NaN", "Infinity", "-Infinity"))
    assert lines[1] == {"$array": {"dtype": "<f8", "shape": [4], "values": [nan, inf, ninf, -0.0]}}
    assert lines[2] == {"$array": {"dtype": "<f8", "shape": [], "values": 3.5}}
    assert lines[3]["$array"]["values"] == [{"$complex": [1.0, 2.0]}, {"$complex": [0.0, -0.5]}]
