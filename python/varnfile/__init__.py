"""varnfile: read and write transaction files from Python.

    import varnfile

    with varnfile.create("orders.trn", method="none") as f:
        f.append(1, b"first", value=100)
    with varnfile.open("orders.trn") as f:
        for item in f:             # reversed(f) walks back from the end
            print(item.position, item.command, item.value, item.text)
    frame = varnfile.to_dataframe("orders.trn")   # with pandas installed

The package calls libvarnfile.so through ctypes (see varnfile._native for
where it is looked up); failures raise subclasses of varnfile.Error.
"""

from ._export import COLUMNS, to_dataframe, to_records, write_csv, write_jsonl
from ._file import (FIRST_POSITION, MAX_DATA, MEMORY, Info, Item, Method, VarnFile, create,
                    delete, library_version, memory, open, read_all)
from .errors import (AccessDenied, Aged, BufferTooSmall, CannotReplace, CrcMismatch,
                     CreateFailed, Damaged, EndInconsistent, EndOfFile, Error, HeaderUnreadable,
                     InUse, InvalidArgument, InvalidHandle, InvalidPosition, MakeDirFailed,
                     MethodLocked, NoMemory, NoPrevious, NotFound, NotTransactionFile,
                     NoUniqueName, OpenFailed, ReadFailed, RemoveFailed, ReservedCommand,
                     SeekFailed, UnsupportedVersion, WriteFailed)

END_MARKER = 0xFF02
"""The command id of an end marker: readers of the C API stop there."""

__version__ = "1.0.0"

__all__ = [
    "COLUMNS", "END_MARKER", "FIRST_POSITION", "MAX_DATA", "MEMORY", "Info", "Item", "Method",
    "VarnFile", "create", "delete", "library_version", "memory", "open", "read_all",
    "to_dataframe", "to_records", "write_csv", "write_jsonl",
    "AccessDenied", "Aged", "BufferTooSmall", "CannotReplace", "CrcMismatch", "CreateFailed",
    "Damaged", "EndInconsistent", "EndOfFile", "Error", "HeaderUnreadable", "InUse",
    "InvalidArgument", "InvalidHandle", "InvalidPosition", "MakeDirFailed", "MethodLocked",
    "NoMemory", "NoPrevious", "NotFound", "NotTransactionFile", "NoUniqueName", "OpenFailed",
    "ReadFailed", "RemoveFailed", "ReservedCommand", "SeekFailed", "UnsupportedVersion",
    "WriteFailed",
]
