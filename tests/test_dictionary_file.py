"""The dictionary file: load_dict and save_dict, their steps and failure rows."""

import os
import pickle
import sys
import types

import pytest

import qbc_compressor
from qbc_compressor import QBCompressor

from traceback_entries import names_and_lines

LOAD = "qbc_compressor.QBCompressor.load_dict"
SAVE = "qbc_compressor.QBCompressor.save_dict"
INIT = "qbc_compressor.QBCompressor.__init__"


def fields(obj):
    return (obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id)


def write_pickle(path, data, protocol=None):
    with open(path, "wb") as f:
        pickle.dump(data, f, protocol)


def read_pickle(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def grown(path="quorvale_dict.bin"):
    """An object whose maps have grown in memory since it was made."""
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path = path
    obj.global_dict = {"unsaved": 1}
    obj.inverse_dict = {1: "unsaved"}
    obj.next_id = 2
    return obj


class FakeData:
    """A loaded top-level object that hands out fixed values through get."""

    def __init__(self, values):
        self.values = values
        self.calls = []

    def get(self, key, default):
        self.calls.append((key, default))
        return self.values.get(key, default)


@pytest.fixture
def fake_load(in_tmp, monkeypatch):
    """Makes the module's `pickle.load` return a chosen object.

    The file at the path still has to exist, since the path test and the open
    run as usual.
    """
    loaded = {}

    def load(f, *rest):
        loaded["file"] = f
        loaded["args"] = (f,) + rest
        return loaded["value"]

    monkeypatch.setattr(qbc_compressor, "pickle", types.SimpleNamespace(load=load,
                                                                         dump=pickle.dump))
    (in_tmp / "fake.bin").write_bytes(b"contents never parsed")

    def use(value):
        loaded["value"] = value
        return "fake.bin"

    use.loaded = loaded
    return use


# No file ---------------------------------------------------------------------------

def test_missing_file_is_a_no_op(in_tmp):
    obj = QBCompressor()
    assert fields(obj) == ("quorvale_dict.bin", {}, {}, 1)
    grown_obj = grown()
    forward, inverse = grown_obj.global_dict, grown_obj.inverse_dict
    assert grown_obj.load_dict() is None
    assert grown_obj.global_dict is forward and grown_obj.inverse_dict is inverse
    assert fields(grown_obj) == ("quorvale_dict.bin", {"unsaved": 1}, {1: "unsaved"}, 2)


@pytest.mark.parametrize("path", ["no\0such", "x" * 5000, "missing/dir/file.bin", -1])
def test_path_the_host_cannot_examine_counts_as_absent(in_tmp, path):
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path = path
    assert obj.load_dict() is None
    assert fields(obj) == (path, None, None, 0)


# Loading ------------------------------------------------------------------------------

def test_stored_dictionary_replaces_grown_maps(in_tmp):
    write_pickle("quorvale_dict.bin", {"dict": {"Hello,": 1, "  ": 2, "world!": 3},
                                       "next_id": 4})
    obj = grown()
    assert obj.load_dict() is None
    assert fields(obj) == ("quorvale_dict.bin", {"Hello,": 1, "  ": 2, "world!": 3},
                           {1: "Hello,", 2: "  ", 3: "world!"}, 4)
    obj.global_dict["more"] = 4
    assert obj.load_dict() is None
    assert obj.global_dict == {"Hello,": 1, "  ": 2, "world!": 3}
    assert list(obj.inverse_dict.items()) == [(1, "Hello,"), (2, "  "), (3, "world!")]


# Ids that are distinct small ints, and ids that repeat, spread far, run
# negative or are not ints, on either side of where the reverse map's table
# is built whole: the reverse map is the one storing the pairs one by one
# into a new dict leaves, down to the size of its table.
@pytest.mark.parametrize("count", [900, 1500, 60_000])
@pytest.mark.parametrize("id_of", [
    lambda i: i + 1, lambda i: 7 * i, lambda i: i // 2, lambda i: 10**6 + i,
    lambda i: 2147483647 - i, lambda i: i - 5, lambda i: i + 0.5, lambda i: i if i % 9 else True,
], ids=["in-order", "spread", "repeating", "far", "top", "negative", "float", "bool"])
def test_reverse_map_is_the_one_stored_one_by_one(in_tmp, count, id_of):
    forward = {f"t{i}": id_of(i) for i in range(count)}
    write_pickle("quorvale_dict.bin", {"dict": forward, "next_id": 1})
    obj = QBCompressor("quorvale_dict.bin")
    assert obj.global_dict == forward
    stored = {}
    for token, id_ in obj.global_dict.items():
        stored[id_] = token
    assert list(obj.inverse_dict.items()) == list(stored.items())
    assert sys.getsizeof(obj.inverse_dict) == sys.getsizeof(stored)
    assert all(obj.inverse_dict[k] is v for k, v in stored.items())
    obj.inverse_dict["probe"] = "x"
    del obj.inverse_dict["probe"]
    assert len(obj.inverse_dict) == len(stored)


@pytest.mark.parametrize("data,expected", [
    ({}, ({}, {}, 1)),
    ({"dict": {}}, ({}, {}, 1)),
    ({"next_id": 9}, ({}, {}, 9)),
    ({"dict": {"a": 1}, "next_id": 2, "extra": [1, 2, 3]}, ({"a": 1}, {1: "a"}, 2)),
    ({"next_id": 2, "dict": {"a": 1}}, ({"a": 1}, {1: "a"}, 2)),
    ({"dict": {"a": 7, "b": 7}, "next_id": 8}, ({"a": 7, "b": 7}, {7: "b"}, 8)),
    ({"dict": {"b": 2, "a": 1}}, ({"b": 2, "a": 1}, {2: "b", 1: "a"}, 1)),
    ({"dict": {"a": -5}, "next_id": -1}, ({"a": -5}, {-5: "a"}, -1)),
    ({"dict": {"a": 1}, "next_id": 2147483647}, ({"a": 1}, {1: "a"}, 2147483647)),
    ({"dict": {}, "next_id": 4.7}, ({}, {}, 4)),
    ({"dict": {}, "next_id": True}, ({}, {}, 1)),
    # The stored map is taken as it is: any keys, any values.
    ({"dict": {1: "x", "y": None}}, ({1: "x", "y": None}, {"x": 1, None: "y"}, 1)),
])
@pytest.mark.parametrize("protocol", [0, 2, 4, 5])
def test_load_contents(in_tmp, data, expected, protocol):
    write_pickle("d.bin", data, protocol)
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path = "d.bin"
    assert obj.load_dict() is None
    assert fields(obj) == ("d.bin",) + expected
    assert list(obj.inverse_dict.items()) == list(expected[1].items())


def test_missing_dict_entry_gives_a_new_empty_map_each_time(in_tmp):
    write_pickle("d.bin", {"next_id": 3})
    obj = QBCompressor("d.bin")
    first = obj.global_dict
    obj.load_dict()
    assert obj.global_dict == {} and obj.global_dict is not first
    assert obj.global_dict is not obj.inverse_dict


def test_get_is_asked_with_the_defaults(fake_load):
    data = FakeData({})
    obj = QBCompressor(fake_load(data))
    assert [key for key, _ in data.calls] == ["dict", "next_id"]
    dict_default, next_id_default = data.calls[0][1], data.calls[1][1]
    assert type(dict_default) is dict and dict_default == {}
    assert next_id_default == 1 and type(next_id_default) is int
    # The object get returned is stored, not a copy of it.
    assert obj.global_dict is dict_default
    assert obj.next_id == 1


def test_stored_map_is_kept_unchanged_whatever_its_type(fake_load):
    class Pairs:
        def items(self):
            return [("a", 1), ("b", 2)]

    forward = Pairs()
    obj = QBCompressor(fake_load({"dict": forward, "next_id": 3}))
    assert obj.global_dict is forward
    assert obj.inverse_dict == {1: "a", 2: "b"} and type(obj.inverse_dict) is dict
    assert obj.next_id == 3


def test_dict_subclass_is_asked_for_items(fake_load):
    class Overriding(dict):
        def items(self):
            return [("from items", 5)]

    forward = Overriding(plain=1)
    obj = QBCompressor(fake_load({"dict": forward}))
    assert obj.global_dict is forward
    assert obj.inverse_dict == {5: "from items"}


@pytest.mark.parametrize("items,expected", [
    ([("a", 1), ("b", 2)], {1: "a", 2: "b"}),
    ((("a", 1), ("b", 1)), {1: "b"}),
    ([["a", 1]], {1: "a"}),
    (iter([("a", 1), ("b", 2)]), {1: "a", 2: "b"}),
    (("ab", "cd"), {"b": "a", "d": "c"}),       # any two-item iterable unpacks
    ([], {}),
])
def test_items_of_other_maps(fake_load, items, expected):
    class Mapping:
        def items(self):
            return items

    obj = QBCompressor(fake_load({"dict": Mapping()}))
    assert obj.inverse_dict == expected
    assert list(obj.inverse_dict) == list(expected)


@pytest.mark.parametrize("items,exc,message", [
    ([("a",)], ValueError, "need more than 1 value to unpack"),
    ([()], ValueError, "need more than 0 values to unpack"),
    ([["a"]], ValueError, "need more than 1 value to unpack"),
    ([[]], ValueError, "need more than 0 values to unpack"),
    (["a"], ValueError, "need more than 1 value to unpack"),
    ([("a", 1, 2)], ValueError, "too many values to unpack (expected 2)"),
    ([["a", 1, 2]], ValueError, "too many values to unpack (expected 2)"),
    (iter([("a", 1), ("b", 2, 3)]), ValueError, "too many values to unpack (expected 2)"),
    (["abc"], ValueError, "too many values to unpack (expected 2)"),
    ([("a", [1])], TypeError, "unhashable type: 'list'"),
    (5, TypeError, "'int' object is not iterable"),
])
def test_items_that_do_not_unpack_into_pairs(fake_load, items, exc, message):
    class Mapping:
        def items(self):
            return items

    forward = Mapping()
    obj = grown(fake_load({"dict": forward, "next_id": 9}))
    inverse = obj.inverse_dict
    with pytest.raises(exc) as info:
        obj.load_dict()
    assert str(info.value) == message
    assert names_and_lines(info.value) == [(LOAD, 23), (LOAD, 26)]
    # Building the inverse failed: the forward map is already replaced, nothing after it.
    assert obj.global_dict is forward
    assert obj.inverse_dict is inverse and obj.next_id == 2


def test_error_from_items_propagates(fake_load):
    class Mapping:
        def items(self):
            raise LookupError("no items")

    obj = grown(fake_load({"dict": Mapping()}))
    with pytest.raises(LookupError):
        obj.load_dict()


class GrowingId:
    """An id whose hashing adds an entry to the map being walked."""

    def __init__(self, target):
        self.target = target

    def __hash__(self):
        self.target["added"] = 0
        return 1


def test_dict_changing_size_during_the_walk(fake_load):
    forward = {}
    forward["a"] = GrowingId(forward)
    obj = grown(fake_load({"dict": forward}))
    inverse = obj.inverse_dict
    with pytest.raises(RuntimeError) as info:
        obj.load_dict()
    assert str(info.value) == "dictionary changed size during iteration"
    assert names_and_lines(info.value) == [(LOAD, 23), (LOAD, 26)]
    assert obj.global_dict is forward and obj.inverse_dict is inverse


def test_dict_changing_size_at_the_last_entry(fake_load):
    forward = {"a": 1}
    forward["z"] = GrowingId(forward)
    obj = grown(fake_load({"dict": forward}))
    with pytest.raises(RuntimeError):
        obj.load_dict()


# Failure rows of loading -----------------------------------------------------------

@pytest.mark.parametrize("content,exc", [
    (b"", EOFError),
    (pickle.dumps({"dict": {"a": 1}, "next_id": 2})[:-4], (pickle.UnpicklingError, EOFError)),
])
def test_empty_or_corrupt_file(in_tmp, content, exc):
    (in_tmp / "quorvale_dict.bin").write_bytes(content)
    with pytest.raises(exc) as info:
        QBCompressor()
    assert names_and_lines(info.value) == [(INIT, 18), (LOAD, 23), (LOAD, 24)]
    obj = grown("other.bin")
    obj.dict_path = "quorvale_dict.bin"
    with pytest.raises(exc):
        obj.load_dict()
    assert fields(obj) == ("quorvale_dict.bin", {"unsaved": 1}, {1: "unsaved"}, 2)


def test_path_none_fails_in_the_path_test(in_tmp):
    with pytest.raises(TypeError) as info:
        QBCompressor(None)
    assert str(info.value) == (
        "stat: path should be string, bytes, os.PathLike or integer, not NoneType")
    assert names_and_lines(info.value) == [(INIT, 18), (LOAD, 22)]


def test_directory_as_path(in_tmp):
    (in_tmp / "adir").mkdir()
    obj = grown("adir")
    forward = obj.global_dict
    with pytest.raises(IsADirectoryError) as info:
        obj.load_dict()
    assert names_and_lines(info.value) == [(LOAD, 23)]
    assert obj.global_dict is forward and obj.next_id == 2


@pytest.mark.parametrize("data,exc,message", [
    ([1, 2], AttributeError, "'list' object has no attribute 'get'"),
    ("text", AttributeError, "'str' object has no attribute 'get'"),
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
])
def test_top_level_without_get(in_tmp, data, exc, message):
    write_pickle("d.bin", data)
    obj = grown("d.bin")
    before = (obj.global_dict, obj.inverse_dict, obj.next_id)
    with pytest.raises(exc) as info:
        obj.load_dict()
    assert str(info.value) == message
    assert names_and_lines(info.value) == [(LOAD, 23), (LOAD, 25)]
    assert (obj.global_dict, obj.inverse_dict, obj.next_id) == before
    assert obj.global_dict is before[0]


def test_get_failing_changes_nothing(fake_load):
    class Failing:
        def get(self, key, default):
            raise KeyError(key)

    obj = grown(fake_load(Failing()))
    forward = obj.global_dict
    with pytest.raises(KeyError):
        obj.load_dict()
    assert obj.global_dict is forward


@pytest.mark.parametrize("stored,message", [
    (None, "'NoneType' object has no attribute 'items'"),
    ([("a", 1)], "'list' object has no attribute 'items'"),
    ("a", "'str' object has no attribute 'items'"),
    (5, "'int' object has no attribute 'items'"),
])
def test_stored_map_without_items(in_tmp, stored, message):
    write_pickle("d.bin", {"dict": stored, "next_id": 7})
    obj = grown("d.bin")
    inverse = obj.inverse_dict
    with pytest.raises(AttributeError) as info:
        obj.load_dict()
    assert str(info.value) == message
    assert names_and_lines(info.value) == [(LOAD, 23), (LOAD, 26)]
    assert obj.global_dict == stored
    assert obj.inverse_dict is inverse and obj.next_id == 2


def test_unhashable_id(in_tmp):
    write_pickle("d.bin", {"dict": {"a": 1, "b": [2]}, "next_id": 3})
    obj = grown("d.bin")
    inverse = obj.inverse_dict
    with pytest.raises(TypeError) as info:
        obj.load_dict()
    assert str(info.value) == "unhashable type: 'list'"
    assert obj.global_dict == {"a": 1, "b": [2]}
    assert obj.inverse_dict is inverse and obj.next_id == 2


@pytest.mark.parametrize("stored,exc,message", [
    ("4", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    ([4], TypeError, "an integer is required"),
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 64, OverflowError, "Python int too large to convert to C long"),
])
def test_stored_next_id_not_convertible(in_tmp, stored, exc, message):
    write_pickle("d.bin", {"dict": {"a": 1}, "next_id": stored})
    obj = grown("d.bin")
    with pytest.raises(exc) as info:
        obj.load_dict()
    assert str(info.value) == message
    assert names_and_lines(info.value) == [(LOAD, 23), (LOAD, 27)]
    assert (obj.global_dict, obj.inverse_dict, obj.next_id) == ({"a": 1}, {1: "a"}, 2)


# Host facilities as the methods reach them --------------------------------------------

@pytest.mark.parametrize("outcome", ["success", "failure"])
def test_file_is_opened_rb_passed_alone_and_closed(fake_load, outcome):
    path = fake_load({"dict": {"a": 1}} if outcome == "success" else [1])
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path = path
    if outcome == "success":
        obj.load_dict()
    else:
        with pytest.raises(AttributeError):
            obj.load_dict()
    f = fake_load.loaded["file"]
    assert fake_load.loaded["args"] == (f,)
    assert f.name == path and f.mode == "rb"
    assert f.closed


def test_path_test_receives_the_path_object_and_its_truth_decides(in_tmp, monkeypatch):
    seen = []
    path = object()

    def exists(value):
        seen.append(value)
        return 0

    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(exists=exists))
    monkeypatch.setattr(qbc_compressor, "os", fake_os)
    obj = QBCompressor(path)
    assert seen == [path] and obj.dict_path is path
    assert fields(obj)[1:] == ({}, {}, 1)


