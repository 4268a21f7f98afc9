#!/usr/bin/env python3
"""verify() against one zlib.crc32 over the same file.

    python bench/verify.py                 # 1M objects of 100 bytes (about a minute here)
    python bench/verify.py --objects 50000 --payload 100 --rounds 9

Builds one store per key order with tarndb._tarndb: keys named in object
order (the index visits records front to back) and keys shuffled against the
objects (the index visits them at random). Each is opened with verify=False
and verified once to fault the mapping in; then the median of --rounds calls
of verify() (CPU time of the calling thread) is set against the median of as many zlib.crc32 calls over the
same mapped bytes, the two alternating, so both read the same pages from the
page cache and share whatever else the machine is doing.
"""

from __future__ import annotations

import argparse
import json
import mmap
import os
import random
import statistics
import sys
import tempfile
import time
import zlib

from tarndb._tarndb import _TarnReader, _TarnWriter


def build(path: str, n: int, payload: int, shuffled: bool, seed: int) -> None:
    rnd = random.Random(seed)
    w = _TarnWriter()
    for i in range(n):
        w.add_object_raw(i.to_bytes(8, "big") + rnd.randbytes(payload - 8))
    ids = list(range(n))
    if shuffled:
        rnd.shuffle(ids)
    for k, obj in enumerate(ids):
        w.add_key(f"key{k:09d}", obj)
    fd = os.dup(1)
    try:  # the build's summary line is not part of the report
        with open(os.devnull, "wb") as null:
            os.dup2(null.fileno(), 1)
            w.build(path)
    finally:
        os.dup2(fd, 1)
        os.close(fd)


def seconds(fn) -> float:
    # CPU time of this thread: a call descheduled by other work on a shared
    # machine is not charged for the wait.
    t = time.thread_time()
    fn()
    return time.thread_time() - t


def measure(path: str, rounds: int) -> dict:
    r = _TarnReader(path, verify=False)
    r.verify()  # faults the mapping in
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as m:
        zlib.crc32(m)
        # Alternated, so that a machine shared with other work slows both alike.
        ver, crc = [], []
        for _ in range(rounds):
            ver.append(seconds(r.verify))
            crc.append(seconds(lambda: zlib.crc32(m)))
    v, c = statistics.median(ver), statistics.median(crc)
    ratios = sorted(a / b for a, b in zip(ver, crc))
    return {"file_bytes": os.path.getsize(path), "verify_s": v, "zlib_crc32_s": c, "ratio": v / c,
            "round_ratio_min": ratios[0], "round_ratio_max": ratios[-1]}


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--objects", type=int, default=1_000_000)
    ap.add_argument("--payload", type=int, default=100, help="payload bytes per object (at least 8)")
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--json", help="also write the figures to this file")
    args = ap.parse_args()
    results = {}
    with tempfile.TemporaryDirectory() as d:
        for order in ("object order", "shuffled"):
            path = os.path.join(d, "store.tndb")
            build(path, args.objects, max(8, args.payload), order == "shuffled", 2024)
            res = measure(path, args.rounds)
            results[order] = res
            n = args.objects
            print(f"{n} objects x {args.payload} B, keys in {order}: file {res['file_bytes'] / 2**20:.1f} MiB, "
                  f"verify {res['verify_s'] * 1e3:.1f} ms ({res['verify_s'] / n * 1e9:.1f} ns/object), "
                  f"zlib.crc32 {res['zlib_crc32_s'] * 1e3:.1f} ms, ratio {res['ratio']:.2f}x "
                  f"(per round {res['round_ratio_min']:.2f}-{res['round_ratio_max']:.2f})", flush=True)
            os.unlink(path)
    if args.json:
        with open(args.json, "w", encoding="utf-8") as f:
            json.dump({"objects": args.objects, "payload": args.payload, "rounds": args.rounds,
                       "results": results}, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
