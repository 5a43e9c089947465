"""python -m varnfile: list, show and export transaction files without the C tool.

    python -m varnfile info FILE
    python -m varnfile list FILE [--reverse] [--from POS|#N] [--limit N] [--cmd ID] [--extra ID]
    python -m varnfile export FILE [--format jsonl|csv] [--output OUT] [--reverse] [--limit N] ...

The options mean what they mean to the C tool `varnfile`, except that this
tool passes over end markers: it neither lists them nor counts them in #N,
and -f is --format here (--force in the C tool's export).
"""

from __future__ import annotations

import argparse
import itertools
import os
import random
import re
import signal
import stat
import sys
from typing import IO, Callable, Iterator, List, NoReturn, Optional, Tuple, Union

from . import (END_MARKER, FIRST_POSITION, Error, Info, Item, VarnFile, open as open_file,
               write_csv, write_jsonl)
from . import errors
from ._file import header_info


def _info(info: Info) -> None:
    rows = [("file", info.name), ("size", f"{info.size} bytes"), ("version", info.version),
            ("base name", info.base_name), ("stamp", info.stamp),
            ("aging limit", info.aging_limit), ("ages at", info.ages_at),
            ("method", f"{int(info.method)} ({getattr(info.method, 'label', '?')})"),
            ("flags", f"0x{info.flags:08x}"), ("description", repr(info.description))]
    for key, value in rows:
        print(f"{key:<14} {value}")


def _counted(n: int) -> str:
    return f"{n} item" + ("" if n == 1 else "s")


def _number(text: str, limit: int) -> int:
    """A decimal or 0x hexadecimal number, 0..limit."""
    if not re.fullmatch(r"0[xX][0-9a-fA-F]+|[0-9]+", text):
        raise argparse.ArgumentTypeError(f"not a number: {text!r}")
    n = int(text, 16 if text[1:2] in ("x", "X") else 10)
    if n > limit:
        raise argparse.ArgumentTypeError(f"{text} is larger than {limit}")
    return n


def _ids(text: str) -> List[int]:
    """A --cmd or --extra argument: one id or a comma list."""
    return [_number(part, 0xFFFF) for part in text.split(",")]


def _commands(text: str) -> List[int]:
    ids = _ids(text)
    if END_MARKER in ids:
        raise argparse.ArgumentTypeError("0xFF02 selects end markers, which this tool passes over "
                                         "(varnfile list --cmd 0xFF02 shows them)")
    return ids


def _start(text: str) -> Union[int, Tuple[str, int]]:
    """A --from argument: a byte position, or ("#", N) for "#N", item N
    counted from 0, and ("#", -N) for "#-N", counted back from #-1, the last."""
    if not text.startswith("#"):
        return _number(text, 0xFFFFFFFF)
    back = text.startswith("#-")
    n = _number(text[2 if back else 1:], 0xFFFFFFFF)
    if back and n == 0:
        raise argparse.ArgumentTypeError("items from the end count from #-1 (the last)")
    return ("#", -n if back else n)


def _range(f: VarnFile, start: Union[None, int, Tuple[str, int]], reverse: bool,
           refuse: Callable[[str], NoReturn]) -> Iterator[Item]:
    """The items from the one `start` names (included, either way) in the
    order `reverse` gives; a start that names no item goes to `refuse`."""
    if start is None:
        return f.items(reverse=reverse)
    if isinstance(start, tuple):  # #N: walk to the item
        index, count = start[1], 0
        for count, item in enumerate(f.items(reverse=index < 0), 1):
            if count > (index if index >= 0 else -index - 1):
                break
        else:  # #-N past the first item is the first, as tail -n N takes a shorter file whole
            if index >= 0:
                refuse(f"--from #{index}: the file holds {count} items")
            if count == 0:
                return iter(())
        start = item.position
    elif not FIRST_POSITION <= start <= f.size:
        refuse(f"--from {start}: no record starts there (records lie from {FIRST_POSITION} "
               f"to {f.size})")
    else:
        try:
            walk = f.items(start=start)
        except KeyError:  # inside a record, though its bytes may look like one
            refuse(f"--from {start}: no record starts there (list shows where records start)")
        if not reverse:
            return walk
        # The walk back starts before `start`: add the item there, if one is.
        item = next(walk, None)
        if item is None or item.position != start:
            return f.items(start=start, reverse=True)
    if not reverse:
        return f.items(start=start)
    return itertools.chain([item], f.items(start=start, reverse=True))


# The exit statuses of the C tool (sysexits.h), so that a script reads both
# tools alike; a result code not named here is a refused argument (64).
_STATUS = ((errors.Aged, 69), (errors.InUse, 75), (errors.OpenFailed, 66),
           ((errors.Damaged, errors.NotTransactionFile, errors.EndOfFile, errors.NoPrevious), 65),
           ((errors.CreateFailed, errors.MakeDirFailed, errors.NoUniqueName), 73),
           ((errors.SeekFailed, errors.WriteFailed, errors.RemoveFailed), 74),
           (errors.AccessDenied, 77), (errors.NoMemory, 70), (Error, 64),
           (PermissionError, 77),
           ((FileNotFoundError, IsADirectoryError, NotADirectoryError), 73),  # --output
           (OSError, 74))


