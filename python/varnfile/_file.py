"""Transaction files: open, create, iterate, change.

A file is a sequence of items, each with a 16-bit command id, a 16-bit extra
id, a 32-bit value and up to 65,535 bytes of data. Items are addressed by
their position, the byte offset of their record: it never changes while the
file lives, so positions can be kept and handed back later.
"""

from __future__ import annotations

import bisect
import ctypes
import enum
import io
import os
import struct
import threading
import warnings
from ctypes import byref, c_uint16, c_uint32
from dataclasses import dataclass, field
from datetime import datetime, timedelta
from typing import Iterator, List, NamedTuple, Optional, Tuple, Union

from ._native import Native, native
from .errors import CannotReplace, InvalidArgument, ReadFailed, RemoveFailed, check, error_for

MEMORY = "MEMORY$"
"""The name of a file that lives in memory until it is closed."""

HEADER_SIZE = 174
FIRST_POSITION = 174
MAX_DATA = 65535
MAX_DESCRIPTION = 64  # bytes of UTF-8
END_OF_FILE = 262
NO_PREVIOUS = 269

PathArg = Union[str, "os.PathLike[str]"]
Data = Union[bytes, bytearray, memoryview, str]


class Method(enum.IntEnum):
    """How a file stores its item data."""

    NONE = 0
    PREDICTOR = 1
    CHAINED_DEFLATE = 2  # the method of every new file
    CHAINED_PREDICTOR = 3
    DEFLATE = 4

    @classmethod
    def of(cls, value: Union[int, str, "Method"]) -> "Method":
        """A method from its number or name ("chained-deflate", "none", ...)."""
        if isinstance(value, str):
            key = value.strip().upper().replace("-", "_")
            if key.isdigit():
                return cls(int(key))
            if key in cls.__members__:
                return cls[key]
            raise ValueError(f"unknown compression method {value!r}")
        return cls(value)

    @property
    def label(self) -> str:
        return self.name.lower().replace("_", "-")


class Item(NamedTuple):
    """One item and the position of its record."""

    position: int
    command: int
    extra: int
    value: int
    data: bytes

    @property
    def text(self) -> str:
        """The data decoded as UTF-8, undecodable bytes replaced."""
        return self.data.decode("utf-8", "replace")


@dataclass(frozen=True)
class Info:
    """The header fields of a file."""

    name: str
    version: int
    base_name: str
    stamp: Optional[datetime]  # creation or last aging reset, local time
    aging_limit: timedelta  # how long after the stamp the file can be opened
    method: Method
    flags: int
    description: str
    size: int  # bytes, header included: the position of the next item
    header: bytes = field(repr=False)  # the 174 header bytes as the library holds them

    @property
    def ages_at(self) -> Optional[datetime]:
        """When the file becomes too old to open."""
        return self.stamp + self.aging_limit if self.stamp else None


def header_info(name: str, raw: bytes, size: int) -> Info:
    """The fields of the 174 header bytes `raw` of a file of `size` bytes."""
    version, = struct.unpack_from("<H", raw, 4)
    days, hours, minutes, seconds, method = struct.unpack_from("<HBBBH", raw, 42)
    flags, = struct.unpack_from("<I", raw, 73)
    return Info(name=name, version=version, base_name=_text(raw[20:36]), stamp=_stamp(raw[36:42]),
                aging_limit=timedelta(days=days, hours=hours, minutes=minutes, seconds=seconds),
                method=Method(method) if method in Method._value2member_map_ else method,
                flags=flags, description=_text(raw[77:142]), size=size, header=raw)


def _text(raw: bytes) -> str:
    return raw.split(b"\0", 1)[0].decode("utf-8", "replace")


def _stamp(raw: bytes) -> Optional[datetime]:
    month, day, year, hour, minute, second = raw
    try:
        return datetime(1900 + year, month, day, hour, minute, second)
    except ValueError:
        return None


def _uint(name: str, value: int, bits: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool) or not 0 <= value < (1 << bits):
        raise InvalidArgument(260, detail=f"{name} must be an integer 0..{(1 << bits) - 1}, "
                                          f"not {value!r}")
    return value


