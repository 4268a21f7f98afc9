"""The ``tarndb`` command-line tool (also ``python -m tarndb``).

``main`` parses the command line and handles exits and interrupts; each
command is a module of its own (``info``, ``verify``, ``get``, ``keys``,
``dump``, ``build``, ``merge``, ``demo``) with an ``add`` that declares its
options and a ``run`` that does its work, given a :class:`Context`
(``context``) and its parsed arguments.  Nothing is imported here.
"""
