"""save_dict replaces the dictionary file only once the whole pickle is written.

A failed save leaves the previous file byte for byte and no temporary file
behind; a replaced file keeps its permission bits and owner; special files,
symlinks, hard links and paths that are not file system paths keep the
behaviour of a plain open(path, "wb"), errors included.
"""
import errno
import json
import os
import pathlib
import pickle
import resource
import shutil
import stat
import subprocess
import sys
import tempfile
import threading

import pytest

from qbc_compressor import QBCompressor

SAVE_NAME = "qbc_compressor.QBCompressor.save_dict"
NOBODY = 65534


def compressor(tmp_path, dict_path, global_dict=None, next_id=None):
    """A compressor saving to `dict_path`, built without loading from it."""
    c = QBCompressor(dict_path=str(tmp_path / "never-created.bin"))
    c.dict_path = dict_path
    if global_dict is not None:
        c.global_dict = global_dict
    if next_id is not None:
        c.next_id = next_id
    return c


def load(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def save_entries(exc):
    """(file, line) of the save_dict traceback entries, outermost first."""
    out = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_name == SAVE_NAME:
            out.append((code.co_filename, tb.tb_lineno))
        tb = tb.tb_next
    return out


def open_error(path):
    with pytest.raises(BaseException) as info:
        open(path, "wb")
    return info.value


def same_error(actual, expected):
    assert type(actual) is type(expected)
    assert actual.args == expected.args
    if isinstance(expected, OSError):
        assert (actual.errno, actual.strerror, actual.filename) == (
            expected.errno,
            expected.strerror,
            expected.filename,
        )
        assert type(actual.filename) is type(expected.filename)


class Unpicklable:
    def __reduce__(self):
        raise ValueError("cannot pickle this token")


# Module-level, so that pickling it fails with PicklingError (a local lambda
# fails with AttributeError).
unpicklable_function = lambda: 0  # noqa: E731


def fd_count():
    return len(os.listdir("/proc/self/fd"))


PREVIOUS = {"dict": {"old": 1, " ": 2}, "next_id": 3}


def write_previous(path):
    with open(path, "wb") as f:
        pickle.dump(PREVIOUS, f)
    with open(path, "rb") as f:
        return f.read()


# ---------------------------------------------------------------------------
# Successful saves


@pytest.mark.parametrize(
    "make_path",
    [
        pytest.param(lambda d: str(d / "dict.bin"), id="str"),
        pytest.param(lambda d: d / "dict.bin", id="pathlib"),
        pytest.param(lambda d: os.fsencode(d / "dict.bin"), id="bytes"),
        pytest.param(lambda d: "dict.bin", id="relative-name"),
        pytest.param(lambda d: str(d / "\u00e9t\u00e9 dict.bin"), id="non-ascii"),
    ],
)
@pytest.mark.parametrize("existing", [False, True], ids=["new", "existing"])
def test_round_trip(in_tmp, make_path, existing):
    path = make_path(in_tmp)
    if existing:
        write_previous(path)
    tokens = {"a": 1, " ": 2, "b\u00fc": 3}
    compressor(in_tmp, path, dict(tokens), 4).save_dict()

    data = load(path)
    assert data == {"dict": tokens, "next_id": 4}
    assert list(data) == ["dict", "next_id"]
    assert list(data["dict"]) == list(tokens)
    assert sorted(os.listdir(in_tmp)) == [os.path.basename(os.fsdecode(path))]

    again = QBCompressor(dict_path=path)
    assert again.global_dict == tokens and again.next_id == 4


def test_new_data_goes_to_hidden_file_beside_target(tmp_path):
    """While pickling runs, the previous file is intact and a hidden file
    named after the target is being written in the same directory."""
    path = tmp_path / "dict.bin"
    previous = write_previous(path)
    seen = {}

    class Spy:
        def __reduce__(self):
            seen["listing"] = sorted(os.listdir(tmp_path))
            with open(path, "rb") as f:
                seen["target"] = f.read()
            return (int, (7,))

    compressor(tmp_path, str(path), {"spy": Spy()}).save_dict()

    assert seen["target"] == previous
    others = [n for n in seen["listing"] if n != "dict.bin"]
    assert len(others) == 1 and "dict.bin" in seen["listing"]
    assert others[0].startswith(".dict.bin.")
    assert load(path)["dict"] == {"spy": 7}
    assert os.listdir(tmp_path) == ["dict.bin"]


# ---------------------------------------------------------------------------
# Failed saves leave everything as it was


@pytest.mark.parametrize(
    "bad, error, message",
    [
        pytest.param(unpicklable_function, pickle.PicklingError, "Can't pickle", id="lambda"),
        pytest.param(Unpicklable(), ValueError, "cannot pickle this token", id="reduce-raises"),
    ],
)
@pytest.mark.parametrize("existing", [True, False], ids=["existing", "none-before"])
@pytest.mark.parametrize("name", ["dict.bin", "n" * 250], ids=["short-name", "longest-name"])
def test_failed_pickle_keeps_previous_file(tmp_path, bad, error, message, existing, name):
    path = tmp_path / name
    previous = write_previous(path) if existing else None
    listing = sorted(os.listdir(tmp_path))
    c = compressor(tmp_path, str(path), {"good": 1, "bad": bad}, 3)

    with pytest.raises(error, match=message) as info:
        c.save_dict()

    assert save_entries(info.value) == [("compressor", 31), ("compressor", 32)]
    assert sorted(os.listdir(tmp_path)) == listing
    if existing:
        assert path.read_bytes() == previous
    else:
        assert not path.exists()


def test_write_error_keeps_previous_file(tmp_path):
    path = tmp_path / "dict.bin"
    previous = write_previous(path)
    big = {f"token-{i:06d}": i for i in range(1, 20001)}
    c = compressor(tmp_path, str(path), big, 20001)

    # Emulates a full disk: writes beyond 64 KiB fail with EFBIG (the host
    # ignores SIGXFSZ).
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (65536, hard))
    try:
        with pytest.raises(OSError) as info:
            c.save_dict()
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))

    assert info.value.errno == errno.EFBIG
    assert save_entries(info.value)[0] == ("compressor", 31)
    assert path.read_bytes() == previous
    assert os.listdir(tmp_path) == ["dict.bin"]
    # Without the limit the same save goes through.
    c.save_dict()
    assert load(path)["dict"] == big


