"""tarndb: an immutable, read-optimised key-to-object store."""

from tarndb._tarndb import __version__

__all__ = ["__version__"]
