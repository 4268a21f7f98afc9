"""The child process of tests/test_thread_stress.py's package tests.

    python stress_child.py KIND SECONDS

Shares one object of KIND (reader, iterator, views, writer, merge) between
THREADS threads that mix every operation on it, close() included, for about
SECONDS, in rounds (a closed reader is opened again for the next round).
Every outcome is checked against what the same call made alone would give:
its result, or one of its documented errors (KeyError for an absent key,
ValueError once the reader was closed, the writer's borrow errors while a
build runs). Anything else is printed as a failure and the exit status is 1;
a crash or a hang is seen by the parent, which runs this under a timeout.
The last line printed is "ok" and the operation counts.
"""

from __future__ import annotations

import collections
import functools
import os
import random
import sys
import tempfile
import threading
import time
import traceback

import msgpack

import tarndb
from tarndb import TarnReader, TarnWriter

THREADS = 6
N_KEYS = 3000
CLOSED = "I/O operation on a closed TarnReader"
BORROW = {"Already borrowed", "Already mutably borrowed"}


def key(i: int) -> str:
    return f"k{i:05d}"


def value(i: int) -> dict:
    return {"i": i, "s": key(i), "l": [i, str(i)]}


class Failures:
    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.items: list[str] = []
        self.counts: collections.Counter[str] = collections.Counter()

    def add(self, what: str) -> None:
        with self.lock:
            if len(self.items) < 20:
                self.items.append(what)

    def count(self, counts: collections.Counter[str]) -> None:
        with self.lock:
            self.counts.update(counts)


