"""Input files reach the tokens exactly as the host's text files read them:
strict UTF-8, universal newlines, the narrowest str, the host's own errors,
the file position where the host's read leaves it."""

import os
import re
import subprocess
import sys
import textwrap

import pytest

from qbc_compressor import QBCompressor

# The pieces the module reads a file in, and the size from which a file's
# text is decoded in two parts.
PIECE = 1 << 20
TWO_PARTS = 8 << 20

TOKEN = re.compile(r"\S+|\s+")


def host_read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def host_error(path):
    try:
        host_read(path)
    except UnicodeDecodeError as e:
        return e
    raise AssertionError("the host reads this file")


def assert_same_text(got, expected):
    # Compared by hand: the texts run to megabytes, too long to show whole.
    if got != expected:
        at = next((i for i, (a, b) in enumerate(zip(got, expected)) if a != b),
                  min(len(got), len(expected)))
        pytest.fail(f"texts differ from index {at} (lengths {len(got)}, {len(expected)}): "
                    f"{got[at:at + 20]!r} against {expected[at:at + 20]!r}")


def spy_class(seen):
    class Spy(QBCompressor):
        def tokenize(self, text):
            seen.append(text)
            return super().tokenize(text)

    return Spy


def long_text(size, pattern, widest=b"", where=0.5):
    """`pattern` repeated to about `size` bytes, with `widest` put in once
    at the fraction `where` of it."""
    body = pattern * (size // len(pattern) + 1)
    at = int(len(body) * where)
    at -= at % len(pattern)
    return body[:at] + widest + body[at:size]


def at_piece_end(tail, before):
    """`tail` starting `before` bytes ahead of the end of the first piece."""
    return b"y" * (PIECE - before) + tail + b" end\n"


READABLE = {
    "newlines": b"a\r\nb\rc\n\r\r\nd\r",
    "only a carriage return": b"\r",
    "byte order mark": b"\xef\xbb\xbfhead \xef\xbb\xbf",
    "ascii": b"plain words\n" * 100,
    "latin-1": "caf\u00e9 na\u00efve\r\n".encode() * 100,
    "two-byte": "\u4e2d\u6587 \u3000x\r\n".encode() * 100,
    "four-byte": "\U0001F600 a\u00e9\u4e2d".encode() * 100,
    "one wide char at the very end": b"x " * (3 * PIECE // 4) + "\U0001F600".encode(),
    "a piece exactly": b"z" * (PIECE - 1) + b"\n",
    "a piece and a byte": b"z" * PIECE + b"\n",
    "no final newline over pieces": b"w " * PIECE + b"last",
    # Decoded in the first walk from a first wider character or translated
    # newline in the first piece on, or walked again when that comes later,
    # or a character above U+FFFF follows.
    "two-byte over pieces": "\u4e2d\u6587 x\r\n".encode() * (PIECE // 4),
    "latin-1 over pieces": "caf\u00e9 \r\n".encode() * (PIECE // 3),
    "newlines only over pieces": b"a\r\nb\rc\n" * (PIECE // 3),
    "wide first, then plain over pieces": "\u4e2d ".encode() + b"plain " * (PIECE // 2),
    "first wide char in the second piece": b"a " * (PIECE // 2 + 7) + "\u4e2d\u00e9".encode(),
    "four-byte pieces after decoding began":
        "\u00e9 ".encode() + b"x " * PIECE + "\U0001F600".encode() + b" tail",
    "four-byte in the first piece after decoding began":
        "\u4e2d ".encode() * 1000 + "\U0001F600".encode() + b" x" * PIECE,
}
for _name, _tail in {"crlf": b"\r\n", "cr": b"\r", "two-byte": "\u00e9".encode(),
                     "three-byte": "\u4e2d".encode(), "four-byte": "\U0001F600".encode()}.items():
    for _before in range(len(_tail) + 1):
        READABLE[f"{_name} {_before} ahead of a piece end"] = at_piece_end(_tail, _before)
for _where in (0.1, 0.5, 0.9):
    READABLE[f"two parts, widest at {_where}"] = long_text(
        TWO_PARTS + PIECE, "ab \r\n\u00e9 \u4e2d\r".encode(), "\U0001F600".encode(), _where)


@pytest.mark.parametrize("data", READABLE.values(), ids=READABLE.keys())
def test_text_is_what_the_host_reads(tmp_path, data):
    path = tmp_path / "input.txt"
    path.write_bytes(data)
    expected = host_read(path)
    seen = []
    spy = spy_class(seen)(str(tmp_path / "none"))
    spy.encode_files([str(path)], str(tmp_path / "spy.pkg"))
    assert len(seen) == 1
    assert_same_text(seen[0], expected)
    # The same internal width as the host's str: a wider one would compare
    # unequal to equal texts in the maps.
    assert sys.getsizeof(seen[0]) == sys.getsizeof(expected)

    c = QBCompressor(str(tmp_path / "none"))
    c.encode_files([str(path)], str(tmp_path / "p.pkg"))
    assert set(c.global_dict) == set(TOKEN.findall(expected)), "tokens differ"
    d = QBCompressor(str(tmp_path / "none"))
    d.decode_package(str(tmp_path / "p.pkg"), str(tmp_path / "out"))
    with open(tmp_path / "out" / "input.txt", encoding="utf-8", newline="") as f:
        assert_same_text(f.read(), expected)


UNREADABLE = {
    "stray continuation": b"ab \x80 cd",
    "overlong": b"ab \xc0\xaf",
    "surrogate": b"ab \xed\xa0\x80",
    "past the last code point": b"ab \xf4\x90\x80\x80",
    "cut off at the end": "ok \u4e2d".encode()[:-1],
    "cut off inside": b"ok \xe4\xb8x",
    "across a piece end": at_piece_end(b"\xe4\x28\xa1", 1),
    "cut off at the end of many pieces": b"q " * PIECE + b"\xf0\x9f\x98",
    "in the second of two parts": long_text(TWO_PARTS + PIECE, b"ab \r\n", b"\xff", 0.8),
}


@pytest.mark.parametrize("data", UNREADABLE.values(), ids=UNREADABLE.keys())
def test_invalid_utf8_raises_the_host_error(tmp_path, data):
    bad = tmp_path / "bad.txt"
    bad.write_bytes(data)
    good = tmp_path / "good.txt"
    good.write_bytes(b"fine words\n")
    expected = host_error(bad)
    c = QBCompressor(str(tmp_path / "none"))
    with pytest.raises(UnicodeDecodeError) as info:
        c.encode_files([str(good), str(bad)], str(tmp_path / "p.pkg"))
    e = info.value
    assert (str(e), e.start, e.end, e.reason, e.object) == (
        str(expected), expected.start, expected.end, expected.reason, expected.object)
    assert c.global_dict == {} and c.next_id == 1
    assert not (tmp_path / "p.pkg").exists()


def test_descriptor_is_read_from_its_position_and_left_at_the_end(tmp_path):
    data = "skip this|a b\r\nc \u4e2d".encode()
    path = tmp_path / "input.txt"
    path.write_bytes(data)
    fd = os.open(path, os.O_RDONLY)
    os.lseek(fd, 10, os.SEEK_SET)
    shared = os.dup(fd)  # shares the position; the call closes `fd`
    try:
        seen = []
        c = spy_class(seen)(str(tmp_path / "none"))
        # A descriptor has no base name: the call fails after the read.
        with pytest.raises(TypeError):
            c.encode_files([fd], str(tmp_path / "p.pkg"))
        assert seen == ["a b\nc \u4e2d"]
        assert os.lseek(shared, 0, os.SEEK_CUR) == len(data)
    finally:
        os.close(shared)


def test_file_made_as_it_is_read(tmp_path):
    # Kernel files report no size; their text is the host's all the same.
    seen = []
    c = spy_class(seen)(str(tmp_path / "none"))
    c.encode_files(["/proc/version"], str(tmp_path / "p.pkg"))
    assert seen == [host_read("/proc/version")]


def test_open_replaced_before_import_is_what_reads(tmp_path):
    # An `open` of the caller's, in place when the module starts, makes the
    # files; their own reading, here without newline translation, holds.
    path = tmp_path / "input.txt"
    path.write_bytes(b"a\r\nb\rc\n")
    code = textwrap.dedent("""
        import builtins, sys
        real_open = builtins.open
        def keeping_line_ends(path, mode="r", **kwargs):
            if mode == "r":
                kwargs["newline"] = ""
            return real_open(path, mode, **kwargs)
        builtins.open = keeping_line_ends
        from qbc_compressor import QBCompressor
        c = QBCompressor(sys.argv[2] + "/none")
        c.encode_files([sys.argv[1]], sys.argv[2] + "/p.pkg")
        print(sorted(c.global_dict))
    """)
    proc = subprocess.run([sys.executable, "-c", code, str(path), str(tmp_path)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == repr(sorted(["a", "\r\n", "b", "\r", "c", "\n"]))


# A long file whose tokens alone are wanted (no tokenize override) is read
# in pieces of this many bytes, each cut where a run begins, and scanned
# without its str, its two halves at once.
STREAM_PIECE = 256 << 10


class Plain(QBCompressor):
    """Reads every file into its str first: the tokenize of a subclass could
    be overridden, so its calls take the text whole."""


def first_sight_ids(text, first=1):
    ids = {}
    for token in TOKEN.findall(text):
        ids.setdefault(token, first + len(ids))
    return ids


def stretch(size, *parts):
    """The byte strings `parts` in turn, each repeated to a share of `size`."""
    share = size // len(parts)
    return b"".join(p * (share // len(p) + 1) for p in parts)


LONG = {
    "plain ascii": stretch(TWO_PARTS + PIECE, b"some plain words\n"),
    "newlines translated, wide characters":
        long_text(TWO_PARTS + PIECE, "ab \r\n\u00e9 \u4e2d\r".encode(), "\U0001F600".encode(), 0.3),
    "four-byte characters throughout": stretch(TWO_PARTS, "x\U0001F600 y\n".encode()),
    "unicode whitespace beside the boundaries":
        stretch(TWO_PARTS + PIECE, "a\u3000b\u00a0 c\u0085\n\u2028d \u4e2d\t".encode()),
    "ascii pieces, then wide ones, then latin-1":
        stretch(TWO_PARTS + PIECE, b"plain text ", "\u4e2d\u6587 ".encode(), "caf\u00e9 ".encode()),
    "latin-1 only, a one-byte str": stretch(TWO_PARTS, "na\u00efve caf\u00e9\n".encode()),
    # No place to end a piece in a whole piece (read as before), or no
    # place shortly after the middle for the halves to meet (read whole as
    # one half).
    "a whitespace run longer than a piece":
        b"w " * (TWO_PARTS // 4) + b" " * (2 * STREAM_PIECE) + b"x " * (TWO_PARTS // 4),
    "a word longer than a piece":
        b"w " * (TWO_PARTS // 4) + b"y" * (2 * STREAM_PIECE) + b" x" * (TWO_PARTS // 4),
    "no boundary shortly after the middle":
        b"w " * (TWO_PARTS // 4) + b"z" * 200_000 + b" x" * (TWO_PARTS // 4),
    "carriage returns only": stretch(TWO_PARTS, b"word\rother\r"),
}


@pytest.mark.parametrize("data", LONG.values(), ids=LONG.keys())
def test_long_file_read_in_pieces_gives_the_package_of_its_str(tmp_path, data):
    path = tmp_path / "long.txt"
    path.write_bytes(data)
    small = tmp_path / "small.txt"
    small.write_bytes("few words \u4e2d\n".encode())
    for listing in ([path], [small, path, small], [path, path]):
        names = [str(p) for p in listing]
        c = QBCompressor(str(tmp_path / "none"))
        c.encode_files(names, str(tmp_path / "pieces.pkg"))
        whole = Plain(str(tmp_path / "none"))
        whole.encode_files(names, str(tmp_path / "whole.pkg"))
        assert (tmp_path / "pieces.pkg").read_bytes() == (tmp_path / "whole.pkg").read_bytes()
        assert c.global_dict == whole.global_dict and c.next_id == whole.next_id
    assert c.global_dict == first_sight_ids(host_read(path))


@pytest.mark.parametrize("where", [0.2, 0.7])
def test_long_file_not_utf8_raises_the_host_error(tmp_path, where):
    bad = tmp_path / "bad.txt"
    bad.write_bytes(long_text(TWO_PARTS + PIECE, "ab \r\n\u4e2d ".encode(), b"\xff", where))
    expected = host_error(bad)
    c = QBCompressor(str(tmp_path / "none"))
    with pytest.raises(UnicodeDecodeError) as info:
        c.encode_files([str(bad)], str(tmp_path / "p.pkg"))
    e = info.value
    assert (str(e), e.start, e.end, e.reason) == (
        str(expected), expected.start, expected.end, expected.reason)
    assert c.global_dict == {} and c.next_id == 1
    assert not (tmp_path / "p.pkg").exists()


def test_long_file_under_a_replaced_findall_gets_the_host_text(tmp_path, monkeypatch):
    # Whether the host's own findall splits the text is asked once the file
    # is read; a replacement gets the text as the host reads it.
    import qbc_compressor
    path = tmp_path / "long.txt"
    path.write_bytes(long_text(TWO_PARTS, "ab \r\n\u4e2d ".encode()))
    seen = []

    def findall(pattern, text):
        seen.append(text)
        return ["one", "two", "one"]

    monkeypatch.setattr(qbc_compressor, "re", type("Re", (), {"findall": staticmethod(findall)}))
    c = QBCompressor(str(tmp_path / "none"))
    c.encode_files([str(path)], str(tmp_path / "p.pkg"))
    assert len(seen) == 1
    assert_same_text(seen[0], host_read(path))
    assert c.global_dict == {"one": 1, "two": 2}
