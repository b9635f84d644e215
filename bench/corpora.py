"""Real text corpora for the benchmarks, prepared from Debian packages.

Each function below makes its corpus under bench/.scratch/ on first use
(from the files an installed Debian package ships) and returns the paths of
the prepared UTF-8 files. Nothing here is committed: the scratch directory
is rebuilt whenever it is missing or stale.

    kernel_docs()  the Linux kernel documentation (linux-doc-6.1): every
                   reStructuredText file, decompressed, one file each
    chinese()      Chinese fortunes, Tang and Song poems (fortunes-zh)
    gcide()        the GNU Collaborative International Dictionary of English
                   (dict-gcide) as one UTF-8 file

Missing packages are installed with tools/install-deps corpora. Run this
file directly to prepare all three and print their sizes.
"""

from __future__ import annotations

import gzip
import os
import pathlib
import shutil
import subprocess
import sys

BENCH_DIR = pathlib.Path(__file__).resolve().parent
REPO_DIR = BENCH_DIR.parent
SCRATCH = BENCH_DIR / ".scratch"

KERNEL_DOC_ROOT = pathlib.Path("/usr/share/doc/linux-doc-6.1/Documentation")
FORTUNES_DIR = pathlib.Path("/usr/share/games/fortunes")
CHINESE_FILES = ("chinese", "tang300", "song100")
GCIDE_DICT = pathlib.Path("/usr/share/dictd/gcide.dict.dz")

# Written last into a prepared corpus directory; its presence (newer than
# the package's files) means the directory is complete.
DONE_MARK = ".complete"


def ensure_packages(*required: pathlib.Path) -> None:
    """Installs the corpus packages when one of `required` is missing."""
    if all(p.exists() for p in required):
        return
    subprocess.run([str(REPO_DIR / "tools" / "install-deps"), "corpora"], check=True)
    missing = [str(p) for p in required if not p.exists()]
    if missing:
        raise FileNotFoundError("corpus sources still missing: " + ", ".join(missing))


def _is_fresh(directory: pathlib.Path, source: pathlib.Path) -> bool:
    mark = directory / DONE_MARK
    return mark.exists() and mark.stat().st_mtime >= source.stat().st_mtime


def _finish(directory: pathlib.Path) -> None:
    (directory / DONE_MARK).write_text("")


def _restart(directory: pathlib.Path) -> None:
    if directory.exists():
        shutil.rmtree(directory)
    directory.mkdir(parents=True)


def kernel_doc_sources() -> list[pathlib.Path]:
    """The compressed .rst files of the kernel documentation, symlinks
    (which only point at other files of the set) left out, in path order."""
    return sorted(
        p for p in KERNEL_DOC_ROOT.rglob("*.rst.gz") if p.is_file() and not p.is_symlink()
    )


def kernel_docs() -> list[pathlib.Path]:
    """The kernel documentation, one decompressed UTF-8 .rst file per
    source file (about 3200 files, 24 MB), in path order."""
    ensure_packages(KERNEL_DOC_ROOT)
    target = SCRATCH / "linux-doc"
    sources = kernel_doc_sources()
    outputs = [target / p.relative_to(KERNEL_DOC_ROOT).with_suffix("") for p in sources]
    if not _is_fresh(target, KERNEL_DOC_ROOT):
        _restart(target)
        for src, dst in zip(sources, outputs):
            dst.parent.mkdir(parents=True, exist_ok=True)
            raw = gzip.decompress(src.read_bytes())
            # A few files are not valid UTF-8; repair them so that every
            # file reads as strict UTF-8, as the encoder reads its inputs.
            dst.write_text(raw.decode("utf-8", errors="replace"), encoding="utf-8", newline="")
        _finish(target)
    return outputs


def chinese() -> list[pathlib.Path]:
    """Chinese text: the fortunes-zh collections, copied as they are
    (UTF-8; they contain a few terminal colour escapes)."""
    sources = [FORTUNES_DIR / name for name in CHINESE_FILES]
    ensure_packages(*sources)
    target = SCRATCH / "fortunes-zh"
    outputs = [target / (p.name + ".txt") for p in sources]
    if not _is_fresh(target, sources[0]):
        _restart(target)
        for src, dst in zip(sources, outputs):
            raw = src.read_bytes()
            dst.write_text(raw.decode("utf-8", errors="replace"), encoding="utf-8", newline="")
        _finish(target)
    return outputs


def gcide() -> list[pathlib.Path]:
    """The GNU Collaborative International Dictionary of English as one
    UTF-8 file (about 40 MB). The dictzip file is gzip-compatible; its few
    invalid UTF-8 bytes become U+FFFD."""
    ensure_packages(GCIDE_DICT)
    target = SCRATCH / "gcide"
    output = target / "gcide.txt"
    if not _is_fresh(target, GCIDE_DICT):
        _restart(target)
        with gzip.open(GCIDE_DICT, "rb") as f:
            raw = f.read()
        output.write_text(raw.decode("utf-8", errors="replace"), encoding="utf-8", newline="")
        _finish(target)
    return [output]


CORPORA = {
    "kernel-docs": kernel_docs,
    "chinese": chinese,
    "gcide": gcide,
}


def read_texts(paths: list[pathlib.Path]) -> list[str]:
    """The texts of `paths` read as the encoder reads its inputs: strict
    UTF-8 with universal newlines."""
    texts = []
    for p in paths:
        with open(p, "r", encoding="utf-8") as f:
            texts.append(f.read())
    return texts


def main() -> int:
    for name, prepare in CORPORA.items():
        paths = prepare()
        size = sum(os.path.getsize(p) for p in paths)
        where = os.path.commonpath([p.parent for p in paths])
        print(f"{name:12} {len(paths):5} files {size / 1e6:8.1f} MB  {where}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