def _replaceable(path: str) -> Optional[str]:
    """The regular file that an output named path writes to, found through
    symbolic links (where they lead when nothing is there yet); None for an
    output written in place: a device, a pipe, a directory, or a name that
    stands for an open stream (/dev/stdout, /dev/fd/N), whose rows go where
    that stream goes."""
    streams = ("/dev/fd/", "/dev/stdin", "/dev/stdout", "/dev/stderr", "/proc/")
    target = os.path.realpath(path)
    if path.startswith(streams) or target.startswith(streams):
        return None
    try:
        status = os.stat(target)
    except FileNotFoundError:
        return target
    except OSError:
        return None
    if not stat.S_ISREG(status.st_mode):
        return None
    for fd in (1, 2):  # the file that standard output or error already writes
        try:
            if os.path.samestat(status, os.fstat(fd)):
                return None
        except OSError:
            pass
    return target


def _scratch(directory: str) -> Tuple[str, int]:
    """A new file .varnfile-export-XXXXXXXX in directory, as the C tool names
    its own, open for writing: its name and descriptor."""
    digits = "abcdefghijklmnopqrstuvwxyz0123456789"
    for _ in range(100):
        name = os.path.join(directory, ".varnfile-export-" + "".join(random.choices(digits, k=8)))
        try:
            return name, os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
    raise FileExistsError(f"no free name for a scratch file in {directory}")


def _export_to(path: str, writer: Callable[[Iterator[Item], IO[str]], int],
               items: Iterator[Item]) -> int:
    """Writes the rows to the file at path. A regular file is written under a
    scratch name beside it and takes its name only once every row is written,
    as the C tool does: a failure (or Ctrl-C, a kill) leaves a file that was
    there as it was, and makes none that was not. A device, a pipe or a
    stream (-o /dev/null) is written in place and keeps its name, and so is a
    file in a folder where no scratch file can be made; a file that such an
    export made goes when it fails."""
    target = _replaceable(path)
    scratch = None
    if target is not None:
        try:
            scratch, fd = _scratch(os.path.dirname(target) or ".")
        except OSError:
            pass  # a folder this process may not write in: the file is written in place
    if scratch is not None and target is not None:
        try:
            with os.fdopen(fd, "w", newline="", encoding="utf-8") as out:
                if os.path.exists(target):  # the new file keeps the old one's mode
                    os.chmod(scratch, stat.S_IMODE(os.stat(target).st_mode))
                n = writer(items, out)
            os.replace(scratch, target)
            return n
        except BaseException:
            try:
                os.remove(scratch)
            except OSError:
                pass
            raise
    removable = not os.path.lexists(path)
    out = open(path, "w", newline="", encoding="utf-8")
    try:
        with out:
            return writer(items, out)
    except BaseException:
        if removable:
            try:
                os.remove(path)
            except OSError:
                pass
        raise


def _show_info(path: str) -> int:
    """info: the header, then the count of the live items, read as the C tool
    reads them: a damaged item makes the status 65, the header shown first.
    The header of a file that has aged or was never closed is shown too."""
    try:
        f = open_file(path)
    except (errors.Aged, errors.NotTransactionFile) as error:
        with open(path, "rb") as raw:
            header, size = raw.read(174), os.fstat(raw.fileno()).st_size
        if len(header) < 174 or header[:4] != b"KVRW":
            raise
        if isinstance(error, errors.Aged):  # the header shows it, as with the C tool
            _info(header_info(path, header, size))
            return 0
        print(f"varnfile: {error}", file=sys.stderr, flush=True)  # the reason first
        _info(header_info(path, header, size))
        return 65
    with f:
        _info(f.info)
        live = 0
        try:
            for _ in f:
                live += 1
        except errors.Damaged as error:
            print(f"{'items':<14} {live} live (read up to the damage)", flush=True)
            print(f"varnfile: {error}", file=sys.stderr)
            return 65
        print(f"{'items':<14} {live} live")
    return 0


