"""``tarndb build OUT INPUT --key FIELD``: a store from JSON lines, a JSON
array or object of records, CSV or TSV; with ``--shards N`` a sharded store directory
(``build_sharded`` holds that side's checks and the Dask build).

Everything is read and checked before the target is written: a bad record
leaves OUT as it was."""

from __future__ import annotations

import argparse
import os
import stat
import sys
from collections.abc import Iterator

from tarndb import _input
from tarndb.cli import build_sharded
from tarndb.cli.context import CliError, Context, Progress, check_target
from tarndb.cli.options import command, progress, quiet
from tarndb.errors import TarnError
from tarndb.sharded.writer import ShardedWriter
from tarndb.writer import TarnWriter

__all__ = ["add", "run", "read_records", "input_format"]


def add(sub: argparse._SubParsersAction[argparse.ArgumentParser]) -> None:
    p = command(sub, "build", "build a store OUT from JSON lines, a JSON array, CSV or TSV", run, replaces=True)
    p.add_argument("out", metavar="OUT", help="the .tndb file to write (replaced atomically), or with --shards the store directory")
    p.add_argument("input", metavar="INPUT", help="the input file, or - for standard input")
    build_sharded.add_options(p)
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


def input_format(args: argparse.Namespace) -> str | None:
    """The format given, or the one the extension names; None: told from the
    first bytes as they are read (standard input, a pipe, an unknown
    extension), without reading anything twice."""
    if args.format:
        return str(args.format)
    if args.input == "-":
        return None
    return _input.format_of(args.input)


def _column_types(ctx: Context, args: argparse.Namespace) -> dict[str, str]:
    types: dict[str, str] = {}
    for spec in args.type or ():
        try:
            column, kind = _input.parse_type(spec)
        except ValueError as exc:
            ctx.usage_error(str(exc))
        types[column] = kind
    fmt = input_format(args)
    if fmt is not None and fmt not in ("csv", "tsv") and (types or args.delimiter is not None):
        ctx.usage_error("--type and --delimiter apply to CSV and TSV input only")
    if args.delimiter is not None and len(args.delimiter) != 1:
        ctx.usage_error(f"--delimiter takes one character, not {args.delimiter!r}")
    return types


def read_records(ctx: Context, args: argparse.Namespace, unique: bool) -> Iterator[_input.Record]:
    """The records of the input, each checked before it is handed on; with
    *unique*, a key given again in a later record is an error here (a
    sharded build checks that shard by shard instead)."""
    types = _column_types(ctx, args)
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
    bar = Progress(args.progress, total, f"reading {os.path.basename(name)}")
    try:
        _, records = _input.open_records(
            stream,
            name,
            input_format(args),
            args.key,
            bar.update,
            delimiter=args.delimiter,
            types=types,
            records_field=args.records,
        )
    except _input.InputError as exc:
        bar.close()
        if stream is not sys.stdin.buffer:
            stream.close()
        raise CliError(str(exc)) from None
    except OSError as exc:
        bar.close()
        if stream is not sys.stdin.buffer:
            stream.close()
        raise CliError(f"{name}: read failed: {exc.strerror or exc}") from None
    first_line: dict[str, int] = {}
    try:
        for record in records:
            for key in record.keys if unique else ():
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
        bar.close()
        if stream is not sys.stdin.buffer:
            stream.close()


def run(ctx: Context, args: argparse.Namespace) -> int:
    ctx.quiet = args.quiet
    build_sharded.check_arguments(ctx, args)
    if args.shards is None:
        check_target(args.out, [args.input])
    elif problem := build_sharded.check_target(args.out):
        raise CliError(problem)
    if args.dask_scheduler:
        fmt = input_format(args)
        if fmt in (None, "json") and args.input != "-":
            fmt = _input.format_of_file(args.input, fmt)
        return ctx.publish(lambda progress: build_sharded.build_on_dask(args, fmt or "csv"), args.progress)
    writer: TarnWriter | ShardedWriter
    if args.shards is None:
        writer = TarnWriter(args.out)
    else:
        # A key given twice is an error, as read_records checks it unsharded.
        writer = ShardedWriter(args.out, shards=args.shards, workers=args.workers, unique_keys=True)
    for record in read_records(ctx, args, unique=args.shards is None):
        try:
            writer.add(record.value, *record.keys)
        except (TypeError, ValueError, OverflowError, TarnError) as exc:
            where = args.input if args.input != "-" else "<stdin>"
            raise CliError(f"{where}:{record.line}: cannot store the record: {exc}") from None
    # Everything has been read and checked: only now is the target written.
    ctx.done = lambda: writer.last_build
    return ctx.publish(lambda progress: writer.build(progress=progress), args.progress)
