"""Module start-up, each case in a fresh interpreter process."""

import json
import subprocess
import sys
import textwrap

import pytest

# Prepended to every child: a helper that reports an exception as the test
# wants to see it, with the module's last traceback entry.
PRELUDE = '''
import json, sys

def report(exc):
    tb = exc.__traceback__
    last = None
    while tb is not None:
        code = tb.tb_frame.f_code
        last = [code.co_name, code.co_filename, tb.tb_lineno]
        tb = tb.tb_next
    return {"type": type(exc).__name__, "message": str(exc), "last": last}

def emit(value):
    print(json.dumps(value))
'''


def run(code, tmp_path):
    """Runs `code` in a new interpreter and returns what it emitted last."""
    proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
                          cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.strip().splitlines()
    assert lines, proc.stderr
    return json.loads(lines[-1])


# A clean start -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def facts(tmp_path_factory):
    return run('''
        import builtins, os, re, struct, pickle, zstandard
        import qbc_compressor as m
        C = m.QBCompressor
        class Sub(C):
            pass
        plain, sub = C.__new__(C), Sub.__new__(Sub)
        def fails(action, exc):
            try:
                action()
            except exc:
                return True
            return False
        def set_other(obj):
            obj.other = 1
        import weakref
        emit({
            "namespace": sorted(vars(m)),
            "hosts": [m.os is os, m.re is re, m.struct is struct, m.pickle is pickle,
                      m.zstd is zstandard],
            "doc": m.__doc__,
            "builtins": m.__builtins__ is builtins,
            "file": m.__file__ == m.__spec__.origin,
            "loader": m.__loader__ is m.__spec__.loader,
            "package": m.__package__,
            "has_path": hasattr(m, "__path__"),
            "name": m.__name__,
            "registered": sys.modules["qbc_compressor"] is m,
            "class": [C.__name__, C.__qualname__, C.__module__, C.__doc__,
                      [b.__name__ for b in C.__bases__], repr(C)],
            "class_dict": list(C.__dict__),
            "unpickle": [m.__pyx_unpickle_QBCompressor.__module__,
                         m.__pyx_unpickle_QBCompressor.__qualname__],
            "plain_has_dict": hasattr(plain, "__dict__"),
            "plain_set_other_fails": fails(lambda: set_other(plain), AttributeError),
            "plain_weakref_fails": fails(lambda: weakref.ref(plain), TypeError),
            "sub_extras": [hasattr(sub, "__dict__"), weakref.ref(sub)() is sub,
                           not fails(lambda: set_other(sub), AttributeError)],
            "entry_point": hasattr(__import__("ctypes").CDLL(m.__file__),
                                   "PyInit_qbc_compressor"),
        })
    ''', tmp_path_factory.mktemp("facts"))


def test_module_namespace(facts):
    assert facts["namespace"] == sorted([
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__",
        "__builtins__", "QBCompressor", "os", "re", "struct", "pickle", "zstd",
        "__pyx_unpickle_QBCompressor"])


@pytest.mark.parametrize("key,expected", [
    ("hosts", [True] * 5),
    ("doc", None),
    ("builtins", True),
    ("file", True),
    ("loader", True),
    ("package", ""),
    ("has_path", False),
    ("name", "qbc_compressor"),
    ("registered", True),
    ("unpickle", ["qbc_compressor", "__pyx_unpickle_QBCompressor"]),
    ("class", ["QBCompressor", "QBCompressor", "qbc_compressor", None, ["object"],
               "<class 'qbc_compressor.QBCompressor'>"]),
    ("plain_has_dict", False),
    ("plain_set_other_fails", True),
    ("plain_weakref_fails", True),
    ("sub_extras", [True, True, True]),
    ("entry_point", True),
])
def test_start_up_fact(facts, key, expected):
    assert facts[key] == expected


