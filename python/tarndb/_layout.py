"""The package's limits, and the names of the files and folders of a
sharded store: each written here once, used everywhere else by name.

A sharded store is a directory::

    store/
      manifest.json              the published generation
      manifest.tndb.tmp          the manifest being replaced (a leftover after a crash)
      lock                       builders' exclusive lock
      spill-XXXXXXXX/run-0000    a builder's staged records, one run file per shard
      gen-000007/shard-0000.tndb ... shard-0007.tndb
"""

from __future__ import annotations

import operator
import re
from typing import SupportsIndex

__all__ = [
    "user_objects",
    "MAX_KEY_LEN",
    "MAX_PAYLOAD",
    "MAX_SHARDS",
    "shard_count",
    "MAX_MANIFEST",
    "MANIFEST",
    "MANIFEST_TMP",
    "OLD_MANIFEST_TMP",
    "LOCK",
    "SPILL_PREFIX",
    "generation_dir",
    "generation_of",
    "shard_file",
    "shard_name",
    "run_file",
]

#: The longest key, in bytes of UTF-8 (the index stores a 16-bit length).
MAX_KEY_LEN = 65535
#: The largest object, in bytes of msgpack (the index stores a 32-bit length).
MAX_PAYLOAD = 0xFFFFFFFF
#: The most shards of a store: one run file per shard is open while staging,
#: which stays well below the usual limit of 1024 open files.
MAX_SHARDS = 1000
#: A manifest larger than this is not one of ours: refused before parsing.
MAX_MANIFEST = 64 << 20

MANIFEST = "manifest.json"
#: The temporary file the manifest is written through (the atomic file's
#: own name for a temporary beside ``manifest.json``).
MANIFEST_TMP = "manifest.tndb.tmp"
#: The temporary name earlier versions used; still cleared as a leftover.
OLD_MANIFEST_TMP = "manifest.json.tmp"
LOCK = "lock"
SPILL_PREFIX = "spill-"

_GENERATION_DIR = re.compile(r"gen-(\d{6,})\Z")


def shard_count(shards: SupportsIndex | None) -> int:
    """*shards* checked as the shard count of a store: TypeError when it is
    not an integer, ValueError when it is None or not from 1 to MAX_SHARDS."""
    count = 0 if shards is None else operator.index(shards)
    if not 1 <= count <= MAX_SHARDS:
        raise ValueError(f"shards must be from 1 to {MAX_SHARDS}, not {shards!r}")
    return count


def generation_dir(generation: int) -> str:
    """The subdirectory holding one generation's shards."""
    return f"gen-{generation:06d}"


def generation_of(name: str) -> int | None:
    """The generation a directory entry of the store belongs to, if any."""
    found = _GENERATION_DIR.match(name)
    return int(found.group(1)) if found else None


def shard_file(shard: int) -> str:
    """The file name of one shard inside its generation directory."""
    return f"shard-{shard:04d}.tndb"


def shard_name(generation: int, shard: int) -> str:
    """The manifest's (relative) file name of one shard."""
    return f"{generation_dir(generation)}/{shard_file(shard)}"


def run_file(shard: int) -> str:
    """The file name of one shard's run file inside a spill directory."""
    return f"run-{shard:04d}"


def user_objects(header: bytes, num_objects: int) -> int:
    """The objects a store file holds for its user, given its 40 *header*
    bytes and their object count: a file that carries a lookup index (header
    bytes 5 to 7 are ``LX`` and 1) counts that index as one more object."""
    return num_objects - 1 if header[5:8] == b"LX\x01" and num_objects > 0 else num_objects
