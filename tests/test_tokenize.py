"""tokenize and detokenize: the native scanner against re.findall, the
generic path taken when the module's `re` is replaced, and the argument
errors."""

import re
import sys

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import qbc_compressor
from traceback_entries import names_and_lines

PATTERN = r"\S+|\s+"
TOKENIZE_ENTRY = ("qbc_compressor.QBCompressor.tokenize", 39)

# The host's whitespace test for text, written out.
WHITESPACE = (
    [chr(c) for c in range(0x09, 0x0E)]
    + [chr(c) for c in range(0x1C, 0x21)]
    + ["\x85", "\xa0", "\u1680"]
    + [chr(c) for c in range(0x2000, 0x200B)]
    + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"]
)
# Neighbours of the whitespace code points, zero-width characters and
# surrogates: all of them belong inside words.
NOT_WHITESPACE = [
    "\x00", "\x08", "\x0e", "\x1b", "\x21", "\x84", "\x86", "\x9f", "\xa1", "\u167f",
    "\u1681", "\u180e", "\u1fff", "\u200b", "\u2027", "\u202a", "\u202e", "\u2030",
    "\u205e", "\u2060", "\u2fff", "\u3001", "\ufeff", "\ud800", "\udfff", "\U0001f600",
]


@pytest.fixture
def comp(in_tmp):
    return qbc_compressor.QBCompressor()


def reference(text):
    return re.findall(PATTERN, text)


def test_whitespace_list_is_the_hosts():
    assert len(WHITESPACE) == 29
    assert all(c.isspace() for c in WHITESPACE)
    assert not any(c.isspace() for c in NOT_WHITESPACE)


@pytest.mark.parametrize(
    "text, tokens",
    [
        ("", []),
        ("Hello,  world!\n", ["Hello,", "  ", "world!", "\n"]),
        ("\t\r\n a", ["\t\r\n ", "a"]),
        ("  lead", ["  ", "lead"]),
        ("trail \n", ["trail", " \n"]),
        ("word", ["word"]),
        (" ", [" "]),
        ("a\r\nb", ["a", "\r\n", "b"]),
        ("a\u00a0b", ["a", "\u00a0", "b"]),
        ("a\u3000b", ["a", "\u3000", "b"]),
        ("a\u2028b", ["a", "\u2028", "b"]),
        ("a\x1fb", ["a", "\x1f", "b"]),
        ("a\u200bb", ["a\u200bb"]),
        ("a\ufeffb", ["a\ufeffb"]),
    ],
)
def test_examples(comp, text, tokens):
    assert comp.tokenize(text) == tokens


