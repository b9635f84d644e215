"""Argument binding, conversions and function objects of the class surface."""

import ctypes
import decimal
import fractions
import inspect
import pickle
import types
import warnings

import pytest

import qbc_compressor
from qbc_compressor import QBCompressor

from traceback_entries import entries

UNPICKLE = qbc_compressor.__pyx_unpickle_QBCompressor

C = "compressor"
S = "<stringsource>"
INIT = ("qbc_compressor.QBCompressor.__init__", C, 13)
TOKENIZE = ("qbc_compressor.QBCompressor.tokenize", C, 38)
DETOKENIZE = ("qbc_compressor.QBCompressor.detokenize", C, 41)
ENCODE = ("qbc_compressor.QBCompressor.encode_files", C, 45)
DECODE = ("qbc_compressor.QBCompressor.decode_package", C, 95)
SETSTATE = ("qbc_compressor.QBCompressor.__setstate_cython__", S, 16)
UNPICKLE_ENTRY = ("qbc_compressor.__pyx_unpickle_QBCompressor", S, 1)
NEXT_ID_SET = ("qbc_compressor.QBCompressor.next_id.__set__", C, 11)

METHOD_NAMES = ["load_dict", "save_dict", "tokenize", "detokenize", "encode_files",
                "decode_package", "__reduce_cython__", "__setstate_cython__"]


@pytest.fixture
def obj():
    """An allocated object: no constructor, so no dictionary file is read."""
    return QBCompressor.__new__(QBCompressor)


def count(name, qualifier, expected, given):
    plural = "" if expected == 1 else "s"
    return (f"{name}() takes {qualifier} {expected} positional argument{plural} "
            f"({given} given)")


def unexpected(name, keyword):
    return f"{name}() got an unexpected keyword argument '{keyword}'"


def multiple(name, keyword):
    return f"{name}() got multiple values for keyword argument '{keyword}'"


def call_on(target, name):
    """A caller of method `name` (or the constructor / the module function)."""
    if name == "__init__":
        return QBCompressor
    if name == "__pyx_unpickle_QBCompressor":
        return UNPICKLE
    return getattr(target, name)


# Count, keyword and multiple-values messages ---------------------------------

