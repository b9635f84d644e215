"""The package codec written plainly in Python, as the yardstick for the
benchmarks.

It does what QBCompressor.encode_files and decode_package do for ordinary
inputs, the obvious way: re.findall for the tokens, one dict lookup per
token, one struct.pack_into per id record, one Zstandard call and one
pickle. The packages it writes are read by the module and the other way
round; bench/run.py checks both directions on every corpus.

    from reference import ReferenceCompressor
    c = ReferenceCompressor()
    c.encode_files(paths, "out.pkg")
    ReferenceCompressor().decode_package("out.pkg", "restored/")
"""

from __future__ import annotations

import os
import pickle
import re
import struct

import zstandard

TOKEN_PATTERN = re.compile(r"\S+|\s+")
UNKNOWN = "<UNK>"


class ReferenceCompressor:
    """A token dictionary (text -> id, id -> text, next id) and the two
    package operations. Starts empty; there is no dictionary file."""

    def __init__(self) -> None:
        self.global_dict: dict[str, int] = {}
        self.inverse_dict: dict[int, str] = {}
        self.next_id = 1

    def tokenize(self, text: str) -> list[str]:
        return TOKEN_PATTERN.findall(text)

    def detokenize(self, tokens: list[str]) -> str:
        return "".join(tokens)

    def encode_files(self, filepaths: list, output_path: str, zstd_level: int = 6,
                     threads: int = 4) -> int:
        all_tokens: list[str] = []
        file_boundaries: list[int] = []
        filenames: list[str] = []
        for path in filepaths:
            with open(path, "r", encoding="utf-8") as f:
                all_tokens.extend(self.tokenize(f.read()))
            file_boundaries.append(len(all_tokens))
            filenames.append(os.path.basename(path))

        global_dict = self.global_dict
        inverse_dict = self.inverse_dict
        packed = bytearray(4 * len(all_tokens))
        pack_into = struct.pack_into
        offset = 0
        for token in all_tokens:
            token_id = global_dict.get(token)
            if token_id is None:
                token_id = self.next_id
                global_dict[token] = token_id
                inverse_dict[token_id] = token
                self.next_id = token_id + 1
            pack_into(">i", packed, offset, token_id)
            offset += 4
        del all_tokens

        compressed = zstandard.ZstdCompressor(level=zstd_level, threads=threads).compress(packed)
        del packed
        package = {
            "compressed": compressed,
            "file_boundaries": file_boundaries,
            "filenames": filenames,
            "global_dict": global_dict,
        }
        with open(output_path, "wb") as f:
            pickle.dump(package, f)
        return len(compressed)

    def decode_package(self, package_path: str, output_dir: str,
                       use_zstd: bool = True) -> list:
        with open(package_path, "rb") as f:
            package = pickle.load(f)
        self.global_dict = package.get("global_dict", {})
        self.inverse_dict = {v: k for k, v in self.global_dict.items()}

        stream = package["compressed"]
        if use_zstd:
            stream = zstandard.ZstdDecompressor().decompress(stream)
        count = len(stream) // 4
        lookup = self.inverse_dict.get
        restored = [lookup(token_id, UNKNOWN)
                    for (token_id,) in struct.iter_unpack(">i", memoryview(stream)[:4 * count])]
        del stream

        os.makedirs(output_dir, exist_ok=True)
        start = 0
        for boundary, name in zip(package["file_boundaries"], package["filenames"]):
            with open(os.path.join(output_dir, name), "w", encoding="utf-8", newline="") as f:
                f.write("".join(restored[start:boundary]))
            start = boundary
        return package["filenames"]
