"""Thread stress: one reader shared by eight threads, writers shared by
several threads whose calls are made to overlap, and each of the package's
shareable objects (reader, iterator, views, writer, merge job) used by six
threads at once, close() included.

Reader: eight threads run 200,000 mixed queries in total (lookups, presence
tests, prefix scans, listings, stats and deep verification) and check every
answer against the content the file was built from. Some keys are given as
sequences whose item access yields the interpreter lock, so that threads
switch in the middle of a call.

Writers: an obj_id whose __index__ sleeps (and a key whose items sleep) holds
a writer's exclusive borrow while other threads call into the same writer.
Those calls may only fail with the borrow errors "Already borrowed" (staging)
and "Already mutably borrowed" (build, repr); what succeeded must be exactly
what a final build writes, and every build made along the way must be a
sound file.
"""

from __future__ import annotations

import random
import subprocess
import sys
import threading
import time
from collections import defaultdict
from pathlib import Path

import pytest

from conftest import native

pytestmark = pytest.mark.heavy

THREADS = 8
QUERIES = 200_000


class YieldingKey:
    """A key given as a sequence of ints whose items yield the lock."""

    def __init__(self, data: bytes, pause: float = 0.0):
        self.data = data
        self.pause = pause

    def __len__(self):
        return len(self.data)

    def __getitem__(self, i):
        if i == 0 or self.pause:
            time.sleep(self.pause)
        return self.data[i]


class SlowIndex:
    """An obj_id whose conversion sleeps, releasing the interpreter lock
    while the writer's exclusive borrow is held."""

    def __init__(self, value: int, pause: float):
        self.value = value
        self.pause = pause

    def __index__(self):
        time.sleep(self.pause)
        return self.value


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(old)


