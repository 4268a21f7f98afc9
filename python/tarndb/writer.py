"""TarnWriter: stage objects under keys, then build a store file."""

from __future__ import annotations

import os
import sys
from collections.abc import Callable
from dataclasses import dataclass
from types import TracebackType
from typing import Literal, NoReturn, Protocol, Union

from tarndb import _codec, _units
from tarndb._codec import Default
from tarndb._fast import Writer
from tarndb.errors import TarnError, TarnIOError

__all__ = ["TarnWriter", "BuildReport", "Key", "StrPath", "key_bytes"]

#: A key: text (stored as its UTF-8 bytes) or bytes.  ``"é"`` and
#: ``"é".encode()`` are the same key.
Key = Union[str, bytes]

#: A file path: text or a path object.
StrPath = Union[str, "os.PathLike[str]"]

#: Called as ``progress(written, total)``, both in bytes, while a build writes.
Progress = Callable[[int, int], object]

MAX_KEY_LEN = 65535


def _too_long(n: int) -> NoReturn:
    raise TarnError(f"key of {n} bytes exceeds the limit of {MAX_KEY_LEN} bytes")


def key_bytes(key: Key) -> bytes:
    """The stored form of *key*: its UTF-8 bytes.

    ValueError for a str that cannot be encoded as UTF-8 (a lone
    surrogate) and for bytes that are not valid UTF-8 (a reader could not
    list them as text); TypeError for anything that is neither str nor
    bytes; TarnError when the key is longer than 65535 bytes.
    """
    if isinstance(key, str):
        try:
            data = key.encode("utf-8")
        except UnicodeEncodeError as exc:
            raise ValueError(
                f"key {key!r} cannot be encoded as UTF-8: it holds a lone surrogate at index {exc.start}"
            ) from None
    elif isinstance(key, (bytes, bytearray, memoryview)):
        data = bytes(key)
        try:
            data.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ValueError(
                f"key {data!r} is not valid UTF-8 (at byte {exc.start}); tarndb keys are text, "
                "give the key as str or as its UTF-8 bytes"
            ) from None
    else:
        # The same text as the native reader's: callers match on it.
        raise TypeError(f"key must be str or bytes, not {type(key).__name__!r}")
    if len(data) > MAX_KEY_LEN:
        _too_long(len(data))
    return data


def _checked(key: Key) -> Key:
    # ASCII text goes to the native layer as it is (its fast path); anything
    # else is checked and encoded here, so that errors name the key.
    if type(key) is str and key.isascii():
        if len(key) > MAX_KEY_LEN:
            _too_long(len(key))
        return key
    return key_bytes(key)


@dataclass(frozen=True)
class BuildReport:
    """What one build wrote: the store at *path* holds *objects* objects
    under *keys* keys, in a file of *bytes* bytes, written in *seconds*."""

    path: str
    objects: int
    keys: int
    bytes: int
    seconds: float

    def summary(self) -> str:
        """One line, e.g. ``✅  fruit.tndb  —  2 objects · 4 keys · 202 bytes``."""
        return (
            f"\u2705  {self.path}  \u2014  {_units.count(self.objects, 'object')} \u00b7 "
            f"{_units.count(self.keys, 'key')} \u00b7 {_units.size(self.bytes)}"
        )


# What the native builds return: (build number, path, objects, keys, bytes, seconds).
_NativeReport = tuple[int, str, int, int, int, float]


def _report(native: _NativeReport) -> BuildReport:
    _number, path, objects, keys, size, seconds = native
    return BuildReport(path, objects, keys, size, seconds)


def _build_failure(target: str, exc: TarnError) -> TarnError:
    # The same class, its message naming the target; errno kept.
    err = type(exc)(f"cannot build {target}: {exc}")
    if isinstance(exc, TarnIOError) and isinstance(err, TarnIOError):
        err.errno = exc.errno
    return err


class _NativeBuild(Protocol):
    # What run_build needs of tarndb._fast's Writer and Merge.
    def build(self, path: str, progress: Progress | None = None) -> _NativeReport: ...
    def last_report(self) -> _NativeReport | None: ...


