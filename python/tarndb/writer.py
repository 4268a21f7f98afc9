"""TarnWriter: stage objects under keys, then build a store file or a
sharded store directory.

``TarnWriter(path)`` gives the single-file writer (``tarndb._file_writer``),
``TarnWriter(path, shards=N, workers=W)`` the sharded one
(``tarndb.sharded.writer``).  The two are siblings: neither imports the
other, and what they share lives in ``tarndb._building``.
"""

from __future__ import annotations

from typing import cast

from tarndb._building import BuildReport, Default, Key, Progress, StrPath, WriterBase
from tarndb._file_writer import FileWriter
from tarndb.sharded.writer import ShardedWriter

__all__ = ["TarnWriter", "BuildReport", "Key", "StrPath", "Progress"]


class TarnWriter(WriterBase):
    """Collects objects and keys and writes them as one store file.

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

    Threads: calls on one writer from several threads run one after the
    other, also on a free-threaded interpreter.  A build releases the
    interpreter lock while it writes, so other threads run meanwhile; a
    call on the same writer made during a build is rejected with
    RuntimeError "Already borrowed" (staging) or "Already mutably borrowed"
    (last_build, repr).  Writers cannot be
    pickled: their staged content lives in this process only.

    The object returned is the single-file or the sharded writer; both are
    instances of TarnWriter (``isinstance`` holds), neither is a subclass.
    """

    __slots__ = ()

    def __new__(
        cls,
        path: StrPath | None = None,
        *,
        default: Default | None = None,
        verbose: bool = False,
        shards: int | None = None,
        workers: int = 1,
    ) -> TarnWriter:
        writer: WriterBase
        if shards is None:
            if workers != 1:
                raise ValueError("workers= applies to a sharded store: give shards= as well")
            writer = FileWriter(path, default=default, verbose=verbose)
        else:
            writer = ShardedWriter(path, default=default, verbose=verbose, shards=shards, workers=workers)
        # Registered below as virtual subclasses, so the cast holds at run time.
        return cast(TarnWriter, writer)


TarnWriter.register(FileWriter)
TarnWriter.register(ShardedWriter)