def test_rename_failure_reports_target_and_cleans_up(tmp_path):
    """The temporary vanishing mid-write makes the final rename fail: the
    error names the caller's path and the previous file stays."""
    path = tmp_path / "dict.bin"
    previous = write_previous(path)

    class RemoveTemporaries:
        def __reduce__(self):
            for name in os.listdir(tmp_path):
                if name.startswith("."):
                    os.unlink(tmp_path / name)
            return (int, (1,))

    c = compressor(tmp_path, path, {"x": RemoveTemporaries()})
    with pytest.raises(FileNotFoundError) as info:
        c.save_dict()

    assert info.value.filename == str(path)
    assert save_entries(info.value) == [("compressor", 31)]
    assert path.read_bytes() == previous
    assert os.listdir(tmp_path) == ["dict.bin"]


@pytest.mark.parametrize("existing", [True, False], ids=["existing", "none-before"])
def test_relative_path_stays_where_it_was_opened(tmp_path, monkeypatch, existing):
    """The current directory changing while the pickle is written (here by
    a token's own reduce) does not move the file, as it would not move a
    file already open: the save lands where the path pointed at first."""
    first, second = tmp_path / "first", tmp_path / "second"
    first.mkdir()
    second.mkdir()
    if existing:
        write_previous(first / "dict.bin")
    monkeypatch.chdir(first)

    class MovesAway:
        def __reduce__(self):
            os.chdir(second)
            return (int, (7,))

    compressor(tmp_path, "dict.bin", {"x": MovesAway()}).save_dict()
    assert os.listdir(first) == ["dict.bin"] and os.listdir(second) == []
    assert load(first / "dict.bin")["dict"] == {"x": 7}


@pytest.mark.parametrize("as_path", [str, pathlib.Path])
def test_file_written_is_named_by_the_path(tmp_path, monkeypatch, as_path):
    import qbc_compressor
    names = []

    class Pickle:
        PickleError = pickle.PickleError
        load = staticmethod(pickle.load)

        @staticmethod
        def dump(obj, f):
            names.append(f.name)
            pickle.dump(obj, f)

    monkeypatch.setattr(qbc_compressor, "pickle", Pickle)
    path = as_path(tmp_path / "dict.bin")
    compressor(tmp_path, path, {"a": 1}).save_dict()
    assert names == [path]
    assert load(tmp_path / "dict.bin")["dict"] == {"a": 1}


