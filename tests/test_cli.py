"""The qbc command, driven as a subprocess on real text, and its package reader."""

import glob
import importlib
import json
import os
import pickle
import pty
import re
import shutil
import struct
import subprocess
import sys
from pathlib import Path

import pytest
import zstandard

import qbc_compressor
from qbc_cli.package import PackageError, RefusedPackage, describe_package

REPO = Path(__file__).resolve().parent.parent
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(qbc_compressor.__file__), str(REPO)]))
FORTUNES = "/usr/share/games/fortunes/chinese"


def qbc(*args, cwd, **kw):
    return subprocess.run([sys.executable, "-m", "qbc_cli", *map(str, args)], cwd=cwd, env=ENV,
                          capture_output=True, text=True, timeout=600, **kw)


def read_text(path):
    with open(path, encoding="utf-8") as f:  # universal newlines, as the encoder reads
        return f.read()


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    """A directory of real texts (half of them one level down) and the
    base names in the order encode must take them."""
    top = tmp_path_factory.mktemp("corpus") / "texts"
    (top / "sub").mkdir(parents=True)
    picked = 0
    for path in sorted(glob.glob("/usr/share/doc/*/copyright")):
        try:
            read_text(path)
        except (UnicodeDecodeError, OSError):
            continue
        where = top / "sub" if picked % 2 else top
        shutil.copyfile(path, where / f"{Path(path).parent.name}.copyright")
        picked += 1
        if picked == 30:
            break
    if os.path.exists(FORTUNES):
        shutil.copyfile(FORTUNES, top / "chinese")
    (top / "crlf.txt").write_bytes(b"one\r\ntwo\rthree\n\xe2\x80\x83tail")
    (top / "empty.txt").write_bytes(b"")
    order = sorted(p.relative_to(top).parts for p in top.rglob("*") if p.is_file())
    return top, [parts[-1] for parts in order]


@pytest.fixture(scope="module")
def package(corpus, tmp_path_factory):
    top, _ = corpus
    out = tmp_path_factory.mktemp("pkg") / "texts.qbc"
    r = qbc("encode", top, "-o", out, cwd=top.parent)
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""  # not a terminal: no status line
    return out


def test_round_trip_restores_every_file(corpus, package, tmp_path):
    top, names = corpus
    r = qbc("decode", package, "-o", tmp_path / "out", cwd=tmp_path)
    assert r.returncode == 0 and r.stderr == "", r.stderr
    assert sorted(os.listdir(tmp_path / "out")) == sorted(names)
    for path in top.rglob("*"):
        if path.is_file():
            assert (tmp_path / "out" / path.name).read_bytes() == read_text(path).encode()


def test_info_counts_tokens_and_sizes(corpus, package, tmp_path):
    top, names = corpus
    r = qbc("info", "--json", package, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    info = json.loads(r.stdout)
    texts = {p.name: read_text(p) for p in top.rglob("*") if p.is_file()}
    assert [f["name"] for f in info["files"]] == names
    for f in info["files"]:
        assert f["tokens"] == len(re.findall(r"\S+|\s+", texts[f["name"]]))
        assert f["size"] == len(texts[f["name"]].encode())
        assert f["unknown_tokens"] == 0
    tokens = {t for text in texts.values() for t in re.findall(r"\S+|\s+", text)}
    assert info["dictionary_size"] == len(tokens)
    assert info["package_size"] == package.stat().st_size > info["compressed_size"] > 0
    assert info["ratio"] == pytest.approx(info["total_size"] / info["compressed_size"])

    text = qbc("info", package, cwd=tmp_path).stdout
    assert f"dictionary  {len(tokens):,} tokens" in text
    assert re.search(r"^\s*0\s+0\s+empty\.txt$", text, re.M)


def test_status_line_only_on_a_terminal(corpus, tmp_path):
    master, slave = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "qbc_cli", "encode", str(corpus[0]), "-o", "p.qbc"],
                            cwd=tmp_path, env=ENV, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO once the child has closed the terminal
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert proc.wait(timeout=600) == 0
    assert b"qbc: read" in seen and seen.endswith(b"\r\x1b[K")
    assert b"p.qbc: " in proc.stdout.read()


def hostile_bytes(marker):
    return f"cos\nsystem\n(S'touch {marker}'\ntR.".encode()


def package_bytes(names, stream=b"", boundaries=None):
    return pickle.dumps({"compressed": zstandard.ZstdCompressor().compress(stream),
                         "file_boundaries": boundaries or [0] * len(names), "filenames": names,
                         "global_dict": {}})