def run_build(native: _NativeBuild, target: str, progress: Progress | None) -> BuildReport:
    """Runs *native*'s build to *target* and returns its report.

    A failure names the target.  A KeyboardInterrupt from the build itself
    (the build stopped before the rename) propagates; one that arrives once
    the build has counted itself done (the native call records its report
    before it returns) is too late to stop it, so the report stands."""
    before = native.last_report()
    try:
        try:
            done = native.build(target, progress)
        except TarnError as exc:
            raise _build_failure(target, exc) from exc
        return _report(done)
    except KeyboardInterrupt:
        after = native.last_report()
        if after is None or (before is not None and after[0] == before[0]):
            raise  # stopped before the rename: the target is as it was
        return _report(after)  # the signal came after the rename


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
    rename, sync of the directory), prints nothing unless *verbose*, and
    returns a :class:`BuildReport`.  *default* is a hook for values msgpack
    cannot hold, as for ``msgpack.packb``: it is given such a value and
    returns one msgpack can hold, or raises TypeError;
    :func:`tarndb.to_builtin` is a ready one for dates and times, Decimal,
    UUID, numpy scalars and arrays, and sets.

    Ctrl-C during a build (KeyboardInterrupt) stops it before the rename:
    the temporary file is removed, the target keeps its old content, and
    the KeyboardInterrupt is raised.  A signal that comes after the rename
    is too late to stop it: the build returns its report as usual, and
    :attr:`last_build` tells the two cases apart wherever the interrupt is
    caught.

    A writer is meant for one thread at a time: a call that overlaps
    another one (a build included) from another thread is rejected with
    RuntimeError "Already borrowed".  A build releases the interpreter lock
    while it writes, so other threads run meanwhile.  Writers cannot be
    pickled: their staged content lives in this process only.
    """

    __slots__ = ("_native", "_path", "_objects", "_default", "_verbose")

    def __new__(cls, path: StrPath | None = None, *, shards: int | None = None, **_: object) -> TarnWriter:
        # shards=N makes the target a sharded store directory (tarndb._sharded).
        if shards is not None and cls is TarnWriter:
            from tarndb._sharded import ShardedWriter

            return super().__new__(ShardedWriter)
        return super().__new__(cls)

    def __init__(
        self,
        path: StrPath | None = None,
        *,
        default: Default | None = None,
        verbose: bool = False,
        shards: int | None = None,
        workers: int = 1,
    ) -> None:
        if workers != 1:
            raise ValueError("workers= applies to a sharded store: give shards= as well")
        self._native = Writer()
        self._path: str | None = None if path is None else os.fspath(path)
        self._objects = 0
        self._default = default
        self._verbose = verbose

    @property
    def path(self) -> str | None:
        """The target given to the constructor, if any."""
        return self._path

    @property
    def num_objects(self) -> int:
        """The number of objects staged so far."""
        return self._objects

    @property
    def last_build(self) -> BuildReport | None:
        """The report of this writer's latest successful build, or None.

        Set by the native build before it returns, so that after a
        KeyboardInterrupt it tells whether the target was replaced.
        """
        native = self._native.last_report()
        return None if native is None else _report(native)

    def add(self, obj: object, *keys: Key) -> int:
        """Stages *obj* (serialised to msgpack now) under every key in *keys*
        and returns its object ID, for :meth:`alias`.

        A key given again later is mapped to the later object.  With no keys
        the object is stored all the same and can be given keys by alias().
        Raises TypeError for an object msgpack cannot hold (after the
        *default* hook), ValueError for a key that is not str or bytes or not
        UTF-8, TarnError for one longer than 65535 bytes; nothing is staged
        then.
        """
        return self._stage(_codec.pack(obj, self._default), keys)

    def add_raw(self, payload: bytes | bytearray | memoryview, *keys: Key) -> int:
        """Stages *payload*, the msgpack bytes of one object, as it is, under
        every key in *keys*, and returns its object ID.

        The payload is checked to be exactly one msgpack value that a
        reader can decode; ValueError otherwise, and nothing is staged.  Use
        it to copy objects between stores without decoding them
        (``TarnReader.raw(key)`` gives such bytes).
        """
        data = bytes(payload)
        _codec.check_payload(data)
        return self._stage(data, keys)

    def _stage(self, raw: bytes, keys: tuple[Key, ...]) -> int:
        stored = [_checked(k) for k in keys]
        native = self._native
        obj_id = native.add_object_raw(raw)
        self._objects = obj_id + 1
        for k in stored:
            native.add_key(k, obj_id)
        return obj_id

    def alias(self, key: Key, obj_id: int) -> None:
        """Maps *key* to the object with ID *obj_id* (from :meth:`add`).

        TarnError when no object has that ID; TypeError or OverflowError
        when *obj_id* is not an integer from 0 to 2**64 - 1.
        """
        self._native.add_key(_checked(key), obj_id)

    def __setitem__(self, key: Key, obj: object) -> None:
        """``w[key] = obj`` stages *obj* under one key, like ``w.add(obj, key)``."""
        self.add(obj, key)

    def build(
        self, path: StrPath | None = None, *, verbose: bool | None = None, progress: Progress | None = None
    ) -> BuildReport:
        """Writes everything staged so far to *path* (default: the
        constructor's path), replacing any file there atomically, and
        returns what it wrote.

        *verbose* (default: the constructor's) prints the report's summary
        line to ``sys.stdout``.  *progress*, if given, is called as
        ``progress(written, total)`` in bytes while the file is written, at
        most every 50 ms; an exception it raises stops the build before the
        rename, like Ctrl-C.

        Raises TarnIOError (also an OSError) naming *path* when the file
        cannot be written; the previous file at *path*, if any, is then left
        as it was, and no temporary file is left behind.
        """
        target = self._path if path is None else os.fspath(path)
        if target is None:
            raise TypeError("TarnWriter.build() needs a path: none was given to the constructor")
        report = run_build(self._native, target, progress)
        if self._verbose if verbose is None else verbose:
            print(report.summary(), file=sys.stdout)
        return report

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

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(
            "a TarnWriter cannot be pickled: its staged content lives in this process only; "
            "build the store and pass its path (or a TarnReader) instead"
        )

    def __repr__(self) -> str:
        # The native repr reads "Writer(objects=N, keys=M)".
        counts = repr(self._native).partition("(")[2].rstrip(")")
        return f"TarnWriter(path={self._path!r}, {counts})"
