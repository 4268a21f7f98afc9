"""Opening a large store in constant time: a file that carries its lookup
index against one that does not (the index decoded into memory at open, as
every file was read before), with py-lmdb on the same data in the same run.

    python bench/lookup_index.py build               # once: about 10 minutes at 10M keys
    python bench/lookup_index.py measure             # the figures, a few minutes
    python bench/lookup_index.py measure --small-pages   # the files cached in small folios
    python bench/lookup_index.py interleaved [--small-pages]  # lookups of both files in one process, in turns
    python bench/lookup_index.py build --keys 1000000   # a smaller set for a quick look
    python bench/lookup_index.py buildtime --keys 2000000   # build() with and without the index, CPU time
    python bench/lookup_index.py buildtime --keys 2000000 --repeat 3 \
        --python OLD/.venv/bin/python --python .venv/bin/python  # TarnWriter of two installs
    python bench/lookup_index.py sharded --keys 2000000 --shards 8   # a sharded store: open and memory

Data (bench/results/tmp/lookup-<keys>/, kept between runs): str keys
"user:" and 15 digits (20 bytes), values {"id": int, "name": str, "tags":
[1, 2, 3]} packed by msgpack (45 bytes), about 808 MB at 10M keys:

* indexed.tndb: written by tarndb.TarnWriter, which gives it a lookup index;
* plain.tndb: the same content from the low-level writer, which writes none
  (so tarndb.TarnReader decodes its index at open, the earlier behaviour);
* lmdb/: py-lmdb, the same pairs.

`build` times the two builds on the same staged content (each staging
included) and records them, with the file sizes, in build.json beside the
data. `measure` runs every measurement in a fresh child process and prints
one table (and `--json FILE`). Memory is read from /proc/self/smaps_rollup:
Private_Dirty (the process's own written pages: anonymous memory) and
Private_Clean (clean pages of the mapped file that no other process maps at
the moment; shared through the page cache as soon as one does), as the
difference between before opening and after the work. The files are brought
into the page cache afresh (their cached pages dropped first) through a
mapping advised MADV_HUGEPAGE, as a reader's own mapping brings them in; the
lookups row "in huge pages" tells how much of each file's mapping the kernel
mapped with 2 MiB entries.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def key(i: int) -> str:
    return f"user:{i:015d}"


def value(i: int) -> dict:
    return {"id": i, "name": f"customer-{i:012d}", "tags": [1, 2, 3]}


def data_dir(keys: int) -> Path:
    return HERE / "results" / "tmp" / f"lookup-{keys}"


def build(keys: int) -> None:
    import msgpack

    import tarndb
    from tarndb._tarndb import _TarnWriter

    d = data_dir(keys)
    d.mkdir(parents=True, exist_ok=True)
    order = list(range(keys))
    random.Random(1).shuffle(order)
    payloads = [msgpack.packb(value(i)) for i in order]
    names = [key(i) for i in order]
    figures: dict = {"keys": keys, "payload_bytes": sum(map(len, payloads)) / keys}

    def stage(w, add_object, add_key):  # the same loop for both writers
        for k, p in zip(names, payloads):
            add_key(k, add_object(p))

    # The package's writer: with the lookup index.
    from tarndb import _fast

    w = _fast.Writer()
    t0 = time.perf_counter()
    stage(w, w.add_object_raw, w.add_key)
    t1 = time.perf_counter()
    report = w.build(str(d / "indexed.tndb"))
    t2 = time.perf_counter()
    figures["indexed"] = {"stage_s": t1 - t0, "build_s": t2 - t1, "bytes": report[4], "index_bytes": report[6]}
    del w

    # The low-level writer, same core, no lookup index.
    w = _TarnWriter()
    t0 = time.perf_counter()
    stage(w, w.add_object_raw, w.add_key)
    t1 = time.perf_counter()
    saved = os.dup(1)  # its summary line goes to descriptor 1
    with open(os.devnull, "wb") as null:
        os.dup2(null.fileno(), 1)
        try:
            w.build(str(d / "plain.tndb"))
        finally:
            os.dup2(saved, 1)
            os.close(saved)
    t2 = time.perf_counter()
    figures["plain"] = {"stage_s": t1 - t0, "build_s": t2 - t1, "bytes": os.path.getsize(d / "plain.tndb")}
    del w

    import lmdb

    env = lmdb.open(str(d / "lmdb"), map_size=8 << 30, subdir=True, sync=False, writemap=True)
    t0 = time.perf_counter()
    batch = 200_000
    for s in range(0, keys, batch):
        with env.begin(write=True) as txn:
            for k, p in zip(names[s : s + batch], payloads[s : s + batch]):
                txn.put(k.encode(), p)
    env.sync()
    figures["lmdb"] = {"build_s": time.perf_counter() - t0}
    env.close()
    (d / "build.json").write_text(json.dumps(figures, indent=2))
    print(json.dumps(figures, indent=2))


def buildtime(keys: int) -> None:
    """The same content staged into both writers, then built alternately:
    CPU time (process_time), which other load on the machine disturbs far
    less than wall time."""
    import tempfile

    import msgpack

    from tarndb import _fast
    from tarndb._tarndb import _TarnWriter

    order = list(range(keys))
    random.Random(1).shuffle(order)
    payloads = [msgpack.packb(value(i)) for i in order]
    names = [key(i) for i in order]

    def stage(w) -> float:
        c0 = time.process_time()
        add_object, add_key = w.add_object_raw, w.add_key
        for k, p in zip(names, payloads):
            add_key(k, add_object(p))
        return time.process_time() - c0

    indexed, plain = _fast.Writer(), _TarnWriter()
    print(f"staging: indexed {stage(indexed):.2f} s, plain {stage(plain):.2f} s (CPU)")
    d = data_dir(keys)
    d.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=d) as tmp:
        saved, null = os.dup(1), os.open(os.devnull, os.O_WRONLY)
        for rnd in range(2):
            c0 = time.process_time()
            indexed.build(os.path.join(tmp, "i.tndb"))
            ci = time.process_time() - c0
            os.dup2(null, 1)  # the low-level build's summary line
            try:
                c0 = time.process_time()
                plain.build(os.path.join(tmp, "p.tndb"))
                cp = time.process_time() - c0
            finally:
                os.dup2(saved, 1)
            print(f"round {rnd}: build() indexed {ci:.2f} s, plain {cp:.2f} s (CPU), {ci / cp:.2f}x", flush=True)


# One build through the API users call, in a fresh process of the
# interpreter under test: tarndb.TarnWriter, w.add(obj, key) per pair
# (msgpack packing included), then build(). The pairs are made before the
# clock starts; CPU time (process_time: every thread of the process) and
# wall time of staging and build apart.
BUILD_CHILD = textwrap.dedent(
    r"""
    import json, os, random, sys, time
    import tarndb

    keys, out = int(sys.argv[1]), sys.argv[2]
    order = list(range(keys))
    random.Random(1).shuffle(order)
    pairs = [(f"user:{i:015d}", {"id": i, "name": f"customer-{i:012d}", "tags": [1, 2, 3]}) for i in order]
    del order
    c0, t0 = time.process_time(), time.perf_counter()
    w = tarndb.TarnWriter(out)
    add = w.add
    for k, v in pairs:
        add(v, k)
    c1, t1 = time.process_time(), time.perf_counter()
    report = w.build()
    c2, t2 = time.process_time(), time.perf_counter()
    print(json.dumps({
        "stage_cpu": c1 - c0, "stage_wall": t1 - t0, "build_cpu": c2 - c1, "build_wall": t2 - t1,
        "bytes": report.bytes, "lookup_index_bytes": getattr(report, "lookup_index_bytes", 0),
    }))
    """
)


def buildtime_between(keys: int, pythons: list[str], repeat: int) -> None:
    """The package's TarnWriter (staging and build) of each interpreter's
    install, on the same pairs, in fresh processes taking turns, *repeat*
    rounds; medians, and each against the first interpreter's."""
    import tempfile

    d = data_dir(keys)
    d.mkdir(parents=True, exist_ok=True)
    runs: dict[str, list[dict]] = {py: [] for py in pythons}
    with tempfile.TemporaryDirectory(dir=d) as tmp:
        for rnd in range(repeat):
            for py in pythons:
                load = os.getloadavg()[0]
                out = os.path.join(tmp, "b.tndb")
                p = subprocess.run([py, "-c", BUILD_CHILD, str(keys), out], capture_output=True, text=True,
                                   check=True, cwd=tmp)
                os.unlink(out)
                fig = {**json.loads(p.stdout), "load": load}
                runs[py].append(fig)
                print(f"round {rnd} {py}: staging {fig['stage_cpu']:.2f} s CPU / {fig['stage_wall']:.2f} s wall, "
                      f"build() {fig['build_cpu']:.2f} / {fig['build_wall']:.2f}, {fig['bytes']:,} bytes "
                      f"(lookup index {fig['lookup_index_bytes']:,}), load {load:.2f}", flush=True)
    med = statistics.median
    base = runs[pythons[0]]
    print(f"median of {repeat} at {keys:,} keys (CPU / wall, s; ratio to {pythons[0]}):")
    for py in pythons:
        r = runs[py]
        cols = []
        for what in ("stage", "build"):
            c, w = med(x[f"{what}_cpu"] for x in r), med(x[f"{what}_wall"] for x in r)
            cb, wb = med(x[f"{what}_cpu"] for x in base), med(x[f"{what}_wall"] for x in base)
            cols.append(f"{what} {c:.2f} / {w:.2f} ({c / cb:.2f}x / {w / wb:.2f}x)")
        tc = med(x["stage_cpu"] + x["build_cpu"] for x in r)
        tw = med(x["stage_wall"] + x["build_wall"] for x in r)
        tcb = med(x["stage_cpu"] + x["build_cpu"] for x in base)
        twb = med(x["stage_wall"] + x["build_wall"] for x in base)
        cols.append(f"total {tc:.2f} / {tw:.2f} ({tc / tcb:.2f}x / {tw / twb:.2f}x)")
        print(f"  {py}: " + ", ".join(cols))


