"""Concurrent builds from several processes onto one target, and onto two
targets that share one temporary path (a.tndb and a.bin both write
a.tndb.tmp).

Four child processes each build fifty times; before every build a child
stages one more object and points the marker key at it, so every file names
the process and the round that wrote it. While they run, a watcher opens the
targets again and again with verification. Every file seen, during the run
and at its end, must be complete and wholly one build's: it passes the deep
check, its marker names a process that builds that very target, and its
counts and payloads are that process's for that round.
"""

from __future__ import annotations

import subprocess
import threading

import pytest

from conftest import native, spawn_python

pytestmark = pytest.mark.heavy

PROCESSES = 4
ROUNDS = 50
OBJECTS = 16
OBJECT_SIZE = 64 << 10  # 1 MiB per process
KEYS = 200

CHILD = """
import os, sys
from tarndb._tarndb import _TarnWriter
proc, target, rounds, objects, size, keys = int(sys.argv[1]), sys.argv[2], *map(int, sys.argv[3:7])
w = _TarnWriter()
for i in range(objects):
    head = f"p{proc}:{i}:".encode()
    w.add_object_raw(head + bytes([proc + 1]) * (size - len(head)))
for j in range(keys):
    w.add_key(f"k{j:04d}", j % objects)
sys.stdout.write("ready\\n")
sys.stdout.flush()
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the summary lines
assert sys.stdin.readline() == "go\\n"
for r in range(rounds):
    w.add_key("__marker__", w.add_object_raw(f"p{proc}-r{r}".encode()))
    w.build(target)
"""


def check_file(path, builders: set[int]) -> tuple[int, int]:
    """(process, round) of the complete file at `path`, after checking that
    all of it is that build's."""
    r = native()._TarnReader(str(path), verify=True)
    assert r.verify() is True
    proc_s, round_s = r.get_raw("__marker__").decode().split("-")
    proc, rnd = int(proc_s[1:]), int(round_s[1:])
    assert proc in builders, f"{path} holds process {proc}'s store"
    stats = r.stats()
    assert (stats["num_keys"], stats["num_objects"]) == (KEYS + 1, OBJECTS + rnd + 1)
    for j in (0, KEYS // 3, KEYS - 1):
        head = f"p{proc}:{j % OBJECTS}:".encode()
        assert r.get_raw(f"k{j:04d}") == head + bytes([proc + 1]) * (OBJECT_SIZE - len(head))
    return proc, rnd


@pytest.mark.parametrize(
    "names",
    [
        pytest.param(["a.tndb"] * PROCESSES, id="one-target"),
        pytest.param(["a.tndb", "a.bin", "a.tndb", "a.bin"], id="a.tndb-and-a.bin-share-a-temp-path"),
    ],
)
def test_concurrent_builds_never_expose_partial_files(tmp_path, names):
    targets = {name: tmp_path / name for name in names}
    builders = {name: {p for p, n in enumerate(names) if n == name} for name in targets}
    children = [
        spawn_python(CHILD, p, targets[name], ROUNDS, OBJECTS, OBJECT_SIZE, KEYS, stdin=subprocess.PIPE)
        for p, name in enumerate(names)
    ]
    seen: list[tuple[str, int, int]] = []
    errors: list[BaseException] = []
    done = threading.Event()

    def watch():
        try:
            while not done.is_set():
                for name, path in targets.items():
                    try:
                        proc, rnd = check_file(path, builders[name])
                    except OSError as e:
                        # Only "not built yet" is acceptable.
                        assert "(os error 2)" in str(e), e
                        continue
                    seen.append((name, proc, rnd))
        except BaseException as e:  # handed to the test thread
            errors.append(e)

    watcher = threading.Thread(target=watch)
    try:
        for c in children:
            assert c.stdout.readline() == b"ready\n", c.stderr.read().decode(errors="replace")
        watcher.start()
        for c in children:
            c.stdin.write(b"go\n")
            c.stdin.flush()
        for c in children:
            _, err = c.communicate(timeout=300)
            assert c.returncode == 0, err.decode(errors="replace")
    finally:
        done.set()
        if watcher.is_alive():
            watcher.join(timeout=60)
        for c in children:
            if c.poll() is None:
                c.kill()
                c.wait()
    assert not errors, errors[0]

    # The final files are each some builder's last round.
    for name, path in targets.items():
        proc, rnd = check_file(path, builders[name])
        assert rnd == ROUNDS - 1
    assert seen, "the watcher saw no file while the builds ran"
    leftovers = {p.name for p in tmp_path.iterdir()} - set(targets) - {"a.tndb.tmp"}
    assert not leftovers, leftovers
    print(f"concurrent builds {'+'.join(sorted(targets))}: {len(names) * ROUNDS} builds, "
          f"{len(seen)} complete files seen while they ran")
