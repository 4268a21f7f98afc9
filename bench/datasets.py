"""The data sets of the benchmark, made by the driver and saved for workers.

synthetic(n): n str keys of 16 ASCII bytes, staged in random order, each
  mapped to its own 100-byte msgpack object. Key i is
  "{i // 10:07d}-{32 random bits:08x}", so the keys starting with the first
  L characters of a 7-digit block number form a group of 10**(8 - L) keys:
  a 5-character prefix selects 1,000 keys, a 6-character one 100. That gives
  prefix scans of a chosen size at every store size.

debian(text): the package index printed by `apt-cache dumpavail`, one
  msgpack object (a map of the stanza's fields) per package, keyed by the
  package name and by "name/version" (two keys share each object).
"""

from __future__ import annotations

import math
import random
import string
import subprocess
from collections import Counter
from typing import Any

import msgpack

from common import fresh_strs

VALUE_BYTES = 100
_ALPHABET = (string.ascii_letters + string.digits).encode()


def _value(i: int, key: str, rnd: random.Random) -> bytes:
    """A msgpack map of exactly VALUE_BYTES bytes."""
    obj: dict[str, Any] = {
        "id": i,
        "key": key,
        "score": rnd.random(),
        "flags": [rnd.getrandbits(7) for _ in range(3)],
        "note": "",
    }
    base = len(msgpack.packb(obj))
    pad = VALUE_BYTES - base
    while True:
        obj["note"] = bytes(rnd.choices(_ALPHABET, k=pad)).decode()
        out = msgpack.packb(obj)
        if len(out) == VALUE_BYTES:
            return out
        pad -= len(out) - VALUE_BYTES


def _lookups(keys: list[str], misses: list[str], n_lookups: int, rnd: random.Random) -> dict:
    hits = fresh_strs(keys[rnd.randrange(len(keys))] for _ in range(n_lookups))
    return {"hits": hits, "misses": fresh_strs(misses)}


def synthetic(n: int, n_lookups: int, n_prefixes: int, seed: int = 2024) -> tuple[dict, dict]:
    rnd = random.Random(seed * 1_000_003 + n)
    keys: list[str] = []
    seen: set[str] = set()
    for i in range(n):
        block = i // 10
        while True:
            k = f"{block:07d}-{rnd.getrandbits(32):08x}"
            if k not in seen:
                break
        seen.add(k)
        keys.append(k)
    order = list(range(n))
    rnd.shuffle(order)
    keys = [keys[i] for i in order]
    objects = [_value(i, k, rnd) for i, k in enumerate(keys)]

    misses: list[str] = []
    blocks = max(1, n // 10)
    while len(misses) < n_lookups:
        k = f"{rnd.randrange(blocks):07d}-{rnd.getrandbits(32):08x}"
        if k not in seen:
            misses.append(k)

    def prefixes(length: int) -> list[str]:
        span = 10 ** (7 - length)  # block numbers per prefix
        full = (n // 10) // span  # prefixes whose whole group exists
        if full < 1:
            return []
        picks = [rnd.randrange(full) for _ in range(n_prefixes)]
        return fresh_strs(f"{b * span:07d}"[:length] for b in picks)

    small_len = min(7, max(1, 11 - round(math.log10(n))))  # about 0.1% of the keys
    lk = _lookups(keys, misses, n_lookups, rnd)
    lk["prefix_small"] = prefixes(small_len)
    lk["prefix_100"] = prefixes(6) if n >= 100 else None
    data = {"objects": objects, "keys": keys, "key_obj": list(range(n))}
    return data, _finish(lk, data)


def dumpavail() -> str:
    """The package index as apt prints it; empty when apt has no lists."""
    try:
        out = subprocess.run(["apt-cache", "dumpavail"], check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError):
        return ""
    return out.stdout.decode("utf-8", "replace")


def parse_stanzas(text: str) -> list[dict[str, str]]:
    stanzas = []
    for block in text.split("\n\n"):
        fields: dict[str, str] = {}
        last = None
        for line in block.splitlines():
            if not line:
                continue
            if line[0] in " \t" and last is not None:
                fields[last] += "\n" + line[1:]
                continue
            name, sep, value = line.partition(":")
            if not sep:
                continue
            last = name
            fields[name] = value.strip()
        if "Package" in fields and "Version" in fields:
            stanzas.append(fields)
    return stanzas


def debian(text: str, n_lookups: int, n_prefixes: int, limit: int | None = None,
           seed: int = 7) -> tuple[dict, dict]:
    rnd = random.Random(seed)
    stanzas = parse_stanzas(text)
    if limit is not None:
        stanzas = stanzas[:limit]
    objects = [msgpack.packb(s) for s in stanzas]
    keys: list[str] = []
    key_obj: list[int] = []
    index: dict[str, int] = {}
    for i, s in enumerate(stanzas):
        for k in (s["Package"], f"{s['Package']}/{s['Version']}"):
            if k in index:  # a repeated name: the later package wins, as in the writer
                key_obj[index[k]] = i
                continue
            index[k] = len(keys)
            keys.append(k)
            key_obj.append(i)

    misses: list[str] = []
    while len(misses) < n_lookups:
        k = keys[rnd.randrange(len(keys))] + "-x"
        if k not in index:
            misses.append(k)

    # Prefixes matching about 0.1% of the keys (key order is by bytes, and a
    # str prefix of a str key is a byte prefix of its UTF-8 form).
    target = max(1, len(keys) // 1000)
    counts: Counter[str] = Counter()
    for k in keys:
        for length in range(2, min(len(k), 12) + 1):
            counts[k[:length]] += 1
    good = sorted(p for p, c in counts.items() if target // 2 <= c <= target * 2)
    picks = [good[rnd.randrange(len(good))] for _ in range(n_prefixes)] if good else []

    lk = _lookups(keys, misses, n_lookups, rnd)
    lk["prefix_small"] = fresh_strs(picks)
    lk["prefix_100"] = None
    data = {"objects": objects, "keys": keys, "key_obj": key_obj}
    return data, _finish(lk, data)


def _finish(lk: dict, data: dict) -> dict:
    lk["n_keys"] = len(data["keys"])
    lk["n_objects"] = len(data["objects"])
    lk["key_bytes"] = sum(len(k.encode()) for k in data["keys"])
    lk["payload_bytes"] = sum(len(o) for o in data["objects"])
    return lk
