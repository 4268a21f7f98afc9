"""Sharded stores under attack: what another user can plant in or around a
store, races with publishing builders, a full disk, forks, and damaged or
odd files in the store directory.  Each test names the fault it pins down.

Cases that need a second user run as root: a forked child drops to uid/gid
65534 (nobody), as in test_build_safety.  Opens that could hang run in
child interpreters with a timeout.
"""

from __future__ import annotations

import errno
import json
import os
import re
import shutil
import signal
import stat
import sys

import pytest

import tarndb
from conftest import run_python, spawn_python
from tarndb import TarnCorruptError, TarnError, TarnIOError, TarnReader, TarnWriter, _fast
from test_build_safety import NOBODY, ROOT_ONLY, as_user, bind_socket, shared_dir  # noqa: F401 (a fixture)
from test_io_faults import small_fs  # noqa: F401 (a fixture)
from test_shards import manifest_of, shard_contents


def small_store(store, shards: int = 3, n: int = 60, tag: object = 1) -> dict[str, object]:
    content = {f"k{i}": {"tag": tag, "i": i} for i in range(n)}
    with TarnWriter(store, shards=shards) as w:
        for key, value in content.items():
            w[key] = value
    return content


def precious(directory) -> str:
    victim = os.path.join(directory, "victim")
    with open(victim, "wb") as f:
        f.write(b"precious")
    return victim


# ---------------------------------------------------------------- fault 1: files beside a target


@ROOT_ONLY
@pytest.mark.parametrize("directory", ["sticky 1777", "nobody's 0777"])
@pytest.mark.parametrize("name", ["manifest.json.tmp", "manifest.tndb.tmp"])
def test_a_planted_manifest_temporary_link_is_never_followed(shared_dir, directory: str, name: str) -> None:
    # Planted before the build starts: the builder clears it as a leftover
    # (removing the link, not its target) and writes its own private file.
    store = os.path.join(shared_dir, "store")
    victim = precious(shared_dir)

    def plant() -> None:
        os.mkdir(store)
        os.chmod(store, 0o1777 if directory.startswith("sticky") else 0o777)
        os.symlink(victim, os.path.join(store, name))

    as_user(NOBODY, plant)
    content = small_store(store)
    assert open(victim, "rb").read() == b"precious"
    assert dict(TarnReader(store)) == content and not os.path.lexists(os.path.join(store, name))


@ROOT_ONLY
@pytest.mark.parametrize("directory", ["sticky 1777", "nobody's 0777"])
@pytest.mark.parametrize(("plant", "reason"), [("symlink", "is a symbolic link"), ("file", f"owned by uid {NOBODY}")])
def test_a_manifest_temporary_planted_during_a_build_is_refused(shared_dir, directory: str, plant: str, reason: str) -> None:
    # Planted once the builder has cleared its leftovers, under the old
    # temporary name and the atomic file's: the first is never opened, the
    # second is refused by the atomic file's own checks, with a reason.
    store = os.path.join(shared_dir, "store")
    victim = precious(shared_dir)

    def make_store() -> None:
        os.mkdir(store)
        os.chmod(store, 0o1777 if directory.startswith("sticky") else 0o777)

    as_user(NOBODY, make_store)
    w = TarnWriter(store, shards=2)
    w["k"] = 1

    def make() -> None:
        for name in ("manifest.json.tmp", "manifest.tndb.tmp"):
            tmp = os.path.join(store, name)
            if plant == "symlink":
                os.symlink(victim, tmp)
            else:
                open(tmp, "wb").close()

    as_user(NOBODY, make)
    with pytest.raises(TarnIOError, match=reason) as info:
        w.build()
    assert "manifest.tndb.tmp" in str(info.value)
    w.close()
    assert open(victim, "rb").read() == b"precious" and not os.path.exists(os.path.join(store, "manifest.json"))


@ROOT_ONLY
@pytest.mark.parametrize(("plant", "reason"), [("symlink", "is a symbolic link"), ("file", f"owned by uid {NOBODY}")])
def test_a_planted_lock_file_is_refused(shared_dir, plant: str, reason: str) -> None:
    store = os.path.join(shared_dir, "store")
    victim = precious(shared_dir)

    def make() -> None:
        os.mkdir(store)
        os.chmod(store, 0o777)
        lock = os.path.join(store, "lock")
        if plant == "symlink":
            os.symlink(victim, lock)
        else:
            open(lock, "wb").close()

    as_user(NOBODY, make)
    with pytest.raises(TarnIOError, match=reason) as info:
        TarnWriter(store, shards=2)
    assert store in str(info.value)
    assert open(victim, "rb").read() == b"precious"


