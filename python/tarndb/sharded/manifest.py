"""The manifest of a sharded store: what it holds, how it is written, how
it is checked.

The store's layout and the names in it are in ``tarndb._layout``.

``manifest.json`` is one JSON object::

    {"format": "tarndb-sharded", "version": 1, "generation": 7,
     "route": "fnv1a64-fmix64", "shard_count": 8,
     "num_keys": ..., "num_objects": ..., "file_size": ...,
     "shards": [{"file": "gen-000007/shard-0000.tndb", "num_keys": ...,
                 "num_objects": ..., "file_size": ..., "file_crc32": "0x89abcdef"},
                ...]}

The totals are the sums over the shards (an object stored in two shards
counts twice).  ``file_crc32`` is the shard header's own CRC-32 of bytes 40
to the end of the file.  The manifest is replaced atomically (temporary
file, fsync, rename, fsync of the directory); shard files are never changed
after they are published, only removed with their generation.

Everything here is pure over its arguments; nothing is shared between
threads.
"""

from __future__ import annotations

import errno
import json
import os
import re
import stat
from dataclasses import dataclass

from tarndb import _fast
from tarndb._building import io_error, with_context
from tarndb._header import HEADER_SIZE, lookup_index_bytes, parse
from tarndb._layout import MANIFEST, MAX_MANIFEST, generation_of, shard_name
from tarndb.errors import TarnCorruptError, TarnIOError, TarnVersionError
from tarndb.errors import io_error as errno_error

__all__ = [
    "FORMAT",
    "VERSION",
    "ShardInfo",
    "Manifest",
    "fsync_dir",
    "open_regular",
    "open_directory",
    "compare",
    "read_header",
    "read_manifest",
    "write_manifest",
    "resolve_shard",
    "check_shard",
]

FORMAT = "tarndb-sharded"
VERSION = 1
ROUTE: str = _fast.ROUTE

_CRC_TEXT = re.compile(r"0x[0-9a-f]{8}\Z")


@dataclass(frozen=True)
class ShardInfo:
    """One shard's figures, as its header and size give them."""

    file: str
    num_keys: int
    num_objects: int
    file_size: int
    file_crc32: int

    def to_json(self) -> dict[str, object]:
        return {
            "file": self.file,
            "num_keys": self.num_keys,
            "num_objects": self.num_objects,
            "file_size": self.file_size,
            "file_crc32": f"0x{self.file_crc32:08x}",
        }


@dataclass(frozen=True)
class Manifest:
    """A published generation: its number and its shards in shard order."""

    generation: int
    shards: tuple[ShardInfo, ...]

    @property
    def num_keys(self) -> int:
        return sum(s.num_keys for s in self.shards)

    @property
    def num_objects(self) -> int:
        return sum(s.num_objects for s in self.shards)

    @property
    def file_size(self) -> int:
        return sum(s.file_size for s in self.shards)

    def to_json(self) -> dict[str, object]:
        return {
            "format": FORMAT,
            "version": VERSION,
            "generation": self.generation,
            "route": ROUTE,
            "shard_count": len(self.shards),
            "num_keys": self.num_keys,
            "num_objects": self.num_objects,
            "file_size": self.file_size,
            "shards": [s.to_json() for s in self.shards],
        }


def open_regular(name: str, dir_fd: int | None, what: str) -> int:
    """A read-only descriptor of the regular file *name* (under *dir_fd*),
    opened without following a link and without waiting on a FIFO.
    FileNotFoundError when it is missing; TarnIOError (errno kept) when it
    cannot be opened or is not a regular file; TarnCorruptError when it is
    a symbolic link (a store's own files never are).  *what* names it in
    messages."""
    try:
        fd = os.open(name, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, dir_fd=dir_fd)
    except FileNotFoundError:
        raise
    except OSError as exc:
        if exc.errno == errno.ELOOP:
            raise TarnCorruptError(f"{what} is a symbolic link") from None
        if exc.errno == errno.ENXIO:  # a socket
            raise _not_regular(what, "a socket") from None
        raise io_error(what, "cannot open", exc) from None
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode):
        os.close(fd)
        kind = "a directory" if stat.S_ISDIR(st.st_mode) else "a FIFO" if stat.S_ISFIFO(st.st_mode) else "not a file"
        raise _not_regular(what, kind)
    return fd


def _not_regular(what: str, kind: str) -> TarnIOError:
    # The single-file reader's words for the same refusal.
    return TarnIOError(f"cannot open {what}: not a regular file ({kind})")


