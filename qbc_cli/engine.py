"""The compressor as the command uses it."""

from __future__ import annotations

from collections.abc import Callable

from qbc_compressor import QBCompressor

from qbc_cli.errors import CliError, describe

_INT32_MAX = 2**31 - 1


class TrackingCompressor(QBCompressor):
    """A compressor that reports each input file the encoder has read.

    The encoder tokenizes every input once, right after reading it, and
    goes through a subclass's `tokenize`; counting those calls tells how
    far reading has got and which file a decoding error belongs to."""

    files_done: int = 0
    on_file: Callable[[int], None] | None = None

    def tokenize(self, text: str | None) -> list[str]:
        tokens = super().tokenize(text)
        self.files_done += 1
        if self.on_file is not None:
            self.on_file(len(tokens))
        return tokens


def new_compressor(dict_path: str | None) -> TrackingCompressor:
    """A compressor with the dictionary file at `dict_path` loaded when it
    exists, or with an empty dictionary when `dict_path` is None.

    The constructor loads its dictionary path when that exists, and its
    default is a file in the current directory; the command must never pick
    such a file up unasked. Without a dictionary path it therefore passes
    the empty path, which names no file, and clears the maps as well."""
    if dict_path is None:
        compressor = TrackingCompressor("")
        compressor.global_dict = {}
        compressor.inverse_dict = {}
        compressor.next_id = 1
        return compressor
    try:
        compressor = TrackingCompressor(dict_path)
    except Exception as err:
        raise CliError(f"cannot load dictionary '{dict_path}': {describe(err)}") from None
    raise_next_id(compressor)
    return compressor


def raise_next_id(compressor: QBCompressor) -> None:
    """Moves `next_id` above every id in the dictionary, so that new tokens
    never receive an id that an existing token already carries (which would
    make a package decode to something else)."""
    mapping = compressor.global_dict
    if not isinstance(mapping, dict):
        return
    top = max((v for v in mapping.values() if type(v) is int), default=0)
    if compressor.next_id <= top:
        if top >= _INT32_MAX:
            raise CliError("the dictionary holds the largest possible id; no new token can be added")
        compressor.next_id = top + 1