def test_path_test_result_with_failing_truth(in_tmp, monkeypatch):
    class NoTruth:
        def __bool__(self):
            raise ArithmeticError("undecided")

    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(exists=lambda p: NoTruth()))
    monkeypatch.setattr(qbc_compressor, "os", fake_os)
    with pytest.raises(ArithmeticError) as info:
        QBCompressor()
    assert names_and_lines(info.value) == [(INIT, 18), (LOAD, 22)]


@pytest.mark.parametrize("name,line", [("os", 22), ("pickle", 24)])
def test_module_global_missing(in_tmp, monkeypatch, name, line):
    write_pickle("quorvale_dict.bin", {"dict": {}})
    monkeypatch.delattr(qbc_compressor, name)
    with pytest.raises(NameError) as info:
        QBCompressor()
    assert str(info.value) == f"name '{name}' is not defined"
    expected = [(INIT, 18), (LOAD, 22)] if line == 22 else [(INIT, 18), (LOAD, 23),
                                                            (LOAD, 24)]
    assert names_and_lines(info.value) == expected


def test_replaced_builtin_open_is_not_used(in_tmp, monkeypatch):
    import builtins
    write_pickle("quorvale_dict.bin", {"dict": {"a": 1}, "next_id": 2})

    def refuse(*args, **kwargs):
        raise AssertionError("the module's open is the one fetched at start-up")

    monkeypatch.setattr(builtins, "open", refuse)
    obj = QBCompressor()
    obj.save_dict()
    obj.load_dict()
    monkeypatch.undo()
    assert fields(obj) == ("quorvale_dict.bin", {"a": 1}, {1: "a"}, 2)