def sharded(keys: int, shards: int) -> None:
    """A sharded store (built once by tarndb.TarnWriter with *shards*
    shards, kept under bench/results/tmp/sharded-<keys>-<shards>/) opened
    as the indexed file is in `measure`: open time with verify=False and
    verify=True, Private_Dirty after open and after lookups + len() + a
    full iteration, each in a fresh child; verify() time beside."""
    import msgpack

    import tarndb

    d = HERE / "results" / "tmp" / f"sharded-{keys}-{shards}"
    if not (d / "manifest.json").exists():
        order = list(range(keys))
        random.Random(1).shuffle(order)
        t0 = time.perf_counter()
        with tarndb.TarnWriter(d, shards=shards, workers=2) as w:
            for i in order:
                w.add_raw(msgpack.packb(value(i)), key(i))
        print(f"built {d} in {time.perf_counter() - t0:.1f} s", flush=True)
    for f in sorted(d.rglob("*.tndb")):  # into the page cache
        with open(f, "rb") as fh:
            while fh.read(1 << 24):
                pass
    load = os.getloadavg()
    opened = child("open", d, keys, env={"REPEAT": "20"})["open_s"]
    checked = child("open_verify_only", d, keys, env={"REPEAT": "3"})
    mem = child("memory", d, keys)
    after = os.getloadavg()
    with tarndb.TarnReader(d, verify=False) as r:
        t0 = time.perf_counter()
        r.misplaced_keys()  # the walk over every key that opening once did
        walk_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        r.verify()
        verify_s = time.perf_counter() - t0
        st = r.stats
        per_shard = [s["lookup_index_bytes"] for s in r.shard_stats()]
    print(f"{keys:,} keys in {shards} shards, lookup index in every shard: {all(per_shard)} "
          f"({st['lookup_index_bytes'] / keys:.2f} bytes per key)")
    print(f"open, verify=False (ms, median of 20): {statistics.median(opened) * 1e3:.3f}")
    print(f"open, verify=True (ms, median of 3): {statistics.median(checked['open_s']) * 1e3:,.0f}")
    print(f"routing walk over every key, as verify() does it (ms): {walk_s * 1e3:,.0f}")
    print(f"verify() (ms): {verify_s * 1e3:,.0f}")
    print(f"Private_Dirty after open alone (MiB): {delta(mem['before'], mem['opened'], 'Private_Dirty'):.2f}")
    print(f"Private_Dirty after open + 200k lookups + len + iteration (MiB): "
          f"{delta(mem['before'], mem['after'], 'Private_Dirty'):.2f}")
    print(f"load average before {load[0]:.2f}, after {after[0]:.2f}")


