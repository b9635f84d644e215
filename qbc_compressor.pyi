# Type information for the qbc_compressor extension module.
#
# The methods accept exactly `str` and `list` where the annotations say so;
# None also passes argument checking (it then fails inside the method with
# the interpreter's own error), which is why several parameters admit None.
# The attributes accept any object on assignment and are used through the
# mapping protocol only, so the maps are typed loosely.

import os
from typing import Any, SupportsInt, TypeVar, overload

_Path = TypeVar("_Path", bound=str | os.PathLike[str])

class QBCompressor:
    # Path of the dictionary file, handed unchanged to os.path.exists and open.
    dict_path: Any
    # Token text to id; normally dict[str, int].
    global_dict: Any
    # Id to token text; normally dict[int, str].
    inverse_dict: Any
    # The id the next new token receives; assignment converts with int().
    next_id: int
    def __init__(self, dict_path: Any = "quorvale_dict.bin") -> None: ...
    def load_dict(self) -> None: ...
    def save_dict(self) -> None: ...
    def tokenize(self, text: str | None) -> list[str]: ...
    def detokenize(self, tokens: list[str] | None) -> str: ...
    # Any list of paths: a list[str] or list[pathlib.Path] variable as well
    # as a list display that mixes the two.
    @overload
    def encode_files(
        self,
        filepaths: list[str | os.PathLike[str]] | None,
        output_path: str | None,
        zstd_level: SupportsInt = 6,
        threads: SupportsInt = 4,
    ) -> int: ...
    @overload
    def encode_files(
        self,
        filepaths: list[_Path] | None,
        output_path: str | None,
        zstd_level: SupportsInt = 6,
        threads: SupportsInt = 4,
    ) -> int: ...
    def decode_package(
        self,
        package_path: str | None,
        output_dir: str | None,
        use_zstd: object = True,
    ) -> list[str]: ...
