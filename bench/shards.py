"""Sharded stores against a single-file store of the same data, in one run.

    python bench/shards.py                    # 2M records, plus the >= 1 GB run
    python bench/shards.py --records 200000 --big-gb 0   # a quick look

Each case runs in a child process of its own (``--case``), started and
reaped by this driver with ``os.wait4``, whose figures give the case's peak
RSS (the largest of the child and the processes it waited for: shard
builders, Dask workers).  Every build reads the same JSON-lines input,
parses each line with ``json.loads`` and stores the record under its "id":

- single: ``TarnWriter(file)``, one process (the reference of every ratio);
- sharded: ``TarnWriter(dir, shards=8)``, one process;
- sharded-w2: the same with ``workers=2``;
- dask: ``to_tarndb`` on a ``LocalCluster(n_workers=2)`` (started before
  the clock, as a running cluster would be);
- lookups: ``r[key]`` for the same random keys through both readers, and
  the two iteration orders compared whole;
- big: a >= 1 GB input built with ``shards=16``; and the single-file build
  of it under the same address-space limit (``RLIMIT_AS``), to show what
  the limit refuses unsharded.

Results go to bench/results/shards.json and are printed as a table.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import shutil
import subprocess
import sys
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
TMP = os.path.join(HERE, "results", "tmp", "shards")
OUT = os.path.join(HERE, "results", "shards.json")
WORDS = "alpha bravo charlie delta echo foxtrot golf hotel india juliet kilo lima mike".split()


def generate(path: str, records: int, pad: int) -> int:
    """Writes *records* JSON lines (about 100 + *pad* bytes each) unless the
    file is there already; returns its size."""
    if os.path.exists(path):
        return os.path.getsize(path)
    rng = random.Random(7)
    tmp = path + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        for i in range(records):
            rec = {
                "id": f"user-{i:09d}",
                "name": f"{rng.choice(WORDS)} {rng.choice(WORDS)}",
                "score": round(rng.random() * 1000, 3),
                "tags": rng.sample(WORDS, 3),
                "note": "x" * (pad + rng.randrange(8)),
            }
            f.write(json.dumps(rec) + "\n")
    os.replace(tmp, path)
    return os.path.getsize(path)


def records_of(path: str):
    with open(path, "rb") as f:
        for line in f:
            yield json.loads(line)


# ---------------------------------------------------------------- cases (children)


def case_build(input_path: str, target: str, shards: int, workers: int) -> dict[str, Any]:
    import tarndb

    shutil.rmtree(target, ignore_errors=True)
    if os.path.isfile(target):
        os.unlink(target)
    start = time.perf_counter()
    kwargs: dict[str, Any] = {} if shards == 0 else {"shards": shards, "workers": workers}
    with tarndb.TarnWriter(target, **kwargs) as w:
        for rec in records_of(input_path):
            w.add(rec, rec["id"])
    return {"seconds": time.perf_counter() - start}


def case_dask(input_path: str, target: str, shards: int, workers: int) -> dict[str, Any]:
    import dask.bag as db
    from distributed import Client, LocalCluster

    from tarndb.dask import to_tarndb

    import psutil  # a dependency of distributed

    def worker_cpu() -> dict[int, float]:
        return {p.pid: sum(p.cpu_times()[:2]) for p in psutil.Process().children(recursive=True)}

    shutil.rmtree(target, ignore_errors=True)
    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None) as cluster, Client(cluster):
        before, own = worker_cpu(), time.process_time()
        start = time.perf_counter()
        bag = db.read_text(input_path, blocksize=16 << 20).map(json.loads)
        to_tarndb(bag, target, key="id", shards=shards)
        seconds = time.perf_counter() - start
        used = {pid: cpu - before.get(pid, 0.0) for pid, cpu in worker_cpu().items()}
    # CPU spent during the build itself, by the busiest worker and by all
    # processes (the client included): on a machine with a free core per
    # worker, the busiest worker bounds the wall time from below.
    return {
        "seconds": seconds,
        "build_cpu_busiest_worker": max(used.values()),
        "build_cpu_all": sum(used.values()) + time.process_time() - own,
    }


def case_lookups(single: str, sharded: str, count: int) -> dict[str, Any]:
    import tarndb

    a, b = tarndb.TarnReader(single), tarndb.TarnReader(sharded)
    identical = list(a) == list(b)
    keys = random.Random(3).sample(list(a), count)
    out: dict[str, Any] = {"identical_order": identical, "keys": len(a)}
    for name, r in (("single", a), ("sharded", b)):
        best = float("inf")
        for _ in range(5):
            start = time.perf_counter()
            for k in keys:
                r[k]
            best = min(best, time.perf_counter() - start)
        out[f"{name}_us"] = best / count * 1e6
    return out


def run_case(args: list[str], limit_as: int | None = None) -> dict[str, Any]:
    """Runs one case in a child; its result plus peak RSS and exit status."""
    def limit() -> None:
        if limit_as:
            resource.setrlimit(resource.RLIMIT_AS, (limit_as, limit_as))

    proc = subprocess.Popen(
        [sys.executable, os.path.abspath(__file__), "--case", *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=limit if limit_as else None,
    )
    out = proc.stdout.read() if proc.stdout else b""
    err = proc.stderr.read() if proc.stderr else b""
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    result: dict[str, Any] = {
        "exit": proc.returncode,
        "peak_rss_mb": usage.ru_maxrss / 1024,
        "cpu_seconds": usage.ru_utime + usage.ru_stime,  # the child and every process it reaped
    }
    if proc.returncode == 0:
        result.update(json.loads(out))
    else:
        result["error"] = err.decode(errors="replace").strip().splitlines()[-1:] or ["?"]
    return result


def child_main(argv: list[str]) -> None:
    kind, *rest = argv
    if kind == "build":
        res = case_build(rest[0], rest[1], int(rest[2]), int(rest[3]))
    elif kind == "dask":
        res = case_dask(rest[0], rest[1], int(rest[2]), int(rest[3]))
    else:
        res = case_lookups(rest[0], rest[1], int(rest[2]))
    sys.stdout.write(json.dumps(res))


# ---------------------------------------------------------------- driver


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--records", type=int, default=2_000_000)
    p.add_argument("--big-gb", type=float, default=1.0, help="size of the large run's input (0: skip it)")
    p.add_argument("--big-limit-mb", type=int, default=768, help="address-space limit of the large run")
    p.add_argument("--keep", action="store_true", help="keep the inputs and stores in bench/results/tmp")
    p.add_argument("--case", nargs=argparse.REMAINDER, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.case:
        child_main(args.case)
        return
    os.makedirs(TMP, exist_ok=True)
    data = os.path.join(TMP, f"input-{args.records}.jsonl")
    size = generate(data, args.records, 0)
    single, sharded = os.path.join(TMP, "single.tndb"), os.path.join(TMP, "sharded")
    res: dict[str, Any] = {"records": args.records, "input_mb": size / 2**20, "cpus": os.cpu_count()}
    res["single"] = run_case(["build", data, single, "0", "1"])
    res["sharded"] = run_case(["build", data, sharded, "8", "1"])
    res["sharded_w2"] = run_case(["build", data, sharded + "-w2", "8", "2"])
    res["dask"] = run_case(["dask", data, sharded + "-dask", "8", "2"])
    res["lookups"] = run_case(["lookups", single, sharded, "200000"])
    base = res["single"]
    res["ratios"] = {
        "memory_sharded_vs_single": res["sharded"]["peak_rss_mb"] / base["peak_rss_mb"],
        "speedup_dask_vs_single": base["seconds"] / res["dask"]["seconds"],
        # The same with CPU time, which other work on the machine disturbs less.
        "speedup_dask_cpu_bound": base["cpu_seconds"] / res["dask"]["build_cpu_busiest_worker"],
        "speedup_workers2_vs_single": base["seconds"] / res["sharded_w2"]["seconds"],
        "lookup_sharded_vs_single": res["lookups"]["sharded_us"] / res["lookups"]["single_us"],
    }
    if args.big_gb > 0:
        # ~520 bytes a line: the count that gives the requested size.
        count = int(args.big_gb * 2**30 / 520) + 1
        big = os.path.join(TMP, f"big-{count}.jsonl")
        big_size = generate(big, count, 400)
        limit = args.big_limit_mb << 20
        res["big"] = {
            "records": count,
            "input_mb": big_size / 2**20,
            "limit_as_mb": args.big_limit_mb,
            "sharded": run_case(["build", big, os.path.join(TMP, "big-sharded"), "16", "1"], limit),
            "single": run_case(["build", big, os.path.join(TMP, "big-single.tndb"), "0", "1"], limit),
        }
        for name in ("big-sharded", "big-single.tndb"):
            if not args.keep:
                shutil.rmtree(os.path.join(TMP, name), ignore_errors=True)
                if os.path.isfile(os.path.join(TMP, name)):
                    os.unlink(os.path.join(TMP, name))
    with open(OUT, "w") as f:
        json.dump(res, f, indent=1)
    report(res)
    if not args.keep:
        shutil.rmtree(TMP, ignore_errors=True)


def report(res: dict[str, Any]) -> None:
    print(f"{res['records']:,} records, {res['input_mb']:.0f} MiB of JSON lines, {res['cpus']} CPUs")
    for name in ("single", "sharded", "sharded_w2", "dask"):
        r = res[name]
        print(
            f"  {name:<11} {r.get('seconds', float('nan')):7.2f} s  cpu {r['cpu_seconds']:7.2f} s  "
            f"peak RSS {r['peak_rss_mb']:7.0f} MiB  exit {r['exit']}"
        )
    d = res["dask"]
    if "build_cpu_busiest_worker" in d:
        print(f"  dask build CPU: busiest worker {d['build_cpu_busiest_worker']:.2f} s, all processes {d['build_cpu_all']:.2f} s")
    lk = res["lookups"]
    print(f"  lookups     single {lk['single_us']:.2f} us, sharded {lk['sharded_us']:.2f} us; same order: {lk['identical_order']}")
    for k, v in res["ratios"].items():
        print(f"  {k:<28} {v:.2f}x")
    if "big" in res:
        b = res["big"]
        print(f"  big input {b['input_mb']:.0f} MiB ({b['records']:,} records), address space limited to {b['limit_as_mb']} MiB:")
        for name in ("sharded", "single"):
            r = b[name]
            what = f"{r['seconds']:.1f} s" if r["exit"] == 0 else f"failed: {r['error'][0][:80]}"
            print(f"    {name:<8} peak RSS {r['peak_rss_mb']:6.0f} MiB  {what}")


if __name__ == "__main__":
    main()