BINDING_FAILURES = [
    # tokenize / detokenize: exactly one parameter.
    ("tokenize", (), {}, count("tokenize", "exactly", 1, 0), TOKENIZE),
    ("tokenize", ("a", "b"), {}, count("tokenize", "exactly", 1, 2), TOKENIZE),
    ("tokenize", (), {"foo": 1}, unexpected("tokenize", "foo"), TOKENIZE),
    ("tokenize", ("a",), {"text": "b"}, multiple("tokenize", "text"), TOKENIZE),
    # Keywords are matched in the order given, the missing check comes last.
    ("tokenize", (), {"text": "a", "foo": 1}, unexpected("tokenize", "foo"), TOKENIZE),
    ("tokenize", (), {"foo": 1, "text": "a"}, unexpected("tokenize", "foo"), TOKENIZE),
    ("tokenize", ("a",), {"foo": 1}, unexpected("tokenize", "foo"), TOKENIZE),
    # With keywords, too many positional arguments are still the count error.
    ("tokenize", ("a", "b"), {"foo": 1}, count("tokenize", "exactly", 1, 2), TOKENIZE),
    ("tokenize", ("a", "b"), {"text": 1}, count("tokenize", "exactly", 1, 2), TOKENIZE),
    ("detokenize", (), {}, count("detokenize", "exactly", 1, 0), DETOKENIZE),
    ("detokenize", ([], []), {}, count("detokenize", "exactly", 1, 2), DETOKENIZE),
    ("detokenize", (), {"text": []}, unexpected("detokenize", "text"), DETOKENIZE),
    ("detokenize", ([],), {"tokens": []}, multiple("detokenize", "tokens"), DETOKENIZE),
    # encode_files: two required, two optional.
    ("encode_files", ([],), {}, count("encode_files", "at least", 2, 1), ENCODE),
    ("encode_files", (), {}, count("encode_files", "at least", 2, 0), ENCODE),
    ("encode_files", (), {"output_path": "x"}, count("encode_files", "at least", 2, 0),
     ENCODE),
    ("encode_files", (), {"filepaths": []}, count("encode_files", "at least", 2, 1), ENCODE),
    ("encode_files", (), {"threads": 1, "filepaths": []},
     count("encode_files", "at least", 2, 1), ENCODE),
    ("encode_files", (), {"zstd_level": 1, "threads": 1},
     count("encode_files", "at least", 2, 0), ENCODE),
    ("encode_files", ([], "x", 1, 2, 3), {}, count("encode_files", "at most", 4, 5), ENCODE),
    ("encode_files", ([], "x", 1, 2, 3), {"foo": 1}, count("encode_files", "at most", 4, 5),
     ENCODE),
    ("encode_files", ([], "x"), {"filepaths": []}, multiple("encode_files", "filepaths"),
     ENCODE),
    ("encode_files", ([], "x", 1), {"zstd_level": 2}, multiple("encode_files", "zstd_level"),
     ENCODE),
    ("encode_files", ([],), {"output_path": "x", "zstd_level": 1, "threads": 2, "foo": 3},
     unexpected("encode_files", "foo"), ENCODE),
    ("encode_files", ([],), {"zstd": 1}, unexpected("encode_files", "zstd"), ENCODE),
    # decode_package: two required, one optional.
    ("decode_package", ("p",), {}, count("decode_package", "at least", 2, 1), DECODE),
    ("decode_package", ("p", "d", True, 1), {}, count("decode_package", "at most", 3, 4),
     DECODE),
    ("decode_package", (), {"output_dir": "d"}, count("decode_package", "at least", 2, 0),
     DECODE),
    ("decode_package", (), {"package_path": "p", "use_zstd": False},
     count("decode_package", "at least", 2, 1), DECODE),
    ("decode_package", ("p",), {"package_path": "q"}, multiple("decode_package", "package_path"),
     DECODE),
    ("decode_package", (), {"package_path": "p", "output_dir": "d", "use_zstd": 1, "x": 1},
     unexpected("decode_package", "x"), DECODE),
    # __setstate_cython__: one required.
    ("__setstate_cython__", (), {}, count("__setstate_cython__", "exactly", 1, 0), SETSTATE),
    ("__setstate_cython__", (None, None), {}, count("__setstate_cython__", "exactly", 1, 2),
     SETSTATE),
    ("__setstate_cython__", (), {"state": None}, unexpected("__setstate_cython__", "state"),
     SETSTATE),
    ("__setstate_cython__", (None,), {"__pyx_state": None},
     multiple("__setstate_cython__", "__pyx_state"), SETSTATE),
    # The module function: three required.
    ("__pyx_unpickle_QBCompressor", (), {},
     count("__pyx_unpickle_QBCompressor", "exactly", 3, 0), UNPICKLE_ENTRY),
    ("__pyx_unpickle_QBCompressor", (QBCompressor, 0x3e12e10), {},
     count("__pyx_unpickle_QBCompressor", "exactly", 3, 2), UNPICKLE_ENTRY),
    ("__pyx_unpickle_QBCompressor", (QBCompressor, 0x3e12e10, None, None), {},
     count("__pyx_unpickle_QBCompressor", "exactly", 3, 4), UNPICKLE_ENTRY),
    # The given count of a missing parameter: required ones before the first unbound.
    ("__pyx_unpickle_QBCompressor", (QBCompressor,), {"__pyx_checksum": 0x3e12e10},
     count("__pyx_unpickle_QBCompressor", "exactly", 3, 2), UNPICKLE_ENTRY),
    ("__pyx_unpickle_QBCompressor", (QBCompressor,), {"__pyx_state": None},
     count("__pyx_unpickle_QBCompressor", "exactly", 3, 1), UNPICKLE_ENTRY),
    ("__pyx_unpickle_QBCompressor", (), {"__pyx_state": None, "__pyx_checksum": 1},
     count("__pyx_unpickle_QBCompressor", "exactly", 3, 0), UNPICKLE_ENTRY),
    ("__pyx_unpickle_QBCompressor", (QBCompressor, 0x3e12e10, None), {"__pyx_type": None},
     multiple("__pyx_unpickle_QBCompressor", "__pyx_type"), UNPICKLE_ENTRY),
    ("__pyx_unpickle_QBCompressor", (QBCompressor, 0x3e12e10, None), {"foo": None},
     unexpected("__pyx_unpickle_QBCompressor", "foo"), UNPICKLE_ENTRY),
    # The constructor: one optional parameter, arguments as a tuple and a dict.
    ("__init__", ("a", "b"), {}, count("__init__", "at most", 1, 2), INIT),
    ("__init__", ("a", "b"), {"dict_path": "c"}, count("__init__", "at most", 1, 2), INIT),
    ("__init__", (), {"foo": 1}, unexpected("__init__", "foo"), INIT),
    ("__init__", ("a",), {"dict_path": "b"}, multiple("__init__", "dict_path"), INIT),
    ("__init__", (), {"dict_path": "a", "path": "b"}, unexpected("__init__", "path"), INIT),
    # Every key of the dict is tested before any is matched.
    ("__init__", (), {1: 2}, "keywords must be strings", INIT),
    ("__init__", (), {"foo": 1, 2: 3}, "keywords must be strings", INIT),
    ("__init__", ("a",), {"dict_path": "b", 2: 3}, "keywords must be strings", INIT),
    # ... but only after the positional count.
    ("__init__", ("a", "b"), {1: 2}, count("__init__", "at most", 1, 2), INIT),
]


