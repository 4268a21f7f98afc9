"""Sharded stores: a directory of ordinary store files and a manifest
(see ``docs/SCALING.md``).

One module per job: ``manifest`` (the format, reading and writing it),
``lock`` (the builders' lock, leftovers, generations, publishing),
``runfile`` (the spill of staged records), ``build`` (shard files from run
files, in this process or in workers started as ``worker``), ``writer``
(``TarnWriter(path, shards=N)``), ``opening`` and ``verify`` (the reader's
side).  Names and limits live in ``tarndb._layout``.  Nothing is imported
here, so that each user loads only the modules it needs.
"""