PRIVATE_PLANTS = {
    "symlink": (lambda path, victim: os.symlink(victim, path), "is a symbolic link"),
    "hard link": (lambda path, victim: os.link(victim, path), "has 2 links"),
    "fifo": (lambda path, victim: os.mkfifo(path), "not a regular file (a FIFO)"),
    "socket": (lambda path, victim: bind_socket(path), "not a regular file (a socket)"),
}


@pytest.mark.parametrize("plant", list(PRIVATE_PLANTS))
def test_run_files_and_private_opens_refuse_what_is_planted(tmp_path, plant: str) -> None:
    from tarndb.sharded.runfile import RunWriter

    make, reason = PRIVATE_PLANTS[plant]
    victim = precious(tmp_path)
    path = str(tmp_path / "run-0000")
    make(path, victim)
    with pytest.raises(TarnIOError, match=re.escape(reason)):
        RunWriter(path)
    with pytest.raises(TarnIOError, match=re.escape(reason)):
        _fast.open_private("run-0000", os.O_RDWR | os.O_CREAT | os.O_TRUNC, os.open(tmp_path, os.O_RDONLY))
    assert open(victim, "rb").read() == b"precious"


def test_private_opens_create_private_files(tmp_path) -> None:
    fd = _fast.open_private(str(tmp_path / "new"), os.O_RDWR | os.O_CREAT)
    try:
        st = os.fstat(fd)
        assert stat.S_IMODE(st.st_mode) == 0o600 and not os.get_inheritable(fd) and os.get_blocking(fd)
    finally:
        os.close(fd)
    store = tmp_path / "store"
    small_store(store)
    assert stat.S_IMODE(os.stat(store / "lock").st_mode) == 0o600


# ---------------------------------------------------------------- fault 2: worker processes


EVIL = "import os\nopen(os.path.join({where!r}, 'ran'), 'w').write('evil tarndb imported')\n"

FROM_EVIL_DIRECTORY = """
import os, sys
import tarndb
os.chdir(sys.argv[1])
with tarndb.TarnWriter(sys.argv[2], shards=3, workers=2) as w:
    for i in range(50):
        w[f"k{i}"] = i
print(len(tarndb.TarnReader(sys.argv[2])))
"""


def test_workers_do_not_import_from_the_working_directory(tmp_path) -> None:
    evil = tmp_path / "evil"
    for package in ("tarndb", "tarndb/sharded", "tarndb/_shard_run"):
        (evil / package).mkdir(parents=True)
    for module in ("tarndb/__init__.py", "tarndb/sharded/__init__.py", "tarndb/_shard_run/__init__.py"):
        (evil / module).write_text(EVIL.format(where=str(tmp_path)))
    proc = run_python(FROM_EVIL_DIRECTORY, evil, tmp_path / "store")
    assert proc.stdout.decode().strip() == "50"
    assert not (tmp_path / "ran").exists()


MARK = "\nimport os as _o\nif _o.environ.get('TARN_MARK'):\n    open(_o.environ['TARN_MARK'], 'a').write(__file__ + '\\n')\n"


def test_workers_run_the_package_of_their_parent_from_a_source_tree(tmp_path) -> None:
    # A copy of the package outside site-packages, imported from its own
    # directory (as from a checkout): its workers import that copy.
    checkout = tmp_path / "checkout"
    shutil.copytree(os.path.dirname(tarndb.__file__), checkout / "tarndb", ignore=shutil.ignore_patterns("__pycache__"))
    with open(checkout / "tarndb" / "sharded" / "worker.py", "a") as f:
        f.write(MARK)
    mark = tmp_path / "mark"
    proc = run_python(FROM_CHECKOUT, checkout, tmp_path / "store", cwd=checkout, env={"TARN_MARK": str(mark)})
    assert proc.stdout.decode().strip() == "50"
    used = mark.read_text().split()
    assert len(used) == 3 and all(p.startswith(str(checkout)) for p in used)


FROM_CHECKOUT = """
import sys, tarndb
assert tarndb.__file__.startswith(sys.argv[1]), tarndb.__file__
with tarndb.TarnWriter(sys.argv[2], shards=3, workers=2) as w:
    for i in range(50):
        w[f"k{i}"] = i
print(len(tarndb.TarnReader(sys.argv[2])))
"""


# ---------------------------------------------------------------- fault 3: shards opened in the store


def swap_generation_for_link(store, outside) -> None:
    gen = store / "gen-000002"
    shutil.copytree(gen, outside / "gen")
    os.rename(gen, outside / "old-gen")
    os.symlink(outside / "gen", gen)


