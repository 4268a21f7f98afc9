"""tarndb.merge and `tarndb merge`: later inputs win per key, shared objects
stay shared, deletions, and the file a merge writes."""

from __future__ import annotations

import os
import pathlib
import subprocess
import sys
from typing import Any

import msgpack  # type: ignore[import-untyped,unused-ignore]
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import check_tndb, read_file
from filecraft import Craft, standard

import tarndb
from tarndb import TarnCorruptError, TarnError, TarnIOError, TarnReader, TarnWriter


def store(path: pathlib.Path, groups: list[tuple[Any, list[str]]]) -> pathlib.Path:
    """A store where each (object, keys) group is one object under its keys."""
    with TarnWriter(path) as w:
        for obj, keys in groups:
            w.add(obj, *keys)
    return path


def contents(path: pathlib.Path) -> dict[str, Any]:
    with TarnReader(path) as r:
        assert r.verify()
        return dict(r)


def sharing(path: pathlib.Path) -> list[list[str]]:
    """The keys grouped by the record they point at, in record order."""
    pf = check_tndb(read_file(path))
    groups: dict[int, list[str]] = {}
    for key, offset in pf.entries:
        groups.setdefault(offset, []).append(key.decode())
    return [groups[off] for off in sorted(groups)]


def test_later_inputs_win_and_shared_objects_stay_shared(tmp_path: pathlib.Path) -> None:
    a = store(tmp_path / "a.tndb", [({"v": "a1"}, ["k1", "k2", "k3"]), ({"v": "a2"}, ["k4"])])
    b = store(tmp_path / "b.tndb", [({"v": "b1"}, ["k2", "k5"]), ({"v": "b2"}, ["k6", "k7"])])
    out = tmp_path / "out.tndb"
    report = tarndb.merge(out, a, b)
    assert contents(out) == {
        "k1": {"v": "a1"},
        "k2": {"v": "b1"},
        "k3": {"v": "a1"},
        "k4": {"v": "a2"},
        "k5": {"v": "b1"},
        "k6": {"v": "b2"},
        "k7": {"v": "b2"},
    }
    # One record per object, in the order of first use along the sorted keys.
    assert sharing(out) == [["k1", "k3"], ["k2", "k5"], ["k4"], ["k6", "k7"]]
    assert (report.objects, report.keys, report.bytes) == (4, 7, out.stat().st_size)
    assert report.path == str(out)


@pytest.mark.parametrize(
    ("inputs", "delete", "expected"),
    [
        ([{"k2": None}], (), {"k1": 1, "k3": 3}),
        ([{"k2": None}, {"k2": "back"}], (), {"k1": 1, "k2": "back", "k3": 3}),
        ([{"k2": "new", "k9": 9}], ["k1", "nope"], {"k2": "new", "k3": 3, "k9": 9}),
        ([{"k1": None, "k2": None, "k3": None}], (), {}),
        ([], ["k3", b"k1"], {"k2": 2}),
        ([{"k4": [1, 2]}], ["k4"], {"k1": 1, "k2": 2, "k3": 3}),  # delete= wins over every input
    ],
)
def test_mapping_inputs_and_deletions(
    tmp_path: pathlib.Path, inputs: list[dict[str, Any]], delete: Any, expected: dict[str, Any]
) -> None:
    base = store(tmp_path / "base.tndb", [(1, ["k1"]), (2, ["k2"]), (3, ["k3"])])
    out = tmp_path / "out.tndb"
    report = tarndb.merge(out, base, *inputs, delete=delete)
    assert contents(out) == expected
    assert report.keys == len(expected)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["base.tndb", "out.tndb"]  # nothing left over


