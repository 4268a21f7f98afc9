"""Sharded stores and the lookup index: every builder of a sharded store
(the writer with one worker and with several, a merge to a sharded store,
the Dask builder) gives each shard a lookup index, reports the records'
total as a single-file build does, and leaves every shard a plain store
file for the low-level module; a store opened without verification reads
each shard in place."""

from __future__ import annotations

import json
import subprocess
import sys

import msgpack
import pytest

import tarndb
from tarndb import _fast, _tarndb
from tarndb._header import lookup_index_bytes

from test_shards import manifest_of

SHARDS = 4
DATA = {f"key/{i:04d}": {"i": i, "pad": "x" * (i % 5)} for i in range(700)} | {"": 0, "été": [1, 2]}


def build(kind: str, store) -> tarndb.BuildReport:
    if kind.startswith("writer"):
        with tarndb.TarnWriter(store, shards=SHARDS, workers=2 if kind == "writer, 2 workers" else 1) as w:
            for k, v in DATA.items():
                w[k] = v
        assert w.last_build is not None
        return w.last_build
    if kind == "merge":
        src = store.parent / "src.tndb"
        with tarndb.TarnWriter(src) as w:
            for k, v in DATA.items():
                w[k] = v
        return tarndb.merge(store, src, shards=SHARDS)
    dask_bag = pytest.importorskip("dask.bag")
    from tarndb.dask import to_tarndb

    records = [{"k": k, "v": v} for k, v in DATA.items()]
    return to_tarndb(dask_bag.from_sequence(records, npartitions=3), store, key="k", shards=SHARDS)


def stored(kind: str) -> dict[str, object]:
    if kind == "dask":
        return {k: {"k": k, "v": v} for k, v in DATA.items()}
    return dict(DATA)


@pytest.mark.parametrize("kind", ["writer", "writer, 2 workers", "merge", "dask"])
def test_each_shard_carries_the_index_the_report_counts(tmp_path, kind: str) -> None:
    store = tmp_path / "store"
    report = build(kind, store)
    with tarndb.TarnReader(store, verify=False) as r:
        sizes = [int(s["lookup_index_bytes"]) for s in r.shard_stats()]
        assert len(sizes) == SHARDS and all(sizes)  # every shard read in place
        assert r.stats["lookup_index_bytes"] == sum(sizes)
        assert dict(r) == stored(kind)
        assert r.misplaced_keys() == [0] * SHARDS and r.verify()
    assert (report.lookup_index_bytes, report.files, report.indexed_files) == (sum(sizes), SHARDS, SHARDS)
    assert report.carries_lookup_index

    info = subprocess.run(
        [sys.executable, "-m", "tarndb", "info", str(store), "--json"], capture_output=True, text=True, check=True
    )
    figures = json.loads(info.stdout)
    assert (figures["lookup_index_bytes"], figures["shard_lookup_index_bytes"]) == (sum(sizes), sizes)

    # Shard by shard, the low-level module opens, lists and verifies each
    # file, the lookup index one more record no key names.
    found: dict[str, object] = {}
    for i, (entry, size) in enumerate(zip(manifest_of(store)["shards"], sizes)):
        path = str(store / entry["file"])
        with open(path, "rb") as f:
            assert lookup_index_bytes(f.read(40)) == size
        low = _tarndb._TarnReader(path)
        assert low.verify() is True
        assert low.stats()["num_objects"] == entry["num_objects"] + 1
        assert len(low.objects_raw()) == entry["num_objects"]
        for k, raw in low.items_raw():
            assert _fast.route(k, SHARDS) == i and k not in found
            found[k] = msgpack.unpackb(raw)
        low.close()
    assert found == stored(kind)


def test_a_single_file_report_says_the_same(tmp_path) -> None:
    path = tmp_path / "one.tndb"
    with tarndb.TarnWriter(path) as w:
        for k, v in DATA.items():
            w[k] = v
    report = w.last_build
    assert report is not None and report.carries_lookup_index
    with tarndb.TarnReader(path, verify=False) as r:
        assert (report.lookup_index_bytes, report.files, report.indexed_files) == (r.stats["lookup_index_bytes"], 1, 1)
    # A merge output whose keys are not all text carries none, and says so.
    src = str(tmp_path / "bytes.tndb")
    low = _tarndb._TarnWriter()
    low.add_key(b"\xe9t\xe9", low.add_object_raw(b"\x01"))
    low.build(src)
    merged = tarndb.merge(tmp_path / "m.tndb", src)
    assert (merged.lookup_index_bytes, merged.files, merged.indexed_files) == (0, 1, 0)
    assert not merged.carries_lookup_index


@pytest.mark.parametrize(
    ("head", "expected"),
    [
        (b"TNDB\x01LX\x01" + bytes(28) + (1000).to_bytes(4, "big"), 1008),
        (b"TNDB\x01\x00\x00\x00" + bytes(28) + (1000).to_bytes(4, "big"), 0),  # not announced
        (b"TNDB\x01LX\x02" + bytes(28) + (1000).to_bytes(4, "big"), 0),  # a version we do not read
        (b"TNDB\x01LX\x01", 0),  # too short to be a header
    ],
)
def test_the_header_announces_the_record(head: bytes, expected: int) -> None:
    assert lookup_index_bytes(head) == expected


def test_a_merged_shard_whose_keys_are_not_all_text_is_counted_without_one(tmp_path) -> None:
    raw_key = b"\xe9t\xe9"  # not UTF-8: its shard can carry no lookup index
    home = _fast.route(raw_key, 2)
    text = next(f"k{i}" for i in range(100) if _fast.route(f"k{i}", 2) != home)
    src = str(tmp_path / "src.tndb")
    low = _tarndb._TarnWriter()
    low.add_key(raw_key, low.add_object_raw(b"\x01"))
    low.add_key(text, low.add_object_raw(b"\x02"))
    low.build(src)
    store = tmp_path / "store"
    report = tarndb.merge(store, src, shards=2)
    with tarndb.TarnReader(store, verify=False) as r:
        sizes = [int(s["lookup_index_bytes"]) for s in r.shard_stats()]
        assert r[raw_key] == 1 and r[text] == 2 and r.verify()
    assert sizes[home] == 0 and sizes[1 - home] > 0
    assert (report.lookup_index_bytes, report.files, report.indexed_files) == (sizes[1 - home], 2, 1)
    assert not report.carries_lookup_index
    info = subprocess.run([sys.executable, "-m", "tarndb", "info", str(store)], capture_output=True, text=True, check=True)
    assert "(1 of 2 shards carry one)" in info.stdout and "lookup index none" in info.stdout