def test_class_attributes_and_method_order(facts):
    names = facts["class_dict"]
    for name in ("__init__", "__new__", "dict_path", "global_dict", "inverse_dict", "next_id",
                 "__reduce__", "__setstate__"):
        assert name in names
    methods = ["load_dict", "save_dict", "tokenize", "detokenize", "encode_files",
               "decode_package", "__reduce_cython__", "__setstate_cython__"]
    assert [n for n in names if n in methods] == methods
    fields = ["dict_path", "global_dict", "inverse_dict", "next_id"]
    assert [n for n in names if n in fields] == fields
    # The methods are installed after everything that type preparation made.
    assert names[-len(methods):] == methods


# Re-import and re-initialisation ---------------------------------------------------

def test_reimport_yields_the_identical_module(tmp_path):
    result = run('''
        import importlib, sys
        import qbc_compressor as first
        first.os = "replaced"
        cls = first.QBCompressor
        del sys.modules["qbc_compressor"]
        second = importlib.import_module("qbc_compressor")
        emit([second is first, second.os == "replaced", second.QBCompressor is cls,
              sys.modules["qbc_compressor"] is first])
    ''', tmp_path)
    assert result == [True, True, True, True]


def test_second_module_object_cannot_be_initialised(tmp_path):
    result = run('''
        import importlib.util, sys
        spec = importlib.util.find_spec("qbc_compressor")
        first = importlib.util.module_from_spec(spec)
        second = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as exc:
            failed = report(exc)
        again = importlib.util.module_from_spec(spec)
        import qbc_compressor
        emit([first is not second, failed["message"], again is first,
              qbc_compressor is first, hasattr(second, "QBCompressor")])
    ''', tmp_path)
    assert result == [True, "Module 'qbc_compressor' has already been imported. "
                            "Re-initialisation is not supported.", True, True, False]


def test_second_interpreter_is_refused(tmp_path):
    result = run('''
        import _xxsubinterpreters as interpreters
        import qbc_compressor
        other = interpreters.create()
        try:
            interpreters.run_string(other, "import qbc_compressor")
            outcome = "imported"
        except interpreters.RunFailedError as exc:
            outcome = str(exc)
        interpreters.destroy(other)
        emit(outcome)
    ''', tmp_path)
    assert result == ("<class 'ImportError'>: Interpreter change detected - this module can "
                      "only be loaded into one interpreter per process.")


# Failing start-up -------------------------------------------------------------------------

@pytest.mark.parametrize("module,line", [
    ("os", 1), ("re", 2), ("struct", 3), ("pickle", 4), ("zstandard", 5)])
def test_missing_host_module(tmp_path, module, line):
    result = run(f'''
        import importlib
        saved = sys.modules.pop({module!r}, None)
        sys.modules[{module!r}] = None
        try:
            importlib.import_module("qbc_compressor")
        except ImportError as exc:
            failed = report(exc)
        registered = "qbc_compressor" in sys.modules
        if saved is None:
            del sys.modules[{module!r}]
        else:
            sys.modules[{module!r}] = saved
        import qbc_compressor
        emit([failed, registered, qbc_compressor.QBCompressor().next_id])
    ''', tmp_path)
    failed, registered, next_id = result
    assert failed["type"] == "ModuleNotFoundError"
    assert failed["message"] == f"import of {module} halted; None in sys.modules"
    assert failed["last"] == ["init qbc_compressor", "compressor", line]
    assert registered is False
    assert next_id == 1


def test_modules_are_bound_right_after_each_import(tmp_path):
    result = run('''
        import importlib.util
        spec = importlib.util.find_spec("qbc_compressor")
        module = importlib.util.module_from_spec(spec)
        sys.modules["zstandard"] = None
        try:
            spec.loader.exec_module(module)
        except ModuleNotFoundError:
            pass
        bound = [name for name in ("QBCompressor", "os", "re", "struct", "pickle", "zstd",
                                   "__pyx_unpickle_QBCompressor") if hasattr(module, name)]
        del sys.modules["zstandard"]
        sys.modules.pop("qbc_compressor", None)
        # The failed module object is forgotten: a new import starts afresh.
        import qbc_compressor
        emit([bound, qbc_compressor is not module, hasattr(qbc_compressor, "zstd")])
    ''', tmp_path)
    assert result == [["QBCompressor", "os", "re", "struct", "pickle"], True, True]


