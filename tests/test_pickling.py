"""Pickling and copying of compressor objects."""

import builtins
import copy
import hashlib
import pickle
import sys

import pytest

import qbc_compressor
from qbc_compressor import QBCompressor

from traceback_entries import entries

UNPICKLE = qbc_compressor.__pyx_unpickle_QBCompressor
CHECKSUM = 0x3e12e10
ACCEPTED = [0x3e12e10, 0x7d3093e, 0x18c54b4]
S = "<stringsource>"
REDUCE = "qbc_compressor.QBCompressor.__reduce_cython__"
SETSTATE = "qbc_compressor.QBCompressor.__setstate_cython__"
UNPICKLE_NAME = "qbc_compressor.__pyx_unpickle_QBCompressor"
SET_STATE_FN = "qbc_compressor.__pyx_unpickle_QBCompressor__set_state"
INCOMPATIBLE = ("Incompatible checksums (0x{} vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = "
                "(dict_path, global_dict, inverse_dict, next_id))")


def fields(obj):
    return (obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id)


def made(path="some/path.bin", forward=None, inverse=None, next_id=5):
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path = path
    obj.global_dict = {"a": 1, "b": 2} if forward is None else forward
    obj.inverse_dict = {1: "a", 2: "b"} if inverse is None else inverse
    obj.next_id = next_id
    return obj


class Sub(QBCompressor):
    pass


class SubWithInit(QBCompressor):
    """Its constructor and allocator must never run when unpickling."""
    calls = []

    def __new__(cls, *args):
        SubWithInit.calls.append("__new__")
        return super().__new__(cls)

    def __init__(self, *args):
        SubWithInit.calls.append("__init__")
        super().__init__(*args)


class Slotted(QBCompressor):
    __slots__ = ("extra",)


# The layout checksum ----------------------------------------------------------------

def test_accepted_checksums_name_the_field_layout():
    text = b"dict_path global_dict inverse_dict next_id"
    assert len(text) == 42
    digests = [hashlib.sha256(text), hashlib.sha1(text), hashlib.md5(text)]
    assert [int(d.hexdigest()[:7], 16) for d in digests] == ACCEPTED


# Reduce step ---------------------------------------------------------------------------

def test_reduce_with_separate_state():
    obj = made()
    fn, args, state = obj.__reduce__()
    assert fn is UNPICKLE
    assert args == (QBCompressor, CHECKSUM, None) and args[0] is QBCompressor
    assert state == ("some/path.bin", {"a": 1, "b": 2}, {1: "a", 2: "b"}, 5)
    assert all(a is b for a, b in zip(state[:3], fields(obj)[:3]))
    assert type(state) is tuple and type(state[3]) is int


def test_reduce_with_inline_state():
    obj = QBCompressor.__new__(QBCompressor)
    value = obj.__reduce__()
    assert value == (UNPICKLE, (QBCompressor, CHECKSUM, (None, None, None, 0)))
    assert len(value) == 2 and value[0] is UNPICKLE


@pytest.mark.parametrize("field", ["dict_path", "global_dict", "inverse_dict"])
def test_any_reference_set_chooses_separate_state(field):
    obj = QBCompressor.__new__(QBCompressor)
    setattr(obj, field, 0)
    obj.next_id = -3
    value = obj.__reduce__()
    assert len(value) == 3 and value[1] == (QBCompressor, CHECKSUM, None)
    assert value[2][3] == -3


def test_next_id_alone_keeps_inline_state():
    obj = QBCompressor.__new__(QBCompressor)
    obj.next_id = 9
    assert obj.__reduce__() == (UNPICKLE, (QBCompressor, CHECKSUM, (None, None, None, 9)))


def test_reduce_aliases_give_the_same_value():
    obj = made()
    assert obj.__reduce__() == obj.__reduce_cython__()
    assert obj.__reduce_ex__(0) == obj.__reduce__()
    assert obj.__reduce_ex__(5) == obj.__reduce__()


def test_no_getstate_or_reduce_ex_of_its_own():
    assert "__getstate__" not in QBCompressor.__dict__
    assert "__reduce_ex__" not in QBCompressor.__dict__
    assert "__reduce__" in QBCompressor.__dict__ and "__setstate__" in QBCompressor.__dict__