def test_no_descriptor_or_file_leaks(tmp_path):
    path = tmp_path / "dict.bin"
    write_previous(path)
    failing = compressor(tmp_path, str(path), {"bad": unpicklable_function})
    missing = compressor(tmp_path, str(tmp_path / "missing" / "dict.bin"))
    good = compressor(tmp_path, str(path), {"ok": 1})
    for c in (failing, missing, good):  # warm up lazily created state
        try:
            c.save_dict()
        except (pickle.PicklingError, FileNotFoundError):
            pass

    before = fd_count()
    for _ in range(100):
        with pytest.raises(pickle.PicklingError):
            failing.save_dict()
        with pytest.raises(FileNotFoundError):
            missing.save_dict()
        good.save_dict()
    assert fd_count() == before
    assert os.listdir(tmp_path) == ["dict.bin"]


# ---------------------------------------------------------------------------
# Permission bits and owner


@pytest.mark.parametrize("mode", [0o640, 0o600, 0o604, 0o664, 0o444, 0o2640], ids=oct)
def test_replaced_file_keeps_permission_bits(tmp_path, mode):
    path = tmp_path / "dict.bin"
    write_previous(path)
    os.chmod(path, mode)
    if os.geteuid() != 0 and not mode & 0o200:
        pytest.skip("the owner may not write a read-only file unless root")
    compressor(tmp_path, str(path), {"new": 1}).save_dict()
    assert stat.S_IMODE(os.stat(path).st_mode) == mode
    assert load(path)["dict"] == {"new": 1}


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002, 0o000], ids=oct)
def test_new_file_mode_follows_umask(tmp_path, umask):
    path = tmp_path / "dict.bin"
    old = os.umask(umask)
    try:
        compressor(tmp_path, str(path), {"new": 1}).save_dict()
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~umask


@pytest.mark.skipif(os.geteuid() != 0, reason="giving a file another owner needs root")
def test_replaced_file_keeps_owner_and_group(tmp_path):
    path = tmp_path / "dict.bin"
    write_previous(path)
    os.chown(path, NOBODY, NOBODY)
    os.chmod(path, 0o640)
    compressor(tmp_path, str(path), {"new": 1}).save_dict()
    st = os.stat(path)
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (NOBODY, NOBODY, 0o640)
    assert load(path)["dict"] == {"new": 1}


# ---------------------------------------------------------------------------
# Targets written in place


def test_dev_null(tmp_path):
    compressor(tmp_path, os.devnull, {"a": 1}).save_dict()
    assert stat.S_ISCHR(os.stat(os.devnull).st_mode)
    assert os.listdir(tmp_path) == []


