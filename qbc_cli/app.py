"""``qbc``: encode text files into a package, decode it, describe it."""

from __future__ import annotations

import argparse
import io
import json
import os
import sys
from collections.abc import Callable, Sequence
from typing import NoReturn

from qbc_cli import __version__
from qbc_cli.errors import EXIT_FAILURE, EXIT_USAGE, CliError, describe
from qbc_cli.status import StatusLine

PROG = "qbc"
MIN_LEVEL = -(1 << 17)  # Zstandard's fastest level
MAX_LEVEL = 22
MAX_THREADS = 256


class _Parser(argparse.ArgumentParser):
    """Reports usage errors as one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{PROG}: error: {message} (see '{self.prog} --help')\n")


def _int_in(low: int, high: int) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not an integer") from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{value} is outside {low}..{high}")
        return value

    return convert


def _add_dict_options(p: argparse.ArgumentParser, saved_what: str) -> None:
    p.add_argument(
        "--dict",
        metavar="PATH",
        help="dictionary file; without it the dictionary starts empty and no "
        "dictionary file is read, not even one in the current directory",
    )
    p.add_argument("--save-dict", action="store_true", help=f"write {saved_what} to the --dict file")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Dictionary-based text compression: many UTF-8 text files in one package.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")

    enc = sub.add_parser(
        "encode",
        help="pack text files into a package",
        description="Pack UTF-8 text files into one package. Directories are "
        "taken recursively, their regular files in sorted order; other paths in "
        "the order given. A package keeps base names only, so two inputs with "
        "the same base name are refused.",
    )
    enc.add_argument("inputs", nargs="+", metavar="FILE|DIR", help="text files and directories")
    enc.add_argument("-o", "--output", required=True, metavar="PACKAGE", help="package file to write")
    enc.add_argument(
        "--level",
        type=_int_in(MIN_LEVEL, MAX_LEVEL),
        default=6,
        help=f"Zstandard level, {MIN_LEVEL}..{MAX_LEVEL} (default 6)",
    )
    enc.add_argument(
        "--threads",
        type=_int_in(0, MAX_THREADS),
        default=4,
        help="Zstandard worker threads, 0 to compress on the calling thread (default 4)",
    )
    _add_dict_options(enc, "the grown dictionary")
    enc.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    enc.set_defaults(handler=cmd_encode)

    dec = sub.add_parser(
        "decode",
        help="restore the files of a package",
        description="Restore the files of a package into a directory (created "
        "if missing; files of the same names are replaced). The package is "
        "checked first with the same reader as 'qbc info'.",
    )
    dec.add_argument("package", metavar="PACKAGE")
    dec.add_argument("-o", "--output", required=True, metavar="DIR", help="directory to write the files into")
    _add_dict_options(dec, "the package's dictionary")
    dec.add_argument("-q", "--quiet", action="store_true", help="print no summary")
    dec.set_defaults(handler=cmd_decode)

    info = sub.add_parser(
        "info",
        help="describe a package",
        description="List the files of a package with their token counts and "
        "restored sizes, and the package's dictionary and compressed sizes. "
        "Nothing stored in the package is run.",
    )
    info.add_argument("package", metavar="PACKAGE")
    info.add_argument("--json", action="store_true", help="print one JSON object")
    info.set_defaults(handler=cmd_info)
    return parser


def _count(n: int, word: str) -> str:
    return f"{n:,} {word}{'' if n == 1 else 's'}"


def _check_dict_options(args: argparse.Namespace, parser_name: str) -> None:
    if args.save_dict and args.dict is None:
        raise CliError(f"--save-dict needs --dict PATH (see '{PROG} {parser_name} --help')", EXIT_USAGE)


def _check_output_file(path: str) -> None:
    if os.path.isdir(path):
        raise CliError(f"cannot write package '{path}': it is a directory")
    parent = os.path.dirname(path) or "."
    if not os.path.isdir(parent):
        raise CliError(f"cannot write package '{path}': no directory '{parent}'")


def cmd_encode(args: argparse.Namespace) -> int:
    from qbc_cli.engine import new_compressor
    from qbc_cli.inputs import collect_inputs

    _check_dict_options(args, "encode")
    files = collect_inputs(args.inputs, output=args.output)
    if not files:
        raise CliError("no input files: the directories given hold no regular files")
    _check_output_file(args.output)
    compressor = new_compressor(args.dict)
    paths = [f.path for f in files]
    total_bytes = sum(f.size for f in files)
    tokens = 0

    with StatusLine() as status:

        def on_file(count: int) -> None:
            nonlocal tokens
            tokens += count
            done = compressor.files_done
            if done < len(files):
                status.update(f"{PROG}: read {done:,}/{len(files):,} files, {tokens:,} tokens")
            else:
                status.update(f"{PROG}: assigning ids and compressing {tokens:,} tokens", force=True)

        compressor.on_file = on_file
        status.update(f"{PROG}: reading {_count(len(files), 'file')}", force=True)
        try:
            stream_size = compressor.encode_files(paths, args.output, args.level, args.threads)
        except Exception as err:
            raise _encode_failure(err, paths, compressor.files_done, args.output) from None

    if args.save_dict:
        try:
            compressor.save_dict()
        except Exception as err:
            raise CliError(
                f"package written, but cannot save dictionary '{args.dict}': {describe(err)}"
            ) from None
    if not args.quiet:
        counted = f", {_count(tokens, 'token')}" if compressor.files_done == len(files) else ""
        print(
            f"{args.output}: {_count(len(files), 'file')} ({_count(total_bytes, 'byte')}{counted}) "
            f"in a {stream_size:,}-byte stream, package {os.path.getsize(args.output):,} bytes"
        )
    return 0


def _encode_failure(err: Exception, paths: list[str], files_done: int, output: str) -> CliError:
    current = paths[files_done] if files_done < len(paths) else None
    if isinstance(err, OSError) and err.filename is not None:
        if err.filename == output or current is None:
            return CliError(f"cannot write package '{err.filename}': {describe(err)}")
        return CliError(f"cannot read '{err.filename}': {describe(err)}")
    if isinstance(err, UnicodeDecodeError):
        culprit = _first_undecodable(paths[files_done:]) or current
        if culprit is not None:
            return CliError(f"'{culprit}' is not UTF-8 text: {err.reason} at byte {err.start}")
    if current is not None:
        return CliError(f"cannot read '{current}': {describe(err)}")
    return CliError(f"cannot encode into '{output}': {describe(err)}")


def _first_undecodable(paths: list[str]) -> str | None:
    """The first of `paths` that does not decode as UTF-8. The encoder's
    error does not name its file; reading resumes where it stopped."""
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                while f.read(1 << 20):
                    pass
        except UnicodeDecodeError:
            return path
        except OSError:
            continue
    return None


def cmd_decode(args: argparse.Namespace) -> int:
    from qbc_cli.engine import new_compressor, raise_next_id
    from qbc_cli.package import PackageError, check_frame, is_plain_name, read_package

    _check_dict_options(args, "decode")
    if args.dict is not None and not args.save_dict:
        raise CliError(
            "--dict has no effect on decode without --save-dict: a package carries its own dictionary",
            EXIT_USAGE,
        )
    try:
        package = read_package(args.package)
        pairs = package.pairs()
        check_frame(package.payload)
    except PackageError as err:
        raise CliError(f"cannot decode '{args.package}': {err}") from None
    for _, name in pairs:
        if not is_plain_name(name):
            raise CliError(f"cannot decode '{args.package}': refused: the stored file name {name!r} is not a plain name")
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise CliError(f"cannot write into '{args.output}': it is not a directory")

    compressor = new_compressor(None)
    with StatusLine() as status:
        status.update(f"{PROG}: decoding {args.package}", force=True)
        try:
            compressor.decode_package(args.package, args.output)
        except OSError as err:
            where = err.filename if err.filename is not None else args.output
            raise CliError(f"cannot write '{where}': {describe(err)}") from None
        except Exception as err:
            raise CliError(f"cannot decode '{args.package}': {describe(err)}") from None

    if args.save_dict:
        compressor.dict_path = args.dict
        raise_next_id(compressor)
        try:
            compressor.save_dict()
        except Exception as err:
            raise CliError(f"files restored, but cannot save dictionary '{args.dict}': {describe(err)}") from None
    if not args.quiet:
        written = len({name for _, name in pairs})
        print(f"{args.output}: {_count(written, 'file')} restored from {args.package}")
    return 0


def _show(name: str) -> str:
    return name if name.isprintable() else repr(name)


def cmd_info(args: argparse.Namespace) -> int:
    from qbc_cli.package import PackageError, describe_package

    try:
        with StatusLine() as status:
            status.update(f"{PROG}: reading {args.package}", force=True)
            info = describe_package(args.package)
    except PackageError as err:
        raise CliError(f"cannot read '{args.package}': {err}") from None

    if args.json:
        print(json.dumps(info.to_json(), indent=2))
        return 0

    def ratio(value: float | None) -> str:
        return "-" if value is None else f"{value:.2f}"

    unknown = sum(f.unknown_tokens for f in info.files)
    lines = [
        f"package     {_show(info.path)}, {_count(info.package_size, 'byte')}",
        f"files       {len(info.files):,}, {_count(info.total_size, 'byte')} restored",
        f"tokens      {info.token_count:,}",
        f"dictionary  {_count(info.dictionary_size, 'token')}",
        f"compressed  {_count(info.compressed_size, 'byte')}",
        f"ratio       {ratio(info.ratio)} (restored / compressed), "
        f"{ratio(info.package_ratio)} (restored / package)",
    ]
    if unknown:
        lines.append(f"note: {_count(unknown, 'token')} with ids missing from the dictionary restore as <UNK>")
    if info.names_without_boundary:
        lines.append(f"note: {_count(info.names_without_boundary, 'file name')} without a boundary, not restored")
    if info.boundaries_without_name:
        lines.append(f"note: {_count(info.boundaries_without_name, 'boundary')} without a file name, ignored")
    if info.files:
        width = max(6, len(f"{max(f.tokens for f in info.files):,}"))
        size_width = max(5, len(f"{max(f.size for f in info.files):,}"))
        lines.append("")
        lines.append(f"{'tokens':>{width}}  {'bytes':>{size_width}}  name")
        for f in info.files:
            lines.append(f"{f.tokens:>{width},}  {f.size:>{size_width},}  {_show(f.name)}")
    print("\n".join(lines))
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    if isinstance(sys.stdout, io.TextIOWrapper):
        # Stored names may hold anything; show what cannot be encoded escaped.
        sys.stdout.reconfigure(errors="backslashreplace")
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.error("a command is required: encode, decode or info")
    try:
        code: int = args.handler(args)
        sys.stdout.flush()
        return code
    except CliError as err:
        print(f"{PROG}: error: {err}", file=sys.stderr)
        return err.exit_code
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader went away (`qbc info P | head`): say nothing more.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except ImportError as err:
        print(f"{PROG}: error: cannot load the compressor module: {describe(err)}", file=sys.stderr)
        return EXIT_FAILURE
    except Exception as err:
        print(f"{PROG}: error: unexpected failure: {describe(err)}", file=sys.stderr)
        return EXIT_FAILURE
