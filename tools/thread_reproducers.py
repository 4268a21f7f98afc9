"""Runs the two uses that crashed without the GIL, each many times, every
run in a fresh child process with a time limit, and counts what happened.

    py=$(tools/free-threaded-python)
    build/venv-3.13t/bin/python tools/thread_reproducers.py [--runs 100] [--timeout 60]

1. shared-iterator: ``it = iter(r)``, then 4 threads each run
   ``for _ in it: pass``; repeated 20 times per run, with a fresh iterator
   each time. Every key must come out exactly once over all threads.
2. get_many-shared-list: 4 threads call ``r.get_many(keys)`` on one list
   while 2 threads extend it and delete from it; each batch's result must
   be one value per key, and the right value for every key.

A run passes when its child exits 0 within the time limit; a crash (a
signal), a hang (the limit) or a wrong result fails it. Prints the counts
and exits 1 if any run failed. On an interpreter with the GIL the same
code runs, with the threads taking turns.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import textwrap

CHILD = textwrap.dedent(
    """
    import sys, threading
    import tarndb

    which, path = sys.argv[1], sys.argv[2]
    r = tarndb.TarnReader(path)
    keys = list(r.keys())

    def shared_iterator():
        for _ in range(20):
            it = iter(r)
            seen = [[] for _ in range(4)]
            def drain(out):
                for k in it:
                    out.append(k)
            ts = [threading.Thread(target=drain, args=(seen[i],)) for i in range(4)]
            for t in ts: t.start()
            for t in ts: t.join()
            got = sorted(k for s in seen for k in s)
            if got != keys:
                sys.exit(f"shared iterator: {len(got)} keys out, {len(keys)} in the store")

    def get_many_shared_list():
        shared = keys[:2000]
        stop = threading.Event()
        errors = []
        def change():
            i = 0
            while not stop.is_set():
                shared.extend(keys[i % len(keys): i % len(keys) + 50])
                del shared[: 50]
                i += 50
        def read():
            for _ in range(200):
                batch = r.get_many(shared)
                # Each item is the value of some key of the store: {"n": i} for key k{i:06d}.
                for v in batch:
                    if not (isinstance(v, dict) and f"k{v['n']:06d}" in r):
                        errors.append(v)
                        return
        writers = [threading.Thread(target=change) for _ in range(2)]
        readers = [threading.Thread(target=read) for _ in range(4)]
        for t in writers + readers: t.start()
        for t in readers: t.join()
        stop.set()
        for t in writers: t.join()
        if errors:
            sys.exit(f"get_many on a changing list gave {errors[0]!r}")

    {"shared-iterator": shared_iterator, "get_many-shared-list": get_many_shared_list}[which]()
    """
)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=100)
    ap.add_argument("--timeout", type=float, default=60.0, help="seconds a run may take before it counts as a hang")
    opts = ap.parse_args()

    import tarndb

    gil = sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True
    print(f"# {sys.version.split()[0]}, GIL {'on' if gil else 'off'}, {opts.runs} runs each")
    failed = 0
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "store.tndb")
        with tarndb.TarnWriter(path) as w:
            for i in range(20_000):
                w[f"k{i:06d}"] = {"n": i}
        for which in ("shared-iterator", "get_many-shared-list"):
            counts = {"passed": 0, "crashed": 0, "hung": 0, "wrong": 0}
            first = ""
            for _ in range(opts.runs):
                try:
                    p = subprocess.run([sys.executable, "-c", CHILD, which, path], capture_output=True,
                                       text=True, timeout=opts.timeout)
                except subprocess.TimeoutExpired:
                    counts["hung"] += 1
                    continue
                outcome = "passed" if p.returncode == 0 else "crashed" if p.returncode < 0 else "wrong"
                counts[outcome] += 1
                if outcome != "passed" and not first:
                    first = f" (first: exit {p.returncode}: {p.stderr.strip()[-300:]})"
            failed += opts.runs - counts["passed"]
            print(f"{which}: " + ", ".join(f"{n} {k}" for k, n in counts.items()) + first)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
