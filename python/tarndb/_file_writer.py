"""The single-file writer: stages objects in the native writer, then builds
one store file.  Created by ``tarndb.TarnWriter(path)`` (no ``shards=``)."""

from __future__ import annotations

import os
import sys
from types import TracebackType
from typing import Literal

from tarndb._building import BuildReport, Default, Key, Progress, StrPath, WriterBase, checked_key, report_of, run_build
from tarndb._fast import Writer

__all__ = ["FileWriter"]


class FileWriter(WriterBase):
    """Collects objects and keys in memory and writes them as one store file
    (see ``tarndb.TarnWriter`` for the whole contract).

    A build replaces the target atomically and may be run as often as
    wished, to the constructor's path or any other; staging may go on after
    a build.  One thread at a time: an overlapping call from another thread
    is rejected with RuntimeError "Already borrowed".
    """

    __slots__ = ("_native", "_path", "_objects", "_default", "_verbose")

    def __init__(self, path: StrPath | None = None, *, default: Default | None = None, verbose: bool = False) -> None:
        self._native = Writer()
        self._path: str | None = None if path is None else os.fspath(path)
        self._objects = 0
        self._default = default
        self._verbose = verbose

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
        return None if native is None else report_of(native)

    def _stage(self, raw: bytes, keys: tuple[Key, ...]) -> int:
        stored = [checked_key(k) for k in keys]
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
        self._native.add_key(checked_key(key), obj_id)

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

    def __enter__(self) -> FileWriter:
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
        # The native repr reads "Writer(objects=N, keys=M)".
        counts = repr(self._native).partition("(")[2].rstrip(")")
        return f"TarnWriter(path={self._path!r}, {counts})"
