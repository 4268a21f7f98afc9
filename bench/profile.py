#!/usr/bin/env python3
"""Profiles tarndb's hot paths and writes bench/results/profile/.

    python bench/profile.py [--keys 1000000] [--no-callgrind]

1. Builds a copy of the extension with symbols (Release flags plus -g: the
   same code as the installed module, which is stripped) into
   results/tmp/profile, from the sources of this checkout.
2. Runs one Python process under `perf record -e cpu-clock` (a software
   clock: this virtual machine exposes no hardware counters) with
   CLOCK_MONOTONIC timestamps. The process marks the start and end of each
   phase: staging, build(), open(verify=False), get_raw hits at 1M and 10k
   keys, exists, prefix_raw of 100 keys and verify(). Each phase is then
   reported on its own through `perf report --time`, flat by symbol.
3. Under callgrind, counts the instructions of one get_raw / exists / dict.get
   / `in dict` call: two runs of the same loop with different lengths, the
   difference divided by the difference in calls (setup cancels out), plus
   the inclusive breakdown inside the extension for get_raw.
"""

from __future__ import annotations

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import textwrap

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)


def sh(cmd: list[str], **kw) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, check=True, **kw)


def build_module(tmp: str) -> str:
    """Builds the extension with symbols; returns a directory to put on PYTHONPATH."""
    bin_dir = os.path.dirname(sys.executable)
    cmake = shutil.which("cmake", path=bin_dir) or shutil.which("cmake")
    ninja = shutil.which("ninja", path=bin_dir) or shutil.which("ninja")
    if not cmake:
        sys.exit("cmake not found (pip install cmake ninja)")
    bdir = os.path.join(tmp, "build")
    cfg = [cmake, "-S", ROOT, "-B", bdir, "-DCMAKE_BUILD_TYPE=Release", "-DCMAKE_CXX_FLAGS=-g",
           f"-DPython_EXECUTABLE={sys.executable}"]
    if ninja:
        cfg += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    if not os.path.exists(os.path.join(bdir, "CMakeCache.txt")):
        sh(cfg, stdout=subprocess.DEVNULL)
    sh([cmake, "--build", bdir], stdout=subprocess.DEVNULL)
    so = glob.glob(os.path.join(bdir, "_tarndb*.so"))[0]
    pkg = os.path.join(tmp, "pkg")
    shutil.rmtree(pkg, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "python", "tarndb"), os.path.join(pkg, "tarndb"))
    shutil.copy(so, os.path.join(pkg, "tarndb"))
    return pkg


WORKLOAD = r'''
import os, random, sys, time
sys.path.insert(0, sys.argv[1])
from tarndb._tarndb import _TarnReader, _TarnWriter
N = int(sys.argv[2]); tmp = sys.argv[3]
mono = lambda: time.clock_gettime(time.CLOCK_MONOTONIC)
phases = []
def phase(name, fn):
    t0 = mono(); fn(); phases.append((name, t0, mono()))

def make(n, seed):
    rnd = random.Random(seed)
    keys = [f"{i // 10:07d}-{rnd.getrandbits(32):08x}" for i in range(n)]
    rnd.shuffle(keys)
    vals = [rnd.randbytes(100) for _ in range(n)]
    return keys, vals

def stage(keys, vals):
    w = _TarnWriter()
    for v in vals: w.add_object_raw(v)
    for i, k in enumerate(keys): w.add_key(k, i)
    return w

def lookups(keys, n, seed):
    rnd = random.Random(seed)
    return [keys[rnd.randrange(len(keys))].encode().decode() for _ in range(n)]

keys, vals = make(N, 1)
path = os.path.join(tmp, "prof-big.tndb")
box = {}
phase("stage", lambda: box.__setitem__("w", stage(keys, vals)))
fd = os.dup(1); os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the summary line
phase("build", lambda: box["w"].build(path))
os.dup2(fd, 1)
del box["w"], vals
def opens():
    for _ in range(10): _TarnReader(path, False)
phase("open", opens)
r = _TarnReader(path, False)
look = lookups(keys, min(N, 1_000_000), 2)
def gets(g=r.get_raw, look=look):
    for _ in range(3):
        for k in look: g(k)
phase("get_raw_big", gets)
def exists(e=r.exists, look=look):
    for _ in range(3):
        for k in look: e(k)
phase("exists_big", exists)
pref = [f"{random.Random(i).randrange(N // 100) * 10:07d}"[:6] for i in range(2000)]
def scans(p=r.prefix_raw):
    for x in pref: p(x)
phase("prefix100_big", scans)
phase("verify", lambda: [r.verify() for _ in range(3)])

k2, v2 = make(10_000, 3)
small = os.path.join(tmp, "prof-small.tndb")
w = stage(k2, v2); os.dup2(os.open(os.devnull, os.O_WRONLY), 1); w.build(small); os.dup2(fd, 1); del w
r2 = _TarnReader(small, False)
look2 = lookups(k2, 100_000, 4)
def gets2(g=r2.get_raw, look=look2):
    for _ in range(30):
        for k in look: g(k)
phase("get_raw_10k", gets2)
for name, a, b in phases:
    print(f"PHASE {name} {a:.6f} {b:.6f}")
'''