def _description(text: str) -> bytes:
    """The bytes the header holds for a description (at most 64, no NUL)."""
    if not isinstance(text, str):
        raise TypeError(f"description must be a str, not {type(text).__name__}")
    raw = text.encode("utf-8")
    if b"\0" in raw:  # the library would keep the text up to it
        raise InvalidArgument(260, detail="embedded null byte in the description")
    if len(raw) > MAX_DESCRIPTION:
        raise InvalidArgument(260, detail=f"a description is at most {MAX_DESCRIPTION} bytes of "
                                          f"UTF-8, got {len(raw)} bytes")
    return raw


# The aging limit is counted in seconds, in 32 bits: 49710 days 06:28:15.
_MAX_AGING_SECONDS = 0xFFFFFFFF


def _bytes(data: Data) -> bytes:
    # Only these: bytes() would make five zero bytes of 5, and bytes of a list.
    if isinstance(data, str):
        raw = data.encode("utf-8")
    elif isinstance(data, (bytes, bytearray, memoryview)):
        raw = bytes(data)
    else:
        raise TypeError(f"item data must be bytes, bytearray, memoryview or str, "
                        f"not {type(data).__name__}")
    if len(raw) > MAX_DATA:
        raise InvalidArgument(260, detail=f"item data of {len(raw)} bytes, at most {MAX_DATA}")
    return raw


_ENTRY = struct.Struct("=IHHIII")  # the helper's table entry
_DATA_ROOM = 1 << 20  # data bytes per batch; at least one item of any size
_ONE_ITEM_ROOM = 1 << 16  # room for the largest item, for a batch of one
_FIRST_BATCH, _MAX_BATCH = 64, 4096  # few items first, so that a peek stays cheap
_MARK_EVERY = 64  # items between the record starts a file remembers for checking positions


