"""The native read path under TarnReader (tarndb._fast.Reader): lookups,
batch lookups, the sorted key view, prefix and range scans, shard files,
decoders, closing while in use, messages and pickling."""

from __future__ import annotations

import errno
import functools
import multiprocessing
import operator
import os
import pathlib
import pickle
import tempfile
import threading
from collections.abc import Callable, Iterable
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import raw_store
from tarndb import TarnCorruptError, TarnIOError, TarnReader, TarnWriter, _fast

# ---------------------------------------------------------------- helpers


def build(path: str | pathlib.Path, data: dict[Any, Any]) -> str:
    w = TarnWriter()
    for k, v in data.items():
        w[k] = v
    w.build(os.fspath(path))
    return os.fspath(path)


def build_shards(directory: str | pathlib.Path, data: dict[str, Any], n: int) -> list[str]:
    parts: list[dict[str, Any]] = [{} for _ in range(n)]
    for k, v in data.items():
        parts[_fast.route(k, n)][k] = v
    return [build(os.path.join(directory, f"shard-{i}.tndb"), part) for i, part in enumerate(parts)]



def outcome(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        return ("ok", call())
    except Exception as exc:  # noqa: BLE001 - compared below
        return (type(exc).__name__, str(exc))


def one_by_one(r: TarnReader, keys: Iterable[Any], lookup: Callable[[Any], Any]) -> tuple[str, Any]:
    return outcome(lambda: [lookup(k) for k in keys])


# ---------------------------------------------------------------- against a dict, one file and shards

_keys = st.text(st.characters(exclude_categories=["Cs"]), max_size=6)
_values = st.none() | st.integers(-5, 5) | st.text(max_size=4) | st.lists(st.integers(0, 3), max_size=3)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.dictionaries(_keys, _values, max_size=40), probes=st.lists(_keys, max_size=8), shards=st.sampled_from([1, 3]))
def test_every_listing_matches_the_dict(data: dict[str, Any], probes: list[str], shards: int) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        paths = build_shards(tmp, data, shards)
        with TarnReader(paths[0] if shards == 1 else paths) as r:
            ordered = sorted(data)
            assert len(r) == len(data)
            assert list(r) == list(r.keys()) == ordered
            assert list(r.items()) == [(k, data[k]) for k in ordered]
            assert list(r.values()) == [data[k] for k in ordered]
            assert r == data
            batch = probes + list(data)[:10] + probes
            assert r.get_many(batch, "absent") == [data.get(k, "absent") for k in batch]
            assert r.get_many(iter(batch)) == [data.get(k) for k in batch]
            assert r.raw_many(tuple(batch)) == [msgpack.packb(data[k]) if k in data else None for k in batch]
            for p in probes + [""]:
                want = [(k, data[k]) for k in ordered if k.startswith(p)]
                assert r.prefix(p) == r.prefix(p.encode()) == want
                assert r.prefix_keys(p.encode()) == [k for k, _ in want]
            for lo, hi in zip([None, *probes], [*probes, None]):
                want = [(k, data[k]) for k in ordered if (lo is None or k >= lo) and (hi is None or k < hi)]
                assert list(r.range(lo, hi)) == want
                assert list(r.range(start=lo.encode() if lo else lo, stop=hi)) == want


def test_views_behave_as_dict_views(tmp_path: pathlib.Path) -> None:
    data = {"a": 1, "b": [2], "c": None}
    with TarnReader(build(tmp_path / "v.tndb", data)) as r:
        assert r.keys() & {"a", "z"} == {"a"}
        assert r.keys() | {"z"} == {"a", "b", "c", "z"}
        assert r.items() == data.items()
        assert ("b", [2]) in r.items() and ("b", 2) not in r.items()
        assert None in r.values() and 3 not in r.values()
        assert len(r.keys()) == len(r.items()) == len(r.values()) == 3
        it = iter(r.items())
        assert next(it) == ("a", 1)
        assert operator.length_hint(it) == 2
        assert r != {"a": 1}


# ---------------------------------------------------------------- files from other programs, shards

def test_foreign_keys_are_settled_once_and_shards_list_only_their_own(tmp_path: pathlib.Path) -> None:
    records = [msgpack.packb(v) for v in ("first", "second", "latin-1", "m", "c")]
    entries = [(b"m", 3), (b"dup", 0), (b"\xe9t\xe9", 2), (b"dup", 1), (b"c", 4)]
    one = tmp_path / "foreign.tndb"
    one.write_bytes(raw_store(records, entries))
    with TarnReader(one) as r:
        assert list(r) == ["c", "dup", "m"]  # sorted, once each, no invalid UTF-8
        assert list(r.items()) == [("c", "c"), ("dup", "second"), ("m", "m")]
        assert r.prefix("d") == [("dup", "second")]
        assert list(r.range("d")) == [("dup", "second"), ("m", "m")]
        assert r[b"\xe9t\xe9"] == "latin-1"
    # Two shard files, "m" in the one it does not route to, "c" in its own.
    home_m, home_c = _fast.route("m", 2), _fast.route("c", 2)
    files = []
    for s in range(2):
        f = tmp_path / f"s{s}.tndb"
        placed = ([(b"c", 4)] if s == home_c else []) + ([(b"m", 3)] if s != home_m else [])
        f.write_bytes(raw_store(records, sorted(placed)))
        files.append(str(f))
    with TarnReader(files) as r:
        assert "m" not in r and r.get("m") is None  # lookups ask the shard "m" routes to
        assert list(r) == ["c"] and len(r) == 1
        assert r.get_many(["m", "c"]) == [None, "c"]


