"""Crash safety of build: a child process building a large store over an
existing target is killed with SIGKILL at random moments.

Each trial starts a child that stages a 24 MiB store of its own generation
(a marker key names it), reports that it is ready and then builds the same
target over and over; the parent kills it after a random delay drawn from
about one and a half build times. Afterwards the target must open with
verification, pass the deep check and hold exactly the previous generation
or the child's, never a mix and never a partial file. A left-over temporary
file is the only other thing allowed in the directory.
"""

from __future__ import annotations

import os
import random
import signal
import time

import pytest

from conftest import native, spawn_python

pytestmark = pytest.mark.heavy

TRIALS = 120
OBJECTS = 192
OBJECT_SIZE = 128 << 10  # 24 MiB of payloads in all
KEYS = 3000

# The store of generation `gen`: payload i starts with "gen:i" and is padded
# with a byte that depends on both, key k<j> names object j % OBJECTS.
CHILD = """
import os, sys
from tarndb._tarndb import _TarnWriter
gen, target, objects, size, keys = int(sys.argv[1]), sys.argv[2], *map(int, sys.argv[3:6])
w = _TarnWriter()
for i in range(objects):
    head = f"{gen}:{i}:".encode()
    w.add_object_raw(head + bytes([(gen * 7 + i) % 251]) * (size - len(head)))
for j in range(keys):
    w.add_key(f"k{j:05d}", j % objects)
w.add_key("__marker__", w.add_object_raw(f"gen-{gen}".encode()))
devnull = os.open(os.devnull, os.O_WRONLY)
sys.stdout.write("ready\\n")
sys.stdout.flush()
os.dup2(devnull, 1)  # the summary lines of the builds below
while True:
    w.build(target)
"""


def payload(gen: int, i: int) -> bytes:
    head = f"{gen}:{i}:".encode()
    return head + bytes([(gen * 7 + i) % 251]) * (OBJECT_SIZE - len(head))


def stage(gen: int):
    w = native()._TarnWriter()
    for i in range(OBJECTS):
        w.add_object_raw(payload(gen, i))
    for j in range(KEYS):
        w.add_key(f"k{j:05d}", j % OBJECTS)
    w.add_key("__marker__", w.add_object_raw(f"gen-{gen}".encode()))
    return w


def generation_of(path) -> int:
    """Opens the target as a reader would and returns the generation it
    holds, after checking that the whole content is that generation's."""
    r = native()._TarnReader(str(path), verify=True)
    assert r.verify() is True
    marker = r.get_raw("__marker__")
    assert marker is not None and marker.startswith(b"gen-"), marker
    gen = int(marker[4:])
    stats = r.stats()
    assert (stats["num_keys"], stats["num_objects"]) == (KEYS + 1, OBJECTS + 1)
    for j in (0, 1, KEYS // 2, KEYS - 1):
        assert r.get_raw(f"k{j:05d}") == payload(gen, j % OBJECTS)
    return gen


def test_sigkill_during_builds_leaves_old_or_new_store(tmp_path, capsys):
    target = tmp_path / "store.tndb"
    stage(0).build(str(target))
    capsys.readouterr()
    assert generation_of(target) == 0

    # Calibrate the kill window on this machine: a few builds of the size used.
    w = stage(1)
    times = []
    for _ in range(3):
        t0 = time.perf_counter()
        w.build(str(tmp_path / "calibrate.tndb"))
        times.append(time.perf_counter() - t0)
    del w
    os.unlink(tmp_path / "calibrate.tndb")
    window = 1.5 * sorted(times)[1]

    rng = random.Random(20240611)
    current = 0
    outcomes = {"old": 0, "new": 0}
    for trial in range(1, TRIALS + 1):
        gen = trial + 1
        child = spawn_python(CHILD, gen, target, OBJECTS, OBJECT_SIZE, KEYS)
        try:
            assert child.stdout.readline() == b"ready\n", child.stderr.read().decode(errors="replace")
            time.sleep(rng.uniform(0, window))
            child.send_signal(signal.SIGKILL)
            assert child.wait(timeout=30) == -signal.SIGKILL
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            child.stdout.close()
            child.stderr.close()

        found = generation_of(target)
        assert found in (current, gen), f"trial {trial}: generation {found}, expected {current} or {gen}"
        outcomes["old" if found == current else "new"] += 1
        current = found
        leftovers = {p.name for p in tmp_path.iterdir()} - {"store.tndb", "store.tndb.tmp"}
        assert not leftovers, leftovers

    capsys.readouterr()
    with capsys.disabled():
        print(f"\ncrash safety: {TRIALS} SIGKILL trials survived (old content {outcomes['old']}, "
              f"new content {outcomes['new']}), kill window {window * 1000:.0f} ms")
    # Both outcomes occur: the kills did land in the middle of builds too.
    assert outcomes["old"] > 0 and outcomes["new"] > 0, outcomes