def test_an_update_is_no_larger_than_a_fresh_build(tmp_path: pathlib.Path) -> None:
    # Objects each shared by two keys (a name and a number), as a package
    # index keyed by name and by id would be.
    groups = [({"name": f"pkg{i}", "text": f"description {i} " * 20}, [f"pkg{i}", f"id{i:05}"]) for i in range(2000)]
    old = store(tmp_path / "old.tndb", groups)
    changes = {"pkg7": {"name": "pkg7", "text": "changed"}, "id00007": {"name": "pkg7", "text": "changed"}}
    merged = tmp_path / "merged.tndb"
    report = tarndb.merge(merged, old, changes, delete=["pkg9", "id00009"])

    fresh = tmp_path / "fresh.tndb"
    with TarnWriter(fresh) as w:
        for obj, keys in groups:
            if keys[0] == "pkg9":
                continue
            w.add(changes["pkg7"] if keys[0] == "pkg7" else obj, *keys)
    assert contents(merged) == contents(fresh)
    assert merged.stat().st_size <= fresh.stat().st_size
    assert report.objects == 1999  # the two changed keys hold one new object between them
    # What the same update cost by rebuilding from a reader: every key its own copy.
    with TarnReader(old) as r, TarnWriter(tmp_path / "naive.tndb") as w:
        for key, value in r.items():
            w[key] = value
    with TarnReader(tmp_path / "naive.tndb") as n, TarnReader(old) as o:  # both less their lookup index
        naive_size = n.stats["file_size_kb"] * 1024 - n.stats["lookup_index_bytes"]
        old_size = o.stats["file_size_kb"] * 1024 - o.stats["lookup_index_bytes"]
    assert naive_size > 1.9 * old_size


def test_identical_payloads_across_inputs_become_one_object(tmp_path: pathlib.Path) -> None:
    a = store(tmp_path / "a.tndb", [("same", ["a"]), ("other", ["b"])])
    b = store(tmp_path / "b.tndb", [("same", ["c"]), ("", ["d"]), ("", ["e"])])
    out = tmp_path / "out.tndb"
    tarndb.merge(out, a, b)
    assert sharing(out) == [["a", "c"], ["b"], ["d", "e"]]


def test_inputs_from_other_programs_unsorted_and_repeated(tmp_path: pathlib.Path) -> None:
    c = Craft()
    first, second, third = (c.add_object(msgpack.packb(v)) for v in ("first", "second", "third"))
    for key, offset in [(b"z", first), (b"dup", first), (b"a", third), (b"dup", second)]:
        c.add_entry(key, offset)
    foreign = tmp_path / "foreign.tndb"
    foreign.write_bytes(c.build())
    later = store(tmp_path / "later.tndb", [("later", ["b"])])
    out = tmp_path / "out.tndb"
    tarndb.merge(out, foreign, later)
    assert contents(out) == {"a": "third", "b": "later", "dup": "second", "z": "first"}


_keys = st.sampled_from([f"k{i}" for i in range(12)] + ["", "é", "k1\x00"])
_inputs = st.lists(
    st.dictionaries(_keys, st.none() | st.integers(-5, 5) | st.text(max_size=3), max_size=8), min_size=1, max_size=4
)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(inputs=_inputs, as_store=st.lists(st.booleans(), min_size=4, max_size=4), delete=st.lists(_keys, max_size=3))
def test_merge_agrees_with_updating_a_dict(
    tmp_path: pathlib.Path, inputs: list[dict[str, Any]], as_store: list[bool], delete: list[str]
) -> None:
    # Model: dict.update in input order, a None in a mapping input removing
    # the key; values in store inputs are stored as they are (None included).
    expected: dict[str, Any] = {}
    sources: list[Any] = []
    for i, data in enumerate(inputs):
        if as_store[i]:
            path = tmp_path / f"in{i}.tndb"
            with TarnWriter(path) as w:
                for key, value in data.items():
                    w[key] = value
            sources.append(path)
            expected.update(data)
        else:
            sources.append(data)
            for key, value in data.items():
                if value is None:
                    expected.pop(key, None)
                else:
                    expected[key] = value
    for key in delete:
        expected.pop(key, None)
    out = tmp_path / "out.tndb"
    tarndb.merge(out, *sources, delete=delete)
    assert contents(out) == expected
    pf = check_tndb(read_file(out))
    assert len(pf.records) == len({msgpack.packb(v) for v in expected.values()})


