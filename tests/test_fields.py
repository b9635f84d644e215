"""The four fields of a compressor object: phases, host access, collection."""

import gc
import pickle
import weakref

import pytest

from qbc_compressor import QBCompressor

from traceback_entries import entries

REFERENCE_FIELDS = ["dict_path", "global_dict", "inverse_dict"]


def fields(obj):
    return (obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id)


class Sub(QBCompressor):
    pass


# Phases ----------------------------------------------------------------------------

@pytest.mark.parametrize("cls", [QBCompressor, Sub])
def test_allocated_state(cls):
    assert fields(cls.__new__(cls)) == (None, None, None, 0)


def test_allocation_examines_no_arguments():
    made = QBCompressor.__new__(QBCompressor, 1, 2, three=3)
    assert fields(made) == (None, None, None, 0)


def test_constructed_state_without_dictionary_file(in_tmp):
    made = QBCompressor()
    assert fields(made) == ("quorvale_dict.bin", {}, {}, 1)
    assert type(made.global_dict) is dict and type(made.inverse_dict) is dict
    assert made.global_dict is not made.inverse_dict
    other = QBCompressor()
    assert other.global_dict is not made.global_dict


@pytest.mark.parametrize("path", ["some.bin", b"bytes.bin", 17, 3.5, ("t",)])
def test_constructor_stores_the_argument_object_itself(in_tmp, path):
    class Quiet(QBCompressor):
        def load_dict(self):
            pass
    made = Quiet(path)
    assert made.dict_path is path


def test_constructor_again_resets_the_maps_and_reloads(in_tmp):
    made = QBCompressor("first.bin")
    old_forward, old_inverse = made.global_dict, made.inverse_dict
    old_forward["a"] = 1
    made.next_id = 9
    with open("second.bin", "wb") as f:
        pickle.dump({"dict": {"x": 5}, "next_id": 6}, f)
    assert made.__init__("second.bin") is None
    assert fields(made) == ("second.bin", {"x": 5}, {5: "x"}, 6)
    made.__init__("first.bin")
    assert fields(made) == ("first.bin", {}, {}, 1)
    assert made.global_dict is not old_forward and made.inverse_dict is not old_inverse
    assert old_forward == {"a": 1}


def test_overridden_load_dict_runs_after_the_fields_are_set(in_tmp):
    with open("quorvale_dict.bin", "wb") as f:
        pickle.dump({"dict": {"stored": 1}, "next_id": 2}, f)
    seen = []

    class Recording(QBCompressor):
        def load_dict(self, *args, **kwargs):
            seen.append((args, kwargs, fields(self)))
            return "ignored"

    made = Recording()
    assert seen == [((), {}, ("quorvale_dict.bin", {}, {}, 1))]
    # The built-in loading did not run.
    assert fields(made) == ("quorvale_dict.bin", {}, {}, 1)


def test_load_dict_found_by_attribute_lookup_on_the_instance(in_tmp):
    calls = []

    class Holder(QBCompressor):
        pass

    Holder.load_dict = lambda self: calls.append("class attribute")
    Holder()
    assert calls == ["class attribute"]


def test_constructor_failure_in_load_dict_keeps_fields_1_to_4(in_tmp):
    made = QBCompressor.__new__(QBCompressor)
    with pytest.raises(TypeError) as info:
        made.__init__(None)
    assert fields(made) == (None, {}, {}, 1)
    assert [e[:1] + e[2:] for e in entries(info.value)] == [
        ("qbc_compressor.QBCompressor.__init__", 18),
        ("qbc_compressor.QBCompressor.load_dict", 22)]


@pytest.mark.parametrize("failure", [AttributeError, KeyError])
def test_constructor_lookup_or_call_of_load_dict_fails(in_tmp, failure):
    class Broken(QBCompressor):
        @property
        def load_dict(self):
            raise failure("load_dict")

    with pytest.raises(failure) as info:
        Broken("p")
    assert entries(info.value) == [("qbc_compressor.QBCompressor.__init__", "compressor", 18)]


