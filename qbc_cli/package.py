"""A reader for package files that never runs anything they contain.

A package is a pickle of a dict with the entries ``compressed`` (one
Zstandard frame holding 4-byte big-endian token ids), ``file_boundaries``
(cumulative token counts), ``filenames`` (base names) and ``global_dict``
(token text to id). Pickles can name any importable callable, so this
reader never hands a package to the ordinary unpickler: it first scans the
opcodes and refuses persistent ids and extension codes, then loads with an
unpickler that resolves only the two globals that old pickle protocols use
for bytes objects. Decompression refuses frames that do not record their
size or that declare more than MAX_STREAM_SIZE.
"""

from __future__ import annotations

import io
import os
import pickle
import pickletools
import sys
from array import array
from collections import Counter
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

import zstandard

UNKNOWN_TOKEN = "<UNK>"
MAX_STREAM_SIZE = 2 * 1024**3
_INT32_MAX = 2**31 - 1
_INT32_MIN = -(2**31)
_REFUSED_OPCODES = frozenset({"EXT1", "EXT2", "EXT4", "PERSID", "BINPERSID"})


class PackageError(Exception):
    """The file is not a package this reader accepts; the message says why."""


class RefusedPackage(PackageError):
    """The file asks for something a plain data package never needs."""


class _Refused(pickle.UnpicklingError):
    pass


def _latin1_encode(obj: object, encoding: object = "utf-8", errors: object = "strict") -> bytes:
    # Protocols 0 to 2 write a bytes object as _codecs.encode(text, "latin1").
    if type(obj) is not str or encoding not in ("latin1", "latin-1") or errors != "strict":
        raise _Refused("_codecs.encode is accepted only as a text encoded to 'latin1'")
    return obj.encode("latin-1")


def _empty_bytes(*args: object) -> bytes:
    # ... and an empty bytes object as bytes().
    if args:
        raise _Refused("builtins.bytes is accepted only without arguments")
    return b""


class _RestrictedUnpickler(pickle.Unpickler):
    _allowed: dict[tuple[str, str], Callable[..., bytes]] = {
        ("_codecs", "encode"): _latin1_encode,
        ("builtins", "bytes"): _empty_bytes,
        ("__builtin__", "bytes"): _empty_bytes,
    }

    def find_class(self, module: str, name: str) -> Any:
        found = self._allowed.get((module, name))
        if found is None:
            raise _Refused(f"it names the global {module}.{name}")
        return found


def load_package_object(data: bytes) -> object:
    """Unpickles `data` without importing or calling anything it names.

    Raises RefusedPackage for persistent ids, extension codes and globals
    other than the two bytes constructors, PackageError for anything that
    is not a complete pickle."""
    try:
        for opcode, _arg, pos in pickletools.genops(data):
            if opcode.name in _REFUSED_OPCODES:
                raise RefusedPackage(f"refused: it uses the pickle instruction {opcode.name} at byte {pos}")
    except RefusedPackage:
        raise
    except Exception as err:
        raise PackageError(f"not a package: the pickle is corrupt ({' '.join(str(err).split())})") from None
    try:
        return _RestrictedUnpickler(io.BytesIO(data)).load()
    except _Refused as err:
        raise RefusedPackage(f"refused: {err}") from None
    except RecursionError:
        raise PackageError("not a package: the pickle nests too deeply") from None
    except Exception as err:
        raise PackageError(f"not a package: the pickle is corrupt ({' '.join(str(err).split())})") from None


def check_frame(payload: bytes | bytearray) -> int:
    """The size that the Zstandard frame `payload` declares for its content;
    refuses frames that declare none or more than MAX_STREAM_SIZE."""
    try:
        declared = zstandard.frame_content_size(payload)
    except zstandard.ZstdError:
        raise PackageError("corrupt package: the compressed stream is not a Zstandard frame") from None
    if declared < 0:
        raise PackageError("corrupt package: the compressed stream does not record its size")
    if declared > MAX_STREAM_SIZE:
        raise RefusedPackage(
            f"refused: the compressed stream declares {declared} bytes, more than {MAX_STREAM_SIZE}"
        )
    return declared


def decompress_stream(payload: bytes | bytearray) -> bytes:
    """The packed id stream inside `payload`, one Zstandard frame."""
    check_frame(payload)
    try:
        stream = zstandard.ZstdDecompressor().decompress(payload)
    except zstandard.ZstdError as err:
        raise PackageError(f"corrupt package: cannot decompress the stream ({err})") from None
    return stream