# Overriding --------------------------------------------------------------------------

def test_subclass_can_extend_load_and_save(in_tmp):
    log = []

    class Logging(QBCompressor):
        def load_dict(self):
            log.append(("load", repr(fields(self))))
            return super().load_dict()

        def save_dict(self):
            log.append(("save", self.next_id))
            return super().save_dict()

    obj = Logging("d.bin")
    obj.global_dict["t"] = 1
    obj.next_id = 2
    obj.save_dict()
    again = Logging("d.bin")
    assert log == [("load", repr(("d.bin", {}, {}, 1))), ("save", 2),
                   ("load", repr(("d.bin", {}, {}, 1)))]
    assert fields(again) == ("d.bin", {"t": 1}, {1: "t"}, 2)


# Saving ---------------------------------------------------------------------------------

def test_save_writes_the_layout_at_the_default_protocol(in_tmp):
    obj = QBCompressor()
    obj.global_dict.update({"b": 2, "a": 1})
    obj.next_id = 3
    assert obj.save_dict() is None
    raw = (in_tmp / "quorvale_dict.bin").read_bytes()
    assert raw[:2] == b"\x80" + bytes([pickle.DEFAULT_PROTOCOL])
    data = pickle.loads(raw)
    assert type(data) is dict
    assert list(data) == ["dict", "next_id"]
    assert list(data["dict"].items()) == [("b", 2), ("a", 1)]
    assert data["next_id"] == 3 and type(data["next_id"]) is int
    # Nothing after the one pickle.
    assert len(pickle.dumps(data)) == len(raw)