# Reading, assigning and deleting ------------------------------------------------------

@pytest.mark.parametrize("name", REFERENCE_FIELDS)
@pytest.mark.parametrize("value", [None, "text", 5, [1, 2], {"a": 1}, object(), b"x"])
def test_reference_field_stores_any_object_unchanged(name, value):
    obj = QBCompressor.__new__(QBCompressor)
    setattr(obj, name, value)
    assert getattr(obj, name) is value
    others = [n for n in REFERENCE_FIELDS if n != name]
    assert [getattr(obj, n) for n in others] == [None, None]
    assert obj.next_id == 0


@pytest.mark.parametrize("name", REFERENCE_FIELDS)
def test_reference_field_delete_stores_none(name):
    obj = QBCompressor.__new__(QBCompressor)
    setattr(obj, name, {"a": 1})
    delattr(obj, name)
    assert getattr(obj, name) is None
    delattr(obj, name)
    assert getattr(obj, name) is None


def test_maps_are_shared_by_reference(in_tmp):
    obj = QBCompressor()
    forward = obj.global_dict
    assert obj.global_dict is forward
    forward["hello"] = 1
    assert obj.global_dict == {"hello": 1}
    replacement = {}
    obj.inverse_dict = replacement
    replacement[1] = "hello"
    assert obj.inverse_dict is replacement and obj.inverse_dict == {1: "hello"}


@pytest.mark.parametrize("value,expected", [
    (2147483647, 2147483647), (-2147483648, -2147483648), (-1, -1), (2.9, 2), (True, 1)])
def test_next_id_reads_back(value, expected):
    obj = QBCompressor.__new__(QBCompressor)
    obj.next_id = value
    assert obj.next_id == expected
    assert type(obj.next_id) is int


@pytest.mark.parametrize("value,exc,message", [
    (2147483648, OverflowError, "value too large to convert to int"),
    ("5", TypeError, "an integer is required"),
    (2 ** 64, OverflowError, "Python int too large to convert to C long"),
])
def test_next_id_failed_assignment_keeps_value(value, exc, message):
    obj = QBCompressor.__new__(QBCompressor)
    obj.next_id = 7
    with pytest.raises(exc) as info:
        obj.next_id = value
    assert str(info.value) == message
    assert entries(info.value) == [
        ("qbc_compressor.QBCompressor.next_id.__set__", "compressor", 11)]
    assert obj.next_id == 7


def test_next_id_delete_fails_and_keeps_value():
    obj = QBCompressor.__new__(QBCompressor)
    obj.next_id = 7
    with pytest.raises(NotImplementedError) as info:
        del obj.next_id
    assert str(info.value) == "__del__"
    assert obj.next_id == 7


def test_field_descriptors_on_the_class():
    for name in REFERENCE_FIELDS + ["next_id"]:
        descriptor = QBCompressor.__dict__[name]
        assert descriptor.__name__ == name
        assert descriptor.__objclass__ is QBCompressor
        assert hasattr(descriptor, "__set__") and hasattr(descriptor, "__delete__")


# Instances of the class itself and of host subclasses --------------------------------

def test_class_instances_have_no_dict_and_no_weakref():
    obj = QBCompressor.__new__(QBCompressor)
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(AttributeError):
        obj.other = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)
    assert not hasattr(obj, "__weakref__")


def test_subclass_instances_get_dict_and_weakref(in_tmp):
    obj = Sub()
    obj.other = 1
    assert obj.__dict__ == {"other": 1}
    assert weakref.ref(obj)() is obj
    assert fields(obj) == ("quorvale_dict.bin", {}, {}, 1)


