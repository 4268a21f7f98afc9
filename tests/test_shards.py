"""Sharded stores: routing, the sharded writer, the manifest, publishing,
crash safety, and opening a store directory with its faults."""

from __future__ import annotations

import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

import pytest

import tarndb
from conftest import child_env, run_python, spawn_python
from tarndb import TarnCorruptError, TarnError, TarnReader, TarnVersionError, TarnWriter, _fast

M64 = (1 << 64) - 1


def route_py(key: bytes, n: int) -> int:
    """The documented routing formula, written out independently."""
    h = 0xCBF29CE484222325
    for b in key:
        h = ((h ^ b) * 0x100000001B3) & M64
    h ^= h >> 33
    h = (h * 0xFF51AFD7ED558CCD) & M64
    h ^= h >> 33
    h = (h * 0xC4CEB9FE1A85EC53) & M64
    h ^= h >> 33
    return h % n


ROUTE_KEYS = [b"", b"a", b"apple", "pomme-\u00e9\u4e2d".encode(), bytes(range(256)), b"\xff" * 1000, b"k" * 65535]


@pytest.mark.parametrize("n", [1, 2, 7, 8, 1000, 2**32 - 1])
def test_route_follows_the_documented_formula(n: int) -> None:
    rng = random.Random(n)
    keys = ROUTE_KEYS + [rng.randbytes(rng.randrange(40)) for _ in range(300)]
    assert [_fast.route(k, n) for k in keys] == [route_py(k, n) for k in keys]
    text = "pomme-\u00e9\u4e2d"
    assert _fast.route(text, n) == route_py(text.encode(), n)
    assert _fast.ROUTE == "fnv1a64-fmix64"


def test_route_is_the_same_whatever_the_hash_seed() -> None:
    code = "import sys; from tarndb import _fast; print([_fast.route(f'key-{i}', 13) for i in range(500)])"
    expected = str([route_py(f"key-{i}".encode(), 13) for i in range(500)])
    for seed in ("0", "1", "12345", "random"):
        env = child_env({"PYTHONHASHSEED": seed})
        out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        assert out.stdout.strip() == expected, seed


# ---------------------------------------------------------------- helpers


def manifest_of(store) -> dict:
    with open(os.path.join(store, "manifest.json")) as f:
        return json.load(f)


def shard_readers(store) -> list[TarnReader]:
    return [TarnReader(os.path.join(store, s["file"])) for s in manifest_of(store)["shards"]]


def shard_contents(store) -> dict[str, object]:
    """Every key of every shard with its object; each key in one shard only,
    the one it routes to."""
    found: dict[str, object] = {}
    readers = shard_readers(store)
    for i, r in enumerate(readers):
        for k in r:
            assert k not in found, f"{k!r} in two shards"
            assert _fast.route(k, len(readers)) == i
            found[k] = r[k]
        r.close()
    return found