# ----------------------------------------------------------------- children

CHILD = textwrap.dedent(
    r"""
    import json, os, random, sys, time, zlib, mmap
    import tarndb

    def private():
        out = {}
        with open("/proc/self/smaps_rollup") as f:
            for line in f:
                name, _, rest = line.partition(":")
                if name in ("Private_Clean", "Private_Dirty", "Anonymous", "Rss"):
                    out[name] = int(rest.split()[0])  # KiB
        return out

    def key(i):
        return f"user:{i:015d}"

    def mapping(path):  # this process's mapping of the file: resident and huge-page-mapped KiB
        out, cur = {}, None
        with open("/proc/self/smaps") as f:
            for line in f:
                head = line.split()
                if head and "-" in head[0] and ":" not in head[0]:
                    cur = line.rstrip().endswith(os.path.realpath(path))
                elif cur and head[0] in ("Rss:", "FilePmdMapped:"):
                    out[head[0][:-1]] = out.get(head[0][:-1], 0) + int(head[1])
        return out

    job, path, keys = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rng = random.Random(int(sys.argv[4]) if len(sys.argv) > 4 else 2)
    out = {}
    if job in ("open", "open_verify_only"):
        verify = job == "open_verify_only"
        times = []
        for _ in range(int(os.environ.get("REPEAT", "3" if verify else "5"))):
            t0 = time.perf_counter()
            r = tarndb.TarnReader(path, verify=verify)
            times.append(time.perf_counter() - t0)
            r.close()
            del r
        out["open_s"] = times
    elif job == "open_verify":
        with open(path, "rb") as f:
            m = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
            t0 = time.perf_counter(); zlib.crc32(m[40:]); out["crc32_s"] = time.perf_counter() - t0
            m.close()
        t0 = time.perf_counter()
        r = tarndb.TarnReader(path, verify=True)
        out["open_verify_s"] = time.perf_counter() - t0
    elif job == "memory":
        probe = [key(rng.randrange(keys)) for _ in range(200_000)]
        before = private()
        r = tarndb.TarnReader(path, verify=False)
        opened = private()
        for k in probe:
            r.raw(k)
        n = len(r)
        for _ in r:
            pass
        after = private()
        out = {"before": before, "opened": opened, "after": after, "len": n}
    elif job == "workers":
        probe = [key(rng.randrange(keys)) for _ in range(100_000)]
        before = private()
        r = tarndb.TarnReader(path, verify=False)
        for k in probe:
            r.raw(k)
        after = private()
        out = {"before": before, "after": after}
    elif job == "lookups":
        import gc
        gc.disable()
        probe = [key(rng.randrange(keys)) for _ in range(1_000_000)]
        r = tarndb.TarnReader(path, verify=False)
        def timed(f):
            best = None
            for _ in range(3):
                t0 = time.perf_counter(); f(); t = time.perf_counter() - t0
                best = t if best is None else min(best, t)
            return best / len(probe) * 1e9
        raw = r.raw
        def loop_raw():
            for k in probe: raw(k)
        def loop_item():
            for k in probe: r[k]
        def many():
            r.get_many(probe)
        for k in probe: raw(k)  # warm the page cache's mapping of this process
        out = {"raw_ns": timed(loop_raw), "item_ns": timed(loop_item), "get_many_ns": timed(many)}
        out["mapping"] = mapping(path)
    elif job == "interleaved":
        # Both files open in one process, their passes taking turns, each
        # figure the best of all its passes: the least disturbed by the load.
        import gc
        gc.disable()
        probe = [key(rng.randrange(keys)) for _ in range(500_000)]
        readers = {"indexed": tarndb.TarnReader(path, verify=False),
                   "plain": tarndb.TarnReader(sys.argv[5], verify=False)}
        passes = {
            "raw_ns": lambda r: [r.raw(k) for k in probe],
            "item_ns": lambda r: [r[k] for k in probe],
            "get_many_ns": lambda r: r.get_many(probe),
        }
        for r in readers.values():
            passes["raw_ns"](r)  # warm this process's mappings
        out = {name: {f: float("inf") for f in passes} for name in readers}
        for _ in range(int(os.environ.get("PASSES", "7"))):
            for f, run in passes.items():
                for name, r in readers.items():
                    t0 = time.perf_counter(); run(r); t = time.perf_counter() - t0
                    out[name][f] = min(out[name][f], t / len(probe) * 1e9)
        out["load"] = os.getloadavg()[0]
    elif job == "lmdb":
        import gc, lmdb
        gc.disable()
        probe = [key(rng.randrange(keys)).encode() for _ in range(1_000_000)]
        before = private()
        t0 = time.perf_counter()
        env = lmdb.open(path, readonly=True, lock=False, subdir=True)
        txn = env.begin(buffers=False)
        out["open_s"] = time.perf_counter() - t0
        get = txn.get
        for k in probe: get(k)
        best = None
        for _ in range(3):
            t0 = time.perf_counter()
            for k in probe: get(k)
            t = time.perf_counter() - t0
            best = t if best is None else min(best, t)
        out["get_ns"] = best / len(probe) * 1e9
        out["memory"] = {"before": before, "after": private()}
    print(json.dumps(out))
    """
)


