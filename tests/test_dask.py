"""Building sharded stores with Dask: bags and dataframes, the key forms,
the default scheduler and a two-worker LocalCluster, and failures that
publish nothing."""

from __future__ import annotations

import os

import pytest

from test_shards import manifest_of, shard_contents

dask = pytest.importorskip("dask")
db = pytest.importorskip("dask.bag")

from tarndb import TarnError  # noqa: E402
from tarndb.dask import to_tarndb  # noqa: E402

RECORDS = [{"id": i, "name": f"name-{i % 150}", "tags": ["t"] * (i % 3)} for i in range(600)]


def expected(records, keys_of) -> dict[str, object]:
    """What a store of *records* holds: each under each of its keys, a
    later record winning a key."""
    found: dict[str, object] = {}
    for r in records:
        for k in keys_of(r):
            found[k] = r
    return found


@pytest.mark.parametrize(
    ("key", "keys_of"),
    [
        ("id", lambda r: [str(r["id"])]),
        (["id", "name"], lambda r: [str(r["id"]), r["name"]]),  # names repeat: the last record wins
        (lambda r: [f"a{r['id']}", f"b{r['id']}".encode()], lambda r: [f"a{r['id']}", f"b{r['id']}"]),
        (lambda r: r["name"], lambda r: [r["name"]]),
    ],
)
def test_bag_on_the_default_scheduler(tmp_path, key, keys_of) -> None:
    bag = db.from_sequence(RECORDS, npartitions=7)
    report = to_tarndb(bag, tmp_path / "store", key=key, shards=5)
    assert shard_contents(tmp_path / "store") == expected(RECORDS, keys_of)
    m = manifest_of(tmp_path / "store")
    assert (report.path, report.objects, report.keys, report.bytes) == (
        str(tmp_path / "store"), m["num_objects"], m["num_keys"], m["file_size"])
    assert sorted(os.listdir(tmp_path / "store")) == ["gen-000001", "lock", "manifest.json"]


def test_plain_text_keys_then_others_in_one_partition(tmp_path) -> None:
    # Text keys first, then an integer key, a non-ASCII one and text again,
    # in one partition: a key given twice still maps to the later record.
    records = [{"id": f"k{i}", "n": i} for i in range(50)]
    records += [{"id": 7, "n": "int"}, {"id": "k3", "n": "again"}, {"id": "\u00e9", "n": "e"}]
    records += [{"id": f"k{i}", "n": -i} for i in range(45, 60)]
    to_tarndb(db.from_sequence(records, npartitions=1), tmp_path / "store", key="id", shards=3)
    assert shard_contents(tmp_path / "store") == expected(records, lambda r: [str(r["id"])])


def test_dataframe_rows_are_stored_as_dicts(tmp_path) -> None:
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    frame = pd.DataFrame({"id": range(300), "score": [i / 4 for i in range(300)], "name": [f"n{i}" for i in range(300)]})
    to_tarndb(dd.from_pandas(frame, npartitions=4), tmp_path / "store", key="name", shards=3)
    rows = [{"id": i, "score": i / 4, "name": f"n{i}"} for i in range(300)]
    assert shard_contents(tmp_path / "store") == expected(rows, lambda r: [r["name"]])


def test_dataframe_values_msgpack_cannot_hold_take_the_default_hook(tmp_path) -> None:
    pd = pytest.importorskip("pandas")
    dd = pytest.importorskip("dask.dataframe")
    import tarndb

    when = pd.Timestamp("2024-05-01T12:30:00")
    frame = dd.from_pandas(pd.DataFrame({"id": ["a", "b"], "when": [when, when]}), npartitions=1)
    with pytest.raises(TypeError):
        to_tarndb(frame, tmp_path / "store", key="id", shards=2)
    to_tarndb(frame, tmp_path / "store", key="id", shards=2, default=tarndb.to_builtin)
    assert shard_contents(tmp_path / "store") == {k: {"id": k, "when": "2024-05-01T12:30:00"} for k in "ab"}


def test_two_worker_local_cluster(tmp_path) -> None:
    distributed = pytest.importorskip("distributed")
    bag = db.from_sequence(RECORDS, npartitions=6)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            assert len(client.scheduler_info()["workers"]) == 2
            to_tarndb(bag, tmp_path / "store", key="id", shards=4)
            # A second build through the same client publishes generation 2.
            to_tarndb(bag.map(lambda r: {**r, "v": 2}), tmp_path / "store", key="id", shards=4)
    content = shard_contents(tmp_path / "store")
    assert content == {str(r["id"]): {**r, "v": 2} for r in RECORDS}
    assert manifest_of(tmp_path / "store")["generation"] == 2


@pytest.mark.parametrize(
    ("records", "key", "message"),
    [
        ([{"id": 1}, {"other": 2}], "id", "record has no key field 'id'"),
        ([{"id": 1.5}], "id", "key field 'id' must be a string or an integer, not float"),
        ([{"id": 1}], lambda r: [], "the key callable gave no key"),
        ([{"id": "k" * 70000}], "id", "exceeds the limit of 65535 bytes"),
    ],
)
def test_a_failing_record_publishes_nothing(tmp_path, records, key, message) -> None:
    store = tmp_path / "store"
    to_tarndb(db.from_sequence([{"id": "old"}]), store, key="id", shards=2)
    with pytest.raises(TarnError, match=message):
        to_tarndb(db.from_sequence(records, npartitions=1), store, key=key, shards=2)
    assert shard_contents(store) == {"old": {"id": "old"}}
    assert sorted(os.listdir(store)) == ["gen-000001", "lock", "manifest.json"]


@pytest.mark.parametrize(
    ("collection", "kwargs", "error", "message"),
    [
        ([{"id": 1}], {"key": "id", "shards": 2}, TypeError, "takes a dask.bag or a dask.dataframe, not list"),
        (None, {"key": 3, "shards": 2}, TypeError, "key must be a field name"),
        (None, {"key": [], "shards": 2}, TypeError, "key must be a field name"),
        (None, {"key": "id", "shards": 0}, ValueError, "shards must be from 1 to 1000"),
    ],
)
def test_bad_arguments(tmp_path, collection, kwargs, error, message) -> None:
    bag = db.from_sequence([{"id": 1}]) if collection is None else collection
    with pytest.raises(error, match=message):
        to_tarndb(bag, tmp_path / "store", **kwargs)
    assert not (tmp_path / "store").exists()


def test_cli_builds_on_a_running_cluster(tmp_path) -> None:
    distributed = pytest.importorskip("distributed")
    from test_shards import cli

    source = tmp_path / "in.jsonl"
    source.write_text("".join(f'{{"id": "k{i}", "n": {i}}}\n' for i in range(400)))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, dashboard_address=None) as cluster:
        proc = cli("build", tmp_path / "store", source, "--key", "id", "--shards", 3, "--dask-scheduler", cluster.scheduler_address)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(f"\u2705  {tmp_path / 'store'}  \u2014  400 objects")
    assert shard_contents(tmp_path / "store") == {f"k{i}": {"id": f"k{i}", "n": i} for i in range(400)}
    proc = cli("build", tmp_path / "s2", source, "--key", "id", "--shards", 3, "--dask-scheduler", "tcp://127.0.0.1:9")
    assert proc.returncode == 1 and "cannot reach the Dask scheduler at tcp://127.0.0.1:9" in proc.stderr
