"""decode_package: argument binding, loading, adopting the dictionary,
unpacking the records, writing the files, and what each failure leaves
behind."""
import collections.abc
import gc
import json
import os
import pathlib
import pickle
import struct
import subprocess
import sys
import types

import pytest
import zstandard

import qbc_compressor
from qbc_compressor import QBCompressor
from traceback_entries import innermost_first as entries

DECODE = "qbc_compressor.QBCompressor.decode_package"
MAX_ID = 2147483647


# Helpers ----------------------------------------------------------------------


def at(*lines):
    return [(DECODE, line) for line in lines]


def fresh(tmp_path, cls=QBCompressor):
    return cls(str(tmp_path / "no-such-dict.bin"))


def stand_in_decompressor(monkeypatch, decompress):
    """Sets the module's `zstd` to one whose decompressor calls `decompress`."""
    monkeypatch.setattr(
        qbc_compressor, "zstd",
        types.SimpleNamespace(ZstdDecompressor=lambda: types.SimpleNamespace(
            decompress=decompress)))


def records(*ids):
    return b"".join(struct.pack(">I", i) for i in ids)


def frame(data):
    return zstandard.ZstdCompressor().compress(data)


def write_pickle(path, obj, protocol=None):
    with open(path, "wb") as f:
        pickle.dump(obj, f, protocol=protocol)
    return str(path)


class Raw(bytes):
    """Marks a payload to be stored as it is, not framed."""


def package(compressed=b"", boundaries=(), names=(), forward=None, **extra):
    """A package dict; `compressed` given as bytes is framed, Raw(...) and
    other values are stored as they are."""
    if type(compressed) is Raw:
        compressed = bytes(compressed)
    elif type(compressed) is bytes:
        compressed = frame(compressed)
    obj = {
        "compressed": compressed,
        "file_boundaries": list(boundaries),
        "filenames": list(names),
    }
    if forward is not None:
        obj["global_dict"] = forward
    obj.update(extra)
    return obj


def listing(path):
    path = pathlib.Path(path)
    return {p.name: p.read_bytes() for p in sorted(path.iterdir())}


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def raises(exc_type, fn, *args, match=None, **kwargs):
    with pytest.raises(exc_type, match=match) as info:
        fn(*args, **kwargs)
    return info.value


class Prior:
    """The compressor's maps before a call, to tell what the call replaced."""

    def __init__(self, c):
        self.c = c
        self.forward = c.global_dict = {"prior": 1}
        self.inverse = c.inverse_dict = {1: "prior"}
        c.next_id = 2

    def unchanged(self):
        c = self.c
        return (c.global_dict is self.forward and c.inverse_dict is self.inverse
                and self.forward == {"prior": 1} and self.inverse == {1: "prior"}
                and c.next_id == 2)

    def replaced_by(self, forward):
        c = self.c
        return c.global_dict == forward and c.inverse_dict is not self.inverse


