"""The exceptions of tarndb.

The package's own native module (tarndb._fast) raises these classes
directly, with the core's message (so that a traceback names the class
once) and, for operating-system failures, ``errno`` set.  Argument errors
(``TypeError``, ``ValueError`` for a key of the wrong type or one that is
not UTF-8, ``OverflowError``) and a writer's "Already borrowed"
``RuntimeError`` are not failures of the store and stay what they are.
"""

from __future__ import annotations

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
