"""The entry point of a shard-building worker process, ``main(["unique"
or "any", OUT, NAME, RUN...])``, started by ``tarndb.sharded.build`` (or
as ``python -m tarndb.sharded.worker ...``).

The shard's figures, or the failure, go to the parent as one JSON object on
standard output.
"""

from __future__ import annotations

import dataclasses
import json
import sys

from tarndb import errors
from tarndb.sharded.build import build_shard


def _die_with_parent() -> None:
    # A shard builder whose parent is gone (SIGKILL) would only write into a
    # generation that the next builder removes: stop with the parent.
    if not sys.platform.startswith("linux"):
        return
    import ctypes
    import signal

    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, int(signal.SIGKILL), 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


def main(argv: list[str]) -> int:
    # The shard's figures, or the failure, go to the parent as JSON on stdout.
    _die_with_parent()
    report = sys.stdout
    keys, out, name, *runs = argv
    try:
        info = build_shard(runs, out, name, keys == "unique")
    except errors.TarnError as exc:
        failure = {"error": type(exc).__name__, "message": str(exc), "errno": getattr(exc, "errno", None)}
        report.write(json.dumps(failure))
        report.close()
        return 1
    report.write(json.dumps(dataclasses.asdict(info)))
    report.close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
