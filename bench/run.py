#!/usr/bin/env python3
"""Runs the whole tarndb comparison and writes bench/results/.

    python bench/run.py            # full run (up to 1M keys, 3 rounds; about 11 minutes here)
    python bench/run.py --quick    # smoke run (10k and 100k keys; 1-2 minutes),
                                   # written to bench/results/quick/

Systems: tarndb, a plain dict of bytes (pickled), py-lmdb, sqlite3 (a
WITHOUT ROWID key-value table) and dbm.gnu (from this interpreter, or else
from the system interpreter when that one has it). Each store is built in a
worker process of its own and read in another (bench/worker.py), so every
memory figure belongs to one system alone. Outputs: results.json (every
figure measured), results.md (the tables and the targets) and latency.png
(lookup latency against store size).
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from common import MiB, save  # noqa: E402
from systems import ORDER  # noqa: E402

SYNC_CALLS = "fsync,fdatasync,msync,sync_file_range,syncfs"


def log(msg: str) -> None:
    print(f"[{time.strftime('%H:%M:%S')}] {msg}", flush=True)


# ------------------------------------------------------------ machine ---


def _read(path: str) -> str:
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError:
        return ""


def machine_info() -> dict:
    info: dict = {"kernel": platform.release(), "python": sys.version.split()[0],
                  "executable": sys.executable, "cpus": os.cpu_count()}
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            k, _, v = line.partition(":")
            if k.strip() in ("Model name", "L1d cache", "L2 cache", "L3 cache", "Thread(s) per core",
                             "Core(s) per socket", "Hypervisor vendor"):
                info[k.strip()] = v.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    m = re.search(r"MemTotal:\s+(\d+) kB", _read("/proc/meminfo"))
    if m:
        info["mem_gib"] = round(int(m.group(1)) / (1 << 20), 1)
    flags = _read("/proc/cpuinfo")
    info["cpu_flags"] = [f for f in ("pclmulqdq", "vpclmulqdq", "avx2", "avx512f", "avx512bw", "avx512vl")
                         if re.search(r"\b%s\b" % f, flags)]
    return info


# ------------------------------------------------------------ workers ---


def strace_cmd(trace_file: str) -> list[str] | None:
    exe = shutil.which("strace")
    if not exe:
        return None
    for extra in (["--seccomp-bpf"], []):
        cmd = [exe, "-f", *extra, "-ttt", "-T", "-e", "trace=" + SYNC_CALLS, "-o", trace_file]
        try:
            r = subprocess.run(cmd + ["true"], capture_output=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            continue
        if r.returncode == 0:
            return cmd
    return None


_SYS_RE = re.compile(r"^\d+\s+(\d+\.\d+)\s+(?:<\.\.\. )?(\w+)\b.*<(\d+\.\d+)>\s*$")


def parse_sync_trace(path: str) -> list[tuple[float, float, str]]:
    """(start, seconds, call) of each finished sync call in an strace -ttt -T log."""
    calls = []
    for line in _read(path).splitlines():
        m = _SYS_RE.match(line)
        if not m:
            continue
        ts, name, dur = float(m.group(1)), m.group(2), float(m.group(3))
        if "resumed>" in line:
            ts -= dur  # the line is stamped at the end of the call
        calls.append((ts, dur, name))
    return calls


def run_worker(task: dict, tmp: str, python: str, strace: bool = False, timeout: float = 1800) -> dict:
    tag = f"{task['kind']}-{task.get('system', 'crc')}-{task.get('dataset', '')}"
    task_path = os.path.join(tmp, tag + ".task.json")
    task["result"] = os.path.join(tmp, tag + ".result.json")
    if os.path.exists(task["result"]):
        os.remove(task["result"])
    with open(task_path, "w", encoding="utf-8") as f:
        json.dump(task, f)
    cmd = [python, os.path.join(HERE, "worker.py"), task_path]
    trace_file = os.path.join(tmp, tag + ".strace")
    prefix = strace_cmd(trace_file) if strace else None
    if prefix:
        cmd = prefix + cmd
    proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, cwd=HERE)
    if proc.returncode != 0 or not os.path.exists(task["result"]):
        log(f"  worker {tag} failed (exit {proc.returncode}): {proc.stderr.strip()[-2000:]}")
        return {"error": proc.stderr.strip()[-2000:] or f"exit {proc.returncode}"}
    with open(task["result"], encoding="utf-8") as f:
        res = json.load(f)
    res["stdout"] = proc.stdout.strip()
    if prefix:
        res["sync_calls"] = parse_sync_trace(trace_file)
        res["sync_traced"] = True
    return res


def probe(python: str, system: str) -> tuple[bool, str, str]:
    code = ("import sys, json; sys.path.insert(0, %r); from systems import SYSTEMS; c = SYSTEMS[%r]; "
            "ok, why = c.available(); print(json.dumps([ok, why, c.version() if ok else '']))" % (HERE, system))
    try:
        r = subprocess.run([python, "-c", code], capture_output=True, text=True, timeout=60)
        ok, why, ver = json.loads(r.stdout.strip().splitlines()[-1])
        return ok, why, ver
    except (OSError, ValueError, IndexError, subprocess.TimeoutExpired) as e:
        return False, str(e), ""


def choose_interpreters(systems: list[str], alt_python: str | None) -> dict:
    chosen = {}
    for s in systems:
        ok, why, ver = probe(sys.executable, s)
        if ok:
            chosen[s] = {"python": sys.executable, "version": ver}
            continue
        if alt_python and os.path.exists(alt_python) and os.path.realpath(alt_python) != os.path.realpath(sys.executable):
            ok2, why2, ver2 = probe(alt_python, s)
            if ok2:
                chosen[s] = {"python": alt_python, "version": ver2,
                             "note": f"not in {sys.executable} ({why}); measured under {alt_python}"}
                continue
            why += f"; {alt_python}: {why2}"
        chosen[s] = {"skipped": why}
    return chosen


# ------------------------------------------------------------ settings ---


def settings(quick: bool) -> dict:
    if quick:
        return {"sizes": [10_000, 100_000], "lookups": 20_000, "prefixes": 20, "repeats": 5,
                "open_repeats": 5, "open_budget_s": 1.0, "items_repeats": 3, "verify_repeats": 3,
                "crc_bytes": 64 * MiB, "crc_repeats": 5, "debian_limit": 10_000, "rounds": 1}
    return {"sizes": [10_000, 100_000, 1_000_000], "lookups": 100_000, "prefixes": 50, "repeats": 7,
            "open_repeats": 7, "open_budget_s": 4.0, "items_repeats": 3, "verify_repeats": 5,
            "crc_bytes": 256 * MiB, "crc_repeats": 7, "debian_limit": None, "rounds": 3}


# ------------------------------------------------------------ analysis ---


def build_figures(b: dict) -> dict:
    """Adds the sync split to one build result."""
    if "total_s" not in b:
        return b
    lo, hi = b["wall"]["staged"], b["wall"]["written"]
    if b.get("sync_traced"):
        calls = [c for c in b["sync_calls"] if c[0] >= lo - 1e-3 and c[0] <= hi + 1e-3]
        b["sync_s"] = sum(c[1] for c in calls)
        b["sync_count"] = len(calls)
        b["sync_method"] = "strace -T of " + SYNC_CALLS
    elif "fsync_equal_s" in b:
        b["sync_s"] = b["fsync_equal_s"]
        b["sync_method"] = "fsync of an equal-size file, timed apart"
    b.pop("sync_calls", None)
    if "sync_s" in b:
        b["write_nosync_s"] = max(1e-9, b["write_s"] - b["sync_s"])
        b["write_nosync_gbps"] = b["file_bytes"] / b["write_nosync_s"] / 1e9
        b["total_nosync_s"] = b["total_s"] - b["sync_s"]
    if "plain_write_s" in b:
        b["plain_write_gbps"] = b["file_bytes"] / max(1e-9, b["plain_write_s"]) / 1e9
    if "fsync_equal_s" in b:
        b["write_minus_equal_fsync_gbps"] = b["file_bytes"] / max(1e-9, b["write_s"] - b["fsync_equal_s"]) / 1e9
    return b


def merge_rounds(rounds: list[dict]) -> dict:
    """One system's figures from several rounds (each a build and a read in
    fresh workers). Time figures: the round whose median is lowest, per
    measure, since other load on the machine only ever adds time; the medians
    of every round are kept beside it. Build: the round with the least build
    time outside sync, whole. Memory: the largest figure of any round."""
    builds = [r["build"] for r in rounds if "total_s" in r["build"]]
    reads = [r["read"] for r in rounds if "get_hit_ns" in r["read"]]
    if not builds:
        return {"build": rounds[0]["build"], "read": rounds[0]["read"]}
    build = dict(min(builds, key=lambda b: b.get("total_nosync_s", b["total_s"])))
    build["rounds_total_s"] = [b["total_s"] for b in builds]
    build["rounds_write_s"] = [b["write_s"] for b in builds]
    for k in ("peak", "peak_stage", "peak_write", "staged_rss"):
        build[k] = max(b[k] for b in builds)
    if not reads:
        return {"build": build, "read": rounds[0]["read"], "loads": [r["load"] for r in rounds]}
    read = dict(reads[0])
    for k, v in reads[0].items():
        if isinstance(v, dict) and "median" in v:
            cands = [r[k] for r in reads if k in r]
            best = dict(min(cands, key=lambda x: x["median"]))
            best["round_medians"] = [c["median"] for c in cands]
            read[k] = best
    read["first_open_ms"] = min(r["first_open_ms"] for r in reads)
    read["open_mem"] = {m: max(r["open_mem"][m] for r in reads) for m in reads[0]["open_mem"]}
    return {"build": build, "read": read, "loads": [r["load"] for r in rounds]}


def merge_crc(runs: list[dict]) -> dict:
    """CRC rounds: per file, way and implementation, the round with the best
    throughput (the rounds' figures kept beside it)."""
    out = dict(runs[0])
    for name in ("blob", "store"):
        if name not in out:
            continue
        out[name] = dict(out[name])
        for way in ("prefaulted", "fresh_mapping"):
            merged = {}
            for impl, v in runs[0][name][way].items():
                if not isinstance(v, dict):
                    merged[impl] = v
                    continue
                cands = [r[name][way][impl] for r in runs]
                best = dict(max(cands, key=lambda x: x["gbps"]))
                best["round_gbps"] = [c["gbps"] for c in cands]
                merged[impl] = best
            out[name][way] = merged
    return out


def target_rows(R: dict, crc: dict, cfg: dict) -> list[dict]:
    rows = []
    sizes = cfg["sizes"]
    big = f"synthetic-{sizes[-1]}"
    small = f"synthetic-{sizes[0]}"

    def rd(ds, s):
        return R.get(ds, {}).get(s, {}).get("read", {})

    def bd(ds, s):
        return R.get(ds, {}).get(s, {}).get("build", {})

    def add(target, value, limit, ok, detail):
        rows.append({"target": target, "measured": value, "limit": limit, "met": ok, "detail": detail})

    for ds in dict.fromkeys([small, big]):
        n = ds.split("-")[1]
        t, d, m = rd(ds, "tarndb"), rd(ds, "dict"), rd(ds, "lmdb")
        if "get_hit_ns" in t and "get_hit_ns" in d:
            tv, dv = t["get_hit_ns"]["median"], d["get_hit_ns"]["median"]
            add(f"get_raw hit vs dict.get, {n} keys", round(tv / dv, 2), "<= 2.0x", tv / dv <= 2.0,
                f"{tv:.0f} vs {dv:.0f} ns/op")
        if "get_hit_ns" in t and "get_hit_ns" in m:
            tv, mv = t["get_hit_ns"]["median"], m["get_hit_ns"]["median"]
            add(f"get_raw hit vs lmdb get (reused txn), {n} keys", round(mv / tv, 2), ">= 4x faster",
                mv / tv >= 4.0, f"{tv:.0f} vs {mv:.0f} ns/op")
        if "exists_hit_ns" in t and "exists_hit_ns" in d:
            tv, dv = t["exists_hit_ns"]["median"], d["exists_hit_ns"]["median"]
            add(f"exists vs `key in dict`, {n} keys", round(tv / dv, 2), "<= 1.5x", tv / dv <= 1.5,
                f"{tv:.0f} vs {dv:.0f} ns/op")

    t = rd(big, "tarndb")
    if "open_ms" in t:
        per_key = t["open_ms"]["median"] * 1e6 / t["n_keys"]
        first = t["first_open_ms"] * 1e6 / t["n_keys"]
        add(f"open(verify=False) per key, {t['n_keys']} keys (median of repeated opens in one process)",
            round(per_key, 1), "<= 30 ns", per_key <= 30, f"{t['open_ms']['median']:.1f} ms per open")
        add(f"open(verify=False) per key, {t['n_keys']} keys (first open in a fresh process)",
            round(first, 1), "<= 30 ns", first <= 30,
            f"{t['first_open_ms']:.1f} ms: includes first-touch page faults of the new allocations")
        b = bd(big, "tarndb")
        if "key_bytes" in b:
            limit = b["key_bytes"] + 24 * t["n_keys"]
            anon, rss = t["open_mem"]["anon"], t["open_mem"]["rss"]
            add(f"reader memory after open (anonymous RSS), {t['n_keys']} keys", f"{anon / MiB:.1f} MiB",
                f"<= {limit / MiB:.1f} MiB (keys + 24 B/key)", anon <= limit,
                f"{anon / t['n_keys']:.1f} B/key incl. {b['key_bytes'] / t['n_keys']:.1f} key bytes; "
                f"total RSS delta incl. mapped index pages {rss / MiB:.1f} MiB")
            add(f"reader memory after open (total RSS incl. mapped file pages), {t['n_keys']} keys",
                f"{rss / MiB:.1f} MiB", f"<= {limit / MiB:.1f} MiB", rss <= limit,
                f"of which file-backed {t['open_mem']['file'] / MiB:.1f} MiB")

    blob = crc.get("blob", {})
    if blob:
        pf, fr = blob["prefaulted"], blob["fresh_mapping"]
        tv = pf["tarndb_verify"]["gbps"]
        if "libdeflate" in pf:
            ld = pf["libdeflate"]["gbps"]
            add("CRC via verify() vs libdeflate_crc32 (mapped, pre-faulted)", round(tv / ld, 2), ">= 0.9x",
                tv / ld >= 0.9, f"{tv:.1f} vs {ld:.1f} GB/s")
        zl = pf["zlib"]["gbps"]
        add("CRC via verify() vs zlib.crc32 (mapped, pre-faulted)", round(tv / zl, 2), ">= 4x", tv / zl >= 4,
            f"{tv:.1f} vs {zl:.1f} GB/s")
        to = fr["tarndb_open"]["gbps"]
        if "libdeflate" in fr:
            ld = fr["libdeflate"]["gbps"]
            add("CRC via open(verify=True) - open(verify=False) vs libdeflate_crc32 (fresh mapping)",
                round(to / ld, 2), ">= 0.9x", to / ld >= 0.9, f"{to:.1f} vs {ld:.1f} GB/s")
        zl = fr["zlib"]["gbps"]
        add("CRC via open(verify=True) - open(verify=False) vs zlib.crc32 (fresh mapping)", round(to / zl, 2),
            ">= 4x", to / zl >= 4, f"{to:.1f} vs {zl:.1f} GB/s")

    b = bd(big, "tarndb")
    if "peak_write" in b and b.get("staged_rss"):
        ratio = b["peak"] / b["staged_rss"]
        add(f"build peak RSS vs RSS of the staged writer, {b['n_keys']} keys", round(ratio, 2), "<= 1.2x",
            ratio <= 1.2, f"peak {b['peak'] / MiB:.1f} MiB, staged {b['staged_rss'] / MiB:.1f} MiB "
            f"(payload + key bytes {(b['payload_bytes'] + b['key_bytes']) / MiB:.1f} MiB)")
    if "write_nosync_gbps" in b:
        g = b["write_nosync_gbps"]
        add(f"build() write rate into the page cache, sync excluded, {b['n_objects']} objects", f"{g:.2f} GB/s",
            ">= 1 GB/s", g >= 1.0, f"build() {b['write_s']:.3f} s - sync {b['sync_s']:.3f} s "
            f"({b.get('sync_method', '')}), {b['file_bytes'] / 1e6:.0f} MB"
            + (f"; plain write() of as many bytes into a fresh file on the same file system, same run: "
               f"{b['plain_write_gbps']:.2f} GB/s" if "plain_write_gbps" in b else ""))

    ts, tb = rd(small, "tarndb"), rd(big, "tarndb")
    if "prefix_100_ns" in ts and "prefix_100_ns" in tb and small != big:
        a, c = ts["prefix_100_ns"]["median"], tb["prefix_100_ns"]["median"]
        add(f"prefix_raw of 100 keys, {tb['n_keys']} vs {ts['n_keys']} keys", round(c / a, 2), "<= 1.5x",
            c / a <= 1.5, f"{c / 1e3:.1f} vs {a / 1e3:.1f} us/scan")
    return rows


# ------------------------------------------------------------ report ---


def fmt_t(ns: float | None) -> str:
    if ns is None:
        return "-"
    if ns < 1e3:
        return f"{ns:.0f} ns"
    if ns < 1e6:
        return f"{ns / 1e3:.1f} µs"
    if ns < 1e9:
        return f"{ns / 1e6:.1f} ms"
    return f"{ns / 1e9:.2f} s"


def fmt_mib(b: float | None) -> str:
    return "-" if b is None else f"{b / MiB:.1f} MiB"


def dataset_table(name: str, entry: dict, systems: list[str]) -> list[str]:
    cols = [s for s in systems if s in entry]
    lines = [f"| measure | {' | '.join(cols)} |", "|---" * (len(cols) + 1) + "|"]

    def row(label, f):
        cells = []
        for s in cols:
            b, r = entry[s].get("build", {}), entry[s].get("read", {})
            try:
                v = f(b, r)
            except (KeyError, TypeError, ZeroDivisionError):
                v = None
            cells.append("-" if v is None else v)
        lines.append(f"| {label} | {' | '.join(cells)} |")

    def med(r, k):
        return r[k]["median"]

    row("build, total (staging + write + sync)", lambda b, r: fmt_t(b["total_s"] * 1e9))
    row("build, of which sync", lambda b, r: fmt_t(b["sync_s"] * 1e9))
    row("build, peak RSS over the loaded data set", lambda b, r: fmt_mib(b["peak"]))
    row("file bytes per key", lambda b, r: f"{b['file_bytes'] / b['n_keys']:.1f}")
    row("open (verify=False; dict: unpickle)", lambda b, r: fmt_t(med(r, "open_ms") * 1e6))
    row("open (verify=True)", lambda b, r: fmt_t(med(r, "open_verify_ms") * 1e6) if "open_verify_ms" in r else None)
    row("open, ns per key", lambda b, r: f"{med(r, 'open_ms') * 1e6 / r['n_keys']:.1f}")
    row("RSS after open: anonymous / total", lambda b, r: f"{fmt_mib(r['open_mem']['anon'])} / {fmt_mib(r['open_mem']['rss'])}")
    row("get hit, ns/op", lambda b, r: f"{med(r, 'get_hit_ns'):.0f}")
    row("get hit, fresh key objects, ns/op", lambda b, r: f"{med(r, 'get_hit_fresh_ns'):.0f}")
    row("get miss, ns/op", lambda b, r: f"{med(r, 'get_miss_ns'):.0f}")
    row("exists hit, ns/op", lambda b, r: f"{med(r, 'exists_hit_ns'):.0f}")
    row("exists miss, ns/op", lambda b, r: f"{med(r, 'exists_miss_ns'):.0f}")
    row("prefix scan ~0.1% of keys, per scan (keys matched)",
        lambda b, r: f"{fmt_t(med(r, 'prefix_small_ns'))} ({r['prefix_small_ns']['mean_matched']:.0f})")
    row("prefix scan of 100 keys, per scan",
        lambda b, r: fmt_t(med(r, "prefix_100_ns")) if "prefix_100_ns" in r else None)
    row("full listing (items_raw)", lambda b, r: fmt_t(med(r, "items_ns")))
    row("verify()", lambda b, r: f"{fmt_t(med(r, 'verify_ns'))} ({r['verify_ns']['gbps']:.2f} GB/s)"
        if "verify_ns" in r else None)
    row("empty loop / len() loop, ns per key", lambda b, r: f"{med(r, 'loop_empty_ns'):.0f} / {med(r, 'loop_len_ns'):.0f}")
    return lines


def write_markdown(path: str, doc: dict, chart: str | None) -> None:
    cfg, info = doc["settings"], doc["machine"]
    systems = [s for s in ORDER if s in doc["systems"]]
    L = ["# tarndb benchmark results", ""]
    L.append(f"Run `{doc['command']}` on {doc['started']} ({doc['elapsed_s']:.0f} s, "
             f"{'quick smoke run' if doc['quick'] else 'full run'}).")
    L.append("")
    L.append(f"Machine: {info.get('Model name', '?')}, {info.get('cpus')} CPUs, {info.get('mem_gib')} GiB, "
             f"L3 {info.get('L3 cache', '?')}, kernel {info['kernel']}, Python {info['python']}; "
             f"load average {doc['load_before'][0]:.2f} before, {doc['load_after'][0]:.2f} after.")
    L.append("")
    L.append("| system | version | interpreter |")
    L.append("|---|---|---|")
    for s, v in doc["systems"].items():
        if "skipped" in v:
            L.append(f"| {s} | not measured: {v['skipped']} | - |")
        else:
            L.append(f"| {s} | {v['version']} | {v['python']} |")
    L.append("")
    L.append("## Targets")
    L.append("")
    L.append("| target | measured | limit | met | detail |")
    L.append("|---|---|---|---|---|")
    for r in doc["targets"]:
        L.append(f"| {r['target']} | {r['measured']} | {r['limit']} | {'met' if r['met'] else '**not met**'} | {r['detail']} |")
    if doc["quick"]:
        L.append("")
        L.append(f"Quick run: the size targets are checked at {cfg['sizes'][-1]:,} keys, not 1,000,000.")
    L.append("")
    if chart:
        L.append(f"![lookup latency against store size]({os.path.basename(chart)})")
        L.append("")
    for ds, entry in doc["results"].items():
        meta = doc["datasets"][ds]
        L.append(f"## {ds}: {meta['n_keys']:,} keys, {meta['n_objects']:,} objects")
        L.append("")
        L.append(f"{meta['description']} Key bytes {meta['key_bytes'] / meta['n_keys']:.1f} per key, payload "
                 f"{meta['payload_bytes'] / meta['n_objects']:.1f} bytes per object; {meta['lookups']:,} lookups per pass.")
        L.append("")
        L.extend(dataset_table(ds, entry, systems))
        L.append("")
    crc = doc.get("crc", {})
    if crc:
        L.append("## CRC-32 throughput (GB/s, 10^9 bytes per second)")
        L.append("")
        L.append(f"zlib {crc.get('zlib_version', '?')} through zlib.crc32; libdeflate_crc32 from libdeflate.so.0 "
                 "through ctypes; tarndb's own CRC through verify() (whole-file CRC plus each record's CRC, "
                 "bytes counted for both) and through open(verify=True) minus open(verify=False).")
        L.append("")
        L.append("| file | bytes | zlib (pre-faulted) | libdeflate (pre-faulted) | tarndb verify() (pre-faulted) | "
                 "zlib (fresh map) | libdeflate (fresh map) | tarndb open diff (fresh map) |")
        L.append("|---|---|---|---|---|---|---|---|")
        for name in ("blob", "store"):
            c = crc.get(name)
            if not c:
                continue
            pf, fr = c["prefaulted"], c["fresh_mapping"]

            def g(d, k):
                return f"{d[k]['gbps']:.2f}" if k in d else "-"
            vnote = "" if name == "blob" else " (file bytes / time; includes the per-record checks)"
            L.append(f"| {c['path']} | {c['crc_bytes']:,} | {g(pf, 'zlib')} | {g(pf, 'libdeflate')} | "
                     f"{g(pf, 'tarndb_verify')}{vnote} | {g(fr, 'zlib')} | {g(fr, 'libdeflate')} | {g(fr, 'tarndb_open')} |")
        L.append("")
    L.append("## Method")
    L.append("")
    L.extend(METHOD_NOTES)
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(L) + "\n")