def test_save_hands_the_map_itself_to_dump(in_tmp, monkeypatch):
    dumped = []

    def dump(*args):
        dumped.append(args)
        pickle.dump(*args)

    monkeypatch.setattr(qbc_compressor, "pickle",
                        types.SimpleNamespace(load=pickle.load, dump=dump))
    obj = QBCompressor()
    forward = obj.global_dict
    obj.save_dict()
    [(data, f)] = dumped
    assert data["dict"] is forward and data["next_id"] == 1
    assert f.closed


def test_save_changes_no_field(in_tmp):
    obj = grown()
    before = fields(obj)
    identities = [id(v) for v in before[:3]]
    obj.save_dict()
    assert fields(obj) == before
    assert [id(v) for v in fields(obj)[:3]] == identities


@pytest.mark.parametrize("forward", [
    {}, {"Hello,": 1, "  ": 2, "world!": 3, "\n": 4}, {"é": 1, "\u3000": 2, "\U0001f600": 3},
    {"dup1": 5, "dup2": 5},
])
@pytest.mark.parametrize("next_id", [1, -1, 0, 2147483647, -2147483648])
def test_round_trip(in_tmp, forward, next_id):
    obj = QBCompressor("rt.bin")
    obj.global_dict.update(forward)
    obj.next_id = next_id
    obj.save_dict()
    back = QBCompressor("rt.bin")
    assert list(back.global_dict.items()) == list(forward.items())
    assert back.inverse_dict == {v: k for k, v in forward.items()}
    assert back.next_id == next_id


