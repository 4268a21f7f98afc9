"""TarnWriter: stage objects under keys, then build a store file."""

from __future__ import annotations

import os
import sys
from types import TracebackType
from typing import Literal, Union

from tarndb import _codec
from tarndb._tarndb import _TarnWriter
from tarndb.errors import NATIVE_ERRORS, TarnError, reraise

__all__ = ["TarnWriter", "Key", "StrPath"]

#: A key: text (stored as its UTF-8 bytes) or bytes.  ``"é"`` and
#: ``"é".encode()`` are the same key.
Key = Union[str, bytes]

#: A file path: text or a path object.
StrPath = Union[str, "os.PathLike[str]"]

MAX_KEY_LEN = 65535


def key_bytes(key: Key) -> bytes:
    """The stored form of *key*.  ValueError "key must be str or bytes" for
    anything else (as the native layer says); TarnError when too long."""
    if isinstance(key, str):
        try:
            data = key.encode("utf-8")
        except UnicodeEncodeError:
            raise ValueError("key must be str or bytes") from None
    elif isinstance(key, (bytes, bytearray, memoryview)):
        data = bytes(key)
    else:
        raise ValueError("key must be str or bytes")
    if len(data) > MAX_KEY_LEN:
        raise TarnError(f"TarnError: key of {len(data)} bytes exceeds the limit of {MAX_KEY_LEN} bytes")
    return data


def _flush_stdout() -> None:
    # The native build writes its summary line straight to file descriptor 1;
    # flushing first keeps it after whatever Python printed before it.
    stream = sys.stdout
    if stream is None:
        return
    try:
        stream.flush()
    except (OSError, ValueError):
        pass


class TarnWriter:
    """Collects objects and keys in memory and writes them as one store file.

    Each object is serialised to msgpack once, when it is added, and may be
    reached through any number of keys::

        with TarnWriter("fruit.tndb") as w:
            oid = w.add({"name": "apple", "colour": "red"}, "apple", "malus")
            w.alias("pomme", oid)
            w["pear"] = {"name": "pear", "colour": "green"}

    ``TarnWriter(path, shards=N, workers=W)`` builds a sharded store
    directory instead, with bounded memory (see ``docs/SCALING.md``).

    Used as a context manager, the writer builds *path* when the block ends
    normally and builds nothing when it raises.  Without one, call
    :meth:`build` yourself, as often as you like, to the constructor's path
    or any other; staging may go on after a build.

    A build replaces the target atomically (temporary file beside it, fsync,
    rename, sync of the directory) and then prints one summary line to the
    process's standard output (file descriptor 1), for example
    ``✅  fruit.tndb  —  2 objects · 4 keys · 0.1 KB``.  The line is written
    by the native layer, bypassing ``sys.stdout`` (which is flushed first so
    that the order of output is kept); redirect descriptor 1 of the process
    if you do not want it.

    A writer is meant for one thread at a time; overlapping calls from
    several threads are rejected with RuntimeError "Already borrowed".
    """

    __slots__ = ("_native", "_path", "_objects")

    def __new__(cls, path: StrPath | None = None, *, shards: int | None = None, workers: int = 1) -> TarnWriter:
        # shards=N makes the target a sharded store directory (tarndb._sharded).
        if shards is not None and cls is TarnWriter:
            from tarndb._sharded import ShardedWriter

            return super().__new__(ShardedWriter)
        return super().__new__(cls)

    def __init__(self, path: StrPath | None = None, *, shards: int | None = None, workers: int = 1) -> None:
        if workers != 1:
            raise ValueError("workers= applies to a sharded store: give shards= as well")
        self._native = _TarnWriter()
        self._path: str | None = None if path is None else os.fspath(path)
        self._objects = 0

    @property
    def path(self) -> str | None:
        """The target given to the constructor, if any."""
        return self._path

    @property
    def num_objects(self) -> int:
        """The number of objects staged so far."""
        return self._objects

    def add(self, obj: object, *keys: Key) -> int:
        """Stages *obj* (serialised to msgpack now) under every key in *keys*
        and returns its object ID, for :meth:`alias`.

        A key given again later is mapped to the later object.  With no keys
        the object is stored all the same and can be given keys by alias().
        Raises TypeError for an object msgpack cannot hold, ValueError for a
        key that is neither str nor bytes, TarnError for one longer than
        65535 bytes; nothing is staged then.
        """
        raw = _codec.pack(obj)
        stored = [key_bytes(k) for k in keys]
        native = self._native
        try:
            obj_id = native.add_object_raw(raw)
            self._objects = obj_id + 1
            for k in stored:
                native.add_key(k, obj_id)
        except NATIVE_ERRORS as exc:
            reraise(exc)
        return obj_id

    def alias(self, key: Key, obj_id: int) -> None:
        """Maps *key* to the object with ID *obj_id* (from :meth:`add`).

        TarnError when no object has that ID; TypeError or OverflowError
        when *obj_id* is not an integer from 0 to 2**64 - 1.
        """
        stored = key_bytes(key)
        try:
            self._native.add_key(stored, obj_id)
        except NATIVE_ERRORS as exc:
            reraise(exc)

    def __setitem__(self, key: Key, obj: object) -> None:
        """``w[key] = obj`` stages *obj* under one key, like ``w.add(obj, key)``."""
        self.add(obj, key)

    def build(self, path: StrPath | None = None) -> None:
        """Writes everything staged so far to *path* (default: the
        constructor's path), replacing any file there atomically.

        Raises TarnIOError (also an OSError) when the file cannot be
        written; the previous file at *path*, if any, is then left as it was.
        """
        target = self._path if path is None else os.fspath(path)
        if target is None:
            raise TypeError("TarnWriter.build() needs a path: none was given to the constructor")
        _flush_stdout()
        try:
            self._native.build(target)
        except NATIVE_ERRORS as exc:
            reraise(exc)

    def __enter__(self) -> TarnWriter:
        if self._path is None:
            raise TypeError("TarnWriter needs a path to be used in a with statement")
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]:
        if exc_type is None:
            self.build()
        return False

    def __repr__(self) -> str:
        # The native repr reads "_TarnWriter(objects=N, keys=M)".
        counts = repr(self._native).partition("(")[2].rstrip(")")
        return f"TarnWriter(path={self._path!r}, {counts})"