ROUNDS = int(os.environ.get("ROUNDS", "3"))


def child(job: str, path: Path, keys: int, seed: int = 2, env: dict | None = None) -> dict:
    p = subprocess.run(
        [sys.executable, "-c", CHILD, job, str(path), str(keys), str(seed)],
        capture_output=True, text=True, check=True, env={**os.environ, **(env or {})},
    )
    return json.loads(p.stdout)


def interleaved(keys: int, small_pages: bool) -> None:
    """The lookups of both files in one process, taking turns, best of 7."""
    d = data_dir(keys)
    for f in (d / "indexed.tndb", d / "plain.tndb"):
        warm(f, small_pages)
    p = subprocess.run([sys.executable, "-c", CHILD, "interleaved", str(d / "indexed.tndb"), str(keys), "2",
                        str(d / "plain.tndb")], capture_output=True, text=True, check=True)
    out = json.loads(p.stdout)
    i, q = out["indexed"], out["plain"]
    for f in ("raw_ns", "item_ns", "get_many_ns"):
        print(f"{f[:-3]:>9}: indexed {i[f]:.0f} ns, plain {q[f]:.0f} ns, {i[f] / q[f]:.2f}x")
    print(f"load average before {os.getloadavg()[0]:.2f} (1 min), in the child at the end {out['load']:.2f}")