def run_threads(n: int, target) -> None:
    start = threading.Barrier(n)

    def wrapped(t: int) -> None:
        start.wait()
        target(t)

    threads = [threading.Thread(target=wrapped, args=(t,), daemon=True) for t in range(n)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()


def closed_error(exc: BaseException) -> bool:
    return isinstance(exc, ValueError) and str(exc).startswith(CLOSED)


def build_store(directory: str) -> str:
    path = os.path.join(directory, "shared.tndb")
    with TarnWriter(path) as w:
        for i in range(0, N_KEYS, 2):  # odd keys stay absent
            w.add(value(i), key(i))
    return path


PRESENT = [key(i) for i in range(0, N_KEYS, 2)]
EXPECTED = {key(i): value(i) for i in range(0, N_KEYS, 2)}
RAW = {k: msgpack.packb(v) for k, v in EXPECTED.items()}


@functools.lru_cache(maxsize=None)
def by_prefix(p: str) -> list[str]:
    return [x for x in PRESENT if x.startswith(p)]


def reader_ops(r: TarnReader, rng: random.Random, shared_keys: list[str], mine: int):
    """One random operation on a reader: (name, call, check), where check(result) is True when right."""
    i = rng.randrange(N_KEYS)
    k = key(i)
    present = k in EXPECTED
    op = rng.randrange(16)
    if op == 0:
        return "r[key]", lambda: r[k], lambda v: v == EXPECTED[k], (KeyError if not present else None)
    if op == 1:
        return "get", lambda: r.get(k, "absent"), lambda v: v == EXPECTED.get(k, "absent"), None
    if op == 2:
        return "contains", lambda: k in r, lambda v: v is present, None
    if op == 3:
        return "len", lambda: len(r), lambda v: v == len(EXPECTED), None
    if op == 4:
        return "raw", lambda: r.raw(k), lambda v: v == RAW[k], (KeyError if not present else None)
    if op == 5:
        ks = [key(rng.randrange(N_KEYS)) for _ in range(40)]
        return "get_many", lambda: r.get_many(ks), lambda v: v == [EXPECTED.get(x) for x in ks], None
    if op == 6:
        ks = tuple(key(rng.randrange(N_KEYS)) for _ in range(40))
        return "raw_many", lambda: r.raw_many(ks), lambda v: v == [RAW.get(x) for x in ks], None
    if op == 7:
        # A list that another thread changes meanwhile (op 8): the batch
        # reads it at one moment, so the answers are the values of a run of
        # consecutive present keys (see op 8) in order.
        def check(v: list) -> bool:
            if any(x is None or x != EXPECTED[key(x["i"])] for x in v):
                return False
            ids = [x["i"] for x in v]
            return all(b - a == 2 for a, b in zip(ids, ids[1:]))

        return "get_many(shared list)", lambda: r.get_many(shared_keys), check, None
    if op == 8:
        # Moves the shared window of consecutive present keys on by one;
        # each step leaves the list such a window (or empty). Now and then
        # the list is emptied and filled again, its item array freed and
        # made anew, as a batch that read it unlocked would trip on.
        def slide() -> None:
            with shared_lock:
                if not shared_keys:
                    shared_keys.append(key(0))
                last = int(shared_keys[-1][1:])
                if last + 2 >= N_KEYS:
                    shared_keys[:] = [key(0)]
                elif rng.random() < 0.2:
                    window = list(shared_keys)
                    shared_keys.clear()
                    shared_keys.extend(window)
                else:
                    shared_keys.append(key(last + 2))
                    if len(shared_keys) > 60:
                        del shared_keys[0]

        return "mutate shared list", slide, lambda v: True, None
    if op == 9:
        p = key(i)[:4]
        return "prefix", lambda: r.prefix(p), lambda v: v == [(x, EXPECTED[x]) for x in by_prefix(p)], None
    if op == 10:
        p = key(i)[:4]
        return "prefix_keys", lambda: r.prefix_keys(p), lambda v: v == by_prefix(p), None
    if op == 11:
        lo, hi = sorted((key(rng.randrange(N_KEYS)), key(rng.randrange(N_KEYS))))
        want_r = [(x, EXPECTED[x]) for x in PRESENT if lo <= x < hi][:50]
        return "range", lambda: list(zip(range(50), r.range(lo, hi))), lambda v: [x for _, x in v] == want_r, None
    if op == 12:
        return "verify", r.verify, lambda v: v is True, None
    if op == 13:
        return "stats", lambda: r.stats["num_keys"], lambda v: v == len(EXPECTED), None
    if op == 14:
        return "repr", lambda: repr(r), lambda v: v.startswith("TarnReader("), None
    return "closed", lambda: r.closed, lambda v: isinstance(v, bool), None


shared_lock = threading.Lock()


def stress_reader(path: str, seconds: float, failures: Failures, decoder) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        r = TarnReader(path, decoder=decoder)
        closing = threading.Event()
        shared_keys = [key(i) for i in range(0, 120, 2)]
        now = time.monotonic()
        round_end = now + 0.3
        close_at = now + random.uniform(0.15, 0.28)

        def work(t: int) -> None:
            rng = random.Random(t * 7919 + int(time.monotonic() * 1000))
            counts: collections.Counter[str] = collections.Counter()
            while time.monotonic() < round_end:
                if t == 0 and not closing.is_set() and time.monotonic() > close_at:
                    closing.set()
                    r.close()
                    counts["close"] += 1
                    continue
                name, call, check, documented = reader_ops(r, rng, shared_keys, t)
                was_closing = closing.is_set()
                try:
                    got = call()
                except BaseException as exc:
                    if documented is not None and isinstance(exc, documented):
                        counts[name + " (documented error)"] += 1
                    elif closed_error(exc) and (was_closing or closing.is_set()):
                        counts["closed error"] += 1
                    else:
                        failures.add(f"{name}: {type(exc).__name__}: {exc}\n{traceback.format_exc()}")
                    continue
                if documented is not None:
                    failures.add(f"{name}: returned {got!r} instead of raising {documented.__name__}")
                elif name == "closed" and got and not closing.is_set():
                    failures.add("closed is True before close()")
                elif not check(got):
                    failures.add(f"{name}: wrong result {got!r}"[:500])
                counts[name] += 1
            failures.count(counts)

        run_threads(THREADS, work)
        r.close()


def stress_iterator(path: str, seconds: float, failures: Failures) -> None:
    deadline = time.monotonic() + seconds
    kinds = ["keys", "items", "values", "range"]
    n = 0
    while time.monotonic() < deadline:
        r = TarnReader(path)
        kind = kinds[n % len(kinds)]
        n += 1
        if kind == "keys":
            it, want = iter(r), PRESENT
        elif kind == "items":
            it, want = iter(r.items()), [(k, EXPECTED[k]) for k in PRESENT]
        elif kind == "values":
            it, want = iter(r.values()), [EXPECTED[k] for k in PRESENT]
        else:
            it, want = r.range(key(100), key(2100)), [(k, EXPECTED[k]) for k in PRESENT if key(100) <= k < key(2100)]
        position = {repr(x): j for j, x in enumerate(want)}
        closing = threading.Event()
        got: list[list] = [[] for _ in range(THREADS)]
        close_now = n % 3 == 0  # every third round closes the reader midway

        ended = threading.Event()

        def work(t: int) -> None:
            counts: collections.Counter[str] = collections.Counter()
            rng = random.Random(t + n)
            if close_now and t == THREADS - 1:
                # This round one thread closes the reader once the others
                # have taken a few hundred items between them.
                while sum(map(len, got)) < 300 and not ended.is_set():
                    time.sleep(0)
                closing.set()
                r.close()
                counts["close"] += 1
            while True:
                if rng.random() < 0.02:
                    hint = it.__length_hint__()
                    if not 0 <= hint <= len(want):
                        failures.add(f"{kind}: length hint {hint}")
                    counts["length_hint"] += 1
                was_closing = closing.is_set()
                try:
                    x = next(it)
                except StopIteration:
                    ended.set()
                    counts["end"] += 1
                    break
                except BaseException as exc:
                    if closed_error(exc) and (was_closing or closing.is_set()):
                        counts["closed error"] += 1
                    else:
                        failures.add(f"{kind}: {type(exc).__name__}: {exc}")
                    break
                got[t].append(x)
                counts["next"] += 1
            # After the end, the end again.
            try:
                next(it)
                failures.add(f"{kind}: an item after the end")
            except StopIteration:
                pass
            except ValueError as exc:
                if not closed_error(exc):
                    failures.add(f"{kind}: {exc}")
            failures.count(counts)

        run_threads(THREADS, work)
        seen: list[int] = []
        for mine in got:
            ids = []
            for x in mine:
                j = position.get(repr(x))
                if j is None:
                    failures.add(f"{kind}: an item never stored: {x!r}"[:300])
                    continue
                ids.append(j)
            if ids != sorted(ids):
                failures.add(f"{kind}: a thread's items out of order")
            seen.extend(ids)
        if len(seen) != len(set(seen)):
            failures.add(f"{kind}: {len(seen) - len(set(seen))} items handed out twice")
        if not close_now and sorted(seen) != list(range(len(want))):
            failures.add(f"{kind}: {len(want) - len(set(seen))} items never handed out")
        r.close()


def stress_views(path: str, seconds: float, failures: Failures) -> None:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        r = TarnReader(path)
        keys, items, values = r.keys(), r.items(), r.values()
        closing = threading.Event()
        now = time.monotonic()
        round_end = now + 0.3
        close_at = now + random.uniform(0.15, 0.28)

        def work(t: int) -> None:
            counts: collections.Counter[str] = collections.Counter()
            rng = random.Random(t + int(time.monotonic() * 1000))
            while time.monotonic() < round_end:
                if t == 0 and not closing.is_set() and time.monotonic() > close_at:
                    closing.set()
                    r.close()
                    counts["close"] += 1
                    continue
                i = rng.randrange(N_KEYS)
                k = key(i)
                op = rng.randrange(8)
                was_closing = closing.is_set()
                try:
                    if op == 0:
                        name, ok = "key in keys", (k in keys) == (k in EXPECTED)
                    elif op == 1:
                        name, ok = "len(keys)", len(keys) == len(EXPECTED)
                    elif op == 2:
                        name = "iter(keys)"
                        ok = [x for _, x in zip(range(30), keys)] == PRESENT[:30]
                    elif op == 3:
                        name, ok = "item in items", ((k, EXPECTED.get(k)) in items) == (k in EXPECTED)
                    elif op == 4:
                        name = "iter(items)"
                        ok = [x for _, x in zip(range(30), items)] == [(x, EXPECTED[x]) for x in PRESENT[:30]]
                    elif op == 5:
                        name = "iter(values)"
                        ok = [x for _, x in zip(range(30), values)] == [EXPECTED[x] for x in PRESENT[:30]]
                    elif op == 6:
                        name, ok = "keys & set", (keys & {k, "zz"}) == ({k} if k in EXPECTED else set())
                    elif rng.random() < 0.05:
                        name, ok = "list(keys)", list(keys) == PRESENT
                    else:
                        name, ok = "len(values)", len(values) == len(EXPECTED)
                except BaseException as exc:
                    if closed_error(exc) and (was_closing or closing.is_set()):
                        counts["closed error"] += 1
                    else:
                        failures.add(f"views op {op}: {type(exc).__name__}: {exc}")
                    continue
                if not ok:
                    failures.add(f"{name}: wrong result")
                counts[name] += 1
            failures.count(counts)

        run_threads(THREADS, work)
        r.close()


def stress_writer(directory: str, seconds: float, failures: Failures) -> None:
    w = TarnWriter()
    base = w.add("base")
    deadline = time.monotonic() + seconds
    last: dict[str, object] = {}  # key -> the value its thread last staged under it
    log_lock = threading.Lock()

    def check_file(path: str) -> None:
        with TarnReader(path) as r:
            for k, v in r.items():
                t = k.split("-")[0]
                if v != "base" and not (isinstance(v, list) and v[0] == t):
                    failures.add(f"build: {k} holds {v!r}")

    def work(t: int) -> None:
        counts: collections.Counter[str] = collections.Counter()
        rng = random.Random(t)
        mine = {base: "base"}
        n = 0
        while time.monotonic() < deadline:
            n += 1
            k = f"t{t}-{rng.randrange(20)}"
            obj = [f"t{t}", n]
            op = rng.randrange(20)
            try:
                if op < 5:
                    oid = w.add(obj, k)
                    mine[oid] = obj
                    with log_lock:
                        last[k] = obj
                    name = "add"
                elif op < 8:
                    oid = w.add_raw(msgpack.packb(obj), k)
                    mine[oid] = obj
                    with log_lock:
                        last[k] = obj
                    name = "add_raw"
                elif op < 11:
                    w[k] = obj
                    with log_lock:
                        last[k] = obj
                    name = "setitem"
                elif op < 15:
                    oid = rng.choice(list(mine))
                    w.alias(k, oid)
                    with log_lock:
                        last[k] = mine[oid]
                    name = "alias"
                elif op < 17:
                    if not repr(w).startswith("TarnWriter(path=None, objects="):
                        failures.add(f"repr: {w!r}")
                    if w.num_objects < 1:
                        failures.add("num_objects < 1")
                    name = "repr"
                elif op < 19:
                    report = w.last_build
                    if report is not None and report.keys < 1:
                        failures.add(f"last_build: {report}")
                    name = "last_build"
                else:
                    out = os.path.join(directory, f"w{t}.tndb")
                    report = w.build(out)
                    if report.path != out:
                        failures.add(f"build report {report}")
                    check_file(out)
                    name = "build"
            except RuntimeError as exc:
                # Documented: a call that overlaps a build (which lets go of
                # the lock while it writes) is refused.
                if str(exc) in BORROW:
                    counts["borrow error"] += 1
                    time.sleep(0.0005)
                    continue
                failures.add(f"writer op {op}: RuntimeError: {exc}")
                continue
            except BaseException as exc:
                failures.add(f"writer op {op}: {type(exc).__name__}: {exc}")
                continue
            counts[name] += 1
        failures.count(counts)

    run_threads(THREADS, work)
    # A refused add may have staged its object without the key; the keys
    # themselves are exactly what succeeded, each thread's last value winning.
    final = os.path.join(directory, "final.tndb")
    w.build(final)
    with TarnReader(final) as r:
        got = {k: v for k, v in r.items() if k != "base"}
        if got != last:
            wrong = [k for k in set(got) | set(last) if got.get(k) != last.get(k)]
            failures.add(f"final build: {len(wrong)} keys differ, e.g. {wrong[:3]}")


def stress_merge(path: str, directory: str, seconds: float, failures: Failures) -> None:
    second = os.path.join(directory, "second.tndb")
    with TarnWriter(second) as w:
        for i in range(1, 600, 2):  # odd keys, absent from the first store
            w.add(value(i), key(i))
    want = dict(EXPECTED)
    want.update({key(i): value(i) for i in range(1, 600, 2)})
    for i in range(0, 100, 2):
        del want[key(i)]
    deleted = [key(i) for i in range(0, 100, 2)]
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        source = TarnReader(second)
        closing = threading.Event()
        job = tarndb.MergeJob([path, second], delete=deleted)
        round_end = time.monotonic() + 0.8

        def work(t: int) -> None:
            counts: collections.Counter[str] = collections.Counter()
            rng = random.Random(t + int(time.monotonic() * 1000))
            while time.monotonic() < round_end:
                op = rng.randrange(6)
                out = os.path.join(directory, f"m{t}.tndb")
                try:
                    if op < 2:
                        report = job.run(out, progress=lambda done, total: None)
                        if report.keys != len(want):
                            failures.add(f"merge run: {report.keys} keys, not {len(want)}")
                        with TarnReader(out) as r:
                            if dict(r.items()) != want:
                                failures.add("merge run: wrong content")
                        name = "run"
                    elif op == 2:
                        report = job.last_build
                        if report is not None and report.keys != len(want):
                            failures.add(f"last_build: {report}")
                        name = "last_build"
                    elif op == 3:
                        # A merge with an open reader as input, while another
                        # thread may close it.
                        was_closing = closing.is_set()
                        try:
                            report = tarndb.merge(out, path, source, delete=deleted)
                        except ValueError as exc:
                            if not (closed_error(exc) and (was_closing or closing.is_set())):
                                raise
                            counts["closed error"] += 1
                            continue
                        if report.keys != len(want):
                            failures.add(f"merge(): {report.keys} keys")
                        name = "merge()"
                    elif op == 4 and t == 0 and rng.random() < 0.2:
                        closing.set()
                        source.close()
                        name = "close"
                    else:
                        if not repr(job._native).startswith("Merge(sources="):
                            failures.add(f"repr: {job._native!r}")
                        name = "repr"
                except RuntimeError as exc:
                    if str(exc) in BORROW:  # documented: a run overlapping another run
                        counts["borrow error"] += 1
                        time.sleep(0.001)
                        continue
                    failures.add(f"merge op {op}: RuntimeError: {exc}")
                    continue
                except BaseException as exc:
                    failures.add(f"merge op {op}: {type(exc).__name__}: {exc}\n{traceback.format_exc()}")
                    continue
                counts[name] += 1
            failures.count(counts)

        run_threads(THREADS, work)
        source.close()


def main() -> int:
    kind, seconds = sys.argv[1], float(sys.argv[2])
    sys.setswitchinterval(1e-5)  # with a GIL: threads switch in the middle of calls
    failures = Failures()
    with tempfile.TemporaryDirectory() as directory:
        path = build_store(directory)
        if kind == "reader":
            stress_reader(path, seconds / 2, failures, None)
            stress_reader(path, seconds / 2, failures, msgpack.unpackb)
        elif kind == "iterator":
            stress_iterator(path, seconds, failures)
        elif kind == "views":
            stress_views(path, seconds, failures)
        elif kind == "writer":
            stress_writer(directory, seconds, failures)
        elif kind == "merge":
            stress_merge(path, directory, seconds, failures)
        else:
            raise SystemExit(f"unknown kind {kind!r}")
    for f in failures.items:
        print("FAIL", f)
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("ok" if not failures.items else "failed", f"gil={gil}", dict(failures.counts))
    return 1 if failures.items else 0


if __name__ == "__main__":
    sys.exit(main())