SETUPS = {
    "dup": lambda d: [(d / x).mkdir() or (d / x / "f").write_text(x) for x in "ab"],
    "latin1": lambda d: (d / "latin1.txt").write_bytes(b"caf\xe9"),
    "junk": lambda d: (d / "p.qbc").write_bytes(b"not a package"),
    "truncated": lambda d: (d / "p.qbc").write_bytes(package_bytes(["a"])[:40]),
    "hostile": lambda d: (d / "p.qbc").write_bytes(hostile_bytes(d / "marker")),
    "ext": lambda d: (d / "p.qbc").write_bytes(b"\x80\x02\x82\x01."),
    "escape": lambda d: (d / "p.qbc").write_bytes(package_bytes(["../marker"])),
    "file": lambda d: (d / "plain").write_text("x"),
    "pkg+file": lambda d: ((d / "p.qbc").write_bytes(package_bytes(["a"])), (d / "plain").write_text("x")),
}


@pytest.mark.parametrize("setup, args, code, message", [
    (None, ["encode", "missing.txt", "-o", "p.qbc"], 1, "cannot read 'missing.txt': No such file or directory"),
    ("dup", ["encode", "a", "b", "-o", "p.qbc"], 1, "'a/f' and 'b/f' have the same base name 'f'"),
    ("latin1", ["encode", "latin1.txt", "-o", "p.qbc"], 1, "'latin1.txt' is not UTF-8 text"),
    ("file", ["encode", "plain", "-o", "nowhere/p.qbc"], 1, "cannot write package 'nowhere/p.qbc'"),
    ("file", ["encode", "plain", "-o", "plain/p.qbc"], 1, "cannot write package 'plain/p.qbc'"),
    ("junk", ["info", "p.qbc"], 1, "cannot read 'p.qbc': not a package"),
    ("junk", ["decode", "p.qbc", "-o", "out"], 1, "cannot decode 'p.qbc': not a package"),
    ("truncated", ["info", "p.qbc"], 1, "pickle is corrupt"),
    ("hostile", ["info", "p.qbc"], 1, "refused: it names the global os.system"),
    ("hostile", ["decode", "p.qbc", "-o", "out"], 1, "refused: it names the global os.system"),
    ("ext", ["info", "p.qbc"], 1, "refused: it uses the pickle instruction EXT1"),
    ("escape", ["decode", "p.qbc", "-o", "out"], 1, "refused: the stored file name '../marker'"),
    (None, ["decode", "p.qbc", "-o", "out"], 1, "cannot decode 'p.qbc': No such file or directory"),
    ("pkg+file", ["decode", "p.qbc", "-o", "plain"], 1, "cannot write into 'plain': it is not a directory"),
    (None, [], 2, "a command is required"),
    (None, ["encode", "x"], 2, "required: -o/--output"),
    (None, ["encode", "x", "-o", "p", "--level", "23"], 2, "argument --level: 23 is outside"),
    (None, ["encode", "x", "-o", "p", "--threads", "many"], 2, "'many' is not an integer"),
    (None, ["encode", "x", "-o", "p", "--save-dict"], 2, "--save-dict needs --dict PATH"),
])
def test_errors_are_one_line_with_status(tmp_path, setup, args, code, message):
    if setup:
        SETUPS[setup](tmp_path)
    before = sorted(os.listdir(tmp_path))
    r = qbc(*args, cwd=tmp_path)
    assert r.returncode == code
    assert r.stderr.startswith("qbc: error: ") and r.stderr.count("\n") == 1, r.stderr
    assert message in r.stderr
    assert sorted(os.listdir(tmp_path)) == before  # no package, no marker, no output directory
    assert not (tmp_path.parent / "marker").exists()


@pytest.mark.parametrize("cwd_dict", [b"", pickle.dumps({"dict": {"zzz": 1}, "next_id": 2})])
def test_dictionary_in_current_directory_is_ignored(tmp_path, cwd_dict):
    (tmp_path / "quorvale_dict.bin").write_bytes(cwd_dict)
    (tmp_path / "a.txt").write_text("a b a")
    assert qbc("encode", "a.txt", "-o", "p.qbc", cwd=tmp_path).returncode == 0
    assert describe_package(str(tmp_path / "p.qbc")).dictionary_size == 3
    assert (tmp_path / "quorvale_dict.bin").read_bytes() == cwd_dict


def test_dictionary_is_loaded_and_saved_only_on_request(tmp_path):
    (tmp_path / "one.txt").write_text("alpha beta\n")
    (tmp_path / "two.txt").write_text("beta gamma\n")
    assert qbc("encode", "one.txt", "-o", "1.qbc", "--dict", "d.bin", cwd=tmp_path).returncode == 0
    assert not (tmp_path / "d.bin").exists()
    assert qbc("encode", "one.txt", "-o", "1.qbc", "--dict", "d.bin", "--save-dict", cwd=tmp_path).returncode == 0
    saved = (tmp_path / "d.bin").read_bytes()
    assert qbc("encode", "two.txt", "-o", "2.qbc", "--dict", "d.bin", cwd=tmp_path).returncode == 0
    assert (tmp_path / "d.bin").read_bytes() == saved
    assert describe_package(str(tmp_path / "2.qbc")).dictionary_size == 5  # alpha, " ", beta, \n, gamma
    r = qbc("decode", "2.qbc", "-o", "out", "--dict", "e.bin", "--save-dict", cwd=tmp_path)
    assert r.returncode == 0 and (tmp_path / "out" / "two.txt").read_text() == "beta gamma\n"
    adopted = qbc_compressor.QBCompressor(str(tmp_path / "e.bin"))
    assert len(adopted.global_dict) == 5 and adopted.next_id == 6

    (tmp_path / "bad.bin").write_bytes(b"\x00garbage")
    r = qbc("encode", "one.txt", "-o", "3.qbc", "--dict", "bad.bin", cwd=tmp_path)
    assert r.returncode == 1 and "cannot load dictionary 'bad.bin'" in r.stderr