class _Parser(argparse.ArgumentParser):
    """Usage errors exit 64, as the C tool's do (argparse's own is 2)."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(64, f"{self.prog}: error: {message}\n")


def main(argv: Optional[List[str]] = None) -> int:
    parser = _Parser(prog="python -m varnfile", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="show the header fields")
    info.add_argument("file")
    listing = sub.add_parser("list", help="one line per item")
    export = sub.add_parser("export", help="write the items as CSV or JSON Lines")
    for p in (listing, export):
        p.add_argument("file")
        p.add_argument("--reverse", "-r", action="store_true", help="from the last item back")
        p.add_argument("--from", dest="start", type=_start, default=None, metavar="POS|#N",
                       help="start at this item (included): a byte position where a record "
                            "starts, or #N for item N counted from 0, #-1 for the last (#-N "
                            "in a file of fewer items: the first)")
        p.add_argument("--limit", "-n", type=lambda text: _number(text, sys.maxsize),
                       default=None, metavar="N", help="at most N items, counting the selected")
        p.add_argument("--cmd", "-c", type=_commands, action="extend", default=[], metavar="ID",
                       help="only items with this command id; repeat it or give a list (5,7)")
        p.add_argument("--extra", "-e", type=_ids, action="extend", default=[], metavar="ID",
                       help="only items with this extra id, the same way; with --cmd, both")
    export.add_argument("--format", "-f", choices=("jsonl", "csv"), default=None,
                        help="jsonl (the default, unless the --output name ends in .csv): "
                             "the rows of varnfile export; csv: a header row, "
                             "then position,command,extra,value,length, the data in base64 "
                             "and as text")
    export.add_argument("--output", "-o", help="write here instead of stdout (- is stdout)")
    export.add_argument("--force", action="store_true",
                        help="write over a transaction file given as --output")
    args = parser.parse_args(argv)
    if args.command == "export" and args.output == "-":  # standard output, as varnfile export
        args.output = None
    # Without --format the output's name decides, as with varnfile export:
    # .csv is CSV; .tsv is tab-separated text there, which this tool does not
    # write, and JSON Lines under that name would be a trap.
    if args.command == "export" and args.format is None:
        named = (args.output or "").lower()
        if named.endswith(".tsv"):
            export.error(f"{args.output}: tab-separated text is written by varnfile export; "
                         "give --format jsonl or csv to write that here")
        args.format = "csv" if named.endswith(".csv") else "jsonl"
    # The output is truncated before the first row: never the items' own
    # file, nor another transaction file unless --force says so.
    if args.command == "export" and args.output and os.path.isfile(args.output):
        if os.path.exists(args.file) and os.path.samefile(args.file, args.output):
            export.error(f"the output is {args.file} itself")
        with open(args.output, "rb") as out:
            if out.read(4) == b"KVRW" and not args.force:
                print(f"varnfile: {args.output} is a transaction file; export writes over one "
                      "only with --force", file=sys.stderr)
                return 73
    try:
        if args.command == "info":
            return _show_info(args.file)
        with open_file(args.file) as f:
            seen = 0

            def picked(item: Item) -> bool:
                nonlocal seen
                seen += 1
                return ((not args.cmd or item.command in args.cmd)
                        and (not args.extra or item.extra in args.extra))
            walk = _range(f, args.start, args.reverse, sub.choices[args.command].error)
            items = itertools.islice(filter(picked, walk), args.limit)
            if args.command == "list":
                print(f"{'position':>10}  command  extra  {'value':>10}  length  text")
                for item in items:
                    text = item.text[:40].encode("unicode_escape").decode("ascii")
                    print(f"{item.position:>10}  0x{item.command:04x}   0x{item.extra:04x}"
                          f" {item.value:>10}  {len(item.data):>6}  {text}")
                sys.stdout.flush()  # a reader gone shows here, not at the exit
                return 0
            writer = write_csv if args.format == "csv" else write_jsonl
            if args.output:
                n = _export_to(args.output, writer, items)
            else:
                n = writer(items, sys.stdout)
                sys.stdout.flush()
            # Past a limit the rest of the range is not walked: its count would cost
            # reading it all, so the summary gives the total only when it is known.
            if n != args.limit and (args.cmd or args.extra):
                print(f"exported {n} of {_counted(seen)}", file=sys.stderr)
            else:
                print(f"exported {_counted(n)}", file=sys.stderr)
            return 0
    except BrokenPipeError:  # the reader went away (| head): end of SIGPIPE, as the C tool
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        if hasattr(signal, "SIGPIPE"):
            signal.signal(signal.SIGPIPE, signal.SIG_DFL)
            os.kill(os.getpid(), signal.SIGPIPE)
        print("varnfile: cannot write to standard output: the reader went away", file=sys.stderr)
        return 74
    except (Error, OSError) as error:
        print(f"varnfile: {error}", file=sys.stderr)
        return next(status for kind, status in _STATUS if isinstance(error, kind))


class _Signalled(BaseException):
    """A termination signal, raised where the tool is, so that an unfinished
    -o file is removed on the way out (BaseException: no handler of errors
    takes it for one)."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def run() -> NoReturn:
    """The command line (python -m varnfile, varnfile-py). Ctrl-C, kill and a
    hangup end it of that signal, as they end the C tool, without a traceback
    and without an unfinished -o file."""
    def signalled(number: int, _frame: object) -> NoReturn:
        raise _Signalled(number)

    for name in ("SIGTERM", "SIGHUP"):
        if hasattr(signal, name):
            signal.signal(getattr(signal, name), signalled)
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        number = signal.SIGINT
    except _Signalled as caught:
        number = caught.number
    signal.signal(number, signal.SIG_DFL)
    os.kill(os.getpid(), number)
    sys.exit(128 + number)  # where the signal does not end the process


if __name__ == "__main__":
    run()