METHOD_NOTES = [
    "- Per-operation figures: a pre-built list of lookup keys (str objects of their own, not the stored ones; "
    "bytes for lmdb, which takes no str), the operation bound to a local name, one `perf_counter_ns` reading "
    "around the whole loop; one warm-up pass, then the median of the timed passes. The garbage collector is "
    "off in every timed region. Loop overhead is not subtracted; the empty-loop and `len()`-call loops are "
    "shown so that it can be. `exists` for dict and gdbm is the `in` operator; lmdb's is `Cursor.set_key`.",
    "- 'fresh key objects': the same hits with new key objects for each pass, so nothing cached on a key "
    "object (such as str's hash) survives from an earlier pass.",
    "- Scans: each pass times every prefix of the list on its own; the figure is the mean per scan, the "
    "median over passes. dict and gdbm have no order: their prefix scan is a full scan and a sort, and above "
    "20,000 keys they scan only the first 3 prefixes of the list (so their mean match count can differ).",
    "- Memory: VmRSS, RssAnon and RssFile of /proc/self/status in the worker. Build peak: VmHWM reset "
    "(clear_refs) when staging ends, so the writing phase has its own peak; the reported peak is the larger "
    "of the two phases, over the RSS with the data set loaded.",
    "- Sync: build workers run under `strace -f --seccomp-bpf -T -e trace=fsync,fdatasync,msync,sync_file_range,syncfs`, "
    "which stops the process only at those calls; the time inside them during the write phase is the sync "
    "time. tarndb's build worker also times an fsync of a freshly written file of the same size, apart.",
    "- Files are read warm: each store is read right after it was built, from the page cache.",
    "- Rounds: a full run builds and reads every store three times, each time in fresh workers, one system after "
    "another. Other work on the machine only ever adds time, so each time figure is the lowest of the rounds' "
    "medians (all rounds' medians are in results.json), each memory figure the highest of the rounds, and the "
    "build figures those of the round with the least build time outside sync. The CRC comparison also runs "
    "once per round; the best round of each implementation is quoted.",
]