def warm(path: Path, small_pages: bool = False) -> None:
    """Brings the file into the page cache as a reader's mapping does: advised
    MADV_HUGEPAGE, so that its pages arrive in folios of huge-page size,
    which a mapping maps with one entry each. The file's cached pages are dropped first, so that what an
    earlier run or tool left there does not decide the figures. With
    `small_pages`, page by page in small folios instead (as pages that a
    writer wrote in small pieces, or a copy, leave there), for the figures
    of that case."""
    import mmap

    with open(path, "rb") as fh, mmap.mmap(fh.fileno(), 0, access=mmap.ACCESS_READ) as m:
        os.posix_fadvise(fh.fileno(), 0, 0, os.POSIX_FADV_DONTNEED)
        if small_pages:
            # No read-ahead and no huge pages: each page comes in alone.
            m.madvise(mmap.MADV_NOHUGEPAGE)
            m.madvise(mmap.MADV_RANDOM)
        elif hasattr(mmap, "MADV_HUGEPAGE"):
            m.madvise(mmap.MADV_HUGEPAGE)
        for off in range(0, len(m), 4096):
            m[off]


def delta(a: dict, b: dict, field: str) -> float:
    return (b[field] - a[field]) / 1024  # MiB


def measure(keys: int, out_json: str | None, small_pages: bool = False) -> None:
    d = data_dir(keys)
    built = json.loads((d / "build.json").read_text())
    indexed, plain, lm = d / "indexed.tndb", d / "plain.tndb", d / "lmdb"
    for f in (indexed, plain):
        warm(f, small_pages)
    load = os.getloadavg()
    res: dict = {"keys": keys, "load_before": load, "build": built, "small_pages": small_pages}
    res["open"] = {
        "indexed": child("open", indexed, keys, env={"REPEAT": "20"})["open_s"],
        "plain": child("open", plain, keys, env={"REPEAT": "3"})["open_s"],
    }
    res["open_verify"] = child("open_verify", indexed, keys)
    res["memory"] = {"indexed": child("memory", indexed, keys), "plain": child("memory", plain, keys)}
    workers = {}
    for name, f in (("indexed", indexed), ("plain", plain)):
        procs = [
            subprocess.Popen([sys.executable, "-c", CHILD, "workers", str(f), str(keys), str(10 + i)],
                             stdout=subprocess.PIPE, text=True)
            for i in range(8)
        ]
        workers[name] = [json.loads(p.communicate()[0]) for p in procs]
    res["workers"] = workers
    # The lookups in rounds, the three stores in turn within each, so that a
    # change of load on a shared machine falls on all of them: each figure is
    # the median of the rounds' (each the best of 3 passes), and the ratios
    # are taken within each round.
    rounds = [{"indexed": child("lookups", indexed, keys), "plain": child("lookups", plain, keys),
               "lmdb": child("lmdb", lm, keys), "load": os.getloadavg()[0]} for _ in range(ROUNDS)]
    res["lookup_rounds"] = rounds
    res["lookups"] = {
        name: {f: statistics.median(r[name][f] for r in rounds) for f in ("raw_ns", "item_ns", "get_many_ns")}
        | {"mapping": rounds[-1][name]["mapping"]}
        for name in ("indexed", "plain")
    }
    res["lmdb"] = rounds[-1]["lmdb"] | {"get_ns": statistics.median(r["lmdb"]["get_ns"] for r in rounds)}
    res["load_after"] = os.getloadavg()

    med = lambda xs: statistics.median(xs)  # noqa: E731
    huge = lambda x: f"{x['mapping'].get('Rss', 0) / 1024:.0f} / {x['mapping'].get('FilePmdMapped', 0) / 1024:.0f}"  # noqa: E731
    mi, mp = res["memory"]["indexed"], res["memory"]["plain"]
    wi = sum(delta(w["before"], w["after"], "Private_Dirty") for w in workers["indexed"])
    wp = sum(delta(w["before"], w["after"], "Private_Dirty") for w in workers["plain"])
    li, lp, ll = res["lookups"]["indexed"], res["lookups"]["plain"], res["lmdb"]
    ib, pb = built["indexed"], built["plain"]
    rows = [
        ("keys", f"{keys:,}", "", ""),
        ("file size (MB)", f"{ib['bytes'] / 1e6:,.1f}", f"{pb['bytes'] / 1e6:,.1f}", ""),
        ("lookup index, bytes per key", f"{ib['index_bytes'] / keys:.2f}", "-", ""),
        ("staging + build (s)", f"{ib['stage_s'] + ib['build_s']:.1f}", f"{pb['stage_s'] + pb['build_s']:.1f}",
         f"{built['lmdb']['build_s']:.1f}"),
        ("build() alone (s)", f"{ib['build_s']:.2f}", f"{pb['build_s']:.2f}", ""),
        ("open, verify=False (ms, median)", f"{med(res['open']['indexed']) * 1e3:.3f}",
         f"{med(res['open']['plain']) * 1e3:,.0f}", f"{ll['open_s'] * 1e3:.3f}"),
        ("open, verify=True (ms)", f"{res['open_verify']['open_verify_s'] * 1e3:,.0f}", "", ""),
        ("zlib.crc32 of the file (ms)", f"{res['open_verify']['crc32_s'] * 1e3:,.0f}", "", ""),
        ("Private_Dirty after open + 200k lookups + len + iteration (MiB)",
         f"{delta(mi['before'], mi['after'], 'Private_Dirty'):.2f}",
         f"{delta(mp['before'], mp['after'], 'Private_Dirty'):.1f}",
         f"{delta(ll['memory']['before'], ll['memory']['after'], 'Private_Dirty'):.2f}"),
        ("  of which after open alone (MiB)", f"{delta(mi['before'], mi['opened'], 'Private_Dirty'):.2f}",
         f"{delta(mp['before'], mp['opened'], 'Private_Dirty'):.1f}", ""),
        ("Private_Clean, the same (MiB; mapped-file pages)",
         f"{delta(mi['before'], mi['after'], 'Private_Clean'):.1f}",
         f"{delta(mp['before'], mp['after'], 'Private_Clean'):.1f}", ""),
        ("8 processes: open + 100k lookups, Private_Dirty together (MiB)", f"{wi:.2f}", f"{wp:.1f}", ""),
        ("random r.raw(key) (ns)", f"{li['raw_ns']:.0f}", f"{lp['raw_ns']:.0f}", f"{ll['get_ns']:.0f} (txn.get)"),
        ("random r[key] (ns)", f"{li['item_ns']:.0f}", f"{lp['item_ns']:.0f}", ""),
        ("get_many, per key (ns)", f"{li['get_many_ns']:.0f}", f"{lp['get_many_ns']:.0f}", ""),
        ("  the file's mapping then: resident / in huge pages (MiB)", huge(li), huge(lp), ""),
    ]
    width = max(len(r[0]) for r in rows)
    print(f"{'':<{width}}  {'indexed':>12}  {'plain':>12}  {'py-lmdb':>14}")
    for r in rows:
        print(f"{r[0]:<{width}}  {r[1]:>12}  {r[2]:>12}  {r[3]:>14}")
    print(f"load average before {load[0]:.2f}, after {res['load_after'][0]:.2f}")
    print(f"lookups: median of {len(rounds)} rounds; per round, indexed / plain (and raw / txn.get):")
    for r in rounds:
        i, p, m = r["indexed"], r["plain"], r["lmdb"]
        print(f"  raw {i['raw_ns'] / p['raw_ns']:.2f}x ({i['raw_ns'] / m['get_ns']:.2f}x), "
              f"r[key] {i['item_ns'] / p['item_ns']:.2f}x, get_many {i['get_many_ns'] / p['get_many_ns']:.2f}x"
              f"  (load {r['load']:.2f})")
    if out_json:
        Path(out_json).write_text(json.dumps(res, indent=2))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("step", choices=["build", "measure", "buildtime", "sharded", "interleaved"])
    ap.add_argument("--keys", type=int, default=10_000_000)
    ap.add_argument("--json", help="also write the figures to this file")
    ap.add_argument("--small-pages", action="store_true",
                    help="bring the files into the page cache in small folios instead")
    ap.add_argument("--python", action="append", default=[],
                    help="buildtime: an interpreter whose tarndb install to time (repeat the option; the first is "
                         "the baseline)")
    ap.add_argument("--repeat", type=int, default=3, help="buildtime with --python: rounds")
    ap.add_argument("--shards", type=int, default=8, help="sharded: the store's shard count")
    args = ap.parse_args()
    if args.step == "build":
        build(args.keys)
    elif args.step == "buildtime":
        if args.python:
            buildtime_between(args.keys, args.python, args.repeat)
        else:
            buildtime(args.keys)
    elif args.step == "interleaved":
        interleaved(args.keys, args.small_pages)
    elif args.step == "sharded":
        sharded(args.keys, args.shards)
    else:
        measure(args.keys, args.json, args.small_pages)


if __name__ == "__main__":
    main()