# ---------------------------------------------------------------- batch lookups equal one call per key

@pytest.fixture
def damaged(tmp_path: pathlib.Path) -> TarnReader:
    # Records 0-39 hold their number; 40 is not msgpack, 41 is cut short,
    # and the entry of "far" names an offset beyond the end of the file.
    records = [msgpack.packb(i) for i in range(40)] + [b"\xc1", b"\x92\x01", b"\x00"]
    entries = [(f"k{i:02d}".encode(), i) for i in range(40)] + [(b"bad", 40), (b"short", 41), (b"far", 42)]
    path = tmp_path / "damaged.tndb"
    path.write_bytes(raw_store(records, sorted(entries), offsets={42: 10**6}))
    return TarnReader(path)


_good = [f"k{i:02d}" for i in range(40)]


@pytest.mark.parametrize(
    "batch",
    [
        [],
        _good[:1],
        _good[:15] + ["bad"],
        _good[:16] + ["far"] + ["bad"],
        _good[:17] + ["missing", "short"],
        _good + _good[::-1] + ["nope"] * 3,
        ["missing", 5, "bad"],  # an invalid key after a missing one
        _good[:20] + ["bad", 5],  # a bad record before an invalid key
        _good[:20] + [None, "bad"],  # an invalid key before a bad record
        _good[:18] + ["x\udc80"],  # a lone surrogate
        [b"k01", bytearray(b"k02"), [107, 48, 51], "bad"],
    ],
)
def test_batches_equal_one_call_per_key(damaged: TarnReader, batch: list[Any]) -> None:
    r = damaged
    assert outcome(lambda: r.get_many(batch, -1)) == one_by_one(r, batch, lambda k: r.get(k, -1))
    assert outcome(lambda: r.raw_many(iter(batch))) == one_by_one(r, batch, lambda k: r.raw(k) if k in r else None)


def test_a_batch_survives_a_decoder_that_empties_its_list_and_closes_the_reader(tmp_path: pathlib.Path) -> None:
    data = {f"k{i:03d}": i for i in range(100)}
    keys = list(data)
    path = build(tmp_path / "m.tndb", data)
    holder: list[TarnReader] = []

    def meddle(raw: bytes) -> Any:
        keys.clear()
        holder[0].close()
        return msgpack.unpackb(raw)

    r = TarnReader(path, decoder=meddle)
    holder.append(r)
    original = list(keys)
    got = r.get_many(keys)
    assert 1 <= len(got) <= len(original)
    assert got == [data[k] for k in original[: len(got)]]
    with pytest.raises(ValueError, match="closed"):
        r.get_many(["k000"])


# ---------------------------------------------------------------- closing while in use

def test_close_while_in_use(tmp_path: pathlib.Path) -> None:
    path = build(tmp_path / "c.tndb", {f"k{i}": "x" * 100 for i in range(20000)})
    r = TarnReader(path)
    it = iter(r.items())
    assert next(it)[0] == "k0"
    # A decoder that closes its own reader mid-lookup: the mapping stays
    # until the lookup is done.
    holder: list[TarnReader] = []

    def closing(raw: bytes) -> Any:
        holder[0].close()
        return msgpack.unpackb(raw)

    c = TarnReader(path, decoder=closing)
    holder.append(c)
    assert c["k5"] == "x" * 100
    assert c.closed
    # verify() lets other threads run: one closes the reader meanwhile.
    closer = threading.Thread(target=r.close)
    results: list[Any] = []
    worker = threading.Thread(target=lambda: results.append(outcome(r.verify)))
    worker.start()
    closer.start()
    worker.join()
    closer.join()
    assert results[0] in {("ok", True), ("ValueError", f"I/O operation on a closed TarnReader ({path!r})")}
    for call in (lambda: next(it), lambda: r["k1"], lambda: "k1" in r, lambda: len(r), lambda: r.get_many([]),
                 lambda: list(r.range()), r.verify, lambda: r.prefix("")):
        with pytest.raises(ValueError, match=r"^I/O operation on a closed TarnReader \(.*c\.tndb'\)$"):
            call()


# ---------------------------------------------------------------- decoders

@pytest.mark.parametrize("decoder", [None, msgpack.unpackb], ids=["native", "msgpack"])
def test_list_map_keys_come_back_as_tuples(tmp_path: pathlib.Path, decoder: Any) -> None:
    path = build(tmp_path / "t.tndb", {"k": {(1, (2, 3)): "tuple key", "s": [1]}})
    with TarnReader(path, decoder=decoder) as r:
        assert r["k"] == {(1, (2, 3)): "tuple key", "s": [1]}
        assert r.decoder is decoder


