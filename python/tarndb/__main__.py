"""The ``tarndb`` command-line tool (also ``python -m tarndb``).

Exit status: 0 on success, 1 when a file or its data is at fault (missing,
corrupt, bad input, no such key), 2 for a usage error, 130 when interrupted
(Ctrl-C) before a build or merge replaced its target.  A command whose
standard output is closed early (``tarndb keys x | head``) ends as the
coreutils do, killed by SIGPIPE, silently.  Every error is one line on
standard error, starting with "tarndb: ".  Standard output carries the
command's data only (get, keys, dump, info --json) or its result line
(build, merge, verify); notes on the way go to standard error.
"""

from __future__ import annotations

import argparse
import os
import signal
import stat
import struct
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any

from tarndb import _demo, _header, _input, _jsonout, _shard_cli, _units
from tarndb._tarndb import __version__
from tarndb.errors import TarnCorruptError, TarnError
from tarndb.merge import MergeJob
from tarndb.reader import TarnReader
from tarndb.writer import BuildReport, TarnWriter

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

    def advance_to(self, done: int, total: int) -> None:
        """For work that reports its position: *done* of *total*."""
        if self._bar is None:
            return
        if self._bar.total != total:
            self._bar.total = total
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.update(self._pending)
            self._bar.close()
            self._bar = None


# ------------------------------------------------------------------ output


def _status(args: argparse.Namespace, text: str) -> None:
    """A note about the work: on standard output, unless the command's
    standard output carries data."""
    stream = sys.stderr if getattr(args, "data_on_stdout", False) else sys.stdout
    stream.write(text + "\n")


def _closed_pipe() -> int:
    # The reader of our output went away (tarndb keys x | head): end as the
    # coreutils do, killed by SIGPIPE, without a word. What is still
    # buffered for standard output goes nowhere.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass
    if hasattr(signal, "SIGPIPE"):
        signal.signal(signal.SIGPIPE, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGPIPE)
    return 128 + 13


# ------------------------------------------------------------------ reading commands


def _header_figures(path: str) -> tuple[dict[str, Any], str | None] | None:
    """The header's figures read straight from the file, and whether the
    file is shorter than they say (or None).  Works on a file whose index
    cannot be decoded, as long as its first 40 bytes are a tarndb header;
    None when they are not."""
    found = _header.read_header(path)
    if found is None:
        return None
    figures, _ = found
    return figures, _header.truncation(path)


def cmd_info(args: argparse.Namespace) -> int:
    # No checksum pass, and the header read on its own when the index cannot
    # be decoded: it works on damaged and truncated files too.
    damage: str | None = None
    try:
        with TarnReader(args.file, verify=False) as r:
            if r.manifest is not None:  # a sharded store directory
                _out(_shard_cli.info_text(r.manifest, args.file, args.json))
                return 0
            figures: dict[str, Any] = dict(r.stats)
            figures["file_size"] = os.path.getsize(args.file)
    except TarnCorruptError as exc:
        found = _header_figures(args.file)
        if found is None:  # not a store at all: said as the other commands say it
            raise _fail_open(args.file, exc) from exc
        figures, damage = found
        if damage is None:
            # The path is on a line of its own: the damage is the rest.
            damage = str(exc).removeprefix(f"{args.file}: ")
    except TarnError as exc:
        raise _fail_open(args.file, exc) from exc
    size = figures.pop("file_size")
    # Whole KiB, and the exact count of bytes beside them.
    figures["file_size_kb"] = round(size / 1024)
    figures["file_size"] = size
    if args.json:
        _out(_jsonout.dumps({**figures, "damage": damage}, indent=2))
        return 0
    rows = [
        ("path", figures["path"]),
        ("format version", str(figures["version"])),
        ("keys", f"{figures['num_keys']:,}"),
        ("objects", f"{figures['num_objects']:,}"),
        ("data offset", str(figures["data_offset"])),
        ("index offset", f"{figures['index_offset']:,}"),
        ("file size", f"{size:,} bytes ({_units.size(size)})" if size >= 1024 else _units.size(size)),
        ("file crc32", figures["file_crc32"]),
    ]
    if damage is not None:
        rows.append(("damage", damage))
    width = max(len(name) for name, _ in rows)
    for name, value in rows:
        _out(f"{name:<{width}}  {value}")
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    # Opened unchecked: verify() then checks everything, and names the first
    # damaged key rather than only the whole-file mismatch.
    with _open(args.file, verify=False) as r:
        try:
            r.verify()
        except TarnError as exc:
            raise _fail_open(args.file, exc) from exc
        s, manifest = r.stats, r.manifest
    counts = f"{_units.count(s['num_keys'], 'key')}, {_units.count(s['num_objects'], 'object')}"
    if manifest is not None:
        _out(f"{args.file}: ok ({counts}, {manifest['shard_count']} shards, generation {manifest['generation']})")
        return 0
    _out(f"{args.file}: ok ({counts}, crc32 {s['file_crc32']})")
    return 0