def unpack_ids(stream: bytes) -> array[int]:
    """The ids of the whole 4-byte records of `stream` (trailing bytes are
    ignored, as the decoder does)."""
    ids = array("I" if array("I").itemsize == 4 else "L")
    if ids.itemsize != 4:
        raise PackageError("no 32-bit array type on this platform")
    ids.frombytes(memoryview(stream)[: len(stream) // 4 * 4])
    if sys.byteorder == "little":
        ids.byteswap()
    if ids and max(ids) > _INT32_MAX:
        at = next(i for i, v in enumerate(ids) if v > _INT32_MAX)
        raise PackageError(f"corrupt package: token {at} has an id beyond the 31-bit range")
    return ids


@dataclass
class FileInfo:
    name: str
    tokens: int
    size: int
    unknown_tokens: int = 0


@dataclass
class PackageInfo:
    path: str
    package_size: int
    compressed_size: int
    dictionary_size: int
    token_count: int
    files: list[FileInfo] = field(default_factory=list)
    names_without_boundary: int = 0
    boundaries_without_name: int = 0

    @property
    def total_size(self) -> int:
        return sum(f.size for f in self.files)

    @property
    def ratio(self) -> float | None:
        """Restored bytes per byte of compressed stream."""
        return self.total_size / self.compressed_size if self.compressed_size else None

    @property
    def package_ratio(self) -> float | None:
        """Restored bytes per byte of package file (dictionary included)."""
        return self.total_size / self.package_size if self.package_size else None

    def to_json(self) -> dict[str, object]:
        return {
            "package": self.path,
            "package_size": self.package_size,
            "compressed_size": self.compressed_size,
            "dictionary_size": self.dictionary_size,
            "token_count": self.token_count,
            "total_size": self.total_size,
            "ratio": self.ratio,
            "package_ratio": self.package_ratio,
            "files": [
                {"name": f.name, "tokens": f.tokens, "size": f.size, "unknown_tokens": f.unknown_tokens}
                for f in self.files
            ],
        }


@dataclass
class Package:
    """The checked entries of a package object."""

    payload: bytes | bytearray
    boundaries: list[int]  # only those that pair with a name
    names: list[object]
    dictionary: dict[str, int]
    boundary_count: int

    def pairs(self) -> list[tuple[int, str]]:
        """(boundary, name) for each file the decoder writes: the two lists
        paired up to the end of the shorter one."""
        out = []
        for boundary, name in zip(self.boundaries, self.names):
            if type(name) is not str:
                raise PackageError(f"corrupt package: a file name is a {type(name).__name__}, not text")
            out.append((boundary, name))
        return out


def _as_int32(value: object, what: str) -> int:
    if isinstance(value, (int, float)):
        try:
            number = int(value)
        except (OverflowError, ValueError):
            number = _INT32_MAX + 1
        if _INT32_MIN <= number <= _INT32_MAX:
            return number
    raise PackageError(f"corrupt package: {what} {value!r:.40} is not a 32-bit integer")


def check_package_object(obj: object) -> Package:
    if type(obj) is not dict:
        raise PackageError(f"not a package: it holds a {type(obj).__name__}, not a dict")
    for key in ("compressed", "file_boundaries", "filenames"):
        if key not in obj:
            raise PackageError(f"not a package: the entry '{key}' is missing")
    payload = obj["compressed"]
    if not isinstance(payload, (bytes, bytearray)):
        raise PackageError("corrupt package: 'compressed' does not hold bytes")
    boundaries, names = obj["file_boundaries"], obj["filenames"]
    if not isinstance(boundaries, (list, tuple)) or not isinstance(names, (list, tuple)):
        raise PackageError("corrupt package: 'file_boundaries' and 'filenames' must be lists")
    dictionary = obj.get("global_dict", {})
    if type(dictionary) is not dict:
        raise PackageError("corrupt package: 'global_dict' does not hold a dict")
    for token, token_id in dictionary.items():
        if type(token) is not str or type(token_id) is not int:
            raise PackageError("corrupt package: 'global_dict' must map texts to integers")
    return Package(
        payload=payload,
        boundaries=[_as_int32(b, "the file boundary") for b in boundaries[: len(names)]],
        names=list(names),
        dictionary=dictionary,
        boundary_count=len(boundaries),
    )


def read_package(path: str) -> Package:
    """Loads and checks the package object at `path` (no decompression)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as err:
        raise PackageError(err.strerror or str(err)) from None
    return check_package_object(load_package_object(data))


def is_plain_name(name: str) -> bool:
    """True for a name that stays inside the directory it is joined to."""
    return (
        name not in ("", ".", "..")
        and "\0" not in name
        and os.sep not in name
        and (os.altsep is None or os.altsep not in name)
    )


def describe_package(path: str, package: Package | None = None) -> PackageInfo:
    """Token counts and restored UTF-8 sizes of every file in the package,
    computed from the stream and the package's own dictionary, as the
    decoder would restore them (ids it lacks count as "<UNK>")."""
    if package is None:
        package = read_package(path)
    pairs = package.pairs()
    ids = unpack_ids(decompress_stream(package.payload))

    inverse = {token_id: token for token, token_id in package.dictionary.items()}
    lengths = {token_id: len(token.encode("utf-8", "surrogatepass")) for token_id, token in inverse.items()}
    unknown_length = len(UNKNOWN_TOKEN)

    files = []
    start = 0
    for boundary, name in pairs:
        part = ids[start:boundary]
        counts = Counter(part)
        size = unknown = 0
        for token_id, n in counts.items():
            length = lengths.get(token_id)
            if length is None:
                unknown += n
                length = unknown_length
            size += length * n
        files.append(FileInfo(name, len(part), size, unknown))
        start = boundary

    return PackageInfo(
        path=path,
        package_size=os.path.getsize(path),
        compressed_size=len(package.payload),
        dictionary_size=len(package.dictionary),
        token_count=len(ids),
        files=files,
        names_without_boundary=max(len(package.names) - package.boundary_count, 0),
        boundaries_without_name=max(package.boundary_count - len(package.names), 0),
    )
