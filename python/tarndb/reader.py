"""TarnReader: a read-only mapping over a store file."""

from __future__ import annotations

import bisect
import os
import threading
from collections.abc import Iterator, Mapping
from types import TracebackType
from typing import Any, Literal, TypedDict, cast

from tarndb import _codec
from tarndb._tarndb import _TarnReader
from tarndb.errors import NATIVE_ERRORS, reraise
from tarndb.writer import Key, StrPath

__all__ = ["TarnReader", "Stats"]

_LOSSY = "\ufffd"


class Stats(TypedDict):
    """What :attr:`TarnReader.stats` reports, read from the file's header."""

    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: int
    data_offset: int
    file_size_kb: float
    file_crc32: str


class TarnReader(Mapping[str, Any]):
    """A read-only ``Mapping`` from keys to the objects of a store file.

    ``r[key]`` (KeyError when absent), ``key in r``, ``len(r)``,
    ``iter(r)``, ``keys()``, ``items()``, ``values()``, ``get()`` and ``==``
    behave as for a ``dict`` holding the same data; iteration is in sorted
    key order.  Keys may be given as ``str`` or ``bytes`` (``"é"`` and
    ``"é".encode()`` are the same key); keys come out as ``str``.  Objects
    are decoded from msgpack when they are accessed, never at open.

    Opening reads the file's header and its whole key index; with
    ``verify=True`` (the default) it also checks the CRC-32 of the whole file,
    so a damaged file fails at once.  :meth:`verify` checks every object's
    own CRC-32 as well.

    Threads: one reader may be shared freely between threads; nothing in it
    changes after it is opened (the key list behind ``len()`` and iteration
    is built once, on first use, under a lock).

    Replacement: a store is replaced by building a new file over it, which
    renames the new file into place.  An open reader keeps seeing the file it
    opened, unchanged, until it is closed; open a new reader to see the new
    content.  A store file must never be truncated or rewritten in place
    while a reader has it open.

    Files written by other programs may hold a key twice, or key bytes that
    are not UTF-8.  Lookups see the later of two entries.  Iteration,
    ``len()`` and :meth:`prefix` list each key once, and leave out keys that
    are not valid UTF-8 (they cannot be given back as ``str``); such keys
    are still found by ``r[b"..."]`` with their bytes.

    After :meth:`close` (or the end of a ``with`` block) the file mapping is
    released once no call is still using it, and every further access
    raises ValueError.
    """

    __slots__ = ("_native", "_path", "_keys", "_lock", "__weakref__")

    def __init__(self, path: StrPath, verify: bool = True) -> None:
        self._path = os.fspath(path)
        self._keys: list[str] | None = None
        self._lock = threading.Lock()
        try:
            self._native: _TarnReader | None = _TarnReader(self._path, bool(verify))
        except NATIVE_ERRORS as exc:
            reraise(exc)

    # The native reader, or ValueError once closed.
    def _reader(self) -> _TarnReader:
        native = self._native
        if native is None:
            raise ValueError(f"I/O operation on a closed TarnReader ({self._path!r})")
        return native

    @property
    def path(self) -> str:
        """The path the reader was opened on."""
        return self._path

    @property
    def closed(self) -> bool:
        """True once :meth:`close` was called."""
        return self._native is None

    # ----------------------------------------------------------- mapping

    def __getitem__(self, key: Key) -> Any:
        return _codec.unpack(self.raw(key), key)

    def get(self, key: Key, default: Any = None) -> Any:
        """The object under *key*, or *default* when the key is absent."""
        try:
            raw = self._reader().get_raw(key)
        except NATIVE_ERRORS as exc:
            reraise(exc)
        if raw is None:
            return default
        return _codec.unpack(raw, key)

    def __contains__(self, key: object) -> bool:
        # Never reads an object: the answer comes from the in-memory index.
        return self._reader().exists(cast(Key, key))

    def __iter__(self) -> Iterator[str]:
        return iter(self._key_list())

    def __len__(self) -> int:
        return len(self._key_list())

    def _key_list(self) -> list[str]:
        native = self._reader()
        keys = self._keys
        if keys is None:
            with self._lock:
                keys = self._keys
                if keys is None:
                    keys = self._keys = self._unique_keys(native)
        return keys

    @staticmethod
    def _unique_keys(native: _TarnReader) -> list[str]:
        listed = native.keys()
        # dict.fromkeys drops repeated keys and keeps the order.
        unique = dict.fromkeys(listed)
        keys = [k for k in unique if _LOSSY not in k or native.exists(k)]
        keys.sort()  # already sorted for files of the tarndb writer: one pass
        return keys

    # ----------------------------------------------------------- beyond Mapping

    def prefix(self, prefix: Key) -> list[tuple[str, Any]]:
        """All ``(key, object)`` pairs whose key starts with *prefix*, in
        sorted key order.  An empty prefix gives every pair."""
        native = self._reader()
        try:
            pairs = native.prefix_raw(prefix)
        except NATIVE_ERRORS as exc:
            reraise(exc)
        keys = [k for k, _ in pairs]
        if len(set(keys)) != len(keys) or any(_LOSSY in k for k in keys):
            pairs = self._settle(native, pairs)
        return [(k, _codec.unpack(raw, k)) for k, raw in pairs]

    @staticmethod
    def _settle(native: _TarnReader, pairs: list[tuple[str, bytes]]) -> list[tuple[str, bytes]]:
        # Keys listed twice, or decoded with replacement characters: keep
        # each key once with the object a lookup of it finds, if any.
        settled: dict[str, bytes] = {}
        for k, _ in pairs:
            if k not in settled:
                try:
                    raw = native.get_raw(k)
                except NATIVE_ERRORS as exc:
                    reraise(exc)
                if raw is not None:
                    settled[k] = raw
        return sorted(settled.items())

    def prefix_keys(self, prefix: str) -> list[str]:
        """The keys that start with *prefix*, in sorted order, without
        reading any object."""
        keys = self._key_list()
        start = bisect.bisect_left(keys, prefix)
        end = start
        while end < len(keys) and keys[end].startswith(prefix):
            end += 1
        return keys[start:end]

    def raw(self, key: Key) -> bytes:
        """The msgpack bytes stored under *key*, undecoded (KeyError when absent)."""
        try:
            raw = self._reader().get_raw(key)
        except NATIVE_ERRORS as exc:
            reraise(exc)
        if raw is None:
            raise KeyError(key)
        return raw

    def verify(self) -> Literal[True]:
        """Checks the CRC-32 of the whole file and of every object a key
        refers to.  Returns True, or raises TarnCorruptError naming the
        first fault."""
        try:
            self._reader().verify()
        except NATIVE_ERRORS as exc:
            reraise(exc)
        return True

    @property
    def stats(self) -> Stats:
        """The header's figures: path, version, key and object counts,
        offsets, file size in KiB and the stored CRC-32 ("0x" and 8 hex
        digits).  Counts are those written in the header."""
        s = self._reader().stats()
        return Stats(
            path=str(s["path"]),
            version=int(s["version"]),
            num_keys=int(s["num_keys"]),
            num_objects=int(s["num_objects"]),
            index_offset=int(s["index_offset"]),
            data_offset=int(s["data_offset"]),
            file_size_kb=float(s["file_size_kb"]),
            file_crc32=str(s["file_crc32"]),
        )

    # ----------------------------------------------------------- lifecycle

    def close(self) -> None:
        """Releases the file (once no call in another thread still uses it).
        Calling it again does nothing."""
        self._native = None
        self._keys = None

    def __enter__(self) -> TarnReader:
        self._reader()
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]:
        self.close()
        return False

    def __repr__(self) -> str:
        native = self._native
        if native is None:
            return f"TarnReader({self._path!r}, closed)"
        s = native.stats()
        return f"TarnReader({self._path!r}, keys={s['num_keys']}, objects={s['num_objects']})"