def test_subclass_reduce_carries_the_attribute_dictionary():
    obj = Sub.__new__(Sub)
    obj.x = 1
    fn, args, state = obj.__reduce__()
    assert args == (Sub, CHECKSUM, None) and args[0] is Sub
    assert state == (None, None, None, 0, {"x": 1})
    assert state[4] is obj.__dict__


def test_subclass_with_empty_attribute_dictionary_still_uses_five_elements():
    obj = Sub.__new__(Sub)
    assert obj.__reduce__() == (UNPICKLE, (Sub, CHECKSUM, None), (None, None, None, 0, {}))


def test_subclass_without_attribute_dictionary():
    obj = Slotted.__new__(Slotted)
    obj.extra = 1
    assert obj.__reduce__() == (UNPICKLE, (Slotted, CHECKSUM, (None, None, None, 0)))


class DictFails(QBCompressor):
    @property
    def __dict__(self):
        raise LookupError("no attributes today")


class DictMissing(QBCompressor):
    @property
    def __dict__(self):
        raise AttributeError("__dict__")


def test_reduce_attribute_dictionary_error_propagates():
    obj = DictFails.__new__(DictFails)
    with pytest.raises(LookupError) as info:
        obj.__reduce__()
    assert entries(info.value) == [(REDUCE, S, 6)]


def test_reduce_attribute_error_means_no_dictionary():
    obj = DictMissing.__new__(DictMissing)
    assert obj.__reduce__() == (UNPICKLE, (DictMissing, CHECKSUM, (None, None, None, 0)))


@pytest.mark.parametrize("separate,line", [(True, 13), (False, 15)])
def test_reduce_reads_the_module_function_at_each_use(monkeypatch, separate, line):
    obj = made() if separate else QBCompressor.__new__(QBCompressor)
    replacement = object()
    monkeypatch.setattr(qbc_compressor, "__pyx_unpickle_QBCompressor", replacement)
    assert obj.__reduce__()[0] is replacement
    monkeypatch.delattr(qbc_compressor, "__pyx_unpickle_QBCompressor")
    monkeypatch.setattr(builtins, "__pyx_unpickle_QBCompressor", replacement, raising=False)
    assert obj.__reduce__()[0] is replacement
    monkeypatch.delattr(builtins, "__pyx_unpickle_QBCompressor")
    before = fields(obj)
    with pytest.raises(NameError) as info:
        obj.__reduce__()
    assert str(info.value) == "name '__pyx_unpickle_QBCompressor' is not defined"
    assert entries(info.value) == [(REDUCE, S, line)]
    assert fields(obj) == before


@pytest.mark.parametrize("name", ["__reduce__", "__reduce_cython__"])
def test_reduce_argument_errors(name):
    with pytest.raises(TypeError) as info:
        getattr(made(), name)(1)
    assert str(info.value) == (
        "__reduce_cython__() takes exactly 0 positional arguments (1 given)")
    assert entries(info.value) == []


# Unpickling function -----------------------------------------------------------------

@pytest.mark.parametrize("checksum", ACCEPTED)
@pytest.mark.parametrize("cls", [QBCompressor, Sub])
def test_unpickle_makes_an_allocated_object(in_tmp, checksum, cls):
    (in_tmp / "quorvale_dict.bin").write_bytes(pickle.dumps({"dict": {"x": 1}}))
    obj = UNPICKLE(cls, checksum, None)
    assert type(obj) is cls
    assert fields(obj) == (None, None, None, 0)


def test_unpickle_runs_neither_new_nor_init_of_a_subclass():
    SubWithInit.calls.clear()
    obj = UNPICKLE(SubWithInit, CHECKSUM, ("p", {}, {}, 2, {"y": 3}))
    assert SubWithInit.calls == []
    assert fields(obj) == ("p", {}, {}, 2) and obj.y == 3


@pytest.mark.parametrize("checksum,shown", [(1, "1"), (-1, "-1"), (0, "0"),
                                            (0xABCDEF0123, "abcdef0123")])
