"""Building from a clean copy of the tree: a wheel, and pip installing the
source, each give a working module, its type stubs and the qbc command."""

import importlib.util
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
MISSING = [pkg for mod, pkg in [("ensurepip", "python3-venv"), ("build", "python3-build"),
                                ("mesonpy", "python3-mesonpy")] if importlib.util.find_spec(mod) is None]
pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(bool(MISSING), reason=f"needs the Debian packages {', '.join(MISSING)}"),
]
# No PYTHONPATH: nothing from the development build may leak into the installs.
ENV = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"} | {"PIP_DISABLE_PIP_VERSION_CHECK": "1"}
MESON_SETTINGS = ["compile-args=-j2", "setup-args=-Dnative_tests=disabled"]


def run(*cmd, cwd):
    r = subprocess.run([str(c) for c in cmd], cwd=cwd, env=ENV, capture_output=True, text=True, timeout=900)
    assert r.returncode == 0, f"{cmd}\n{r.stdout}\n{r.stderr}"
    return r.stdout


@pytest.fixture(scope="module")
def build(tmp_path_factory):
    """A copy of the tree as it would be committed (tracked files and new
    files that are not ignored, so no build directories), and the wheel
    built from it. The meson build directory is kept for the pip install."""
    if shutil.which("git") is None or not (REPO / ".git").exists():
        pytest.skip("needs git and the repository to know which files belong to the tree")
    top = tmp_path_factory.mktemp("packaging")
    src = top / "src"
    listed = run("git", "ls-files", "-z", "--cached", "--others", "--exclude-standard", cwd=REPO)
    for name in filter(None, listed.split("\0")):
        if (REPO / name).is_file():
            (src / name).parent.mkdir(parents=True, exist_ok=True)
            shutil.copy2(REPO / name, src / name)
    settings = [f"-C{s}" for s in [f"builddir={top / 'meson'}", *MESON_SETTINGS]]
    run(sys.executable, "-m", "build", "--no-isolation", "--wheel", "--outdir", top / "dist", *settings, cwd=src)
    (wheel,) = (top / "dist").glob("*.whl")
    return top, src, wheel


def new_venv(path):
    run(sys.executable, "-m", "venv", "--system-site-packages", path, cwd=path.parent)
    return path / "bin"


def check_install(bin_dir, work):
    """The installed module and command round-trip real text, from outside
    the source tree."""
    inputs = work / "in"
    inputs.mkdir()
    (inputs / "a.txt").write_text("Grüße,  world!\r\nline two\n", newline="")
    shutil.copyfile("/usr/share/common-licenses/GPL-3", inputs / "GPL-3")
    out = run(bin_dir / "python", "-c", "import qbc_compressor, qbc_cli; print(qbc_compressor.__file__, qbc_cli.__file__)",
              cwd=work)
    assert all(p.startswith(str(bin_dir.parent)) for p in out.split()), out
    run(bin_dir / "qbc", "encode", "in", "-o", "p.qbc", cwd=work)
    info = json.loads(run(bin_dir / "qbc", "info", "--json", "p.qbc", cwd=work))
    assert [f["name"] for f in info["files"]] == ["GPL-3", "a.txt"]
    run(bin_dir / "qbc", "decode", "p.qbc", "-o", "out", cwd=work)
    assert (work / "out" / "a.txt").read_bytes() == "Grüße,  world!\nline two\n".encode()
    assert (work / "out" / "GPL-3").read_bytes() == (inputs / "GPL-3").read_bytes()


def test_wheel_installs_module_stubs_and_command(build, tmp_path):
    top, src, wheel = build
    bin_dir = new_venv(tmp_path / "venv")
    run(bin_dir / "python", "-m", "pip", "install", "--no-index", "--no-deps", wheel, cwd=tmp_path)
    check_install(bin_dir, tmp_path)

    version = run(bin_dir / "python", "-c", "import importlib.metadata as m; print(m.version('qbc_compressor'))",
                  cwd=tmp_path)
    assert run(bin_dir / "qbc", "--version", cwd=tmp_path) == f"qbc {version}"
    if importlib.util.find_spec("mypy") is not None:
        (tmp_path / "use.py").write_text("from qbc_compressor import QBCompressor\n"
                                         "reveal_type(QBCompressor('').tokenize('a b'))\n")
        out = run(bin_dir / "python", "-m", "mypy", "--strict", "use.py", cwd=tmp_path)
        assert 'Revealed type is "builtins.list[builtins.str]"' in out


def test_pip_install_from_source(build, tmp_path):
    top, src, _ = build
    bin_dir = new_venv(tmp_path / "venv")
    settings = [f"--config-settings={s}" for s in [f"builddir={top / 'meson'}", *MESON_SETTINGS]]
    run(bin_dir / "python", "-m", "pip", "install", "--no-build-isolation", "--no-index", *settings, src,
        cwd=tmp_path)
    check_install(bin_dir, tmp_path)
