"""The type stubs: strict checking of typical use, rejection of misuse, and
agreement with the built module."""

import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import qbc_compressor

REPO = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(importlib.util.find_spec("mypy") is None,
                                reason="mypy is not installed (Debian package python3-mypy)")

TYPICAL = '''\
import pathlib
from qbc_compressor import QBCompressor


def run(paths: list[str], where: pathlib.Path) -> list[str]:
    c = QBCompressor(dict_path=str(where / "d.bin"))
    size: int = c.encode_files(paths, str(where / "p.qbc"), zstd_level=3, threads=0)
    c.encode_files([where / "a.txt", "b.txt"], str(where / "p.qbc"), 6.5)
    texts: list[pathlib.Path] = [where / "c.txt"]
    c.encode_files(texts, str(where / "p.qbc"))
    c.load_dict()
    c.save_dict()
    tokens: list[str] = c.tokenize("some text")
    text: str = c.detokenize(tokens)
    c.next_id = size + len(text)
    c.global_dict = {"a": 1}
    return c.decode_package(str(where / "p.qbc"), str(where / "out"), use_zstd=False)
'''

MISUSE = [
    'c.encode_files(("a",), "p")',
    'c.encode_files([b"a"], "p")',
    'c.encode_files(["a"], "p", zstd_level="6")',
    'c.tokenize(b"x")',
    'c.decode_package("p", "o", overwrite=True)',
    'c.next_id = "1"',
    'n: int = c.detokenize([])',
    'c.no_such_method()',
]


def mypy(*args, cwd):
    env = dict(os.environ, MYPYPATH=str(REPO))
    return subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                           "--cache-dir", str(cwd / ".mypy_cache"), *args],
                          cwd=cwd, env=env, capture_output=True, text=True, timeout=600)


def test_typical_use_and_the_command_pass_strict_checking(tmp_path):
    (tmp_path / "typical.py").write_text(TYPICAL)
    r = mypy("typical.py", str(REPO / "qbc_cli"), cwd=tmp_path)
    assert r.returncode == 0, r.stdout + r.stderr


@pytest.fixture(scope="module")
def misuse_report(tmp_path_factory):
    where = tmp_path_factory.mktemp("misuse")
    lines = ["from qbc_compressor import QBCompressor", "c = QBCompressor()"] + MISUSE
    (where / "misuse.py").write_text("\n".join(lines) + "\n")
    return mypy("misuse.py", cwd=where).stdout


@pytest.mark.parametrize("line, code", enumerate(MISUSE, start=3), ids=MISUSE)
def test_misuse_is_reported(misuse_report, line, code):
    assert re.search(rf"^misuse\.py:{line}: error: ", misuse_report, re.M), misuse_report


def test_stub_matches_the_built_module(tmp_path):
    # The pickling helpers are plumbing of the pickle protocol, not API.
    (tmp_path / "allow.txt").write_text(r"qbc_compressor\.QBCompressor\.__(reduce|setstate)_\w+__" "\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(qbc_compressor.__file__), MYPYPATH=str(REPO))
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "qbc_compressor",
                        "--allowlist", str(tmp_path / "allow.txt")],
                       cwd=REPO, env=env, capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