def cmd_get(args: argparse.Namespace) -> int:
    missing: list[str] = []
    indent = None if args.compact else 2
    with _open(args.file, verify=not args.no_verify) as r:
        for key in args.keys:
            try:
                value = r[key]
            except KeyError:
                missing.append(key)
                continue
            except TarnError as exc:
                raise _fail_open(args.file, exc) from exc
            _out(_jsonout.dumps(value, indent=indent))
    if len(missing) == 1:
        raise CliError(f"{args.file}: no such key: {missing[0]!r}")
    if missing:
        raise CliError(f"{args.file}: no such keys: {', '.join(repr(k) for k in missing)}")
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


# ------------------------------------------------------------------ writing commands


class _Publication:
    """The one build or merge of a command, as main() sees it when Ctrl-C
    comes: *done* gives its report once the target has been replaced, and
    stays None until then (the native call sets it before it returns)."""

    def __init__(self, target: str) -> None:
        self.target = target
        self.done: Callable[[], BuildReport | None] = lambda: None


def _publish(
    args: argparse.Namespace, run: Callable[[Callable[[int, int], object]], BuildReport], target: str
) -> int:
    # The write phase, with its own progress bar by bytes written.
    progress = _Progress(args.progress, None, f"writing {os.path.basename(target)}")
    try:
        report = run(progress.advance_to)
    except TarnError as exc:
        raise _fail_open(target, exc) from exc
    finally:
        progress.close()
    _ignore_interrupts()
    _report_success(args, report)
    return 0


def _ignore_interrupts() -> None:
    # The target is the new store: Ctrl-C can no longer stop anything, and a
    # signal from now on (one already pending included) is dropped, so that
    # the exit status is the success it reports.
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _report_success(args: argparse.Namespace, report: BuildReport) -> None:
    if not getattr(args, "quiet", False):
        _status(args, report.summary())


def _input_format(args: argparse.Namespace) -> str | None:
    # The format given, or the one the extension names; None: told from the
    # first bytes as they are read (standard input, a pipe, an unknown
    # extension), without reading anything twice.
    if args.format:
        return str(args.format)
    if args.input == "-":
        return None
    return _input.format_of(args.input)


def _check_target(out: str, sources: Sequence[str]) -> None:
    directory = os.path.dirname(out) or "."
    if not os.path.isdir(directory):
        raise CliError(f"{out}: directory {directory!r} does not exist")
    if os.path.isdir(out):
        raise CliError(f"{out}: is a directory")
    for source in sources:
        if source != "-" and os.path.exists(out) and os.path.exists(source) and os.path.samefile(out, source):
            raise CliError(f"{out}: the output would replace the input")


def _column_types(args: argparse.Namespace, parser: argparse.ArgumentParser) -> dict[str, str]:
    types: dict[str, str] = {}
    for spec in args.type or ():
        try:
            column, kind = _input.parse_type(spec)
        except ValueError as exc:
            parser.error(str(exc))
        types[column] = kind
    fmt = _input_format(args)
    if fmt is not None and fmt not in ("csv", "tsv") and (types or args.delimiter is not None):
        parser.error("--type and --delimiter apply to CSV and TSV input only")
    if args.delimiter is not None and len(args.delimiter) != 1:
        parser.error(f"--delimiter takes one character, not {args.delimiter!r}")
    return types


