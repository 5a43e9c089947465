"""The Python package against the C tool, the file bytes and the library's codes."""

import base64
import csv
import io
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
from datetime import datetime, timedelta

import pytest

import varnfile
from varnfile import Item, Method

METHODS = list(Method)


def sample(n=40):
    """Items that reach the edges: empty, binary, the largest, repetitive."""
    items = [(1, 0, 0, b""), (2, 0xFFFF, 0xFFFFFFFF, bytes(range(256))),
             (0xFEFF, 7, 1, bytes(65535)), (3, 1, 2, "zaehlt \u00fc\u20ac".encode())]
    items += [(10 + i % 5, i, i * 1000, f"txn {i} amount {i * 7 % 100}".encode() * (i % 4))
              for i in range(n)]
    return items


def jsonl(items):
    return "".join(json.dumps({"command": c, "extra": e, "value": v, "encoding": "base64",
                               "data": base64.b64encode(d).decode()}) + "\n"
                   for c, e, v, d in items).encode()


def exported(tool, path):
    """The items as the C tool reads them."""
    return [Item(r["position"], r["command"], r["extra"], r["value"],
                 r["data"].encode() if r["encoding"] == "text" else base64.b64decode(r["data"]))
            for r in map(json.loads, tool("export", path).splitlines())]