def test_deleted_map_saves_none_and_loading_it_fails(in_tmp):
    obj = QBCompressor()
    del obj.global_dict
    obj.next_id = 5
    obj.save_dict()
    assert read_pickle("quorvale_dict.bin") == {"dict": None, "next_id": 5}
    other = grown("other.bin")
    other.dict_path = "quorvale_dict.bin"
    inverse = other.inverse_dict
    with pytest.raises(AttributeError) as info:
        other.load_dict()
    assert str(info.value) == "'NoneType' object has no attribute 'items'"
    assert other.global_dict is None
    assert other.inverse_dict is inverse and other.next_id == 2


def test_save_to_a_missing_directory(in_tmp):
    obj = grown(os.path.join("missing", "d.bin"))
    before = fields(obj)
    with pytest.raises(FileNotFoundError) as info:
        obj.save_dict()
    assert names_and_lines(info.value)[0] == (SAVE, 31)
    assert fields(obj) == before
    assert not (in_tmp / "missing").exists()


def test_save_with_path_none_fails_in_open(in_tmp):
    obj = QBCompressor.__new__(QBCompressor)
    obj.global_dict = {}
    with pytest.raises(TypeError) as info:
        obj.save_dict()
    assert names_and_lines(info.value)[0] == (SAVE, 31)


def test_save_of_an_unpicklable_map(in_tmp):
    obj = QBCompressor()
    obj.global_dict["f"] = lambda: None
    with pytest.raises((pickle.PicklingError, AttributeError)) as info:
        obj.save_dict()
    assert names_and_lines(info.value) == [(SAVE, 31), (SAVE, 32)]
    assert list(obj.global_dict) == ["f"] and obj.next_id == 1
