"""Loading libvarnfile.so and its Python helper with ctypes.

The library is looked up, in this order: the path in the environment variable
VARNFILE_LIBRARY; a libvarnfile.so beside this package; the loader's own
search (LD_LIBRARY_PATH, the ld.so cache); the lib folders of this Python's
prefix and of /usr/local, where `cmake --install` puts it by default.

The helper libvarnfile_py.so (batch reads) is looked up beside the library
that was loaded, then the same way. Without it the package still works, one
foreign call per step, only slower.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_uint8, c_uint16, c_uint32, c_void_p
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

LIBRARY_NAMES = ("libvarnfile.so", "libvarnfile.so.1")
HELPER_NAMES = ("libvarnfile_py.so",)

u16p = POINTER(c_uint16)
u32p = POINTER(c_uint32)
u8p = POINTER(c_uint8)

# name: (result type, argument types) of every export the package uses.
_PROTOTYPES: Dict[str, Tuple[Any, List[Any]]] = {
    "VARNFileVersion": (c_uint32, []),
    "VARNFileCreateEx": (c_uint16, [u32p, c_uint16, c_char_p, c_char_p, c_char_p, c_void_p, c_uint32]),
    "VARNFileOpenEx": (c_uint16, [u32p, c_uint16, c_char_p, c_uint32]),
    "VARNFileClose": (c_uint16, [c_uint32]),
    "VARNFileAbort": (c_uint16, [c_uint32]),
    "VARNFileDelete": (c_uint16, [c_char_p, c_uint32]),
    "VARNFileSetCompression": (c_uint16, [c_uint32, c_uint16]),
    "VARNFileSetParameters": (c_uint16, [c_uint32, c_uint16, c_uint32, c_uint32, c_uint32]),
    "VARNFileGetFileName": (c_uint16, [c_uint32, c_char_p, c_uint16]),
    "VARNFileSetFlags": (c_uint16, [c_uint32, c_uint32]),
    "VARNFileSetDescription": (c_uint16, [c_uint32, c_char_p]),
    "VARNFileResetAging": (c_uint16, [c_uint32]),
    "VARNFileReadHeader": (c_uint16, [c_uint32, u8p, c_uint16]),
    "VARNFileWriteHeader": (c_uint16, [c_uint32, u8p, c_uint16]),
    "VARNFileGetPosition": (c_uint16, [c_uint32, u32p]),
    "VARNFileSetPosition": (c_uint16, [c_uint32, c_uint32]),
    "VARNFileSeekToEnd": (c_uint16, [c_uint32, u32p]),
    "VARNFileSkipNext": (c_uint16, [c_uint32]),
    "VARNFileSkipPrev": (c_uint16, [c_uint32]),
    "VARNFileReadCmdIDEx": (c_uint16, [c_uint32, u16p, u16p, u32p, u16p]),
    "VARNFileReadItem": (c_uint16, [c_uint32, u16p, u16p, u32p, u16p, u8p]),
    "VARNFileAddItem": (c_uint16, [c_uint32, c_uint16, c_uint16, c_uint32, c_uint16, c_char_p]),
    "VARNFileUpdateItem": (c_uint16, [c_uint32, c_uint16, c_uint16, c_uint32, c_uint16, c_char_p]),
    "VARNFileDeleteItem": (c_uint16, [c_uint32]),
    "VARNFileDuplicate": (c_uint16, [c_uint32, c_uint32]),
}

_HELPER_PROTOTYPES: Dict[str, Tuple[Any, List[Any]]] = {
    # handle, backwards, position in/out, max items, entries, data, data size,
    # count out, data used out, failed-at out
    "varnfile_py_read": (c_uint16, [c_uint32, c_uint32, u32p, c_uint32, c_void_p, c_void_p,
                                    c_uint32, u32p, u32p, u32p]),
}


def _candidates(names: Tuple[str, ...], first_dir: Optional[Path]) -> Iterator[str]:
    here = Path(__file__).resolve().parent
    dirs: List[Path] = [d for d in (first_dir, here) if d is not None]
    for d in dirs:
        for name in names:
            if (d / name).exists():
                yield str(d / name)
    yield from names  # the loader's own search
    for prefix in (sys.prefix, "/usr/local"):
        for lib in ("lib", "lib64", "lib/x86_64-linux-gnu"):
            for name in names:
                path = Path(prefix) / lib / name
                if path.exists():
                    yield str(path)


def _load(names: Tuple[str, ...], explicit: Optional[str], first_dir: Optional[Path]) -> ctypes.CDLL:
    if explicit:
        return ctypes.CDLL(explicit)
    errors = []
    for candidate in _candidates(names, first_dir):
        try:
            return ctypes.CDLL(candidate)
        except OSError as error:
            errors.append(str(error))
    raise OSError(f"cannot load {names[0]}; set VARNFILE_LIBRARY to its path or install it "
                  f"with `cmake --install` ({'; '.join(errors[-3:])})")


def _bind(lib: ctypes.CDLL, prototypes: Dict[str, Tuple[Any, List[Any]]]) -> None:
    for name, (restype, argtypes) in prototypes.items():
        function = getattr(lib, name)
        function.restype = restype
        function.argtypes = argtypes


class Native:
    """The loaded library, and the helper when it was found."""

    def __init__(self) -> None:
        self.lib = _load(LIBRARY_NAMES, os.environ.get("VARNFILE_LIBRARY"), None)
        _bind(self.lib, _PROTOTYPES)
        self.path = _library_path(self.lib)
        self.helper: Optional[ctypes.CDLL] = None
        try:
            first = Path(self.path).parent if self.path else None
            self.helper = _load(HELPER_NAMES, None, first)
            _bind(self.helper, _HELPER_PROTOTYPES)
        except (OSError, AttributeError):
            self.helper = None


def _library_path(lib: ctypes.CDLL) -> Optional[str]:
    """The file the loader picked for lib, read from /proc/self/maps."""
    try:
        probe = ctypes.cast(lib.VARNFileVersion, c_void_p).value or 0
        with open("/proc/self/maps") as maps:
            for line in maps:
                fields = line.split()
                low, high = (int(x, 16) for x in fields[0].split("-"))
                if low <= probe < high and len(fields) >= 6:
                    return fields[5]
    except (OSError, ValueError):
        pass
    return None


_native: Optional[Native] = None
_native_lock = threading.Lock()


def native() -> Native:
    """The process-wide Native, loaded on first use."""
    global _native
    if _native is None:
        with _native_lock:
            if _native is None:
                _native = Native()
    return _native
