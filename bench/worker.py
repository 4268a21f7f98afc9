"""One measurement in a process of its own: `python worker.py TASK.json`.

The task file names the kind of measurement ("build", "read" or "crc") and
its inputs; the worker writes its findings as JSON to task["result"]. Each
store is built in one worker and read in another, so the memory figures of
one system never include another's, nor the driver's.
"""

from __future__ import annotations

import gc
import json
import os
import sys
import time

from common import (MiB, load, mem_delta, per_call, per_op, perf_ns, proc_status,
                    reset_peak_rss, summarize)
from systems import SYSTEMS, _remove


def task_build(t: dict) -> dict:
    system = SYSTEMS[t["system"]]()
    ok, why = system.available()
    if not ok:
        return {"skipped": why}
    path = t["store"]
    _remove(path)
    ds = load(t["data"])
    gc.collect()
    base = proc_status()
    marks: dict[str, dict] = {}
    peak_reset = [False]

    def mark(label: str) -> None:
        marks[label] = {"t": perf_ns(), "wall": time.time(), "mem": proc_status()}
        if label == "staged":
            peak_reset[0] = reset_peak_rss()
            marks[label]["t"] = perf_ns()
            marks[label]["wall"] = time.time()

    gc.disable()
    t0 = perf_ns()
    wall0 = time.time()
    system.build(path, ds, mark)
    t1 = perf_ns()
    gc.enable()
    st, wr = marks["staged"], marks["written"]
    out = {
        "system": system.name,
        "total_s": (t1 - t0) / 1e9,
        "stage_s": (st["t"] - t0) / 1e9,
        "write_s": (wr["t"] - st["t"]) / 1e9,
        "wall": {"start": wall0, "staged": st["wall"], "written": wr["wall"]},
        "file_bytes": system.file_bytes(path),
        "rss_base": base["VmRSS"],
        "staged_rss": st["mem"]["VmRSS"] - base["VmRSS"],
        "staged_anon": st["mem"]["RssAnon"] - base["RssAnon"],
        # VmHWM was reset when staging ended, so the second figure is the peak
        # of the writing phase alone.
        "peak_stage": st["mem"]["VmHWM"] - base["VmRSS"],
        "peak_write": wr["mem"]["VmHWM"] - base["VmRSS"],
        "peak_reset": peak_reset[0],
        "n_keys": len(ds["keys"]),
        "n_objects": len(ds["objects"]),
        "key_bytes": sum(len(k.encode()) for k in ds["keys"]),
        "payload_bytes": sum(len(o) for o in ds["objects"]),
    }
    out["peak"] = max(out["peak_stage"], out["peak_write"])
    del ds
    if t.get("fsync_equal"):
        out["plain_write_s"], out["fsync_equal_s"] = fsync_equal_file(path + ".fsync-probe", out["file_bytes"])
    return out