def test_fifo_is_written_in_place(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    received = []

    def reader():
        with open(path, "rb") as f:
            received.append(f.read())

    thread = threading.Thread(target=reader, daemon=True)
    thread.start()
    compressor(tmp_path, str(path), {"a": 1}, 2).save_dict()
    thread.join(60)
    assert not thread.is_alive()
    assert pickle.loads(received[0]) == {"dict": {"a": 1}, "next_id": 2}
    assert stat.S_ISFIFO(os.lstat(path).st_mode)
    assert os.listdir(tmp_path) == ["pipe"]


def test_hard_linked_file_is_written_in_place(tmp_path):
    path = tmp_path / "dict.bin"
    other = tmp_path / "other-name.bin"
    write_previous(path)
    os.link(path, other)
    inode = os.stat(path).st_ino
    compressor(tmp_path, str(path), {"new": 1}).save_dict()
    assert os.stat(path).st_ino == inode and os.stat(path).st_nlink == 2
    assert load(other)["dict"] == {"new": 1}
    assert sorted(os.listdir(tmp_path)) == ["dict.bin", "other-name.bin"]


def test_file_descriptor_path_is_written_in_place(tmp_path):
    path = tmp_path / "dict.bin"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    compressor(tmp_path, fd, {"a": 1}).save_dict()
    # open(fd, "wb") owns the descriptor and closed it.
    with pytest.raises(OSError) as info:
        os.fstat(fd)
    assert info.value.errno == errno.EBADF
    assert load(path)["dict"] == {"a": 1}


@pytest.mark.parametrize("relative", [False, True], ids=["absolute", "relative"])
@pytest.mark.parametrize("chain", [1, 2], ids=["link", "link-to-link"])
def test_symlink_stays_a_link(tmp_path, relative, chain):
    real_dir = tmp_path / "real"
    link_dir = tmp_path / "links"
    real_dir.mkdir()
    link_dir.mkdir()
    real = real_dir / "dict.bin"
    write_previous(real)
    os.chmod(real, 0o640)
    pointee = os.path.relpath(real, link_dir) if relative else str(real)
    links = []
    for i in range(chain):
        link = link_dir / f"link{i}"
        os.symlink(pointee, link)
        links.append((link, pointee))
        pointee = link.name

    target = links[-1][0]
    compressor(tmp_path, str(target), {"new": 1}).save_dict()

    for link, points_to in links:
        assert os.path.islink(link) and os.readlink(link) == points_to
    assert load(real)["dict"] == {"new": 1}
    assert stat.S_IMODE(os.stat(real).st_mode) == 0o640
    assert os.listdir(real_dir) == ["dict.bin"]
    assert sorted(os.listdir(link_dir)) == sorted(link.name for link, _ in links)


def test_failed_save_through_symlink_keeps_target(tmp_path):
    real = tmp_path / "real.bin"
    previous = write_previous(real)
    link = tmp_path / "link.bin"
    os.symlink(real, link)
    with pytest.raises(pickle.PicklingError):
        compressor(tmp_path, str(link), {"bad": unpicklable_function}).save_dict()
    assert real.read_bytes() == previous
    assert sorted(os.listdir(tmp_path)) == ["link.bin", "real.bin"]


def test_dangling_symlink_creates_its_target(tmp_path):
    link = tmp_path / "link.bin"
    os.symlink("made.bin", link)
    compressor(tmp_path, str(link), {"a": 1}).save_dict()
    assert os.path.islink(link) and os.readlink(link) == "made.bin"
    assert load(tmp_path / "made.bin")["dict"] == {"a": 1}


# ---------------------------------------------------------------------------
# Errors are those of open(path, "wb")


@pytest.mark.parametrize(
    "make_path",
    [
        pytest.param(lambda d: str(d / "missing" / "dict.bin"), id="missing-dir-str"),
        pytest.param(lambda d: d / "missing" / "dict.bin", id="missing-dir-pathlib"),
        pytest.param(lambda d: os.fsencode(d / "missing" / "dict.bin"), id="missing-dir-bytes"),
        pytest.param(lambda d: str(d), id="directory"),
        pytest.param(lambda d: str(d) + "/", id="trailing-slash"),
        pytest.param(lambda d: str(d / "new-name") + "/", id="new-name-trailing-slash"),
        pytest.param(lambda d: str(d / "file.txt" / "dict.bin"), id="below-a-file"),
        pytest.param(lambda d: "", id="empty"),
    ],
)
def test_unwritable_path_raises_like_open(tmp_path, make_path):
    (tmp_path / "file.txt").write_bytes(b"keep")
    path = make_path(tmp_path)
    expected = open_error(path)
    listing = sorted(os.listdir(tmp_path))
    with pytest.raises(OSError) as info:
        compressor(tmp_path, path, {"a": 1}).save_dict()
    same_error(info.value, expected)
    assert save_entries(info.value) == [("compressor", 31)]
    assert sorted(os.listdir(tmp_path)) == listing
    assert (tmp_path / "file.txt").read_bytes() == b"keep"


@pytest.mark.parametrize(
    "path",
    [None, 1.5, object(), [], "nul\0inside", b"nul\0inside", "\udcff\ud800"],
    ids=["None", "float", "object", "list", "str-nul", "bytes-nul", "surrogate"],
)
def test_non_path_raises_like_open(tmp_path, path):
    expected = open_error(path)
    with pytest.raises(Exception) as info:
        compressor(tmp_path, path, {"a": 1}).save_dict()
    same_error(info.value, expected)
    assert save_entries(info.value) == [("compressor", 31)]
    assert os.listdir(tmp_path) == []


# ---------------------------------------------------------------------------
# Permission cases, run unprivileged (as nobody when the tests run as root)

CHILD = r"""
import json, os, pickle, sys
try:
    from qbc_compressor import QBCompressor
except ImportError:
    sys.exit(3)
path = sys.argv[1]
c = QBCompressor(dict_path=path + ".never")
c.dict_path = path
c.global_dict = {"new": 1}
def describe(e):
    return [type(e).__name__, e.errno, e.strerror, e.filename]
result = {}
try:
    c.save_dict()
    result["saved"] = True
except OSError as e:
    result["saved"] = describe(e)
    try:
        open(path, "wb")
        result["open"] = None
    except OSError as e2:
        result["open"] = describe(e2)
print(json.dumps(result))
"""


@pytest.fixture
def shared_dir():
    """A directory an unprivileged child process can reach."""
    d = pathlib.Path(tempfile.mkdtemp(prefix="qbc-save-"))
    os.chmod(d, 0o755)
    try:
        yield d
    finally:
        for root, dirs, _ in os.walk(d):
            for name in dirs:
                os.chmod(os.path.join(root, name), 0o755)
        shutil.rmtree(d)


def run_unprivileged(path):
    kwargs = {"user": NOBODY, "group": NOBODY, "extra_groups": []} if os.geteuid() == 0 else {}
    proc = subprocess.run(
        [sys.executable, "-c", CHILD, str(path)],
        capture_output=True,
        text=True,
        env=dict(os.environ),
        check=False,
        **kwargs,
    )
    if proc.returncode == 3:
        pytest.skip("the unprivileged user cannot import the built module")
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def unprivileged_owner(path):
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)