@pytest.mark.parametrize("problem", ["missing input", "corrupt input", "target is a directory", "progress raises"])
def test_a_failed_merge_leaves_the_target_and_no_temporary_file(tmp_path: pathlib.Path, problem: str) -> None:
    a = store(tmp_path / "a.tndb", [("x" * 1000, [f"k{i}" for i in range(100)])])
    target = tmp_path / "out.tndb"
    inputs: list[Any] = [a]
    expected_error: type[BaseException] = TarnIOError
    if problem == "missing input":
        inputs.append(tmp_path / "missing.tndb")
    elif problem == "corrupt input":
        bad = tmp_path / "bad.tndb"
        data = bytearray(a.read_bytes())
        data[50] ^= 1
        bad.write_bytes(bytes(data))
        inputs.append(bad)
        expected_error = TarnCorruptError
    elif problem == "progress raises":
        expected_error = KeyboardInterrupt
    elif problem == "target is a directory":
        expected_error = TarnError  # a directory is a sharded store's, and this one is not
    if problem == "target is a directory":
        target.mkdir()
    else:
        store(target, [("old", ["old"])])
    before = sorted(p.name for p in tmp_path.iterdir())
    old = None if target.is_dir() else target.read_bytes()

    def progress(written: int, total: int) -> None:
        raise KeyboardInterrupt

    with pytest.raises(expected_error) as info:
        tarndb.merge(target, *inputs, progress=progress if problem == "progress raises" else None)
    if problem in ("missing input", "corrupt input"):
        assert str(inputs[-1]) in str(info.value)
    if problem == "target is a directory":
        assert str(info.value) == (
            f"{target}: is a directory but not a sharded store; give shards= to write a sharded store there"
        )
    assert sorted(p.name for p in tmp_path.iterdir()) == before
    if old is not None:
        assert target.read_bytes() == old


def run_cli(*args: str | os.PathLike[str]) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tarndb", *map(os.fspath, args)], capture_output=True, text=True, timeout=120
    )


def test_cli_merge_with_deleted_keys(tmp_path: pathlib.Path) -> None:
    a = store(tmp_path / "a.tndb", [("a", ["k1", "k2"]), ("b", ["k3"])])
    b = store(tmp_path / "b.tndb", [("B", ["k3", "k4"])])
    listing = tmp_path / "gone.txt"
    listing.write_bytes(b"\xef\xbb\xbfk2\r\n\nk4\nnot-there\n")
    out = tmp_path / "out.tndb"
    proc = run_cli("merge", out, a, b, "--delete-keys", listing)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == f"✅  {out}  —  2 objects · 2 keys · {out.stat().st_size} bytes\n"
    assert proc.stderr == ""
    assert contents(out) == {"k1": "a", "k3": "B"}
    # An update in place: the output is one of the inputs.
    listing.write_text("k1\n", encoding="utf-8")
    proc = run_cli("merge", a, a, b, "--delete-keys", listing, "--quiet")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    assert contents(a) == {"k2": "a", "k3": "B", "k4": "B"}


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["{out}", "{tmp}/missing.tndb"], "tarndb: cannot open {tmp}/missing.tndb: "),
        (["{out}", "{a}", "--delete-keys", "{tmp}/nope.txt"], "tarndb: {tmp}/nope.txt: cannot open: "),
        (["{tmp}/no/out.tndb", "{a}"], "tarndb: {tmp}/no/out.tndb: directory '{tmp}/no' does not exist"),
    ],
)
def test_cli_merge_errors(tmp_path: pathlib.Path, args: list[str], message: str) -> None:
    a = store(tmp_path / "a.tndb", [("a", ["k1"])])
    names = {"out": str(tmp_path / "out.tndb"), "tmp": str(tmp_path), "a": str(a)}
    proc = run_cli("merge", *(arg.format(**names) for arg in args))
    assert proc.returncode == 1
    assert proc.stderr.startswith(message.format(**names)), proc.stderr
    assert proc.stderr.count("\n") == 1
    assert not (tmp_path / "out.tndb").exists()
    assert contents(a) == {"k1": "a"}


# ----------------------------------------------------------------- readers and sharded stores as inputs


def sharded(path: pathlib.Path, data: dict[str, Any], shards: int = 3) -> pathlib.Path:
    with TarnWriter(path, shards=shards) as w:
        for key, value in data.items():
            w[key] = value
    return path


@pytest.mark.parametrize("kind", ["directory", "reader on directory", "reader on shard files"])
def test_every_shard_of_a_sharded_input_is_merged(tmp_path: pathlib.Path, kind: str) -> None:
    data = {f"k{i}": i for i in range(100)}
    store_dir = sharded(tmp_path / "store", data)
    later = store(tmp_path / "later.tndb", [("new", ["k7", "extra"])])
    out = tmp_path / "out.tndb"
    if kind == "directory":
        tarndb.merge(out, store_dir, later)
    else:
        with TarnReader(store_dir) as r:
            shard_files = [str(s["path"]) for s in r.shard_stats()]
        with TarnReader(store_dir if kind == "reader on directory" else shard_files) as r:
            tarndb.merge(out, r, later)
    assert contents(out) == {**data, "k7": "new", "extra": "new"}