def stage(w, n: int = 400) -> None:
    """Objects with one key, several keys (in different shards), none (given
    keys later by alias), a key given twice (the later object wins), and
    aliases into the object's own and other shards."""
    for i in range(n):
        w.add({"i": i, "blob": "x" * (i % 50)}, f"one-{i}")
    for i in range(n // 4):
        w.add([i, "many"], f"many-{i}-a", f"many-{i}-b", b"many-%d-c" % i)
    lone = w.add("keyless")
    w.alias("alias-of-keyless", lone)
    for i in range(20):
        w.alias(f"alias-{i}", i)
        w.alias(f"alias2-{i}", i)  # a second alias: the copy in that shard, if any, is reused
    w["one-3"] = "replaced"
    w.add(None, "nothing")


def single_file(tmp_path) -> dict[str, object]:
    with TarnWriter(tmp_path / "single.tndb") as w:
        stage(w)
    with TarnReader(tmp_path / "single.tndb") as r:
        return dict(r.items())


# ---------------------------------------------------------------- writer


@pytest.mark.parametrize(("shards", "workers"), [(1, 1), (3, 1), (8, 1), (5, 3)])
def test_sharded_build_holds_what_a_single_file_holds(tmp_path, shards: int, workers: int) -> None:
    store = tmp_path / "store"
    with TarnWriter(store, shards=shards, workers=workers) as w:
        stage(w)
    assert shard_contents(store) == single_file(tmp_path)
    m = manifest_of(store)
    assert (m["format"], m["version"], m["generation"], m["route"]) == ("tarndb-sharded", 1, 1, "fnv1a64-fmix64")
    assert m["shard_count"] == shards == len(m["shards"])
    for i, (entry, r) in enumerate(zip(m["shards"], shard_readers(store))):
        s = r.stats
        assert entry["file"] == f"gen-000001/shard-{i:04d}.tndb"
        assert (entry["num_keys"], entry["num_objects"], entry["file_crc32"]) == (s["num_keys"], s["num_objects"], s["file_crc32"])
        assert entry["file_size"] == os.path.getsize(store / entry["file"])
        assert r.verify()
    for field in ("num_keys", "num_objects", "file_size"):
        assert m[field] == sum(e[field] for e in m["shards"])
    # Only the published generation, the manifest and the lock remain.
    assert sorted(os.listdir(store)) == ["gen-000001", "lock", "manifest.json"]


def test_each_shard_is_an_ordinary_store(tmp_path) -> None:
    store = tmp_path / "store"
    with TarnWriter(store, shards=2) as w:
        stage(w, 50)
    first = store / manifest_of(store)["shards"][0]["file"]
    low = tarndb._tarndb._TarnReader(str(first))
    low.verify()  # raises on a fault
    assert len(low.keys()) == manifest_of(store)["shards"][0]["num_keys"] > 0
    out = run_python("import sys, tarndb.__main__ as m; sys.exit(m.main(['verify', sys.argv[1]]))", first)
    assert b": ok (" in out.stdout


def test_a_sharded_build_prints_nothing(tmp_path) -> None:
    code = """
import sys, tarndb
with tarndb.TarnWriter(sys.argv[1], shards=3, workers=int(sys.argv[2])) as w:
    for i in range(100):
        w[f"k{i}"] = i
"""
    for workers in ("1", "2"):
        out = run_python(code, tmp_path / f"s{workers}", workers)
        assert (out.stdout, out.stderr) == (b"", b"")
        assert len(shard_contents(tmp_path / f"s{workers}")) == 100


@pytest.mark.parametrize(
    ("kwargs", "error", "text"),
    [
        ({"shards": 0}, ValueError, "shards must be from 1 to 1000"),
        ({"shards": 1001}, ValueError, "shards must be from 1 to 1000"),
        ({"shards": 2, "workers": 0}, ValueError, "workers must be at least 1"),
        ({"workers": 2}, ValueError, "give shards= as well"),
        ({"shards": "4"}, TypeError, "cannot be interpreted as an integer"),
    ],
)
def test_writer_arguments(tmp_path, kwargs, error, text) -> None:
    with pytest.raises(error, match=text):
        TarnWriter(tmp_path / "store", **kwargs)


def test_writer_refuses_a_file_or_a_foreign_directory(tmp_path) -> None:
    (tmp_path / "file").write_bytes(b"x")
    with pytest.raises(TarnError, match="is a file, not a sharded store directory"):
        TarnWriter(tmp_path / "file", shards=2)
    (tmp_path / "docs").mkdir()
    (tmp_path / "docs" / "notes.txt").write_text("mine")
    with pytest.raises(TarnError, match="not a sharded store directory \\(it holds 'notes.txt'\\)"):
        TarnWriter(tmp_path / "docs", shards=2)
    assert os.listdir(tmp_path / "docs") == ["notes.txt"]


def test_staging_errors_leave_nothing_staged(tmp_path) -> None:
    w = TarnWriter(tmp_path / "store", shards=4)
    with pytest.raises(TypeError):
        w.add(object(), "k")
    with pytest.raises(TypeError, match="key must be str or bytes"):
        w.add(1, "fine", 3)  # type: ignore[arg-type]
    with pytest.raises(TarnError, match="exceeds the limit of 65535 bytes"):
        w.add(1, "k" * 65536)
    assert w.num_objects == 0
    with pytest.raises(TarnError, match=r"obj_id 0 out of range \(have 0 objects\)"):
        w.alias("k", 0)
    with pytest.raises(OverflowError):
        w.alias("k", -1)
    w.build()
    assert shard_contents(tmp_path / "store") == {}
    with pytest.raises(TarnError, match="a new TarnWriter stages the next build"):
        w.add(1, "late")
    with pytest.raises(ValueError, match="builds the store it was opened on"):
        TarnWriter(tmp_path / "store", shards=1).build(tmp_path / "elsewhere")


# ---------------------------------------------------------------- builders and generations


def test_a_second_builder_is_refused_until_the_first_is_done(tmp_path) -> None:
    store = tmp_path / "store"
    first = TarnWriter(store, shards=2)
    with pytest.raises(TarnError, match="another builder is building this store"):
        TarnWriter(store, shards=2)
    # Another process is refused as well: the lock is the file system's.
    out = run_python("import sys, tarndb; tarndb.TarnWriter(sys.argv[1], shards=2)", store, check=False)
    assert out.returncode == 1 and b"another builder is building this store" in out.stderr
    first["a"] = 1
    first.build()
    with TarnWriter(store, shards=2) as second:
        second["b"] = 2
    assert shard_contents(store) == {"b": 2}


def test_a_raising_with_block_publishes_nothing(tmp_path) -> None:
    store = tmp_path / "store"
    with TarnWriter(store, shards=2) as w:
        w["old"] = 1
    with pytest.raises(RuntimeError, match="stop"):
        with TarnWriter(store, shards=2) as w:
            w["new"] = 2
            raise RuntimeError("stop")
    assert shard_contents(store) == {"old": 1}
    assert sorted(os.listdir(store)) == ["gen-000001", "lock", "manifest.json"]


@pytest.mark.parametrize("failure", [KeyboardInterrupt, OSError])
def test_a_failure_after_the_manifest_switch_keeps_the_published_generation(tmp_path, monkeypatch, failure) -> None:
    from tarndb.sharded.lock import StoreLock

    store = tmp_path / "store"
    with TarnWriter(store, shards=2) as w:
        w["old"] = 1
    publish = StoreLock.publish

    def publish_then_fail(self: StoreLock, manifest) -> None:
        publish(self, manifest)
        raise failure()  # as if it came while the old generations were removed

    monkeypatch.setattr(StoreLock, "publish", publish_then_fail)
    w = TarnWriter(store, shards=2)
    w["new"] = 2
    report = w.build()
    assert report.keys == 1 and w.last_build == report
    assert manifest_of(store)["generation"] == 2
    assert shard_contents(store) == {"new": 2}
    assert TarnReader(store).verify() is True


def test_generations_kept_and_leftovers_cleared(tmp_path) -> None:
    store = tmp_path / "store"
    for gen in (1, 2, 3):
        with TarnWriter(store, shards=2) as w:
            w["gen"] = gen
        # The published generation and the one it replaced.
        assert sorted(n for n in os.listdir(store) if n.startswith("gen-")) == [
            f"gen-{g:06d}" for g in range(max(1, gen - 1), gen + 1)
        ]
    # What a killed builder leaves: a spill directory, an unpublished
    # generation, a temporary manifest.
    (store / "spill-dead").mkdir()
    (store / "spill-dead" / "run-0000").write_bytes(b"partial")
    (store / "gen-000009").mkdir()
    (store / "manifest.json.tmp").write_text("{")
    w = TarnWriter(store, shards=2)
    names = sorted(os.listdir(store))
    assert [n for n in names if not n.startswith("spill-")] == ["gen-000002", "gen-000003", "lock", "manifest.json"]
    assert "spill-dead" not in names  # only the new writer's own spill directory
    w["gen"] = 4
    w.build()
    assert manifest_of(store)["generation"] == 10  # numbers of leftovers are not reused
    assert shard_contents(store) == {"gen": 4}


# ---------------------------------------------------------------- crash safety

# Builds generation `gen` of the store: 6000 records marked with their
# generation. Says "ready" once staged; `step` names the moment of the
# publish at which it kills itself (none: it is killed from outside).
CRASH_CHILD = """
import os, signal, sys
import tarndb
from tarndb import _fast
store, gen, step, workers = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
real_write = _fast.write_atomically
def write_atomically(target, data):
    if step == "before-rename" and target.endswith("manifest.json"):
        # Killed with the new manifest written beside the old one, not renamed.
        with open(os.path.join(os.path.dirname(target), "manifest.tndb.tmp"), "wb") as f:
            f.write(data)
        os.kill(os.getpid(), signal.SIGKILL)
    real_write(target, data)
    if step == "after-rename" and target.endswith("manifest.json"):
        os.kill(os.getpid(), signal.SIGKILL)
_fast.write_atomically = write_atomically
w = tarndb.TarnWriter(store, shards=4, workers=workers)
for i in range(20000):
    w.add({"gen": gen, "i": i, "pad": "p" * 300}, f"k{i:05d}")
w["marker"] = gen
print("ready", flush=True)
w.build()
"""


def check_whole_generation(store) -> int:
    """The store holds exactly one generation's records, verified."""
    content = shard_contents(store)
    gen = content["marker"]
    assert len(content) == 20001
    assert all(v == gen for k, v in content.items() if k == "marker")
    assert all(v["gen"] == gen for k, v in content.items() if k != "marker")  # type: ignore[index]
    for r in shard_readers(store):
        assert r.verify()
    return gen  # type: ignore[return-value]


def crash_build(store, gen: int, step: str, workers: int, kill=None) -> int:
    """Runs CRASH_CHILD; *kill*, if given, waits from the moment it has
    staged and returns once it is time to SIGKILL it.  Returns its exit code."""
    proc = spawn_python(CRASH_CHILD, store, gen, step, workers)
    try:
        assert proc.stdout.readline() == b"ready\n"
        if kill is not None:
            kill()
            proc.send_signal(signal.SIGKILL)
        proc.wait(60)
        return proc.returncode
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def first_shard_appears(store, gen: int):
    def wait() -> None:
        gen_dir = store / f"gen-{gen:06d}"
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline:
            if gen_dir.is_dir() and os.listdir(gen_dir):
                return
            time.sleep(0.0005)
        raise AssertionError("no shard file appeared")

    return wait


@pytest.mark.parametrize(
    ("step", "workers", "expected"),
    [("before-rename", 1, 1), ("after-rename", 1, 2), ("before-rename", 2, 1), ("after-rename", 2, 2)],
)
def test_sigkill_while_publishing(tmp_path, step: str, workers: int, expected: int) -> None:
    store = tmp_path / "store"
    run_python(CRASH_CHILD, store, 1, "none", 1)
    assert crash_build(store, 2, step, workers) == -signal.SIGKILL
    assert check_whole_generation(store) == expected
    # The next builder gets the lock and clears what the killed one left.
    run_python(CRASH_CHILD, store, 3, "none", 1)
    assert check_whole_generation(store) == 3
    # Kept: the new generation and the one it replaced.
    assert sorted(os.listdir(store)) == [f"gen-{expected:06d}", "gen-000003", "lock", "manifest.json"]


@pytest.mark.parametrize("workers", [1, 2])
def test_sigkill_while_building_shards(tmp_path, workers: int) -> None:
    store = tmp_path / "store"
    run_python(CRASH_CHILD, store, 1, "none", 1)
    rng = random.Random(workers)
    published = 1
    for gen in range(2, 8):
        if gen % 2 == 0:
            # As soon as the first shard file of the new generation exists.
            code = crash_build(store, gen, "none", workers, first_shard_appears(store, gen))
            assert code == -signal.SIGKILL
        else:
            # At a random moment of the build (or after it, if it was quick).
            code = crash_build(store, gen, "none", workers, lambda: time.sleep(rng.uniform(0.0, 0.5)))
            if code == 0:
                published = gen
            elif check_whole_generation(store) == gen:
                published = gen  # killed after the manifest switched, before the process ended
        assert check_whole_generation(store) == published
    run_python(CRASH_CHILD, store, 9, "none", workers)
    assert check_whole_generation(store) == 9
    assert not [n for n in os.listdir(store) if n.startswith("spill-")]


# ---------------------------------------------------------------- reading a store directory


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    """The same content as a single file and as a sharded store of 6."""
    base = tmp_path_factory.mktemp("pair")
    with TarnWriter(base / "single.tndb") as w:
        stage(w)
    with TarnWriter(base / "store", shards=6, workers=2) as w:
        stage(w)
    single, sharded = TarnReader(base / "single.tndb"), TarnReader(base / "store")
    yield single, sharded
    single.close()
    sharded.close()


def test_sharded_and_single_file_stores_read_alike(pair) -> None:
    single, sharded = pair
    assert sharded == single and dict(sharded) == dict(single)
    assert len(sharded) == len(single)
    assert list(sharded) == list(single)  # one sorted order across shards
    assert list(sharded.keys()) == list(single.keys())
    assert list(sharded.items()) == list(single.items())
    assert list(sharded.values()) == list(single.values())
    probe = ["one-1", "many-3-b", "absent", "alias-of-keyless", b"one-7", "one-3"]
    assert sharded.get_many(probe, "-") == single.get_many(probe, "-")
    assert sharded.raw_many(probe) == single.raw_many(probe)
    for p in ("", "one-1", "many-", "alias", "zzz"):
        assert sharded.prefix(p) == single.prefix(p)
        assert sharded.prefix_keys(p) == single.prefix_keys(p)
    for start, stop in ((None, None), ("alias", "many-2"), ("one-5", None), (None, "b"), ("z", "a")):
        assert list(sharded.range(start, stop)) == list(single.range(start, stop))
    assert sharded.raw("one-2") == single.raw("one-2")
    with pytest.raises(KeyError):
        sharded["absent"]
    assert sharded.verify()


def test_sharded_stats_and_manifest(pair) -> None:
    single, sharded = pair
    s, m = sharded.stats, sharded.manifest
    assert s["path"] == sharded.path and os.path.isdir(s["path"])
    assert s["num_keys"] == sum(x["num_keys"] for x in sharded.shard_stats()) == m["num_keys"]
    assert s["num_objects"] == m["num_objects"] >= single.stats["num_objects"]  # copies in several shards
    assert [x["num_keys"] for x in sharded.shard_stats()] == [e["num_keys"] for e in m["shards"]]
    assert m["generation"] == 1 and m["shard_count"] == 6
    assert single.manifest is None


def two_generations(tmp_path):
    """A store of 3 shards at generation 2 (generation 1 kept beside it),
    and a copy of its shard 0 outside the store directory."""
    store = tmp_path / "store"
    for gen in (1, 2):
        with TarnWriter(store, shards=3) as w:
            for i in range(60):
                w[f"k{i}"] = {"gen": gen, "i": i}
    outside = tmp_path / "outside"
    outside.mkdir()
    shutil.copy(store / "gen-000002" / "shard-0000.tndb", outside / "shard-0000.tndb")
    return store, outside


def edit_manifest(store, change) -> None:
    m = manifest_of(store)
    change(m)
    (store / "manifest.json").write_text(json.dumps(m))


def set_field(field, value, shard=None):
    def change(m):
        (m if shard is None else m["shards"][shard])[field] = value

    return change


def symlink_shard(store, outside) -> None:
    # A shard replaced by a link to an identical file outside the store.
    os.unlink(store / "gen-000002" / "shard-0000.tndb")
    os.symlink(outside / "shard-0000.tndb", store / "gen-000002" / "shard-0000.tndb")


def symlink_generation(store, outside) -> None:
    # The generation directory replaced by a link to a copy of it outside.
    shutil.copytree(store / "gen-000002", outside / "gen")
    shutil.rmtree(store / "gen-000002")
    os.symlink(outside / "gen", store / "gen-000002")


def older_shard(store, outside) -> None:
    shutil.copy(store / "gen-000001" / "shard-0001.tndb", store / "gen-000002" / "shard-0001.tndb")


FAULTS = {
    "missing shard": (lambda s, o: os.unlink(s / "gen-000002" / "shard-0001.tndb"),
                      "shard gen-000002/shard-0001.tndb named by the manifest is missing"),
    "no manifest": (lambda s, o: os.unlink(s / "manifest.json"), "not a sharded store: manifest.json is missing"),
    "truncated manifest": (lambda s, o: (s / "manifest.json").write_bytes((s / "manifest.json").read_bytes()[:70]),
                           "damaged manifest: not JSON"),
    "manifest not an object": (lambda s, o: (s / "manifest.json").write_text("[1, 2]"), "damaged manifest: not a JSON object"),
    "wrong format": (lambda s, o: edit_manifest(s, set_field("format", "other")), "format is 'other'"),
    "wrong route": (lambda s, o: edit_manifest(s, set_field("route", "crc32")), "route is 'crc32'"),
    "shard count": (lambda s, o: edit_manifest(s, set_field("shard_count", 4)), "shard_count is 4 but 3 shards are listed"),
    "totals": (lambda s, o: edit_manifest(s, set_field("num_keys", 61)), "num_keys is 61, but the shards add up to 60"),
    "negative count": (lambda s, o: edit_manifest(s, set_field("num_objects", -1, 1)), "num_objects must be an integer"),
    "bad crc text": (lambda s, o: edit_manifest(s, set_field("file_crc32", "12", 2)), "file_crc32 must be '0x' and 8 hex"),
    "count differs": (lambda s, o: edit_manifest(s, lambda m: (m["shards"][1].update(num_keys=m["shards"][1]["num_keys"] + 1), m.update(num_keys=61))),
                      "shard 1 (gen-000002/shard-0001.tndb) does not match the manifest: num_keys is"),
    "crc differs": (lambda s, o: edit_manifest(s, set_field("file_crc32", "0x00000000", 0)),
                    "does not match the manifest: file_crc32 is 0x"),
    "shard of another generation": (older_shard, "shard 1 (gen-000002/shard-0001.tndb) does not match the manifest"),
    "name of another generation": (lambda s, o: edit_manifest(s, set_field("file", "gen-000001/shard-0000.tndb", 0)),
                                   "file is 'gen-000001/shard-0000.tndb', not 'gen-000002/shard-0000.tndb'"),
    "absolute name": (lambda s, o: edit_manifest(s, set_field("file", str(o / "shard-0000.tndb"), 0)),
                      "manifest names a file outside the store"),
    "dot-dot name": (lambda s, o: edit_manifest(s, set_field("file", "../outside/shard-0000.tndb", 0)),
                     "manifest names a file outside the store"),
    "symlinked shard": (symlink_shard, "manifest names a file outside the store: 'gen-000002/shard-0000.tndb' leads to"),
    "symlinked generation": (symlink_generation, "manifest names a file outside the store: 'gen-000002/shard-0000.tndb' leads to"),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_a_damaged_store_directory_is_refused(tmp_path, fault: str) -> None:
    store, outside = two_generations(tmp_path)
    damage, message = FAULTS[fault]
    damage(store, outside)
    with pytest.raises(TarnCorruptError) as info:
        TarnReader(store)
    assert message in str(info.value) and str(store) in str(info.value)
    # A rebuild replaces whatever was damaged.
    if fault not in ("symlinked generation",):
        with TarnWriter(store, shards=3) as w:
            w["fresh"] = 1
        assert dict(TarnReader(store)) == {"fresh": 1}


def test_a_later_layout_version_is_a_version_error(tmp_path) -> None:
    store, _ = two_generations(tmp_path)
    edit_manifest(store, set_field("version", 2))
    with pytest.raises(TarnVersionError, match="sharded layout version 2 is not supported"):
        TarnReader(store)


@pytest.mark.parametrize("extra", ["shard-0003.tndb", "stray.txt"])
def test_verify_finds_a_file_the_manifest_does_not_name(tmp_path, extra: str) -> None:
    store, _ = two_generations(tmp_path)
    r = TarnReader(store)
    assert r.verify()
    (store / "gen-000002" / extra).write_bytes(b"x")
    with pytest.raises(TarnCorruptError, match=f"gen-000002 holds a file the manifest does not name: '{extra}'"):
        r.verify()


@pytest.mark.parametrize("check_at_open", [True, False])
def test_verify_finds_a_key_in_the_wrong_shard(tmp_path, check_at_open: bool) -> None:
    # Shards read in place have their routing walked at open only with
    # verify=True; without it the open stays constant-time and lists the
    # stray key, which lookups (asking the shard it routes to) never find,
    # until verify() names it.
    right, wrong = (next(f"x{i}" for i in range(100) if _fast.route(f"x{i}", 2) == s) for s in (0, 1))
    store = tmp_path / "store"
    with TarnWriter(store, shards=2) as w:
        w[right] = 1
    shard0 = store / manifest_of(store)["shards"][0]["file"]
    os.unlink(shard0)
    with TarnWriter(shard0) as w:  # shard 0 rebuilt holding a key of shard 1
        w[right] = 1
        w[wrong] = 2

    def match_shard0(m):
        m["shards"][0].update(num_keys=2, num_objects=2, file_size=os.path.getsize(shard0),
                              file_crc32=TarnReader(shard0).stats["file_crc32"])
        for field in ("num_keys", "num_objects", "file_size"):
            m[field] = sum(s[field] for s in m["shards"])

    edit_manifest(store, match_shard0)
    r = TarnReader(store, verify=check_at_open)
    assert all(s["lookup_index_bytes"] > 0 for s in r.shard_stats())
    assert wrong not in r and r.get(wrong) is None
    assert list(r) == ([right] if check_at_open else sorted([right, wrong]))
    assert r.misplaced_keys() == [1, 0]
    with pytest.raises(TarnCorruptError, match="shard 0 .* holds 1 keys that belong to other shards"):
        r.verify()


def test_an_open_reader_outlives_its_generation(tmp_path) -> None:
    store, _ = two_generations(tmp_path)
    old = TarnReader(store)
    for gen in (3, 4):  # generation 2 is removed by the second rebuild
        with TarnWriter(store, shards=3) as w:
            w["k0"] = {"gen": gen}
    assert not (store / "gen-000002").exists()
    assert old["k5"] == {"gen": 2, "i": 5} and len(old) == 60
    assert old.verify()  # its own files, checked against its own manifest
    assert dict(TarnReader(store)) == {"k0": {"gen": 4}}


def test_an_open_follows_a_publish_that_removed_its_generation(tmp_path) -> None:
    from tarndb.sharded import opening

    store, _ = two_generations(tmp_path)
    calls = []

    def opener(dir_fd, names):
        calls.append(names)
        if len(calls) == 1:  # two publishes between reading the manifest and opening
            for gen in (3, 4):
                with TarnWriter(store, shards=3) as w:
                    w["k0"] = {"gen": gen}
        return TarnReader([os.path.join(store, n) for n in names])

    manifest, reader = opening.open_store(str(store), opener)
    assert manifest.generation == 4 and dict(reader) == {"k0": {"gen": 4}}
    assert len(calls) == 2 and "gen-000002" in calls[0][0] and "gen-000004" in calls[1][0]


# ---------------------------------------------------------------- run files


@pytest.mark.parametrize("block_size", [1, 100, 1 << 20])
def test_run_file_round_trip_and_payload_read_back(tmp_path, block_size: int) -> None:
    from tarndb.sharded.runfile import RunWriter, read_blocks

    path = str(tmp_path / "run")
    payloads = [bytes([i % 256]) * (i % 37) for i in range(300)]
    w = RunWriter(path, block_size)
    refs = [w.add_object(p, [b"k%d" % i] * (i % 3)) for i, p in enumerate(payloads)]
    w.add_key(b"late", 5)
    assert refs == list(range(300))
    assert [w.payload_at(r) for r in refs] == payloads  # from the file and from the pending block
    w.close()
    w = RunWriter(path, block_size, append=True)  # numbering goes on after a reopen
    assert w.add_object(b"more", [b"m"]) == 300 and w.payload_at(7) == payloads[7]
    w.close()
    got, keys = [], []
    for block in read_blocks(path):
        pos = 0
        for n in block.olens:
            got.append(block.payloads[pos : pos + n])
            pos += n
        kpos = 0
        for n, ref in zip(block.klens, block.krefs):
            keys.append((block.keys[kpos : kpos + n], ref))
            kpos += n
    assert got == payloads + [b"more"]
    assert keys == [(b"k%d" % i, i) for i in range(300) for _ in range(i % 3)] + [(b"late", 5), (b"m", 300)]


def test_bulk_blocks_survive_short_writes(tmp_path, monkeypatch) -> None:
    from tarndb.sharded import runfile
    from tarndb.sharded.runfile import RunWriter, read_blocks

    real = os.writev
    calls = []

    def short(fd, buffers):  # writes at most 5 bytes a call
        calls.append(len(buffers))
        data = b"".join(bytes(b) for b in buffers)[:5]
        return real(fd, [data])

    monkeypatch.setattr(runfile.os, "writev", short)
    path = str(tmp_path / "run")
    payloads = [b"p%d" % i * (i % 4) for i in range(40)]
    keys = [b"k%d" % i for i in range(40)]
    w = RunWriter(path)
    w.add_objects(payloads, keys, [1] * 40)
    w.close()
    assert len(calls) > 10  # the short-write path was taken
    (block,) = list(read_blocks(path))
    assert list(block.olens) == [len(p) for p in payloads] and block.payloads == b"".join(payloads)
    assert block.keys == b"".join(keys) and list(block.krefs) == list(range(40))


@pytest.mark.parametrize("cut", [9, 20, 45, -1])
def test_a_truncated_run_file_is_reported(tmp_path, cut: int) -> None:
    from tarndb.sharded.runfile import RunWriter, read_blocks

    path = tmp_path / "run"
    w = RunWriter(str(path))
    w.add_object(b"payload", [b"key"])
    w.close()
    data = path.read_bytes()
    path.write_bytes(data[:cut])
    with pytest.raises(TarnCorruptError, match="damaged run file at offset 8: truncated"):
        list(read_blocks(str(path)))


def test_a_build_stopped_by_ctrl_c_can_be_run_again(tmp_path, monkeypatch) -> None:
    import tarndb.sharded.writer as sharded

    real = sharded.build_shards
    calls = []

    def interrupted(jobs, workers):
        calls.append(1)
        if len(calls) == 1:
            real(jobs, workers)  # shards written, then stopped before publishing
            raise KeyboardInterrupt
        return real(jobs, workers)

    monkeypatch.setattr(sharded, "build_shards", interrupted)
    store = tmp_path / "store"
    w = TarnWriter(store, shards=3)
    stage(w, 100)
    with pytest.raises(KeyboardInterrupt):
        w.build()
    assert not (store / "manifest.json").exists() and not (store / "gen-000001").exists()
    w.alias("after-interrupt", 0)  # staging goes on in the same run files
    w.build()
    content = shard_contents(store)
    assert content["after-interrupt"] == content["one-0"] and len(calls) == 2
    assert manifest_of(store)["generation"] == 2


# ---------------------------------------------------------------- command line


def cli(*args) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "tarndb", *map(str, args)], capture_output=True, text=True, env=child_env(), timeout=120
    )


