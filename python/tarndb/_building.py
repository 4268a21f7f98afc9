"""What every writer shares: key checks, the payload of an object (the
``default=`` hook), the build report, and the base class of the API.

The single-file writer (``tarndb._file_writer``) and the sharded writer
(``tarndb.sharded.writer``) are siblings: each imports this module, neither
imports the other, and ``tarndb.TarnWriter`` chooses between them.
Everything here is pure over its arguments.
"""

from __future__ import annotations

import abc
import os
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from types import TracebackType
from typing import Literal, NoReturn, Protocol, Self, Union

from tarndb import _codec, _units, errors
from tarndb._codec import Default
from tarndb._layout import MAX_KEY_LEN
from tarndb.errors import TarnError, TarnIOError

__all__ = [
    "Key",
    "StrPath",
    "Progress",
    "Default",
    "key_bytes",
    "checked_key",
    "raw_payload",
    "BuildReport",
    "report_of",
    "store_report",
    "run_build",
    "io_error",
    "with_context",
    "WriterBase",
]

#: A key: text (stored as its UTF-8 bytes) or bytes.  ``"é"`` and
#: ``"é".encode()`` are the same key.
Key = Union[str, bytes]

#: A file path: text or a path object.
StrPath = Union[str, "os.PathLike[str]"]

#: Called as ``progress(written, total)``, both in bytes, while a build writes.
Progress = Callable[[int, int], object]


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


def checked_key(key: Key) -> Key:
    """*key* checked as :func:`key_bytes` checks it, in the form the native
    writer takes fastest: ASCII text as it is (the native fast path),
    anything else as its UTF-8 bytes, so that errors name the key."""
    if type(key) is str and key.isascii():
        if len(key) > MAX_KEY_LEN:
            _too_long(len(key))
        return key
    return key_bytes(key)


def raw_payload(payload: bytes | bytearray | memoryview) -> bytes:
    """*payload* as bytes, checked to be exactly one msgpack value a reader
    can decode; ValueError otherwise."""
    data = bytes(payload)
    _codec.check_payload(data)
    return data


@dataclass(frozen=True)
class BuildReport:
    """What one build wrote: the store at *path* holds *objects* objects
    under *keys* keys, in *files* files (1, or a sharded store's shards) of
    *bytes* bytes together, written in *seconds*; of those bytes,
    *lookup_index_bytes* are the lookup index records the files carry, and
    *indexed_files* of the files carry one (a file whose keys are not all
    text carries none).  The figures ``TarnReader.stats`` gives for the
    store."""

    path: str
    objects: int
    keys: int
    bytes: int
    seconds: float
    lookup_index_bytes: int = 0
    files: int = 1
    indexed_files: int = 0

    @property
    def carries_lookup_index(self) -> bool:
        """Whether every file written carries a lookup index (a reader opens
        each in constant time)."""
        return self.indexed_files == self.files

    def summary(self) -> str:
        """One line, e.g. ``✅  fruit.tndb  —  2 objects · 4 keys · 202 bytes``."""
        return (
            f"\u2705  {self.path}  \u2014  {_units.count(self.objects, 'object')} \u00b7 "
            f"{_units.count(self.keys, 'key')} \u00b7 {_units.size(self.bytes)}"
        )


# What the native builds return: (build number, path, objects, keys, bytes,
# seconds, lookup index bytes).
NativeReport = tuple[int, str, int, int, int, float, int]


def report_of(native: NativeReport) -> BuildReport:
    """The BuildReport of a native build's report tuple."""
    _number, path, objects, keys, size, seconds, lookup_bytes = native
    return store_report(path, objects, keys, size, seconds, [lookup_bytes])


def store_report(
    path: str, objects: int, keys: int, size: int, seconds: float, lookup_sizes: Sequence[int]
) -> BuildReport:
    """The BuildReport of a store of one file or of shards, whose files
    carry lookup index records of *lookup_sizes* bytes (0: none), one
    figure per file."""
    return BuildReport(
        path, objects, keys, size, seconds, sum(lookup_sizes), len(lookup_sizes), sum(1 for n in lookup_sizes if n)
    )


def io_error(path: str, what: str, exc: OSError) -> TarnIOError:
    """A TarnIOError for a failed system call on *path*, errno kept."""
    number = f" (os error {exc.errno})" if exc.errno is not None else ""
    return errors.io_error(f"{path}: {what}: {exc.strerror or exc}{number}", exc.errno)


def with_context(exc: TarnError, context: str) -> TarnError:
    """An error of *exc*'s class whose message is *context*, a colon and
    *exc*'s own; errno kept."""
    err = type(exc)(f"{context}: {exc}")
    if isinstance(exc, TarnIOError) and isinstance(err, TarnIOError):
        err.errno = exc.errno
    return err


def _build_failure(target: str, exc: TarnError) -> TarnError:
    # The same class, its message naming the target; errno kept.
    return with_context(exc, f"cannot build {target}")


class NativeBuild(Protocol):
    # What run_build needs of tarndb._fast's Writer and Merge.
    def build(self, path: str, progress: Progress | None = None) -> NativeReport: ...
    def last_report(self) -> NativeReport | None: ...


def run_build(native: NativeBuild, target: str, progress: Progress | None) -> BuildReport:
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
        return report_of(done)
    except KeyboardInterrupt:
        after = native.last_report()
        if after is None or (before is not None and after[0] == before[0]):
            raise  # stopped before the rename: the target is as it was
        return report_of(after)  # the signal came after the rename


class WriterBase(abc.ABC):
    """The API both writers have (documented on ``tarndb.TarnWriter``):
    staging through :meth:`_stage`, the rest built on it.

    Each writer defines the members below that raise NotImplementedError.
    They are not marked abstract because ``tarndb.TarnWriter``, the public
    constructor, derives from this class and is itself instantiated: its
    ``__new__`` returns one of the two writers instead."""

    __slots__ = ()

    _path: str | None
    _default: Default | None

    @property
    def path(self) -> str | None:
        """The target given to the constructor, if any."""
        return self._path

    @property
    def num_objects(self) -> int:
        """The number of objects staged so far."""
        raise NotImplementedError

    @property
    def last_build(self) -> BuildReport | None:
        """The report of this writer's latest successful build, or None."""
        raise NotImplementedError

    def _stage(self, raw: bytes, keys: tuple[Key, ...]) -> int:
        raise NotImplementedError

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
        return self._stage(raw_payload(payload), keys)

    def alias(self, key: Key, obj_id: int) -> None:
        """Maps *key* to the object with ID *obj_id* (from :meth:`add`).

        TarnError when no object has that ID; TypeError or OverflowError
        when *obj_id* is not an integer from 0 to 2**64 - 1.
        """
        raise NotImplementedError

    def __setitem__(self, key: Key, obj: object) -> None:
        """``w[key] = obj`` stages *obj* under one key, like ``w.add(obj, key)``."""
        self.add(obj, key)

    def build(
        self, path: StrPath | None = None, *, verbose: bool | None = None, progress: Progress | None = None
    ) -> BuildReport:
        """Writes everything staged so far and returns what it wrote."""
        raise NotImplementedError

    def __enter__(self) -> Self:
        raise NotImplementedError

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_val: BaseException | None,
        exc_tb: TracebackType | None,
    ) -> Literal[False]:
        raise NotImplementedError

    def __reduce_ex__(self, protocol: object) -> NoReturn:
        raise TypeError(
            "a TarnWriter cannot be pickled: its staged content lives in this process only; "
            "build the store and pass its path (or a TarnReader) instead"
        )