CG_LOOP = r'''
import os, random, sys
sys.path.insert(0, sys.argv[1])
from tarndb._tarndb import _TarnReader, _TarnWriter
op, passes, tmp = sys.argv[2], int(sys.argv[3]), sys.argv[4]
rnd = random.Random(1)
keys = [f"{i // 10:07d}-{rnd.getrandbits(32):08x}" for i in range(10_000)]
vals = [rnd.randbytes(100) for _ in keys]
path = os.path.join(tmp, "cg.tndb")
if not os.path.exists(path):
    w = _TarnWriter()
    for v in vals: w.add_object_raw(v)
    for i, k in enumerate(keys): w.add_key(k, i)
    fd = os.dup(1); os.dup2(os.open(os.devnull, os.O_WRONLY), 1); w.build(path); os.dup2(fd, 1)
r = _TarnReader(path, False)
d = dict(zip(keys, vals))
look = [keys[rnd.randrange(len(keys))].encode().decode() for _ in range(50_000)]
def loop(look=look, d=d, r=r):
    if op == "get_raw":
        g = r.get_raw
        for k in look: g(k)
    elif op == "exists":
        g = r.exists
        for k in look: g(k)
    elif op == "dict.get":
        g = d.get
        for k in look: g(k)
    elif op == "in dict":
        for k in look: k in d
    elif op == "empty":
        for k in look: pass
for _ in range(passes):
    loop()
'''


def perf_phases(pkg: str, tmp: str, keys: int, out: str) -> list[str]:
    script = os.path.join(tmp, "workload.py")
    with open(script, "w") as f:
        f.write(WORKLOAD)
    data = os.path.join(tmp, "perf.data")
    res = sh(["perf", "record", "-q", "-k", "CLOCK_MONOTONIC", "-e", "cpu-clock", "-F", "2999", "-o", data,
              sys.executable, script, pkg, str(keys), tmp], capture_output=True, text=True)
    phases = [ln.split()[1:] for ln in res.stdout.splitlines() if ln.startswith("PHASE ")]
    summary = []
    for name, a, b in phases:
        rep = subprocess.run(["perf", "report", "-i", data, "--stdio", "--no-children", "--sort", "dso,symbol",
                              "--percent-limit", "0.7", "--time", f"{a},{b}"],
                             capture_output=True, text=True).stdout
        lines = [re.sub(r"\s+-\s+-\s*$", "", ln).rstrip() for ln in rep.splitlines()
                 if ln.strip() and not ln.startswith("#")]
        text = f"phase {name}: {float(b) - float(a):.3f} s wall\n" + "\n".join(lines) + "\n"
        with open(os.path.join(out, f"perf_{name}.txt"), "w") as f:
            f.write(text)
        summary.append(f"== {name} ({float(b) - float(a):.3f} s)\n" + "\n".join(lines[:14]))
    for p in glob.glob(os.path.join(tmp, "prof-*.tndb")):
        os.remove(p)
    return summary


