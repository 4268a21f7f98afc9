"""tarndb: an immutable, read-optimised key-to-object store.

Write a store once with :class:`TarnWriter`, read it any number of times,
from any number of threads, with :class:`TarnReader`::

    import tarndb

    with tarndb.TarnWriter("fruit.tndb") as w:
        w.add({"name": "apple", "colour": "red"}, "apple", "malus")
        w["pear"] = {"name": "pear", "colour": "green"}

    with tarndb.TarnReader("fruit.tndb") as r:
        r["malus"]           # {'name': 'apple', 'colour': 'red'}
        r.prefix("p")        # [('pear', {'name': 'pear', 'colour': 'green'})]

Objects are anything msgpack can hold (None, bool, int, float, str, bytes,
lists, tuples and dicts of those); failures raise :class:`TarnError` or one
of its subclasses.
"""

from tarndb._codec import to_builtin
from tarndb._tarndb import __version__
from tarndb.errors import TarnCorruptError, TarnError, TarnIOError, TarnVersionError
from tarndb._building import BuildReport, Key
from tarndb.reader import Stats, TarnReader
from tarndb.writer import TarnWriter
from tarndb.merge import MergeJob, merge

__all__ = [
    "TarnWriter",
    "TarnReader",
    "TarnError",
    "TarnCorruptError",
    "TarnVersionError",
    "TarnIOError",
    "Stats",
    "BuildReport",
    "to_builtin",
    "merge",
    "MergeJob",
    "Key",
    "__version__",
]