def open_directory(name: str, dir_fd: int | None, what: str) -> int:
    """A descriptor of the directory *name* under *dir_fd*, opened without
    following a link: TarnCorruptError naming *what* when it is a link or
    not a directory (the shard it leads to would lie outside the store),
    FileNotFoundError when it is missing."""
    try:
        return os.open(name, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=dir_fd)
    except FileNotFoundError:
        raise
    except OSError as exc:
        if exc.errno in (errno.ELOOP, errno.ENOTDIR):
            raise TarnCorruptError(f"{what}: {name} is not a directory of the store (a link or a file)") from None
        raise io_error(what, "cannot open", exc) from None


def read_header(path: str, name: str, dir_fd: int | None = None) -> ShardInfo:
    """The figures of the store file *path* (under *dir_fd* if given, no
    link followed), read from its header and size; *name* is its manifest
    name.  FileNotFoundError when it is missing."""
    fd = open_regular(path, dir_fd, f"shard {name!r}")
    try:
        size = os.fstat(fd).st_size
        head = os.pread(fd, HEADER_SIZE, 0)
    finally:
        os.close(fd)
    if len(head) < HEADER_SIZE:
        raise TarnCorruptError(f"shard {name!r} is too short for a store file ({size} bytes)")
    parsed = parse(head)
    if parsed is None:
        raise TarnCorruptError(f"shard {name!r} is not a store file (bad magic)")
    _version, keys, objects, _index, _data, crc = parsed
    return ShardInfo(name, keys, objects, size, crc)


def lookup_index_size(path: str) -> int:
    """The size of the lookup index record the store file *path* carries,
    read from its header (0: none); for a build's report."""
    fd = open_regular(path, None, path)
    try:
        return lookup_index_bytes(os.pread(fd, HEADER_SIZE, 0))
    finally:
        os.close(fd)


# ------------------------------------------------------------------ writing


