"""``python -m tarndb``: the command-line tool (``tarndb.cli``)."""

import sys

from tarndb.cli.main import main

__all__ = ["main"]

if __name__ == "__main__":
    sys.exit(main())
