"""TarnReader: a read-only mapping over a store file."""

from __future__ import annotations

import errno
import os
from collections.abc import Callable, ItemsView, Iterator, KeysView, Mapping, Sequence, ValuesView
from typing import Any, Literal, NotRequired, TypedDict

from tarndb import _fast, _header
from tarndb._building import StrPath, with_context
from tarndb.errors import TarnCorruptError, TarnError, io_error
from tarndb.sharded.manifest import Manifest
from tarndb.sharded.opening import open_store
from tarndb.sharded.verify import verify_layout

__all__ = ["TarnReader", "Stats"]


class Stats(TypedDict):
    """What :attr:`TarnReader.stats` reports, read from the file's header.

    For a store of several shards the counts and the size are totals, and
    the figures that only one file has (``index_offset``, ``data_offset``,
    ``file_crc32``) are left out: :meth:`TarnReader.shard_stats` has each
    shard's."""

    path: str
    version: int
    num_keys: int
    num_objects: int
    index_offset: NotRequired[int]
    data_offset: NotRequired[int]
    file_size_kb: float
    file_crc32: NotRequired[str]
    lookup_index_bytes: int


class _Keys(KeysView[str]):
    __slots__ = ()
    _mapping: TarnReader

    def __iter__(self) -> Iterator[str]:
        return iter(self._mapping)


class _Items(ItemsView[str, Any]):
    __slots__ = ()
    _mapping: TarnReader

    def __iter__(self) -> Iterator[tuple[str, Any]]:
        return self._mapping._iter_items()


class _Values(ValuesView[Any]):
    __slots__ = ()
    _mapping: TarnReader

    def __iter__(self) -> Iterator[Any]:
        return self._mapping._iter_values()


def _reopen(
    cls: type[TarnReader],
    path: str | list[str],
    verify: bool,
    decoder: Callable[[bytes], Any] | None,
    check_reads: bool = True,
) -> TarnReader:
    return cls(path, verify, decoder=decoder, check_reads=check_reads)