@pytest.fixture
def people(tmp_path):
    path = tmp_path / "people.jsonl"
    path.write_text("".join(json.dumps({"id": i, "name": f"p{i}", "alias": f"a{i}"}) + "\n" for i in range(500)))
    return path


@pytest.mark.parametrize("workers", [1, 2])
def test_cli_sharded_build_and_reading_commands(tmp_path, people, workers: int) -> None:
    store, single = tmp_path / "store", tmp_path / "single.tndb"
    assert cli("build", single, people, "--key", "id", "--key", "alias").returncode == 0
    proc = cli("build", store, people, "--key", "id", "--key", "alias", "--shards", 4, "--workers", workers)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.startswith(f"\u2705  {store}  \u2014  ") and "1,000 keys" in proc.stdout
    assert TarnReader(store) == TarnReader(single)
    assert cli("keys", store).stdout == cli("keys", single).stdout
    assert cli("dump", store, "--prefix", "a4").stdout == cli("dump", single, "--prefix", "a4").stdout
    assert cli("get", store, "a7", "--compact").stdout == '{"id": 7, "name": "p7", "alias": "a7"}\n'
    # An object is stored once in each shard that one of its keys routes to.
    objects = sum(len({route_py(str(i).encode(), 4), route_py(f"a{i}".encode(), 4)}) for i in range(500))
    assert cli("verify", store).stdout == f"{store}: ok (1,000 keys, {objects:,} objects, 4 shards, generation 1)\n"
    info = json.loads(cli("info", store, "--json").stdout)
    assert (info["generation"], info["shard_count"], info["num_keys"]) == (1, 4, 1000)
    assert "gen-000001/shard-0003.tndb" in cli("info", store).stdout