def fsync_equal_file(path: str, size: int) -> tuple[float, float]:
    """Seconds for plain write() calls of `size` bytes into a fresh file beside
    the store (8 MiB at a time, from distinct buffers, as a build writes its
    staged chunks), then for its fsync: what the machine itself allows."""
    chunks = [os.urandom(8 * MiB) for _ in range(min(16, max(1, size // (8 * MiB))))]
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        left, i = size, 0
        t0 = perf_ns()
        while left > 0:
            c = chunks[i % len(chunks)]
            left -= os.write(fd, c[: min(left, len(c))])
            i += 1
        t1 = perf_ns()
        os.fsync(fd)
        return (t1 - t0) / 1e9, (perf_ns() - t1) / 1e9
    finally:
        os.close(fd)
        os.remove(path)


def timed_opens(system, path: str, verify: bool, repeats: int, budget_s: float) -> dict:
    samples = []
    start = time.perf_counter()
    for i in range(repeats):
        gc.collect()
        gc.disable()
        t0 = perf_ns()
        h = system.open(path, verify)
        dt = perf_ns() - t0
        gc.enable()
        system.close(h)
        del h
        samples.append(dt / 1e6)
        if i >= 2 and time.perf_counter() - start > budget_s:
            break
    return summarize(samples)


def task_read(t: dict) -> dict:
    system = SYSTEMS[t["system"]]()
    ok, why = system.available()
    if not ok:
        return {"skipped": why}
    lk = load(t["lookups"])
    if system.bytes_keys:
        for name in ("hits", "misses", "prefix_small", "prefix_100"):
            if lk.get(name):
                lk[name] = [s.encode() for s in lk[name]]
    path = t["store"]
    reps = t["repeats"]
    n = lk["n_keys"]
    out: dict = {"system": system.name, "n_keys": n, "file_bytes": system.file_bytes(path)}

    # Memory: the first open in this process, nothing else held.
    gc.collect()
    before = proc_status()
    t0 = perf_ns()
    h = system.open(path, False)
    out["first_open_ms"] = (perf_ns() - t0) / 1e6
    gc.collect()
    after = proc_status()
    out["open_mem"] = mem_delta(before, after)

    # Timed opens with the first handle closed (py-lmdb refuses a second
    # handle on one file in a process), then a handle for the queries.
    has_verify = system.verify(h) is not None
    system.close(h)
    del h
    out["open_ms"] = timed_opens(system, path, False, t["open_repeats"], t["open_budget_s"])
    if has_verify:
        out["open_verify_ms"] = timed_opens(system, path, True, t["open_repeats"], t["open_budget_s"])
    h = system.open(path, False)

    hits, misses = lk["hits"], lk["misses"]
    get = system.get(h)
    # Every hit returns the payload and every miss None: a broken adapter
    # would otherwise time the wrong thing.
    assert all(get(k) is not None for k in hits[:1000]), "hit lookup returned None"
    assert all(get(k) is None for k in misses[:1000]), "miss lookup returned a value"
    out["loop_empty_ns"] = per_op("empty", None, hits, reps)
    out["loop_len_ns"] = per_op("call", len, hits, reps)
    out["get_hit_ns"] = per_op("call", get, hits, reps)
    out["get_miss_ns"] = per_op("call", get, misses, reps)
    kind, target = system.exists(h)
    out["exists_kind"] = kind
    out["exists_hit_ns"] = per_op(kind, target, hits, reps)
    out["exists_miss_ns"] = per_op(kind, target, misses, reps)

    # The same hits with key objects made anew for every pass (no hash or
    # other per-object state cached from an earlier pass).
    fresh = []
    conv = (lambda s: bytes(bytearray(s))) if system.bytes_keys else (lambda s: s.encode().decode())
    for _ in range(max(3, reps // 2)):
        keys = [conv(k) for k in hits]
        fresh.append(per_op("call", get, keys, 1)["median"])
        del keys
    out["get_hit_fresh_ns"] = summarize(fresh)

    scan = system.prefix(h)
    heavy = not system.ordered and n > 20_000  # full scans: fewer of them
    for name in ("prefix_small", "prefix_100"):
        ps = lk.get(name)
        if not ps:
            continue
        ps = ps[: 3 if heavy else len(ps)]
        matched = [len(scan(p)) for p in ps]
        res = per_call(scan, [(p,) for p in ps], 3 if heavy else reps)
        res["mean_matched"] = sum(matched) / len(matched)
        res["prefixes"] = len(ps)
        out[name + "_ns"] = res

    items = system.items(h)
    count = len(items())
    res = per_call(items, [()], t["items_repeats"])
    res["count"] = count
    out["items_ns"] = res

    v = system.verify(h)
    if v is not None:
        res = per_call(v, [()], t["verify_repeats"])
        res["gbps"] = out["file_bytes"] / res["median"]
        out["verify_ns"] = res

    out["rss_end"] = proc_status()
    system.close(h)
    return out


# ------------------------------------------------------------------ CRC ---


def task_crc(t: dict) -> dict:
    import ctypes
    import mmap
    import zlib

    import numpy as np
    from tarndb._tarndb import _TarnReader, _TarnWriter

    reps = t["repeats"]
    out: dict = {"zlib_version": zlib.ZLIB_RUNTIME_VERSION}
    lib = None
    try:
        lib = ctypes.CDLL(t.get("libdeflate", "libdeflate.so.0"))
        lib.libdeflate_crc32.restype = ctypes.c_uint32
        lib.libdeflate_crc32.argtypes = [ctypes.c_uint32, ctypes.c_void_p, ctypes.c_size_t]
    except OSError as e:
        out["libdeflate_error"] = str(e)
        lib = None

    files = {}
    if t.get("blob_bytes"):
        blob = t["blob_path"]
        payload = np.random.default_rng(5).bytes(t["blob_bytes"])
        w = _TarnWriter()
        w.add_key("blob", w.add_object_raw(payload))
        w.build(blob)
        del w, payload
        files["blob"] = (blob, t["blob_bytes"])
    for name, path in t.get("stores", {}).items():
        files[name] = (path, None)

    for name, (path, payload_len) in files.items():
        size = os.path.getsize(path)
        n = size - 40  # the whole-file CRC covers [40, end)
        res: dict = {"path": os.path.basename(path), "file_bytes": size, "crc_bytes": n}
        r = _TarnReader(path, False)
        stored = int(r.stats()["file_crc32"], 16)
        fd = os.open(path, os.O_RDONLY)

        def mapped(fn):
            """fn(memoryview, address, n) on a fresh read-only shared mapping."""
            mm = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
            arr = np.frombuffer(mm, dtype=np.uint8)
            mv = memoryview(mm)[40:]
            try:
                return fn(mv, arr.ctypes.data + 40, n)
            finally:
                mv.release()
                del arr
                mm.close()

        impls = {"zlib": lambda mv, a, k: zlib.crc32(mv)}
        if lib is not None:
            impls["libdeflate"] = lambda mv, a, k: lib.libdeflate_crc32(0, a, k)
        for iname, fn in impls.items():
            got = mapped(fn)
            assert got == stored, f"{iname} CRC {got:#x} != stored {stored:#x}"

        # Pre-faulted: one mapping, touched once, then timed passes.
        mm = mmap.mmap(fd, 0, access=mmap.ACCESS_READ)
        arr = np.frombuffer(mm, dtype=np.uint8)
        mv = memoryview(mm)[40:]
        addr = arr.ctypes.data + 40
        warm = {}
        for iname, fn in impls.items():
            fn(mv, addr, n)
            samples = []
            for _ in range(reps):
                t0 = perf_ns()
                fn(mv, addr, n)
                samples.append(perf_ns() - t0)
            s = summarize(samples)
            s["gbps"] = n / s["median"]
            warm[iname] = s
        mv.release()
        del arr
        mm.close()
        # tarndb's verify(): the whole-file CRC, then every record's own CRC.
        verify_bytes = n + (payload_len if payload_len is not None else 0)
        r.verify()
        samples = []
        for _ in range(reps):
            t0 = perf_ns()
            r.verify()
            samples.append(perf_ns() - t0)
        s = summarize(samples)
        s["crc_bytes"] = verify_bytes if payload_len is not None else None
        s["gbps"] = (verify_bytes if payload_len is not None else size) / s["median"]
        warm["tarndb_verify"] = s
        res["prefaulted"] = warm
        del r

        # Fresh mapping each pass, as open(verify=True) has: the CRC plus the
        # page faults of a first touch, less the same map/unmap without CRC.
        fresh = {}
        empty = [0.0]

        def time_mapped(fn):
            samples = []
            for _ in range(reps):
                t0 = perf_ns()
                mapped(fn)
                samples.append(perf_ns() - t0)
            return summarize(samples)["median"]

        empty[0] = time_mapped(lambda mv, a, k: 0)
        for iname, fn in impls.items():
            med = time_mapped(fn)
            fresh[iname] = {"median": med - empty[0], "gbps": n / (med - empty[0])}
        opens = {}
        for verify in (False, True):
            samples = []
            for _ in range(reps):
                t0 = perf_ns()
                rr = _TarnReader(path, verify)
                samples.append(perf_ns() - t0)
                del rr
            opens[verify] = summarize(samples)["median"]
        d = opens[True] - opens[False]
        fresh["tarndb_open"] = {"median": d, "gbps": n / d,
                                "open_false_ns": opens[False], "open_true_ns": opens[True]}
        fresh["map_unmap_ns"] = empty[0]
        res["fresh_mapping"] = fresh
        os.close(fd)
        out[name] = res
    if t.get("blob_bytes"):
        os.remove(t["blob_path"])
    return out


def main() -> None:
    with open(sys.argv[1], encoding="utf-8") as f:
        task = json.load(f)
    kind = task["kind"]
    fn = {"build": task_build, "read": task_read, "crc": task_crc}[kind]
    result = fn(task)
    result["python"] = sys.version.split()[0]
    result["executable"] = sys.executable
    tmp = task["result"] + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(result, f, indent=1)
    os.replace(tmp, task["result"])


if __name__ == "__main__":
    main()
