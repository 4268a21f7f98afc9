"""Instructions per call of the package's read path, counted by callgrind:
figures that the load of a shared machine cannot move, beside the timings of
bench/fast_path.py.

    python bench/fast_path_callgrind.py          # needs valgrind; about 2 minutes

Each measure runs a child interpreter under `valgrind --tool=callgrind`
twice, once with no calls and once with N calls in the same loop shape (a
function looping over a list of shuffled keys of a 10k-key store), and
quotes (instructions of the second - of the first) / N: the loop is
included, the set-up is not. Batch measures make one call of N keys.
"""

from __future__ import annotations

import os
import random
import re
import subprocess
import sys
import tempfile

N = 10_000

CHILD = r"""
import random, sys, msgpack, tarndb
from tarndb import _fast, _tarndb
path, mode, n = sys.argv[1], sys.argv[2], int(sys.argv[3])
r = tarndb.TarnReader(path)
native = _tarndb._TarnReader(path)
every = list(r)
random.Random(1).shuffle(every)
raws_all = [native.get_raw(k) for k in every]
d = {k: native.get_raw(k) for k in every}
keys, raws = every[:n], raws_all[:n]  # the set-up above is the same for every n

def call(f, xs):
    for x in xs:
        f(x)

def subscript(c, xs):
    for x in xs:
        c[x]

def contains(c, xs):
    for x in xs:
        x in c

def lmdb_like(get, xs):  # a stand-in without lmdb: dict.get + msgpack.unpackb
    u = msgpack.unpackb
    for x in xs:
        u(get(x))

modes = {
    "r[key]": lambda: subscript(r, keys),
    "r.get(key)": lambda: call(r.get, keys),
    "r.raw(key)": lambda: call(r.raw, keys),
    "key in r": lambda: contains(r, keys),
    "_TarnReader.get_raw": lambda: call(native.get_raw, keys),
    "_TarnReader.exists": lambda: call(native.exists, keys),
    "_fast.unpackb(bytes)": lambda: call(_fast.unpackb, raws),
    "msgpack.unpackb(bytes)": lambda: call(msgpack.unpackb, raws),
    "dict.get + msgpack.unpackb": lambda: lmdb_like(d.get, keys),
    "dict.get": lambda: call(d.get, keys),
    "r.raw_many (per key)": lambda: r.raw_many(keys),
    "r.get_many (per key)": lambda: r.get_many(keys),
}
modes[mode]()
"""

MODES = [
    "r[key]",
    "r.get(key)",
    "r.raw(key)",
    "key in r",
    "_TarnReader.get_raw",
    "_TarnReader.exists",
    "_fast.unpackb(bytes)",
    "msgpack.unpackb(bytes)",
    "dict.get + msgpack.unpackb",
    "dict.get",
    "r.raw_many (per key)",
    "r.get_many (per key)",
]


def instructions(path: str, mode: str, n: int) -> int:
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", CHILD, path, mode, str(n)],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "PYTHONHASHSEED": "0"},
    )
    found = re.search(r"Collected : (\d+)", proc.stderr)
    if not found:
        raise RuntimeError(proc.stderr[-2000:])
    return int(found.group(1))


def main() -> None:
    from fast_data import build_tarn

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "s.tndb")
        order = list(range(N))
        random.Random(N).shuffle(order)
        build_tarn(path, order)
        print(f"| measure (10k keys, loop included) | instructions per call |\n|---|---:|")
        for mode in MODES:
            per = (instructions(path, mode, N) - instructions(path, mode, 0)) / N
            print(f"| {mode} | {per:.0f} |", flush=True)


if __name__ == "__main__":
    main()