@pytest.mark.parametrize("space", WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_every_whitespace_character_splits(comp, space):
    assert comp.tokenize("a" + space + "b") == ["a", space, "b"]
    # Also inside a wide text, and next to other whitespace.
    assert comp.tokenize("\u4e00" + space + " \U0001f600") == ["\u4e00", space + " ", "\U0001f600"]


@pytest.mark.parametrize("char", NOT_WHITESPACE, ids=lambda c: f"U+{ord(c):04X}")
def test_other_characters_do_not_split(comp, char):
    assert comp.tokenize("a" + char + "b") == ["a" + char + "b"]
    assert comp.tokenize(char) == [char]


def test_every_code_point_is_classified_like_re(comp):
    text = "".join("a" + chr(c) for c in range(0x110000))
    assert comp.tokenize(text) == reference(text)


# Texts mixing every kind of character the str kinds distinguish.
characters = st.one_of(
    st.sampled_from(WHITESPACE),
    st.sampled_from("abcXYZ019,.-_"),
    st.integers(0x80, 0xFF).map(chr),
    st.sampled_from(["\u4e00", "\u4e8c", "\u200b", "\ufeff", "\u0416", "\uffff"]),
    st.integers(0x100, 0xFFFF).map(chr),
    st.integers(0x10000, 0x10FFFF).map(chr),
    st.integers(0xD800, 0xDFFF).map(chr),
)
texts = st.text(alphabet=characters, max_size=200)
# Few distinct characters, so that tokens repeat and are looked up again.
repetitive = st.lists(st.sampled_from(["ab", "ab", " ", "\n", "\u00e9", "\u4e00", "\U0001f600", "\ud800"]),
                      max_size=120).map("".join)


@settings(max_examples=400, deadline=None)
@given(text=st.one_of(texts, repetitive))
def test_matches_findall_and_round_trips(text):
    # A bare object (the constructor would look for a dictionary file in the
    # current directory); tokenize and detokenize use none of its fields.
    comp = qbc_compressor.QBCompressor.__new__(qbc_compressor.QBCompressor)
    tokens = comp.tokenize(text)
    # str equality compares the internal kinds too, so this also checks that
    # every token is a str of the narrowest kind for its characters.
    assert tokens == reference(text)
    assert all(type(t) is str for t in tokens)
    assert comp.detokenize(tokens) == text


# Keys of up to 15 bytes are compared in a packed form, longer ones in full:
# tokens around that limit, in each width, met both in a text of their own
# width and in a wider one (where they are narrowed first).
@pytest.mark.parametrize("unit", ["x", "\xe9", "\u4e00", "\U0001f600"])
@pytest.mark.parametrize("widen", ["", " \U0001f601"])
@pytest.mark.parametrize("length", [1, 2, 3, 4, 5, 7, 8, 9, 14, 15, 16, 17, 31])
def test_tokens_around_the_packed_key_limit(comp, unit, widen, length):
    base = unit * length
    variants = [base, base + "a", "a" + base, base[:-1] + "b", base + "\x00", base[:-1] + "\x00"]
    text = " ".join(variants * 3) + widen
    tokens = comp.tokenize(text)
    assert tokens == reference(text)
    # Equal tokens are one object, distinct ones stay apart.
    by_text = {}
    for t in tokens:
        assert by_text.setdefault(t, t) is t
    assert len(by_text) == len(set(reference(text)))


@pytest.mark.parametrize("wide", ["", "\u4e00", "\U0001f600"])
def test_many_distinct_tokens(comp, wide):
    # Enough distinct tokens to grow the index many times over.
    text = " ".join(f"w{i}{wide}" for i in range(150_000)) + "\n" + " ".join(
        f"w{i}{wide}" for i in range(0, 150_000, 7)
    )
    assert comp.tokenize(text) == reference(text)


# The scanner works a block of 64 code units at a time and loads keys a
# word at a time: runs of every length ending at every position up to a few
# blocks, the last ones at the very end of the text, in each kind.
@pytest.mark.parametrize("widen", ["", "\u4e00", "\U0001f600"], ids=["latin1", "ucs2", "ucs4"])
@pytest.mark.parametrize("pattern", ["ab ", "a\u00e9b\n\n", "x" * 70 + " ", "\u3000" * 3 + "word" * 5])
def test_runs_at_every_position(comp, widen, pattern):
    for n in range(1, 200):
        text = (pattern * (n // len(pattern) + 1))[:n] + widen
        tokens = comp.tokenize(text)
        assert tokens == reference(text), n
        by_text = {}
        for t in tokens:
            assert by_text.setdefault(t, t) is t


@pytest.mark.parametrize("wide", ["\u4e00", "\U0001f600"])
def test_many_long_narrow_tokens_in_a_wide_text(comp, wide):
    # ASCII words longer than a key's inline part, in a text made wide by one
    # character: each is narrowed before lookup, hundreds of kilobytes of them.
    words = [f"{'long-token-' * (1 + i % 4)}{i % 3000}" for i in range(20000)]
    text = wide + " " + " ".join(words) + "\n" + " ".join(reversed(words))
    tokens = comp.tokenize(text)
    assert tokens == reference(text)
    assert tokens[2] is tokens[-1] and tokens[2].isascii()
    assert len({id(t) for t in tokens}) == len(set(tokens))


def test_same_token_in_texts_of_different_kinds(comp):
    tokens = comp.tokenize("ab \u4e00 ab\n\U0001f600 ab")
    assert tokens[0] is tokens[4] is tokens[8]
    assert tokens[0] == "ab" and tokens[0].isascii()


def test_references_of_shared_tokens(comp):
    # Each occurrence in the list holds one reference, and dropping the list
    # releases them (an error either way would show in the counts).
    tokens = comp.tokenize("qzx1 qzx1 qzx1 qzx2")
    first = tokens[0]
    assert sys.getrefcount(first) == 3 + 2  # the list, `first`, the argument
    del tokens
    assert sys.getrefcount(first) == 2
    assert first == "qzx1"


def test_result_is_a_new_list(comp):
    a = comp.tokenize("a b")
    b = comp.tokenize("a b")
    assert a == b and a is not b
    a.append("x")
    assert comp.tokenize("a b") == ["a", " ", "b"]


# The module's `re` replaced: the generic path calls whatever findall it has.


class RecordingRe:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def findall(self, pattern, text):
        self.calls.append((pattern, text))
        return self.result


def test_replaced_re_module_is_called(comp, monkeypatch):
    result = ["made", "up"]
    stand_in = RecordingRe(result)
    monkeypatch.setattr(qbc_compressor, "re", stand_in)
    assert comp.tokenize("some text") is result
    assert comp.tokenize("more") is result
    assert stand_in.calls == [(PATTERN, "some text"), (PATTERN, "more")]


def test_replaced_re_returning_none(comp, monkeypatch):
    monkeypatch.setattr(qbc_compressor, "re", RecordingRe(None))
    assert comp.tokenize("x") is None


@pytest.mark.parametrize("result, name", [(("a",), "tuple"), ("a", "str"), (type("L", (list,), {})(), "L")])
def test_replaced_re_returning_other_than_a_list(comp, monkeypatch, result, name):
    monkeypatch.setattr(qbc_compressor, "re", RecordingRe(result))
    with pytest.raises(TypeError, match=f"^Expected list, got {name}$") as info:
        comp.tokenize("x")
    assert names_and_lines(info.value) == [TOKENIZE_ENTRY]


def test_replaced_findall_on_the_real_module(comp, monkeypatch):
    calls = []

    def findall(pattern, text):
        calls.append((pattern, text))
        return ["replaced"]

    monkeypatch.setattr(re, "findall", findall)
    assert comp.tokenize("a b") == ["replaced"]
    assert calls == [(PATTERN, "a b")]
    monkeypatch.undo()
    assert comp.tokenize("a b") == ["a", " ", "b"]


def test_restored_re_takes_the_native_path_again(comp, monkeypatch):
    monkeypatch.setattr(qbc_compressor, "re", RecordingRe(["x"]))
    assert comp.tokenize("a b") == ["x"]
    monkeypatch.undo()
    assert qbc_compressor.re is re
    assert comp.tokenize("a b") == ["a", " ", "b"]


def test_error_inside_findall_propagates(comp, monkeypatch):
    class Failing:
        def findall(self, pattern, text):
            raise LookupError("no pattern today")

    monkeypatch.setattr(qbc_compressor, "re", Failing())
    with pytest.raises(LookupError, match="no pattern today") as info:
        comp.tokenize("x")
    assert names_and_lines(info.value) == [TOKENIZE_ENTRY]


def test_missing_re_is_a_name_error(comp, monkeypatch):
    monkeypatch.delattr(qbc_compressor, "re")
    with pytest.raises(NameError, match="name 're' is not defined") as info:
        comp.tokenize("x")
    assert names_and_lines(info.value) == [TOKENIZE_ENTRY]


def test_re_without_findall(comp, monkeypatch):
    monkeypatch.setattr(qbc_compressor, "re", object())
    with pytest.raises(AttributeError, match="findall") as info:
        comp.tokenize("x")
    assert names_and_lines(info.value) == [TOKENIZE_ENTRY]


# Argument errors.


class Text(str):
    pass


@pytest.mark.parametrize("arg, got", [(b"a b", "bytes"), (Text("a b"), "Text"), (["a"], "list")])
def test_tokenize_argument_type(comp, arg, got):
    with pytest.raises(TypeError) as info:
        comp.tokenize(arg)
    assert str(info.value) == f"Argument 'text' has incorrect type (expected str, got {got})"
    assert names_and_lines(info.value) == []


def test_tokenize_none_fails_inside_re(comp):
    with pytest.raises(TypeError) as expected:
        re.findall(PATTERN, None)
    with pytest.raises(TypeError) as info:
        comp.tokenize(None)
    assert str(info.value) == str(expected.value)
    assert names_and_lines(info.value) == [TOKENIZE_ENTRY]


@pytest.mark.parametrize(
    "tokens, text",
    [([], ""), (["a", " ", "b"], "a b"), (["\u4e00", "\U0001f600", "\ud800"], "\u4e00\U0001f600\ud800")],
)
def test_detokenize(comp, tokens, text):
    assert comp.detokenize(tokens) == text


@pytest.mark.parametrize("tokens", [["a", 1], [None], ["a", b"b"]])
def test_detokenize_item_that_is_not_text(comp, tokens):
    with pytest.raises(TypeError) as expected:
        "".join(tokens)
    with pytest.raises(TypeError) as info:
        comp.detokenize(tokens)
    assert str(info.value) == str(expected.value)
    assert names_and_lines(info.value) == [("qbc_compressor.QBCompressor.detokenize", 42)]


@pytest.mark.parametrize("arg, got", [(("a",), "tuple"), ("ab", "str"), (type("Tokens", (list,), {})(), "Tokens")])
def test_detokenize_argument_type(comp, arg, got):
    with pytest.raises(TypeError) as info:
        comp.detokenize(arg)
    assert str(info.value) == f"Argument 'tokens' has incorrect type (expected list, got {got})"


def test_detokenize_none_fails_in_join(comp):
    with pytest.raises(TypeError) as expected:
        "".join(None)
    with pytest.raises(TypeError) as info:
        comp.detokenize(None)
    assert str(info.value) == str(expected.value)