class StandInPickle:
    """A `pickle` module whose load returns a prepared object."""

    def __init__(self, obj):
        self.obj = obj
        self.calls = []

    def load(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.obj


class RecordingPackage(collections.abc.Mapping):
    """A package object that logs how it is read."""

    def __init__(self, data, log, second_filenames=None):
        self.data, self.log = data, log
        self.second_filenames = second_filenames
        self.filename_reads = 0

    def get(self, key, default=None):
        self.log.append(("get", key, type(default), default))
        return self.data.get(key, default)

    def __getitem__(self, key):
        self.log.append(("item", key))
        if key == "filenames":
            self.filename_reads += 1
            if self.filename_reads == 2 and self.second_filenames is not None:
                if isinstance(self.second_filenames, BaseException):
                    raise self.second_filenames
                return self.second_filenames
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class ItemsMap(collections.abc.Mapping):
    """A forward map whose items() result is given."""

    def __init__(self, items):
        self._items = items
        self.calls = 0

    def items(self):
        self.calls += 1
        return self._items() if callable(self._items) else self._items

    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


@pytest.fixture
def pkg(tmp_path):
    """Writes a package object with the host's pickle; returns its path."""
    def make(obj, name="p.qbc", protocol=None):
        return write_pickle(tmp_path / name, obj, protocol)
    return make


@pytest.fixture
def stand_in(tmp_path, monkeypatch):
    """Makes the module's `pickle` return `obj` from a dummy package file."""
    def make(obj):
        path = tmp_path / "dummy.qbc"
        path.write_bytes(b"unused")
        fake = StandInPickle(obj)
        monkeypatch.setattr(qbc_compressor, "pickle", fake)
        return str(path), fake
    return make


@pytest.fixture
def outdir(tmp_path):
    return tmp_path / "out"


# Binding -------------------------------------------------------------------------


class TestBinding:
    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            (("p",), {}, r"^decode_package\(\) takes at least 2 positional arguments \(1 given\)$"),
            ((), {}, r"^decode_package\(\) takes at least 2 positional arguments \(0 given\)$"),
            (("p", "o", True, 4), {},
             r"^decode_package\(\) takes at most 3 positional arguments \(4 given\)$"),
            ((), {"output_dir": "o"},
             r"^decode_package\(\) takes at least 2 positional arguments \(0 given\)$"),
            ((), {"package_path": "p"},
             r"^decode_package\(\) takes at least 2 positional arguments \(1 given\)$"),
            (("p", "o"), {"package_path": "p"},
             r"^decode_package\(\) got multiple values for keyword argument 'package_path'$"),
            (("p", "o"), {"zstd": True},
             r"^decode_package\(\) got an unexpected keyword argument 'zstd'$"),
        ],
    )
    def test_argument_errors(self, tmp_path, args, kwargs, message):
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(TypeError, c.decode_package, *args, match=message, **kwargs)
        assert entries(exc) == at(95)
        assert prior.unchanged()

    def test_call_through_class_without_instance(self):
        exc = raises(TypeError, QBCompressor.decode_package,
                     match=r"^decode_package\(\) needs an argument$")
        assert entries(exc) == []

    def test_defaults_are_reported(self):
        assert QBCompressor.decode_package.__defaults__ == (True,)

    def test_keywords(self, tmp_path, pkg, outdir):
        path = pkg(package(records(1), [1], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        assert c.decode_package(output_dir=str(outdir), package_path=path) == ["f"]
        raw = pkg(package(Raw(records(1)), [1], ["g"], {"b": 1}), "raw")
        assert c.decode_package(raw, use_zstd=0, output_dir=str(outdir)) == ["g"]
        assert listing(outdir) == {"f": b"a", "g": b"b"}

    class StrSub(str):
        pass

    @pytest.mark.parametrize(
        "package_path, output_dir, message",
        [
            (b"p", "o", r"^Argument 'package_path' has incorrect type \(expected str, got bytes\)$"),
            (StrSub("p"), "o",
             r"^Argument 'package_path' has incorrect type \(expected str, got StrSub\)$"),
            (pathlib.Path("p"), "o",
             r"^Argument 'package_path' has incorrect type \(expected str, got PosixPath\)$"),
            ("p", b"o", r"^Argument 'output_dir' has incorrect type \(expected str, got bytes\)$"),
            ("p", pathlib.Path("o"),
             r"^Argument 'output_dir' has incorrect type \(expected str, got PosixPath\)$"),
            (1, 2, r"^Argument 'package_path' has incorrect type \(expected str, got int\)$"),
        ],
    )
    def test_exact_type_tests(self, tmp_path, monkeypatch, pkg, package_path, output_dir,
                              message):
        monkeypatch.chdir(tmp_path)
        pkg(package(records(1), [1], ["f"], {"a": 1}), "p")
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(TypeError, c.decode_package, package_path, output_dir, match=message)
        assert entries(exc) == []
        assert prior.unchanged()
        assert not (tmp_path / "o").exists()

    class Falsy:
        def __len__(self):
            return 0

    @pytest.mark.parametrize(
        "flag, compressed",
        [
            (True, True), (1, True), ([0], True), ("no", True), (object(), True),
            (False, False), (None, False), ([], False), (0, False), ("", False),
            (0.0, False), (Falsy(), False),
        ],
    )
    def test_use_zstd_truth(self, tmp_path, pkg, outdir, flag, compressed):
        stream = records(1, 2)
        path = pkg(package(stream if compressed else Raw(stream), [2], ["f"],
                           {"a": 1, "b": 2}))
        c = fresh(tmp_path)
        assert c.decode_package(path, str(outdir), flag) == ["f"]
        assert listing(outdir) == {"f": b"ab"}

    def test_compressed_payload_read_as_records(self, tmp_path, pkg, outdir):
        # Without decompression the frame's own bytes are taken as records;
        # its magic number 28 B5 2F FD is id 0x28B52FFD.
        payload = frame(records(1) * 100)
        path = pkg(package(Raw(payload), [1], ["f"], {"magic": 0x28B52FFD}))
        fresh(tmp_path).decode_package(path, str(outdir), False)
        assert (outdir / "f").read_bytes() == b"magic"

    def test_compressed_payload_read_as_records_can_overflow(self, tmp_path, pkg, outdir):
        # A frame whose later bytes have the top bit set at a record start.
        payload = frame(bytes(range(256)) * 8)
        assert any(b >= 0x80 for b in payload[::4])
        path = pkg(package(Raw(payload), [1000], ["f"], {}))
        exc = raises(OverflowError, fresh(tmp_path).decode_package, path, str(outdir), 0,
                     match=r"^value too large to convert to int$")
        assert entries(exc) == at(114)

    def test_truth_test_failure_comes_first(self, tmp_path):
        class Bad:
            def __bool__(self):
                raise ZeroDivisionError("truth")

        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(ZeroDivisionError, c.decode_package, b"wrong type", "o", Bad())
        assert entries(exc) == at(95)
        assert prior.unchanged()


# Loading ---------------------------------------------------------------------------


HOSTILE = {
    "global-reduce": (b"cos\nsystem\n(S'touch MARKER'\ntR.", ["os", "system"]),
    "posix-system": (b"cposix\nsystem\n(S'touch MARKER'\ntR.", ["posix", "system"]),
    "stack-global": (
        b"\x80\x04\x8c\x08builtins\x94\x8c\x04eval\x94\x93\x94"
        b"\x8c\x1eopen('MARKER', 'w').close()\x94\x85\x94R\x94.",
        ["builtins", "eval"],
    ),
    "inst": (b"(S'touch MARKER'\nios\nsystem\n.", ["os", "system"]),
    "nested-in-package": (
        b"\x80\x04}\x94(\x8c\ncompressed\x94cos\nsystem\n(S'touch MARKER'\ntR"
        b"\x8c\x0ffile_boundaries\x94]\x8c\tfilenames\x94]u.",
        ["os", "system"],
    ),
    "class-instance": (pickle.dumps(collections.OrderedDict(a=1), protocol=2),
                       ["collections", "OrderedDict"]),
}


class TestLoading:
    @pytest.mark.parametrize(
        "where, exc_type, lines",
        [
            ("missing", FileNotFoundError, (96,)),
            ("directory", IsADirectoryError, (96,)),
            (None, TypeError, (96,)),
            ("empty", EOFError, (97, 96)),
            ("garbage", pickle.UnpicklingError, (97, 96)),
            ("truncated", (EOFError, pickle.UnpicklingError), (97, 96)),
        ],
    )
    def test_unloadable_package_changes_nothing(self, tmp_path, outdir, where, exc_type, lines):
        (tmp_path / "directory").mkdir()
        (tmp_path / "empty").write_bytes(b"")
        (tmp_path / "garbage").write_bytes(b"this is not a pickle")
        good = pickle.dumps(package(records(1), [1], ["f"], {"a": 1}))
        (tmp_path / "truncated").write_bytes(good[: len(good) // 2])
        path = None if where is None else str(tmp_path / where)
        c = fresh(tmp_path)
        prior = Prior(c)
        fds = open_fds()
        exc = raises(exc_type, c.decode_package, path, str(outdir))
        assert entries(exc) == at(*lines)
        assert prior.unchanged()
        assert open_fds() == fds
        assert not outdir.exists()

    @pytest.mark.parametrize("name", sorted(HOSTILE))
    def test_stream_naming_a_global_is_refused(self, tmp_path, monkeypatch, outdir, name):
        stream, named = HOSTILE[name]
        monkeypatch.chdir(tmp_path)
        marker = tmp_path / "MARKER"
        path = tmp_path / "hostile.qbc"
        path.write_bytes(stream)
        c = fresh(tmp_path)
        prior = Prior(c)
        fds = open_fds()
        exc = raises(pickle.UnpicklingError, c.decode_package, str(path), str(outdir))
        for part in named:
            assert part in str(exc)
        assert entries(exc) == at(97, 96)
        assert not marker.exists()
        assert prior.unchanged()
        assert open_fds() == fds
        assert not outdir.exists()

    @pytest.mark.parametrize(
        "stream",
        [
            pytest.param(b"\x80\x02P0\n.", id="persistent-id"),
            pytest.param(b"\x80\x02\x82\x01.", id="extension-code"),
        ],
    )
    def test_persistent_ids_and_extension_codes_are_refused(self, tmp_path, outdir, stream):
        path = tmp_path / "odd.qbc"
        path.write_bytes(stream)
        c = fresh(tmp_path)
        prior = Prior(c)
        with pytest.raises(pickle.UnpicklingError):
            c.decode_package(str(path), str(outdir))
        assert prior.unchanged()

    def test_stand_in_pickle_module_is_used(self, tmp_path, stand_in, outdir):
        path, fake = stand_in(package(records(1), [1], ["f"], {"x": 1}))
        fresh(tmp_path).decode_package(path, str(outdir))
        [((f,), kwargs)] = fake.calls
        assert kwargs == {}
        assert f.mode == "rb" and f.name == path
        assert f.closed
        assert listing(outdir) == {"f": b"x"}

    def test_replaced_load_of_the_host_pickle_is_used(self, tmp_path, monkeypatch, pkg,
                                                       outdir):
        path = pkg(package(records(1), [1], ["f"], {"x": 1}))
        seen = []
        real_load = pickle.load

        def load(f):
            seen.append(f.name)
            return real_load(f)

        monkeypatch.setattr(pickle, "load", load)
        fresh(tmp_path).decode_package(path, str(outdir))
        assert seen == [path]

    def test_load_failure_of_a_stand_in_closes_the_file(self, tmp_path, monkeypatch, outdir):
        opened = []

        def load(f):
            opened.append(f)
            raise KeyError("from load")

        monkeypatch.setattr(qbc_compressor, "pickle", types.SimpleNamespace(load=load))
        path = tmp_path / "p"
        path.write_bytes(b"x")
        exc = raises(KeyError, fresh(tmp_path).decode_package, str(path), str(outdir))
        assert entries(exc) == at(97, 96)
        assert opened[0].closed


# Adopting the dictionary ----------------------------------------------------------------


class TestDictionary:
    @pytest.mark.parametrize("count", [3, 70, 6000])
    def test_maps_are_as_large_as_the_hosts(self, tmp_path, pkg, outdir, count):
        # The forward map as the host's unpickler leaves it, the reverse one
        # as storing its pairs one by one into a new dict leaves it.
        forward = {f"token {i} \u00e9" if i % 3 else f"t{i}": i for i in range(count)}
        path = pkg(package(records(0), [1], ["f"], global_dict=forward), protocol=4)
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        with open(path, "rb") as f:
            expected = pickle.load(f)["global_dict"]
        inverse = {}
        for token, i in expected.items():
            inverse[i] = token
        assert list(c.global_dict.items()) == list(expected.items())
        assert sys.getsizeof(c.global_dict) == sys.getsizeof(expected)
        assert sys.getsizeof(c.inverse_dict) == sys.getsizeof(inverse)

    def test_package_without_get(self, tmp_path, pkg, outdir):
        path = pkg([("compressed", b"")])
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(AttributeError, c.decode_package, path, str(outdir),
                     match=r"^'list' object has no attribute 'get'$")
        assert entries(exc) == at(99)
        assert prior.unchanged()

    @pytest.mark.parametrize(
        "forward, message",
        [
            (None, r"^'NoneType' object has no attribute 'items'$"),
            (5, r"^'int' object has no attribute 'items'$"),
            ([("a", 1)], r"^'list' object has no attribute 'items'$"),
            ("text", r"^'str' object has no attribute 'items'$"),
        ],
    )
    def test_forward_map_without_items(self, tmp_path, pkg, outdir, forward, message):
        path = pkg(package(records(1), [1], ["f"], global_dict=forward))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(AttributeError, c.decode_package, path, str(outdir), match=message)
        assert entries(exc) == at(100)
        assert c.global_dict == forward
        assert c.inverse_dict is prior.inverse
        assert c.next_id == 2
        assert not outdir.exists()

    @pytest.mark.parametrize(
        "forward, message",
        [
            ({"a": [1]}, r"^unhashable type: 'list'$"),
            ({"a": 1, "b": {}}, r"^unhashable type: 'dict'$"),
        ],
    )
    def test_unhashable_id(self, tmp_path, pkg, outdir, forward, message):
        path = pkg(package(records(1), [1], ["f"], forward))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(TypeError, c.decode_package, path, str(outdir), match=message)
        assert entries(exc) == at(100)
        assert c.global_dict == forward
        assert c.inverse_dict is prior.inverse

    @pytest.mark.parametrize(
        "items, exc_type, message",
        [
            ([("a", 1, 2)], ValueError, r"^too many values to unpack \(expected 2\)$"),
            ([("a",)], ValueError, r"^need more than 1 value to unpack$"),
            ([()], ValueError, r"^need more than 0 values to unpack$"),
            (["abc"], ValueError, r"^too many values to unpack \(expected 2\)$"),
            ([iter(["a"])], ValueError, r"^need more than 1 value to unpack$"),
            ([5], TypeError, r"int"),
            (None, TypeError, r"'NoneType' object is not iterable"),
        ],
    )
    def test_items_that_are_not_pairs(self, tmp_path, stand_in, outdir, items, exc_type,
                                      message):
        forward = ItemsMap(items)
        path, _ = stand_in(package(records(1), [1], ["f"], forward))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(exc_type, c.decode_package, path, str(outdir), match=message)
        assert entries(exc) == at(100)
        assert c.global_dict is forward
        assert c.inverse_dict is prior.inverse

    @pytest.mark.parametrize(
        "items, inverse",
        [
            ([("a", 1), ("b", 2)], {1: "a", 2: "b"}),
            ((("a", 1), ("b", 1)), {1: "b"}),
            (lambda: (p for p in [("x", 1), ["y", 2]]), {1: "x", 2: "y"}),
            (["a1"], {"1": "a"}),
            (lambda: iter([("a", 1)]), {1: "a"}),
        ],
    )
    def test_items_of_any_mapping(self, tmp_path, stand_in, outdir, items, inverse):
        forward = ItemsMap(items)
        path, _ = stand_in(package(records(1), [1], ["f"], forward))
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        assert c.global_dict is forward
        assert forward.calls == 1
        assert type(c.inverse_dict) is dict and c.inverse_dict == inverse
        assert (outdir / "f").read_text() == inverse.get(1, "<UNK>")

    def test_dict_subclass_items_override_is_used(self, tmp_path, stand_in, outdir):
        class Renaming(dict):
            def items(self):
                return [(k.upper(), v) for k, v in super().items()]

        forward = Renaming(a=1)
        path, _ = stand_in(package(records(1), [1], ["f"], forward))
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        assert c.global_dict is forward
        assert c.inverse_dict == {1: "A"}
        assert (outdir / "f").read_text() == "A"

    def test_package_key_compared_only_when_the_payload_is_read(self, tmp_path, stand_in,
                                                               outdir):
        # A key of the package that collides with "compressed" runs its own
        # equality test when the payload is looked up, after the dictionary
        # is adopted, and not before.
        log = []

        class Colliding:
            def __hash__(self):
                return hash("compressed")

            def __eq__(self, other):
                log.append("compared")
                return False

        class Logging(dict):
            def items(self):
                log.append("items")
                return super().items()

        obj = package(records(1), [1], ["f"], Logging(x=1))
        path, _ = stand_in({Colliding(): 0, **obj})
        log.clear()
        fresh(tmp_path).decode_package(path, str(outdir))
        assert log[0] == "items" and "compared" in log
        assert listing(outdir) == {"f": b"x"}

    def test_mutable_mapping_is_adopted(self, tmp_path, stand_in, outdir, pkg):
        class Store(collections.abc.MutableMapping):
            def __init__(self, data):
                self.data = dict(data)

            def __getitem__(self, k):
                return self.data[k]

            def __setitem__(self, k, v):
                self.data[k] = v

            def __delitem__(self, k):
                del self.data[k]

            def __iter__(self):
                return iter(self.data)

            def __len__(self):
                return len(self.data)

        forward = Store({"hello": 1, " ": 2, "world": 3})
        path, _ = stand_in(package(records(1, 2, 3), [3], ["f"], forward))
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        assert c.global_dict is forward
        assert c.inverse_dict == {1: "hello", 2: " ", 3: "world"}
        assert (outdir / "f").read_text() == "hello world"
        assert c.next_id == 4

    def test_duplicate_ids_later_token_wins(self, tmp_path, pkg, outdir):
        path = pkg(package(records(1, 2), [2], ["f"], {"first": 1, "second": 1, "x": 2}))
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        assert c.inverse_dict == {1: "second", 2: "x"}
        assert (outdir / "f").read_text() == "secondx"

    def test_missing_dictionary_reads_every_id_as_unknown(self, tmp_path, pkg, outdir):
        path = pkg(package(records(0, 1, 2), [3], ["f"]))
        c = fresh(tmp_path)
        prior = Prior(c)
        c.decode_package(path, str(outdir))
        assert c.global_dict == {} and c.global_dict is not prior.forward
        assert c.inverse_dict == {}
        assert (outdir / "f").read_text() == "<UNK><UNK><UNK>"

    def test_package_read_in_order(self, tmp_path, stand_in, outdir):
        log = []
        obj = RecordingPackage(package(records(1), [1], ["f"], {"a": 1}), log)
        path, _ = stand_in(obj)
        result = fresh(tmp_path).decode_package(path, str(outdir))
        names = obj.data["filenames"]
        assert log == [
            ("get", "global_dict", dict, {}),
            ("item", "compressed"),
            ("item", "file_boundaries"),
            ("item", "filenames"),
            ("item", "filenames"),
        ]
        assert result is names

    def test_result_is_the_second_read_of_filenames(self, tmp_path, stand_in, outdir):
        second = ["something", "else"]
        obj = RecordingPackage(package(records(1), [1], ["f"], {"a": 1}), [], second)
        path, _ = stand_in(obj)
        assert fresh(tmp_path).decode_package(path, str(outdir)) is second
        assert listing(outdir) == {"f": b"a"}

    def test_failing_final_read_of_filenames(self, tmp_path, stand_in, outdir):
        obj = RecordingPackage(package(records(1), [1], ["f"], {"a": 1}), [],
                               KeyError("filenames"))
        path, _ = stand_in(obj)
        exc = raises(KeyError, fresh(tmp_path).decode_package, path, str(outdir))
        assert entries(exc) == at(127)
        assert listing(outdir) == {"f": b"a"}

    def test_adopted_dictionary_is_the_stored_object(self, tmp_path, stand_in, outdir):
        forward = {"a": 1}
        path, _ = stand_in(package(records(1), [1], ["f"], forward))
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        assert c.global_dict is forward

    def test_dictionary_file_untouched(self, tmp_path, pkg, outdir):
        c = QBCompressor(str(tmp_path / "dict.bin"))
        c.decode_package(pkg(package(records(1), [1], ["f"], {"a": 1})), str(outdir))
        assert c.dict_path == str(tmp_path / "dict.bin")
        assert not (tmp_path / "dict.bin").exists()


class TestNextId:
    @pytest.mark.parametrize(
        "forward, before, after",
        [
            ({"a": 1, "b": 7, "c": 3}, 1, 8),
            ({"a": 1}, 100, 100),
            ({"a": 7}, 8, 8),
            ({"a": 7}, 7, 8),
            ({}, 5, 5),
            ({}, -3, -3),
            ({"a": -4}, -10, -10),
            ({"a": 0}, -10, 1),
            ({"a": 2**40, "b": 2}, 1, 3),
            ({"a": True}, 1, 2),
            # A float is the id it truncates to, as the encoder converts it.
            ({"a": 3.0}, 1, 4),
            ({"a": 3.9, "b": 2}, 1, 4),
            ({"a": float("nan"), "b": float("inf"), "c": 3e10}, 1, 1),
            ({"a": "9"}, 1, 1),
            ({"a": MAX_ID - 1}, 1, MAX_ID),
            ({"a": MAX_ID}, 1, MAX_ID),
        ],
    )
    def test_raised_past_adopted_ids(self, tmp_path, pkg, outdir, forward, before, after):
        path = pkg(package(b"", [], [], forward))
        c = fresh(tmp_path)
        c.next_id = before
        c.decode_package(path, str(outdir))
        assert c.next_id == after

    def test_raised_even_when_a_later_step_fails(self, tmp_path, pkg, outdir):
        path = pkg({"global_dict": {"a": 41}})
        c = fresh(tmp_path)
        with pytest.raises(KeyError):
            c.decode_package(path, str(outdir))
        assert c.next_id == 42

    def test_not_changed_when_the_inverse_map_fails(self, tmp_path, pkg, outdir):
        path = pkg(package(b"", [], [], {"a": 41, "b": [1]}))
        c = fresh(tmp_path)
        with pytest.raises(TypeError):
            c.decode_package(path, str(outdir))
        assert c.next_id == 1

    def test_new_text_after_adopting_a_package_comes_back(self, tmp_path, outdir):
        (tmp_path / "old.txt").write_text("an old text with old words")
        (tmp_path / "new.txt").write_text("brand new words, none of them old")
        writer = fresh(tmp_path)
        writer.encode_files([str(tmp_path / "old.txt")], str(tmp_path / "old.qbc"))
        c = fresh(tmp_path)
        assert c.next_id == 1
        c.decode_package(str(tmp_path / "old.qbc"), str(outdir / "a"))
        c.encode_files([str(tmp_path / "new.txt")], str(tmp_path / "new.qbc"))
        reader = fresh(tmp_path)
        reader.decode_package(str(tmp_path / "new.qbc"), str(outdir / "b"))
        assert (outdir / "b" / "new.txt").read_text() == "brand new words, none of them old"
        c.decode_package(str(tmp_path / "new.qbc"), str(outdir / "c"))
        assert (outdir / "c" / "new.txt").read_text() == "brand new words, none of them old"


# Unpacking the records ------------------------------------------------------------------


class TestStream:
    @pytest.mark.parametrize("decoy", ["frame of other records", "random bytes"])
    def test_large_bytes_before_the_payload(self, tmp_path, pkg, outdir, decoy):
        # The first large bytes object of a package is decompressed while the
        # rest loads; the payload the package holds is what gets restored.
        ids = list(range(1, 30001))
        other = frame(records(*reversed(ids))) if decoy.startswith("frame") else os.urandom(1 << 17)
        forward = {f"t{i}": i for i in ids}
        obj = {"decoy": other}
        obj.update(package(records(*ids), [len(ids)], ["out.txt"], forward))
        path = pkg(obj)
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {"out.txt": "".join(f"t{i}" for i in ids).encode()}

    def test_missing_compressed(self, tmp_path, pkg, outdir):
        path = pkg({"file_boundaries": [], "filenames": [], "global_dict": {"a": 1}})
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(KeyError, c.decode_package, path, str(outdir))
        assert exc.args == ("compressed",)
        assert entries(exc) == at(102)
        assert prior.replaced_by({"a": 1}) and c.inverse_dict == {1: "a"}
        assert not outdir.exists()

    @pytest.mark.parametrize(
        "payload, exc_type, message",
        [
            (Raw(b"junk"), zstandard.ZstdError, None),
            (Raw(b""), zstandard.ZstdError, None),
            (Raw(zstandard.ZstdCompressor(write_content_size=False).compress(records(1))),
             zstandard.ZstdError, "content size"),
            (Raw(frame(records(1))[:-2]), zstandard.ZstdError, None),
            (bytearray(b"junk"), zstandard.ZstdError, None),
            (5, TypeError, None),
            ("text", TypeError, None),
            (None, TypeError, None),
        ],
    )
    def test_payload_that_is_not_a_frame(self, tmp_path, pkg, outdir, payload, exc_type,
                                         message):
        path = pkg(package(payload, [1], ["f"], {"a": 1}), protocol=5)
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(exc_type, c.decode_package, path, str(outdir), match=message)
        assert entries(exc) == at(104)
        assert prior.replaced_by({"a": 1})
        assert not outdir.exists()

    @staticmethod
    def declared(size):
        # Magic, a descriptor for a single-segment frame with an 8-byte
        # content size, the size, and a last raw block of size 0.
        return Raw(bytes.fromhex("28b52ffd") + bytes([0xE0]) + size.to_bytes(8, "little")
                + bytes([0x01, 0x00, 0x00]))

    @pytest.mark.parametrize("size", [2**31 + 1, 2**32, 2**40, 2**64 - 3])
    def test_frame_declaring_more_than_two_gib(self, tmp_path, pkg, outdir, size):
        payload = self.declared(size)
        assert zstandard.get_frame_parameters(payload).content_size == size
        path = pkg(package(payload, [1], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(ValueError, c.decode_package, path, str(outdir))
        assert not isinstance(exc, zstandard.ZstdError)
        assert str(size) in str(exc)
        assert entries(exc) == at(104)
        assert prior.replaced_by({"a": 1})
        assert not outdir.exists()

    def test_small_declared_size_goes_to_the_decompressor(self, tmp_path, pkg, outdir):
        path = pkg(package(self.declared(8), [1], ["f"], {"a": 1}))
        with pytest.raises(zstandard.ZstdError):
            fresh(tmp_path).decode_package(path, str(outdir))

    @pytest.mark.parametrize(
        "payload",
        [
            frame(records(1)) + frame(records(1)),          # two frames
            frame(records(1)) + b"\0",                      # trailing junk
            zstandard.ZstdCompressor(write_checksum=True).compress(records(1))[:-1] + b"?",
            frame(b""),                                      # empty content
            frame(records(*[1] * 100_000)),                  # 400 KB of records
        ],
    )
    def test_frames_decompress_as_the_host_decompressor_has_them(self, tmp_path, pkg, outdir,
                                                                 payload):
        path = pkg(package(Raw(payload), [1], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        try:
            stream = zstandard.ZstdDecompressor().decompress(payload)
        except zstandard.ZstdError as e:
            exc = raises(zstandard.ZstdError, c.decode_package, path, str(outdir))
            assert str(exc) == str(e) and entries(exc) == at(104)
            return
        tokens = len(stream) // 4
        path = pkg(package(Raw(payload), [tokens], ["f"], {"a": 1}))
        c.decode_package(path, str(outdir))
        assert listing(outdir) == {"f": b"a" * tokens}

    def test_zstd_replaced_while_the_dictionary_is_adopted(self, tmp_path, monkeypatch, pkg,
                                                           outdir):
        # The stream may be decompressed ahead, but a decompressor set in
        # the meantime (here by a finaliser of the replaced map) is the one
        # called at its step.
        class Finaliser:
            def __del__(self):
                stand_in_decompressor(monkeypatch, lambda data: records(2, 2, 2))

        path = pkg(package(records(1), [3], ["f"], {"a": 1, "b": 2}))
        c = fresh(tmp_path)
        c.global_dict = {"x": Finaliser()}
        c.decode_package(path, str(outdir))
        assert listing(outdir) == {"f": b"bbb"}

    def test_package_read_from_a_pipe(self, tmp_path, outdir):
        # No size to read up to: the file is read in growing pieces.
        import threading
        text = "".join(f"w{i} " for i in range(60_000))
        src = tmp_path / "src.txt"
        src.write_text(text)
        built = str(tmp_path / "p.qbc")
        fresh(tmp_path).encode_files([str(src)], built)
        fifo = tmp_path / "fifo"
        os.mkfifo(fifo)
        data = pathlib.Path(built).read_bytes()
        writer = threading.Thread(target=lambda: fifo.write_bytes(data))
        writer.start()
        try:
            names = fresh(tmp_path).decode_package(str(fifo), str(outdir))
        finally:
            writer.join()
        assert names == ["src.txt"] and (outdir / "src.txt").read_text() == text

    def test_stand_in_zstd_sees_the_payload(self, tmp_path, monkeypatch, pkg, outdir):
        calls = []

        class Decompressor:
            def __init__(self, *args, **kwargs):
                calls.append(("new", args, kwargs))

            def decompress(self, *args, **kwargs):
                calls.append(("decompress", args, kwargs))
                return records(1, 1)

        monkeypatch.setattr(qbc_compressor, "zstd",
                            types.SimpleNamespace(ZstdDecompressor=Decompressor))
        payload = self.declared(2**40)
        path = pkg(package(payload, [2], ["f"], {"a": 1}))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert calls == [("new", (), {}), ("decompress", (payload,), {})]
        assert listing(outdir) == {"f": b"aa"}

    @pytest.mark.parametrize(
        "stream, text",
        [
            ([0, 0, 1, 2], "x258"),
            ([0, 0, 1, 2, 9, 9], "x258"),
            (bytearray(records(258, 1)), "x258one"),
            (memoryview(records(1)).tolist(), "one"),
            ((0, 0, 0, 1), "one"),
            ([False, False, True, True], "x257"),
            ([0, 0, 0, -1], "minus"),
            ([0, 0, -1, 0], "<UNK>"),
            ([0, 0, 0, 1 << 8 | 1], "x257"),
            ([0, 0, 0, 256], "<UNK>"),
            ([], ""),
            ("abc", ""),
            ({0: 0, 1: 0, 2: 0, 3: 1}, "one"),
        ],
    )
    def test_uncompressed_streams_of_any_sequence(self, tmp_path, pkg, outdir, stream, text):
        forward = {"x258": 258, "x257": 257, "one": 1, "minus": -1}
        if type(stream) is bytes:
            stream = Raw(stream)
        # Protocol 5 stores a bytearray without naming its type.
        path = pkg(package(stream, [10], ["f"], forward), protocol=5)
        fresh(tmp_path).decode_package(path, str(outdir), False)
        assert (outdir / "f").read_text() == text

    @pytest.mark.parametrize(
        "stream, exc_type, message, line",
        [
            (5, TypeError, r"^object of type 'int' has no len\(\)$", 108),
            (None, TypeError, r"^object of type 'NoneType' has no len\(\)$", 108),
            ("abcd", TypeError, r"unsupported operand", 114),
            ([0.0, 0, 0, 1], TypeError, r"unsupported operand", 114),
            ([None] * 4, TypeError, r"unsupported operand", 114),
            ([128, 0, 0, 0], OverflowError, r"^value too large to convert to int$", 114),
            ([256, 0, 0, 0], OverflowError, r"^value too large to convert to int$", 114),
            ([0, 0, 0, 2**31], OverflowError, r"^value too large to convert to int$", 114),
            ([0, 0, 0, 2**70], OverflowError, r"too large", 114),
            ({0: 0, 1: 0, 2: 0, 4: 1}, KeyError, None, 114),
        ],
    )
    def test_streams_whose_records_fail(self, tmp_path, pkg, outdir, stream, exc_type, message,
                                        line):
        path = pkg(package(stream, [1], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(exc_type, c.decode_package, path, str(outdir), False, match=message)
        assert entries(exc) == at(line)
        assert prior.replaced_by({"a": 1})
        assert not outdir.exists()

    @pytest.mark.parametrize("first", [0x80, 0x81, 0xFF])
    def test_high_record_after_good_ones(self, tmp_path, pkg, outdir, first):
        stream = records(1, 1) + bytes([first, 0, 0, 1]) + records(1)
        path = pkg(package(stream, [4], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(OverflowError, c.decode_package, path, str(outdir),
                     match=r"^value too large to convert to int$")
        assert entries(exc) == at(114)
        assert prior.replaced_by({"a": 1}) and c.inverse_dict == {1: "a"}
        assert not outdir.exists()

    @pytest.mark.parametrize(
        "token_id",
        [0, 1, 2**26 - 1, 2**26, 2**26 + 1, 100_000_000, MAX_ID],
    )
    def test_ids_across_the_whole_range(self, tmp_path, pkg, outdir, token_id):
        forward = {"low": 0, "mid": 70000, "hit": token_id} if token_id else {"hit": 0}
        path = pkg(package(records(token_id, token_id + 1 if token_id < MAX_ID else 5),
                           [2], ["f"], forward))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert (outdir / "f").read_text() == "hit<UNK>"

    @pytest.mark.parametrize(
        "value, text",
        [(True, "t"), (1.0, "t"), (2, "<UNK>")],
    )
    def test_ids_are_looked_up_as_the_map_would(self, tmp_path, pkg, outdir, value, text):
        path = pkg(package(records(1), [1], ["f"], {"t": value}))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert (outdir / "f").read_text() == text

    def test_int_subclass_ids_looked_up_by_the_map(self, tmp_path, stand_in, outdir):
        class OffHash(int):
            def __hash__(self):
                return int.__hash__(self) + 1

            def __eq__(self, other):
                return int(self) == other and type(other) is OffHash

        path, _ = stand_in(package(records(1, 2), [2], ["f"], {"odd": OffHash(1), "two": 2}))
        c = fresh(tmp_path)
        c.decode_package(path, str(outdir))
        # The map itself cannot find a plain 1 under that key.
        assert c.inverse_dict.get(1, "<UNK>") == "<UNK>"
        assert (outdir / "f").read_text() == "<UNK>two"

    @pytest.mark.parametrize("change", ["cleared", "grown", "value replaced"])
    def test_ids_whose_hash_changes_the_map(self, tmp_path, stand_in, outdir, change):
        # The table of a large map is built apart while its reverse map is
        # built; an id whose hash runs host code may change the map (and
        # free its texts) before the rest is walked.
        c = fresh(tmp_path)

        class Meddling(int):
            def __hash__(self):
                if change == "cleared":
                    c.global_dict.clear()
                elif change == "grown":
                    c.global_dict["late"] = 7
                else:
                    c.global_dict["t150000"] = 3
                return int.__hash__(self)

        forward = {f"t{i}": i for i in range(2, 100_000)}
        forward["odd"] = Meddling(1)
        forward.update({f"t{i}": i for i in range(100_000, 200_000)})
        path, _ = stand_in(package(records(1, 150_000), [2], ["f"], forward))
        if change == "value replaced":
            c.decode_package(path, str(outdir))
            assert c.inverse_dict[3] == "t150000" and 150_000 not in c.inverse_dict
            assert c.inverse_dict[1] == "odd"
            assert (outdir / "f").read_text() == "odd<UNK>"
        else:
            with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
                c.decode_package(path, str(outdir))
        assert gc.isenabled()

    @pytest.mark.parametrize("enabled", [True, False])
    def test_collector_left_as_it_was(self, tmp_path, pkg, outdir, enabled):
        path = pkg(package(records(1), [1], ["f"], {"a": 1}))
        (gc.enable if enabled else gc.disable)()
        try:
            fresh(tmp_path).decode_package(path, str(outdir))
            assert gc.isenabled() == enabled
        finally:
            gc.enable()

    def test_inverse_map_is_read_afresh_for_each_record(self, tmp_path, monkeypatch, pkg,
                                                         outdir):
        c = fresh(tmp_path)

        class Stream:
            def __len__(self):
                return 12

            def __getitem__(self, i):
                if i == 4:
                    c.inverse_dict = {1: "swapped"}
                if i == 8:
                    c.inverse_dict[1] = "changed"
                return records(1, 1, 1)[i]

        stand_in_decompressor(monkeypatch, lambda payload: Stream())
        path = pkg(package(b"", [3], ["f"], {"a": 1}))
        c.decode_package(path, str(outdir))
        assert (outdir / "f").read_text() == "aswappedchanged"

    def test_inverse_map_changed_before_the_records(self, tmp_path, monkeypatch, pkg, outdir):
        c = fresh(tmp_path)

        def decompress(payload):
            c.inverse_dict[1] = "changed"
            return records(1, 2)

        stand_in_decompressor(monkeypatch, decompress)
        path = pkg(package(b"", [2], ["f"], {"a": 1, "b": 2}))
        c.decode_package(path, str(outdir))
        assert (outdir / "f").read_text() == "changedb"

    def test_inverse_map_replaced_before_the_records(self, tmp_path, monkeypatch, pkg, outdir):
        c = fresh(tmp_path)

        def decompress(payload):
            c.inverse_dict = {2: "other"}
            return records(1, 2)

        stand_in_decompressor(monkeypatch, decompress)
        path = pkg(package(b"", [2], ["f"], {"a": 1, "b": 2}))
        c.decode_package(path, str(outdir))
        assert (outdir / "f").read_text() == "<UNK>other"

    def test_texts_are_fixed_before_the_directory_is_made(self, tmp_path, monkeypatch, pkg,
                                                          outdir):
        c = fresh(tmp_path)

        def makedirs(path, exist_ok=False):
            c.inverse_dict[1] = "late"
            c.inverse_dict = {1: "later"}
            os.makedirs(path, exist_ok=exist_ok)

        monkeypatch.setattr(qbc_compressor, "os",
                            types.SimpleNamespace(makedirs=makedirs, path=os.path, sep=os.sep,
                                                  altsep=os.altsep))
        path = pkg(package(records(1, 1), [1, 2], ["f", "g"], {"a": 1}))
        c.decode_package(path, str(outdir))
        assert listing(outdir) == {"f": b"a", "g": b"a"}


# The output directory ------------------------------------------------------------------


class TestDirectory:
    def test_plain_file_in_the_way(self, tmp_path, pkg, outdir):
        outdir.write_bytes(b"a file")
        path = pkg(package(records(1), [1], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        prior = Prior(c)
        exc = raises(FileExistsError, c.decode_package, path, str(outdir))
        assert entries(exc) == at(117)
        assert prior.replaced_by({"a": 1})
        assert outdir.read_bytes() == b"a file"

    def test_none_as_output_dir(self, tmp_path, pkg):
        path = pkg(package(records(1), [1], ["f"], {"a": 1}))
        c = fresh(tmp_path)
        exc = raises(TypeError, c.decode_package, path, None)
        assert entries(exc) == at(117)
        assert c.global_dict == {"a": 1}

    def test_missing_parents_are_made(self, tmp_path, pkg):
        path = pkg(package(b"", [], [], {}))
        target = tmp_path / "a" / "b" / "c"
        assert fresh(tmp_path).decode_package(path, str(target)) == []
        assert target.is_dir() and list(target.iterdir()) == []

    def test_existing_directory_and_files(self, tmp_path, pkg, outdir):
        outdir.mkdir()
        (outdir / "f").write_bytes(b"old contents that are longer")
        (outdir / "other").write_bytes(b"untouched")
        path = pkg(package(records(1), [1], ["f"], {"a": 1}))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {"f": b"a", "other": b"untouched"}

    def test_calls_on_module_os(self, tmp_path, monkeypatch, pkg, outdir):
        calls = []

        def makedirs(*args, **kwargs):
            calls.append(("makedirs", args, kwargs))
            os.makedirs(*args, **kwargs)

        def join(*args):
            calls.append(("join", args))
            return os.path.join(*args)

        fake = types.SimpleNamespace(makedirs=makedirs, sep="/", altsep=None,
                                     path=types.SimpleNamespace(join=join))
        path = pkg(package(records(1, 1), [1, 2], ["f", "g"], {"a": 1}))
        c = fresh(tmp_path)
        monkeypatch.setattr(qbc_compressor, "os", fake)
        c.decode_package(path, str(outdir))
        assert calls == [
            ("makedirs", (str(outdir),), {"exist_ok": True}),
            ("join", (str(outdir), "f")),
            ("join", (str(outdir), "g")),
        ]

    def test_directory_made_without_records_or_names(self, tmp_path, monkeypatch, pkg, outdir):
        calls = []
        fake = types.SimpleNamespace(makedirs=lambda *a, **k: calls.append((a, k)),
                                     path=os.path, sep="/", altsep=None)
        path = pkg(package(b"", [], [], {}))
        monkeypatch.setattr(qbc_compressor, "os", fake)
        assert fresh(tmp_path).decode_package(path, str(outdir)) == []
        assert calls == [((str(outdir),), {"exist_ok": True})]

    def test_os_without_makedirs(self, tmp_path, monkeypatch, pkg, outdir):
        path = pkg(package(records(1), [1], ["f"], {"a": 1}))
        monkeypatch.setattr(qbc_compressor, "os", types.SimpleNamespace(path=os.path))
        exc = raises(AttributeError, fresh(tmp_path).decode_package, path, str(outdir))
        assert entries(exc) == at(117)


# Writing the files ----------------------------------------------------------------------


# Decodes a package under a limit on the size of written files; with "host",
# under an `open` of its own, which leaves every write to the file's write().
LIMITED_DECODE = r"""
import builtins, hashlib, json, os, resource, sys
package, outdir, limit, mode = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
if mode == "host":
    real_open = builtins.open
    builtins.open = lambda *args, **kwargs: real_open(*args, **kwargs)
from qbc_compressor import QBCompressor
from traceback_entries import innermost_first
c = QBCompressor(outdir + ".no-dict")
resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
error = None
try:
    c.decode_package(package, outdir)
except OSError as exc:
    error = [type(exc).__name__, exc.errno, str(exc), innermost_first(exc)]
listing = {}
for name in sorted(os.listdir(outdir)):
    with open(os.path.join(outdir, name), "rb") as f:
        data = f.read()
    listing[name] = [len(data), hashlib.sha256(data).hexdigest()]
print(json.dumps({"error": error, "listing": listing}))
"""

FIVE = {"t0": 1, "t1": 2, "t2": 3, "t3": 4, "t4": 5}


class TestFiles:
    @pytest.mark.parametrize(
        "boundaries, names, expected",
        [
            ([3, 2, 5], ["a", "b", "c"], {"a": "t0t1t2", "b": "", "c": "t2t3t4"}),
            ([2, 9, 12], ["a", "b", "c"], {"a": "t0t1", "b": "t2t3t4", "c": ""}),
            ([-1, 5], ["a", "b"], {"a": "t0t1t2t3", "b": "t4"}),
            ([-2, -1], ["a", "b"], {"a": "t0t1t2", "b": "t3"}),
            ([-9, 2], ["a", "b"], {"a": "", "b": "t0t1"}),
            ([0, 0], ["a", "b"], {"a": "", "b": ""}),
            ([2], ["a", "b", "c"], {"a": "t0t1"}),
            ([1, 2, 3, 4], ["a", "b"], {"a": "t0", "b": "t1"}),
            ([], ["a"], {}),
            ([2, 4], ["same", "same"], {"same": "t2t3"}),
            ([2.9, 4.1], ["a", "b"], {"a": "t0t1", "b": "t2t3"}),
            ([True, 2**31 - 1], ["a", "b"], {"a": "t0", "b": "t1t2t3t4"}),
            ([-2**31, 1], ["a", "b"], {"a": "", "b": "t0"}),
        ],
    )
    def test_boundaries_and_names(self, tmp_path, pkg, outdir, boundaries, names, expected):
        path = pkg(package(records(1, 2, 3, 4, 5), boundaries, names, FIVE))
        assert fresh(tmp_path).decode_package(path, str(outdir)) == names
        assert listing(outdir) == {k: v.encode() for k, v in expected.items()}

    def test_empty_stream_with_two_names(self, tmp_path, pkg, outdir):
        path = pkg(package(b"", [0, 0], ["a", "b"], {}))
        assert fresh(tmp_path).decode_package(path, str(outdir)) == ["a", "b"]
        assert listing(outdir) == {"a": b"", "b": b""}

    def test_boundaries_and_names_of_any_iterable(self, tmp_path, pkg, outdir):
        path = pkg(package(records(1, 2, 3, 4, 5), (1, 3), ("a", "b"), FIVE))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {"a": b"t0", "b": b"t1t2"}
        obj = package(records(1, 2), [], [], FIVE)
        obj["file_boundaries"], obj["filenames"] = {1: None, 2: None}, {"x": 0, "y": 0}
        fresh(tmp_path).decode_package(pkg(obj, "q"), str(tmp_path / "o2"))
        assert listing(tmp_path / "o2") == {"x": b"t0", "y": b"t1"}

    @pytest.mark.parametrize(
        "key, value, exc_type, message",
        [
            ("file_boundaries", "missing", KeyError, None),
            ("filenames", "missing", KeyError, None),
            ("file_boundaries", 5, TypeError, r"^'int' object is not iterable$"),
            ("filenames", None, TypeError, r"^'NoneType' object is not iterable$"),
        ],
    )
    def test_missing_or_not_iterable(self, tmp_path, pkg, outdir, key, value, exc_type,
                                     message):
        obj = package(records(1), [1], ["f"], {"a": 1})
        if value == "missing":
            del obj[key]
        else:
            obj[key] = value
        c = fresh(tmp_path)
        exc = raises(exc_type, c.decode_package, pkg(obj), str(outdir), match=message)
        if exc_type is KeyError:
            assert exc.args == (key,)
        assert entries(exc) == at(122)
        assert outdir.is_dir() and listing(outdir) == {}
        assert c.global_dict == {"a": 1}

    @pytest.mark.parametrize(
        "bad, exc_type, message",
        [
            ("3", TypeError, r"^an integer is required$"),
            (None, TypeError, r"^an integer is required$"),
            ([1], TypeError, r"^an integer is required$"),
            (2**31, OverflowError, r"^value too large to convert to int$"),
            (-2**31 - 1, OverflowError, r"^value too large to convert to int$"),
            (2**70, OverflowError, r"^Python int too large to convert to C long$"),
        ],
    )
    def test_bad_boundary_after_written_files(self, tmp_path, pkg, outdir, bad, exc_type,
                                              message):
        path = pkg(package(records(1, 2, 3, 4, 5), [1, 2, bad, 5], ["a", "b", "c", "d"], FIVE))
        exc = raises(exc_type, fresh(tmp_path).decode_package, path, str(outdir), match=message)
        assert entries(exc) == at(122)
        assert listing(outdir) == {"a": b"t0", "b": b"t1"}

    class StrSub(str):
        pass

    @pytest.mark.parametrize(
        "bad, message",
        [
            (b"c", r"^Expected str, got bytes$"),
            (3, r"^Expected str, got int$"),
            (["c"], r"^Expected str, got list$"),
            (StrSub("c"), r"^Expected str, got StrSub$"),
        ],
    )
    def test_non_str_name_after_written_files(self, tmp_path, stand_in, outdir, bad, message):
        path, _ = stand_in(package(records(1, 2, 3), [1, 2, 3, 3], ["a", "b", bad, "../d"],
                                   FIVE))
        exc = raises(TypeError, fresh(tmp_path).decode_package, path, str(outdir),
                     match=message)
        assert entries(exc) == at(122)
        assert listing(outdir) == {"a": b"t0", "b": b"t1"}

    def test_none_name_fails_in_the_path_join(self, tmp_path, pkg, outdir):
        path = pkg(package(records(1, 2), [1, 2], ["a", None], FIVE))
        exc = raises(TypeError, fresh(tmp_path).decode_package, path, str(outdir),
                     match="NoneType")
        assert entries(exc) == at(123)
        assert listing(outdir) == {"a": b"t0"}

    @pytest.mark.parametrize(
        "bad",
        ["", ".", "..", "/", "/etc/passwd", "/tmp/x", "a/b", "../x", "sub/", "./f",
         "x\x00y", "\x00"],
    )
    def test_names_that_are_not_plain_are_refused(self, tmp_path, pkg, outdir, bad):
        path = pkg(package(records(1, 2, 3), [1, 2, 3], ["ok", bad, "later"], FIVE))
        c = fresh(tmp_path)
        listing_before = sorted(os.listdir(tmp_path))
        exc = raises(ValueError, c.decode_package, path, str(outdir))
        assert repr(bad) in str(exc)
        assert entries(exc) == at(122)
        assert listing(outdir) == {}
        assert sorted(os.listdir(tmp_path)) == sorted(listing_before + ["out"])
        assert c.global_dict == FIVE

    def test_name_holding_the_alternative_separator(self, tmp_path, monkeypatch, pkg, outdir):
        fake = types.SimpleNamespace(makedirs=os.makedirs, path=os.path, sep="/", altsep="\\")
        path = pkg(package(records(1), [1, 1], ["ok", "a\\b"], FIVE))
        monkeypatch.setattr(qbc_compressor, "os", fake)
        exc = raises(ValueError, fresh(tmp_path).decode_package, path, str(outdir))
        assert repr("a\\b") in str(exc)
        assert listing(outdir) == {}

    def test_name_holding_a_replaced_separator(self, tmp_path, monkeypatch, pkg, outdir):
        fake = types.SimpleNamespace(makedirs=os.makedirs, path=os.path, sep=":", altsep=None)
        path = pkg(package(records(1), [1], ["a:b"], FIVE))
        monkeypatch.setattr(qbc_compressor, "os", fake)
        with pytest.raises(ValueError):
            fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {}

    @pytest.mark.parametrize(
        "names, boundaries, exc_type, written",
        [
            (["ok", 5, "../x"], [1, 2, 3], TypeError, {"ok": b"t0"}),
            (["ok", "../x", 5], [1, 2, 3], ValueError, {}),
            (["ok", "../x"], [1], None, {"ok": b"t0"}),
            (["../x", "ok"], ["bad", 1], TypeError, {}),
            (["ok", "/abs"], [1, "bad"], TypeError, {"ok": b"t0"}),
            (["ok", None, "../x"], [1, 2, 3], ValueError, {}),
        ],
    )
    def test_which_failure_comes_first(self, tmp_path, pkg, outdir, names, boundaries,
                                       exc_type, written):
        path = pkg(package(records(1, 2, 3), boundaries, names, FIVE))
        c = fresh(tmp_path)
        if exc_type is None:
            assert c.decode_package(path, str(outdir)) == names
        else:
            with pytest.raises(exc_type):
                c.decode_package(path, str(outdir))
        assert listing(outdir) == written

    @pytest.mark.parametrize(
        "name",
        ["...", ".hidden", "a\\b", "with space", "\u4e2d\u6587.txt", "-", "a:b", "..x",
         "\U0001F600", "x" * 255],
    )
    def test_unusual_plain_names_are_written(self, tmp_path, pkg, outdir, name):
        path = pkg(package(records(1), [1], [name], FIVE))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {name: b"t0"}

    def test_output_path_that_is_a_directory(self, tmp_path, pkg, outdir):
        (outdir / "b").mkdir(parents=True)
        path = pkg(package(records(1, 2, 3), [1, 2, 3], ["a", "b", "c"], FIVE))
        exc = raises(IsADirectoryError, fresh(tmp_path).decode_package, path, str(outdir))
        assert entries(exc) == at(123)
        assert (outdir / "a").read_bytes() == b"t0"
        assert not (outdir / "c").exists()

    def test_text_that_cannot_be_encoded(self, tmp_path, pkg, outdir):
        path = pkg(package(records(1, 2, 1), [1, 2, 3], ["a", "b", "c"],
                           {"ok": 1, "lone\ud800": 2}))
        exc = raises(UnicodeEncodeError, fresh(tmp_path).decode_package, path, str(outdir))
        assert entries(exc) == at(124, 123)
        assert listing(outdir) == {"a": b"ok", "b": b""}

    @pytest.mark.parametrize(
        "forward, message",
        [
            ({"ok": 1, b"raw": 2}, r"^sequence item 1: expected str instance, bytes found$"),
            ({"ok": 1, 7: 2}, r"^sequence item 1: expected str instance, int found$"),
            ({"ok": 1, None: 2}, r"^sequence item 1: expected str instance, NoneType found$"),
        ],
    )
    def test_token_that_is_not_text(self, tmp_path, pkg, outdir, forward, message):
        path = pkg(package(records(1, 1, 2, 1), [1, 3, 4], ["a", "b", "c"], forward))
        exc = raises(TypeError, fresh(tmp_path).decode_package, path, str(outdir),
                     match=message)
        assert entries(exc) == at(124, 123)
        assert listing(outdir) == {"a": b"ok", "b": b""}

    def test_non_text_tokens_outside_every_file(self, tmp_path, pkg, outdir):
        path = pkg(package(records(1, 2), [1], ["a"], {"ok": 1, b"raw": 2}))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {"a": b"ok"}

    def test_str_subclass_tokens_are_joined(self, tmp_path, stand_in, outdir):
        class Text(str):
            pass

        path, _ = stand_in(package(records(1, 2), [2], ["a"], {Text("x"): 1, "y": 2}))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {"a": b"xy"}

    @pytest.mark.parametrize(
        "token",
        ["a\r\n", "\r", "\r\r\n\n", "\u2028\x85\x0b\x0c", "\ufeff", "\U0001F600\u00e9\u4e2d",
         "\x00"],
    )
    def test_texts_written_as_utf8_without_translation(self, tmp_path, pkg, outdir, token):
        path = pkg(package(records(1, 2, 1), [3], ["f"], {token: 1, "z": 2}))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert (outdir / "f").read_bytes() == (token + "z" + token).encode("utf-8")

    def test_mixed_width_texts(self, tmp_path, pkg, outdir):
        forward = {"a": 1, "\u00e9": 2, "\u4e2d": 3, "\U0001F600": 4}
        ids = [1, 2, 3, 4, 4, 3, 2, 1, 1, 3]
        path = pkg(package(records(*ids), [1, 2, 3, 4, 8, 10], list("abcdef"), forward))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {
            "a": b"a", "b": "\u00e9".encode(), "c": "\u4e2d".encode(),
            "d": "\U0001F600".encode(), "e": "\U0001F600\u4e2d\u00e9a".encode(),
            "f": "a\u4e2d".encode(),
        }

    @pytest.mark.parametrize("count", [1, 7, 2049, 70001])
    @pytest.mark.parametrize("wide", ["\u00e9", "\u4e2d", "\U0001F600"])
    def test_long_files_of_short_and_long_tokens(self, tmp_path, pkg, outdir, count, wide):
        # Tokens of every length around the short-copy sizes, most of them
        # narrower than the file, in files short enough to keep their
        # entries between the passes and too long for that.
        forward = {"x" * n: n + 1 for n in range(21)}
        forward[wide] = 30
        forward[wide * 9] = 31
        inverse = {v: k for k, v in forward.items()}
        ids = [[30, 31, *range(1, 22)][(k * 5) % 23] for k in range(count)]
        ids[-1] = 30
        path = pkg(package(records(*ids, *ids[::-1]), [count, 2 * count], ["f", "g"], forward))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {
            "f": "".join(inverse[i] for i in ids).encode(),
            "g": "".join(inverse[i] for i in ids[::-1]).encode(),
        }

    @pytest.mark.parametrize("wide_at", [0, 599_999, 600_000, 1_199_999, None])
    def test_file_assembled_in_halves(self, tmp_path, pkg, outdir, wide_at):
        # A file this long is assembled in two halves at once; the wide
        # token in either half (or none) decides the width of the whole.
        forward = {"ab": 1, " ": 2, "xyz" * 6: 3, "\u4e2d\u00e9": 4}
        inverse = {v: k for k, v in forward.items()}
        ids = [(1, 2, 3, 2)[k % 4] for k in range(1_200_000)]
        if wide_at is not None:
            ids[wide_at] = 4
        path = pkg(package(records(*ids), [len(ids)], ["f"], forward))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert (outdir / "f").read_bytes() == "".join(inverse[i] for i in ids).encode()

    def test_file_too_long_to_assemble_ahead(self, tmp_path, pkg, outdir):
        # A file of more than 2**22 records among others is left to the
        # calling thread while the files after it are assembled ahead.
        forward = {"ab": 1, " ": 2, "\u4e2d": 3}
        long_file = struct.pack(">I", 3) + struct.pack(">2I", 1, 2) * ((1 << 21) + 1)
        short_file = struct.pack(">3I", 3, 2, 1)
        stream = short_file + long_file + short_file
        count = len(stream) // 4
        path = pkg(package(stream, [3, count - 3, count], ["a", "b", "c"], forward))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {
            "a": "\u4e2d ab".encode(),
            "b": ("\u4e2d" + "ab " * ((1 << 21) + 1)).encode(),
            "c": "\u4e2d ab".encode(),
        }

    @pytest.mark.parametrize("blocked", [None, 0, 1, 150, 299])
    def test_many_files_of_every_width(self, tmp_path, pkg, outdir, blocked):
        # Files are assembled ahead of the one being written: every file
        # must still come out whole and in order, and a failure part way
        # must leave exactly the earlier files.
        forward = {"a": 1, "\u00e9": 2, "\u4e2d": 3, "\U0001F600": 4, " ": 5, "": 6}
        ids, boundaries, expected = [], [], {}
        inverse = {v: k for k, v in forward.items()}
        for k in range(300):
            file_ids = [1 + (k * 7 + j) % 6 for j in range(k % 40)]
            ids += file_ids
            boundaries.append(len(ids))
            expected[f"f{k:03}"] = "".join(inverse[i] for i in file_ids).encode()
        names = sorted(expected)
        if blocked is not None:
            (outdir / names[blocked]).mkdir(parents=True)
        path = pkg(package(records(*ids), boundaries, names, forward))
        c = fresh(tmp_path)
        if blocked is None:
            assert c.decode_package(path, str(outdir)) == names
            assert listing(outdir) == expected
        else:
            raises(IsADirectoryError, c.decode_package, path, str(outdir))
            written = {p.name: p.read_bytes() for p in outdir.iterdir() if p.is_file()}
            assert written == {n: expected[n] for n in names[:blocked]}

    @pytest.mark.parametrize("wide", ["\u00e9", "\u4e2d", "\U0001F600", "z"])
    def test_tokens_longer_than_a_write(self, tmp_path, pkg, outdir, wide):
        # Long files go to the file in pieces of 64 KiB; a token of 75 to
        # 100 KB there is cut across pieces, code point by code point.
        forward = {wide * 25_000: 1, "a": 2, " \u00e9": 3, "\u4e2d" * 3: 4}
        inverse = {v: k for k, v in forward.items()}
        ids = [1 if k % 7_000 == 3 else 2 + k % 3 for k in range(20_000)]
        path = pkg(package(records(*ids, *ids[::-1]), [20_000, 40_000], ["f", "g"], forward))
        fresh(tmp_path).decode_package(path, str(outdir))
        assert listing(outdir) == {
            "f": "".join(inverse[i] for i in ids).encode(),
            "g": "".join(inverse[i] for i in ids[::-1]).encode(),
        }

    @pytest.mark.parametrize("bad_file", [0, 1, 2])
    @pytest.mark.parametrize("lone", ["\ud800", "\udfff", "\U0001F600\udc80"])
    def test_long_text_that_cannot_be_encoded(self, tmp_path, pkg, outdir, bad_file, lone):
        # The file's write() refuses a surrogate before writing anything,
        # however long the text and whichever file it is in.
        forward = {"ab ": 1, "\u4e2d": 2, lone: 3}
        inverse = {v: k for k, v in forward.items()}
        files = [[1 + (k % 5 == 0) for k in range(20_000)] for _ in range(3)]
        files[bad_file][12_345] = 3
        stream = [i for f in files for i in f]
        path = pkg(package(records(*stream), [20_000, 40_000, 60_000], ["a", "b", "c"],
                           forward))
        exc = raises(UnicodeEncodeError, fresh(tmp_path).decode_package, path, str(outdir))
        text = "".join(inverse[i] for i in files[bad_file])
        with pytest.raises(UnicodeEncodeError) as host:
            text.encode("utf-8")
        assert str(exc) == str(host.value)
        assert entries(exc) == at(124, 123)
        expected = {n: "".join(inverse[i] for i in f).encode()
                    for n, f in zip("abc", files[:bad_file])}
        assert listing(outdir) == {**expected, "abc"[bad_file]: b""}

    @pytest.mark.parametrize("limit", [50_000, 99_990, 200_000, 219_990, 10**6])
    def test_failed_writes_end_as_the_hosts_own(self, tmp_path, pkg, limit):
        # Under a limit on file sizes, writes fail part way. Whatever the
        # module writes straight to a file, the files left, the error and
        # where it is raised (at the write, or at closing for a remainder
        # the host keeps buffered) are those of a run in which every file
        # goes through the host's write().
        forward = {"abcd": 1, "\u4e2d": 2}
        a = [1] * 25_000
        b = [1 if k % 3 else 2 for k in range(60_000)]
        path = pkg(package(records(*a, *b), [len(a), len(a) + len(b)], ["a", "b"], forward))
        runs = {}
        for mode in ("native", "host"):
            proc = subprocess.run(
                [sys.executable, "-c", LIMITED_DECODE, path, str(tmp_path / mode), str(limit),
                 mode],
                cwd=os.path.dirname(__file__), capture_output=True, text=True, check=False)
            assert proc.returncode == 0, proc.stderr
            runs[mode] = json.loads(proc.stdout)
        assert runs["native"] == runs["host"]
        assert runs["host"]["listing"]["a"][0] == min(limit, 100_000)

    def test_detokenize_override_is_not_used(self, tmp_path, pkg, outdir):
        class Loud(QBCompressor):
            def detokenize(self, tokens):
                raise AssertionError("not expected")

        path = pkg(package(records(1, 2), [2], ["f"], {"a": 1, "b": 2}))
        fresh(tmp_path, Loud).decode_package(path, str(outdir))
        assert listing(outdir) == {"f": b"ab"}


# Pages ------------------------------------------------------------------------

PAGES_CHILD = r"""
import os, sys
from qbc_compressor import QBCompressor

def advised_kib():
    # Mappings that ask for huge pages: only the module makes such.
    total = size = 0
    with open("/proc/self/smaps") as f:
        for line in f:
            if line.startswith("Size:"):
                size = int(line.split()[1])
            elif line.startswith("VmFlags:") and " hg" in line:
                total += size
    return total

kept = []
for path in sys.argv[1:]:
    c = QBCompressor(os.devnull + ".none")
    c.decode_package(path, os.path.join(os.path.dirname(path), "out"))
    kept.append(c)  # the maps' tables stay, in the pages they were given
    print(advised_kib())
"""


def test_a_large_package_is_decoded_in_small_pages(tmp_path):
    # A package of a few megabytes has its maps' tables in huge pages; one
    # of more than 8 MiB has all of its memory in small pages, and decodes
    # after it take huge pages again.
    def write(name, count):
        forward = {"t%07d" % i: i + 1 for i in range(count)}
        ids = records(*range(1, 1001))
        path = write_pickle(tmp_path / name, {
            "compressed": frame(ids), "file_boundaries": [1000], "filenames": ["f"],
            "global_dict": forward})
        return path, os.path.getsize(path)

    small, small_size = write("small.pkg", 150_000)
    large, large_size = write("large.pkg", 700_000)
    assert small_size < 8 << 20 < large_size
    proc = subprocess.run([sys.executable, "-c", PAGES_CHILD, small, large, small],
                          capture_output=True, text=True, check=False)
    assert proc.returncode == 0, proc.stderr
    first, after_large, second = map(int, proc.stdout.split())
    if first == 0:
        pytest.skip("this system does not take the advice")
    assert after_large == first
    assert second > first
