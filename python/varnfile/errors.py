"""Exceptions: one class per result code of the library, grouped by kind.

Every exception carries the result code (`code`), its meaning (`meaning`) and,
where known, the file (`path`) and the item position (`position`) involved.
Catch `Error` for everything, or a group: `Damaged` (the file's bytes are
broken), `NotTransactionFile`, `OpenFailed` (with `NotFound` and `InUse`).
A file this process may not read or write raises `AccessDenied`, which is a
PermissionError as well. Each class can be raised without arguments too:
it then carries its own result code.
"""

from __future__ import annotations

import errno
import fcntl
import os
from typing import Any, Dict, Optional, Tuple, Type

MEANINGS: Dict[int, str] = {
    257: "position lies inside the file header",
    258: "buffer too small for the string or data",
    260: "invalid argument",
    261: "the file's end is inconsistent at close",
    262: "no further item, or an end marker",
    263: "the file header cannot be read",
    264: "not a transaction file (wrong magic or never closed)",
    265: "format version outside 264..272",
    266: "the file is older than its aging limit",
    267: "item data fails its CRC check",
    268: "item cannot be replaced: length differs, or the file is compressed",
    269: "no item before the current one",
    270: "command id 0xFF00 or above is reserved",
    272: "out of memory",
    273: "no open file has this handle",
    274: "file missing, held by another open, or cannot be opened",
    275: "file cannot be created",
    276: "seek failed",
    277: "read failed or came up short",
    278: "write or close failed",
    279: "file cannot be removed",
    280: "access denied",
    281: "no unique file name could be found",
    282: "a directory cannot be created",
    283: "method cannot change: the file holds items",
}


class Error(Exception):
    """A failure reported by the library."""

    code: int = 0  # the code an instance made without one carries
    cause: Optional[str] = None  # what the message says in place of the code's meaning

    def __init__(self, code: Optional[int] = None, path: Optional[str] = None,
                 position: Optional[int] = None, detail: Optional[str] = None) -> None:
        self.code = type(self).code if code is None else code
        self.meaning = MEANINGS.get(self.code, "unknown result code")
        self.path = path
        self.position = position
        self.detail = detail
        where = "".join([f" in {path}" if path else "",
                         f" at position {position}" if position is not None else "",
                         f": {detail}" if detail else ""])
        super().__init__(f"{self.cause or self.meaning} ({self.code}){where}")

    def __reduce__(self) -> Tuple[Any, ...]:  # keeps pickling (multiprocessing) working
        return (type(self), (self.code, self.path, self.position, self.detail))


class InvalidPosition(Error, ValueError):
    """257: a position inside the 174-byte header."""

    code = 257


class BufferTooSmall(Error):
    """258."""

    code = 258


class InvalidArgument(Error, ValueError):
    """260: a value out of range, a name too long, a null argument."""

    code = 260


class Damaged(Error):
    """The file's bytes are broken: a CRC, a link or its end does not fit."""


class EndInconsistent(Damaged):
    """261."""

    code = 261


class CrcMismatch(Damaged):
    """267: item data fails its CRC check."""

    code = 267


class ReadFailed(Damaged):
    """277: a read came up short or followed a broken link."""

    code = 277


class EndOfFile(Error):
    """262: no further item, or an end marker."""

    code = 262


class NotTransactionFile(Error):
    """264: wrong magic, or never closed properly."""

    code = 264


class HeaderUnreadable(NotTransactionFile):
    """263: shorter than a header."""

    code = 263


class UnsupportedVersion(NotTransactionFile):
    """265."""

    code = 265


class Aged(Error):
    """266: the file is older than its aging limit and can no longer be opened."""

    code = 266


class CannotReplace(Error):
    """268: other data length, or data in a compressed file."""

    code = 268


class NoPrevious(Error):
    """269."""

    code = 269


class ReservedCommand(InvalidArgument):
    """270: command ids 0xFF00 and above belong to the library."""

    code = 270


class NoMemory(Error, MemoryError):
    """272."""

    code = 272


class InvalidHandle(Error):
    """273: the file is closed."""

    code = 273


class OpenFailed(Error):
    """274: the file cannot be opened."""

    code = 274


class NotFound(OpenFailed, FileNotFoundError):
    """274 for a path that does not exist."""

    cause = "no such file"


class InUse(OpenFailed):
    """274 or 275 for a file that exists: another handle or process holds it."""

    code = 274
    cause = "the file is in use: another handle or process holds it"


class CreateFailed(Error):
    """275."""

    code = 275


class SeekFailed(Error):
    """276."""

    code = 276


class WriteFailed(Error):
    """278."""

    code = 278


class RemoveFailed(Error):
    """279."""

    code = 279


class AccessDenied(Error, PermissionError):
    """280, or 274 and 275 for an existing file that this process may not
    read, or write where it opens the file to write."""

    code = 280
    cause = "permission denied"


class NoUniqueName(Error):
    """281."""

    code = 281


class MakeDirFailed(Error):
    """282."""

    code = 282


class MethodLocked(Error):
    """283: the compression method is fixed once the file holds items."""

    code = 283


_BY_CODE: Dict[int, Type[Error]] = {
    257: InvalidPosition, 258: BufferTooSmall, 260: InvalidArgument, 261: EndInconsistent,
    262: EndOfFile, 263: HeaderUnreadable, 264: NotTransactionFile, 265: UnsupportedVersion,
    266: Aged, 267: CrcMismatch, 268: CannotReplace, 269: NoPrevious, 270: ReservedCommand,
    272: NoMemory, 273: InvalidHandle, 274: OpenFailed, 275: CreateFailed, 276: SeekFailed,
    277: ReadFailed, 278: WriteFailed, 279: RemoveFailed, 280: AccessDenied, 281: NoUniqueName,
    282: MakeDirFailed, 283: MethodLocked,
}


def _open_problem(path: str, write: bool) -> Optional[Type[Error]]:
    """Why the library could not open the existing regular file at path,
    found by trying the open it makes (a flock, shared to read, exclusive to
    write): AccessDenied, InUse, or None when the open works now."""
    try:
        fd = os.open(path, (os.O_RDWR if write else os.O_RDONLY) | os.O_NONBLOCK | os.O_NOCTTY)
    except PermissionError:
        # A file that may not be written is still in use when a reader
        # cannot have it either.
        return InUse if write and _open_problem(path, False) is InUse else AccessDenied
    except OSError:
        return None
    try:
        fcntl.flock(fd, (fcntl.LOCK_EX if write else fcntl.LOCK_SH) | fcntl.LOCK_NB)
    except OSError as error:
        return InUse if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN) else None
    finally:
        os.close(fd)  # its lock, if taken, goes with it
    return None


def error_for(code: int, path: Optional[str] = None, position: Optional[int] = None,
              write: bool = False) -> Error:
    """The exception for a result code. An open (write: for writing) or a
    create that failed on a path is told apart further: a missing path is
    NotFound, an existing file that this process may not read (or write) is
    AccessDenied, one that another handle or process holds is InUse."""
    cls: Type[Error] = _BY_CODE.get(code, Error)
    if code in (274, 275) and path is not None and not path.upper() == "MEMORY$":
        if not os.path.lexists(path):
            if code == 274:
                cls = NotFound
        elif os.path.isfile(path):
            cls = _open_problem(path, write or code == 275) or cls
    return cls(code, path, position)


def check(code: int, path: Optional[str] = None, position: Optional[int] = None,
          write: bool = False) -> None:
    """Raises the exception for a nonzero result code."""
    if code:
        raise error_for(code, path, position, write)
