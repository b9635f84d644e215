"""Turning the paths given to ``qbc encode`` into the list of input files."""

from __future__ import annotations

import os
import stat
from collections.abc import Iterable
from dataclasses import dataclass

from qbc_cli.errors import CliError


@dataclass(frozen=True)
class InputFile:
    path: str
    size: int


def _file_id(st: os.stat_result) -> tuple[int, int]:
    return (st.st_dev, st.st_ino)


def _walk(top: str, skip: tuple[int, int] | None) -> list[InputFile]:
    """Every regular file below `top` (symlinks to files included, symlinked
    directories not entered), sorted by their path components."""

    def fail(err: OSError) -> None:
        where = err.filename if err.filename is not None else top
        raise CliError(f"cannot read directory '{where}': {err.strerror or err}")

    found: list[tuple[list[str], InputFile]] = []
    for dirpath, _dirnames, filenames in os.walk(top, onerror=fail):
        for name in filenames:
            path = os.path.join(dirpath, name)
            try:
                st = os.stat(path)
            except OSError:
                continue  # a dangling symlink is not a file
            if not stat.S_ISREG(st.st_mode) or _file_id(st) == skip:
                continue
            rel = os.path.relpath(path, top)
            found.append((rel.split(os.sep), InputFile(path, st.st_size)))
    found.sort(key=lambda item: item[0])
    return [item for _, item in found]


def collect_inputs(args: Iterable[str], output: str | None = None) -> list[InputFile]:
    """Files named on the command line, in the order given; a directory
    stands for all regular files below it, in sorted order. The output
    package is never taken as an input: inside a directory it is skipped,
    named explicitly it is refused.

    Raises CliError for a path that does not exist or cannot be examined,
    and for two inputs with the same base name, since a package keeps base
    names only and decoding would let the later file overwrite the earlier."""
    skip = None
    if output is not None:
        try:
            skip = _file_id(os.stat(output))
        except OSError:
            pass

    files: list[InputFile] = []
    for arg in args:
        try:
            st = os.stat(arg)
        except OSError as err:
            raise CliError(f"cannot read '{arg}': {err.strerror or err}") from None
        if stat.S_ISDIR(st.st_mode):
            files.extend(_walk(arg, skip))
        elif stat.S_ISREG(st.st_mode):
            if _file_id(st) == skip:
                raise CliError(f"'{arg}' is the output package; it cannot also be an input")
            files.append(InputFile(arg, st.st_size))
        else:
            raise CliError(f"'{arg}' is neither a regular file nor a directory")

    _refuse_duplicate_names(files)
    return files


def _refuse_duplicate_names(files: list[InputFile]) -> None:
    first: dict[str, str] = {}
    clashes: list[tuple[str, str, str]] = []
    for f in files:
        name = os.path.basename(f.path)
        if name in first:
            clashes.append((name, first[name], f.path))
        else:
            first[name] = f.path
    if not clashes:
        return
    name, a, b = clashes[0]
    if os.path.samefile(a, b):
        message = f"'{b}' is given twice"
    else:
        message = (
            f"'{a}' and '{b}' have the same base name '{name}'; "
            "a package stores base names only, so rename one of them"
        )
    if len(clashes) > 1:
        message += f" ({len(clashes) - 1} more clash{'es' if len(clashes) > 2 else ''})"
    raise CliError(message)
