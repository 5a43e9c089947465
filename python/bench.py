"""Reading 100,000 items into a list: varnfile against the standard sqlite3.

    python3 bench.py [--items N] [--method 0..4|name] [--runs R]

Writes the same rows (position, command, extra, value, data) into a
transaction file and into an SQLite table in a temporary folder, then times,
best of R runs, opening each and fetching every row into a Python list: a
list of varnfile.Item against sqlite3's fetchall(). Prints both times and
their ratio (varnfile / sqlite3; the goal is at most 2).
"""

from __future__ import annotations

import argparse
import os
import random
import sqlite3
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import varnfile  # noqa: E402


def sample_rows(n: int):
    """Transaction-like items: a few commands, short text of varying length."""
    rng = random.Random(19)
    words = ["sale", "refund", "void", "card", "cash", "store", "till", "EUR", "ok", "late"]
    for i in range(n):
        text = " ".join(rng.choice(words) for _ in range(rng.randint(3, 12)))
        yield rng.randint(1, 40), rng.randint(0, 3), rng.randint(0, 100000), \
            f"txn {i}: {text}".encode()


def best_of(runs: int, *works):
    """The best time of each work; the works take turns, so that a busy
    machine slows them alike."""
    times = [[] for _ in works]
    for _ in range(runs):
        for work, spent in zip(works, times):
            start = time.perf_counter()
            work()
            spent.append(time.perf_counter() - start)
    return [min(spent) for spent in times]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--items", type=int, default=100_000)
    parser.add_argument("--method", default="chained-deflate")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    method = varnfile.Method.of(args.method)
    with tempfile.TemporaryDirectory() as folder:
        trn, db = os.path.join(folder, "bench.trn"), os.path.join(folder, "bench.db")
        with varnfile.create(trn, method=method) as f:
            positions = [f.append(c, d, extra=e, value=v) for c, e, v, d in sample_rows(args.items)]
        con = sqlite3.connect(db)
        con.execute("CREATE TABLE items (position INTEGER PRIMARY KEY, command INTEGER, "
                    "extra INTEGER, value INTEGER, data BLOB)")
        con.executemany("INSERT INTO items VALUES (?, ?, ?, ?, ?)",
                        ((p, c, e, v, d) for p, (c, e, v, d) in zip(positions, sample_rows(args.items))))
        con.commit()
        con.close()

        def read_varnfile():
            with varnfile.open(trn) as f:
                rows = list(f)
            assert len(rows) == args.items

        def read_sqlite():
            con = sqlite3.connect(db)
            rows = con.execute("SELECT position, command, extra, value, data FROM items").fetchall()
            con.close()
            assert len(rows) == args.items

        ours, theirs = best_of(args.runs, read_varnfile, read_sqlite)
        helper = "batch helper" if varnfile._native.native().helper else "no helper"
        print(f"{args.items} items, method {method.label}, {helper}, best of {args.runs}")
        print(f"varnfile list(f):    {ours * 1000:8.1f} ms")
        print(f"sqlite3 fetchall():  {theirs * 1000:8.1f} ms")
        print(f"ratio varnfile/sqlite3: {ours / theirs:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
