"""What checked reads and stored arrays cost: `tarndb.TarnReader` with
`check_reads=True` (the default) against `check_reads=False`, and numpy
arrays stored as arrays against today's `to_builtin` list round trip.

    python bench/checked.py              # 10k and 1M keys, about 2 minutes
    python bench/checked.py --quick      # 10k and 100k keys

Figures, each the lowest of several passes per call (passes run round robin,
the collector off, a first pass discarded):

- r[key] on stores of 10k and 1M keys of ~100-byte values ({"id", "name",
  "tags", "text"} packed by msgpack), keys looked up in shuffled order,
  checked and unchecked readers on the same file;
- r.raw(key) of one 1 MiB value, checked and unchecked;
- r[key] of a 768-float32 array in a store of 100k such arrays, against
  the same data stored by `default=tarndb.to_builtin` as a list and turned
  back into an array (`np.asarray(r[key], dtype=np.float32)`), and the
  stored size of one array value.
"""

from __future__ import annotations

import argparse
import gc
import os
import random
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

import tarndb

perf_ns = time.perf_counter_ns


def value(i: int) -> dict[str, Any]:
    return {"id": i, "name": f"item-{i}", "tags": [1, 2, 3], "text": "lorem ipsum dolor sit amet " * 2 + "consectetur "}


def key(i: int) -> str:
    return f"user:{i:07d}"


def timed(loops: dict[str, Callable[[], int]], passes: int) -> dict[str, float]:
    """Nanoseconds per call of each loop (a loop returns its call count):
    the lowest of *passes* round-robin passes after one warm-up."""
    best = {name: float("inf") for name in loops}
    gc.disable()
    try:
        for p in range(passes + 1):
            for name, loop in loops.items():
                t0 = perf_ns()
                n = loop()
                dt = (perf_ns() - t0) / n
                if p:
                    best[name] = min(best[name], dt)
    finally:
        gc.enable()
    return best


def lookups(path: str, n: int, sample: int, passes: int) -> dict[str, float]:
    checked = tarndb.TarnReader(path)
    unchecked = tarndb.TarnReader(path, check_reads=False)
    keys = [key(i) for i in random.Random(7).sample(range(n), min(n, sample))]

    def loop(r: tarndb.TarnReader) -> Callable[[], int]:
        def run() -> int:
            for k in keys:
                r[k]
            return len(keys)

        return run

    return timed({"checked": loop(checked), "unchecked": loop(unchecked)}, passes)


def build_values(path: str, n: int) -> None:
    with tarndb.TarnWriter(path) as w:
        for i in random.Random(1).sample(range(n), n):
            w[key(i)] = value(i)


def raw_1mib(path: str, passes: int) -> dict[str, float]:
    with tarndb.TarnWriter(path) as w:
        w["big"] = os.urandom(1 << 20)
    checked = tarndb.TarnReader(path)
    unchecked = tarndb.TarnReader(path, check_reads=False)

    def loop(r: tarndb.TarnReader) -> Callable[[], int]:
        def run() -> int:
            for _ in range(200):
                r.raw("big")
            return 200

        return run

    return timed({"checked": loop(checked), "unchecked": loop(unchecked)}, passes)


def arrays(directory: str, n: int, passes: int) -> dict[str, float]:
    rng = np.random.default_rng(3)
    base = rng.standard_normal(768).astype(np.float32)
    as_array, as_list = os.path.join(directory, "arrays.tndb"), os.path.join(directory, "lists.tndb")
    with tarndb.TarnWriter(as_array) as w:
        for i in range(n):
            w[key(i)] = base + np.float32(i)
    with tarndb.TarnWriter(as_list, default=tarndb.to_builtin) as w:
        for i in range(n):
            w[key(i)] = (base + np.float32(i)).tolist()
    ra, rl = tarndb.TarnReader(as_array), tarndb.TarnReader(as_list)
    keys = [key(i) for i in random.Random(5).sample(range(n), min(n, 20_000))]
    assert np.array_equal(ra[keys[0]], np.asarray(rl[keys[0]], dtype=np.float32))

    def array_loop() -> int:
        for k in keys:
            ra[k]
        return len(keys)

    def list_loop() -> int:
        asarray, f32 = np.asarray, np.float32
        for k in keys:
            asarray(rl[k], dtype=f32)
        return len(keys)

    out = timed({"array": array_loop, "list round trip": list_loop}, passes)
    out["stored bytes"] = float(len(ra.raw(keys[0])))
    out["array bytes"] = float(base.nbytes)
    return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="10k and 100k keys")
    args = parser.parse_args(argv)
    sizes = [10_000, 100_000 if args.quick else 1_000_000]
    print(f"python {sys.version.split()[0]}, tarndb {tarndb.__version__}")
    with tempfile.TemporaryDirectory() as d:
        rows = []
        for n in sizes:
            path = os.path.join(d, f"v{n}.tndb")
            build_values(path, n)
            with tarndb.TarnReader(path) as r:
                size = len(r.raw(key(0)))
            t = lookups(path, n, sample=200_000, passes=31 if n <= 100_000 else 9)
            rows.append((f"r[key], {n:,} keys ({size}-byte values)", t["checked"], t["unchecked"]))
            os.unlink(path)
        t = raw_1mib(os.path.join(d, "big.tndb"), passes=15)
        rows.append(("r.raw(key), one 1 MiB value", t["checked"], t["unchecked"]))
        print(f"\n{'read':<44} {'checked':>10} {'unchecked':>10} {'ratio':>7}")
        for name, c, u in rows:
            unit = "µs" if c > 10_000 else "ns"
            scale = 1000 if unit == "µs" else 1
            print(f"{name:<44} {c / scale:>8.1f}{unit} {u / scale:>8.1f}{unit} {c / u:>6.3f}x")
        a = arrays(d, 100_000, passes=15)
        print(f"\n768-float32 arrays, 100,000 keys")
        print(f"  r[key] -> ndarray            {a['array'] / 1000:8.3f} µs")
        print(f"  to_builtin list round trip   {a['list round trip'] / 1000:8.3f} µs  ({a['list round trip'] / a['array']:.1f}x slower)")
        print(f"  stored value                 {a['stored bytes']:.0f} bytes for {a['array bytes']:.0f} bytes of items "
              f"(+{a['stored bytes'] - a['array bytes']:.0f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