@pytest.mark.parametrize(
    ("args", "code", "message"),
    [
        (["--workers", "2"], 2, "--workers and --dask-scheduler need --shards"),
        (["--shards", "0"], 2, "--shards must be from 1 to 1000"),
        (["--shards", "2", "--workers", "0"], 2, "--workers must be at least 1"),
    ],
)
def test_cli_sharded_usage_errors(tmp_path, people, args, code: int, message: str) -> None:
    proc = cli("build", tmp_path / "store", people, "--key", "id", *args)
    assert proc.returncode == code and message in proc.stderr
    assert not (tmp_path / "store").exists()


def test_cli_sharded_build_refuses_repeated_keys_and_files(tmp_path, people) -> None:
    store = tmp_path / "store"
    assert cli("build", store, people, "--key", "id", "--shards", 3).returncode == 0
    twice = tmp_path / "twice.jsonl"
    twice.write_text('{"id": "x", "v": 1}\n{"id": "y"}\n{"id": "x", "v": 2}\n')
    proc = cli("build", store, twice, "--key", "id", "--shards", 3)
    assert proc.returncode == 1 and proc.stderr == f"tarndb: {store}: duplicate key 'x' in the input\n"
    assert len(TarnReader(store)) == 500  # the published generation is untouched
    proc = cli("build", twice, people, "--key", "id", "--shards", 3)
    assert proc.returncode == 1 and proc.stderr == f"tarndb: {twice}: is a file; a sharded store is a directory\n"