@pytest.mark.parametrize("name,args,kwargs,message,entry", BINDING_FAILURES)
def test_binding_failure_message_and_entry(in_tmp, obj, name, args, kwargs, message, entry):
    with pytest.raises(TypeError) as info:
        call_on(obj, name)(*args, **kwargs)
    assert str(info.value) == message
    assert entries(info.value) == [entry]


@pytest.mark.parametrize("name", ["load_dict", "save_dict", "__reduce_cython__",
                                  "__reduce__"])
@pytest.mark.parametrize("args,kwargs,message", [
    ((1,), {}, "{}() takes exactly 0 positional arguments (1 given)"),
    ((1, 2), {}, "{}() takes exactly 0 positional arguments (2 given)"),
    ((1,), {"a": 1}, "{}() takes exactly 0 positional arguments (1 given)"),
    ((), {"a": 1}, "{}() got an unexpected keyword argument 'a'"),
    ((), {"b": 1, "a": 2}, "{}() got an unexpected keyword argument 'b'"),
])
def test_parameterless_methods_reject_arguments_without_entry(in_tmp, obj, name, args, kwargs,
                                                              message):
    plain = "__reduce_cython__" if name == "__reduce__" else name
    before = (obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id)
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(*args, **kwargs)
    assert str(info.value) == message.format(plain)
    assert entries(info.value) == []
    assert (obj.dict_path, obj.global_dict, obj.inverse_dict, obj.next_id) == before


def test_setstate_alias_binds_like_setstate_cython(obj):
    with pytest.raises(TypeError) as info:
        obj.__setstate__()
    assert str(info.value) == count("__setstate_cython__", "exactly", 1, 0)
    assert entries(info.value) == [SETSTATE]


class Str(str):
    pass


