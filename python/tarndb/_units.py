"""How sizes and counts are written in everything tarndb prints.

One rule for the library's summary line and every command of the CLI:
sizes in bytes below 1 KiB, then KiB, MiB and GiB (powers of 1024) with one
decimal; counts with the noun in the singular for exactly one.
"""

from __future__ import annotations


def size(n: int) -> str:
    """``512 bytes``, ``1 byte``, ``2.0 KiB``, ``1.5 MiB``, ``3.2 GiB``."""
    if n < 1024:
        return count(n, "byte")
    value = float(n)
    for unit in ("KiB", "MiB", "GiB"):
        value /= 1024
        if round(value, 1) < 1024 or unit == "GiB":
            break
    return f"{value:.1f} {unit}"


def count(n: int, noun: str) -> str:
    """``1 object``, ``2 objects``, ``12,345 keys``."""
    return f"{n:,} {noun}" if n == 1 else f"{n:,} {noun}s"