def test_subclass_with_slots_has_no_dict():
    class Slotted(QBCompressor):
        __slots__ = ("extra",)

    obj = Slotted.__new__(Slotted)
    obj.extra = 3
    with pytest.raises(AttributeError):
        obj.__dict__
    assert obj.extra == 3 and fields(obj) == (None, None, None, 0)


# Collection and teardown ------------------------------------------------------------------

def test_collector_sees_the_three_references_in_order():
    obj = QBCompressor.__new__(QBCompressor)
    path, forward, inverse = ["p"], {"f": 1}, {1: "f"}
    obj.dict_path, obj.global_dict, obj.inverse_dict = path, forward, inverse
    obj.next_id = 5
    assert gc.is_tracked(obj)
    referents = gc.get_referents(obj)
    assert len(referents) == 3
    assert all(a is b for a, b in zip(referents, [path, forward, inverse]))


class Marker:
    """Reports its own release into a shared log."""

    def __init__(self, log, name):
        self.log, self.name = log, name

    def __del__(self):
        self.log.append(self.name)


@pytest.mark.parametrize("field", REFERENCE_FIELDS)
def test_cycle_through_a_field_is_collected(field):
    gc.collect()
    obj = Sub.__new__(Sub)
    box = {"owner": obj}
    setattr(obj, field, box)
    alive = weakref.ref(obj)
    del obj, box
    gc.collect()
    assert alive() is None


@pytest.mark.parametrize("field", REFERENCE_FIELDS)
def test_cycle_through_a_class_instance_is_collected(field):
    gc.collect()
    log = []
    obj = QBCompressor.__new__(QBCompressor)
    box = {"owner": obj, "marker": Marker(log, "released")}
    setattr(obj, field, box)
    del obj, box
    gc.collect()
    assert log == ["released"]


def test_teardown_releases_fields_in_order():
    log = []
    obj = QBCompressor.__new__(QBCompressor)
    obj.dict_path = Marker(log, "dict_path")
    obj.global_dict = Marker(log, "global_dict")
    obj.inverse_dict = Marker(log, "inverse_dict")
    del obj
    assert log == ["dict_path", "global_dict", "inverse_dict"]


def test_subclass_finaliser_runs_first_and_sees_the_fields():
    log = []

    class Finalised(QBCompressor):
        def __del__(self):
            log.append(("__del__", type(self.dict_path).__name__, self.next_id))

    obj = Finalised.__new__(Finalised)
    obj.dict_path = Marker(log, "dict_path")
    obj.global_dict = Marker(log, "global_dict")
    obj.inverse_dict = Marker(log, "inverse_dict")
    obj.next_id = 3
    del obj
    assert log == [("__del__", "Marker", 3), "dict_path", "global_dict", "inverse_dict"]


def test_subclass_finaliser_runs_for_a_collected_cycle():
    log = []

    class Finalised(QBCompressor):
        def __del__(self):
            log.append(("__del__", self.global_dict is not None))

    gc.collect()
    obj = Finalised.__new__(Finalised)
    obj.global_dict = {"self": obj}
    del obj
    gc.collect()
    assert log == [("__del__", True)]



@pytest.mark.parametrize("field", REFERENCE_FIELDS)
def test_long_chain_of_objects_tears_down(tmp_path, field):
    import subprocess
    import sys
    code = f"""
from qbc_compressor import QBCompressor
head = None
for _ in range(300000):
    link = QBCompressor.__new__(QBCompressor)
    link.{field} = head
    head = link
del link
head = None
print("done")
"""
    proc = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True,
                          text=True, timeout=300)
    assert (proc.returncode, proc.stdout) == (0, "done\n"), proc.stderr


def test_abstract_subclass_cannot_be_instantiated():
    import abc

    class Abstract(QBCompressor, metaclass=abc.ABCMeta):
        @abc.abstractmethod
        def needed(self):
            pass

    with pytest.raises(TypeError) as info:
        Abstract.__new__(Abstract)
    assert "abstract" in str(info.value)