@pytest.mark.parametrize("out_shards", [None, 2, 3])
def test_a_shard_counts_only_for_the_keys_that_route_to_it(tmp_path: pathlib.Path, out_shards: int | None) -> None:
    # Shard files written by another program, each also holding a key of the
    # other shard (with another object): a lookup never finds those copies,
    # so the merge must not take them either.
    keys = [f"key{i}" for i in range(20)]
    files = []
    for shard in range(2):
        own = {k: f"{k} from {shard}" for k in keys if tarndb._fast.route(k, 2) == shard}
        stray = next(k for k in keys if tarndb._fast.route(k, 2) != shard)
        held = {**own, stray: f"stray copy in {shard}"}
        payloads = [msgpack.packb(v) for v in held.values()]
        path = tmp_path / f"shard{shard}.tndb"
        path.write_bytes(standard(payloads, {k: i for i, k in enumerate(held)}))
        files.append(str(path))
    out = tmp_path / "out"
    with TarnReader(files) as r:
        expected = dict(r)
        tarndb.merge(out, r, shards=out_shards)
    assert len(expected) == len(keys) and not any("stray" in v for v in expected.values())
    assert (contents(out) if out_shards is None else check_sharded(out, out_shards)) == expected


def test_a_reader_input_is_merged_from_the_files_it_opened(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    monkeypatch.chdir(tmp_path)
    store(tmp_path / "a.tndb", [("old", ["k1", "k2"])])
    reader = TarnReader("a.tndb")  # a relative path, then another directory
    store(tmp_path / "a.tndb", [("replaced", ["k3"])])  # renamed over the reader's path
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    out = tmp_path / "out.tndb"
    with reader:
        tarndb.merge(out, reader)
    assert contents(out) == {"k1": "old", "k2": "old"}
    with pytest.raises(ValueError, match="closed TarnReader"):
        tarndb.merge(out, reader)


def test_a_merge_job_keeps_a_reader_input_after_it_is_closed(tmp_path: pathlib.Path) -> None:
    data = {f"k{i}": [i] * 10 for i in range(50)}
    reader = TarnReader(sharded(tmp_path / "store", data))
    job = tarndb.MergeJob([reader])
    reader.close()
    out = tmp_path / "out.tndb"
    job.run(out)
    assert contents(out) == data


def damaged_record_store(path: pathlib.Path) -> pathlib.Path:
    """A store whose record for key "bad" has a wrong CRC-32, in a file whose
    whole-file CRC-32 is right."""
    c = Craft()
    good = c.add_object(msgpack.packb("good"))
    bad = c.add_object(msgpack.packb("damage"), crc=12345)
    c.add_entry(b"bad", bad)
    c.add_entry(b"good", good)
    path.write_bytes(c.build())
    return path


@pytest.mark.parametrize("as_reader", [False, True])
def test_a_record_that_fails_its_crc_is_never_copied(tmp_path: pathlib.Path, as_reader: bool) -> None:
    damaged = damaged_record_store(tmp_path / "damaged.tndb")
    target = store(tmp_path / "out.tndb", [("old", ["old"])])
    before = target.read_bytes()
    with TarnReader(damaged) as r:  # the file as a whole passes its check
        with pytest.raises(TarnCorruptError) as info:
            tarndb.merge(target, r if as_reader else damaged, {"other": 1})
    message = str(info.value)
    assert str(damaged) in message and "'bad'" in message and "CRC-32" in message
    assert target.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["damaged.tndb", "out.tndb"]
    # Deleting the damaged key leaves nothing damaged to copy.
    tarndb.merge(target, damaged, delete=["bad"])
    assert contents(target) == {"good": "good"}


def test_a_reader_opened_unchecked_has_its_file_crc_checked(tmp_path: pathlib.Path) -> None:
    path = store(tmp_path / "a.tndb", [("value", ["k1"])])
    data = bytearray(path.read_bytes())
    data[-1] ^= 1  # the last key byte: no record's CRC covers it
    path.write_bytes(bytes(data))
    out = tmp_path / "out.tndb"
    with TarnReader(path, verify=False) as r, pytest.raises(TarnCorruptError, match="file CRC32 mismatch") as info:
        tarndb.merge(out, r)
    assert str(path) in str(info.value)
    assert not out.exists()


# ----------------------------------------------------------------- sharded outputs


def shard_files(store_dir: pathlib.Path) -> list[pathlib.Path]:
    with TarnReader(store_dir) as r:
        return [pathlib.Path(str(s["path"])) for s in r.shard_stats()]


def check_sharded(store_dir: pathlib.Path, shards: int) -> dict[str, Any]:
    """The content of a sharded store, checked: its shard count, each key in
    the shard it routes to, and in each file one record per distinct object."""
    files = shard_files(store_dir)
    assert len(files) == shards
    for i, f in enumerate(files):
        pf = check_tndb(read_file(f))
        assert all(tarndb._fast.route(key, shards) == i for key, _ in pf.entries)
        assert len(pf.records) == len({pf.payload_at(off) for _, off in pf.entries})
    return contents(store_dir)


@pytest.mark.parametrize(
    ("out_form", "shards", "expected_shards"),
    [
        ("new with a trailing slash", None, 4),  # the input's count
        ("existing store", None, 4),
        ("new", 3, 3),
        ("existing store", 2, 2),
        ("new with a trailing slash", 1, 1),
    ],
)
def test_a_merge_writes_a_sharded_store(
    tmp_path: pathlib.Path, out_form: str, shards: int | None, expected_shards: int
) -> None:
    data = {f"k{i}": {"n": i % 7} for i in range(200)}  # many keys share each payload
    source = sharded(tmp_path / "source", data, shards=4)
    out = tmp_path / "out"
    if out_form == "existing store":
        sharded(out, {"old": 1}, shards=5)
    target: Any = str(out) + "/" if out_form.endswith("slash") else out
    report = tarndb.merge(target, source, {"k3": None, "added": "x"}, shards=shards)
    expected = {**data, "added": "x"}
    del expected["k3"]
    assert check_sharded(out, expected_shards) == expected
    assert (report.keys, report.objects) == (len(expected), sum(len(check_tndb(read_file(f)).records) for f in shard_files(out)))
    assert report.bytes == sum(f.stat().st_size for f in shard_files(out))


def test_a_sharded_store_merged_into_itself_keeps_serving_open_readers(tmp_path: pathlib.Path) -> None:
    data = {f"k{i}": i for i in range(60)}
    store_dir = sharded(tmp_path / "store", data, shards=3)
    before = TarnReader(store_dir)
    tarndb.merge(store_dir, store_dir, {"k1": "new"}, delete=["k2"])
    tarndb.merge(store_dir, before, {"k5": "again"})  # from the reader of a generation since replaced
    with before:
        assert dict(before) == data
    expected = {**data, "k5": "again"}
    assert check_sharded(store_dir, 3) == expected


class WatchedMapping(dict):  # type: ignore[type-arg]
    """A mapping input that notes whether the merge started reading it."""

    read = False

    def items(self):  # type: ignore[no-untyped-def]
        WatchedMapping.read = True
        return super().items()


@pytest.mark.parametrize(
    ("case", "error", "message"),
    [
        ("shards out of range", ValueError, "shards must be from 1 to 1000"),
        ("a file as a sharded store", TarnError, "is a file, not a sharded store directory"),
        ("a plain directory without shards=", TarnError, "give shards= to write a sharded store there"),
        ("inputs of different shard counts", TarnError, "the sharded inputs have 2 and 3 shards"),
        ("an input of another type", TypeError, "a merge input is a path, a TarnReader or a mapping"),
    ],
)
def test_refusals_come_before_any_work(tmp_path: pathlib.Path, case: str, error: type, message: str) -> None:
    two = sharded(tmp_path / "two", {"a": 1, "b": 2}, shards=2)
    three = sharded(tmp_path / "three", {"c": 3}, shards=3)
    single = store(tmp_path / "single.tndb", [("s", ["s"])])
    (tmp_path / "plain").mkdir()
    out: Any = tmp_path / "out"
    inputs: list[Any] = [two]
    kwargs: dict[str, Any] = {}
    if case == "shards out of range":
        kwargs["shards"] = 0
    elif case == "a file as a sharded store":
        out, kwargs["shards"] = single, 2
    elif case == "a plain directory without shards=":
        out, inputs = tmp_path / "plain", [single]
    elif case == "inputs of different shard counts":
        out, inputs = str(tmp_path / "out") + "/", [two, three]
    else:
        inputs.append(42)
    listing = sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*"))
    WatchedMapping.read = False
    with pytest.raises(error, match=message):
        tarndb.merge(out, *inputs, WatchedMapping(new=1), **kwargs)
    assert not WatchedMapping.read
    assert sorted(str(p.relative_to(tmp_path)) for p in tmp_path.rglob("*")) == listing


def test_an_interrupted_sharded_merge_publishes_nothing(tmp_path: pathlib.Path) -> None:
    data = {f"k{i}": "v" * 100 for i in range(300)}
    store_dir = sharded(tmp_path / "store", data, shards=3)
    manifest = (store_dir / "manifest.json").read_bytes()
    entries = sorted(p.name for p in store_dir.iterdir())
    calls: list[tuple[int, int]] = []

    def progress(written: int, total: int) -> None:
        calls.append((written, total))
        if written == total and len(calls) > 2:  # the second shard's end, before its rename
            raise KeyboardInterrupt

    job = tarndb.MergeJob([store_dir, {"k1": "new"}])
    with pytest.raises(KeyboardInterrupt):
        job.run(store_dir, progress=progress)
    assert job.last_build is None
    assert (store_dir / "manifest.json").read_bytes() == manifest
    assert sorted(p.name for p in store_dir.iterdir()) == entries
    assert contents(store_dir) == data
    report = job.run(store_dir)  # the job can run again
    assert job.last_build == report
    assert contents(store_dir) == {**data, "k1": "new"}


def test_cli_merge_with_sharded_stores(tmp_path: pathlib.Path) -> None:
    data = {f"k{i}": i for i in range(50)}
    source = sharded(tmp_path / "source", data, shards=4)
    extra = store(tmp_path / "extra.tndb", [("x", ["k1", "new"])])
    out = tmp_path / "out"
    proc = run_cli("merge", f"{out}/", source, extra)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(f"✅  {out}/  —  ")
    assert check_sharded(out, 4) == {**data, "k1": "x", "new": "x"}
    proc = run_cli("merge", out, out, "--shards", "2", "--quiet")
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "", "")
    assert check_sharded(out, 2) == {**data, "k1": "x", "new": "x"}
    single = tmp_path / "single.tndb"
    assert run_cli("merge", single, out).returncode == 0
    assert contents(single) == {**data, "k1": "x", "new": "x"}
    (tmp_path / "plain").mkdir()
    proc = run_cli("merge", tmp_path / "plain", extra)
    assert proc.returncode == 1
    assert proc.stderr == f"tarndb: {tmp_path / 'plain'}: is a directory but not a sharded store; give --shards to write a sharded store there\n"


