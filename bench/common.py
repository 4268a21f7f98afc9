"""Shared helpers of the benchmark suite: process memory, timing loops, and
the layout of the data-set files that the driver hands to its workers.

Only the standard library is imported here, so that a worker can run under
an interpreter that lacks the suite's third-party packages (dbm.gnu may only
be present in the system interpreter).
"""

from __future__ import annotations

import gc
import os
import pickle
import statistics
import time
from typing import Any, Callable, Iterable, Sequence

perf_ns = time.perf_counter_ns

MiB = 1 << 20


# ---------------------------------------------------------------- memory ---

_STATUS_FIELDS = ("VmRSS", "VmHWM", "RssAnon", "RssFile", "RssShmem")


def proc_status() -> dict[str, int]:
    """The memory lines of /proc/self/status, in bytes."""
    out: dict[str, int] = {}
    with open("/proc/self/status", encoding="ascii") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name in _STATUS_FIELDS:
                out[name] = int(value.split()[0]) * 1024
    return out


def reset_peak_rss() -> bool:
    """Resets VmHWM to the current RSS (Linux: '5' into clear_refs)."""
    try:
        with open("/proc/self/clear_refs", "w", encoding="ascii") as f:
            f.write("5")
        return True
    except OSError:
        return False


def mem_delta(before: dict[str, int], after: dict[str, int]) -> dict[str, int]:
    return {
        "rss": after["VmRSS"] - before["VmRSS"],
        "anon": after["RssAnon"] - before["RssAnon"],
        "file": after["RssFile"] - before["RssFile"],
    }


# ---------------------------------------------------------------- timing ---
#
# Every per-operation measure runs the same shape of loop for every system:
# a pre-built list of keys, the operation bound to a local name, one
# perf_counter_ns reading before and after the whole loop. The first pass
# warms caches and is discarded; the median of the timed passes is quoted.
# The collector is off during every timed region, for every system alike.


def _loop_call(fn: Callable[[Any], Any], keys: Sequence[Any]) -> int:
    t0 = perf_ns()
    for k in keys:
        fn(k)
    return perf_ns() - t0


def _loop_contains(container: Any, keys: Sequence[Any]) -> int:
    t0 = perf_ns()
    for k in keys:
        k in container  # noqa: B015 - the expression is what is measured
    return perf_ns() - t0


def _loop_empty(keys: Sequence[Any]) -> int:
    t0 = perf_ns()
    for k in keys:
        pass
    return perf_ns() - t0


def summarize(samples: list[float]) -> dict[str, Any]:
    return {
        "median": statistics.median(samples),
        "min": min(samples),
        "max": max(samples),
        "n": len(samples),
    }


def per_op(kind: str, target: Any, keys: Sequence[Any], repeats: int) -> dict[str, Any]:
    """ns per key of `target(k)` (kind 'call'), `k in target` ('contains')
    or an empty loop body ('empty') over `keys`."""
    if kind == "call":
        run = lambda: _loop_call(target, keys)  # noqa: E731
    elif kind == "contains":
        run = lambda: _loop_contains(target, keys)  # noqa: E731
    else:
        run = lambda: _loop_empty(keys)  # noqa: E731
    gc.collect()
    gc.disable()
    try:
        run()  # warm-up pass
        samples = [run() / len(keys) for _ in range(repeats)]
    finally:
        gc.enable()
    return summarize(samples)


def per_call(fn: Callable[..., Any], args: Sequence[tuple], repeats: int,
             cleanup: Callable[[Any], None] | None = None) -> dict[str, Any]:
    """ns per call of fn(*a) for a in args: each pass times every call on its
    own (for calls that take micro- to milliseconds), the pass's figure is
    the mean over its calls, the result the median over passes. The result
    of each call is released outside the timed region."""
    gc.collect()
    gc.disable()
    try:
        out = fn(*args[0])  # warm-up
        del out
        samples = []
        for _ in range(repeats):
            total = 0
            for a in args:
                t0 = perf_ns()
                out = fn(*a)
                total += perf_ns() - t0
                if cleanup is not None:
                    cleanup(out)
                del out
            samples.append(total / len(args))
    finally:
        gc.enable()
    return summarize(samples)


# ------------------------------------------------------------- data sets ---
#
# A data set is two pickle files written by the driver:
#   <name>.data.pkl    {"objects": [bytes], "keys": [str], "key_obj": [int]}
#                      key i maps to objects[key_obj[i]]
#   <name>.lookup.pkl  {"hits": [str], "misses": [str],
#                       "prefix_small": [str], "prefix_100": [str] | None,
#                       "n_keys": int, "key_bytes": int, "payload_bytes": int}
# The lookup keys are str objects of their own (not the stored ones), laid
# out in memory in lookup order, as keys arriving from outside would be.


def save(obj: Any, path: str) -> None:
    tmp = path + ".part"
    with open(tmp, "wb") as f:
        pickle.dump(obj, f, protocol=pickle.HIGHEST_PROTOCOL)
    os.replace(tmp, path)


def load(path: str) -> Any:
    with open(path, "rb") as f:
        return pickle.load(f)


def fresh_strs(items: Iterable[str]) -> list[str]:
    """New str objects equal to `items` (no identity shared with them)."""
    return [s.encode("utf-8").decode("utf-8") for s in items]