def read_records(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Iterator[_input.Record]:
    """The records of ``tarndb build``'s input, each checked (a duplicate
    key across records included) before it is handed on.  Where they go is
    the caller's business: a writer, or writers."""
    types = _column_types(args, parser)
    if args.input == "-":
        name, stream, total = "<stdin>", sys.stdin.buffer, None
    else:
        name = args.input
        try:
            stream = open(args.input, "rb")
        except OSError as exc:
            raise CliError(f"{args.input}: cannot open: {exc.strerror or exc}") from None
        st = os.fstat(stream.fileno())
        total = st.st_size if stat.S_ISREG(st.st_mode) else None  # a pipe has no size
    progress = _Progress(args.progress, total, f"reading {os.path.basename(name)}")
    try:
        _, records = _input.open_records(
            stream,
            name,
            _input_format(args),
            args.key,
            progress.update,
            delimiter=args.delimiter,
            types=types,
            records_field=getattr(args, "records", None),
        )
    except _input.InputError as exc:
        progress.close()
        if stream is not sys.stdin.buffer:
            stream.close()
        raise CliError(str(exc)) from None
    first_line: dict[str, int] = {}
    # A sharded build checks for repeated keys shard by shard instead (_shard_cli).
    check = getattr(args, "shards", None) is None
    try:
        for record in records:
            for key in record.keys if check else ():
                if key in first_line:
                    raise _input.InputError(
                        f"{name}:{record.line}", f"duplicate key {key!r} (first on line {first_line[key]})"
                    )
                first_line[key] = record.line
            yield record
    except _input.InputError as exc:
        raise CliError(str(exc)) from None
    except OSError as exc:
        raise CliError(f"{name}: read failed: {exc.strerror or exc}") from None
    finally:
        progress.close()
        if stream is not sys.stdin.buffer:
            stream.close()


def cmd_build(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    _shard_cli.check_arguments(args, parser)
    if args.shards is None:
        _check_target(args.out, [args.input])
    elif problem := _shard_cli.check_target(args.out):
        raise CliError(problem)
    if args.dask_scheduler:
        fmt = _input_format(args)
        if fmt in (None, "json") and args.input != "-":
            fmt = _input.format_of_file(args.input, fmt)
        return _publish(args, lambda progress: _shard_cli.build_on_dask(args, fmt or "csv"), args.out)
    writer = TarnWriter(args.out, shards=args.shards, workers=args.workers)
    if args.shards is not None:
        writer._unique_keys = True  # type: ignore[attr-defined]  # as read_records checks unsharded
    for record in read_records(args, parser):
        try:
            writer.add(record.value, *record.keys)
        except (TypeError, ValueError, OverflowError, TarnError) as exc:
            raise CliError(f"{args.input if args.input != '-' else '<stdin>'}:{record.line}: cannot store the record: {exc}") from None
    # Everything has been read and checked: only now is the target written.
    args.publication.done = lambda: writer.last_build
    return _publish(args, lambda progress: writer.build(progress=progress), args.out)


def _deleted_keys(path: str) -> list[str]:
    # One key per line, as `tarndb keys` prints them; blank lines are skipped.
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as exc:
        raise CliError(f"{path}: cannot open: {exc.strerror or exc}") from None
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    keys = []
    for number, line in enumerate(data.split(b"\n"), 1):
        line = line.removesuffix(b"\r")
        if not line:
            continue
        try:
            keys.append(line.decode("utf-8"))
        except UnicodeDecodeError as exc:
            raise CliError(f"{path}:{number}: invalid UTF-8 at byte {exc.start + 1} of the line") from None
    return keys


def cmd_merge(args: argparse.Namespace) -> int:
    # OUT may be one of the inputs: they are open (mapped) before it is replaced.
    _check_target(args.out, [])
    deleted = _deleted_keys(args.delete_keys) if args.delete_keys else []
    try:
        job = MergeJob(args.inputs, delete=deleted)
    except TarnError as exc:
        raise CliError(str(exc)) from exc
    args.publication.done = lambda: job.last_build
    return _publish(args, lambda progress: job.run(args.out, progress=progress), args.out)


# ------------------------------------------------------------------ demo


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
        _check_target(out, [])
    _out(f"Building {out}: every named character of Unicode {_demo.UNICODE_VERSION}")
    _out("(from Python's unicodedata), each keyed by its name and by its code point.")
    started = time.perf_counter()
    progress = _Progress(args.progress, _demo.LAST_CODE_POINT + 1, "code points", unit="cp")
    try:
        w = TarnWriter(out)
        for cp, record in _demo_records(progress):
            w.add(record, record["name"], _demo.code_point_key(cp))
        progress.close()
        args.publication.done = lambda: w.last_build
        w.build()
    except TarnError as exc:
        raise _fail_open(out, exc) from exc
    finally:
        progress.close()
    built = time.perf_counter() - started

    with _open(out) as r:
        s = r.stats
        _out(f"Built in {built:.1f} s; the file is {_units.size(round(s['file_size_kb'] * 1024))}.")
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
        _out(f">>> r.prefix({prefix!r})   # {_units.count(len(found), 'match').replace('matchs', 'matches')}, {took:.0f} µs")
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
        description="Inspect, query, build and merge tarndb store files (.tndb).",
        epilog=(
            "exit status: 0 success, 1 a file or its data is at fault, 2 usage error, "
            "130 interrupted before the target was replaced"
        ),
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str, func: Callable[..., int], data_on_stdout: bool = False) -> argparse.ArgumentParser:
        p = sub.add_parser(name, help=help, description=help)
        p.set_defaults(func=func, data_on_stdout=data_on_stdout)
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
            help="progress bars on standard error: auto (on a terminal, for long runs), always, never",
        )

    def quiet(p: argparse.ArgumentParser) -> None:
        p.add_argument("--quiet", "-q", action="store_true", help="print no summary line on success")

    p = command("info", "show the statistics in a store's header (works on damaged files)", cmd_info, True)
    p.add_argument("file")
    p.add_argument("--json", action="store_true", help="print them as one JSON object")

    p = command("verify", "check every CRC-32 of a store (exit 0 when sound, 1 when not)", cmd_verify)
    p.add_argument("file")

    p = command("get", "print the object stored under each KEY, as JSON", cmd_get, True)
    p.add_argument("file")
    p.add_argument("keys", nargs="+", metavar="KEY")
    p.add_argument("--compact", action="store_true", help="each object on one line")
    no_verify(p)

    p = command("keys", "list the keys in sorted order, one per line", cmd_keys, True)
    p.add_argument("file")
    p.add_argument("--prefix", default="", help="only keys starting with this text")
    no_verify(p)

    p = command("dump", 'print every entry as a JSON line {"key": ..., "value": ...}', cmd_dump, True)
    p.add_argument("file")
    p.add_argument("--prefix", default="", help="only keys starting with this text")
    no_verify(p)

    p = command("build", "build a store OUT from JSON lines, a JSON array, CSV or TSV", cmd_build)
    p.add_argument("out", metavar="OUT", help="the .tndb file to write (replaced atomically), or with --shards the store directory")
    p.add_argument("input", metavar="INPUT", help="the input file, or - for standard input")
    p.add_argument("--shards", type=int, metavar="N", help="build a sharded store directory of N shards (docs/SCALING.md)")
    p.add_argument("--workers", type=int, default=1, metavar="W", help="with --shards: build W shards at a time in worker processes")
    p.add_argument(
        "--dask-scheduler",
        metavar="ADDRESS",
        help="with --shards: build on the running Dask cluster at ADDRESS (JSON lines at a path its workers reach)",
    )
    p.add_argument(
        "--key",
        "-k",
        action="append",
        required=True,
        metavar="FIELD",
        help="the field whose value is a record's key; repeat it to give each record several keys; "
        "@name: the member name of a record in a JSON object of records",
    )
    p.add_argument(
        "--format", choices=_input.FORMATS, help="the input format (default: from the extension, else from the content)"
    )
    p.add_argument(
        "--records",
        metavar="FIELD",
        help="JSON: the records are the array or object under this member of the top-level object",
    )
    p.add_argument("--delimiter", metavar="CHAR", help="the cell separator of CSV input (default , and a tab for TSV)")
    p.add_argument(
        "--type",
        action="append",
        metavar="COLUMN=TYPE",
        help=f"read a CSV or TSV column as {', '.join(_input.TYPES)} instead of text (repeatable)",
    )
    progress(p)
    quiet(p)

    p = command("merge", "merge stores into OUT: for a key in several inputs, the last input wins", cmd_merge)
    p.add_argument("out", metavar="OUT", help="the .tndb file to write (replaced atomically)")
    p.add_argument("inputs", nargs="+", metavar="IN", help="the stores to merge, earliest first")
    p.add_argument("--delete-keys", metavar="FILE", help="leave out the keys listed in FILE, one per line")
    progress(p)
    quiet(p)

    p = command("demo", "build a store of every named Unicode character and query it", cmd_demo)
    p.add_argument("--out", help="where to write it (default: a tarndb-demo folder in the temporary directory)")
    progress(p)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    func: Callable[..., int] = args.func
    args.publication = _Publication(getattr(args, "out", None) or "")
    try:
        try:
            status = cmd_build(args, parser) if func is cmd_build else func(args)
            sys.stdout.flush()  # a closed pipe shows here, not at exit
            return status
        except KeyboardInterrupt:
            report = args.publication.done()
            if report is None:
                _flush_quietly(sys.stdout)
                target = args.publication.target
                note = f"; {target} left as it was" if target and func in (cmd_build, cmd_merge) else ""
                print(f"{PROG}: interrupted{note}", file=sys.stderr)
                return 130
            # The signal came after the rename: the target is the new store.
            _ignore_interrupts()
            _report_success(args, report)
            sys.stdout.flush()
            return 0
    except (CliError, TarnError) as exc:
        _flush_quietly(sys.stdout)
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        return _closed_pipe()


def _flush_quietly(stream: IO[str]) -> None:
    try:
        stream.flush()
    except (OSError, ValueError):
        pass


if __name__ == "__main__":
    sys.exit(main())
