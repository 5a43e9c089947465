"""python -m varnfile: list, show and export transaction files without the C tool.

    python -m varnfile info FILE
    python -m varnfile list FILE [--reverse] [--from POSITION] [--limit N] [--cmd ID] [--extra ID]
    python -m varnfile export FILE [--format csv|jsonl] [--output OUT] [--reverse] [--cmd ID] ...
"""

from __future__ import annotations

import argparse
import itertools
import os
import re
import sys
from typing import List, Optional

from . import Error, Item, VarnFile, open as open_file, write_csv, write_jsonl


def _info(f: VarnFile) -> None:
    info = f.info
    rows = [("file", info.name), ("size", f"{info.size} bytes"), ("version", info.version),
            ("base name", info.base_name), ("stamp", info.stamp),
            ("aging limit", info.aging_limit), ("ages at", info.ages_at),
            ("method", f"{int(info.method)} ({getattr(info.method, 'label', '?')})"),
            ("flags", f"0x{info.flags:08x}"), ("description", repr(info.description))]
    for key, value in rows:
        print(f"{key:<14} {value}")


def _ids(text: str) -> List[int]:
    """A --cmd or --extra argument: one id or a comma list, decimal or 0x hexadecimal."""
    ids = []
    for part in text.split(","):
        if not re.fullmatch(r"0[xX][0-9a-fA-F]+|[0-9]+", part):
            raise argparse.ArgumentTypeError(f"not a number: {part!r}")
        ids.append(int(part, 16 if part[1:2] in ("x", "X") else 10))
        if ids[-1] > 0xFFFF:
            raise argparse.ArgumentTypeError(f"{part} is larger than 65535")
    return ids


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m varnfile", description=__doc__.split("\n")[0])
    sub = parser.add_subparsers(dest="command", required=True)
    info = sub.add_parser("info", help="show the header fields")
    info.add_argument("file")
    listing = sub.add_parser("list", help="one line per item")
    export = sub.add_parser("export", help="write the items as CSV or JSON Lines")
    for p in (listing, export):
        p.add_argument("file")
        p.add_argument("--reverse", "-r", action="store_true", help="from the last item back")
        p.add_argument("--from", dest="start", type=lambda s: int(s, 0), default=None,
                       help="start at this position (reverse: the items before it)")
        p.add_argument("--cmd", "-c", type=_ids, action="extend", default=[], metavar="ID",
                       help="only items with this command id; repeat it or give a list (5,7)")
        p.add_argument("--extra", "-e", type=_ids, action="extend", default=[], metavar="ID",
                       help="only items with this extra id, the same way; with --cmd, both")
    listing.add_argument("--limit", "-n", type=int, default=None, help="at most N lines")
    export.add_argument("--format", "-f", choices=("csv", "jsonl"), default="csv")
    export.add_argument("--output", "-o", help="write here instead of stdout")
    args = parser.parse_args(argv)
    try:
        with open_file(args.file) as f:
            if args.command == "info":
                _info(f)
                return 0
            seen = 0

            def picked(item: Item) -> bool:
                nonlocal seen
                seen += 1
                return ((not args.cmd or item.command in args.cmd)
                        and (not args.extra or item.extra in args.extra))
            items = filter(picked, f.items(start=args.start, reverse=args.reverse))
            if args.command == "list":
                print(f"{'position':>10}  command  extra  {'value':>10}  length  text")
                for item in itertools.islice(items, args.limit):
                    text = item.text[:40].encode("unicode_escape").decode("ascii")
                    print(f"{item.position:>10}  0x{item.command:04x}   0x{item.extra:04x}"
                          f" {item.value:>10}  {len(item.data):>6}  {text}")
                return 0
            writer = write_csv if args.format == "csv" else write_jsonl
            if args.output:
                with open(args.output, "w", newline="", encoding="utf-8") as out:
                    n = writer(items, out)
            else:
                n = writer(items, sys.stdout)
            total = f" of {seen}" if args.cmd or args.extra else ""
            print(f"exported {n}{total} items", file=sys.stderr)
            return 0
    except BrokenPipeError:  # the reader went away (| head): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (Error, OSError) as error:
        print(f"varnfile: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
