"""The ``tarndb`` command-line tool (also ``python -m tarndb``).

Exit status: 0 on success, 1 when a file or its data is at fault (missing,
corrupt, bad input, no such key), 2 for a usage error.  Every error is one
line on standard error, starting with "tarndb: ".
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any

from tarndb import _demo, _input, _jsonout
from tarndb._tarndb import __version__
from tarndb.errors import TarnError
from tarndb.reader import TarnReader
from tarndb.writer import TarnWriter

PROG = "tarndb"


class CliError(Exception):
    """A failure to report as one line, with exit status 1."""


def _fail_open(path: str, exc: TarnError) -> CliError:
    message = str(exc)
    return CliError(message if path in message else f"{path}: {message}")


def _open(path: str, verify: bool = True) -> TarnReader:
    try:
        return TarnReader(path, verify=verify)
    except TarnError as exc:
        raise _fail_open(path, exc) from exc


def _out(text: str) -> None:
    sys.stdout.write(text + "\n")


# ------------------------------------------------------------------ progress


class _Progress:
    """A progress bar on standard error (tqdm), or nothing.

    mode "auto" shows it only on a terminal and only once the work has taken
    a second; "always" shows it at once; "never" not at all.
    """

    def __init__(self, mode: str, total: int | None, desc: str, unit: str = "B") -> None:
        self._bar: Any = None
        self._pending = 0
        if mode == "never":
            return
        try:
            from tqdm import tqdm  # type: ignore[import-untyped,unused-ignore]
        except ImportError:  # the bar is a nicety; work on without it
            return
        auto = mode == "auto"
        self._bar = tqdm(
            total=total,
            desc=desc,
            unit=unit,
            unit_scale=True,
            unit_divisor=1024 if unit == "B" else 1000,
            file=sys.stderr,
            delay=1.0 if auto else 0.0,
            disable=None if auto else False,
            leave=False,
        )

    def update(self, n: int) -> None:
        # Passed on in batches: tqdm's own update costs more than a line.
        self._pending += n
        if self._pending >= 1 << 16 and self._bar is not None:
            self._bar.update(self._pending)
            self._pending = 0

    def close(self) -> None:
        if self._bar is not None:
            self._bar.update(self._pending)
            self._bar.close()
            self._bar = None


# ------------------------------------------------------------------ commands


def _human_size(size: int) -> str:
    value = float(size)
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{value:.0f} {unit}" if unit == "bytes" else f"{value:.1f} {unit}"
        value /= 1024
    raise AssertionError("unreachable")


def cmd_info(args: argparse.Namespace) -> int:
    # The header alone: no checksum pass, so it works on damaged files too.
    with _open(args.file, verify=False) as r:
        s = r.stats
    if args.json:
        _out(_jsonout.dumps(dict(s), indent=2))
        return 0
    size = round(s["file_size_kb"] * 1024)
    rows = [
        ("path", s["path"]),
        ("format version", str(s["version"])),
        ("keys", f"{s['num_keys']:,}"),
        ("objects", f"{s['num_objects']:,}"),
        ("data offset", str(s["data_offset"])),
        ("index offset", f"{s['index_offset']:,}"),
        ("file size", f"{size:,} bytes ({_human_size(size)})"),
        ("file crc32", s["file_crc32"]),
    ]
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        _out(f"{name:<{width}}  {value}")
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    with _open(args.file) as r:
        try:
            r.verify()
        except TarnError as exc:
            raise _fail_open(args.file, exc) from exc
        s = r.stats
    _out(f"{args.file}: ok ({s['num_keys']:,} keys, {s['num_objects']:,} objects, crc32 {s['file_crc32']})")
    return 0


def cmd_get(args: argparse.Namespace) -> int:
    with _open(args.file, verify=not args.no_verify) as r:
        try:
            value = r[args.key]
        except KeyError:
            raise CliError(f"{args.file}: no such key: {args.key!r}") from None
        except TarnError as exc:
            raise _fail_open(args.file, exc) from exc
    _out(_jsonout.dumps(value, indent=None if args.compact else 2))
    return 0


def cmd_keys(args: argparse.Namespace) -> int:
    with _open(args.file, verify=not args.no_verify) as r:
        keys = r.prefix_keys(args.prefix) if args.prefix else list(r)
    write = sys.stdout.write
    for key in keys:
        write(key + "\n")
    return 0


def cmd_dump(args: argparse.Namespace) -> int:
    with _open(args.file, verify=not args.no_verify) as r:
        keys = r.prefix_keys(args.prefix) if args.prefix else list(r)
        write = sys.stdout.write
        try:
            for key in keys:
                write(_jsonout.dumps({"key": key, "value": r[key]}) + "\n")
        except TarnError as exc:
            raise _fail_open(args.file, exc) from exc
    return 0


def _input_format(args: argparse.Namespace, parser: argparse.ArgumentParser) -> str:
    if args.format:
        return str(args.format)
    if args.input == "-":
        parser.error("reading standard input needs --format jsonl or --format csv")
    found = _input.format_of(args.input)
    if found is None:
        parser.error(f"cannot tell the format of {args.input!r} from its extension; give --format jsonl or csv")
    return found


def _check_target(out: str, source: str) -> None:
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        raise CliError(f"{out}: directory {directory!r} does not exist")
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory")
    if source != "-" and os.path.exists(out) and os.path.samefile(out, source):
        raise CliError(f"{out}: the output would replace the input")


def cmd_build(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    fmt = _input_format(args, parser)
    _check_target(args.out, args.input)
    read = _input.read_jsonl if fmt == "jsonl" else _input.read_csv
    if args.input == "-":
        name, stream, total = "<stdin>", sys.stdin.buffer, None
    else:
        name = args.input
        try:
            stream = open(args.input, "rb")
        except OSError as exc:
            raise CliError(f"{args.input}: cannot open: {exc.strerror or exc}") from None
        total = os.fstat(stream.fileno()).st_size
    writer = TarnWriter(args.out)
    first_line: dict[str, int] = {}
    progress = _Progress(args.progress, total, f"reading {os.path.basename(name)}")
    try:
        for record in read(stream, name, args.key, progress.update):
            for key in record.keys:
                if key in first_line:
                    raise _input.InputError(
                        f"{name}:{record.line}", f"duplicate key {key!r} (first on line {first_line[key]})"
                    )
                first_line[key] = record.line
            try:
                writer.add(record.value, *record.keys)
            except (TypeError, ValueError, OverflowError, TarnError) as exc:
                raise _input.InputError(f"{name}:{record.line}", f"cannot store the record: {exc}") from None
    except _input.InputError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"{name}: read failed: {exc.strerror or exc}") from None
    finally:
        progress.close()
        if stream is not sys.stdin.buffer:
            stream.close()
    # Everything has been read and checked: only now is the target written.
    try:
        writer.build()
    except TarnError as exc:
        raise _fail_open(args.out, exc) from exc
    return 0


def _demo_path() -> str:
    return os.path.join(tempfile.gettempdir(), "tarndb-demo", "unicode.tndb")


def _demo_records(progress: _Progress) -> Iterator[tuple[int, dict[str, Any]]]:
    done = 0
    for cp, record in _demo.characters():
        progress.update(cp + 1 - done)
        done = cp + 1
        yield cp, record
    progress.update(_demo.LAST_CODE_POINT + 1 - done)


def cmd_demo(args: argparse.Namespace) -> int:
    out = args.out or _demo_path()
    if not args.out:
        os.makedirs(os.path.dirname(out), exist_ok=True)
    else:
        _check_target(out, "-")
    _out(f"Building {out}: every named character of Unicode {_demo.UNICODE_VERSION}")
    _out("(from Python's unicodedata), each keyed by its name and by its code point.")
    started = time.perf_counter()
    progress = _Progress(args.progress, _demo.LAST_CODE_POINT + 1, "code points", unit="cp")
    try:
        with TarnWriter(out) as w:
            for cp, record in _demo_records(progress):
                w.add(record, record["name"], _demo.code_point_key(cp))
            progress.close()
    except TarnError as exc:
        raise _fail_open(out, exc) from exc
    finally:
        progress.close()
    built = time.perf_counter() - started

    with _open(out) as r:
        s = r.stats
        _out(f"Built in {built:.1f} s; the file is {_human_size(round(s['file_size_kb'] * 1024))}.")
        _out("")
        _out(">>> r = tarndb.TarnReader(path)")
        for key in ("GRINNING FACE", "U+00E9", "SNOWMAN", "U+1F40D"):
            started = time.perf_counter()
            c = r[key]
            took = (time.perf_counter() - started) * 1e6
            _out(f">>> r[{key!r}]   # {took:.0f} µs")
            _out(f"    {c['char']}  {c['code_point']}  {c['name']}  (category {c['category']}, UTF-8 {c['utf8'].hex(' ')})")
        _out(f">>> 'KLINGON LETTER A' in r\n    {'KLINGON LETTER A' in r}")
        prefix = "SNOW"
        started = time.perf_counter()
        found = r.prefix(prefix)
        took = (time.perf_counter() - started) * 1e6
        _out(f">>> r.prefix({prefix!r})   # {len(found)} matches, {took:.0f} µs")
        for key, c in found:
            _out(f"    {c['char']}  {key}")
        started = time.perf_counter()
        r.verify()
        took = time.perf_counter() - started
        _out(f">>> r.verify()   # every CRC-32 checked in {took * 1000:.0f} ms\n    True")
    _out("")
    _out("Try it yourself:")
    _out(f"  tarndb info {out}")
    _out(f"  tarndb get {out} 'SNOWMAN'")
    _out(f"  tarndb keys {out} --prefix 'DOMINO TILE HORIZONTAL-01'")
    return 0


# ------------------------------------------------------------------ parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Inspect, query and build tarndb store files (.tndb).",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, func: Callable[..., int]) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help)
        p.set_defaults(func=func)
        return p

    def no_verify(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "--no-verify", action="store_true", help="skip the whole-file CRC-32 check when opening (faster)"
        )

    def progress(p: argparse.ArgumentParser) -> None:
        p.add_argument(
            "--progress",
            choices=("auto", "always", "never"),
            default="auto",
            help="progress bar on standard error: auto (on a terminal, for long runs), always, never",
        )

    p = command("info", "show the statistics in a store's header", cmd_info)
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print them as one JSON object")

    p = command("verify", "check every CRC-32 of a store (exit 0 when sound, 1 when not)", cmd_verify)
    p.add_argument("file")

    p = command("get", "print the object stored under KEY, as JSON", cmd_get)
    p.add_argument("file")
    p.add_argument("key")
    p.add_argument("--compact", action="store_true", help="on one line")
    no_verify(p)

    p = command("keys", "list the keys in sorted order, one per line", cmd_keys)
    p.add_argument("file")
    p.add_argument("--prefix", default="", help="only keys starting with this text")
    no_verify(p)

    p = command("dump", 'print every entry as a JSON line {"key": ..., "value": ...}', cmd_dump)
    p.add_argument("file")
    p.add_argument("--prefix", default="", help="only keys starting with this text")
    no_verify(p)

    p = command("build", "build a store OUT from JSON lines or CSV", cmd_build)
    p.add_argument("out", metavar="OUT", help="the .tndb file to write (replaced atomically)")
    p.add_argument("input", metavar="INPUT", help="the input file, or - for standard input")
    p.add_argument(
        "--key",
        "-k",
        action="append",
        required=True,
        metavar="FIELD",
        help="the field whose value is a record's key; repeat it to give each record several keys",
    )
    p.add_argument("--format", choices=_input.FORMATS, help="the input format (default: from the extension)")
    progress(p)

    p = command("demo", "build a store of every named Unicode character and query it", cmd_demo)
    p.add_argument("--out", help="where to write it (default: a tarndb-demo folder in the temporary directory)")
    progress(p)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    func: Callable[..., int] = args.func
    try:
        if func is cmd_build:
            return cmd_build(args, parser)
        return func(args)
    except (CliError, TarnError) as exc:
        _flush_quietly(sys.stdout)
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of our output went away (tarndb keys x | head).
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130


def _flush_quietly(stream: IO[str]) -> None:
    try:
        stream.flush()
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
