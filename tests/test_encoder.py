"""encode_files: argument binding, reading, id assignment, output, and what
each failure leaves behind."""
import collections.abc
import itertools
import os
import pathlib
import pickle
import re
import struct
import sys
import types
import warnings

import pytest
import zstandard

import qbc_compressor
from qbc_compressor import QBCompressor
from traceback_entries import innermost_first as entries

ENCODE = "qbc_compressor.QBCompressor.encode_files"
TOKENIZE = "qbc_compressor.QBCompressor.tokenize"
MAX_ID = 2147483647


# Helpers ----------------------------------------------------------------------


def at(*lines):
    return [(ENCODE, line) for line in lines]


def fresh(tmp_path, cls=QBCompressor):
    return cls(str(tmp_path / "no-such-dict.bin"))


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    return str(path)


def write_bytes(path, data):
    pathlib.Path(path).write_bytes(data)
    return str(path)


def load_package(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def ids_in(path):
    stream = zstandard.ZstdDecompressor().decompress(load_package(path)["compressed"])
    return list(struct.unpack(">%dI" % (len(stream) // 4), stream))


def snapshot(c):
    """What an encoder failure may or may not have changed."""
    def items(m):
        return list(m.items()) if hasattr(m, "items") else m

    return (c.global_dict, items(c.global_dict), c.inverse_dict, items(c.inverse_dict),
            c.next_id)


def raises(exc_type, fn, *args, match=None, **kwargs):
    with pytest.raises(exc_type, match=match) as info:
        fn(*args, **kwargs)
    return info.value


class RecordingZstd:
    """Stands in for the zstandard module and records what the encoder asks
    of it."""

    def __init__(self, result=b"not-really-a-frame", fail=None):
        self.made = []
        self.compressed = []
        outer = self

        class ZstdCompressor:
            def __init__(self, *args, **kwargs):
                outer.made.append((args, kwargs))

            def compress(self, *args, **kwargs):
                outer.compressed.append((args, kwargs))
                if fail is not None:
                    raise fail
                return result

        self.ZstdCompressor = ZstdCompressor


class RecordingMap(collections.abc.MutableMapping):
    """A mapping that logs every protocol call made on it."""

    def __init__(self, tag, log, data=None):
        self.tag, self.log, self.data = tag, log, dict(data or {})

    def __contains__(self, key):
        self.log.append((self.tag, "in", key))
        return key in self.data

    def __getitem__(self, key):
        self.log.append((self.tag, "get", key))
        return self.data[key]

    def __setitem__(self, key, value):
        self.log.append((self.tag, "set", key, value))
        self.data[key] = value

    def __delitem__(self, key):
        del self.data[key]

    def __iter__(self):
        self.log.append((self.tag, "iter"))
        return iter(self.data)

    def __len__(self):
        self.log.append((self.tag, "len"))
        return len(self.data)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class SetsNextId(dict):
    """Sets `compressor`'s next_id to 100 when "a" is stored."""
    compressor = None

    def __setitem__(self, key, value):
        super().__setitem__(key, value)
        if key == "a":
            SetsNextId.compressor.next_id = 100


class StoresOnInt:
    """Converts to 5, storing `store` = (mapping, key, value) first."""
    store = None

    def __int__(self):
        mapping, key, value = StoresOnInt.store
        mapping[key] = value
        return 5


@pytest.fixture
def files(tmp_path):
    """Writes texts to files named f0, f1, ... and returns their paths."""
    def make(*texts):
        return [write_text(tmp_path / f"f{i}", t) for i, t in enumerate(texts)]
    return make


@pytest.fixture
def captured(monkeypatch):
    """Replaces the module's pickle with one that keeps the package object,
    for maps the host's pickle could not write; returns the kept objects."""
    kept = []

    def dump(obj, f):
        kept.append(obj)

    monkeypatch.setattr(qbc_compressor, "pickle", types.SimpleNamespace(dump=dump))
    return kept


def ids_of(package):
    stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
    return list(struct.unpack(">%dI" % (len(stream) // 4), stream))


@pytest.fixture
def out(tmp_path):
    return str(tmp_path / "package.qbc")


# Binding -------------------------------------------------------------------------


class TestBinding:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((["p"],), {}, r"^encode_files\(\) takes at least 2 positional arguments \(1 given\)$"),
            ((), {}, r"^encode_files\(\) takes at least 2 positional arguments \(0 given\)$"),
            ((), {"output_path": "o"},
             r"^encode_files\(\) takes at least 2 positional arguments \(0 given\)$"),
            ((), {"filepaths": []},
             r"^encode_files\(\) takes at least 2 positional arguments \(1 given\)$"),
            (([], "o", 6, 4, 5), {},
             r"^encode_files\(\) takes at most 4 positional arguments \(5 given\)$"),
            (([], "o"), {"filepaths": []},
             r"^encode_files\(\) got multiple values for keyword argument 'filepaths'$"),
            (([], "o"), {"level": 3},
             r"^encode_files\(\) got an unexpected keyword argument 'level'$"),
            (([], "o", 6, 4), {"zstd_level": 3},
             r"^encode_files\(\) got multiple values for keyword argument 'zstd_level'$"),
        ],
    )
    def test_argument_errors(self, tmp_path, args, kwargs, message):
        c = fresh(tmp_path)
        before = snapshot(c)
        exc = raises(TypeError, c.encode_files, *args, match=message, **kwargs)
        assert entries(exc) == at(45)
        assert snapshot(c) == before
        assert not (tmp_path / "o").exists()

    def test_all_arguments_by_keyword(self, tmp_path, files, out):
        c = fresh(tmp_path)
        size = c.encode_files(threads=1, zstd_level=2, output_path=out, filepaths=files("a"))
        assert size == len(load_package(out)["compressed"])
        assert ids_in(out) == [1]

    def test_call_through_class_without_instance(self):
        exc = raises(TypeError, QBCompressor.encode_files,
                     match=r"^encode_files\(\) needs an argument$")
        assert entries(exc) == []

    class ListSub(list):
        pass

    class StrSub(str):
        pass

    @pytest.mark.parametrize(
        "filepaths, output_path, message",
        [
            (("a",), "o", r"^Argument 'filepaths' has incorrect type \(expected list, got tuple\)$"),
            (ListSub(), "o", r"^Argument 'filepaths' has incorrect type \(expected list, got ListSub\)$"),
            ("a", "o", r"^Argument 'filepaths' has incorrect type \(expected list, got str\)$"),
            ([], b"o", r"^Argument 'output_path' has incorrect type \(expected str, got bytes\)$"),
            ([], pathlib.Path("o"),
             r"^Argument 'output_path' has incorrect type \(expected str, got PosixPath\)$"),
            ([], StrSub("o"), r"^Argument 'output_path' has incorrect type \(expected str, got StrSub\)$"),
            (("a",), b"o", r"^Argument 'filepaths' has incorrect type"),
        ],
    )
    def test_exact_type_tests(self, tmp_path, monkeypatch, filepaths, output_path, message):
        monkeypatch.chdir(tmp_path)
        write_text(tmp_path / "a", "text")
        c = fresh(tmp_path)
        before = snapshot(c)
        exc = raises(TypeError, c.encode_files, filepaths, output_path, match=message)
        assert entries(exc) == []
        assert snapshot(c) == before
        assert not (tmp_path / "o").exists()

    @pytest.mark.parametrize(
        "kwargs, exc_type, message",
        [
            ({"zstd_level": "6"}, TypeError, r"^an integer is required$"),
            ({"zstd_level": None}, TypeError, r"^an integer is required$"),
            ({"zstd_level": 2**31}, OverflowError, r"^value too large to convert to int$"),
            ({"zstd_level": -2**31 - 1}, OverflowError, r"^value too large to convert to int$"),
            ({"zstd_level": 2**63}, OverflowError, r"^Python int too large to convert to C long$"),
            ({"threads": "4"}, TypeError, r"^an integer is required$"),
            ({"threads": 2**31}, OverflowError, r"^value too large to convert to int$"),
            ({"zstd_level": IntLike("7")}, TypeError, r"^__int__ returned non-int \(type str\)$"),
            ({"zstd_level": "x", "threads": 2**31}, TypeError, r"^an integer is required$"),
        ],
    )
    def test_conversion_failures(self, tmp_path, kwargs, exc_type, message):
        c = fresh(tmp_path)
        before = snapshot(c)
        # A wrongly typed filepaths is not reported: the conversions come first.
        exc = raises(exc_type, c.encode_files, ("a",), b"o", match=message, **kwargs)
        assert entries(exc) == at(45)
        assert snapshot(c) == before

    @pytest.mark.parametrize(
        "extra_args, kwargs, level, threads",
        [
            ((), {}, 6, 4),
            ((7, 2), {}, 7, 2),
            ((), {"zstd_level": 3.9}, 3, 4),
            ((), {"zstd_level": 7.9, "threads": 1.5}, 7, 1),
            ((), {"zstd_level": -2.5}, -2, 4),
            ((), {"zstd_level": True, "threads": False}, 1, 0),
            ((), {"zstd_level": IntLike(9), "threads": IntLike(-1)}, 9, -1),
            ((), {"zstd_level": -2**31, "threads": 2**31 - 1}, -2**31, 2**31 - 1),
        ],
    )
    def test_level_and_threads_reach_the_compressor_as_ints(
        self, tmp_path, monkeypatch, files, out, extra_args, kwargs, level, threads
    ):
        fake = RecordingZstd()
        monkeypatch.setattr(qbc_compressor, "zstd", fake)
        fresh(tmp_path).encode_files(files("a b"), out, *extra_args, **kwargs)
        assert fake.made == [((), {"level": level, "threads": threads})]
        made = fake.made[0][1]
        assert type(made["level"]) is int and type(made["threads"]) is int

    def test_int_subclass_from_int_conversion_warns(self, tmp_path, monkeypatch, files, out):
        class MyInt(int):
            pass

        fake = RecordingZstd()
        monkeypatch.setattr(qbc_compressor, "zstd", fake)
        c = fresh(tmp_path)
        with pytest.warns(DeprecationWarning, match=r"__int__ returned non-int \(type MyInt\)\.  "):
            c.encode_files(files("a"), out, IntLike(MyInt(5)))
        assert fake.made[0][1]["level"] == 5
        with warnings.catch_warnings():
            warnings.simplefilter("error", DeprecationWarning)
            exc = raises(DeprecationWarning, c.encode_files, files("a"), out, IntLike(MyInt(5)))
        assert entries(exc) == at(45)
        assert len(fake.made) == 1

    def test_defaults_are_reported(self):
        assert QBCompressor.encode_files.__defaults__ == (6, 4)


# Reading phase ----------------------------------------------------------------------


class TestReading:
    def test_none_filepaths(self, tmp_path, out):
        c = fresh(tmp_path)
        before = snapshot(c)
        exc = raises(TypeError, c.encode_files, None, out,
                     match=r"^'NoneType' object is not iterable$")
        assert entries(exc) == at(51)
        assert snapshot(c) == before
        assert not os.path.exists(out)

    @pytest.mark.parametrize(
        "bad, exc_type, lines",
        [
            ("missing", FileNotFoundError, (52,)),
            ("directory", IsADirectoryError, (52,)),
            (1.5, TypeError, (52,)),
            (None, TypeError, (52,)),
            ("latin1", UnicodeDecodeError, (53, 52)),
            ("truncated-utf8", UnicodeDecodeError, (53, 52)),
        ],
    )
    def test_unreadable_input_changes_nothing(self, tmp_path, files, out, bad, exc_type, lines):
        (tmp_path / "directory").mkdir()
        write_bytes(tmp_path / "latin1", "caf\u00e9".encode("latin-1"))
        write_bytes(tmp_path / "truncated-utf8", "ok \u4e2d".encode("utf-8")[:-1])
        if isinstance(bad, str):
            bad = str(tmp_path / bad)
        c = fresh(tmp_path)
        before = snapshot(c)
        # The first file is fine; no id is assigned before every file is read.
        exc = raises(exc_type, c.encode_files, files("new tokens here") + [bad], out)
        assert entries(exc) == at(*lines)
        assert snapshot(c) == before
        assert c.global_dict == {}
        assert not os.path.exists(out)

    def test_file_is_read_with_universal_newlines(self, tmp_path, out):
        seen = []

        class Spy(QBCompressor):
            def tokenize(self, text):
                seen.append(text)
                return super().tokenize(text)

        paths = [write_bytes(tmp_path / "crlf", b"a\r\nb\rc\n\r\n"),
                 write_bytes(tmp_path / "lf", b"a\nb\nc\n\n")]
        c = fresh(tmp_path, Spy)
        c.encode_files(paths, out)
        assert seen == ["a\nb\nc\n\n", "a\nb\nc\n\n"]
        ids = ids_in(out)
        assert ids[:6] == ids[6:] == [1, 2, 3, 2, 4, 5]
        assert "\r" not in "".join(c.global_dict)

    def test_same_base_name_in_two_directories(self, tmp_path, out):
        (tmp_path / "one").mkdir()
        (tmp_path / "two").mkdir()
        paths = [write_text(tmp_path / "one" / "same.txt", "first"),
                 write_text(tmp_path / "two" / "same.txt", "second")]
        c = fresh(tmp_path)
        c.encode_files(paths, out)
        assert load_package(out)["filenames"] == ["same.txt", "same.txt"]
        assert c.decode_package(out, str(tmp_path / "o")) == ["same.txt", "same.txt"]
        assert os.listdir(tmp_path / "o") == ["same.txt"]
        assert (tmp_path / "o" / "same.txt").read_text() == "second"

    def test_empty_file_and_repeated_path(self, tmp_path, files, out):
        a, empty = files("x y", "")
        c = fresh(tmp_path)
        c.encode_files([empty, a, empty, a], out)
        package = load_package(out)
        assert package["file_boundaries"] == [0, 3, 3, 6]
        assert package["filenames"] == ["f1", "f0", "f1", "f0"]
        assert ids_in(out) == [1, 2, 3, 1, 2, 3]
        assert c.next_id == 4

    def test_bytes_and_path_objects_as_paths(self, tmp_path, files, out):
        a, b = files("x", "y")
        c = fresh(tmp_path)
        c.encode_files([os.fsencode(a), pathlib.Path(b)], out)
        assert load_package(out)["filenames"] == [b"f0", "f1"]
        exc = raises(TypeError, c.decode_package, out, str(tmp_path / "o"),
                     match=r"^Expected str, got bytes$")
        assert entries(exc) == [("qbc_compressor.QBCompressor.decode_package", 122)]
        assert os.listdir(tmp_path / "o") == []

    def test_basename_comes_from_module_os(self, tmp_path, monkeypatch, files, out):
        calls = []

        def basename(path):
            calls.append(path)
            return "renamed-" + os.path.basename(path)

        c = fresh(tmp_path)
        fake_os = types.SimpleNamespace(path=types.SimpleNamespace(basename=basename))
        monkeypatch.setattr(qbc_compressor, "os", fake_os)
        paths = files("a", "b")
        c.encode_files(paths, out)
        assert calls == paths
        assert load_package(out)["filenames"] == ["renamed-f0", "renamed-f1"]

    def test_failing_basename(self, tmp_path, monkeypatch, files, out):
        def basename(path):
            raise LookupError("no name")

        c = fresh(tmp_path)
        monkeypatch.setattr(qbc_compressor, "os",
                            types.SimpleNamespace(path=types.SimpleNamespace(basename=basename)))
        before = snapshot(c)
        exc = raises(LookupError, c.encode_files, files("a"), out)
        assert entries(exc) == at(56, 52)
        assert snapshot(c) == before
        assert not os.path.exists(out)

    def test_paths_appended_while_reading_are_read(self, tmp_path, files, out):
        first, second = files("one", "two")
        paths = [first]

        class Appender(QBCompressor):
            def tokenize(self, text):
                if len(paths) == 1:
                    paths.append(second)
                return super().tokenize(text)

        fresh(tmp_path, Appender).encode_files(paths, out)
        assert load_package(out)["filenames"] == ["f0", "f1"]


class TestTokenizeOverride:
    def test_override_sees_each_whole_text_once(self, tmp_path, files, out):
        calls = []

        class Spy(QBCompressor):
            def tokenize(self, *args, **kwargs):
                calls.append((args, kwargs))
                return ["t"]

        fresh(tmp_path, Spy).encode_files(files("first text", "second\n"), out)
        assert calls == [(("first text",), {}), (("second\n",), {})]

    def test_instance_attribute_override(self, tmp_path, files, out):
        class Plain(QBCompressor):
            pass

        c = fresh(tmp_path, Plain)
        c.tokenize = lambda text: [text.upper()]
        c.encode_files(files("ab"), out)
        assert c.global_dict == {"AB": 1}

    def test_subclass_without_override_uses_builtin(self, tmp_path, files, out):
        class Plain(QBCompressor):
            pass

        c = fresh(tmp_path, Plain)
        c.encode_files(files("a b", "b c"), out)
        assert ids_in(out) == [1, 2, 3, 3, 2, 4]

    def test_override_naming_the_builtin_method(self, tmp_path, files, out):
        class Same(QBCompressor):
            tokenize = QBCompressor.tokenize

        c = fresh(tmp_path, Same)
        c.encode_files(files("a b"), out)
        assert c.global_dict == {"a": 1, " ": 2, "b": 3}

    @pytest.mark.parametrize(
        "result, stored, records",
        [
            (["x", "y"], {"x": 1, "y": 2}, [1, 2, 1, 2]),
            ([], {}, []),
            (["same", "same"], {"same": 1}, [1, 1, 1, 1]),
            (["", "x"], {"": 1, "x": 2}, [1, 2, 1, 2]),
            ([None, "n"], {None: 1, "n": 2}, [1, 2, 1, 2]),
        ],
    )
    def test_override_result_becomes_the_tokens(self, tmp_path, files, out, result, stored,
                                                 records):
        class Other(QBCompressor):
            def tokenize(self, text):
                return list(result)

        c = fresh(tmp_path, Other)
        c.encode_files(files("ignored", "also ignored"), out)
        assert c.global_dict == stored
        assert c.inverse_dict == {v: k for k, v in stored.items()}
        assert c.next_id == len(stored) + 1
        assert ids_in(out) == records
        assert load_package(out)["file_boundaries"] == [len(result), 2 * len(result)]

    def test_tokens_equal_but_distinct_objects_share_an_id(self, tmp_path, files, out):
        class Copies(QBCompressor):
            def tokenize(self, text):
                return ["".join(["to", "ken"]) for _ in range(3)]

        c = fresh(tmp_path, Copies)
        c.encode_files(files("x"), out)
        assert ids_in(out) == [1, 1, 1]

    class ListSub(list):
        pass

    @pytest.mark.parametrize(
        "result, message",
        [
            (("a",), r"^Expected list, got tuple$"),
            ("a", r"^Expected list, got str$"),
            (ListSub(["a"]), r"^Expected list, got ListSub$"),
            (iter(["a"]), r"^Expected list, got list_iterator$"),
        ],
    )
    def test_override_returning_a_non_list(self, tmp_path, files, out, result, message):
        class Odd(QBCompressor):
            def tokenize(self, text):
                return result

        c = fresh(tmp_path, Odd)
        before = snapshot(c)
        exc = raises(TypeError, c.encode_files, files("a"), out, match=message)
        assert entries(exc) == [(TOKENIZE, 38)] + at(53, 52)
        assert snapshot(c) == before
        assert not os.path.exists(out)

    def test_override_returning_none(self, tmp_path, files, out):
        class Nothing(QBCompressor):
            def tokenize(self, text):
                return None

        c = fresh(tmp_path, Nothing)
        before = snapshot(c)
        exc = raises(TypeError, c.encode_files, files("a"), out,
                     match=r"^'NoneType' object is not iterable$")
        assert entries(exc) == at(54, 52)
        assert snapshot(c) == before
        assert not os.path.exists(out)

    def test_override_error_propagates_unchanged(self, tmp_path, files, out):
        error = ArithmeticError("from the override")

        class Failing(QBCompressor):
            def tokenize(self, text):
                raise error

        c = fresh(tmp_path, Failing)
        before = snapshot(c)
        exc = raises(ArithmeticError, c.encode_files, files("a"), out)
        assert exc is error
        assert entries(exc) == [(TOKENIZE, 38)] + at(53, 52)
        assert snapshot(c) == before

    @pytest.mark.parametrize("kind", ["property", "not-callable"])
    def test_override_lookup_or_call_fails(self, tmp_path, files, out, kind):
        if kind == "property":
            class Odd(QBCompressor):
                @property
                def tokenize(self):
                    raise KeyError("lookup")
            exc_type = KeyError
        else:
            class Odd(QBCompressor):
                tokenize = 5
            exc_type = TypeError
        c = fresh(tmp_path, Odd)
        exc = raises(exc_type, c.encode_files, files("a"), out)
        assert entries(exc) == [(TOKENIZE, 38)] + at(53, 52)
        assert c.global_dict == {}

    class StrSub(str):
        pass

    @pytest.mark.parametrize(
        "bad, message",
        [
            (5, r"^Expected str, got int$"),
            (b"b", r"^Expected str, got bytes$"),
            (StrSub("b"), r"^Expected str, got StrSub$"),
            (["b"], r"^Expected str, got list$"),
        ],
    )
    def test_non_str_token_stops_the_id_phase(self, tmp_path, files, out, bad, message):
        class Odd(QBCompressor):
            def tokenize(self, text):
                return ["a", " ", bad, "c"]

        c = fresh(tmp_path, Odd)
        exc = raises(TypeError, c.encode_files, files("x"), out, match=message)
        assert entries(exc) == at(65)
        # Ids given to the tokens before it stay.
        assert c.global_dict == {"a": 1, " ": 2}
        assert c.inverse_dict == {1: "a", 2: " "}
        assert c.next_id == 3
        assert not os.path.exists(out)


# Id phase ----------------------------------------------------------------------------


class TestIds:
    def test_fresh_compressor_example(self, tmp_path, files, out):
        c = fresh(tmp_path)
        size = c.encode_files(files("a b", "b c"), out)
        assert ids_in(out) == [1, 2, 3, 3, 2, 4]
        assert load_package(out)["file_boundaries"] == [3, 6]
        assert c.global_dict == {"a": 1, " ": 2, "b": 3, "c": 4}
        assert list(c.inverse_dict.items()) == [(1, "a"), (2, " "), (3, "b"), (4, "c")]
        assert c.next_id == 5
        assert size == len(load_package(out)["compressed"])

    def test_second_call_with_same_inputs_adds_nothing(self, tmp_path, files, out):
        c = fresh(tmp_path)
        paths = files("a b", "b c")
        c.encode_files(paths, out)
        first = ids_in(out)
        before = snapshot(c)
        c.encode_files(paths, out)
        assert ids_in(out) == first
        assert snapshot(c) == before

    def test_maps_read_from_the_compressor_are_the_live_ones(self, tmp_path, files, out):
        c = fresh(tmp_path)
        forward, inverse = c.global_dict, c.inverse_dict
        c.encode_files(files("a b"), out)
        assert forward == {"a": 1, " ": 2, "b": 3} and inverse == {1: "a", 2: " ", 3: "b"}
        assert c.global_dict is forward and c.inverse_dict is inverse

    @pytest.mark.parametrize(
        "value, record",
        [
            (3.7, 3),
            (True, 1),
            (IntLike(12), 12),
            (0, 0),
            (MAX_ID, MAX_ID),
        ],
    )
    def test_known_id_goes_through_int_conversion(self, tmp_path, files, out, value, record):
        c = fresh(tmp_path)
        c.global_dict = {"k": value}
        c.next_id = 100
        c.encode_files(files("k"), out)
        assert ids_in(out) == [record]
        assert c.next_id == 100

    @pytest.mark.parametrize(
        "value, exc_type, message",
        [
            ("x", TypeError, r"^an integer is required$"),
            (None, TypeError, r"^an integer is required$"),
            (2**31, OverflowError, r"^value too large to convert to int$"),
            (-2**31 - 1, OverflowError, r"^value too large to convert to int$"),
            (2**64, OverflowError, r"^Python int too large to convert to C long$"),
            (IntLike(1.5), TypeError, r"^__int__ returned non-int \(type float\)$"),
        ],
    )
    def test_bad_known_id(self, tmp_path, files, out, value, exc_type, message):
        c = fresh(tmp_path)
        c.global_dict = {"bad": value}
        exc = raises(exc_type, c.encode_files, files("new bad"), out, match=message)
        assert entries(exc) == at(72)
        assert c.global_dict == {"bad": value, "new": 1, " ": 2}
        assert c.inverse_dict == {1: "new", 2: " "}
        assert c.next_id == 3
        assert not os.path.exists(out)

    @pytest.mark.parametrize("value", [-1, -5, -2**31, IntLike(-7)])
    def test_negative_stored_id_is_refused_before_output(self, tmp_path, files, out, value):
        c = fresh(tmp_path)
        c.global_dict = {"neg": value}
        number = str(int(value))
        exc = raises(ValueError, c.encode_files, files("new neg"), out, match=number)
        assert entries(exc) == at(72)
        assert c.global_dict == {"neg": value, "new": 1, " ": 2}
        assert c.next_id == 3
        assert not os.path.exists(out)

    @pytest.mark.parametrize("next_id", [-1, -3, -2**31])
    def test_negative_next_id_is_refused_before_output(self, tmp_path, files, out, next_id):
        c = fresh(tmp_path)
        c.next_id = next_id
        exc = raises(ValueError, c.encode_files, files("a"), out, match=str(next_id))
        assert entries(exc) == at(67)
        assert c.global_dict == {} and c.inverse_dict == {}
        assert c.next_id == next_id
        assert not os.path.exists(out)

    def test_negative_next_id_after_some_additions(self, tmp_path, files, out):
        # Only ids below next_id (none here) can raise it: -1 stays -1.
        c = fresh(tmp_path)
        c.global_dict = {"old": -9}
        c.next_id = -1
        exc = raises(ValueError, c.encode_files, files("old new"), out, match="-9")
        assert entries(exc) == at(72)
        assert c.next_id == -1

    def test_negative_next_id_below_adopted_ids_is_raised(self, tmp_path, files, out):
        c = fresh(tmp_path)
        c.global_dict = {"old": 0}
        c.next_id = -5
        c.encode_files(files("new"), out)
        assert ids_in(out) == [1]
        assert c.next_id == 2

    @pytest.mark.parametrize(
        "stored, next_id, new_id",
        [
            ({"a": 10}, 1, 11),
            ({"a": 10}, 10, 11),
            ({"a": 10}, 11, 11),
            ({"a": 10}, 50, 50),
            ({"a": 10, "b": 30, "c": 20}, 5, 31),
            ({"a": True}, 1, 2),
            ({"a": 2**40, "b": 3}, 1, 4),
            ({"a": -7}, 1, 1),
            ({"a": 2.0}, 5, 5),
            # A float value is the id it converts to.
            ({"a": 2.9}, 1, 3),
            ({"a": -0.5}, 0, 1),
            ({"a": float("nan"), "b": float("-inf"), "c": 3e10, "d": 4}, 1, 5),
            ({"a": "text", "b": 4}, 1, 5),
            ({"a": 0}, 0, 1),
        ],
    )
    def test_new_ids_clear_ids_already_in_a_dict(self, tmp_path, files, out, stored, next_id,
                                                  new_id):
        c = fresh(tmp_path)
        c.global_dict = dict(stored)
        c.next_id = next_id
        c.encode_files(files("new"), out)
        assert c.global_dict["new"] == new_id
        assert c.inverse_dict == {new_id: "new"}
        assert c.next_id == new_id + 1
        assert ids_in(out) == [new_id]

    def test_dict_subclass_is_guarded_too(self, tmp_path, files, out, captured):
        class Sub(dict):
            pass

        c = fresh(tmp_path)
        c.global_dict = Sub({"a": 41})
        c.encode_files(files("new"), out)
        assert c.global_dict["new"] == 42
        assert ids_of(captured[0]) == [42]

    def test_next_id_is_not_raised_without_a_new_token(self, tmp_path, files, out):
        c = fresh(tmp_path)
        c.global_dict = {"a": 10}
        c.encode_files(files("a"), out)
        assert c.next_id == 1

    def test_ids_added_by_the_host_between_calls(self, tmp_path, files, out):
        c = fresh(tmp_path)
        c.encode_files(files("a"), out)
        c.global_dict["host"] = 500
        c.encode_files(files("b"), out)
        assert c.global_dict["b"] == 501
        del c.global_dict["host"]
        c.global_dict["other"] = 700
        c.encode_files(files("c"), out)
        assert c.global_dict["c"] == 701

    @pytest.mark.parametrize("words", [1, 1_200_000])
    def test_one_dict_as_both_maps(self, tmp_path, files, out, words):
        # Each new token's forward entry and then its reverse entry go into
        # the one dict, token by token, and the ids run on from there.
        text = " ".join(f"w{i % 50021}" for i in range(words)) + " a b"
        c = fresh(tmp_path)
        both = {}
        c.global_dict = c.inverse_dict = both
        c.encode_files(files(text), out)
        new = list(dict.fromkeys(re.findall(r"\S+|\s+", text)))
        assert list(both.items()) == [e for i, t in enumerate(new, 1) for e in ((t, i), (i, t))]
        assert c.next_id == len(new) + 1
        assert ids_in(out) == [both[t] for t in re.findall(r"\S+|\s+", text)]
        c.encode_files(files("c"), out)
        assert both["c"] == len(new) + 1 and c.next_id == len(new) + 2

    # Fewer reverse entries than new tokens, and more.
    @pytest.mark.parametrize("others", [1, 10])
    def test_value_dropped_from_the_reverse_map_sees_the_maps_token_by_token(self, tmp_path,
                                                                             files, out, others):
        # An empty forward map beside a reverse map holding one of the ids
        # to come: the value stored over goes while that token is stored,
        # and its finaliser sees the maps as storing one by one leaves them.
        c = fresh(tmp_path)
        seen = []

        class Finalized:
            def __del__(self):
                seen.append((dict(c.global_dict), c.next_id))
                c.next_id = 100

        c.inverse_dict = {2: Finalized(), **{50 + i: "old" for i in range(others)}}
        c.encode_files(files("a b c"), out)
        assert seen == [({"a": 1, " ": 2}, 2)]
        assert c.global_dict == {"a": 1, " ": 2, "b": 101, "c": 102}
        assert c.next_id == 103
        assert ids_in(out) == [1, 2, 101, 2, 102]

    def test_next_id_set_while_a_new_token_is_stored(self, tmp_path, monkeypatch, files, out):
        # next_id is advanced from what it holds after the two stores.
        c = fresh(tmp_path)
        monkeypatch.setattr(SetsNextId, "compressor", c)
        c.global_dict = SetsNextId()
        c.encode_files(files("a b c"), out)
        assert dict(c.global_dict) == {"a": 1, " ": 101, "b": 102, "c": 103}
        assert c.next_id == 104
        assert ids_in(out) == [1, 101, 102, 101, 103]

    def test_ids_added_during_the_id_phase(self, tmp_path, files, out, captured):
        class Adding(dict):
            def __contains__(self, key):
                if key == "b":
                    self["zz"] = 100
                return super().__contains__(key)

        c = fresh(tmp_path)
        c.global_dict = Adding()
        c.encode_files(files("a b"), out)
        assert ids_of(captured[0]) == [1, 2, 101]
        assert c.next_id == 102

    def test_custom_mapping_protocol_calls(self, tmp_path, files, out):
        log = []
        c = fresh(tmp_path)
        c.global_dict = RecordingMap("g", log, {"a": 1})
        c.inverse_dict = RecordingMap("i", log, {1: "a"})
        c.next_id = 2
        c.encode_files(files("a b a"), out)
        assert log == [
            ("g", "in", "a"), ("g", "get", "a"),
            ("g", "in", " "), ("g", "set", " ", 2), ("i", "set", 2, " "),
            ("g", "in", "b"), ("g", "set", "b", 3), ("i", "set", 3, "b"),
            ("g", "in", " "), ("g", "get", " "),
            ("g", "in", "a"), ("g", "get", "a"),
        ]
        assert ids_in(out) == [1, 2, 3, 2, 1]
        assert c.next_id == 4

    def test_custom_mapping_is_not_scanned_for_ids(self, tmp_path, files, out):
        # Only dicts are examined; a mapping only sees the protocol calls.
        log = []
        c = fresh(tmp_path)
        c.global_dict = RecordingMap("g", log, {"a": 10})
        c.encode_files(files("b"), out)
        assert log == [("g", "in", "b"), ("g", "set", "b", 1)]
        assert c.global_dict.data == {"a": 10, "b": 1}

    def test_dict_subclass_protocol_overrides_are_used(self, tmp_path, files, out, captured):
        class Answering(dict):
            def __contains__(self, key):
                return key == "known" or super().__contains__(key)

            def __missing__(self, key):
                return 7

            def __getitem__(self, key):
                value = super().__getitem__(key)
                return value * 10 if key == "a" else value

        c = fresh(tmp_path)
        c.global_dict = Answering()
        c.encode_files(files("a known a"), out)
        # known: 7 (missing); a: new 1, then read back as 10.
        assert ids_of(captured[0]) == [1, 2, 7, 2, 10]

    def test_int_conversion_changing_the_map(self, tmp_path, files, out, captured):
        c = fresh(tmp_path)

        class Rewrites:
            def __int__(self):
                c.global_dict["b"] = 77
                return 5

        class Tokens(QBCompressor):
            def tokenize(self, text):
                return ["b", "a", "b", "a"]

        c = fresh(tmp_path, Tokens)
        c.global_dict = {"a": Rewrites()}
        c.encode_files(files("x"), out)
        assert ids_of(captured[0]) == [1, 5, 77, 5]

    def test_key_equality_changing_the_map(self, tmp_path, files, out, captured):
        class Tokens(QBCompressor):
            def tokenize(self, text):
                return ["a", "b", "a", "c"]

        c = fresh(tmp_path, Tokens)

        class Colliding:
            # Compared with the token "b" when "b" is looked up.
            def __hash__(self):
                return hash("b")

            def __eq__(self, other):
                c.global_dict["a"] = 99
                c.global_dict["z"] = 500
                return False

        c.global_dict = {Colliding(): 50}
        c.encode_files(files("x"), out)
        assert ids_of(captured[0]) == [51, 501, 99, 502]
        assert c.next_id == 503

    def test_int_conversion_replacing_the_maps(self, tmp_path, files, out):
        class Tokens(QBCompressor):
            def tokenize(self, text):
                return ["b", "a", "b", "c"]

        c = fresh(tmp_path, Tokens)
        replacement, inverse = {"b": 88}, {}

        class Replaces:
            def __int__(self):
                c.global_dict = replacement
                c.inverse_dict = inverse
                return 5

        c.global_dict = {"a": Replaces()}
        c.encode_files(files("x"), out)
        assert ids_in(out) == [1, 5, 88, 89]
        assert replacement == {"b": 88, "c": 89}
        assert inverse == {89: "c"}
        assert load_package(out)["global_dict"] == replacement

    @pytest.mark.parametrize(
        "forward, exc_type, message, line",
        [
            (None, TypeError, r"^argument of type 'NoneType' is not iterable$", 66),
            (5, TypeError, r"^argument of type 'int' is not iterable$", 66),
            (types.MappingProxyType({}), TypeError,
             r"^'mappingproxy' object does not support item assignment$", 68),
            ([], TypeError, r"^list indices must be integers or slices, not str$", 68),
        ],
    )
    def test_forward_map_failures(self, tmp_path, files, out, forward, exc_type, message, line):
        c = fresh(tmp_path)
        c.global_dict = forward
        inverse = c.inverse_dict
        exc = raises(exc_type, c.encode_files, files("a"), out, match=message)
        assert entries(exc) == at(line)
        assert c.inverse_dict is inverse and inverse == {}
        assert c.next_id == 1
        assert not os.path.exists(out)

    @pytest.mark.parametrize(
        "inverse, message",
        [
            (None, r"^'NoneType' object does not support item assignment$"),
            ((), r"^'tuple' object does not support item assignment$"),
            (types.MappingProxyType({}), r"^'mappingproxy' object does not support item assignment$"),
        ],
    )
    def test_inverse_map_failure_leaves_the_forward_entry(self, tmp_path, files, out, inverse,
                                                          message):
        c = fresh(tmp_path)
        c.inverse_dict = inverse
        exc = raises(TypeError, c.encode_files, files("a"), out, match=message)
        assert entries(exc) == at(69)
        assert c.global_dict == {"a": 1}
        assert c.next_id == 1
        assert not os.path.exists(out)

    def test_last_id_is_handed_out(self, tmp_path, files, out):
        c = fresh(tmp_path)
        c.next_id = MAX_ID - 1
        c.encode_files(files("a"), out)
        assert ids_in(out) == [MAX_ID - 1]
        assert c.next_id == MAX_ID

    @pytest.mark.parametrize("text", ["b", "a b"])
    def test_ids_run_out(self, tmp_path, files, out, text):
        c = fresh(tmp_path)
        c.global_dict = {"a": 5}
        c.inverse_dict = {5: "a"}
        c.next_id = MAX_ID
        exc = raises(OverflowError, c.encode_files, files(text), out, match=str(MAX_ID))
        assert entries(exc) == at(67)
        assert c.global_dict == {"a": 5} and c.inverse_dict == {5: "a"}
        assert c.next_id == MAX_ID
        assert not os.path.exists(out)

    def test_ids_run_out_after_an_adopted_top_id(self, tmp_path, files, out):
        c = fresh(tmp_path)
        c.global_dict = {"top": MAX_ID}
        with pytest.raises(OverflowError):
            c.encode_files(files("new"), out)
        assert c.global_dict == {"top": MAX_ID}
        assert not os.path.exists(out)
        # The known top id itself is still written.
        c.encode_files(files("top"), out)
        assert ids_in(out) == [MAX_ID]

    @pytest.mark.parametrize("inverse", [{}, {7: "old", MAX_ID - 3: "older"}],
                             ids=["empty", "holding-ids"])
    def test_ids_run_out_part_way_into_an_empty_map(self, tmp_path, files, out, inverse):
        # Four new tokens, ids for two: those two are stored in order, the
        # third fails, and nothing is written.
        c = fresh(tmp_path)
        c.inverse_dict = dict(inverse)
        c.next_id = MAX_ID - 2
        exc = raises(OverflowError, c.encode_files, files("w x", "y"), out, match=str(MAX_ID))
        assert entries(exc) == at(67)
        assert list(c.global_dict.items()) == [("w", MAX_ID - 2), (" ", MAX_ID - 1)]
        assert list(c.inverse_dict.items()) == list(inverse.items()) + [
            (MAX_ID - 2, "w"), (MAX_ID - 1, " ")]
        assert c.next_id == MAX_ID
        assert not os.path.exists(out)

    # An empty inverse map is filled in place; one holding entries gets the
    # new ones merged, an entry at a reused id keeping its position.
    @pytest.mark.parametrize("inverse", [{}, {2: "stale", -5: "other"}],
                             ids=["empty", "holding-entries"])
    def test_new_tokens_of_an_empty_map_keep_first_occurrence_order(self, tmp_path, files,
                                                                    out, inverse):
        # Many distinct tokens, repeated in another order in a second file:
        # ids follow first occurrence, inverse entries follow the ids.
        words = [f"w{i}" for i in range(3000)]
        c = fresh(tmp_path)
        c.inverse_dict.update(inverse)
        c.encode_files(files(" ".join(words), " ".join(reversed(words))), out)
        expected = {}
        for token in [t for w in words for t in (w, " ")][:-1]:
            expected.setdefault(token, len(expected) + 1)
        assert list(c.global_dict.items()) == list(expected.items())
        reference = dict(inverse)
        reference.update((i, t) for t, i in expected.items())
        assert list(c.inverse_dict.items()) == list(reference.items())
        stream = ids_in(out)
        assert stream[:3] == [expected["w0"], expected[" "], expected["w1"]]
        assert stream[-1] == expected["w0"] and c.next_id == len(expected) + 1

    # Sizes on either side of where the maps' tables are built whole, and
    # ones whose tables index with 2 and 4 bytes; empty maps as made, as
    # cleared (both share the host's empty table) and as emptied entry by
    # entry (which keep a table of their own).
    @pytest.mark.parametrize("count", [900, 1500, 60_000])
    @pytest.mark.parametrize("emptied", ["new", "cleared", "popped"])
    @pytest.mark.parametrize("threads", [0, 4])
    def test_maps_are_those_stored_one_by_one(self, tmp_path, files, out, count, emptied,
                                              threads):
        c = fresh(tmp_path)
        if emptied != "new":
            for m in (c.global_dict, c.inverse_dict):
                m.update({"x": 1, 2: "y"})
                m.clear() if emptied == "cleared" else (m.popitem(), m.popitem())
        words = [f"w{i}" for i in range(count)]
        c.encode_files(files(" ".join(words) + "\n" + " ".join(reversed(words))), out,
                       6, threads)
        forward, inverse = {}, {}
        if emptied == "popped":
            for m in (forward, inverse):
                m.update({"x": 1, 2: "y"})
                m.popitem(), m.popitem()
        for token, id_ in c.global_dict.items():
            forward[token] = id_
            inverse[id_] = token
        assert len(forward) == count + 2 and c.next_id == count + 3
        for made, stored in ((c.global_dict, forward), (c.inverse_dict, inverse)):
            assert list(made.items()) == list(stored.items())
            assert sys.getsizeof(made) == sys.getsizeof(stored)
            # Every key is found where the host looks for it, and the maps
            # take further stores and deletions as any dict does.
            assert all(made[k] is v for k, v in stored.items())
        c.global_dict["later"] = -1
        del c.global_dict["w0"]
        c.inverse_dict.pop(count + 2)
        assert "w0" not in c.global_dict and c.global_dict["later"] == -1
        assert len(c.global_dict) == count + 2 and len(c.inverse_dict) == count + 1
        c.encode_files(files("w0 w1"), out, 6, threads)
        assert ids_in(out) == [count + 3, forward[" "], forward["w1"]]

    def test_switching_between_native_and_host_tokenizing_mid_call(self, tmp_path,
                                                                   monkeypatch, files, out):
        # Host code run between two files (here: basename) replaces `re`, so
        # that the files alternate between the native scanner and the host's
        # findall; the ids are those of a call that used only one of them.
        texts = ["a b c", "c d a", "b e", "f a f", "a"]
        reference = fresh(tmp_path)
        reference.encode_files(files(*texts), out)
        expected = ids_in(out)

        real_re = qbc_compressor.re
        wrapped = types.SimpleNamespace(findall=lambda p, t: real_re.findall(p, t))
        real_basename = os.path.basename

        def toggling_basename(path):
            qbc_compressor.re = wrapped if qbc_compressor.re is real_re else real_re
            return real_basename(path)

        c = fresh(tmp_path)
        paths = files(*texts)
        fake_os = types.SimpleNamespace(path=types.SimpleNamespace(basename=toggling_basename))
        monkeypatch.setattr(qbc_compressor, "os", fake_os)
        monkeypatch.setattr(qbc_compressor, "re", real_re)
        c.encode_files(paths, out)
        assert ids_in(out) == expected
        assert c.global_dict == reference.global_dict

    def test_a_failing_later_file_leaves_nothing_behind(self, tmp_path, files, out):
        # Files already handed to the scanner when a later one fails: the
        # call fails cleanly and the object stays usable.
        c = fresh(tmp_path)
        paths = files(*[f"text {i} " * 200 for i in range(20)])
        exc = raises(FileNotFoundError, c.encode_files, paths + [str(tmp_path / "nope")], out)
        assert entries(exc) == at(52)
        assert c.global_dict == {} and c.next_id == 1
        assert not os.path.exists(out)
        c.encode_files(paths, out)
        assert len(c.global_dict) == 22

    def test_more_tokens_than_a_package_holds(self, tmp_path, out):
        # 2**29 + 1 tokens in two files (about 0.5 GB of text and 2 GB of
        # memory): the call fails before any id is assigned, and tokens past
        # the limit are only counted.
        half = tmp_path / "half.txt"
        with open(half, "w") as f:
            chunk = "a " * (1 << 20)
            for _ in range(1 << 7):
                f.write(chunk)
        third = tmp_path / "third.txt"
        third.write_text("a b")
        fourth = tmp_path / "fourth.txt"
        fourth.write_text("c")
        c = fresh(tmp_path)
        c.global_dict["b"] = 7
        c.next_id = 8
        paths = [str(half), str(half), str(third), str(fourth)]
        exc = raises(OverflowError, c.encode_files, paths, out,
                     match=r"^536870916 tokens are more than the 536870912 one package can hold$")
        assert entries(exc) == at(59)
        assert c.global_dict == {"b": 7} and c.inverse_dict == {} and c.next_id == 8
        assert not os.path.exists(out)


# Output phase ---------------------------------------------------------------------------


class TestMemoryExhaustion:
    # A short run of new tokens, with each allocation failing in turn, and
    # one long enough for the maps' tables to be built whole, with every
    # few allocations failing in turn; there the ints of the ids, each with
    # a way round its failure, make a long stretch of successes.
    @pytest.mark.parametrize("count, step, enough", [(40, 1, 20), (1100, 7, 400)],
                             ids=["short", "long"])
    @pytest.mark.parametrize("existing", [{}, {"w3": 1, " ": 2}])
    def test_each_allocation_failing_in_turn(self, tmp_path, files, out, capfd, existing,
                                             count, step, enough):
        # Wherever the host runs out of memory, the call raises MemoryError
        # (or the host's own error for it) and the maps are what storing new
        # tokens one by one leaves: a prefix of them in the forward map, the
        # same prefix or one fewer in the inverse map, next_id past the
        # inverse map's ids; no error is reported on stderr. The next call
        # gives its new tokens ids that no stored token has.
        _testcapi = pytest.importorskip("_testcapi")
        words = " ".join(f"w{i}" for i in range(count))
        paths = files(words + "\n" + words)
        later = tmp_path / "later.txt"
        later.write_text("later-token", encoding="utf-8")
        new_tokens = [t for t in dict.fromkeys(re.findall(r"\S+|\s+", words + "\n"))
                      if t not in existing]
        start_id = len(existing) + 1
        failures = successes = 0
        for nth in range(0, 50_000, step):
            c = fresh(tmp_path)
            c.global_dict.update(existing)
            c.inverse_dict.update({v: k for k, v in existing.items()})
            c.next_id = start_id
            _testcapi.set_nomemory(nth, nth + 1)
            try:
                c.encode_files(paths, out)
                error = None
            except (MemoryError, RuntimeError) as exc:
                error = exc
            finally:
                _testcapi.remove_mem_hooks()
            forward = list(c.global_dict.items())[len(existing):]
            inverse = list(c.inverse_dict.items())[len(existing):]
            assert [k for k, _ in forward] == new_tokens[: len(forward)], nth
            assert [(v, k) for k, v in forward[: len(inverse)]] == inverse, nth
            assert len(forward) - len(inverse) in (0, 1), nth
            assert [v for v, _ in inverse] == list(range(start_id, start_id + len(inverse)))
            assert c.next_id == start_id + len(inverse), nth
            if error is None:
                # Some allocations have a way round them; past the call's
                # last one, every call succeeds.
                assert len(inverse) == len(new_tokens)
                successes += 1
                if successes == enough:
                    break
            else:
                failures += 1
                successes = 0
                c.encode_files([str(later)], out)
                ids = list(c.global_dict.values())
                assert len(set(ids)) == len(ids), nth
        assert failures > 20
        assert capfd.readouterr().err == ""


class TestOutput:
    @pytest.mark.parametrize("existing", [{}, {"a": 1}])
    def test_compressor_error_after_the_ids(self, tmp_path, files, out, existing):
        # The host's own compressor may start before the maps are filled;
        # its error still comes after every id is assigned, at its own line.
        c = fresh(tmp_path)
        c.global_dict.update(existing)
        c.inverse_dict.update({v: k for k, v in existing.items()})
        c.next_id = 5
        paths = files(*[f"w{i} " * 3 for i in range(300)])
        exc = raises(ValueError, c.encode_files, paths, out, zstd_level=100,
                     match=r"^level must be less than 23$")
        assert entries(exc) == at(80)
        assert len(c.global_dict) == len(existing) + 301 and c.next_id == 5 + 301
        assert c.inverse_dict == {v: k for k, v in c.global_dict.items()}
        assert not os.path.exists(out)
        # The object stays usable, and the next call sees the ids now stored.
        assert c.encode_files(paths[:1], out) > 0
        assert ids_in(out) == [c.global_dict["w0"], c.global_dict[" "]] * 3

    @pytest.mark.parametrize(
        "level, threads, words",
        # 60,000 words make 640 kB of records: one job for the worker
        # threads, past the size below which the library compresses without
        # them; 400,000 words, 3.2 MB: several jobs at the lower levels;
        # 1.2 million words, with the second file, 12.8 MB, where the output
        # is taken in pieces; and more worker threads asked for than a test
        # machine usually has processors.
        [(level, threads, words)
         for level, threads in [(6, 4), (1, 1), (-3, 0), (19, 2), (3, -1)]
         for words in [0, 30, 60_000, 400_000] if not (level == 19 and words > 30)]
        + [(6, 4, 1_200_000), (-3, 0, 1_200_000), (1, 2, 1_200_000), (3, 16, 1_200_000)],
    )
    @pytest.mark.parametrize("existing", [{}, {"w1": 7}])
    def test_frame_is_the_one_the_host_compressor_makes(self, tmp_path, files, out, level,
                                                        threads, words, existing):
        c = fresh(tmp_path)
        c.global_dict.update(existing)
        c.inverse_dict.update({v: k for k, v in existing.items()})
        text = " ".join(f"w{(i * 7919) % 50021}" for i in range(words))
        texts = [text, text[: len(text) // 3]]
        size = c.encode_files(files(*texts), out, level, threads)
        package = load_package(out)
        stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
        expected = zstandard.ZstdCompressor(level=level, threads=threads).compress(
            bytearray(stream))
        assert package["compressed"] == expected and size == len(expected)
        tokens = [t for x in texts for t in re.findall(r"\S+|\s+", x)]
        assert ids_in(out) == [c.global_dict[t] for t in tokens]
        assert c.inverse_dict == {v: k for k, v in c.global_dict.items()}

    @pytest.mark.parametrize("late", ["int-like", "changes the map", "not a number"])
    def test_value_met_late_in_a_large_call_with_known_tokens(self, tmp_path, monkeypatch, files,
                                                              out, late):
        # With tokens already in the maps, a large call's ids are looked up
        # once per distinct token. A stored value met late that is no int
        # (converting it runs host code, which may change the maps) sends
        # the rest of the call the host's way: the ids looked up before
        # stay, the later ones are what the changed maps give, and the
        # frame is the host compressor's.
        word = lambda i: f"w{(i * 7919) % 50021}"
        text = " ".join(word(i) for i in range(1_200_000))
        c = fresh(tmp_path)
        c.global_dict.update({"w1": 7})
        c.inverse_dict.update({7: "w1"})
        monkeypatch.setattr(StoresOnInt, "store", (c.global_dict, word(45_000), 99))
        # Words are first met in order, so this one's id is looked up after
        # those of some 80,000 tokens.
        c.global_dict[word(40_000)] = {"int-like": IntLike(12), "changes the map": StoresOnInt(),
                                       "not a number": "x"}[late]
        if late == "not a number":
            raises(TypeError, c.encode_files, files(text), out, match=r"^an integer is required$")
            assert not os.path.exists(out)
            return
        c.encode_files(files(text), out)
        compressed = load_package(out)["compressed"]
        stream = zstandard.ZstdDecompressor().decompress(compressed)
        assert compressed == zstandard.ZstdCompressor(level=6, threads=4).compress(
            bytearray(stream))
        expected = [int(c.global_dict[t]) for t in re.findall(r"\S+|\s+", text)]
        assert ids_in(out) == expected
        assert (expected[2 * 45_000] == 99) == (late == "changes the map")

    @pytest.mark.parametrize("shape, existing", [
        ("ascii", {}), ("ucs2", {}), ("ucs4", {}), ("long run at the middle", {}),
        ("one run", {}), ("two long texts", {}), ("two long texts", {"w1": 7}),
        ("many files past the backlog", {"w1": 7}), ("many files past the backlog", {})])
    def test_long_texts_scanned_in_two_parts(self, tmp_path, files, out, shape, existing):
        # A text of megabytes is scanned in two parts at once, cut where a
        # run begins: the ids, their order of first sight and each file's
        # token count must be those of scanning it whole.
        words = lambda n, pre: " ".join(f"{pre}{(i * 7919) % 50021}" for i in range(n))
        ucs2 = words(650_000, "\u0436")
        texts = {
            "ascii": [words(1_300_000, "w")],
            "ucs2": [ucs2],
            # Narrow words inside a wide text share ids with the same words
            # met in a narrow one.
            "ucs4": ["w1 w2", words(350_000, "\U0001f600") + "\n" + words(200_000, "w")],
            "long run at the middle": ["\U0001f600 b " * 270_000 + "x" * 50_000
                                       + " c \U0001f600" * 270_000],
            "one run": ["x" * 9_000_000, "x"],
            "two long texts": [words(1_300_000, "w"), "tail", ucs2],
            # More text than the scanner holds waiting (16 MiB as strs), in
            # files of under 8 MiB each, so that the reader waits for room.
            "many files past the backlog": [words(260_000, f"f{k}") if k % 4 else ucs2[k:2_000_000]
                                            for k in range(12)],
        }[shape]
        c = fresh(tmp_path)
        c.global_dict.update(existing)
        c.inverse_dict.update({v: k for k, v in existing.items()})
        c.encode_files(files(*texts), out)
        per_file = [re.findall(r"\S+|\s+", t) for t in texts]
        tokens = [t for f in per_file for t in f]
        assert ids_in(out) == [c.global_dict[t] for t in tokens]
        new = [t for t in dict.fromkeys(tokens) if t not in existing]
        assert list(c.global_dict)[len(existing):] == new
        ids = list(c.global_dict.values())[len(existing):]
        assert ids == list(range(ids[0], ids[0] + len(new)))
        package = load_package(out)
        assert package["file_boundaries"] == list(
            itertools.accumulate(len(f) for f in per_file))
        # Compressed while the parts were still being taken in, the frame is
        # still the one the host's compressor makes of the records.
        stream = zstandard.ZstdDecompressor().decompress(package["compressed"])
        assert package["compressed"] == zstandard.ZstdCompressor(level=6, threads=4).compress(
            stream)

    def test_long_text_held_elsewhere_stays_intact(self, tmp_path, out):
        # A long text that only the call holds may be given back to the
        # system as it is scanned; one that a read() hands out and keeps
        # must come through whole, in every call that reads it. The module
        # takes `open` when it is imported, so the one patched in goes first.
        import subprocess
        import sys
        code = f"""
import builtins, hashlib, pickle, re, struct, zstandard
text = " ".join(f"w{{(i * 7919) % 50021}}" for i in range(1_300_000))
digest = hashlib.sha256(text.encode()).digest()

class File:
    def __enter__(self):
        return self
    def __exit__(self, *exc):
        return False
    def read(self):
        return text

real_open = builtins.open
builtins.open = lambda path, mode="r", *args, **kwargs: (
    File() if mode == "r" else real_open(path, mode, *args, **kwargs))
import qbc_compressor
c = qbc_compressor.QBCompressor({str(tmp_path / "never.bin")!r})
c.encode_files(["a", "b"], {out!r})
assert hashlib.sha256(text.encode()).digest() == digest, "text changed"
with real_open({out!r}, "rb") as f:
    stream = zstandard.ZstdDecompressor().decompress(pickle.load(f)["compressed"])
ids = list(struct.unpack(">%dI" % (len(stream) // 4), stream))
assert ids == [c.global_dict[t] for t in re.findall(r"\\S+|\\s+", text)] * 2, "ids"
print("done")
"""
        proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                              text=True, timeout=300)
        assert (proc.returncode, proc.stdout) == (0, "done\n"), proc.stderr

    @pytest.mark.parametrize("change", ["insert", "next_id", "replace"])
    def test_maps_changed_while_the_texts_are_scanned(self, tmp_path, monkeypatch, files, out,
                                                      change):
        # A large call into empty maps compresses while its last texts are
        # still being scanned, taking the ids to be the slots. Another
        # thread that changes the maps meanwhile (it gets its turn while
        # the call waits for the scan) changes what the ids are: the records
        # must be the ones the maps give, wherever the change lands.
        import threading
        import time
        c = fresh(tmp_path)
        text = " ".join(f"w{(i * 7919) % 50021}" for i in range(1_200_000))
        paths = files(text[:1000], text)
        real_os = qbc_compressor.os
        threads = []

        def make_change():
            time.sleep(0.005)
            if change == "insert":
                c.global_dict["not a token"] = 70000
            elif change == "next_id":
                c.next_id = 70000
            else:
                c.inverse_dict = {}

        def basename(p):
            if p == paths[-1]:
                threads.append(threading.Thread(target=make_change))
                threads[-1].start()
            return real_os.path.basename(p)

        monkeypatch.setattr(qbc_compressor, "os", types.SimpleNamespace(
            path=types.SimpleNamespace(basename=basename, join=real_os.path.join),
            sep=real_os.sep, altsep=real_os.altsep))
        c.encode_files(paths, out)
        threads[0].join()
        tokens = re.findall(r"\S+|\s+", text[:1000]) + re.findall(r"\S+|\s+", text)
        assert ids_in(out) == [c.global_dict[t] for t in tokens]
        assert len(set(c.global_dict.values())) == len(c.global_dict)

    def test_negative_next_id_set_while_reading_a_large_call(self, tmp_path, monkeypatch,
                                                             files, out):
        # Set after the first text is read, before the count that decides on
        # compressing ahead: the ids are not the slots then.
        c = fresh(tmp_path)
        text = " ".join(f"w{i}" for i in range(1_200_000))
        paths = files(text, "tail")
        real_os = qbc_compressor.os

        def basename(p):
            if p == paths[-1]:
                c.next_id = -5
            return real_os.path.basename(p)

        monkeypatch.setattr(qbc_compressor, "os", types.SimpleNamespace(
            path=types.SimpleNamespace(basename=basename, join=real_os.path.join),
            sep=real_os.sep, altsep=real_os.altsep))
        raises(ValueError, c.encode_files, paths, out,
               match=r"^token id -5 cannot be stored in a package")
        assert not os.path.exists(out)

    def test_replaced_compressor_class_of_the_host_module(self, tmp_path, monkeypatch, files,
                                                          out):
        calls = []
        real = zstandard.ZstdCompressor

        class Compressor:
            # A wrapper, not a subclass: the host's compressor type does not
            # survive being subclassed.
            def __init__(self, **kwargs):
                self.inner = real(**kwargs)

            def compress(self, data):
                calls.append(bytes(data))
                return self.inner.compress(data)

        monkeypatch.setattr(zstandard, "ZstdCompressor", Compressor)
        c = fresh(tmp_path)
        c.encode_files(files("a b", "b"), out)
        assert calls == [struct.pack(">4I", 1, 2, 3, 3)]
        assert ids_in(out) == [1, 2, 3, 3]

    def test_compressor_gets_the_whole_record_array(self, tmp_path, monkeypatch, files, out):
        fake = RecordingZstd(result=b"xyz")
        monkeypatch.setattr(qbc_compressor, "zstd", fake)
        c = fresh(tmp_path)
        assert c.encode_files(files("a b", "b"), out) == 3
        [(args, kwargs)] = fake.compressed
        assert kwargs == {}
        [data] = args
        assert type(data) is bytearray
        assert bytes(data) == struct.pack(">4I", 1, 2, 3, 3)
        assert load_package(out)["compressed"] == b"xyz"

    def test_a_new_compressor_for_each_call(self, tmp_path, monkeypatch, files, out):
        fake = RecordingZstd()
        monkeypatch.setattr(qbc_compressor, "zstd", fake)
        c = fresh(tmp_path)
        c.encode_files(files("a"), out)
        c.encode_files([], out, 1, 1)
        assert [kw for _, kw in fake.made] == [{"level": 6, "threads": 4},
                                               {"level": 1, "threads": 1}]
        assert bytes(fake.compressed[1][0][0]) == b""

    @pytest.mark.parametrize("level, threads", [(1, 0), (-5, 1), (19, 2), (22, 0), (3, 8)])
    def test_real_levels_and_threads(self, tmp_path, files, out, level, threads):
        c = fresh(tmp_path)
        c.encode_files(files("a b " * 50, "c"), out, level, threads)
        assert ids_in(out) == [1, 2, 3, 2] * 50 + [4]

    @pytest.mark.parametrize(
        "replacement, exc_type, message",
        [
            (RecordingZstd(fail=MemoryError("compress")), MemoryError, "compress"),
            (types.SimpleNamespace(), AttributeError, "ZstdCompressor"),
            ("delete", NameError, r"^name 'zstd' is not defined$"),
            (zstandard, ValueError, "level must be less than 23"),
        ],
    )
    def test_compression_failure(self, tmp_path, monkeypatch, files, out, replacement,
                                 exc_type, message):
        if replacement == "delete":
            monkeypatch.delattr(qbc_compressor, "zstd")
        else:
            monkeypatch.setattr(qbc_compressor, "zstd", replacement)
        c = fresh(tmp_path)
        exc = raises(exc_type, c.encode_files, files("a b"), out, 99, match=message)
        assert entries(exc) == at(80)
        assert c.global_dict == {"a": 1, " ": 2, "b": 3} and c.next_id == 4
        assert not os.path.exists(out)

    def test_package_object_handed_to_pickle(self, tmp_path, monkeypatch, files, out):
        dumped = []

        def dump(*args, **kwargs):
            obj, f = args
            dumped.append((args, kwargs, f.mode, f.writable()))
            f.write(b"stand-in")

        monkeypatch.setattr(qbc_compressor, "pickle", types.SimpleNamespace(dump=dump))
        c = fresh(tmp_path)
        size = c.encode_files(files("a b"), out)
        [((package, _), kwargs, mode, writable)] = dumped
        assert kwargs == {} and mode == "wb" and writable
        assert type(package) is dict
        assert list(package) == ["compressed", "file_boundaries", "filenames", "global_dict"]
        assert package["global_dict"] is c.global_dict
        assert package["file_boundaries"] == [3] and package["filenames"] == ["f0"]
        assert type(package["compressed"]) is bytes and len(package["compressed"]) == size
        assert open(out, "rb").read() == b"stand-in"

    @pytest.mark.parametrize(
        "output, exc_type",
        [
            (None, TypeError),
            ("missing-dir/p.qbc", FileNotFoundError),
            ("a-directory", IsADirectoryError),
        ],
    )
    def test_output_cannot_be_opened(self, tmp_path, monkeypatch, files, output, exc_type):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "a-directory").mkdir()
        c = fresh(tmp_path)
        paths = files("a b")
        listing = sorted(os.listdir(tmp_path))
        exc = raises(exc_type, c.encode_files, paths, output)
        assert entries(exc) == at(89)
        assert c.global_dict == {"a": 1, " ": 2, "b": 3} and c.next_id == 4
        assert sorted(os.listdir(tmp_path)) == listing

    class Unpicklable:
        def __reduce__(self):
            raise RuntimeError("cannot be pickled")

    @pytest.mark.parametrize("previous", [None, b"previous package bytes"])
    def test_failed_write_keeps_the_previous_package(self, tmp_path, files, previous):
        out_dir = tmp_path / "out"
        out_dir.mkdir()
        target = out_dir / "p.qbc"
        if previous is not None:
            target.write_bytes(previous)
        listing = sorted(os.listdir(out_dir))
        c = fresh(tmp_path)
        c.global_dict["unused"] = self.Unpicklable()
        exc = raises(RuntimeError, c.encode_files, files("a b"), str(target),
                     match="cannot be pickled")
        assert entries(exc) == at(90, 89)
        assert sorted(os.listdir(out_dir)) == listing
        if previous is not None:
            assert target.read_bytes() == previous
        assert c.global_dict["b"] == 3 and c.next_id == 4

    def test_failing_stand_in_dump(self, tmp_path, monkeypatch, files):
        def dump(obj, f):
            f.write(b"partial")
            raise OSError("disk full")

        monkeypatch.setattr(qbc_compressor, "pickle", types.SimpleNamespace(dump=dump))
        target = tmp_path / "out" / "p.qbc"
        target.parent.mkdir()
        target.write_bytes(b"old")
        exc = raises(OSError, fresh(tmp_path).encode_files, files("a"), str(target),
                     match="disk full")
        assert entries(exc) == at(90, 89)
        assert os.listdir(target.parent) == ["p.qbc"]
        assert target.read_bytes() == b"old"

    def test_replaces_an_existing_package(self, tmp_path, files, out):
        pathlib.Path(out).write_bytes(b"x" * 10000)
        c = fresh(tmp_path)
        c.encode_files(files("new"), out)
        assert load_package(out)["filenames"] == ["f0"]

    def test_dev_null_as_output(self, tmp_path, files):
        c = fresh(tmp_path)
        assert c.encode_files(files("a b"), os.devnull) > 0
        assert c.global_dict == {"a": 1, " ": 2, "b": 3}
        assert os.path.exists(os.devnull)

    def test_length_of_the_result_is_taken_last(self, tmp_path, monkeypatch, files, out):
        monkeypatch.setattr(qbc_compressor, "zstd", RecordingZstd(result=12345))
        exc = raises(TypeError, fresh(tmp_path).encode_files, files("a"), out,
                     match=r"^object of type 'int' has no len\(\)$")
        assert entries(exc) == at(92)
        assert load_package(out)["compressed"] == 12345

    def test_no_directory_made_and_no_dictionary_saved(self, tmp_path, files):
        saved = []

        class Saving(QBCompressor):
            def save_dict(self):
                saved.append(True)

        c = Saving(str(tmp_path / "dict.bin"))
        with pytest.raises(FileNotFoundError):
            c.encode_files(files("a"), str(tmp_path / "new-dir" / "p"))
        c.encode_files(files("a"), str(tmp_path / "p"))
        assert saved == []
        assert not (tmp_path / "new-dir").exists()
        assert not (tmp_path / "dict.bin").exists()
