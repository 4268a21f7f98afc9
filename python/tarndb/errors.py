"""The exceptions of tarndb.

The package's own native module (tarndb._fast) raises these classes
directly, with the core's message (so that a traceback names the class
once) and, for operating-system failures, ``errno`` set.  An
operating-system failure with a well-known errno raises a class that is both
:class:`TarnIOError` and the matching built-in ``OSError`` subclass
(``TarnFileNotFoundError`` is a ``FileNotFoundError``, and so on), so that
``except FileNotFoundError`` catches it as it would for ``open()``.

Argument errors (``TypeError`` for a key of the wrong type, ``ValueError``
for one that is not UTF-8, ``OverflowError``) and a writer's "Already
borrowed" ``RuntimeError`` are not failures of the store and stay what they
are.
"""

from __future__ import annotations

__all__ = [
    "TarnError",
    "TarnCorruptError",
    "TarnVersionError",
    "TarnIOError",
    "TarnFileNotFoundError",
    "TarnFileExistsError",
    "TarnPermissionError",
    "TarnIsADirectoryError",
    "TarnNotADirectoryError",
    "io_error",
]

import errno as _errno


class TarnError(Exception):
    """Base class of every tarndb failure.

    Raised as itself for a request the store cannot carry out, such as an
    object ID that was never handed out, or a key longer than 65535 bytes.
    """


class TarnCorruptError(TarnError):
    """The file is not a sound tarndb store: bad magic, truncated index,
    checksum mismatch, a record outside the file, undecodable msgpack."""


class TarnVersionError(TarnError):
    """The file is a tarndb store of a format version this build cannot read."""


class TarnIOError(TarnError, OSError):
    """Opening, writing, syncing or renaming a file failed.

    Also an ``OSError``.  ``errno`` holds the operating system's error number
    when the message names one ("... (os error 2)"), else ``None``; ``str()``
    is the message, as for the other classes.
    """


# The native module looks these names up once, when it is loaded; keep them.
class TarnFileNotFoundError(TarnIOError, FileNotFoundError):
    """A file or directory does not exist (ENOENT)."""


class TarnFileExistsError(TarnIOError, FileExistsError):
    """A file exists where none may (EEXIST)."""


class TarnPermissionError(TarnIOError, PermissionError):
    """The operating system refused access (EACCES, EPERM)."""


class TarnIsADirectoryError(TarnIOError, IsADirectoryError):
    """A directory was given where a file is needed (EISDIR)."""


class TarnNotADirectoryError(TarnIOError, NotADirectoryError):
    """A path component that should be a directory is not (ENOTDIR)."""


_BY_ERRNO: dict[int, type[TarnIOError]] = {
    _errno.ENOENT: TarnFileNotFoundError,
    _errno.EEXIST: TarnFileExistsError,
    _errno.EACCES: TarnPermissionError,
    _errno.EPERM: TarnPermissionError,
    _errno.EISDIR: TarnIsADirectoryError,
    _errno.ENOTDIR: TarnNotADirectoryError,
}


def io_error(message: str, errno: int | None) -> TarnIOError:
    """The :class:`TarnIOError` for an operating-system failure: the class
    matching *errno* (``TarnFileNotFoundError`` for ENOENT, ...), with
    ``errno`` set; str() is *message*."""
    err = _BY_ERRNO.get(errno, TarnIOError)(message) if errno is not None else TarnIOError(message)
    err.errno = errno
    return err