def test_a_generation_swapped_for_a_link_after_the_check_is_not_served(tmp_path, monkeypatch) -> None:
    from tarndb.sharded import manifest as mf

    store, outside = tmp_path / "store", tmp_path / "outside"
    outside.mkdir()
    small_store(store, tag=1)
    small_store(store, tag=2)
    real = mf.resolve_shard
    swapped = []

    def check_then_swap(root, name):
        found = real(root, name)
        if name.endswith("shard-0002.tndb"):  # between the last check and the open
            swapped.append(name)
            swap_generation_for_link(store, outside)
        return found

    monkeypatch.setattr(mf, "resolve_shard", check_then_swap)
    with pytest.raises(TarnIOError, match="gen-000002/shard-0000.tndb: is a symbolic link") as info:
        TarnReader(store)
    assert str(store) in str(info.value) and swapped


def test_a_shard_replaced_after_the_check_is_compared_as_mapped(tmp_path, monkeypatch) -> None:
    from tarndb.sharded import manifest as mf

    store = tmp_path / "store"
    small_store(store, tag=1)
    small_store(store, tag=2)
    real = mf.resolve_shard

    def check_then_replace(root, name):
        found = real(root, name)
        if name.endswith("shard-0001.tndb"):  # an older shard put in its place
            shutil.copy(store / "gen-000001" / "shard-0001.tndb", store / name)
        return found

    monkeypatch.setattr(mf, "resolve_shard", check_then_replace)
    with pytest.raises(TarnCorruptError, match=r"shard 1 \(gen-000002/shard-0001.tndb\) does not match the manifest"):
        TarnReader(store)


def test_the_native_reader_opens_names_under_a_directory_without_links(tmp_path) -> None:
    store = tmp_path / "store"
    small_store(store)
    names = [s["file"] for s in manifest_of(store)["shards"]]
    fd = os.open(store, os.O_RDONLY | os.O_DIRECTORY)
    try:
        assert len(_fast.Reader(names, dir_fd=fd)) == 60
        os.symlink(store / names[1], store / "gen-000001" / "alias.tndb")
        with pytest.raises(TarnIOError, match="cannot open gen-000001/alias.tndb: is a symbolic link"):
            _fast.Reader([names[0], "gen-000001/alias.tndb"], dir_fd=fd)
        os.symlink(store / "gen-000001", store / "gen-000009")
        with pytest.raises(TarnIOError, match="is a symbolic link"):
            _fast.Reader(["gen-000009/shard-0000.tndb"], dir_fd=fd)
        with pytest.raises(TarnIOError) as info:
            _fast.Reader(["gen-000001/none.tndb"], dir_fd=fd)
        assert info.value.errno == errno.ENOENT
        for outside in (f"../store/{names[0]}", f"gen-000001/../../store/{names[0]}", str(store / names[0])):
            with pytest.raises(TarnIOError, match="not a name inside the directory"):
                _fast.Reader([outside], dir_fd=fd)
        assert _fast.Reader(names, dir_fd=fd, root=str(store)).shard_stats()[0]["path"] == str(store / names[0])
    finally:
        os.close(fd)


# ---------------------------------------------------------------- fault 7: verify while builders publish


def test_verify_follows_publishes_that_remove_its_generation(tmp_path, monkeypatch) -> None:
    from tarndb.sharded import manifest as mf

    store = tmp_path / "store"
    small_store(store, tag=1)
    r = TarnReader(store)
    real = mf.check_shard
    published = []

    def publish_twice_then_check(*args):
        if not published:  # two publishes while verify() looks at the directory
            published.append(1)
            for tag in (2, 3):
                small_store(store, tag=tag)
        return real(*args)

    monkeypatch.setattr(mf, "check_shard", publish_twice_then_check)
    assert r.verify() is True and published
    assert not (store / "gen-000001").exists()  # its generation is gone; its files stay open
    assert r["k5"] == {"tag": 1, "i": 5}


PUBLISHER = """
import sys, tarndb
for round in range(int(sys.argv[2])):
    with tarndb.TarnWriter(sys.argv[1], shards=3) as w:
        for i in range(30):
            w[f"k{i}"] = round
"""


def test_verify_never_fails_on_a_healthy_store_while_builders_publish(tmp_path) -> None:
    store = tmp_path / "store"
    small_store(store, n=30)
    proc = spawn_python(PUBLISHER, store, 40)
    checks = 0
    try:
        while proc.poll() is None:
            with TarnReader(store) as r:
                assert r.verify() is True
            checks += 1
    finally:
        proc.wait(60)
    assert proc.returncode == 0 and checks > 0