def test_a_failing_decoder_is_a_corrupt_error_and_interrupts_pass(tmp_path: pathlib.Path) -> None:
    path = build(tmp_path / "d.tndb", {"k": 1})

    def broken(raw: bytes) -> Any:
        raise ValueError("no thanks")

    def interrupted(raw: bytes) -> Any:
        raise KeyboardInterrupt

    with TarnReader(path, decoder=broken) as r:
        for call in (lambda: r["k"], lambda: r.get_many(["k"]), lambda: list(r.values()), lambda: r.prefix("")):
            with pytest.raises(TarnCorruptError, match=r"^object of key 'k' is not valid msgpack: no thanks$") as info:
                call()
            assert isinstance(info.value.__cause__, ValueError)
    with TarnReader(path, decoder=interrupted) as r, pytest.raises(KeyboardInterrupt):
        r["k"]
    with pytest.raises(TypeError, match="decoder"):
        TarnReader(path, decoder=42)  # type: ignore[arg-type]
    with TarnReader(path, decoder=functools.partial(msgpack.unpackb, raw=False)) as r:
        assert r["k"] == 1


# ---------------------------------------------------------------- messages

@pytest.mark.parametrize(
    "call",
    [
        lambda r, k: r[k],
        lambda r, k: r.get(k),
        lambda r, k: k in r,
        lambda r, k: r.raw(k),
        lambda r, k: r.get_many([k]),
        lambda r, k: r.prefix(k),
        lambda r, k: r.range(k),
    ],
)
def test_key_messages(tmp_path: pathlib.Path, call: Callable[[TarnReader, Any], Any]) -> None:
    with TarnReader(build(tmp_path / "k.tndb", {"a": 1})) as r:
        with pytest.raises(ValueError, match=r"^key 'x\\udc80' cannot be encoded as UTF-8 \(it holds a lone surrogate\)$"):
            call(r, "x\udc80")
        with pytest.raises(TypeError, match="^key must be str or bytes, not 'float'$"):
            call(r, 3.5)


def test_open_messages_name_the_path(tmp_path: pathlib.Path) -> None:
    with pytest.raises(TarnIOError, match=f"^cannot open {tmp_path}: is a directory$") as info:
        TarnReader(tmp_path)
    assert info.value.errno == errno.EISDIR
    text = tmp_path / "notes.txt"
    text.write_bytes(b"# tarndb notes\n" * 4)
    with pytest.raises(TarnCorruptError, match=rf"^{text}: not a tarndb store \(bad magic \[35, 32, 116, 97\]\)$"):
        TarnReader(text)
    good = build(tmp_path / "g.tndb", {"a": 1})
    with pytest.raises(TarnCorruptError, match=f"^{text}: not a tarndb store"):
        TarnReader([good, str(text)])
    with pytest.raises(ValueError, match="must not be empty"):
        TarnReader([])


# ---------------------------------------------------------------- pickling and processes


def _lookup(args: tuple[TarnReader, list[str]]) -> list[Any]:
    r, keys = args
    return [r.get_many(keys), len(r), r.path]


def test_readers_pickle_by_path_into_a_spawn_pool(tmp_path: pathlib.Path) -> None:
    data = {f"k{i}": {"i": i} for i in range(50)}
    single = TarnReader(build(tmp_path / "p.tndb", data), verify=False)
    sharded = TarnReader(build_shards(tmp_path, data, 3), decoder=msgpack.unpackb)
    copy = pickle.loads(pickle.dumps(sharded))
    assert type(copy) is TarnReader and copy == sharded
    assert (copy.path, copy.verify_on_open, copy.decoder) == (sharded.path, True, msgpack.unpackb)
    keys = ["k1", "k49", "missing"]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        got = pool.map(_lookup, [(single, keys), (sharded, keys)])
    assert got == [[[{"i": 1}, {"i": 49}, None], 50, r.path] for r in (single, sharded)]


def test_a_reader_opened_before_fork_works_in_the_child(tmp_path: pathlib.Path) -> None:
    r = TarnReader(build(tmp_path / "f.tndb", {"a": [1], "b": {"x": 2}}))
    pid = os.fork()
    if pid == 0:  # the child: no pytest machinery, only an exit status
        ok = False
        try:
            ok = r["b"] == {"x": 2} and list(r.items()) == [("a", [1]), ("b", {"x": 2})] and r.verify()
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0


def test_an_iterator_holding_the_last_reference_ends_cleanly(tmp_path: pathlib.Path) -> None:
    # The iterator's reader is dropped at the end of the iteration: it may be
    # the last reference, freed while the step that found the end finishes.
    path = build(tmp_path / "i.tndb", {"a": 1, "b": 2})
    for make in (lambda r: iter(r), lambda r: iter(r.items()), lambda r: r.range("a")):
        it = make(TarnReader(path))
        assert len(list(it)) == 2
        assert list(it) == []