def chart(doc: dict, out: str) -> str | None:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        log("matplotlib missing: no chart")
        return None
    sizes = doc["settings"]["sizes"]
    fig, axes = plt.subplots(1, 3, figsize=(15, 4.6))
    panels = [("get_hit_ns", "get, hit"), ("get_miss_ns", "get, miss"), ("exists_hit_ns", "exists, hit")]
    for ax, (key, title) in zip(axes, panels):
        for s in ORDER:
            xs, ys = [], []
            for n in sizes:
                r = doc["results"].get(f"synthetic-{n}", {}).get(s, {}).get("read", {})
                if key in r:
                    xs.append(n)
                    ys.append(r[key]["median"])
            if xs:
                ax.plot(xs, ys, marker="o", label=s)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("keys in store")
        ax.set_ylabel("ns per operation (median)")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
    axes[0].legend()
    fig.suptitle("Lookup latency against store size (16-byte str keys, 100-byte msgpack values)")
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    plt.close(fig)
    return out


# ------------------------------------------------------------ main ---


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="small smoke run (1-2 minutes)")
    ap.add_argument("--systems", default=",".join(ORDER), help="comma-separated subset of " + ",".join(ORDER))
    ap.add_argument("--sizes", default=None, help="comma-separated synthetic store sizes")
    ap.add_argument("--rounds", type=int, default=None, help="build+read rounds per system (full: 3, quick: 1)")
    ap.add_argument("--no-debian", action="store_true", help="skip the Debian package index data set")
    ap.add_argument("--no-crc", action="store_true", help="skip the CRC throughput comparison")
    ap.add_argument("--alt-python", default="/usr/bin/python3",
                    help="interpreter for a system this one lacks (dbm.gnu); '' to disable")
    ap.add_argument("--out", default=None,
                    help="output directory (default bench/results, or bench/results/quick with --quick)")
    ap.add_argument("--keep", action="store_true", help="keep the store files and data sets in bench/results/tmp/run")
    ap.add_argument("--render", metavar="JSON", help="only re-render results.md and latency.png from a results.json")
    args = ap.parse_args()
    if args.out is None:
        args.out = os.path.join(HERE, "results", "quick") if args.quick else os.path.join(HERE, "results")
    if args.render:
        os.makedirs(args.out, exist_ok=True)
        with open(args.render, encoding="utf-8") as f:
            doc = json.load(f)
        doc["targets"] = target_rows(doc["results"], doc.get("crc") if "error" not in doc.get("crc", {}) else {},
                                     doc["settings"])
        png = chart(doc, os.path.join(args.out, "latency.png"))
        write_markdown(os.path.join(args.out, "results.md"), doc, png)
        log(f"re-rendered {args.out}/results.md from {args.render}")
        return 0

    t_start = time.time()
    cfg = settings(args.quick)
    if args.rounds:
        cfg["rounds"] = args.rounds
    if args.sizes:
        cfg["sizes"] = [int(x) for x in args.sizes.split(",")]
    systems = [s for s in args.systems.split(",") if s in ORDER]
    os.makedirs(args.out, exist_ok=True)
    tmp = os.path.join(HERE, "results", "tmp", "run")  # stores and data sets; removed at the end
    os.makedirs(tmp, exist_ok=True)

    doc: dict = {"command": "python bench/run.py" + (" --quick" if args.quick else ""), "quick": args.quick,
                 "started": time.strftime("%Y-%m-%d %H:%M:%S %Z"), "load_before": list(os.getloadavg()),
                 "machine": machine_info(), "settings": cfg, "datasets": {}, "results": {}}
    log(f"machine: {doc['machine'].get('Model name')}, load {doc['load_before'][0]:.2f}")
    chosen = choose_interpreters(systems, args.alt_python or None)
    doc["systems"] = chosen
    for s, v in chosen.items():
        log(f"{s}: {v.get('version') or 'skipped: ' + v.get('skipped', '')}")
    if strace_cmd(os.devnull) is None:
        log("strace unusable: sync time taken from an equal-size fsync instead")

    import datasets  # needs msgpack

    plan = []
    for n in cfg["sizes"]:
        plan.append((f"synthetic-{n}", lambda n=n: datasets.synthetic(n, cfg["lookups"], cfg["prefixes"]),
                     f"Synthetic: {n:,} str keys of 16 bytes staged in random order, one 100-byte msgpack "
                     f"object per key."))
    if not args.no_debian:
        plan.append(("debian", None, "Debian's package index (`apt-cache dumpavail`), one msgpack object per "
                     "package, keyed by name and by name/version."))

    for ds_name, make, desc in plan:
        t0 = time.time()
        if make is None:
            text = datasets.dumpavail()
            if not text.strip():
                log("debian: apt-cache dumpavail printed nothing (run apt-get update first); skipped")
                continue
            data, lk = datasets.debian(text, cfg["lookups"], cfg["prefixes"], cfg["debian_limit"])
            del text
        else:
            data, lk = make()
        data_path = os.path.join(tmp, ds_name + ".data.pkl")
        lk_path = os.path.join(tmp, ds_name + ".lookup.pkl")
        save(data, data_path)
        save(lk, lk_path)
        doc["datasets"][ds_name] = {"description": desc, "n_keys": lk["n_keys"], "n_objects": lk["n_objects"],
                                    "key_bytes": lk["key_bytes"], "payload_bytes": lk["payload_bytes"],
                                    "lookups": len(lk["hits"])}
        del data, lk
        log(f"{ds_name}: data set ready in {time.time() - t0:.1f} s")
        from systems import SYSTEMS, _remove
        rounds: dict[str, list] = {s: [] for s in systems if "skipped" not in chosen[s]}
        for rnd in range(cfg["rounds"]):
            for s in rounds:
                c = chosen[s]
                store = os.path.join(tmp, ds_name + SYSTEMS[s].suffix)
                t1 = time.time()
                b = run_worker({"kind": "build", "system": s, "dataset": ds_name, "data": data_path,
                                "store": store, "fsync_equal": s == "tarndb"}, tmp, c["python"], strace=True)
                b = build_figures(b)
                r = {}
                if "error" not in b and "skipped" not in b:
                    r = run_worker({"kind": "read", "system": s, "dataset": ds_name, "lookups": lk_path,
                                    "store": store, "repeats": cfg["repeats"], "open_repeats": cfg["open_repeats"],
                                    "open_budget_s": cfg["open_budget_s"], "items_repeats": cfg["items_repeats"],
                                    "verify_repeats": cfg["verify_repeats"]}, tmp, c["python"])
                rounds[s].append({"build": b, "read": r, "load": os.getloadavg()[0]})
                hit = r.get("get_hit_ns", {}).get("median")
                log(f"  round {rnd + 1} {s:7s} build {b.get('total_s', float('nan')):.2f} s, get hit "
                    f"{hit if hit is None else round(hit)} ns ({time.time() - t1:.1f} s, load {os.getloadavg()[0]:.2f})")
                last = rnd == cfg["rounds"] - 1
                keep_for_crc = s == "tarndb" and ds_name == f"synthetic-{cfg['sizes'][-1]}"
                if last and not args.keep and not keep_for_crc:
                    _remove(store)
        entry = {s: merge_rounds(v) for s, v in rounds.items()}
        doc["results"][ds_name] = entry
        if not args.keep:
            os.remove(data_path)
            os.remove(lk_path)

    crc: dict = {}
    if not args.no_crc and "tarndb" in systems:
        big_store = os.path.join(tmp, f"synthetic-{cfg['sizes'][-1]}.tndb")
        stores = {"store": big_store} if os.path.exists(big_store) else {}
        t0 = time.time()
        runs = [run_worker({"kind": "crc", "blob_bytes": cfg["crc_bytes"],
                            "blob_path": os.path.join(tmp, "crc-blob.tndb"), "stores": stores,
                            "repeats": cfg["crc_repeats"]}, tmp, sys.executable) for _ in range(cfg["rounds"])]
        crc = merge_crc([c for c in runs if "error" not in c]) if any("error" not in c for c in runs) else runs[0]
        log(f"crc: done in {time.time() - t0:.1f} s")
        if not args.keep and os.path.exists(big_store):
            os.remove(big_store)
    doc["crc"] = crc
    doc["targets"] = target_rows(doc["results"], crc if "error" not in crc else {}, cfg)
    doc["load_after"] = list(os.getloadavg())
    doc["elapsed_s"] = time.time() - t_start

    png = chart(doc, os.path.join(args.out, "latency.png"))
    with open(os.path.join(args.out, "results.json"), "w", encoding="utf-8") as f:
        json.dump(doc, f, indent=1)
    write_markdown(os.path.join(args.out, "results.md"), doc, png)
    if not args.keep:
        shutil.rmtree(tmp, ignore_errors=True)
    log(f"wrote {args.out}/results.md, results.json{', latency.png' if png else ''} in {doc['elapsed_s']:.0f} s")
    for r in doc["targets"]:
        log(f"  {'met    ' if r['met'] else 'NOT MET'} {r['target']}: {r['measured']} ({r['limit']})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
