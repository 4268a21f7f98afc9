"""What two threads cost each other per lookup, measured on a busy machine.

    python bench/read_contention.py [--keys 1000000] [--seconds 3] [--store PATH]

Each thread looks up its own random keys in chunks of 500 and notes, for
each chunk, the wall-clock time and its own CPU time. A chunk counts only if
its thread ran through it without a break (CPU time at least 97% of the wall
clock) and, with two threads, if the other thread ran without a break over
the whole of it as well: the figures are CPU nanoseconds per lookup while
one thread, or both at once, had a core to itself, whatever else the machine
ran meanwhile. A ratio (1 thread / 2 threads) near 1.00 means that two
threads do not slow each other down; two free cores then give them twice
the throughput of one.

Compared, each with 1 and 2 threads:

- ``shared r[key]``: one TarnReader shared by the threads (what
  bench/read_scaling.py measures);
- ``own r[key]``: each thread opens a reader of its own on the same file
  (the same mapping pages and page cache, but no Python object in common);
- ``shared t[i]``: a C-level subscript that does next to nothing (a tuple
  subclass whose items are None) on one shared object: what the interpreter
  alone costs per call when two threads use one object, its reference count
  above all;
- ``shared get_many``: batches of 500 keys on the shared reader.
"""

from __future__ import annotations

import argparse
import bisect
import os
import random
import sys
import tempfile
import threading
import time
from collections.abc import Callable
from typing import Any

from read_scaling import build

from tarndb import TarnReader

CHUNK = 500
Log = list[tuple[float, float, float]]  # (wall start, wall end, CPU seconds) per chunk


class Items(tuple):  # a Python subclass, as TarnReader is one
    __slots__ = ()


def measure(make: Callable[[int], Any], threads: int, mode: str, n: int, seconds: float) -> tuple[float, int]:
    """CPU ns per lookup over the chunks that count, and how many counted."""
    start = threading.Barrier(threads + 1)
    logs: list[Log] = [[] for _ in range(threads)]

    def work(t: int, obj: Any) -> None:
        rng = random.Random(t)
        if mode == "index":
            keys: list[Any] = [rng.randrange(len(obj)) for _ in range(20_000)]
        else:
            keys = [f"user:{rng.randrange(n):08d}" for _ in range(20_000)]
        chunks = [keys[i : i + CHUNK] for i in range(0, len(keys), CHUNK)]
        log = logs[t]
        wall, cpu = time.perf_counter, time.thread_time
        start.wait()
        end = wall() + seconds
        while wall() < end:
            for c in chunks:
                w0, c0 = wall(), cpu()
                if mode == "get_many":
                    obj.get_many(c)
                else:
                    for k in c:
                        obj[k]
                log.append((w0, wall(), cpu() - c0))

    objs = [make(t) for t in range(threads)]
    ts = [threading.Thread(target=work, args=(t, objs[t])) for t in range(threads)]
    for th in ts:
        th.start()
    start.wait()
    for th in ts:
        th.join()

    def unbroken(chunk: tuple[float, float, float]) -> bool:
        return chunk[2] >= 0.97 * (chunk[1] - chunk[0])

    counted = []
    for me in range(threads):
        other = logs[1 - me] if threads == 2 else None
        starts = [c[0] for c in other] if other else []
        for chunk in logs[me]:
            if not unbroken(chunk):
                continue
            if other is not None:
                # The other thread's chunks from the one running at our start
                # to the one running at our end must all be unbroken.
                i = bisect.bisect_right(starts, chunk[0]) - 1
                j = bisect.bisect_left(starts, chunk[1])
                if i < 0 or other[j - 1][1] < chunk[1] or not all(unbroken(o) for o in other[i:j]):
                    continue
            counted.append(chunk[2])
    if not counted:
        return float("nan"), 0
    return sum(counted) / (len(counted) * CHUNK) * 1e9, len(counted)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--store")
    args = ap.parse_args()
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"# {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, {os.cpu_count()} cores, {args.keys:,} keys")
    with tempfile.TemporaryDirectory() as tmp:
        path = args.store or os.path.join(tmp, "scaling.tndb")
        if not os.path.exists(path):
            build(path, args.keys)
        with TarnReader(path) as shared:
            items = Items([None] * 20_000)
            cases: list[tuple[str, Callable[[int], Any], str]] = [
                ("shared r[key]", lambda t: shared, "getitem"),
                ("own r[key]", lambda t: TarnReader(path), "getitem"),
                ("shared t[i]", lambda t: items, "index"),
                ("shared get_many", lambda t: shared, "get_many"),
            ]
            print("| measure | 1 thread (CPU ns/lookup) | 2 threads at once (CPU ns/lookup) | 1 / 2 | chunks counted "
                  "(1 / 2 threads) | load average |")
            print("|---|---:|---:|---:|---|---|")
            for name, make, mode in cases:
                one = measure(make, 1, mode, args.keys, args.seconds)
                two = measure(make, 2, mode, args.keys, args.seconds)
                load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
                print(f"| {name} | {one[0]:.1f} | {two[0]:.1f} | {one[0] / two[0]:.2f} | {one[1]} / {two[1]} "
                      f"| {load} |", flush=True)


if __name__ == "__main__":
    main()