class TarnReader(_fast.Reader, Mapping[str, Any]):
    """A read-only ``Mapping`` from keys to the objects of a store file.

    ``r[key]`` (KeyError when absent), ``key in r``, ``len(r)``,
    ``iter(r)``, ``keys()``, ``items()``, ``values()``, ``get()`` and ``==``
    behave as for a ``dict`` holding the same data; iteration is in sorted
    key order.  Keys may be given as ``str`` or ``bytes`` (``"é"`` and
    ``"é".encode()`` are the same key); keys come out as ``str``.  Objects
    are decoded from msgpack when they are accessed, never at open, by the
    package's native decoder or by ``decoder`` (a callable taking the
    stored bytes, such as ``msgpack.unpackb``).

    *path* is one store file, or a list of the shard files of a sharded
    store in shard order (a key lives in shard ``tarndb._fast.route(key,
    len(path))``).  A directory is a sharded store: its manifest is read
    and checked, and its shards opened (see ``docs/SCALING.md``).

    Opening reads the file's header and, for a file without a lookup index
    (files of other programs), its whole key index; a file with one (every
    file the package writes, each shard of a sharded store included) is
    read in place, so that opening costs the same at any size.  With
    ``verify=True`` (the default) opening also checks the CRC-32 of the
    whole file, so a damaged file fails at once, and that each shard's keys
    route to it.  :meth:`verify` checks every object's own CRC-32 as well.

    With ``check_reads=True`` (the default) every object handed out or
    decoded, by any method, first has its record's CRC-32 checked: a
    damaged record raises TarnCorruptError naming the key and the record's
    offset instead of coming back as changed data.  ``check_reads=False``
    saves that checksum (a few percent of a lookup of a small object; more
    for large ones) and gives up the guarantee: with ``verify=False`` as well,
    a flipped bit in a payload is returned as data, or as whatever the
    decoder makes of it.

    Beyond ``Mapping``: :meth:`get_many` and :meth:`raw_many` look up many
    keys at once; :meth:`prefix`, :meth:`prefix_keys` and :meth:`range`
    scan in key order; :meth:`raw` gives the stored bytes.

    Threads: one reader may be shared freely between threads; nothing in it
    changes after it is opened.  Processes: a reader pickles by its path and
    opens the file again where it is unpickled.

    Replacement: a store is replaced by building a new file over it, which
    renames the new file into place.  An open reader keeps seeing the file it
    opened, unchanged, until it is closed; open a new reader to see the new
    content.  A store file must never be truncated or rewritten in place
    while a reader has it open.

    Files written by other programs may hold a key twice, or key bytes that
    are not UTF-8.  Lookups see the later of two entries.  Iteration,
    ``len()``, :meth:`prefix` and :meth:`range` list each key once, with the
    object a lookup finds, and leave out keys that are not valid UTF-8 (they
    cannot be given back as ``str``); such keys are still found by
    ``r[b"..."]`` with their bytes.

    After :meth:`close` (or the end of a ``with`` block) the file mapping is
    released once no call is still using it, and every further access
    raises ValueError.
    """

    __slots__ = ("__weakref__", "_store", "_manifest")
    _store: str | None  # a sharded store's directory
    _manifest: Manifest | None  # the generation it was opened on

    def __new__(
        cls,
        path: StrPath | Sequence[StrPath],
        verify: bool = True,
        *,
        decoder: Callable[[bytes], Any] | None = None,
        check_reads: bool = True,
    ) -> TarnReader:
        target: str | list[str]
        if isinstance(path, (str, os.PathLike)):
            target = os.fspath(path)
            files = [target]
            if os.path.isdir(target):  # a sharded store (tarndb.sharded.opening)
                return cls._open_sharded(target, verify, decoder, check_reads)
        elif isinstance(path, (list, tuple)):
            target = files = [os.fspath(p) for p in path]
        else:
            raise TypeError(f"argument 'path': expected a str, a path or a list of them, not {type(path).__name__!r}")
        for file in files:
            if isinstance(file, str) and os.path.isdir(file):
                raise io_error(f"cannot open {file}: is a directory", errno.EISDIR)
        try:
            self = super().__new__(cls, target, verify, decoder=decoder, check_reads=check_reads)
        except TarnCorruptError as exc:
            # A file cut short says so, with both lengths, rather than only
            # that its checksum or index is wrong.
            for file in files:
                cut = _header.truncation(file)
                if cut is not None:
                    raise TarnCorruptError(f"{file}: {cut}") from exc
            raise
        self._store = self._manifest = None
        return self

    @classmethod
    def _open_sharded(
        cls, store: str, verify: bool, decoder: Callable[[bytes], Any] | None, check_reads: bool
    ) -> TarnReader:
        def opener(dir_fd: int, names: list[str]) -> TarnReader:
            reader = _fast.Reader.__new__(
                cls, names, verify, decoder=decoder, check_reads=check_reads, dir_fd=dir_fd, root=store
            )
            reader._store = reader._manifest = None  # set once the shards are checked
            return reader

        manifest, self = open_store(store, opener)
        self._store, self._manifest = store, manifest
        return self

    @property
    def path(self) -> str | list[str]:
        """The path the reader was opened on: a store file, a sharded
        store's directory, or a list of shard files."""
        return self._store if self._store is not None else super().path

    def __repr__(self) -> str:
        m = self._manifest
        if m is None:
            return super().__repr__()
        state = ", closed" if self.closed else f", keys={m.num_keys}, objects={m.num_objects}"
        return f"TarnReader({self._store!r}, generation={m.generation}, shards={len(m.shards)}{state})"

    @property
    def manifest(self) -> dict[str, Any] | None:
        """The manifest of the generation a sharded store directory was
        opened on (see docs/SCALING.md), or None for store files."""
        m = self._manifest
        return None if m is None else m.to_json()

    def verify(self) -> Literal[True]:
        """Checks the CRC-32 of every file and of every object a key refers
        to; for a sharded store directory, also each shard against the
        manifest and the generation's directory (no shard missing or extra).
        Returns True, or raises TarnCorruptError naming the first fault."""
        try:
            super().verify()
        except TarnError as exc:
            if self._store is None or self._store in str(exc):
                raise
            raise with_context(exc, self._store) from exc
        if self._manifest is not None and self._store is not None:
            verify_layout(self._store, self._manifest, self.shard_stats(), self.misplaced_keys())
        return True

    # ----------------------------------------------------------- Mapping views

    def keys(self) -> KeysView[str]:
        return _Keys(self)

    def items(self) -> ItemsView[str, Any]:
        return _Items(self)

    def values(self) -> ValuesView[Any]:
        return _Values(self)

    # ----------------------------------------------------------- beyond Mapping

    @property
    def stats(self) -> Stats:
        """The header's figures: path, version, key and object counts,
        offsets, file size in KiB, the stored CRC-32 ("0x" and 8 hex
        digits), and the size of the lookup index the reader answers from
        (0: none, the index is decoded into memory).  Counts are those
        written in the header, less the lookup index's own record in
        num_objects.  For a sharded store or a list of shard files: the
        store's path (for a list, its first file's), the totals of counts
        and sizes, and no offsets or CRC-32 (:meth:`shard_stats` has each
        file's)."""
        shards = self.shard_stats()
        s = shards[0]
        if len(shards) == 1 and self._store is None:
            return Stats(
                path=str(s["path"]),
                version=int(s["version"]),
                num_keys=int(s["num_keys"]),
                num_objects=int(s["num_objects"]),
                index_offset=int(s["index_offset"]),
                data_offset=int(s["data_offset"]),
                file_size_kb=float(s["file_size_kb"]),
                file_crc32=str(s["file_crc32"]),
                lookup_index_bytes=int(s["lookup_index_bytes"]),
            )
        return Stats(
            path=self._store if self._store is not None else str(s["path"]),
            version=int(s["version"]),
            num_keys=sum(int(x["num_keys"]) for x in shards),
            num_objects=sum(int(x["num_objects"]) for x in shards),
            file_size_kb=sum(float(x["file_size_kb"]) for x in shards),
            lookup_index_bytes=sum(int(x["lookup_index_bytes"]) for x in shards),
        )

    # ----------------------------------------------------------- lifecycle

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled by path: the receiving process maps the file again.
        return (_reopen, (type(self), self.path, self.verify_on_open, self.decoder, self.check_reads))