# ---------------------------------------------------------------- fault 8: a full disk while spilling


def fill(fs, leave: int) -> None:
    """Fills the file system at *fs* up to *leave* bytes free."""
    free = os.statvfs(fs).f_bavail * os.statvfs(fs).f_frsize
    with open(os.path.join(fs, "filler"), "wb") as f:
        f.write(b"\0" * max(0, free - leave))


def test_a_full_disk_while_staging_loses_nothing_and_frees_the_store(small_fs) -> None:
    fs = small_fs("size=16m")
    store = os.path.join(fs, "store")
    w = TarnWriter(store, shards=2)
    fill(fs, 2 << 20)
    staged = {}
    with pytest.raises(TarnIOError) as info:
        for i in range(100000):
            value = os.urandom(3000).hex()
            w[f"k{i:06d}"] = value
            staged[f"k{i:06d}"] = value
    assert info.value.errno == errno.ENOSPC and store in str(info.value)
    with pytest.raises(TarnIOError):  # the disk is still full: the same failure, nothing lost
        w.build()
    os.unlink(os.path.join(fs, "filler"))
    w.build()
    assert shard_contents(store) == staged
    assert TarnReader(store).verify()
    assert sorted(os.listdir(store)) == ["gen-000001", "lock", "manifest.json"]


def test_close_after_a_full_disk_frees_the_spill_and_the_lock(small_fs) -> None:
    fs = small_fs("size=4m")
    store = os.path.join(fs, "store")
    w = TarnWriter(store, shards=2)
    fill(fs, 1 << 20)
    with pytest.raises(TarnIOError):
        for i in range(100000):
            w[f"k{i}"] = os.urandom(3000)
    w.close()
    assert sorted(os.listdir(store)) == ["lock"]
    os.unlink(os.path.join(fs, "filler"))
    small_store(store)  # the lock is free


def test_a_shard_build_that_finds_the_disk_full_names_the_shard(small_fs) -> None:
    fs = small_fs("size=4m")
    store = os.path.join(fs, "store")
    w = TarnWriter(store, shards=1)
    for i in range(200):
        w[f"k{i}"] = os.urandom(2000)
    fill(fs, 600 << 10)  # room for the run file (about 400 KiB), not for the shard as well
    with pytest.raises(TarnIOError) as info:
        w.build()
    assert info.value.errno == errno.ENOSPC and "shard-0000.tndb" in str(info.value)
    os.unlink(os.path.join(fs, "filler"))
    assert w.build().keys == 200


# ---------------------------------------------------------------- fault 9: alias after blocks of keys alone


def test_alias_into_another_shard_after_blocks_of_keys_alone(tmp_path) -> None:
    keys = (f"key-{i:08d}" for i in range(10**7))
    home = [k for k in (next(keys) for _ in range(400)) if _fast.route(k, 2) == 0]
    other = next(k for k in keys if _fast.route(k, 2) == 1)
    w = TarnWriter(tmp_path / "store", shards=2)
    first = w.add("first", home[0])
    for i in range(250000):  # more than two 1 MiB blocks of keys, all in shard 0
        w.alias(f"{home[0]}-{i:07d}" if _fast.route(f"{home[0]}-{i:07d}", 2) == 0 else home[0], first)
    later = w.add("later", home[1])
    for i in range(120000):
        w.alias(home[2], later)
    w.alias(other, later)  # copies the payload from shard 0's run
    w.build()
    with TarnReader(tmp_path / "store") as r:
        assert r[other] == r[home[1]] == "later" and r[home[0]] == "first"


# ---------------------------------------------------------------- fault 10: FIFOs in a store


def fifo_manifest(store) -> None:
    os.unlink(store / "manifest.json")
    os.mkfifo(store / "manifest.json")


def fifo_shard(store) -> None:
    shard = store / manifest_of(store)["shards"][1]["file"]
    os.unlink(shard)
    os.mkfifo(shard)


OPENERS = {
    "TarnReader": "import sys, tarndb\ntry:\n    tarndb.TarnReader(sys.argv[1])\nexcept tarndb.TarnError as e:\n    print(type(e).__name__, e)",
    "tarndb verify": "import sys\nfrom tarndb.cli.main import main\nsys.exit(main(['verify', sys.argv[1]]))",
    "tarndb info": "import sys\nfrom tarndb.cli.main import main\nsys.exit(main(['info', sys.argv[1]]))",
}