BUILTINS_FETCHED = ["open", "range", "zip", "__import__", "ValueError", "MemoryError",
                    "enumerate", "TypeError", "AssertionError", "Ellipsis", "id",
                    "IndexError"]


@pytest.mark.parametrize("name", BUILTINS_FETCHED)
def test_missing_builtin(tmp_path, name):
    result = run(f'''
        import builtins, importlib
        saved = getattr(builtins, {name!r})
        delattr(builtins, {name!r})
        try:
            importlib.import_module("qbc_compressor")
        except BaseException as exc:
            failed = report(exc)
        setattr(builtins, {name!r}, saved)
        registered = "qbc_compressor" in sys.modules
        import qbc_compressor
        emit([failed, registered, qbc_compressor.QBCompressor.__name__])
    ''', tmp_path)
    failed, registered, name_after = result
    assert failed == {"type": "NameError", "message": f"name '{name}' is not defined",
                      "last": ["init qbc_compressor", "compressor", 1]}
    assert registered is False
    assert name_after == "QBCompressor"


def test_builtins_are_fetched_in_order(tmp_path):
    result = run('''
        import builtins, importlib
        saved = builtins.enumerate, builtins.zip
        del builtins.enumerate, builtins.zip
        try:
            importlib.import_module("qbc_compressor")
        except NameError as exc:
            failed = report(exc)
        builtins.enumerate, builtins.zip = saved
        emit(failed["message"])
    ''', tmp_path)
    assert result == "name 'zip' is not defined"


def test_open_is_the_one_present_at_start_up(tmp_path):
    result = run('''
        import builtins, pickle
        with open("quorvale_dict.bin", "wb") as f:
            pickle.dump({"dict": {"a": 1}, "next_id": 2}, f)
        real_open = builtins.open
        seen = []
        def recording_open(*args, **kwargs):
            seen.append(args[1:])
            return real_open(*args, **kwargs)
        builtins.open = recording_open
        import qbc_compressor
        builtins.open = real_open
        obj = qbc_compressor.QBCompressor()
        def refusing_open(*args, **kwargs):
            raise AssertionError("replaced after start-up")
        builtins.open = refusing_open
        again = qbc_compressor.QBCompressor()
        again.save_dict()
        builtins.open = real_open
        emit([seen[:1], obj.global_dict, again.next_id])
    ''', tmp_path)
    assert result == [[["rb"]], {"a": 1}, 2]


def test_create_step_copies_what_the_load_request_has(tmp_path):
    result = run('''
        import _imp, importlib.util, types
        origin = importlib.util.find_spec("qbc_compressor").origin
        def created(**items):
            module = _imp.create_dynamic(types.SimpleNamespace(name="qbc_compressor",
                                                               origin=origin, **items))
            found = {k: v for k, v in vars(module).items()
                     if k in ("__loader__", "__package__", "__path__", "__file__")}
            found["__file__"] = found["__file__"] == origin
            return found
        emit([created(),
              created(loader="L", parent="P", submodule_search_locations=["dir"]),
              created(loader=None, parent=None, submodule_search_locations=None)])
    ''', tmp_path)
    lacking, full, nones = result
    assert lacking == {"__loader__": None, "__package__": None, "__file__": True}
    assert full == {"__loader__": "L", "__package__": "P", "__path__": ["dir"],
                    "__file__": True}
    assert nones == {"__loader__": None, "__package__": None, "__file__": True}


