"""Builds that the file system refuses: a full disk (out of blocks and out of
inodes), a read-only directory, a directory that is a file, and a target
that is a directory.

Each failing build must raise OSError with a "TarnIOError: " message naming
the system error, keep the target's previous content intact, and change
nothing else in the directory except the temporary file beside the target,
which a failed build leaves behind by design (the next build truncates and
reuses it).

The full-disk and read-only cases mount a small tmpfs of their own, which
needs root; elsewhere they are skipped with the reason.
"""

from __future__ import annotations

import errno
import hashlib
import os
import subprocess
from pathlib import Path

import pytest

from conftest import make_writer, native, os_error_text


def mount_tmpfs(where: Path, options: str) -> None:
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root (chmod cannot make root's directory unwritable)")
    where.mkdir()
    proc = subprocess.run(["mount", "-t", "tmpfs", "-o", options, "tmpfs", str(where)], capture_output=True, text=True)
    if proc.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {proc.stderr.strip()}")


@pytest.fixture
def small_fs(tmp_path):
    """small_fs(options) mounts a tmpfs with those options at tmp_path/'fs'
    and returns its path; it is unmounted at the end of the test."""
    mounted: list[Path] = []

    def mount(options: str) -> Path:
        where = tmp_path / f"fs{len(mounted)}"
        mount_tmpfs(where, options)
        mounted.append(where)
        return where

    yield mount
    for where in mounted:
        if subprocess.run(["umount", str(where)], capture_output=True).returncode != 0:
            subprocess.run(["umount", "-l", str(where)], capture_output=True)


def snapshot(directory: Path) -> dict[str, tuple[int, str]]:
    """name -> (mode, SHA-256 of the content) for every file in `directory`."""
    out = {}
    for p in sorted(directory.iterdir()):
        st = p.lstat()
        digest = hashlib.sha256(p.read_bytes()).hexdigest() if p.is_file() else "dir"
        out[p.name] = (st.st_mode, digest)
    return out


def old_store(directory: Path, name: str = "store.tndb") -> Path:
    target = directory / name
    make_writer([b"old content"], {"marker": 0, "other": 0}).build(str(target))
    return target


def assert_old(target: Path) -> None:
    r = native()._TarnReader(str(target), verify=True)
    assert r.verify() is True
    assert r.keys() == ["marker", "other"]
    assert r.get_raw("marker") == b"old content"


def assert_only_temp_changed(before: dict, after: dict, temp: str) -> None:
    after = dict(after)
    after.pop(temp, None)
    before = dict(before)
    before.pop(temp, None)
    assert after == before


def big_payloads(count: int, size: int):
    return make_writer([bytes([i % 256]) * size for i in range(count)], {"marker": 0})


def many_keys(count: int):
    # A small data section and a large index, so that the space runs out
    # while the index is written.
    return make_writer([b"v"], {f"key-{i:08d}-{'x' * 24}": 0 for i in range(count)})


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: big_payloads(1, 2 << 20), id="one-large-payload"),
        pytest.param(lambda: big_payloads(40, 64 << 10), id="many-payloads"),
        pytest.param(lambda: many_keys(60_000), id="large-index"),
    ],
)
def test_disk_full_keeps_the_old_store(small_fs, capfd, make):
    fs = small_fs("size=1m")
    target = old_store(fs)
    (fs / "neighbour.txt").write_bytes(b"unrelated")
    before = snapshot(fs)
    w = make()

    with pytest.raises(OSError) as exc:
        w.build(str(target))
    assert str(exc.value) == "TarnIOError: " + os_error_text(errno.ENOSPC)
    assert capfd.readouterr().out.count("\u2705") == 1  # only the old store's build printed

    assert_old(target)
    assert_only_temp_changed(before, snapshot(fs), "store.tndb.tmp")

    # The left-over temporary file is truncated and reused: a build that fits
    # succeeds in the space it took.
    make_writer([b"new content"], {"marker": 0}).build(str(target))
    assert native()._TarnReader(str(target)).get_raw("marker") == b"new content"
    assert not (fs / "store.tndb.tmp").exists()


def test_no_inode_left_for_the_temporary_file(small_fs):
    fs = small_fs("size=1m,nr_inodes=3")  # the root, the target and one more file
    target = old_store(fs)
    (fs / "neighbour.txt").write_bytes(b"unrelated")
    before = snapshot(fs)

    with pytest.raises(OSError) as exc:
        make_writer([b"new"], {"marker": 0}).build(str(target))
    assert str(exc.value) == "TarnIOError: open tmp: " + os_error_text(errno.ENOSPC)
    assert_old(target)
    assert snapshot(fs) == before


def test_read_only_directory(small_fs):
    fs = small_fs("size=1m")
    target = old_store(fs)
    before = snapshot(fs)
    # Root ignores permission bits, so the file system itself is made read-only.
    subprocess.run(["mount", "-o", "remount,ro", str(fs)], check=True)

    with pytest.raises(OSError) as exc:
        make_writer([b"new"], {"marker": 0}).build(str(target))
    assert str(exc.value) == "TarnIOError: open tmp: " + os_error_text(errno.EROFS)
    assert_old(target)
    assert snapshot(fs) == before


@pytest.mark.skipif(os.geteuid() == 0, reason="root ignores permission bits; test_read_only_directory covers it")
def test_unwritable_directory(tmp_path):
    d = tmp_path / "locked"
    d.mkdir()
    target = old_store(d)
    before = snapshot(d)
    d.chmod(0o555)
    try:
        with pytest.raises(OSError) as exc:
            make_writer([b"new"], {"marker": 0}).build(str(target))
    finally:
        d.chmod(0o755)
    assert str(exc.value) == "TarnIOError: open tmp: " + os_error_text(errno.EACCES)
    assert_old(target)
    assert snapshot(d) == before


def test_directory_is_a_file(tmp_path):
    (tmp_path / "plain").write_bytes(b"just a file")
    before = snapshot(tmp_path)
    with pytest.raises(OSError) as exc:
        make_writer([b"new"], {"marker": 0}).build(str(tmp_path / "plain" / "store.tndb"))
    assert str(exc.value) == "TarnIOError: open tmp: " + os_error_text(errno.ENOTDIR)
    assert snapshot(tmp_path) == before


def test_target_is_a_directory(tmp_path, capfd):
    """The rename fails; the complete temporary file stays behind."""
    (tmp_path / "store.tndb").mkdir()
    (tmp_path / "store.tndb" / "inside").write_bytes(b"kept")
    with pytest.raises(OSError) as exc:
        make_writer([b"new"], {"marker": 0}).build(str(tmp_path / "store.tndb"))
    assert str(exc.value) == "TarnIOError: rename: " + os_error_text(errno.EISDIR)
    assert capfd.readouterr().out == ""
    assert (tmp_path / "store.tndb" / "inside").read_bytes() == b"kept"
    left = native()._TarnReader(str(tmp_path / "store.tndb.tmp"), verify=True)
    assert left.verify() and left.get_raw("marker") == b"new"
    assert sorted(p.name for p in tmp_path.iterdir()) == ["store.tndb", "store.tndb.tmp"]


def test_target_directory_missing(tmp_path):
    with pytest.raises(OSError) as exc:
        make_writer([b"new"], {"marker": 0}).build(str(tmp_path / "absent" / "store.tndb"))
    assert str(exc.value) == "TarnIOError: open tmp: " + os_error_text(errno.ENOENT)
    assert list(tmp_path.iterdir()) == []