def test_unpickle_refuses_other_checksums(checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        UNPICKLE(QBCompressor, checksum, ("p", {}, {}, 1))
    assert type(info.value) is pickle.PickleError
    assert str(info.value) == INCOMPATIBLE.format(shown)
    assert info.value.args == (INCOMPATIBLE.format(shown),)
    assert entries(info.value) == [(UNPICKLE_NAME, S, 6)]


def test_pickle_error_is_imported_at_the_moment_of_failure(monkeypatch):
    class Replacement(Exception):
        pass

    monkeypatch.setattr(pickle, "PickleError", Replacement)
    with pytest.raises(Replacement) as info:
        UNPICKLE(QBCompressor, 1, None)
    assert str(info.value) == INCOMPATIBLE.format("1")


def test_pickle_error_import_failure(monkeypatch):
    monkeypatch.setitem(sys.modules, "pickle", None)
    with pytest.raises(ImportError) as info:
        UNPICKLE(QBCompressor, 1, None)
    assert entries(info.value) == [(UNPICKLE_NAME, S, 5)]


def test_pickle_error_name_missing(monkeypatch):
    monkeypatch.delattr(pickle, "PickleError")
    with pytest.raises(ImportError) as info:
        UNPICKLE(QBCompressor, 1, None)
    assert "PickleError" in str(info.value)
    assert entries(info.value) == [(UNPICKLE_NAME, S, 5)]


@pytest.mark.parametrize("cls", [int, object, "QBCompressor", None, dict])
def test_unpickle_type_not_the_class(cls):
    with pytest.raises(TypeError) as info:
        UNPICKLE(cls, CHECKSUM, None)
    assert entries(info.value) == [(UNPICKLE_NAME, S, 7)]


def test_unpickle_type_error_message_is_the_hosts():
    with pytest.raises(TypeError) as expected:
        QBCompressor.__new__(int)
    with pytest.raises(TypeError) as info:
        UNPICKLE(int, CHECKSUM, None)
    assert str(info.value) == str(expected.value)


@pytest.mark.parametrize("state,type_name", [
    ([None, None, None, 0], "list"), ({}, "dict"), ("abcd", "str"), (5, "int"),
    (type("T", (tuple,), {})((None, None, None, 0)), "T"),
])
def test_unpickle_state_not_a_tuple(state, type_name):
    with pytest.raises(TypeError) as info:
        UNPICKLE(QBCompressor, CHECKSUM, state)
    assert str(info.value) == f"Expected tuple, got {type_name}"
    assert entries(info.value) == [(UNPICKLE_NAME, S, 9)]


def test_unpickle_applies_inline_state():
    forward = {"k": 3}
    obj = UNPICKLE(QBCompressor, CHECKSUM, ("p", forward, {3: "k"}, 4))
    assert fields(obj) == ("p", {"k": 3}, {3: "k"}, 4)
    assert obj.global_dict is forward


def test_unpickle_state_failure_carries_both_entries():
    with pytest.raises(TypeError) as info:
        UNPICKLE(QBCompressor, CHECKSUM, ("p", {}, {}, "four"))
    assert str(info.value) == "an integer is required"
    assert entries(info.value) == [(UNPICKLE_NAME, S, 9), (SET_STATE_FN, S, 12)]


# State step ------------------------------------------------------------------------------

@pytest.mark.parametrize("name", ["__setstate__", "__setstate_cython__"])
def test_state_step_sets_the_fields(name):
    obj = made()
    forward, inverse = {"z": 9}, {9: "z"}
    assert getattr(obj, name)(("q", forward, inverse, 10)) is None
    assert fields(obj) == ("q", {"z": 9}, {9: "z"}, 10)
    assert obj.global_dict is forward and obj.inverse_dict is inverse


def test_state_step_by_keyword():
    obj = made()
    obj.__setstate__(__pyx_state=("k", {}, {}, 1))
    assert fields(obj) == ("k", {}, {}, 1)


@pytest.mark.parametrize("name", ["__setstate__", "__setstate_cython__"])
@pytest.mark.parametrize("state,type_name", [([1, 2, 3, 4], "list"), ({}, "dict"),
                                             (b"", "bytes")])
def test_state_step_refuses_other_types(name, state, type_name):
    obj = made()
    before = fields(obj)
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(state)
    assert str(info.value) == f"Expected tuple, got {type_name}"
    assert entries(info.value) == [(SETSTATE, S, 17)]
    assert fields(obj) == before


@pytest.mark.parametrize("name", ["__setstate__", "__setstate_cython__"])
def test_state_step_given_none(name):
    obj = made()
    before = fields(obj)
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(None)
    assert str(info.value) == "'NoneType' object is not subscriptable"
    assert entries(info.value) == [(SETSTATE, S, 17), (SET_STATE_FN, S, 12)]
    assert fields(obj) == before


@pytest.mark.parametrize("state,after", [
    ((), ("some/path.bin", {"a": 1, "b": 2}, {1: "a", 2: "b"}, 5)),
    (("x",), ("x", {"a": 1, "b": 2}, {1: "a", 2: "b"}, 5)),
    (("x", "y"), ("x", "y", {1: "a", 2: "b"}, 5)),
    (("x", "y", "z"), ("x", "y", "z", 5)),
])
def test_state_tuple_too_short(state, after):
    obj = made()
    with pytest.raises(IndexError) as info:
        obj.__setstate__(state)
    assert str(info.value) == "tuple index out of range"
    assert entries(info.value) == [(SETSTATE, S, 17), (SET_STATE_FN, S, 12)]
    assert fields(obj) == after


@pytest.mark.parametrize("value,exc,message", [
    ("4", TypeError, "an integer is required"),
    (2147483648, OverflowError, "value too large to convert to int"),
    (-2147483649, OverflowError, "value too large to convert to int"),
    (2 ** 64, OverflowError, "Python int too large to convert to C long"),
])
def test_state_element_3_not_convertible(value, exc, message):
    obj = made()
    with pytest.raises(exc) as info:
        obj.__setstate__(("x", "y", "z", value))
    assert str(info.value) == message
    assert fields(obj) == ("x", "y", "z", 5)


@pytest.mark.parametrize("value,expected", [(True, 1), (7.9, 7), (-1, -1),
                                            (2147483647, 2147483647)])
def test_state_element_3_converted(value, expected):
    obj = made()
    obj.__setstate__(("x", None, None, value))
    assert obj.next_id == expected


def test_state_extra_elements_ignored_without_attribute_dictionary():
    obj = made()
    obj.__setstate__(("x", {}, {}, 1, "not read", "not read either"))
    assert fields(obj) == ("x", {}, {}, 1)
    slotted = Slotted.__new__(Slotted)
    slotted.__setstate__(("x", {}, {}, 1, 5))
    assert fields(slotted) == ("x", {}, {}, 1)


def test_state_updates_the_attribute_dictionary():
    obj = Sub.__new__(Sub)
    obj.kept = "yes"
    attrs = obj.__dict__
    obj.__setstate__(("x", {}, {}, 1, {"x": 1}, "ignored"))
    assert obj.__dict__ is attrs
    assert obj.__dict__ == {"kept": "yes", "x": 1}


@pytest.mark.parametrize("extra,exc", [(5, TypeError), ([("a", 1, 2)], ValueError)])
def test_state_update_failure_leaves_all_four_fields_set(extra, exc):
    obj = Sub.__new__(Sub)
    with pytest.raises(exc) as info:
        obj.__setstate__(("x", {}, {}, 3, extra))
    assert fields(obj) == ("x", {}, {}, 3)
    assert entries(info.value) == [(SETSTATE, S, 17), (SET_STATE_FN, S, 14)]


def test_state_attribute_test_error_propagates():
    obj = DictFails.__new__(DictFails)
    with pytest.raises(LookupError) as info:
        obj.__setstate__(("x", {}, {}, 3, {"a": 1}))
    assert fields(obj) == ("x", {}, {}, 3)
    assert entries(info.value) == [(SETSTATE, S, 17), (SET_STATE_FN, S, 13)]


def test_state_attribute_error_means_no_dictionary():
    obj = DictMissing.__new__(DictMissing)
    assert obj.__setstate__(("x", {}, {}, 3, {"a": 1})) is None
    assert fields(obj) == ("x", {}, {}, 3)


# Round trips ----------------------------------------------------------------------------

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("obj_fields", [
    ("some/path.bin", {"Hello,": 1, "  ": 2}, {1: "Hello,", 2: "  "}, 5),
    (None, None, None, 0),
    (None, {"a": 1}, None, -1),
    ("p", [1, 2], ("t",), 2147483647),
])
def test_round_trip(in_tmp, protocol, obj_fields):
    (in_tmp / "quorvale_dict.bin").write_bytes(pickle.dumps({"dict": {"file": 1},
                                                             "next_id": 2}))
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id = obj_fields
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert type(back) is QBCompressor
    assert fields(back) == obj_fields
    if obj_fields[1] is not None:
        assert list(back.global_dict) == list(obj_fields[1])


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip_of_a_constructed_object(in_tmp, protocol):
    obj = QBCompressor()
    obj.global_dict.update({"a": 1, "b": 2})
    obj.inverse_dict.update({1: "a", 2: "b"})
    obj.next_id = 3
    # A dictionary file written later must not be read when unpickling.
    data = pickle.dumps(obj, protocol)
    (in_tmp / "quorvale_dict.bin").write_bytes(pickle.dumps({"dict": {"other": 9}}))
    back = pickle.loads(data)
    assert fields(back) == ("quorvale_dict.bin", {"a": 1, "b": 2}, {1: "a", 2: "b"}, 3)


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("cls", [Sub, SubWithInit])
def test_round_trip_of_subclass_with_attributes(in_tmp, protocol, cls):
    obj = cls.__new__(cls)
    obj.__setstate__(("p", {"t": 1}, {1: "t"}, 2))
    obj.x = 1
    obj.nested = [obj.global_dict]
    SubWithInit.calls.clear()
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert SubWithInit.calls == []
    assert type(back) is cls
    assert fields(back) == ("p", {"t": 1}, {1: "t"}, 2)
    assert back.x == 1
    # The shared map stays shared within the one pickle.
    assert back.nested[0] is back.global_dict


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_round_trip_of_a_cycle(protocol):
    obj = made()
    obj.global_dict["self"] = obj
    back = pickle.loads(pickle.dumps(obj, protocol))
    assert back.global_dict["self"] is back


class Watching(QBCompressor):
    calls = []

    def load_dict(self):
        Watching.calls.append("load")


def test_unpickling_never_loads_the_dictionary_file(in_tmp):
    obj = Watching()
    assert Watching.calls == ["load"]
    Watching.calls.clear()
    back = pickle.loads(pickle.dumps(obj))
    assert Watching.calls == [] and fields(back) == fields(obj)


def test_pickle_stores_references_by_name():
    data = pickle.dumps(made(), 0)
    assert b"qbc_compressor" in data
    assert b"__pyx_unpickle_QBCompressor" in data
    assert b"QBCompressor" in data


# Copies ------------------------------------------------------------------------------------

def test_shallow_copy_shares_the_references():
    obj = made()
    dup = copy.copy(obj)
    assert type(dup) is QBCompressor and dup is not obj
    assert all(a is b for a, b in zip(fields(dup)[:3], fields(obj)[:3]))
    assert dup.next_id == 5


def test_deep_copy_copies_the_maps():
    obj = made(path=["list", "path"])
    dup = copy.deepcopy(obj)
    assert fields(dup) == fields(obj)
    assert all(a is not b for a, b in zip(fields(dup)[:3], fields(obj)[:3]))


def test_copies_of_a_subclass_instance():
    obj = Sub.__new__(Sub)
    obj.__setstate__(("p", {"a": 1}, {}, 4))
    obj.attr = [1]
    shallow, deep = copy.copy(obj), copy.deepcopy(obj)
    assert type(shallow) is Sub and type(deep) is Sub
    assert shallow.attr is obj.attr and deep.attr == [1] and deep.attr is not obj.attr
    assert shallow.global_dict is obj.global_dict
    assert deep.global_dict == obj.global_dict and deep.global_dict is not obj.global_dict


def test_copy_of_allocated_object():
    dup = copy.copy(QBCompressor.__new__(QBCompressor))
    assert fields(dup) == (None, None, None, 0)