@pytest.mark.parametrize("pairs, expected", [
    # A list unpacks as a pair does; a tuple subclass is iterated.
    ("[[1, 'x']]", ["x"]),
    ("[Backwards(('y', 1))]", ["y"]),
    ("[(1,)]", {"type": "ValueError", "message": "need more than 1 value to unpack"}),
    ("[(1, 'x', 'y')]", {"type": "ValueError", "message": "too many values to unpack (expected 2)"}),
    ("[7]", {"type": "TypeError", "message": "'int' object is not iterable"}),
])
def test_zip_of_start_up_yielding_other_than_pairs(tmp_path, pairs, expected):
    # The decoder pairs boundaries with names through the zip present at
    # start-up, whatever it yields.
    result = run(f'''
        import builtins, os, pickle, zstandard
        class Backwards(tuple):
            def __iter__(self):
                return iter(reversed(self))
        real_zip = builtins.zip
        builtins.zip = lambda boundaries, names: iter({pairs})
        import qbc_compressor
        builtins.zip = real_zip
        with open("p.pkg", "wb") as f:
            pickle.dump({{"compressed": zstandard.ZstdCompressor().compress(b"\\0\\0\\0\\1"),
                         "file_boundaries": [1], "filenames": ["a"],
                         "global_dict": {{"t": 1}}}}, f)
        c = qbc_compressor.QBCompressor("no_dict.bin")
        try:
            c.decode_package("p.pkg", "out")
        except Exception as exc:
            emit({{"type": type(exc).__name__, "message": str(exc)}})
        else:
            emit(sorted(os.listdir("out")))
    ''', tmp_path)
    assert result == expected


def test_replaced_open_of_start_up_writes_the_package_by_path(tmp_path):
    # An open put in place before the import gets the output path and "wb",
    # and its file is closed by the with-block alone.
    result = run('''
        import builtins
        real_open = builtins.open
        calls = []
        class File:
            def __init__(self, f):
                self.f = f
            def __enter__(self):
                return self
            def __exit__(self, *exc):
                self.f.close()
                return False
            def read(self):
                return self.f.read()
            def write(self, data):
                return self.f.write(data)
        def logging_open(path, mode="r", **kwargs):
            calls.append([path, mode])
            return File(real_open(path, mode, **kwargs))
        builtins.open = logging_open
        import qbc_compressor
        builtins.open = real_open
        with open("t.txt", "w") as f:
            f.write("a b")
        c = qbc_compressor.QBCompressor("no_dict.bin")
        size = c.encode_files(["t.txt"], "out.pkg")
        import pickle
        with open("out.pkg", "rb") as f:
            package = pickle.load(f)
        emit([calls, size == len(package["compressed"]), package["filenames"]])
    ''', tmp_path)
    assert result == [[["t.txt", "r"], ["out.pkg", "wb"]], True, ["t.txt"]]


@pytest.mark.parametrize("text, override, expected", [
    ("Text('a b')", False, [1, 2, 3]),
    ("Text('a b')", True, [1]),
    ("b'a b'", True, [1]),
    ("b'a b'", False, {"type": "TypeError",
                       "message": "cannot use a string pattern on a bytes-like object"}),
])
def test_what_read_returns_goes_to_tokenize(tmp_path, text, override, expected):
    # A read() of an open put in place before the import may return any
    # object: tokenize gets it as it is.
    result = run(f'''
        import builtins, pickle, struct, zstandard
        class Text(str):
            pass
        real_open = builtins.open
        class File:
            def __enter__(self):
                return self
            def __exit__(self, *exc):
                return False
            def read(self):
                return {text}
        builtins.open = lambda path, mode="r", **kw: (
            File() if mode == "r" else real_open(path, mode, **kw))
        import qbc_compressor
        builtins.open = real_open
        class Own(qbc_compressor.QBCompressor):
            def tokenize(self, text):
                return ["x"]
        c = (Own if {override} else qbc_compressor.QBCompressor)("no_dict.bin")
        try:
            c.encode_files(["t.txt"], "out.pkg")
        except Exception as exc:
            emit({{"type": type(exc).__name__, "message": str(exc)}})
        else:
            with open("out.pkg", "rb") as f:
                stream = zstandard.ZstdDecompressor().decompress(pickle.load(f)["compressed"])
            emit(list(struct.unpack(">%dI" % (len(stream) // 4), stream)))
    ''', tmp_path)
    assert result == expected