def callgrind_ir(pkg: str, tmp: str, op: str, passes: int, toggle: str | None = None) -> tuple[int, str]:
    script = os.path.join(tmp, "cg_loop.py")
    with open(script, "w") as f:
        f.write(CG_LOOP)
    outf = os.path.join(tmp, f"cg.{op.replace(' ', '_')}.{passes}.out")
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={outf}"]
    if toggle:
        cmd += ["--collect-atstart=no", f"--toggle-collect={toggle}"]
    cmd += [sys.executable, script, pkg, op, str(passes), tmp]
    # A fixed hash seed: the loop's globals dict then probes alike in every
    # run, so that the difference between two runs is the calls' own cost.
    res = subprocess.run(cmd, capture_output=True, text=True, env={**os.environ, "PYTHONHASHSEED": "0"})
    total = 0
    for line in res.stderr.splitlines():
        if "Collected :" in line:
            total = int(line.split(":")[-1].strip())
    return total, outf


def callgrind_report(pkg: str, tmp: str) -> str:
    if not shutil.which("valgrind"):
        return "valgrind not found\n"
    calls = 50_000
    lines = ["Instructions per call (callgrind, 10,000-key store, 50,000 lookup keys made once): "
             "(Ir of a run with 3 passes over the keys - Ir of a run with 1 pass) / 100,000, so that setup "
             "and first-use costs (str hashes) cancel. 'net' subtracts the empty loop."]
    per = {}
    for op in ("empty", "dict.get", "in dict", "get_raw", "exists"):
        a, _ = callgrind_ir(pkg, tmp, op, 1)
        b, _ = callgrind_ir(pkg, tmp, op, 3)
        per[op] = (b - a) / (2 * calls)
        net = per[op] - per.get("empty", 0.0) if op != "empty" else per[op]
        lines.append(f"  {op:10s} {per[op]:7.1f} Ir/call   net {net:7.1f}")
    # The frame is inlined into each method's trampoline, fastcall_entry<...>.
    total, outf = callgrind_ir(pkg, tmp, "get_raw", 1, toggle="*fastcall_entry*")
    lines.append(f"\nInside the method's trampoline (the extension's frame and all it calls) for get_raw: "
                 f"{total / calls:.1f} Ir/call. Inclusive breakdown (callgrind_annotate --inclusive=yes):")
    ann = subprocess.run(["callgrind_annotate", "--inclusive=yes", outf], capture_output=True, text=True).stdout
    rows = [ln for ln in ann.splitlines() if "%)" in ln and "[" in ln]
    lines += [re.sub(r"/tmp/python-build[^ ]*/Python-3[^/]*/", "", ln) for ln in rows[:30]]
    return "\n".join(lines) + "\n"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--keys", type=int, default=1_000_000)
    ap.add_argument("--out", default=os.path.join(HERE, "results", "profile"))
    ap.add_argument("--no-callgrind", action="store_true")
    ap.add_argument("--no-perf", action="store_true")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    tmp = os.path.join(HERE, "results", "tmp", "profile")  # kept between runs: the build is reused
    os.makedirs(tmp, exist_ok=True)
    pkg = build_module(tmp)
    report = [textwrap.dedent(__doc__).strip(), ""]
    if not args.no_perf and shutil.which("perf"):
        report += perf_phases(pkg, tmp, args.keys, args.out)
    if not args.no_callgrind:
        cg = callgrind_report(pkg, tmp)
        with open(os.path.join(args.out, "callgrind_get_raw.txt"), "w") as f:
            f.write(cg)
        report.append(cg)
    with open(os.path.join(args.out, "summary.txt"), "w") as f:
        f.write("\n\n".join(report) + "\n")
    print("\n\n".join(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
