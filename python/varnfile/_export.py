"""Items as records, DataFrames, CSV and JSON Lines.

CSV carries the data in base64, so that any bytes survive, and adds it
decoded as UTF-8 text, for reading by eye and spreadsheets. The JSON Lines are
the ones `varnfile export` writes and `varnfile import` reads: the data as it
is when it is valid UTF-8 without control characters, else in base64, as the
"encoding" key says.
"""

from __future__ import annotations

import base64
import csv
import json
from typing import IO, Any, Dict, Iterable, List, Tuple, Union

from ._file import Item, PathArg, VarnFile, read_all

Source = Union[PathArg, VarnFile]
COLUMNS = ("position", "command", "extra", "value", "data", "text")


def to_records(source: Source) -> List[Dict[str, Any]]:
    """Every live item as a dict with the keys of COLUMNS."""
    return [{"position": i.position, "command": i.command, "extra": i.extra, "value": i.value,
             "data": i.data, "text": i.text} for i in read_all(source)]


def to_dataframe(source: Source) -> Any:
    """Every live item as a pandas DataFrame with the columns of COLUMNS
    (needs pandas)."""
    try:
        import pandas  # type: ignore[import]
    except ImportError as error:
        raise ImportError("to_dataframe needs pandas (Debian: python3-pandas)") from error
    items = read_all(source)
    columns = list(zip(*items)) if items else [(), (), (), (), ()]
    frame = {name: pandas.array(list(values), dtype=dtype)
             for name, values, dtype in zip(COLUMNS, columns,
                                            ("uint32", "uint16", "uint16", "uint32", object))}
    frame["text"] = pandas.array([item.text for item in items], dtype=object)
    return pandas.DataFrame(frame, columns=list(COLUMNS))


def _b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def _encoded(data: bytes) -> Tuple[str, str]:
    """("text", the data) when it is valid UTF-8 without control characters
    (C0, DEL, C1), else ("base64", the data in base64)."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return "base64", _b64(data)
    if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in text):
        return "base64", _b64(data)
    return "text", text


def write_csv(items: Iterable[Item], out: IO[str]) -> int:
    """Writes a header line and one row per item; returns the item count."""
    writer = csv.writer(out, lineterminator="\n")
    writer.writerow(("position", "command", "extra", "value", "length", "data", "text"))
    n = 0
    for item in items:
        writer.writerow((item.position, item.command, item.extra, item.value, len(item.data),
                         _b64(item.data), item.text))
        n += 1
    return n


def write_jsonl(items: Iterable[Item], out: IO[str]) -> int:
    """Writes one JSON object per line; returns the item count."""
    n = 0
    for item in items:
        encoding, data = _encoded(item.data)
        out.write(json.dumps({"position": item.position, "command": item.command,
                              "extra": item.extra, "value": item.value,
                              "length": len(item.data), "encoding": encoding, "data": data},
                             separators=(",", ":"), ensure_ascii=False))
        out.write("\n")
        n += 1
    return n