def run_threads(target, n: int) -> None:
    errors: list[BaseException] = []
    start = threading.Barrier(n)

    def wrapped(i):
        try:
            start.wait()
            target(i)
        except BaseException as e:
            errors.append(e)

    threads = [threading.Thread(target=wrapped, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]


def test_shared_reader_answers_every_query(tmp_path, fast_switching):
    objects = [f"object {i}".encode() * (1 + i % 7) for i in range(300)]
    keys = {}
    for i in range(3000):
        group = ["user", "item", "tag", "\u00e9t\u00e9"][i % 4]
        keys[f"{group}:{i:05d}".encode()] = i % len(objects)
    keys[b""] = 0
    keys[b"\xff\xfe"] = 1
    w = native()._TarnWriter()
    for o in objects:
        w.add_object_raw(o)
    for k, i in keys.items():
        w.add_key(k, i)
    path = tmp_path / "shared.tndb"
    w.build(str(path))
    r = native()._TarnReader(str(path))

    order = sorted(keys)
    shown = [k.decode("utf-8", "replace") for k in order]
    items = [(s, objects[keys[k]]) for s, k in zip(shown, order)]
    prefixes = [b"user:0001", b"item:0299", b"tag:", b"\xc3\xa9t\xc3\xa9:0004", b"zzz", b"\xff"]
    by_prefix = {p: [(s, objects[keys[k]]) for s, k in zip(shown, order) if k.startswith(p)] for p in prefixes}
    absent = [b"user:", b"user:99999", b"\x00", b"item:00001x"]
    distinct = [objects[i] for i in dict.fromkeys(keys[k] for k in order)]  # in order of first use
    key_list = list(keys)
    stats = r.stats()
    per_thread = QUERIES // THREADS
    counts: dict[str, int] = defaultdict(int)
    totals_lock = threading.Lock()

    def work(t):
        rng = random.Random(t)
        local = defaultdict(int)
        for n in range(per_thread):
            op = rng.random()
            if op < 0.55:
                k = rng.choice(key_list)
                arg = YieldingKey(k) if n % 50 == 0 else (k.decode() if n % 3 == 0 and k.isascii() else k)
                assert r.get_raw(arg) == objects[keys[k]]
                local["get_raw"] += 1
            elif op < 0.75:
                k = rng.choice(absent) if n % 2 else rng.choice(key_list)
                assert r.exists(k) == (k in keys)
                if k not in keys:
                    assert r.get_raw(k) is None
                local["exists"] += 1
            elif op < 0.97:
                p = rng.choice(prefixes)
                assert r.prefix_raw(YieldingKey(p) if n % 40 == 0 else p) == by_prefix[p]
                local["prefix_raw"] += 1
            elif op < 0.985:
                assert r.stats() == stats
                local["stats"] += 1
            elif op < 0.995:
                assert r.verify() is True
                local["verify"] += 1
            else:
                which = rng.randrange(3)
                if which == 0:
                    assert r.keys() == shown
                elif which == 1:
                    assert r.items_raw() == items
                else:
                    assert r.objects_raw() == distinct
                local["listing"] += 1
        with totals_lock:
            for name, c in local.items():
                counts[name] += c

    run_threads(work, THREADS)
    assert sum(counts.values()) == per_thread * THREADS == QUERIES
    assert counts["verify"] > 0 and counts["listing"] > 0
    print(f"\nthread stress (reader): {THREADS} threads, {QUERIES} queries {dict(counts)}")


BORROW_ERRORS = {"Already borrowed", "Already mutably borrowed"}


def test_shared_writer_rejects_only_with_borrow_errors(tmp_path, fast_switching):
    w = native()._TarnWriter()
    base = w.add_object_raw(b"base")  # so that any thread can map a key at once
    lock = threading.Lock()
    objects: dict[int, bytes] = {base: b"base"}
    key_log: dict[int, list[tuple[bytes, int]]] = defaultdict(list)  # per thread, in call order
    errors: dict[str, int] = defaultdict(int)
    builds = [0]
    added = [0]  # successful add_key calls
    rounds = 250

    def borrow_error(e: RuntimeError, allowed: str) -> None:
        assert str(e) == allowed, f"{type(e).__name__}: {e}"
        with lock:
            errors[allowed] += 1

    def check_build(path):
        r = native()._TarnReader(str(path), verify=True)
        assert r.verify() is True
        for shown, payload in r.items_raw():
            t = shown.split("-")[0]
            assert payload == b"base" or payload.startswith(t.encode() + b"/"), (shown, payload)

    def work(t):
        rng = random.Random(100 + t)
        mine: list[int] = [base]
        for n in range(rounds):
            op = rng.random()
            try:
                if op < 0.3:
                    payload = f"t{t}/{n}".encode()
                    obj_id = w.add_object_raw(payload)
                    with lock:
                        assert obj_id not in objects, "an object ID was handed out twice"
                        objects[obj_id] = payload
                    mine.append(obj_id)
                elif op < 0.75:
                    key = f"t{t}-k{rng.randrange(12)}".encode()
                    obj_id = rng.choice(mine)
                    slow = n % 8
                    if slow == 0:
                        w.add_key(key, SlowIndex(obj_id, 0.0002))
                    elif slow == 1:
                        w.add_key(YieldingKey(key, 0.00005), obj_id)
                    else:
                        w.add_key(key, obj_id)
                    key_log[t].append((key, obj_id))
                    with lock:
                        added[0] += 1
                elif op < 0.9:
                    assert repr(w).startswith("_TarnWriter(objects=")
                else:
                    path = tmp_path / f"t{t}.tndb"
                    w.build(str(path))
                    with lock:
                        builds[0] += 1
                    check_build(path)
            except RuntimeError as e:
                borrow_error(e, "Already borrowed" if op < 0.75 else "Already mutably borrowed")
                time.sleep(0.0001)  # lets the holder of the borrow finish

    run_threads(work, THREADS)

    # Both kinds of conflict happened, so the calls did overlap.
    assert errors["Already borrowed"] > 0 and errors["Already mutably borrowed"] > 0, dict(errors)

    # IDs are contiguous: no add_object_raw was lost or doubled.
    assert sorted(objects) == list(range(len(objects)))
    want: dict[bytes, int] = {}
    for log in key_log.values():
        for key, obj_id in log:
            want[key] = obj_id  # keys are per thread, so the thread's order decides
    assert repr(w) == f"_TarnWriter(objects={len(objects)}, keys={len(want)})"

    final = tmp_path / "final.tndb"
    w.build(str(final))
    r = native()._TarnReader(str(final), verify=True)
    assert r.verify() is True
    assert r.keys() == [k.decode() for k in sorted(want)]
    assert r.items_raw() == [(k.decode(), objects[want[k]]) for k in sorted(want)]
    assert r.stats()["num_objects"] == len(objects)
    print(f"\nthread stress (writer): {THREADS} threads x {rounds} calls, {builds[0]} builds, "
          f"{len(objects)} objects, {added[0]} add_key calls for {len(want)} keys, borrow errors {dict(errors)}")


# ---------------------------------------------------------------- the package's objects
#
# Each kind of shared object is stressed in a child process (tests/stress_child.py),
# so that a crash or a hang fails the test instead of the run: with the GIL the
# threads switch in the middle of calls; without it (the free-threaded CI leg)
# they really run side by side.

CHILD = Path(__file__).with_name("stress_child.py")


@pytest.mark.parametrize("kind", ["reader", "iterator", "views", "writer", "merge"])
def test_shared_package_object_gives_only_one_at_a_time_outcomes(kind):
    try:
        out = subprocess.run(
            [sys.executable, "-X", "faulthandler", str(CHILD), kind, "3"],
            capture_output=True,
            text=True,
            timeout=120,
        )
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{kind}: hung (no end within 120 s)\n{e.stderr}")
    assert out.returncode == 0, f"{kind}: exit status {out.returncode}\n{out.stdout[-5000:]}\n{out.stderr[-5000:]}"
    last = out.stdout.splitlines()[-1]
    assert last.startswith("ok "), out.stdout[-5000:]
    print(f"\nthread stress ({kind}): {last}")
