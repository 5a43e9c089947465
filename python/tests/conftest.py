"""Shared fixtures: the package from this tree, the built library and tool."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

PYTHON_DIR = Path(__file__).resolve().parents[1]
BUILD_DIR = PYTHON_DIR.parent / "build"
sys.path.insert(0, str(PYTHON_DIR))
os.environ.setdefault("VARNFILE_LIBRARY", str(BUILD_DIR / "libvarnfile.so"))
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [str(PYTHON_DIR),
                                                         os.environ.get("PYTHONPATH")]))

import varnfile  # noqa: E402
from varnfile._native import native  # noqa: E402


@pytest.fixture(params=["batch", "one-by-one"])
def reader(request, monkeypatch):
    """Runs a test with the batch helper and with plain per-item calls. The
    batches get the least data room allowed, so that large items fill it."""
    if request.param == "batch":
        if native().helper is None:
            pytest.skip("libvarnfile_py.so not built")
        monkeypatch.setattr(varnfile._file, "_DATA_ROOM", varnfile.MAX_DATA)
    else:
        monkeypatch.setattr(native(), "helper", None)
    return request.param


@pytest.fixture
def tool_path():
    """The C tool `varnfile`, for comparing exit statuses with it."""
    path = os.environ.get("VARNFILE_TOOL", str(BUILD_DIR / "bin" / "varnfile"))
    if not os.access(path, os.X_OK):
        pytest.skip(f"the varnfile tool is not built ({path})")
    return path


@pytest.fixture
def tool(tool_path):
    """Runs the C tool `varnfile` and returns its stdout."""
    def run(*args, input=None):
        done = subprocess.run([tool_path, *map(str, args)], input=input, capture_output=True,
                              check=True)
        return done.stdout
    return run