class OddEqStr(str):
    """A keyword name whose own comparison would never match."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__


@pytest.mark.parametrize("key", [
    "".join(["te", "xt"]),   # equal text, not the interned name object
    Str("text"),
    OddEqStr("text"),
])
def test_keyword_names_match_by_text(obj, key):
    assert obj.tokenize(**{key: "a b"}) == obj.tokenize("a b")


def test_constructor_keyword_and_positional_give_the_same_state(in_tmp):
    by_keyword = QBCompressor(dict_path="some.bin")
    by_position = QBCompressor("some.bin")
    by_str_subclass = QBCompressor(**{Str("dict_path"): "some.bin"})
    for made in (by_keyword, by_position, by_str_subclass):
        assert (made.dict_path, made.global_dict, made.inverse_dict, made.next_id) == (
            "some.bin", {}, {}, 1)


# Keyword names that are not strings can only arrive through the C calling
# convention; reach it with ctypes.

_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t,
                        ctypes.py_object]


def vectorcall(callable_, positional, kwnames, kwvalues):
    items = list(positional) + list(kwvalues)
    array = (ctypes.py_object * max(len(items), 1))(*items)
    return _vectorcall(callable_, array, len(positional), kwnames)


@pytest.mark.parametrize("callable_name,positional,message,expected", [
    ("tokenize", "self", "tokenize() keywords must be strings", [TOKENIZE]),
    ("encode_files", "self", "encode_files() keywords must be strings", [ENCODE]),
    ("__setstate_cython__", "self", "__setstate_cython__() keywords must be strings",
     [SETSTATE]),
    ("load_dict", "self", "load_dict() keywords must be strings", []),
    ("__pyx_unpickle_QBCompressor", "none",
     "__pyx_unpickle_QBCompressor() keywords must be strings", [UNPICKLE_ENTRY]),
])
def test_non_string_keyword_name(obj, callable_name, positional, message, expected):
    if callable_name == "__pyx_unpickle_QBCompressor":
        target, args = UNPICKLE, []
    else:
        target, args = QBCompressor.__dict__[callable_name], [obj]
    with pytest.raises(TypeError) as info:
        vectorcall(target, args, (1,), ["value"])
    assert str(info.value) == message
    assert entries(info.value) == expected


# Exact-type tests --------------------------------------------------------------

class MyList(list):
    pass


TYPE_FAILURES = [
    ("tokenize", (b"x",), "text", "str", "bytes"),
    ("tokenize", (Str("x"),), "text", "str", "Str"),
    ("tokenize", (1,), "text", "str", "int"),
    ("detokenize", ((),), "tokens", "list", "tuple"),
    ("detokenize", (MyList(),), "tokens", "list", "MyList"),
    ("encode_files", ((), "out"), "filepaths", "list", "tuple"),
    ("encode_files", (MyList(), "out"), "filepaths", "list", "MyList"),
    ("encode_files", ([], b"out"), "output_path", "str", "bytes"),
    # filepaths is tested before output_path.
    ("encode_files", ((), b"out"), "filepaths", "list", "tuple"),
    ("decode_package", (b"p", "d"), "package_path", "str", "bytes"),
    ("decode_package", ("p", Str("d")), "output_dir", "str", "Str"),
    ("decode_package", (b"p", b"d"), "package_path", "str", "bytes"),
]


@pytest.mark.parametrize("name,args,param,expected,got", TYPE_FAILURES)
def test_argument_type_message_has_no_entry(obj, name, args, param, expected, got):
    with pytest.raises(TypeError) as info:
        getattr(obj, name)(*args)
    assert str(info.value) == (
        f"Argument '{param}' has incorrect type (expected {expected}, got {got})")
    assert entries(info.value) == []


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("name,args,exc,message,entry", [
    # Conversions come before the type tests, in parameter order.
    ("encode_files", ((), "out", "level"), TypeError, "an integer is required", ENCODE),
    ("encode_files", ((), b"out", 6, "threads"), TypeError, "an integer is required", ENCODE),
    ("encode_files", ((), "out", 2 ** 31, "threads"), OverflowError,
     "value too large to convert to int", ENCODE),
    ("decode_package", (b"p", b"d", BadBool()), ZeroDivisionError, "no truth", DECODE),
])
def test_conversions_precede_type_tests(obj, name, args, exc, message, entry):
    with pytest.raises(exc) as info:
        getattr(obj, name)(*args)
    assert str(info.value) == message
    assert entries(info.value) == [entry]


# Calling through the class -------------------------------------------------------

@pytest.mark.parametrize("name", METHOD_NAMES)
def test_class_call_without_instance_needs_an_argument(name):
    with pytest.raises(TypeError) as info:
        getattr(QBCompressor, name)()
    assert str(info.value) == f"{name}() needs an argument"
    assert entries(info.value) == []


@pytest.mark.parametrize("name,args", [
    ("load_dict", ()),
    ("save_dict", ()),
    ("tokenize", ("a",)),
    ("detokenize", ([],)),
    ("encode_files", ([], "out")),
    ("decode_package", ("p", "d")),
    ("__reduce_cython__", ()),
    ("__setstate_cython__", (("p", {}, {}, 3),)),
])
@pytest.mark.parametrize("foreign", [5, "text", object(), [1, 2]])
def test_class_call_with_foreign_instance(in_tmp, name, args, foreign):
    with pytest.raises(TypeError) as info:
        getattr(QBCompressor, name)(foreign, *args)
    assert str(info.value) == (
        f"descriptor '{name}' for 'qbc_compressor.QBCompressor' objects doesn't apply to a "
        f"'{type(foreign).__name__}' object")
    assert entries(info.value) == []
    assert list(in_tmp.iterdir()) == []


class Sub(QBCompressor):
    pass


def test_class_call_accepts_subclass_instance(in_tmp):
    sub = Sub.__new__(Sub)
    QBCompressor.__setstate_cython__(sub, ("path", {"a": 1}, {1: "a"}, 2))
    assert (sub.dict_path, sub.global_dict, sub.inverse_dict, sub.next_id) == (
        "path", {"a": 1}, {1: "a"}, 2)
    assert QBCompressor.load_dict(sub) is None


# Function objects --------------------------------------------------------------------

FUNCTIONS = [
    # name, parameters, defaults, file, first line
    ("load_dict", ("self",), None, C, 21),
    ("save_dict", ("self",), None, C, 29),
    ("tokenize", ("self", "text"), None, C, 38),
    ("detokenize", ("self", "tokens"), None, C, 41),
    ("encode_files", ("self", "filepaths", "output_path", "zstd_level", "threads"), (6, 4),
     C, 45),
    ("decode_package", ("self", "package_path", "output_dir", "use_zstd"), (True,), C, 95),
    ("__reduce_cython__", ("self",), None, S, 1),
    ("__setstate_cython__", ("self", "__pyx_state"), None, S, 16),
]


@pytest.mark.parametrize("name,params,defaults,filename,first_line", FUNCTIONS)
def test_method_function_object(name, params, defaults, filename, first_line):
    fn = QBCompressor.__dict__[name]
    assert fn.__name__ == name
    assert fn.__qualname__ == "QBCompressor." + name
    assert fn.__module__ == "qbc_compressor"
    assert fn.__doc__ is None
    assert fn.__defaults__ == defaults
    if defaults is not None:
        assert type(fn.__defaults__) is tuple
        assert [type(v) for v in fn.__defaults__] == [type(v) for v in defaults]
    code = fn.__code__
    assert code.co_varnames[:code.co_argcount] == params
    assert code.co_posonlyargcount == 0
    assert code.co_kwonlyargcount == 0
    assert code.co_filename == filename
    assert code.co_firstlineno == first_line
    # The type's layout offsets are its own business, not attributes that
    # read raw pointers out of the object.
    for attr in ("__vectorcalloffset__", "__dictoffset__", "__weaklistoffset__"):
        assert not hasattr(fn, attr)


def test_module_function_object():
    fn = UNPICKLE
    assert fn.__name__ == "__pyx_unpickle_QBCompressor"
    assert fn.__qualname__ == "__pyx_unpickle_QBCompressor"
    assert fn.__module__ == "qbc_compressor"
    assert fn.__doc__ is None
    assert fn.__defaults__ is None
    code = fn.__code__
    assert code.co_varnames[:code.co_argcount] == ("__pyx_type", "__pyx_checksum",
                                                   "__pyx_state")
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert (code.co_filename, code.co_firstlineno) == (S, 1)
    assert str(inspect.signature(fn)) == "(__pyx_type, __pyx_checksum, __pyx_state)"


@pytest.mark.parametrize("name,unbound,bound", [
    ("load_dict", "(self)", "()"),
    ("tokenize", "(self, text)", "(text)"),
    ("detokenize", "(self, tokens)", "(tokens)"),
    ("encode_files", "(self, filepaths, output_path, zstd_level=6, threads=4)",
     "(filepaths, output_path, zstd_level=6, threads=4)"),
    ("decode_package", "(self, package_path, output_dir, use_zstd=True)",
     "(package_path, output_dir, use_zstd=True)"),
    ("__setstate_cython__", "(self, __pyx_state)", "(__pyx_state)"),
])
def test_signature(obj, name, unbound, bound):
    assert str(inspect.signature(getattr(QBCompressor, name))) == unbound
    assert str(inspect.signature(getattr(obj, name))) == bound
    for parameter in inspect.signature(getattr(QBCompressor, name)).parameters.values():
        assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD


@pytest.mark.parametrize("name", METHOD_NAMES)
def test_methods_bind_to_instances(obj, name):
    fn = QBCompressor.__dict__[name]
    assert getattr(QBCompressor, name) is fn
    bound = getattr(obj, name)
    assert bound.__self__ is obj
    assert bound.__func__ is fn
    assert bound == getattr(obj, name)
    sub = Sub.__new__(Sub)
    assert getattr(sub, name).__func__ is fn


def test_methods_are_distinct_objects():
    fns = [QBCompressor.__dict__[name] for name in METHOD_NAMES]
    assert len({id(fn) for fn in fns}) == len(fns)
    assert len({type(fn) for fn in fns}) == 1


@pytest.fixture
def restore_defaults():
    saved = {name: QBCompressor.__dict__[name].__defaults__
             for name in ("encode_files", "decode_package")}
    yield
    for name, value in saved.items():
        QBCompressor.__dict__[name].__defaults__ = value


def test_defaults_used_are_the_built_in_ones(fake_zstd, obj, restore_defaults):
    encode = QBCompressor.__dict__["encode_files"]
    obj.encode_files([], "out.pkg")
    encode.__defaults__ = (1, 2)
    assert encode.__defaults__ == (1, 2)
    assert str(inspect.signature(encode)).endswith("zstd_level=1, threads=2)")
    obj.encode_files([], "out.pkg")
    obj.encode_files([], "out.pkg", 9)
    assert [kwargs for _, kwargs in fake_zstd] == [
        {"level": 6, "threads": 4}, {"level": 6, "threads": 4}, {"level": 9, "threads": 4}]


def test_assigned_defaults_are_never_converted(fake_zstd, obj, restore_defaults):
    QBCompressor.__dict__["encode_files"].__defaults__ = ("not a level", "not a count")
    QBCompressor.__dict__["decode_package"].__defaults__ = (BadBool(),)
    obj.encode_files([], "out.pkg")
    assert [kwargs for _, kwargs in fake_zstd] == [{"level": 6, "threads": 4}]
    try:
        obj.decode_package("missing.pkg", "out")
    except ZeroDivisionError:
        pytest.fail("the assigned use_zstd default was used")
    except Exception as exc:
        assert DECODE not in entries(exc)


# Host-integer conversion ----------------------------------------------------------------

class IntSub(int):
    def __int__(self):
        return 99


class WithInt:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("from __int__")
        return self.result


class IndexOnly:
    def __index__(self):
        return 3


def set_next_id(obj, value):
    obj.next_id = value
    return obj.next_id


def set_state(obj, value):
    obj.__setstate__(("p", {}, {}, value))
    return obj.next_id


class RecordingCompressor:
    """Stands in for zstd.ZstdCompressor and keeps the arguments it was given."""
    made = []

    def __init__(self, *args, **kwargs):
        RecordingCompressor.made.append((args, kwargs))

    def compress(self, data):
        return b""


@pytest.fixture
def fake_zstd(in_tmp, monkeypatch):
    RecordingCompressor.made.clear()
    monkeypatch.setattr(qbc_compressor, "zstd",
                        types.SimpleNamespace(ZstdCompressor=RecordingCompressor))
    return RecordingCompressor.made


def compressor_argument(name):
    [(args, kwargs)] = RecordingCompressor.made
    assert args == ()
    return kwargs[name]


def set_level(obj, value):
    obj.encode_files([], "out.pkg", value)
    return compressor_argument("level")


def set_threads(obj, value):
    obj.encode_files([], "out.pkg", 6, value)
    return compressor_argument("threads")


def set_level_by_keyword(obj, value):
    obj.encode_files(filepaths=[], output_path="out.pkg", zstd_level=value)
    return compressor_argument("level")


CONVERSION_PATHS = [("next_id", set_next_id, [NEXT_ID_SET]),
                 ("state", set_state,
                  [("qbc_compressor.QBCompressor.__setstate_cython__", S, 17),
                   ("qbc_compressor.__pyx_unpickle_QBCompressor__set_state", S, 12)]),
                 ("zstd_level", set_level, [ENCODE]),
                 ("threads", set_threads, [ENCODE]),
                 ("zstd_level keyword", set_level_by_keyword, [ENCODE])]

CONVERTED = [
    (5, 5), (True, 1), (False, 0), (-1, -1), (0, 0),
    (2147483647, 2147483647), (-2147483648, -2147483648),
    (2.9, 2), (-2.5, -2), (6.9, 6), (-0.5, 0),
    (IntSub(7), 7),                  # an int subclass is taken by value
    (WithInt(6), 6),
    (decimal.Decimal("7.9"), 7), (fractions.Fraction(15, 2), 7),
]

NOT_CONVERTED = [
    (2 ** 31, OverflowError, "value too large to convert to int"),
    (-2 ** 31 - 1, OverflowError, "value too large to convert to int"),
    (2 ** 63 - 1, OverflowError, "value too large to convert to int"),
    (1e10, OverflowError, "value too large to convert to int"),
    (WithInt(2 ** 40), OverflowError, "value too large to convert to int"),
    (2 ** 63, OverflowError, "Python int too large to convert to C long"),
    (-2 ** 63 - 1, OverflowError, "Python int too large to convert to C long"),
    (2 ** 100, OverflowError, "Python int too large to convert to C long"),
    (1e19, OverflowError, "Python int too large to convert to C long"),
    ("5", TypeError, "an integer is required"),
    (b"5", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    ([1], TypeError, "an integer is required"),
    (complex(1, 0), TypeError, "an integer is required"),
    (IndexOnly(), TypeError, "an integer is required"),
    (WithInt("x"), TypeError, "__int__ returned non-int (type str)"),
    (WithInt(2.0), TypeError, "__int__ returned non-int (type float)"),
    (WithInt(ValueError), ValueError, "from __int__"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
    (float("inf"), OverflowError, "cannot convert float infinity to integer"),
]

DEPRECATION = ("__int__ returned non-int (type {}).  The ability to return an instance of a "
               "strict subclass of int is deprecated, and may be removed in a future version "
               "of Python.")


@pytest.mark.parametrize("path,setter,_entry", CONVERSION_PATHS)
@pytest.mark.parametrize("value,expected", CONVERTED)
def test_int32_conversion_accepts(fake_zstd, obj, path, setter, _entry, value, expected):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = setter(obj, value)
    assert result == expected
    assert type(result) is int


@pytest.mark.parametrize("path,setter,entry", CONVERSION_PATHS)
@pytest.mark.parametrize("value,exc,message", NOT_CONVERTED)
def test_int32_conversion_rejects(fake_zstd, obj, path, setter, entry, value, exc, message):
    obj.next_id = 42
    with pytest.raises(exc) as info:
        setter(obj, value)
    assert type(info.value) is exc
    assert str(info.value) == message
    assert entries(info.value) == entry
    assert obj.next_id == 42
    assert fake_zstd == []


@pytest.mark.parametrize("path,setter,_entry", CONVERSION_PATHS)
@pytest.mark.parametrize("result,type_name,expected", [
    (True, "bool", 1), (IntSub(4), "IntSub", 4)])
def test_int_subclass_from_int_warns(fake_zstd, obj, path, setter, _entry, result, type_name, expected):
    with pytest.warns(DeprecationWarning) as record:
        assert setter(obj, WithInt(result)) == expected
    assert [str(w.message) for w in record] == [DEPRECATION.format(type_name)]


@pytest.mark.parametrize("path,setter,entry", CONVERSION_PATHS)
def test_int_subclass_from_int_fails_when_warnings_are_errors(fake_zstd, obj, path, setter,
                                                              entry):
    obj.next_id = 42
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            setter(obj, WithInt(True))
    assert str(info.value) == DEPRECATION.format("bool")
    assert entries(info.value) == entry
    assert obj.next_id == 42


ACCEPTED_CHECKSUMS = [0x3e12e10, 0x7d3093e, 0x18c54b4]


@pytest.mark.parametrize("checksum", [
    0x3e12e10, 0x7d3093e, 0x18c54b4,
    0x3e12e10 + 0.9,                 # floats truncate toward zero
    IntSub(0x7d3093e),               # int subclasses by value, never __int__
    WithInt(0x18c54b4),
    decimal.Decimal(0x3e12e10),
])
def test_checksum_conversion_accepts(checksum):
    made = UNPICKLE(QBCompressor, checksum, None)
    assert type(made) is QBCompressor
    assert (made.dict_path, made.global_dict, made.inverse_dict, made.next_id) == (
        None, None, None, 0)


INCOMPATIBLE = ("Incompatible checksums (0x{} vs (0x3e12e10, 0x7d3093e, 0x18c54b4) = "
                "(dict_path, global_dict, inverse_dict, next_id))")


@pytest.mark.parametrize("checksum,shown", [
    (True, "1"), (0, "0"), (-1, "-1"), (2 ** 31, "80000000"),
    (2 ** 63 - 1, "7fffffffffffffff"), (-2 ** 63, "-8000000000000000"),
    (0x3e12e10 + 1, "3e12e11"), (-0x3e12e10, "-3e12e10"), (WithInt(255), "ff"),
])
def test_checksum_is_64_bit_and_unaccepted_values_fail(checksum, shown):
    with pytest.raises(pickle.PickleError) as info:
        UNPICKLE(QBCompressor, checksum, None)
    assert str(info.value) == INCOMPATIBLE.format(shown)
    assert entries(info.value) == [("qbc_compressor.__pyx_unpickle_QBCompressor", S, 6)]


@pytest.mark.parametrize("checksum,exc,message", [
    (2 ** 63, OverflowError, "Python int too large to convert to C long"),
    (-2 ** 63 - 1, OverflowError, "Python int too large to convert to C long"),
    ("0x3e12e10", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
    (WithInt("x"), TypeError, "__int__ returned non-int (type str)"),
    (float("nan"), ValueError, "cannot convert float NaN to integer"),
])
def test_checksum_conversion_rejects(checksum, exc, message):
    with pytest.raises(exc) as info:
        UNPICKLE(QBCompressor, checksum, None)
    assert str(info.value) == message
    assert entries(info.value) == [UNPICKLE_ENTRY]


def test_checksum_deprecation_warning():
    with pytest.warns(DeprecationWarning) as record:
        made = UNPICKLE(QBCompressor, WithInt(IntSub(0x3e12e10)), None)
    assert type(made) is QBCompressor
    assert [str(w.message) for w in record] == [DEPRECATION.format("IntSub")]
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning) as info:
            UNPICKLE(QBCompressor, WithInt(IntSub(0x3e12e10)), None)
    assert entries(info.value) == [UNPICKLE_ENTRY]


def test_checksum_is_converted_before_the_state_is_looked_at():
    with pytest.raises(TypeError) as info:
        UNPICKLE(QBCompressor, "bad", [1, 2, 3, 4])
    assert str(info.value) == "an integer is required"


@pytest.mark.parametrize("name,kwargs", [
    ("tokenize", {"text": "a"}),
    ("load_dict", {"self": None}),
    ("encode_files", {"filepaths": [], "output_path": "x"}),
])
def test_class_call_with_keywords_only_needs_an_argument(name, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(QBCompressor, name)(**kwargs)
    assert str(info.value) == f"{name}() needs an argument"
    assert entries(info.value) == []


# Traceback entries as the host shows them --------------------------------------------

def test_entry_frames_use_the_module_namespace(obj):
    with pytest.raises(TypeError) as info:
        obj.tokenize()
    tb = info.value.__traceback__
    while tb.tb_frame.f_code.co_filename != C:
        tb = tb.tb_next
    assert tb.tb_frame.f_globals is vars(qbc_compressor)


def test_entries_print_without_source_text(in_tmp, obj):
    import traceback
    with pytest.raises(TypeError) as info:
        obj.tokenize(1, 2)
    lines = traceback.format_exception(info.value)
    assert lines[-2] == (
        '  File "compressor", line 38, in qbc_compressor.QBCompressor.tokenize\n')
    assert lines[-1] == ("TypeError: tokenize() takes exactly 1 positional argument "
                         "(2 given)\n")