@pytest.mark.parametrize("method", METHODS)
def test_reads_what_the_tool_wrote(tmp_path, tool, reader, method):
    path = tmp_path / "tool.trn"
    tool("import", path, "--method", int(method), input=jsonl(sample()))
    expected = exported(tool, path)
    assert [i[1:] for i in expected] == [(c, e, v, d) for c, e, v, d in sample()]
    with varnfile.open(path) as f:
        assert f.method == method
        assert list(f) == expected
        assert list(reversed(f)) == expected[::-1]
        middle = expected[len(expected) // 2].position
        assert list(f.items(start=middle)) == expected[len(expected) // 2:]
        assert list(f.items(start=middle, reverse=True)) == expected[:len(expected) // 2][::-1]
        assert f.read(middle) == expected[len(expected) // 2]


@pytest.mark.parametrize("method", METHODS)
def test_tool_reads_what_python_wrote(tmp_path, tool, reader, method):
    path = tmp_path / "py.trn"
    with varnfile.create(path, method=method, description="from python", flags=5) as f:
        positions = [f.append(c, d, extra=e, value=v) for c, e, v, d in sample()]
        f.delete(positions[1])
        f.append(varnfile.END_MARKER)  # readers of this package pass over end markers
        f.append(4, b"behind the marker")
    info = tool("info", path).decode()
    assert "from python" in info and "0x00000005" in info and f"method         {int(method)}" in info
    with varnfile.open(path) as f:
        items = list(f)
        assert list(reversed(f)) == items[::-1]
    assert [i.position for i in items[:3]] == [positions[0], positions[2], positions[3]]
    tool_items = exported(tool, path)
    assert [i for i in tool_items if i.command != varnfile.END_MARKER] == items
    # The package's JSON Lines are the tool's, byte for byte and by default (the tool
    # also lists the marker).
    mine = subprocess.run([sys.executable, "-m", "varnfile", "export", str(path)],
                          capture_output=True, check=True).stdout
    marker = b'"command":%d,' % varnfile.END_MARKER
    assert mine.splitlines() == [line for line in tool("export", path).splitlines()
                                 if marker not in line]


def test_changes_in_place(tmp_path, reader):
    path = tmp_path / "plain.trn"
    with varnfile.create(path, method="none") as f:
        a, b, c = (f.append(n, bytes([n]) * 3, value=n) for n in (1, 2, 3))
        f.update(b, command=20, data=b"xyz")
        f.update(c, value=99)
        f.delete(a)
    with varnfile.open(path) as f:
        assert list(f) == [Item(b, 20, 0, 2, b"xyz"), Item(c, 3, 0, 99, b"\3\3\3")]
        with pytest.raises(KeyError):
            f.read(a)


def phantom_file(path):
    """A file whose second item holds the bytes of a whole record, its link
    pointing at itself, a deleted item and an end marker; the positions of
    the live items, of the record inside the data and of the others."""
    with varnfile.create(path, method="none") as f:
        f.append(7, b"inner", value=9)
    record = path.read_bytes()[174:]
    with varnfile.create(path, method="none", replace=True) as f:
        at = {"first": f.append(1, b"head")}
        at["holder"] = f.size
        at["inside"] = at["holder"] + 14  # where the record inside the data starts
        inner = record[:-8] + struct.pack("<I", at["inside"]) + record[-4:]
        assert f.append(2, inner) == at["holder"]
        at["deleted"] = f.append(3, b"gone")
        f.delete(at["deleted"])
        at["marker"] = f.append(varnfile.END_MARKER)
        at["last"] = f.append(4, b"tail")
        at["end"] = f.size
    return at


def test_positions_are_checked_against_the_records(tmp_path, reader):
    # The library takes any position for a record's start: one inside an item
    # whose data looks like a record would delete or change a phantom (and a
    # delete there breaks the real item's CRC). A read there gives the
    # phantom, at the cost of one read for every other.
    path = tmp_path / "phantom.trn"
    at = phantom_file(path)
    stored = path.read_bytes()
    live = [at["first"], at["holder"], at["last"]]
    no_item = [at["inside"], at["holder"] + 1, at["deleted"], at["marker"], at["end"],
               at["end"] + 1, 0, 173]
    with varnfile.open(path, "r+") as f:
        assert [i.position for i in f] == live
        for position in no_item:
            actions = [f.delete, lambda p: f.update(p, value=5)]
            if position != at["inside"]:
                actions.append(f.read)
            for action in actions:
                with pytest.raises(KeyError):
                    action(position)
        assert f.read(at["inside"]).command == 7
        # A walk starts where a record starts, deleted or an end marker too,
        # or at the end of data; nowhere else.
        for position in (at["inside"], at["holder"] + 1, at["end"] + 1, 0):
            with pytest.raises(KeyError):
                f.items(start=position)
        for position in (at["deleted"], at["marker"]):
            assert [i.position for i in f.items(start=position)] == [at["last"]]
            assert [i.position for i in f.items(start=position, reverse=True)] == live[1::-1]
        assert list(f.items(start=at["end"])) == []
        assert f.read(at["holder"]).data[14:19] == b"inner"
    assert path.read_bytes() == stored


def test_positions_in_a_larger_file(tmp_path, reader):
    # Positions are checked from record starts remembered on the way: those
    # of the items appended through the object, or of the ones checked before.
    path = tmp_path / "many.trn"

    def read_each(f, order):
        for p in order:
            if p in kept:
                assert f.read(p).position == p
            else:
                with pytest.raises(KeyError):
                    f.read(p)

    with varnfile.create(path, method="chained-deflate") as f:
        positions = [f.append(n % 5, b"item %d " % n * (n % 4)) for n in range(1000)]
        for p in positions[3::7]:
            f.delete(p)
        kept = set(positions) - set(positions[3::7])
        read_each(f, positions[::-1] + [p + 1 for p in positions])
    with varnfile.open(path) as f:
        read_each(f, [p + 1 for p in positions[::-1]] + positions)


def test_tool_from_a_position_inside_a_record(tmp_path, tool_path):
    path = tmp_path / "phantom.trn"
    at = phantom_file(path)
    for name, reverse in (("inside", []), ("inside", ["-r"]), ("deleted", ["-r"]),
                          ("marker", []), ("end", ["-r"])):
        args = ["list", str(path), "--from", str(at[name]), *reverse]
        mine = subprocess.run([sys.executable, "-m", "varnfile", *args], capture_output=True,
                              text=True)
        assert mine.returncode == (64 if name == "inside" else 0)
        if name == "inside":
            assert "no record starts there" in mine.stderr
        assert subprocess.run([tool_path, *args], capture_output=True).returncode == \
            mine.returncode


def flip_data_byte(path, position):
    raw = bytearray(path.read_bytes())
    raw[position + 14] ^= 0xFF
    path.write_bytes(bytes(raw))


# exception and result code (None for a Python-side check) -> what raises it
ERRORS = {
    (varnfile.NotFound, 274): ("open missing",),
    (varnfile.HeaderUnreadable, 263): ("open short",),
    (varnfile.NotTransactionFile, 264): ("open foreign", "open never closed"),
    (varnfile.ReservedCommand, 270): ("append reserved",),
    (varnfile.CannotReplace, 268): ("update data compressed", "update other length",
                                    "duplicate into a file with records"),
    (varnfile.CrcMismatch, 267): ("read damaged",),
    (varnfile.InvalidArgument, 260): ("data too long", "command out of range", "description too long"),
    (FileExistsError, None): ("create existing",),
    (KeyError, None): ("delete twice", "delete in the header"),
    (io.UnsupportedOperation, None): ("append read-only",),
    (ValueError, None): ("append closed",),
}
CASES = [(case, exception, code) for (exception, code), cases in ERRORS.items() for case in cases]


@pytest.mark.parametrize("case,exception,code", CASES, ids=[c[0] for c in CASES])
def test_errors_map_to_exceptions(tmp_path, reader, case, exception, code):
    path = tmp_path / "e.trn"
    with varnfile.create(path, method="chained-deflate" if "compressed" in case else "none") as f:
        first = f.append(1, b"abc")
        second = f.append(2, b"def")
    never_closed = varnfile.create(tmp_path / "open.trn")  # stays open: header not finished
    actions = {
        "open missing": lambda: varnfile.open(tmp_path / "missing.trn"),
        "open short": lambda: (path.write_bytes(b"KVRW"), varnfile.open(path)),
        "open foreign": lambda: (path.write_bytes(b"x" * 300), varnfile.open(path)),
        "open never closed": lambda: (path.write_bytes((tmp_path / "open.trn").read_bytes()),
                                      varnfile.open(path)),
        "append reserved": lambda: varnfile.open(path, "r+").append(0xFF00),
        "delete twice": lambda: (lambda f: (f.delete(first), f.delete(first)))(
            varnfile.open(path, "r+")),
        "delete in the header": lambda: varnfile.open(path, "r+").delete(0),
        "duplicate into a file with records": lambda: varnfile.open(path).duplicate(
            (lambda m: (m.append(1), m)[1])(varnfile.memory())),
        "update data compressed": lambda: varnfile.open(path, "r+").update(first, data=b"abc"),
        "update other length": lambda: varnfile.open(path, "r+").update(first, data=b"ab"),
        "read damaged": lambda: (flip_data_byte(path, second), list(varnfile.open(path))),
        "data too long": lambda: varnfile.open(path, "r+").append(1, bytes(65536)),
        "command out of range": lambda: varnfile.open(path, "r+").append(0x10000),
        "description too long": lambda: setattr(varnfile.open(path, "r+"), "description", "d" * 65),
        "create existing": lambda: varnfile.create(path),
        "append read-only": lambda: varnfile.open(path).append(1),
        "append closed": lambda: (lambda f: (f.close(), f.append(1)))(varnfile.open(path, "r+")),
    }
    with pytest.raises(exception) as caught:
        actions[case]()
    if code is not None:
        assert caught.value.code == code and caught.value.meaning == varnfile.errors.MEANINGS[code]
    if case == "read damaged":
        assert caught.value.position == second
        with varnfile.open(path) as f:
            assert next(iter(f)) == Item(first, 1, 0, 0, b"abc")  # the items before still read
    never_closed.close()


def test_a_refused_change_keeps_what_is_stored(tmp_path, reader):
    path = tmp_path / "kept.trn"
    with varnfile.create(path, method="none", description="kept") as f:
        first = f.append(1, b"one")
        f.append(2, b"two")
    stored = path.read_bytes()
    # Arguments are checked before an existing file is replaced.
    for bad in ({"description": "d" * 65}, {"description": "\u00e9" * 33}, {"description": "a\0b"},
                {"flags": -1}, {"flags": 1 << 32}):
        with pytest.raises(varnfile.InvalidArgument):
            varnfile.create(path, replace=True, **bad)
        assert path.read_bytes() == stored
    with pytest.raises(TypeError):
        varnfile.create(path, replace=True, description=b"bytes")
    assert path.read_bytes() == stored
    with varnfile.open(path, "r+") as f:
        for data in (5, [1, 2], {1: 2}, None, 1.5):  # 5: not five zero bytes
            with pytest.raises(TypeError):
                f.append(1, data)
        with pytest.raises(TypeError):
            f.update(first, data=[1, 2, 3])
        for ids in ({"command": True}, {"extra": False}, {"value": True}):
            with pytest.raises(varnfile.InvalidArgument):
                f.append(**{"command": 1, **ids})
    assert path.read_bytes() == stored
    with varnfile.open(path, "r+") as f:
        # 32-bit seconds: 49710 days 06:28:15 is the longest aging limit.
        with pytest.raises(varnfile.InvalidArgument):
            f.set_aging(limit=timedelta(days=49710, seconds=23296))
        f.set_aging(limit=timedelta(days=49710, seconds=23295))
        # A copy into a file that holds records would write over them (the
        # library would, in place, where the lengths agree).
        with varnfile.memory(method="none") as target:
            target.append(9, b"uno")
            with pytest.raises(varnfile.CannotReplace):
                f.duplicate(target)
            assert [i[1:] for i in target] == [(9, 0, 0, b"uno")]
    with varnfile.open(path) as f:
        assert f.info.aging_limit == timedelta(days=49710, seconds=23295)
        assert f.read(first).data == b"one"
    # A copy to a new path that fails on a damaged item leaves no file.
    flip_data_byte(path, first)
    with varnfile.open(path) as f, pytest.raises(varnfile.CrcMismatch):
        f.duplicate(tmp_path / "copy.trn")
    assert not (tmp_path / "copy.trn").exists()


@pytest.mark.parametrize("action", ["create", "open", "delete", "duplicate", "description"])
def test_a_nul_in_a_name_is_refused(tmp_path, action):
    # The library would take the name up to the NUL: the file named so far.
    path = tmp_path / "v.trn"
    with varnfile.create(path) as f:
        f.append(1, b"kept")
    stored = path.read_bytes()
    name = str(path) + "\0x"
    actions = {
        "create": lambda: varnfile.create(name, replace=True),
        "open": lambda: varnfile.open(os.fsencode(name), "r+"),
        "delete": lambda: varnfile.delete(name),
        "duplicate": lambda: varnfile.memory().duplicate(name),  # would create over v.trn
        "description": lambda: varnfile.create(tmp_path / "d.trn", description="a\0b"),
    }
    with pytest.raises(ValueError, match="null"):
        actions[action]()
    assert path.read_bytes() == stored
    assert sorted(os.listdir(tmp_path)) == ["v.trn"]


@pytest.mark.parametrize("end", ["close", "abort"])
@pytest.mark.parametrize("reverse", [False, True])
def test_no_item_comes_after_close(tmp_path, reader, end, reverse):
    with varnfile.create(tmp_path / "c.trn", method="none") as f:
        for n in range(300):
            f.append(1, b"%d" % n)
        walk = f.items(reverse=reverse)
        next(walk)
        getattr(f, end)()
        with pytest.raises(ValueError, match="closed"):
            next(walk)  # not an item read ahead


def test_errors_can_be_raised_without_arguments():
    for cls, code, group in ((varnfile.CrcMismatch, 267, varnfile.Damaged),
                             (varnfile.NotFound, 274, FileNotFoundError),
                             (varnfile.InUse, 274, varnfile.OpenFailed),
                             (varnfile.AccessDenied, 280, PermissionError),
                             (varnfile.ReservedCommand, 270, ValueError)):
        with pytest.raises(group) as caught:
            raise cls
        assert caught.value.code == code and f"({code})" in str(caught.value)


@pytest.mark.parametrize("reverse", [False, True])
def test_loop_sees_the_changes_of_its_body(tmp_path, reader, reverse):
    # Items read ahead in batches must not hide what the loop's body did to
    # the items after the current one: deleted, changed, added.
    step = -1 if reverse else 1
    with varnfile.create(tmp_path / "loop.trn", method="none") as f:
        at = [f.append(1, b"%03d" % n, value=n) for n in range(300)]
        index = {p: n for n, p in enumerate(at)}
        values, deleted, expected = list(range(300)), set(), []
        for n in (range(299, -1, -1) if reverse else range(300)):
            if n in deleted:
                continue
            expected.append(values[n])
            if n % 7 == 3 and 0 <= n + 2 * step < 300:
                deleted.add(n + step)
                values[n + 2 * step] += 1000
        seen = []
        for item in f.items(reverse=reverse):
            seen.append(item.value)
            n = index.get(item.position)
            if n is not None and n % 7 == 3 and 0 <= n + 2 * step < 300:
                f.delete(at[n + step])
                f.update(at[n + 2 * step], value=values[n + 2 * step])
            if not reverse and n == 299:
                f.append(1, b"new", value=5000)  # a forward loop reaches it
        assert seen == expected + ([] if reverse else [5000])


def test_delete_leaves_no_file_behind(tmp_path):
    path = tmp_path / "held.trn"
    varnfile.create(path).close()
    with varnfile.open(path):
        with pytest.raises(varnfile.RemoveFailed):
            varnfile.delete(path)
    assert path.exists()
    varnfile.delete(path)
    assert not path.exists()
    varnfile.delete(path)  # gone already: nothing to do


def test_file_held_by_another_process(tmp_path):
    path = tmp_path / "held.trn"
    varnfile.create(path).close()
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys, varnfile; f = varnfile.open(sys.argv[1], 'r+');"
         "print('ready', flush=True); sys.stdin.read()", str(path)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        for mode in ("r", "r+"):
            with pytest.raises(varnfile.InUse) as caught:
                varnfile.open(path, mode)
            assert caught.value.code == 274 and "missing" not in str(caught.value)
        with pytest.raises(varnfile.InUse):
            varnfile.create(path, replace=True)
    finally:
        holder.communicate("")
    varnfile.open(path, "r+").close()  # free again once the holder has closed


def test_a_file_this_process_may_not_open(tool_path):
    # As root every file opens: the checks run as nobody then.
    user = "nobody" if os.geteuid() == 0 else None
    folder = tempfile.mkdtemp(prefix="varnfile-")  # one that nobody can reach
    try:
        os.chmod(folder, 0o755)
        for name, mode in (("none.trn", 0), ("ro.trn", 0o444)):
            with varnfile.create(os.path.join(folder, name)) as f:
                f.append(1, b"x")
            os.chmod(os.path.join(folder, name), mode)
        script = ("import varnfile\n"
                  "for name, mode in (('none.trn', 'r'), ('ro.trn', 'r+')):\n"
                  "    try:\n"
                  "        varnfile.open(name, mode)\n"
                  "    except PermissionError as error:\n"
                  "        print(type(error).__name__, error.code, 'missing' in str(error))\n"
                  "print(len(varnfile.read_all('ro.trn')))\n")
        run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                             cwd=folder, user=user)
        assert run.stdout.split("\n") == ["AccessDenied 274 False"] * 2 + ["1", ""], run.stderr
        for args, status in ((["info", "none.trn"], 77), (["list", "ro.trn"], 0)):
            mine = subprocess.run([sys.executable, "-m", "varnfile", *args], cwd=folder,
                                  user=user, capture_output=True)
            theirs = subprocess.run([tool_path, *args], cwd=folder, user=user,
                                    capture_output=True)
            assert mine.returncode == theirs.returncode == status
    finally:
        shutil.rmtree(folder)


def test_a_forked_child_leaves_the_file_alone(tmp_path):
    # The child can neither change the parent's file (its writes would land
    # behind the parent's back) nor finish it with its close or its exit.
    script = ("import os, sys, varnfile\n"
              "f = varnfile.create(sys.argv[1], method='none')\n"
              "f.append(1, b'before')\n"
              "for close in (False, True):\n"
              "    child = os.fork()\n"
              "    if child == 0:\n"
              "        for attempt in (lambda: f.append(9, b'child'), lambda: list(f)):\n"
              "            try:\n"
              "                attempt()\n"
              "                os._exit(3)\n"
              "            except ValueError:\n"
              "                pass\n"
              "        if not f.closed:\n"
              "            os._exit(4)\n"
              "        if close:\n"
              "            f.close()\n"
              "        sys.exit(0)\n"
              "    assert os.waitpid(child, 0)[1] == 0\n"
              "    f.append(2, b'after')\n"
              "f.close()\n")
    path = tmp_path / "fork.trn"
    subprocess.run([sys.executable, "-c", script, str(path)], check=True)
    assert [i.data for i in varnfile.read_all(path)] == [b"before", b"after", b"after"]


def test_a_file_object_has_one_owner(tmp_path, monkeypatch):
    import copy
    import gc
    import pickle
    path = tmp_path / "owner.trn"
    with varnfile.create(path) as f:
        f.append(1, b"kept")
        for attempt in (copy.copy, copy.deepcopy, pickle.dumps):
            with pytest.raises(TypeError):
                attempt(f)
    # A file opened for reading is not removed by abort().
    with varnfile.open(path) as f:
        with pytest.raises(io.UnsupportedOperation):
            f.abort()
        assert [i.data for i in f] == [b"kept"]
    assert path.exists()
    # A file dropped while open warns; a failure of the close the garbage
    # collector gives it is reported, not swallowed.
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: reported.append(u.exc_value))
    f = varnfile.open(path)
    with pytest.warns(ResourceWarning, match="unclosed transaction file"):
        del f
        gc.collect()
    assert reported == []
    f = varnfile.open(path)
    varnfile._native.native().lib.VARNFileClose(f._handle)  # behind its back
    with pytest.warns(ResourceWarning):
        del f
        gc.collect()
    assert [type(e) for e in reported] == [varnfile.InvalidHandle]


def test_a_step_back_over_a_damaged_trailer_names_its_item(tmp_path, reader):
    path = tmp_path / "trailer.trn"
    with varnfile.create(path, method="none") as f:
        at = [f.append(1, f"item {i}") for i in range(5)]
    raw = bytearray(path.read_bytes())
    raw[at[3] - 8:at[3] - 4] = b"\xff" * 4  # the link back to item 2's start
    path.write_bytes(bytes(raw))
    seen = []
    with varnfile.open(path) as f:
        with pytest.raises(varnfile.ReadFailed) as caught:
            for item in reversed(f):
                seen.append(item.position)
    assert seen == [at[4], at[3]]
    assert caught.value.position == at[3]


def test_header_info_and_aging(tmp_path):
    path = tmp_path / "old.trn"
    before = datetime.now().replace(microsecond=0)
    with varnfile.create(path, method=Method.PREDICTOR, description="day 1") as f:
        f.flags = 0xDEADBEEF
        info = f.info
        f.append(1, b"kept")
        f.set_aging(limit=timedelta(hours=1, minutes=30), stamp=before - timedelta(hours=2))
    assert (info.method, info.description, info.flags, info.version) == \
        (Method.PREDICTOR, "day 1", 0xDEADBEEF, 272)
    assert info.base_name == "old.trn" and info.aging_limit == timedelta(days=30)
    assert before <= info.stamp <= datetime.now() and info.size == 174
    stamp = before - timedelta(hours=2)
    header = path.read_bytes()[:174]
    assert header[36:42] == bytes((stamp.month, stamp.day, stamp.year - 1900, stamp.hour,
                                   stamp.minute, stamp.second))
    assert header[42:47] == bytes((0, 0, 1, 30, 0))
    with pytest.raises(varnfile.Aged) as caught:
        varnfile.open(path)
    assert caught.value.code == 266 and str(path) in str(caught.value)
    # A longer limit, written into the header bytes, makes it readable again.
    path.write_bytes(header[:42] + bytes((0, 0, 3, 0, 0)) + path.read_bytes()[47:])
    with varnfile.open(path) as f:
        assert f.info.stamp == stamp and f.info.aging_limit == timedelta(hours=3)
        assert f.info.ages_at == stamp + timedelta(hours=3)
        assert [i.data for i in f] == [b"kept"]


def test_memory_file_and_duplicate(tmp_path, tool, reader):
    with varnfile.memory(method="predictor", description="scratch") as f:
        for c, e, v, d in sample(10):
            f.append(c, d, extra=e, value=v)
        items = list(f)
        f.duplicate(tmp_path / "copy.trn", method=Method.NONE)
    assert not list(tmp_path.glob("MEMORY*"))
    copied = exported(tool, tmp_path / "copy.trn")
    assert [i[1:] for i in copied] == [i[1:] for i in items]
    with varnfile.open(tmp_path / "copy.trn") as f:
        assert (f.method, f.description) == (Method.NONE, "scratch")


def test_a_copy_that_fails_to_close_leaves_no_file(tmp_path):
    # A file size limit makes the copy fail in the close, which writes what
    # the library cached: the unfinished copy goes all the same.
    source = tmp_path / "src.trn"
    with varnfile.create(source, method="none") as f:
        for n in range(100):
            f.append(1, b"item %03d " % n * 5)
    script = ("import os, resource, signal, sys, varnfile\n"
              "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
              "source, copy = sys.argv[1:]\n"
              "with varnfile.open(source) as f:\n"
              "    for limit in range(os.path.getsize(source) - 1500, os.path.getsize(source), 50):\n"
              "        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))\n"
              "        try:\n"
              "            f.duplicate(copy)\n"
              "            print('copied', os.path.exists(copy))\n"
              "        except varnfile.Error as error:\n"
              "            print(type(error).__name__, os.path.exists(copy))\n"
              "        if os.path.exists(copy):\n"
              "            os.remove(copy)\n")
    run = subprocess.run([sys.executable, "-c", script, str(source), str(tmp_path / "copy.trn")],
                         capture_output=True, text=True, check=True)
    assert set(run.stdout.splitlines()) == {"WriteFailed False"}


def test_records_dataframe_and_csv(tmp_path):
    path = tmp_path / "frame.trn"
    with varnfile.create(path) as f:
        f.append(1, b"caf\xc3\xa9", extra=2, value=3)
        f.append(9, b"\xff\x00", value=4000000000)
    records = varnfile.to_records(path)
    assert [r["text"] for r in records] == ["caf\u00e9", "\ufffd\x00"]
    out = subprocess.run([sys.executable, "-m", "varnfile", "export", "-f", "csv", str(path)],
                         capture_output=True, text=True, check=True).stdout
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [base64.b64decode(r["data"]) for r in rows] == [r["data"] for r in records]
    assert [int(r["value"]) for r in rows] == [3, 4000000000]
    subprocess.run([sys.executable, "-m", "varnfile", "export", str(path), "-o",
                    str(tmp_path / "frame.csv")], check=True)
    assert (tmp_path / "frame.csv").read_text() == out  # CSV, as its name says
    # A reader gone (| head) ends it of SIGPIPE, as the C tool.
    with subprocess.Popen([sys.executable, "-m", "varnfile", "export", str(path)],
                          stdout=subprocess.PIPE) as gone:
        gone.stdout.close()
    assert gone.returncode == -signal.SIGPIPE
    # The rows go to a scratch file beside -o, which takes its name at the end:
    # Ctrl-C, a kill, even SIGKILL, or a damaged item leave an existing output
    # as it was (the scratch file goes, but for SIGKILL), and make no new one.
    big, out = tmp_path / "big.trn", tmp_path / "big.jsonl"
    with varnfile.create(big, method="none") as f:
        rows = [f.append(1, b"row %d" % n) for n in range(30000)]
    for number, before in ((signal.SIGINT, None), (signal.SIGTERM, "kept\n"),
                           (signal.SIGKILL, "kept\n")):
        if before:
            out.write_text(before)
        with subprocess.Popen([sys.executable, "-m", "varnfile", "export", str(big), "-o",
                               str(out)]) as killed:
            while killed.poll() is None and not any(p.stat().st_size for p in
                                                    tmp_path.glob(".varnfile-export-*")):
                time.sleep(0.005)
            killed.send_signal(number)
        assert killed.returncode == -number
        assert (out.read_text() if out.exists() else None) == before
        left = list(tmp_path.glob(".varnfile-export-*"))
        assert len(left) == (number == signal.SIGKILL)
        for scratch in left:
            scratch.unlink()
    flip_data_byte(big, rows[20000])  # far enough in for rows to be written first
    failed = subprocess.run([sys.executable, "-m", "varnfile", "export", str(big), "-o", str(out)],
                            capture_output=True)
    assert failed.returncode == 65 and out.read_text() == "kept\n"
    assert not list(tmp_path.glob(".varnfile-export-*"))
    pandas = pytest.importorskip("pandas", reason="pandas is not installed (python3-pandas)")
    frame = varnfile.to_dataframe(path)
    assert list(frame.columns) == list(varnfile.COLUMNS)
    assert frame.to_dict("records") == records
    assert str(frame["value"].dtype) == "uint32" and isinstance(frame, pandas.DataFrame)


# python -m varnfile arguments -> exit status and the items shown, in order (or a message)
TOOL_ROWS = [
    (("list", "--cmd", "5"), 0, ["five-1", "five-2"]),
    (("list", "-c", "0x9,7", "-r", "-n", "1"), 0, ["nine"]),
    (("list", "--cmd", "5", "--extra", "3"), 0, ["five-2"]),
    (("export", "-c", "7", "-c", "9", "--reverse"), 0, ["nine", "seven", "exported 2 of 4 items"]),
    (("list", "--cmd", "5,"), 64, "not a number: ''"),
    (("export", "--extra", "0x10000"), 64, "0x10000 is larger than 65535"),
    (("export", "-r", "--from", "174"), 0, ["five-1", "exported 1 item"]),
    (("export", "-c", "9", "-o", "-"), 0, ["nine", "exported 1 of 4 items"]),  # - is stdout
    (("list", "--from", "#-2"), 0, ["five-2", "nine"]),
    (("list", "--from", "#-9"), 0, ["five-1", "seven", "five-2", "nine"]),  # as tail -n 9
    (("export", "-c", "5,9", "-r", "--from", "#1", "-n", "1"), 0, ["five-1", "exported 1 item"]),
    (("export", "-c", "5", "-n", "5"), 0, ["five-1", "five-2", "exported 2 of 4 items"]),
    (("list", "--from", "#4"), 64, "--from #4: the file holds 4 items"),
    (("list", "--from", "100"), 64, "no record starts there"),
    (("list", "--cmd", "0xFF02"), 64, "0xFF02 selects end markers"),
    # The C tool's exit statuses: 66 a missing file, 69 one that has aged.
    (("info", "missing.trn"), 66, "no such file"),
    (("export", "aged.trn"), 69, "older than its aging limit"),
    (("info", "aged.trn"), 0, []),  # info shows the header of an aged file, as varnfile info does
    (("export", "-o", "no/dir.csv"), 73, "No such file or directory"),
    (("export", "-o", "sel.trn"), 64, "the output is"),  # would truncate the items' own file
    (("export", "-o", "aged.trn"), 73, "is a transaction file"),
    (("export", "-o", "out.TSV"), 64, "tab-separated text is written by varnfile export"),
    (("export", "bad.trn", "-o", "out.jsonl"), 65, "CRC"),  # the unfinished output goes
    # info reads the items, as varnfile info does: the header first, then 65.
    (("info", "bad.trn"), 65, "CRC"),
    (("info", "never.trn"), 65, "never closed"),
]


@pytest.mark.parametrize("args,status,shown", TOOL_ROWS, ids=[" ".join(r[0]) for r in TOOL_ROWS])
def test_tool_selects_by_id(tmp_path, args, status, shown):
    path = tmp_path / "sel.trn"
    with varnfile.create(path, method="none") as f:
        for command, extra, name in ((5, 0, "five-1"), (7, 0, "seven"), (5, 3, "five-2"),
                                     (9, 0, "nine")):
            f.append(command, name.encode(), extra=extra)
    with varnfile.create(tmp_path / "aged.trn") as f:
        f.set_aging(timedelta(days=1), stamp=datetime(2000, 1, 1))
    stored = path.read_bytes()
    (tmp_path / "bad.trn").write_bytes(stored.replace(b"nine", b"nino"))
    (tmp_path / "never.trn").write_bytes(stored[:142] + bytes(2) + stored[144:])  # no close mark
    named = args[1][-4:] == ".trn"  # a file of its own
    run = subprocess.run([sys.executable, "-m", "varnfile", args[0],
                          *(args[1:] if named else (str(path), *args[1:]))],
                         capture_output=True, text=True, cwd=tmp_path)
    assert run.returncode == status
    if status:
        assert shown in run.stderr and ("base name" in run.stdout) == (args[0] == "info" and status == 65)
        assert sorted(os.listdir(tmp_path)) == ["aged.trn", "bad.trn", "never.trn", "sel.trn"]
    else:
        assert re.findall(r"five-\d|seven|nine|exported .*", run.stdout + run.stderr) == shown
        assert not (tmp_path / "-").exists()
