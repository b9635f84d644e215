"""Round trip of a real text collection (`make demo`).

Encodes the Linux kernel documentation (about 3200 reStructuredText files,
24 MB; see bench/corpora.py) into one package with QBCompressor, decodes the
package into a new directory, and compares every restored file byte for
byte with its input as the encoder reads it (UTF-8 with universal newlines,
so a carriage return and line feed compare as a line feed). Prints the
number of files, the bytes in, the package size and ratio and the time each
step took; exits with status 1 if any file differs or is missing.

A package keeps base names only, and the documentation has many files of
the same name (index.rst above all), which would overwrite each other when
decoded. The inputs are therefore given through a directory of links named
after each file's path (admin-guide__index.rst, ...), so that every file
comes back under a name of its own.

    PYTHONPATH=build /usr/bin/python3 bench/demo.py [--keep]
"""

from __future__ import annotations

import argparse
import os
import pathlib
import shutil
import sys
import time

BENCH_DIR = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import corpora  # noqa: E402
import measure  # noqa: E402

import qbc_compressor  # noqa: E402

DEMO = measure.SCRATCH / "demo"


def main() -> int:
    ap = argparse.ArgumentParser(description="Encode and decode the kernel documentation.")
    ap.add_argument("--keep", action="store_true",
                    help="keep the package and the restored files under bench/.scratch/demo/")
    args = ap.parse_args()

    sources = corpora.kernel_docs()
    root = pathlib.Path(os.path.commonpath([p.parent for p in sources]))
    files = measure.flat_view(sources, root, DEMO / "input")
    package = DEMO / "kernel-docs.qbc"
    restored = DEMO / "restored"
    if restored.exists():
        shutil.rmtree(restored)
    bytes_in = measure.input_bytes(files)
    print(f"input:    {len(files)} files, {bytes_in:,} bytes of UTF-8 text ({root})")

    compressor = qbc_compressor.QBCompressor(dict_path=str(DEMO / "no-dictionary.bin"))
    start = time.perf_counter()
    stream_size = compressor.encode_files(files, str(package))
    encode_s = time.perf_counter() - start
    package_size = package.stat().st_size
    print(f"encode:   {encode_s:.2f} s ({bytes_in / 1e6 / encode_s:.1f} MB/s); "
          f"{len(compressor.global_dict):,} distinct tokens")
    print(f"package:  {package_size:,} bytes, {100 * package_size / bytes_in:.1f}% of the input "
          f"(compressed id stream {stream_size:,} bytes, the rest dictionary and names)")

    decoder = qbc_compressor.QBCompressor(dict_path=str(DEMO / "no-dictionary.bin"))
    start = time.perf_counter()
    names = decoder.decode_package(str(package), str(restored))
    decode_s = time.perf_counter() - start
    print(f"decode:   {decode_s:.2f} s ({bytes_in / 1e6 / decode_s:.1f} MB/s) into {restored}")

    problems = []
    expected = [os.path.basename(p) for p in files]
    if list(names) != expected:
        problems.append("the returned names differ from the input names")
    bad = measure.compare_outputs(files, str(restored))
    extra = sorted(set(os.listdir(restored)) - set(expected))
    for name in bad[:10]:
        problems.append(f"differs or missing: {name}")
    if len(bad) > 10:
        problems.append(f"... and {len(bad) - 10} more files differ")
    if extra:
        problems.append(f"unexpected files in the output: {extra[:5]}")

    if not args.keep:
        shutil.rmtree(restored, ignore_errors=True)
        package.unlink(missing_ok=True)
    if problems:
        print("check:    FAILED")
        for p in problems:
            print("  " + p)
        return 1
    print(f"check:    all {len(files)} files restored byte for byte")
    return 0


if __name__ == "__main__":
    sys.exit(main())