def fsync_dir(path: str) -> None:
    """Makes the entries of directory *path* durable."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_manifest(store: str, manifest: Manifest) -> None:
    """Replaces the store's manifest with *manifest*, atomically and durably,
    through the native atomic file (its temporary file, ``manifest.tndb.tmp``,
    refused unless private to this user)."""
    text = json.dumps(manifest.to_json(), indent=1).encode() + b"\n"
    _fast.write_atomically(os.path.join(store, MANIFEST), text)


# ------------------------------------------------------------------ reading


def _bad(store: str, what: str) -> TarnCorruptError:
    return TarnCorruptError(f"{store}: damaged manifest: {what}")


def _count(store: str, obj: dict[str, object], field: str, where: str, limit: int) -> int:
    value = obj.get(field)
    if type(value) is not int or not 0 <= value <= limit:
        raise _bad(store, f"{where}{field} must be an integer from 0 to {limit}, not {value!r}")
    return value


def read_manifest(store: str, dir_fd: int | None = None) -> Manifest:
    """The manifest of the store directory *store* (read through *dir_fd*,
    a descriptor of it, if given), checked in itself (names, counts,
    totals); TarnCorruptError when it is missing or damaged, TarnIOError
    (errno kept) when it cannot be read or is not a regular file,
    TarnVersionError for a later version of the layout."""
    try:
        fd = open_regular(MANIFEST if dir_fd is not None else os.path.join(store, MANIFEST), dir_fd, MANIFEST)
    except FileNotFoundError:
        names = os.listdir(dir_fd if dir_fd is not None else store)
        if not any(generation_of(name) is not None for name in names):
            # A plain directory, not a damaged store: say what it is.
            raise errno_error(f"cannot open {store}: is a directory", errno.EISDIR) from None
        raise TarnCorruptError(f"{store}: not a sharded store: {MANIFEST} is missing") from None
    except TarnCorruptError as exc:
        raise _bad(store, str(exc)) from None
    except TarnIOError as exc:
        raise with_context(exc, store) from None
    try:
        with os.fdopen(fd, "rb") as f:
            data = f.read(MAX_MANIFEST + 1)
    except OSError as exc:
        raise io_error(f"{store}: {MANIFEST}", "cannot read", exc) from None
    if len(data) > MAX_MANIFEST:
        raise _bad(store, f"larger than {MAX_MANIFEST} bytes")
    try:
        doc = json.loads(data)
    except (UnicodeDecodeError, json.JSONDecodeError) as exc:
        raise _bad(store, f"not JSON ({exc})") from None
    except RecursionError:
        raise _bad(store, "not JSON (nested too deeply)") from None
    except ValueError as exc:  # an integer of more digits than Python converts
        raise _bad(store, f"not JSON ({exc})") from None
    if not isinstance(doc, dict):
        raise _bad(store, "not a JSON object")
    if doc.get("format") != FORMAT:
        raise _bad(store, f"format is {doc.get('format')!r}, not {FORMAT!r}")
    version = doc.get("version")
    if type(version) is not int:
        raise _bad(store, f"version must be an integer, not {version!r}")
    if version != VERSION:
        raise TarnVersionError(f"{store}: sharded layout version {version} is not supported (only {VERSION})")
    if doc.get("route") != ROUTE:
        raise _bad(store, f"route is {doc.get('route')!r}, not {ROUTE!r}")
    generation = _count(store, doc, "generation", "", 10**12)
    count = _count(store, doc, "shard_count", "", 0xFFFFFFFF)
    entries = doc.get("shards")
    if not isinstance(entries, list):
        raise _bad(store, "shards must be a list")
    if len(entries) != count or count == 0:
        raise _bad(store, f"shard_count is {count} but {len(entries)} shards are listed")
    shards: list[ShardInfo] = []
    for i, entry in enumerate(entries):
        where = f"shard {i}: "
        if not isinstance(entry, dict):
            raise _bad(store, f"{where}not a JSON object")
        name = entry.get("file")
        if not isinstance(name, str):
            raise _bad(store, f"{where}file must be a string, not {name!r}")
        _check_name(store, name)
        if name != shard_name(generation, i):
            raise _bad(store, f"{where}file is {name!r}, not {shard_name(generation, i)!r}")
        crc = entry.get("file_crc32")
        if not isinstance(crc, str) or not _CRC_TEXT.match(crc):
            raise _bad(store, f"{where}file_crc32 must be '0x' and 8 hex digits, not {crc!r}")
        shards.append(
            ShardInfo(
                name,
                _count(store, entry, "num_keys", where, 0xFFFFFFFF),
                _count(store, entry, "num_objects", where, 0xFFFFFFFF),
                _count(store, entry, "file_size", where, 1 << 62),
                int(crc, 16),
            )
        )
    manifest = Manifest(generation, tuple(shards))
    for field in ("num_keys", "num_objects", "file_size"):
        total = _count(store, doc, field, "", 1 << 62)
        if total != getattr(manifest, field):
            raise _bad(store, f"{field} is {total}, but the shards add up to {getattr(manifest, field)}")
    return manifest


def _check_name(store: str, name: str) -> list[str]:
    # A relative name of plain components: nothing that could climb out.
    parts = name.split("/")
    if os.path.isabs(name) or "\\" in name or "\0" in name or any(p in ("", ".", "..") for p in parts):
        raise TarnCorruptError(f"{store}: manifest names a file outside the store: {name!r}")
    return parts


def resolve_shard(store: str, name: str) -> str:
    """The real path of the shard *name*, checked to lie inside *store*
    (no absolute name, no ``..``, no symbolic link leading out)."""
    parts = _check_name(store, name)
    root = os.path.realpath(store)
    real = os.path.realpath(os.path.join(root, *parts))
    if os.path.commonpath([root, real]) != root or real == root:
        raise TarnCorruptError(f"{store}: manifest names a file outside the store: {name!r} leads to {real!r}")
    return real


def check_shard(store: str, index: int, expected: ShardInfo, dir_fd: int) -> None:
    """Compares the header of shard *index* on disk with the manifest,
    opening it under *dir_fd* (the store's descriptor) without following a
    link.  FileNotFoundError when it is missing (the caller decides whether
    a concurrent publish removed it)."""
    directory, _, file = expected.file.partition("/")
    gen_fd = open_directory(directory, dir_fd, f"{store}: shard {index}")
    try:
        found = read_header(file, expected.file, gen_fd)
    finally:
        os.close(gen_fd)
    compare(store, index, expected, found)


def compare(store: str, index: int, expected: ShardInfo, found: ShardInfo) -> None:
    """TarnCorruptError unless *found*, shard *index*'s figures, are those
    the manifest gives."""
    for field in ("num_keys", "num_objects", "file_size", "file_crc32"):
        want, got = getattr(expected, field), getattr(found, field)
        if want != got:
            show = (lambda v: f"0x{v:08x}") if field == "file_crc32" else str
            raise TarnCorruptError(
                f"{store}: shard {index} ({expected.file}) does not match the manifest: "
                f"{field} is {show(got)}, the manifest says {show(want)}"
            )