def test_cli_merge_from_the_shard_files_of_a_store(tmp_path: pathlib.Path) -> None:
    data = {f"k{i}": i for i in range(40)}
    files = shard_files(sharded(tmp_path / "source", data, shards=3))
    extra = store(tmp_path / "extra.tndb", [("x", ["k1"])])
    out = tmp_path / "out"
    proc = run_cli("merge", f"{out}/", "[", *files, "]", extra)
    assert proc.returncode == 0, proc.stderr
    assert check_sharded(out, 3) == {**data, "k1": "x"}  # the count of the shard files given


@pytest.mark.parametrize(
    ("inputs", "message"),
    [
        (["[", "{a}"], "a '[' without its ']'"),
        (["{a}", "]"], "a ']' without the shard files of a store before it"),
        (["[", "]"], "a ']' without the shard files of a store before it"),
        (["[", "{a}", "[", "{a}", "]"], "a '[' inside the shard files of one store"),
    ],
)
def test_cli_merge_shard_file_groups_are_checked(tmp_path: pathlib.Path, inputs: list[str], message: str) -> None:
    a = store(tmp_path / "a.tndb", [("a", ["k1"])])
    proc = run_cli("merge", tmp_path / "out.tndb", *(i.format(a=a) for i in inputs))
    assert proc.returncode == 2
    assert proc.stderr.endswith(f"tarndb: error: {message}\n")
    assert not (tmp_path / "out.tndb").exists()


def test_an_interrupt_after_the_manifest_switch_keeps_the_new_generation(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch
) -> None:
    from tarndb.sharded.lock import StoreLock

    store_dir = sharded(tmp_path / "store", {"a": 1, "b": 2}, shards=2)
    publish = StoreLock.publish

    def publish_then_interrupt(self: StoreLock, manifest: Any) -> None:
        publish(self, manifest)
        raise KeyboardInterrupt  # as if Ctrl-C came while old generations were removed

    monkeypatch.setattr(StoreLock, "publish", publish_then_interrupt)
    job = tarndb.MergeJob([store_dir, {"c": 3}])
    report = job.run(store_dir)
    assert job.last_build == report and report.keys == 3
    assert check_sharded(store_dir, 2) == {"a": 1, "b": 2, "c": 3}
