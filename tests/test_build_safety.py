"""What a build does with a temporary path that someone else prepared, and
opening things that are not files: refused with a reason, never followed,
never waited on.

Cases planted by a second user run as root: a forked child drops to uid/gid
65534 (nobody) and plants into a 1777 directory, then the build runs as root.
Builds and opens run in child interpreters with a timeout, so that a hang
fails the test instead of stalling the run.
"""

from __future__ import annotations

import contextlib
import os
import shutil
import socket
import stat
import sys
import tempfile
import traceback

import pytest

from conftest import expected_tndb, read_file, run_python

NOBODY = 65534
ROOT_ONLY = pytest.mark.skipif(os.geteuid() != 0, reason="needs root to act as a second user")

BUILD = """
import sys
from conftest import make_writer
try:
    make_writer([b"new"], [("k", 0)]).build(sys.argv[1])
except OSError as e:
    print(e, file=sys.stderr)
    sys.exit(3)
"""


def build_error(target) -> str:
    """Builds one store to `target` in a child; the error text of a refused build."""
    proc = run_python(BUILD, target, check=False, timeout=30)
    assert proc.returncode == 3, proc.stderr.decode()
    return proc.stderr.decode().strip()


def as_user(uid: int, action) -> None:
    """Runs `action()` in a forked child with uid and gid `uid`."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgroups([])
            os.setgid(uid)
            os.setuid(uid)
            action()
            code = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0, "the planting child failed"


@pytest.fixture
def shared_dir():
    """A world-writable sticky directory, as /tmp is, reachable by every user."""
    d = tempfile.mkdtemp(prefix="tarn-shared-", dir="/tmp")
    os.chmod(d, 0o1777)
    try:
        yield d
    finally:
        shutil.rmtree(d)


def bind_socket(path: str) -> None:
    s = socket.socket(socket.AF_UNIX)
    s.bind(path)
    s.close()


def write_own(path: str) -> None:
    with open(path, "wb") as f:
        f.write(b"theirs")


# What is planted at the temporary path, and the reason the build must give.
PLANTS = {
    "symlink": (lambda tmp, victim: os.symlink(victim, tmp), "is a symbolic link"),
    "dangling_symlink": (lambda tmp, victim: os.symlink(victim + ".new", tmp), "is a symbolic link"),
    "hard_link": (lambda tmp, victim: os.link(victim, tmp), "has 2 links"),
    "fifo": (lambda tmp, victim: os.mkfifo(tmp), "not a regular file (a FIFO)"),
    "socket": (lambda tmp, victim: bind_socket(tmp), "not a regular file (a socket)"),
    "file_of_other_user": (lambda tmp, victim: write_own(tmp),
                           f"owned by uid {NOBODY} and not by this user (uid 0)"),
}


@pytest.mark.parametrize("planter", ["this user", pytest.param("nobody", marks=ROOT_ONLY)])
@pytest.mark.parametrize("plant", list(PLANTS))
def test_planted_temporary_path_is_refused(shared_dir, planter, plant):
    if plant == "file_of_other_user" and planter == "this user":
        pytest.skip("a file of another user needs another user")
    make, reason = PLANTS[plant]
    victim = os.path.join(shared_dir, "victim")
    with open(victim, "wb") as f:
        f.write(b"precious")
    os.chmod(victim, 0o666)  # a hard link to another's file needs access to it
    tmp = os.path.join(shared_dir, "store.tndb.tmp")
    if planter == "nobody":
        as_user(NOBODY, lambda: make(tmp, victim))
    else:
        make(tmp, victim)
    before = os.lstat(tmp)

    target = os.path.join(shared_dir, "store.tndb")
    assert build_error(target) == f"TarnIOError: open tmp: {tmp}: {reason}"

    assert read_file(victim) == b"precious"
    assert not os.path.lexists(target) and not os.path.lexists(victim + ".new")
    after = os.lstat(tmp)
    assert (after.st_ino, after.st_mode, after.st_size) == (before.st_ino, before.st_mode, before.st_size)


@ROOT_ONLY
def test_file_of_other_user_locked_shared_is_refused_not_waited_on(shared_dir):
    tmp = os.path.join(shared_dir, "store.tndb.tmp")
    ready_r, ready_w = os.pipe()
    stop_r, stop_w = os.pipe()

    def hold_lock():
        import fcntl

        with open(tmp, "wb") as f:
            fcntl.flock(f, fcntl.LOCK_SH)
            os.write(ready_w, b"x")
            os.read(stop_r, 1)  # until the parent is done

    pid = os.fork()
    if pid == 0:
        code = 1
        with contextlib.suppress(BaseException):
            os.close(ready_r)
            os.close(stop_w)
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            hold_lock()
            code = 0
        os._exit(code)
    # Each end stays open on one side only, so that either side's exit is seen.
    os.close(ready_w)
    os.close(stop_r)
    try:
        assert os.read(ready_r, 1) == b"x", "the lock holder failed"
        message = build_error(os.path.join(shared_dir, "store.tndb"))
    finally:
        os.close(stop_w)
        os.close(ready_r)
        os.waitpid(pid, 0)
    assert message == f"TarnIOError: open tmp: {tmp}: owned by uid {NOBODY} and not by this user (uid 0)"


@pytest.mark.parametrize("leftover_mode", [None, 0o644])
def test_temporary_file_is_private_until_the_rename(shared_dir, leftover_mode):
    # The rename onto a directory fails, so the temporary file stays behind
    # as the build left it.
    target = os.path.join(shared_dir, "store.tndb")
    os.mkdir(target)
    tmp = target + ".tmp"
    if leftover_mode is not None:
        with open(tmp, "wb") as f:
            f.write(b"older build")
        os.chmod(tmp, leftover_mode)
    assert build_error(target).startswith("TarnIOError: rename: ")
    assert stat.S_IMODE(os.stat(tmp).st_mode) == 0o600
    if os.geteuid() == 0:
        def try_open():
            with pytest.raises(PermissionError):
                open(tmp, "rb")
        as_user(NOBODY, try_open)
    # The next build reuses it and gives the store its ordinary mode.
    os.rmdir(target)
    run_python(BUILD, target, timeout=30)
    mask = os.umask(0o022)
    os.umask(mask)
    st = os.stat(target)
    assert (stat.S_IMODE(st.st_mode), st.st_uid) == (0o666 & ~mask, os.geteuid())
    assert read_file(target) == expected_tndb([b"new"], [("k", 0)])
    assert not os.path.lexists(tmp)


OPEN = """
import sys
import tarndb
from tarndb._tarndb import _TarnReader
for opener in (_TarnReader, tarndb.TarnReader):
    try:
        opener(sys.argv[1])
    except OSError as e:
        print(type(e).__name__, e, sep="|")
