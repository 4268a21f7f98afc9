"""msgpack decoding, ns per call: tarndb._fast.unpackb beside msgpack.unpackb
(as the package called it before, strict_map_key=False) and, when it is
installed, msgspec.msgpack.decode.

    .venv/bin/python bench/decode.py [--repeat 7] [--number 200000]

Each figure is the best of --repeat timings of --number calls (the best run
is the one least disturbed by the other work on the machine; the decoders
take turns, round by round), for a few
payloads: the reference record, a list of 100 such records, 4 KiB of ASCII
and of non-ASCII text, and a nested document of mixed types.
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable

import msgpack

from tarndb import _fast

try:
    import msgspec
except ImportError:  # optional yardstick
    msgspec = None


def record(i: int) -> dict[str, Any]:
    return {"id": i, "name": f"item-{i}", "tags": [1, 2, 3]}


PAYLOADS: dict[str, bytes] = {
    "record": msgpack.packb(record(12345)),
    "100 records": msgpack.packb([record(i) for i in range(100)]),
    "str 4 KiB": msgpack.packb("x" * 4096),
    "non-ASCII str 4 KiB": msgpack.packb("日本語のテキスト" * 170),
    "mixed": msgpack.packb(
        {
            "user": {"id": 2**40, "name": "Ünïcødé name", "score": 0.25, "active": True, "tags": None},
            "blob": b"\x00" * 64,
            "points": [[i, -i, i * 0.5] for i in range(20)],
            "empty": {},
        }
    ),
}


def time_ns(fn: Callable[[bytes], Any], data: bytes, number: int) -> float:
    t0 = time.perf_counter_ns()
    for _ in range(number):
        fn(data)
    return (time.perf_counter_ns() - t0) / number


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--number", type=int, default=200_000)
    args = ap.parse_args()

    decoders: dict[str, Callable[[bytes], Any]] = {
        "tarndb._fast.unpackb": _fast.unpackb,
        "msgpack.unpackb": lambda b: msgpack.unpackb(b, strict_map_key=False),
    }
    if msgspec is not None:
        decoders["msgspec.msgpack.decode"] = msgspec.msgpack.decode

    for name, data in PAYLOADS.items():
        want = msgpack.unpackb(data, strict_map_key=False)
        # Scale the count down for the large payloads, to keep each run short.
        number = max(1000, args.number * 60 // max(60, len(data)))
        print(f"{name} ({len(data)} bytes), best of {args.repeat} x {number}:")
        best = {}
        for label, fn in decoders.items():
            assert fn(data) == want, label
            best[label] = float("inf")
        # The decoders take turns in each round, so that a change in the
        # machine's load falls on all of them alike.
        for _ in range(args.repeat):
            for label, fn in decoders.items():
                best[label] = min(best[label], time_ns(fn, data, number))
        base = best["msgpack.unpackb"]
        for label, ns in best.items():
            print(f"  {label:24s} {ns:10.1f} ns  {ns / base:5.2f}x msgpack")


if __name__ == "__main__":
    main()
