"""Read scaling: one TarnReader shared by 1 and by 2 threads.

    python bench/read_scaling.py [--keys 1000000] [--seconds 3] [--store PATH] [--closure]

Each thread looks up random keys of a store of --keys keys, either one at a
time (``r[key]``) or in batches of 1000 (``r.get_many(batch)``), for about
--seconds, and the throughput of all threads together is compared with that
of one thread. Each thread makes its own keys before the start, so that the
threads share nothing but the reader, which each thread's function is
given as an argument and so reads as a local variable. With --closure the
loops read it from a variable of the enclosing function instead, as this
benchmark did at first: on 3.13t each such read locks the variable's cell,
one lock that both threads take for every ``r[key]``, a cost of the
interpreter in which the reader plays no part. Run it on a free-threaded
interpreter (``tools/free-threaded-python``) to see the reads run in parallel; with the
GIL, two threads take turns. The machine's load average is printed beside
the figures: other work on the machine takes cores from the threads, so the
wall-clock ratio means something only on an otherwise idle machine. The
lookups per CPU-second of the threads do not depend on that load: where two
threads need no more CPU time per lookup than one (a ratio near 1.00), two
free cores give them twice the throughput of one.

The store is built once into --store (default: a file in the temporary
directory, removed at the end).
"""

from __future__ import annotations

import argparse
import os
import random
import sys
import sysconfig
import tempfile
import threading
import time

from tarndb import TarnReader, TarnWriter

BATCH = 1000


def build(path: str, n: int) -> None:
    with TarnWriter(path) as w:
        for i in range(n):
            w.add({"id": i, "name": f"user {i}", "tags": ["a", "b"], "score": i * 0.5}, f"user:{i:08d}")


def run(r: TarnReader, n: int, threads: int, mode: str, seconds: float, closure: bool) -> tuple[float, float]:
    """Lookups per second of `threads` threads together, and lookups per
    second of CPU time that the threads used; `closure`: the loops read the
    reader from this function's variable r, not from their own argument."""
    start = threading.Barrier(threads + 1)
    done = [0] * threads
    cpu = [0.0] * threads

    def work(t: int, reader: TarnReader) -> None:
        rng = random.Random(t)
        keys = [f"user:{rng.randrange(n):08d}" for _ in range(200_000)]
        batches = [keys[i : i + BATCH] for i in range(0, len(keys), BATCH)]
        start.wait()
        end = time.perf_counter() + seconds
        cpu0 = time.thread_time()
        count = 0
        if mode == "r[key]" and not closure:
            while time.perf_counter() < end:
                for k in keys[:20_000]:
                    reader[k]
                count += 20_000
        elif mode == "r[key]":
            while time.perf_counter() < end:
                for k in keys[:20_000]:
                    r[k]  # run()'s variable: a cell, locked for each read on 3.13t
                count += 20_000
        elif not closure:
            while time.perf_counter() < end:
                for b in batches[:20]:
                    reader.get_many(b)
                count += 20 * BATCH
        else:
            while time.perf_counter() < end:
                for b in batches[:20]:
                    r.get_many(b)
                count += 20 * BATCH
        done[t] = count
        cpu[t] = time.thread_time() - cpu0

    ts = [threading.Thread(target=work, args=(t, r)) for t in range(threads)]
    for t in ts:
        t.start()
    start.wait()
    began = time.perf_counter()
    for t in ts:
        t.join()
    return sum(done) / (time.perf_counter() - began), sum(done) / sum(cpu)


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--store")
    ap.add_argument("--closure", action="store_true", help="the loops read the reader from a closure variable")
    args = ap.parse_args()

    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    where = "closure" if args.closure else "local"
    print(f"# {sys.version.split()[0]}{' free-threaded' if free else ''}, GIL {'on' if gil else 'off'}, "
          f"{os.cpu_count()} cores, {args.keys:,} keys, the reader in a {where} variable")
    with tempfile.TemporaryDirectory() as tmp:
        path = args.store or os.path.join(tmp, "scaling.tndb")
        if not os.path.exists(path):
            t0 = time.perf_counter()
            build(path, args.keys)
            print(f"# store built in {time.perf_counter() - t0:.1f} s")
        with TarnReader(path) as r:
            assert len(r) == args.keys
            print("| interpreter | measure | 1 thread (lookups/s) | 2 threads (lookups/s) | 2 vs 1 (wall clock) "
                  "| per CPU-second, 2 vs 1 | 2 vs 1 with two free cores | load average |")
            print("|---|---|---:|---:|---:|---:|---:|---|")
            for mode in ("r[key]", "get_many"):
                # The best of --repeat runs of each: other work on the machine only slows a run down.
                one = max(run(r, args.keys, 1, mode, args.seconds, args.closure) for _ in range(args.repeat))
                two = max(run(r, args.keys, 2, mode, args.seconds, args.closure) for _ in range(args.repeat))
                load = " / ".join(f"{x:.2f}" for x in os.getloadavg())
                name = f"{sys.version_info.major}.{sys.version_info.minor}{'t' if free else ''}"
                # Work per CPU-second does not depend on what else the machine runs:
                # if two threads need no more CPU time per lookup than one, two free
                # cores give twice the throughput (with the GIL the threads take turns,
                # so only the wall-clock column counts there).
                efficiency = two[1] / one[1]
                projected = f"{2 * efficiency:.2f}x" if not gil else "-"
                print(f"| {name} | {mode} | {one[0]:,.0f} | {two[0]:,.0f} | {two[0] / one[0]:.2f}x "
                      f"| {efficiency:.2f} | {projected} | {load} |", flush=True)


if __name__ == "__main__":
    main()