def test_package_inside_an_input_directory_is_skipped(tmp_path):
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "a.txt").write_text("text")
    for _ in range(2):
        assert qbc("encode", "d", "-o", "d/p.qbc", cwd=tmp_path).returncode == 0
    assert [f.name for f in describe_package(str(tmp_path / "d" / "p.qbc")).files] == ["a.txt"]


@pytest.mark.parametrize("command", [[], ["encode"], ["decode"], ["info"]])
def test_help(tmp_path, command):
    r = qbc(*command, "--help", cwd=tmp_path)
    assert r.returncode == 0 and r.stdout.startswith(f"usage: {' '.join(['qbc', *command])} ")


def test_launcher_runs_from_the_build_tree(tmp_path):
    env = dict(os.environ, QBC_BUILD_DIR=os.path.dirname(qbc_compressor.__file__))
    r = subprocess.run([REPO / "tools" / "qbc", "--version"], env=env, capture_output=True, text=True)
    assert r.returncode == 0 and r.stdout == "qbc 0.1.0\n", r.stderr


def test_command_adds_nothing_to_the_module():
    before = set(dir(qbc_compressor))
    for name in ("qbc_cli.app", "qbc_cli.engine", "qbc_cli.inputs"):
        importlib.import_module(name)
    assert set(dir(qbc_compressor)) == before


# The reader behind `qbc info`, in-process.

def write_package(tmp_path, obj, protocol=None):
    path = tmp_path / "p.qbc"
    path.write_bytes(pickle.dumps(obj, protocol=protocol))
    return str(path)


def raw(ids):
    return zstandard.ZstdCompressor().compress(struct.pack(f">{len(ids)}I", *ids))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_reader_accepts_every_protocol(tmp_path, protocol):
    obj = {"compressed": raw([1, 2, 1]), "file_boundaries": [3, 3], "filenames": ["a", "e"],
           "global_dict": {"ab": 1, " ": 2}}
    info = describe_package(write_package(tmp_path, obj, protocol))
    assert [(f.name, f.tokens, f.size) for f in info.files] == [("a", 3, 5), ("e", 0, 0)]


@pytest.mark.parametrize("boundaries, names, expected", [
    ([3, 2, 5], ["a", "b", "c"], [3, 0, 3]),  # each file starts at the previous boundary
    ([2, 99], ["a", "b"], [2, 3]),  # clamped to the stream
    ([1, 2, 3], ["a"], [1]),  # paired up to the shorter list
    ([-1], ["a"], [4]),  # slice rules: negative counts from the end
])
def test_reader_splits_like_the_decoder(tmp_path, boundaries, names, expected):
    obj = {"compressed": raw([1, 7, 1, 1, 1]), "file_boundaries": boundaries, "filenames": names,
           "global_dict": {"xy": 1, "dropped": 7, "z": 7}}
    info = describe_package(write_package(tmp_path, obj))
    assert [f.tokens for f in info.files] == expected
    assert info.files[0].size == sum([2, 1, 2, 2, 2][: expected[0]])  # id 7 is "z", the later entry


@pytest.mark.parametrize("payload, error, message", [
    (raw([2**31]), PackageError, "beyond the 31-bit range"),
    (b"\x28\xb5\x2f\xfd\xe0" + struct.pack("<Q", 3 * 2**30), RefusedPackage, "declares 3221225472 bytes"),
    (b"\x28\xb5\x2f\xfd\x00\x00\x01\x00\x00", PackageError, "does not record its size"),
])
def test_reader_refuses_bad_streams(tmp_path, payload, error, message):
    obj = {"compressed": payload, "file_boundaries": [1], "filenames": ["a"]}
    with pytest.raises(error, match=message):
        describe_package(write_package(tmp_path, obj))


def test_reader_counts_ids_missing_from_the_dictionary(tmp_path):
    info = describe_package(write_package(tmp_path, {"compressed": raw([1, 5]), "file_boundaries": [2],
                                                     "filenames": ["a"]}))
    assert (info.files[0].size, info.files[0].unknown_tokens, info.dictionary_size) == (10, 2, 0)