@pytest.mark.parametrize("opener", list(OPENERS))
@pytest.mark.parametrize("plant", [fifo_manifest, fifo_shard], ids=["manifest", "shard"])
def test_a_fifo_in_a_store_is_refused_not_waited_on(tmp_path, plant, opener: str) -> None:
    store = tmp_path / "store"
    small_store(store)
    plant(store)
    proc = run_python(OPENERS[opener], store, check=False, timeout=20)
    text = (proc.stdout + proc.stderr).decode()
    assert "not a regular file (a FIFO)" in text or "not a regular file" in text, text
    assert proc.returncode == (0 if opener == "TarnReader" else 1)


# ---------------------------------------------------------------- fault 13: damaged manifests


@pytest.mark.parametrize(
    "text",
    ["[" * 100000 + "]" * 100000, '{"format": "tarndb-sharded", "version": 1, "generation": ' + "7" * 5000 + "}"],
    ids=["deep nesting", "5000-digit integer"],
)
def test_a_damaged_manifest_is_a_corrupt_store_and_can_be_rebuilt(tmp_path, text: str) -> None:
    store = tmp_path / "store"
    small_store(store)
    (store / "manifest.json").write_text(text)
    with pytest.raises(TarnCorruptError, match="damaged manifest: not JSON"):
        TarnReader(store)
    content = small_store(store, tag="again")  # the documented rebuild
    assert shard_contents(store) == content


# ---------------------------------------------------------------- fault 15: generation numbers


KILLED_IN_BUILD = """
import os, signal, sys
import tarndb
import tarndb.sharded.writer as sharded
def killed(jobs, workers):
    os.kill(os.getpid(), signal.SIGKILL)
sharded.build_shards = killed
w = tarndb.TarnWriter(sys.argv[1], shards=2)
w["k"] = "killed"
w.build()
"""


def test_generation_numbers_are_never_reused(tmp_path) -> None:
    store = tmp_path / "store"
    small_store(store, tag=1)
    assert run_python(KILLED_IN_BUILD, store, check=False).returncode == -signal.SIGKILL
    assert (store / "gen-000002").is_dir()  # the killed build's number
    TarnWriter(store, shards=2).close()  # an abandoned build clears its leftovers
    assert not (store / "gen-000002").exists()
    small_store(store, tag=3)
    assert manifest_of(store)["generation"] == 3


# ---------------------------------------------------------------- fault 16: fork


def test_a_forked_child_keeps_neither_the_lock_nor_the_spill(tmp_path) -> None:
    store = tmp_path / "store"
    w = TarnWriter(store, shards=2)
    w["before"] = 1
    ready_r, ready_w = os.pipe()
    stop_r, stop_w = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(ready_r)
            os.close(stop_w)
            try:
                w["child"] = 2
            except TarnError as exc:
                code = 0 if "forked" in str(exc) else 3
            w.close()  # the child's copy: must leave the parent's spill alone
            os.write(ready_w, b"x")
            os.read(stop_r, 1)  # alive, with the parent's descriptors, until told
        finally:
            os._exit(code)
    os.close(ready_w)
    os.close(stop_r)
    try:
        assert os.read(ready_r, 1) == b"x"
        w["after"] = 3
        w.build()
        small_store(store, tag="next")  # the lock is free while the child lives
    finally:
        os.close(stop_w)
        os.close(ready_r)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


# ---------------------------------------------------------------- smaller faults


@ROOT_ONLY
@pytest.mark.parametrize("what", ["manifest", "shard"])
def test_a_file_that_cannot_be_read_is_an_io_error_with_errno(shared_dir, what: str) -> None:
    store = os.path.join(shared_dir, "store")
    small_store(store)
    for directory, _, files in os.walk(store):
        os.chmod(directory, 0o755)
        for name in files:
            os.chmod(os.path.join(directory, name), 0o644)
    name = "manifest.json" if what == "manifest" else manifest_of(store)["shards"][0]["file"]
    os.chmod(os.path.join(store, name), 0o600)

    def read() -> None:
        with pytest.raises(TarnIOError) as info:
            TarnReader(store)
        assert info.value.errno == errno.EACCES and store in str(info.value)

    as_user(NOBODY, read)


def test_stats_of_a_sharded_store_are_totals(tmp_path) -> None:
    store = tmp_path / "store"
    small_store(store, shards=4)
    with TarnReader(store) as r:
        stats, shards = r.stats, r.shard_stats()
    assert stats["num_keys"] == sum(int(s["num_keys"]) for s in shards) == 60
    assert stats["file_size_kb"] == sum(float(s["file_size_kb"]) for s in shards)
    assert not {"index_offset", "data_offset", "file_crc32"} & set(stats)
    assert all({"index_offset", "file_crc32"} <= set(s) for s in shards)