class VarnFile:
    """An open transaction file. Use it as a context manager, or call close().

    Iterating gives the live items from the first to the last; reversed()
    gives them from the last to the first. Deleted items and end markers are
    passed over. A file object may be shared between threads.
    """

    def __init__(self, handle: int, name: str, writable: bool) -> None:
        self._native: Native = native()
        self._handle = handle
        # A child of os.fork() inherits the object but not the file: its
        # close must not finish the opener's file behind the opener's back.
        self._opener = os.getpid()
        self._lock = threading.RLock()
        self.name = name
        self.writable = writable
        # Counts the changes to items through this object: an iteration that
        # read items ahead reads them again after its body changed the file.
        self._changes = 0
        # Record starts found so far, ascending, about one per _MARK_EVERY
        # items: a position is checked from the nearest one before it.
        # Records never move, and a deleted one still starts where it did.
        self._marks: List[int] = []
        self._appended = 0

    # -- lifetime --

    @property
    def closed(self) -> bool:
        """True once closed, and always in a forked child (see close)."""
        return self._handle == 0 or self._opener != os.getpid()

    def close(self) -> None:
        """Writes back what is cached, finishes the file and closes it. A new
        file can be opened again only after it has been closed. In a process
        forked from the opener it only lets go of the object: the file stays
        the opener's."""
        if self._inherited():
            return
        with self._lock:
            handle, self._handle = self._handle, 0
            if handle:
                check(self._native.lib.VARNFileClose(handle), self.name)

    def abort(self) -> None:
        """Closes without finishing and removes the file (in the opener's
        process only, as close). Refused for a file opened for reading."""
        if self._inherited():
            return
        if self._handle and not self.writable:
            raise io.UnsupportedOperation(
                "the file is open for reading only; abort() would remove it")
        with self._lock:
            handle, self._handle = self._handle, 0
            if handle:
                check(self._native.lib.VARNFileAbort(handle), self.name)

    def _inherited(self) -> bool:
        """True in a forked child, after letting go of the handle there (the
        lock is not taken: another thread of the parent may have held it)."""
        if self._opener == os.getpid():
            return False
        self._handle = 0
        return True

    def __enter__(self) -> "VarnFile":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __del__(self) -> None:
        # As io's files: a file dropped while open warns (ResourceWarning,
        # shown under -X dev or -W), and a failure of the close it then gets
        # is reported as an exception ignored in __del__, not swallowed.
        if not getattr(self, "_handle", 0) or self._inherited():
            return
        try:
            warnings.warn(f"unclosed transaction file {self.name!r}", ResourceWarning,
                          stacklevel=2, source=self)
        except Exception:  # late in interpreter shutdown
            pass
        self.close()

    def __copy__(self) -> "VarnFile":
        raise TypeError("a transaction file object cannot be copied; open the file again")

    def __deepcopy__(self, memo: object) -> "VarnFile":
        raise TypeError("a transaction file object cannot be copied; open the file again")

    def __reduce_ex__(self, protocol: object) -> object:
        raise TypeError("a transaction file object cannot be pickled; pass its name instead")

    def __repr__(self) -> str:
        state = "closed" if self.closed else ("r+" if self.writable else "r")
        return f"<varnfile.VarnFile {self.name!r} {state}>"

    def _h(self) -> int:
        if self._opener != os.getpid():
            self._handle = 0
            raise ValueError("the transaction file belongs to the process that opened it, "
                             "not to this forked child; open it again here")
        if not self._handle:
            raise ValueError("I/O operation on a closed transaction file")
        return self._handle

    def _writing(self) -> int:
        if not self.writable:
            raise io.UnsupportedOperation("the file is open for reading only; use mode 'r+'")
        return self._h()

    def _check(self, code: int, position: Optional[int] = None) -> None:
        check(code, self.name, position)

    # -- reading --

    def __iter__(self) -> Iterator[Item]:
        return self.items()

    def __reversed__(self) -> Iterator[Item]:
        return self.items(reverse=True)

    def items(self, start: Optional[int] = None, reverse: bool = False) -> Iterator[Item]:
        """The live items from the one at `start` to the last; with reverse,
        the items before `start` (the end when None) back to the first.
        `start` is where a record starts (a deleted one too) or the end of
        data; KeyError for any other position."""
        if start is None:
            start = self.size if reverse else FIRST_POSITION
        else:
            start = self._walk_start(_uint("start", start, 32))
        if self._native.helper is not None:
            return self._batches(start, reverse)
        return self._one_by_one(start, reverse)

    def read(self, position: int) -> Item:
        """The live item whose record starts at `position` (KeyError if none).

        The record there is read as the library frames it, at the cost of one
        read: only when that fails are the records before it followed, to tell
        a position where no record starts (KeyError) from a damaged record
        (ReadFailed). Bytes inside an item's data that frame a whole record,
        link included, therefore read as an item; positions from append(),
        items() or Item.position always name real records. delete() and
        update() follow the records first, so they never change such bytes."""
        _uint("position", position, 32)
        walk = (self._batches(position, False, 1) if self._native.helper is not None
                else self._one_by_one(position, False))
        try:
            for item in walk:
                if item.position == position:
                    return item
                break
        except ReadFailed:
            with self._lock:
                h = self._h()
                found = self._next_live(h, position, self._end(h))
            if found is not None and found != position:
                raise KeyError(position) from None
            raise
        raise KeyError(position)

    def _batches(self, position: int, reverse: bool, batch: int = _FIRST_BATCH) -> Iterator[Item]:
        read = self._native.helper.varnfile_py_read  # type: ignore[union-attr]
        most, room = (_MAX_BATCH, _DATA_ROOM) if batch > 1 else (1, _ONE_ITEM_ROOM)
        entries = ctypes.create_string_buffer(most * _ENTRY.size)
        data = ctypes.create_string_buffer(room)
        where, count, used, failed = c_uint32(position), c_uint32(), c_uint32(), c_uint32()
        new, string_at = tuple.__new__, ctypes.string_at
        passed = None  # going forwards after a change: the item given last
        while True:
            with self._lock:
                rc = read(self._h(), int(reverse), byref(where), batch, entries, data, room,
                          byref(count), byref(used), byref(failed))
                changes = self._changes
            n = count.value
            changed = False
            if n:
                blob = string_at(data, used.value)
                for p, c, e, v, a, b in _ENTRY.iter_unpack(string_at(entries, n * _ENTRY.size)):
                    if p == passed:
                        continue
                    yield new(Item, (p, c, e, v, blob[a:b]))
                    if not self._handle:  # closed meanwhile: no item read ahead comes out
                        self._h()
                    if self._changes != changes:
                        # The loop's body changed the file, and the items read
                        # ahead may be stale: read on from this item.
                        where.value, passed, changed = p, (None if reverse else p), True
                        break
            if changed:
                continue
            passed = None
            if rc == END_OF_FILE:
                return
            if rc:
                raise error_for(rc, self.name, failed.value)
            batch = min(batch * 4, most)

    def _one_by_one(self, position: int, reverse: bool) -> Iterator[Item]:
        """The same walk as the helper's, one foreign call per step."""
        lib = self._native.lib
        command, extra, length = c_uint16(), c_uint16(), c_uint16()
        value, at, end = c_uint32(), c_uint32(), c_uint32()
        while True:
            with self._lock:
                h = self._h()
                self._check(lib.VARNFileSeekToEnd(h, byref(end)))
                self._check(lib.VARNFileSetPosition(h, position))
                if reverse:
                    rc = lib.VARNFileSkipPrev(h)
                    if rc == NO_PREVIOUS:
                        return
                    if rc == END_OF_FILE:  # an end marker: step back over it
                        lib.VARNFileGetPosition(h, byref(at))
                        position = at.value
                        continue
                    self._check(rc, position)
                rc = lib.VARNFileReadCmdIDEx(h, byref(command), byref(extra), byref(value),
                                             byref(length))
                lib.VARNFileGetPosition(h, byref(at))
                if rc == END_OF_FILE and not reverse:
                    if at.value >= end.value:
                        return
                    rc = lib.VARNFileSkipNext(h)  # an end marker: pass over it
                    if rc not in (0, END_OF_FILE):
                        self._check(rc, at.value)
                    lib.VARNFileGetPosition(h, byref(at))
                    position = at.value
                    continue
                self._check(rc, at.value)
                buffer = ctypes.create_string_buffer(max(length.value, 1))
                self._check(lib.VARNFileReadItem(h, byref(command), byref(extra), byref(value),
                                                 byref(length),
                                                 ctypes.cast(buffer, ctypes.POINTER(ctypes.c_uint8))),
                            at.value)
                item = Item(at.value, command.value, extra.value, value.value,
                            buffer.raw[:length.value])
                if reverse:
                    position = at.value
                else:
                    lib.VARNFileGetPosition(h, byref(at))
                    position = at.value
            yield item

    # -- changing --

    def append(self, command: int, data: Data = b"", extra: int = 0, value: int = 0) -> int:
        """Appends an item at the end and returns its position. Command ids
        0xFF00 and above belong to the library (0xFF02, an end marker, may be
        appended)."""
        raw = _bytes(data)
        args = (_uint("command", command, 16), _uint("extra", extra, 16), _uint("value", value, 32))
        with self._lock:
            h = self._writing()
            end = c_uint32()
            self._check(self._native.lib.VARNFileSeekToEnd(h, byref(end)))
            self._changes += 1
            self._check(self._native.lib.VARNFileAddItem(h, *args, len(raw), raw), end.value)
            self._appended += 1
            if self._appended % _MARK_EVERY == 0:  # past every record start remembered
                self._marks.append(end.value)
            return end.value

    def update(self, position: int, *, command: Optional[int] = None, extra: Optional[int] = None,
               value: Optional[int] = None, data: Optional[Data] = None) -> None:
        """Changes the live item at `position`; fields not given stay. New data
        must have the item's length, and only an uncompressed file (method
        NONE) can take it (CannotReplace otherwise)."""
        raw = None if data is None else _bytes(data)
        with self._lock:
            h = self._writing()
            old_command, old_extra, old_value = self._seek_live(h, position)
            new = (old_command if command is None else _uint("command", command, 16),
                   old_extra if extra is None else _uint("extra", extra, 16),
                   old_value if value is None else _uint("value", value, 32))
            self._changes += 1
            self._check(self._native.lib.VARNFileUpdateItem(h, *new, len(raw or b""), raw),
                        position)

    def delete(self, position: int) -> None:
        """Marks the live item at `position` deleted (KeyError if none);
        readers pass over it."""
        with self._lock:
            h = self._writing()
            self._seek_live(h, position)
            self._changes += 1
            self._check(self._native.lib.VARNFileDeleteItem(h), position)

    def _seek_live(self, h: int, position: int) -> Tuple[int, int, int]:
        """Puts the cursor on the live item whose record starts at `position`
        and gives its command, extra id and value; KeyError when no live item
        starts there (the library would take the next one, or bytes inside
        a record for one)."""
        lib = self._native.lib
        end = self._end(h)
        found = self._next_live(h, _uint("position", position, 32), end)
        if position >= end or (found is not None and found != position):
            raise KeyError(position)
        command, extra, value, length, at = c_uint16(), c_uint16(), c_uint32(), c_uint16(), c_uint32()
        self._check(lib.VARNFileSetPosition(h, position))
        rc = lib.VARNFileReadCmdIDEx(h, byref(command), byref(extra), byref(value), byref(length))
        lib.VARNFileGetPosition(h, byref(at))
        if rc == END_OF_FILE or (rc == 0 and at.value != position):  # an end marker, or deleted
            raise KeyError(position)
        self._check(rc, position)
        self._check(lib.VARNFileSetPosition(h, position))
        return command.value, extra.value, value.value

    def _end(self, h: int) -> int:
        end = c_uint32()
        self._check(self._native.lib.VARNFileSeekToEnd(h, byref(end)))
        return end.value

    def _next_live(self, h: int, position: int, end: int) -> Optional[int]:
        """The position of the first live item at or behind `position`, found
        by following the records from the first one (from the nearest start
        known before it): `end` when there is none, None when a record on the
        way cannot be read (the bytes at `position` are then all there is to
        go by). The library takes any position for the start of a record, and
        the data of an item can hold bytes that look like one: a position
        handed in is checked this way before anything is done there."""
        if position >= end:
            return end
        lib = self._native.lib
        marks = self._marks
        index = bisect.bisect_right(marks, position)
        command, extra, value, at = c_uint16(), c_uint16(), c_uint32(), c_uint32()
        self._check(lib.VARNFileSetPosition(h, marks[index - 1] if index else FIRST_POSITION))
        rc = lib.VARNFileReadCmdIDEx(h, byref(command), byref(extra), byref(value), None)
        found: Optional[int] = None
        passed: List[int] = []
        last, steps = -1, 0
        while rc in (0, END_OF_FILE):
            lib.VARNFileGetPosition(h, byref(at))
            here = at.value
            if here <= last:  # no step forward: a broken link
                break
            if rc == END_OF_FILE and here >= end:
                found = end
                break
            if rc == 0 and here >= position:
                found = here
                break
            steps += 1
            if steps % _MARK_EVERY == 0:
                passed.append(here)
            last = here
            rc = lib.VARNFileSkipNext(h)  # to the next live item or end marker
        marks[index:index] = passed  # all of them lie between marks[index - 1] and position
        return found

    def _walk_start(self, position: int) -> int:
        """Where a walk from `position` begins: there, when a live item
        starts there or it is the end of data; when a deleted record or an
        end marker starts there, at the first live item after it (the same
        items come before either). KeyError for any other position."""
        with self._lock:
            h = self._h()
            end = self._end(h)
            if position == end:
                return position
            if FIRST_POSITION <= position < end:
                found = self._next_live(h, position, end)
                if found is None or found == position:
                    return position
                if self._reads_on_to(h, position, end) == found:
                    return found
        raise KeyError(position)

    def _reads_on_to(self, h: int, position: int, end: int) -> Optional[int]:
        """Where the library, reading from `position` and passing over what
        it takes for deleted records and end markers there, finds the next
        live item (`end`: none); None when it fails or does not move on."""
        lib = self._native.lib
        command, extra, value, at = c_uint16(), c_uint16(), c_uint32(), c_uint32()
        self._check(lib.VARNFileSetPosition(h, position))
        rc = lib.VARNFileReadCmdIDEx(h, byref(command), byref(extra), byref(value), None)
        last = position - 1
        while rc in (0, END_OF_FILE):
            lib.VARNFileGetPosition(h, byref(at))
            if rc == 0 or at.value >= end:
                return min(at.value, end)
            if at.value <= last:
                break
            last = at.value
            rc = lib.VARNFileSkipNext(h)
        return None

    def duplicate(self, target: Union[PathArg, "VarnFile"],
                  method: Union[Method, int, str, None] = None) -> None:
        """Copies every record into `target`: an open file, or a path for a new
        file stored with `method` (this file's method when None) that gets this
        file's description and flags too."""
        if isinstance(target, VarnFile):
            with self._lock, target._lock:
                h = target._writing()
                # The library copies over a target's own records, in place
                # where their lengths allow; only an empty target is taken.
                if target.size != FIRST_POSITION:
                    raise CannotReplace(268, target.name, detail="the target holds records, "
                                        "which the copy would write over; copy into an empty file")
                target._changes += 1
                self._check(self._native.lib.VARNFileDuplicate(h, self._h()))
            return
        info = self.info
        copy = create(target, method=info.method if method is None else method,
                      description=info.description, flags=info.flags)
        try:
            self.duplicate(copy)
            copy.close()  # it writes what is cached: it can fail too
        except BaseException:
            # No partial copy that looks complete.
            if not copy.closed:
                copy.abort()
            elif copy.name.upper() != MEMORY:  # the close failed and left it
                try:
                    os.remove(copy.name)
                except OSError:
                    pass
            raise

    # -- header --

    def _header(self) -> bytearray:
        buffer = (ctypes.c_uint8 * HEADER_SIZE)()
        with self._lock:
            self._check(self._native.lib.VARNFileReadHeader(self._h(), buffer, HEADER_SIZE))
        return bytearray(buffer)

    def _put_header(self, header: bytearray) -> None:
        buffer = (ctypes.c_uint8 * HEADER_SIZE).from_buffer(header)
        with self._lock:
            self._check(self._native.lib.VARNFileWriteHeader(self._writing(), buffer, HEADER_SIZE))

    @property
    def size(self) -> int:
        """The end of data: the file's length in bytes and the next position."""
        end = c_uint32()
        with self._lock:
            self._check(self._native.lib.VARNFileSeekToEnd(self._h(), byref(end)))
        return end.value

    @property
    def info(self) -> Info:
        return header_info(self.name, bytes(self._header()), self.size)

    @property
    def method(self) -> Method:
        return self.info.method

    def _header_field(name: str, setter: str, encode) -> property:  # noqa: N805 - used in the body
        """A header field read from `info` and written through the export `setter`."""
        def set_field(self, value) -> None:
            with self._lock:
                self._check(getattr(self._native.lib, setter)(self._writing(), encode(value)))
        return property(lambda self: getattr(self.info, name), set_field)

    description = _header_field("description", "VARNFileSetDescription", _description)
    flags = _header_field("flags", "VARNFileSetFlags", lambda flags: _uint("flags", flags, 32))
    del _header_field

    def reset_aging(self) -> None:
        """Restamps the file with the current time; it ages from now."""
        with self._lock:
            self._check(self._native.lib.VARNFileResetAging(self._writing()))

    def set_aging(self, limit: Optional[timedelta] = None, stamp: Optional[datetime] = None) -> None:
        """Sets the aging limit and/or the stamp it is measured from (local
        time, whole seconds). Both reach the file when it is closed."""
        with self._lock:  # no other thread's header change in between
            self._set_aging(limit, stamp)

    def _set_aging(self, limit: Optional[timedelta], stamp: Optional[datetime]) -> None:
        header = self._header()
        if stamp is not None:
            if not 1900 <= stamp.year <= 2155:
                raise InvalidArgument(260, detail="stamp year must be 1900..2155")
            header[36:42] = bytes((stamp.month, stamp.day, stamp.year - 1900,
                                   stamp.hour, stamp.minute, stamp.second))
        if limit is not None:
            total = int(limit.total_seconds())
            days, rest = divmod(total, 86400)
            if not 0 <= total <= _MAX_AGING_SECONDS:
                raise InvalidArgument(260, detail="an aging limit is at most 49710 days 06:28:15 "
                                                  "(it is counted in seconds, in 32 bits)")
            struct.pack_into("<HBBB", header, 42, days, rest // 3600, rest // 60 % 60, rest % 60)
        self._put_header(header)


# -- opening --

def _name(path: PathArg) -> str:
    name = os.fsdecode(os.fspath(path))
    if "\0" in name:  # the library would take the name up to it: another file
        raise ValueError("embedded null byte")
    return name


def open(path: PathArg, mode: str = "r") -> VarnFile:  # noqa: A001 - like io.open
    """Opens an existing file: mode "r" reads, "r+" reads and writes. A file
    that another handle or process writes cannot be opened (InUse), nor one
    that is older than its aging limit (Aged)."""
    if mode not in ("r", "r+"):
        raise ValueError(f"mode must be 'r' or 'r+', not {mode!r}")
    name = _name(path)
    lib = native().lib
    handle = c_uint32()
    check(lib.VARNFileOpenEx(byref(handle), 1 if mode == "r+" else 0, os.fsencode(name), 0), name,
          write=mode == "r+")
    return VarnFile(handle.value, name, mode == "r+")


def create(path: PathArg, method: Union[Method, int, str] = Method.CHAINED_DEFLATE,
           description: Optional[str] = None, flags: Optional[int] = None,
           replace: bool = False) -> VarnFile:
    """Creates a file open for reading and writing, missing directories
    included. An existing file is replaced only with replace=True. The name
    MEMORY makes a file that lives in memory until it is closed."""
    name = _name(path)
    chosen = Method.of(method)
    # Every argument is checked before an existing file is replaced.
    text = None if description is None else _description(description)
    if flags is not None:
        _uint("flags", flags, 32)
    if not replace and name.upper() != MEMORY and os.path.lexists(name):
        raise FileExistsError(f"{name} exists; pass replace=True to replace it")
    lib = native().lib
    handle = c_uint32()
    check(lib.VARNFileCreateEx(byref(handle), 0, os.fsencode(name), None, None, None, 0), name)
    f = VarnFile(handle.value, name, True)
    try:
        if chosen != Method.CHAINED_DEFLATE:
            f._check(lib.VARNFileSetCompression(handle.value, int(chosen)))
        if text is not None:
            f._check(lib.VARNFileSetDescription(handle.value, text))
        if flags is not None:
            f.flags = flags
    except BaseException:
        f.abort()
        raise
    return f


def memory(method: Union[Method, int, str] = Method.CHAINED_DEFLATE,
           description: Optional[str] = None) -> VarnFile:
    """A new file in memory; it is gone when closed."""
    return create(MEMORY, method=method, description=description)


def delete(path: PathArg) -> None:
    """Removes a file; nothing happens when it does not exist. RemoveFailed
    when it is still there: another handle or process holds it open, or it
    is not a file."""
    name = _name(path)
    check(native().lib.VARNFileDelete(os.fsencode(name), 0), name)
    if name.upper() != MEMORY and os.path.lexists(name):
        raise RemoveFailed(279, name, detail="another handle or process holds it open, or it "
                                             "is not a regular file")


def library_version() -> int:
    """The library's version, 272 for the current format."""
    return int(native().lib.VARNFileVersion())


def read_all(source: Union[PathArg, VarnFile]) -> List[Item]:
    """Every live item of a file (a path or an open file), first to last."""
    if isinstance(source, VarnFile):
        return list(source)
    with open(source) as f:
        return list(f)