"""


@pytest.mark.parametrize(
    "kind, reason, wrapper_reason",
    [("fifo", "not a regular file", None), ("socket", "not a regular file", None),
     ("device", "not a regular file", None), ("directory", "No such device (os error 19)", "is a directory")],
)
def test_reader_refuses_what_is_not_a_file(tmp_path, kind, reason, wrapper_reason):
    path = str(tmp_path / "store.tndb")
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "socket":
        bind_socket(path)
    elif kind == "directory":
        os.mkdir(path)
    else:
        path = "/dev/zero"
    out = run_python(OPEN, path, timeout=30).stdout.decode().splitlines()
    # The package's reader raises its class directly, without the kind prefix.
    # The low-level module says what its mapping call said of a directory.
    low = f"mmap failed: {reason}" if kind == "directory" else f"cannot open {path}: {reason}"
    wrapper_class = "TarnIsADirectoryError" if kind == "directory" else "TarnIOError"
    assert out == [f"OSError|TarnIOError: {low}",
                   f"{wrapper_class}|cannot open {path}: {wrapper_reason or reason}"]


@pytest.mark.skipif(sys.platform != "linux", reason="the FIFO semantics checked are Linux's")
def test_fifo_with_a_reader_attached_is_still_refused(tmp_path):
    # With a reader on the FIFO a non-blocking write open succeeds: the type
    # check after it must still refuse it, and nothing is written.
    target = tmp_path / "store.tndb"
    tmp = str(target) + ".tmp"
    os.mkfifo(tmp)
    fd = os.open(tmp, os.O_RDONLY | os.O_NONBLOCK)
    try:
        assert build_error(target) == f"TarnIOError: open tmp: {tmp}: not a regular file (a FIFO)"
        assert os.read(fd, 1) == b""  # the writer came and went without writing
    finally:
        os.close(fd)


class LyingLength(list):
    """A key sequence whose __len__ claims far more items than it yields."""

    def __init__(self, items, claimed):
        super().__init__(items)
        self.claimed = claimed

    def __len__(self):
        return self.claimed


@pytest.mark.parametrize("claimed", [2**62, 2**31, 65537, 2**63], ids=["2^62", "2^31", "65537", "overflowing"])
def test_key_whose_length_lies_converts_like_its_items(tmp_path, claimed):
    from tarndb._tarndb import _TarnReader, _TarnWriter

    key = LyingLength(b"ab", claimed)
    w = _TarnWriter()
    w.add_key(key, w.add_object_raw(b"v"))
    w.add_key(LyingLength(b"abc", claimed), 0)
    path = str(tmp_path / "s.tndb")
    w.build(path)
    r = _TarnReader(path)
    assert r.keys() == ["ab", "abc"]
    assert (r.get_raw(key), r.exists(key), r.prefix_raw(key)) == (b"v", True, [("ab", b"v"), ("abc", b"v")])
    # Past the reservation the key still grows with its items.
    assert r.exists(LyingLength(b"a" * 70_000, claimed)) is False
