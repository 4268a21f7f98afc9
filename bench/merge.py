"""An update of a store whose objects are shared by two keys each: the
streaming merge against rebuilding the store from a reader.

    python bench/merge.py [--objects N] [--changes C] [--shards S] [--dir DIR]

Prints, for each way, the time, the file size and the object count, and the
peak resident memory (VmHWM) of a child process that merges two stores of N
objects each, beside that of a child that only opens the two inputs (both
read every page of the inputs once, to check their CRC-32).  Then the same
update of a sharded store of S shards (into a sharded store and into one
file), and the peak memory of merging it into a new sharded store beside
that of opening it.
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time

import tarndb

_CHILD = """
import sys, tarndb
sys.path.insert(0, {bench!r})
from common import proc_status
if sys.argv[1] == "merge":
    tarndb.merge(sys.argv[2] + ".merged", *sys.argv[2:])
elif sys.argv[1] == "merge-sharded":
    tarndb.merge(sys.argv[2] + ".merged/", *sys.argv[2:])
else:
    readers = [tarndb.TarnReader(p) for p in sys.argv[2:]]
print(proc_status()["VmHWM"])
"""


def build_store(path: str, objects: int, seed: int) -> None:
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta"]
    with tarndb.TarnWriter(path) as w:
        for i in range(objects):
            text = " ".join(rng.choice(words) for _ in range(120))
            w.add({"Package": f"pkg{i}", "Version": f"1.{i % 17}", "Description": text}, f"pkg{i}", f"id{i:07}")


def child_peak(mode: str, inputs: list[str]) -> int:
    code = _CHILD.format(bench=os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", code, mode, *inputs], capture_output=True, text=True, check=True)
    return int(out.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objects", type=int, default=63_697)
    parser.add_argument("--changes", type=int, default=100)
    parser.add_argument("--shards", type=int, default=8)
    parser.add_argument("--dir", default=None)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(dir=args.dir) as tmp:
        old = os.path.join(tmp, "old.tndb")
        build_store(old, args.objects, 1)
        old_size = os.path.getsize(old)
        print(f"store: {args.objects:,} objects, {2 * args.objects:,} keys, {old_size / 2**20:.1f} MiB")

        started = time.perf_counter()
        naive = os.path.join(tmp, "naive.tndb")
        with tarndb.TarnReader(old) as r, tarndb.TarnWriter(naive) as w:
            for key, value in r.items():
                w[key] = value
        took = time.perf_counter() - started
        with tarndb.TarnReader(naive) as r:
            print(f"rebuild from a reader: {took:.2f} s, {os.path.getsize(naive) / 2**20:.1f} MiB, "
                  f"{r.stats['num_objects']:,} objects")

        step = max(1, args.objects // args.changes)
        changes: dict[str, object] = {}
        for i in range(0, args.objects, step):
            new = {"Package": f"pkg{i}", "Version": "2.0", "Description": "changed"}
            changes[f"pkg{i}"] = changes[f"id{i:07}"] = new
        started = time.perf_counter()
        report = tarndb.merge(os.path.join(tmp, "merged.tndb"), old, changes)
        took = time.perf_counter() - started
        print(f"merge of {len(changes):,} changed keys: {took:.2f} s, {report.bytes / 2**20:.1f} MiB, "
              f"{report.objects:,} objects")

        other = os.path.join(tmp, "other.tndb")
        build_store(other, args.objects, 2)
        opened = child_peak("open", [old, other])
        merged = child_peak("merge", [old, other])
        print(f"merging two stores of {args.objects:,} objects: peak RSS {merged / 2**20:.1f} MiB, "
              f"against {opened / 2**20:.1f} MiB to open them")

        store = os.path.join(tmp, "sharded")
        tarndb.merge(store, old, shards=args.shards)
        for label, out in (("into a sharded store", os.path.join(tmp, "sharded2") + "/"),
                           ("into one file", os.path.join(tmp, "from-sharded.tndb"))):
            started = time.perf_counter()
            report = tarndb.merge(out, store, changes)
            took = time.perf_counter() - started
            print(f"sharded ({args.shards} shards) merge of {len(changes):,} changed keys {label}: {took:.2f} s, "
                  f"{report.bytes / 2**20:.1f} MiB, {report.objects:,} objects")
        opened = child_peak("open", [store])
        merged = child_peak("merge-sharded", [store])
        print(f"merging a store of {args.shards} shards into a new sharded store: peak RSS "
              f"{merged / 2**20:.1f} MiB, against {opened / 2**20:.1f} MiB to open it")


if __name__ == "__main__":
    main()
