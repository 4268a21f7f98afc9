"""The exceptions of tarndb, and their translation from the native layer.

The package's own module (tarndb._fast) raises these classes directly.  The
low-level module raises built-in exceptions whose message starts with the
name of the failure's kind ("TarnCorruptError: ..."); the wrapper classes
raise the matching class below instead, with the message after that prefix
(so that a traceback names the class once) and the native exception chained
as ``__cause__``.  Argument errors (``TypeError``, the
``ValueError`` "key must be str or bytes", ``OverflowError``) and the
writer's "Already borrowed" ``RuntimeError`` are not failures of the store
and pass through unchanged.
"""

from __future__ import annotations

import re
from typing import NoReturn

__all__ = [
    "TarnError",
    "TarnCorruptError",
    "TarnVersionError",
    "TarnIOError",
]


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


_KINDS: tuple[tuple[str, type[TarnError]], ...] = (
    ("TarnCorruptError: ", TarnCorruptError),
    ("TarnVersionError: ", TarnVersionError),
    ("TarnIOError: ", TarnIOError),
    ("TarnError: ", TarnError),
)

# The native exception classes that carry store failures.
NATIVE_ERRORS = (RuntimeError, OSError, ValueError)

_OS_ERROR = re.compile(r"\(os error (\d+)\)$")


def from_native(exc: BaseException) -> TarnError | None:
    """The tarndb exception for a native one, or None if *exc* is not a
    store failure (an argument error, a borrow conflict, anything else)."""
    if not isinstance(exc, NATIVE_ERRORS) or isinstance(exc, TarnError):
        return None
    message = str(exc)
    for prefix, cls in _KINDS:
        if message.startswith(prefix):
            err = cls(message[len(prefix) :])
            if isinstance(err, TarnIOError):
                found = _OS_ERROR.search(message)
                if found:
                    err.errno = int(found.group(1))
            return err
    return None


def reraise(exc: BaseException) -> NoReturn:
    """Raises the tarndb form of *exc*, chained to it, or *exc* itself when
    it is not a store failure.  Call it from an ``except`` block."""
    err = from_native(exc)
    if err is None:
        raise exc
    raise err from exc