def test_writable_file_in_read_only_directory_still_saves(shared_dir):
    work = shared_dir / "ro"
    work.mkdir()
    path = work / "dict.bin"
    write_previous(path)
    unprivileged_owner(path)
    os.chmod(path, 0o644)
    inode = os.stat(path).st_ino
    os.chmod(work, 0o555)

    assert run_unprivileged(path) == {"saved": True}
    assert load(path)["dict"] == {"new": 1}
    assert os.stat(path).st_ino == inode
    assert os.listdir(work) == ["dict.bin"]


@pytest.mark.parametrize("existing", [True, False], ids=["read-only-file", "new-file"])
def test_permission_errors_are_those_of_open(shared_dir, existing):
    work = shared_dir / "w"
    work.mkdir()
    path = work / "dict.bin"
    if existing:
        # A read-only file in a directory we may write: replacing it would
        # work, but open(path, "wb") refuses, and so must the save.
        unprivileged_owner(work)
        previous = write_previous(path)
        unprivileged_owner(path)
        os.chmod(path, 0o444)
    else:
        os.chmod(work, 0o555)

    result = run_unprivileged(path)
    assert result["saved"][:2] == ["PermissionError", errno.EACCES]
    assert result["saved"] == result["open"]
    if existing:
        assert path.read_bytes() == previous
        assert os.listdir(work) == ["dict.bin"]
    else:
        assert os.listdir(work) == []


@pytest.mark.skipif(os.geteuid() != 0, reason="needs a file owned by another user")
def test_file_of_another_owner_is_written_in_place(shared_dir):
    work = shared_dir / "other"
    work.mkdir()
    os.chown(work, NOBODY, NOBODY)
    path = work / "dict.bin"
    write_previous(path)
    os.chmod(path, 0o666)
    inode = os.stat(path).st_ino

    assert run_unprivileged(path) == {"saved": True}
    st = os.stat(path)
    assert (st.st_ino, st.st_uid) == (inode, 0)
    assert load(path)["dict"] == {"new": 1}
    assert os.listdir(work) == ["dict.bin"]


AUDIT_CHILD = r"""
import json, os, pathlib, sys
from qbc_compressor import QBCompressor
target = pathlib.Path(sys.argv[1])
c = QBCompressor(dict_path=sys.argv[1] + ".never")
events = []
def hook(event, args):
    if event == "open" and args[0] == str(target):
        events.append(list(args))
sys.addaudithook(hook)
c.dict_path = target
c.save_dict()
saved = list(events)
events.clear()
open(target, "wb").close()
print(json.dumps([saved, events]))
"""


def test_audit_hooks_see_the_target_as_for_open(tmp_path):
    proc = subprocess.run(
        [sys.executable, "-c", AUDIT_CHILD, str(tmp_path / "dict.bin")],
        capture_output=True,
        text=True,
        check=False,
    )
    assert proc.returncode == 0, proc.stderr
    saved, opened = json.loads(proc.stdout)
    assert saved == opened and len(opened) == 1
