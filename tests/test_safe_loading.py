"""Loading a dictionary file never imports, looks up or calls what the pickle names.

Plain data loads exactly as pickle.load returns it; anything naming a global
(other than the two forms old protocols write for bytes), an extension code
or a persistent id fails with pickle.UnpicklingError, and corrupt streams fail
with the host unpickler's own errors.
"""

import copyreg
import gc
import io
import os
import pickle
import struct
import subprocess
import sys

import pytest
from hypothesis import assume, given, settings, strategies as st

import qbc_compressor
from qbc_compressor import QBCompressor

from traceback_entries import names_and_lines

LOAD = "qbc_compressor.QBCompressor.load_dict"


def su(text):
    """SHORT_BINUNICODE."""
    raw = text.encode()
    return b"\x8c" + bytes([len(raw)]) + raw


def fields(obj):
    return (obj.global_dict, obj.inverse_dict, obj.next_id)


def prepared(tmp_path):
    """An object with a known dictionary, before it loads anything."""
    obj = QBCompressor(dict_path=str(tmp_path / "absent"))
    obj.global_dict = {"kept": 7}
    obj.inverse_dict = {7: "kept"}
    obj.next_id = 8
    return obj


def adopted(tmp_path, data):
    """The object load_dict stores as `global_dict` for a file holding `data`.

    Containers that are unhashable as ids make the reverse map fail after the
    map was adopted, which is where the stored object can still be seen.
    """
    path = tmp_path / "dict.bin"
    path.write_bytes(data)
    obj = prepared(tmp_path)
    obj.dict_path = str(path)
    try:
        obj.load_dict()
    except TypeError as exc:
        assert "unhashable" in str(exc)
        assert names_and_lines(exc)[-1] == (LOAD, 26)
    return obj.global_dict


def host_outcome(path):
    """What the host's own pickle.load does with the file."""
    with open(path, "rb") as f:
        try:
            return ("ok", pickle.load(f))
        except Exception as exc:
            return ("error", type(exc), str(exc))


def refused(tmp_path, data, *, name=None, exc_type=pickle.UnpicklingError):
    """Asserts that loading `data` fails in the unpickling step, changing nothing."""
    path = tmp_path / "dict.bin"
    path.write_bytes(data)
    obj = prepared(tmp_path)
    obj.dict_path = str(path)
    before = fields(obj)
    with pytest.raises(exc_type) as info:
        obj.load_dict()
    assert fields(obj) == before
    assert names_and_lines(info.value) == [(LOAD, 23), (LOAD, 24)]
    if name is not None:
        assert f"'{name}'" in str(info.value)
    return info.value


# ---------------------------------------------------------------------------
# Plain data

# Streams of dicts, lists, strs, bytes, small ints, None and bools only, as
# the module writes them (the loader makes these natively), with shared
# objects among them.
word = "shared \u00e9"
blob = b"shared bytes"
inner = [word, blob, word]
PLAIN_ONLY = {
    "int edges": {f"k{v}": v for v in [0, 1, 255, 256, 65535, 65536, 2**31 - 1, -1, -256,
                                       -65536, -2**31]},
    "scalars": {"none": None, "true": True, "false": False, "empty": "", "nul": "\x00",
                "surrogate": "a\ud800", "wide": "\U0001F600", b"key": b""},
    "every width": {"caf\u00e9": "\u00e9\u00e9", "\u4e2d\u6587": "x\u4e2d", "\U0001F600x": 1,
                    "a\u00e9\u4e2d\U0001F600": "\u00ff\u0100", "\u00e9": "\u4e2d",
                    "cut \xe9\ud800": 2},
    "containers": {"empty list": [], "empty dict": {}, "one": [1], "many": list(range(2500)),
                   "nested": {"d": {"e": [[], [{}], {"x": [None]}]}}},
    "shared only": {"a": inner, "b": inner, "w": word, "v": blob, "c": [inner, word]},
    "a large dict": {f"token {i}": i for i in range(5000)},
    "int keys": {i: str(i) for i in range(-300, 300)},
    # Three-byte characters at the edges of their range, runs of them, and
    # surrogates (stored as three bytes) inside such runs.
    "three-byte runs": {"\u0800\u0fff\u1000\ucfff\ud7ff\ue000\ufeff\uffff": 1,
                        "\u4e2d\ud800\u4e2d": 2, "\u4e2d\u6587\udfff": 3,
                        "\udbff\udc00\u4e2d": 4, "x\u4e2d\u00e9\u4e2d\U0001F600\u4e2d": 5,
                        "\u4e2d" * 50: "\u4e2d\r\n\u6587"},
    # Texts on either side of 64 KiB of UTF-8, where making a str changes
    # from one walk over its bytes to two, each followed by a short one.
    "long texts": {text: text[:3] for unit, count in [("\u00e9", 32_768), ("\u4e2d", 21_845),
                                                       ("\U0001F600", 16_384)]
                   for text in (unit * count, unit * count + "\u00e9", "x" * 70_000 + unit)},
}

shared = [1, "two"]
loop = []
loop.append(loop)
PLAIN = {
    "tokens": {"the": 1, " ": 2, "\u00fc\u20ac\U0001f600": 3, "": 4},
    "bytes": {"empty": b"", "some": b"\x00\x7f\x80\xff.\n(", "again": b"\x00\x7f\x80\xff.\n("},
    "numbers": {"big": 2**200, "neg": -(2**70), "i1": 255, "i2": 65535, "i4": -(2**31),
                "float": -1.5e300, "inf": float("inf"), "true": True, "false": False, "none": None},
    "nested": {"l": [1, (2, [3, (4, ())]), [], {}], "d": {"k": {"k": [None]}}},
    "shared": {"a": shared, "b": shared, "t": (shared, shared), "loop": loop},
    **PLAIN_ONLY,
}


def dict_facts(obj, seen=None):
    """The size and collector tracking of every dict inside `obj`, in order."""
    seen = set() if seen is None else seen
    if id(obj) in seen:
        return []
    seen.add(id(obj))
    facts = []
    if isinstance(obj, dict):
        facts.append((sys.getsizeof(obj), gc.is_tracked(obj)))
        items = [x for pair in obj.items() for x in pair]
    elif isinstance(obj, (list, tuple, set, frozenset)):
        items = list(obj)
    else:
        return facts
    for item in items:
        facts += dict_facts(item, seen)
    return facts


@pytest.mark.parametrize("protocol", range(6))
@pytest.mark.parametrize("case", sorted(PLAIN))
def test_plain_data_loads_as_the_host_loads_it(tmp_path, protocol, case):
    data = pickle.dumps({"dict": PLAIN[case], "next_id": 5}, protocol)
    got = adopted(tmp_path, data)
    expected = pickle.loads(data)["dict"]
    # repr tells bool from int, tuple from list, bytes from str, and shows order.
    assert repr(got) == repr(expected)
    # Dicts as large as the host's (its tables grow as items are stored).
    assert dict_facts(got) == dict_facts(expected)
    assert [type(k) for k in got] == [type(k) for k in expected]
    # The same internal widths, so that equal strs stay equal in dicts.
    assert [sys.getsizeof(k) for k in got if isinstance(k, str)] == \
        [sys.getsizeof(k) for k in expected if isinstance(k, str)]
    if case == "shared":
        assert got["a"] is got["b"] is got["t"][0] is got["t"][1]
        assert got["loop"][0] is got["loop"]
    if case == "shared only":
        assert got["a"] is got["b"] is got["c"][0]
        assert got["w"] is got["a"][0] is got["a"][2] is got["c"][1]
        assert got["v"] is got["a"][1]


def int_op(value):
    return b"J" + struct.pack("<i", value)


def dict_stream(pairs, batch=1000):
    """A protocol 4 dictionary file whose "dict" gets `pairs` in SETITEMS
    batches, as written here: keys may repeat, which no pickler writes."""
    def obj(x):
        if isinstance(x, str):
            return su(x) if len(x.encode()) < 256 else pickle.dumps(x, 4)[2:-1]
        if isinstance(x, bytes):
            return b"C" + bytes([len(x)]) + x
        if isinstance(x, list):
            return b"]" + (b"(" + b"".join(obj(i) for i in x) + b"e" if x else b"")
        return int_op(x)
    body = b"}"
    for at in range(0, len(pairs), batch):
        body += b"(" + b"".join(obj(k) + obj(v) for k, v in pairs[at:at + batch]) + b"u"
    return b"\x80\x04}(" + su("dict") + body + su("next_id") + int_op(5) + b"u."


DUPLICATED = [(f"k{i % 40}", i) for i in range(100)]
STORED_STREAMS = {
    # Keys stored again: a table made for every item would be too large.
    "repeats": DUPLICATED,
    "repeats past a batch": DUPLICATED * 12,
    "a few repeats": [(f"k{i}", i) for i in range(300)] + [("k7", -1), ("k299", -2)],
    # A key of another type moves a str table to the general kind.
    "int after strs": [(f"s{i}", i) for i in range(100)] + [(7, 1)]
                      + [(f"t{i}", i) for i in range(100)],
    "bytes in the middle": [(f"s{i}", i) for i in range(50)] + [(b"b", 2), ("s3", 9)]
                           + [(f"t{i}", i) for i in range(80)],
    "int first": [(0, 0)] + [(f"s{i}", i) for i in range(150)],
    "ints only, repeated": [(i % 90, i) for i in range(400)],
    # Values the collector tracks make the dict tracked.
    "list values": [(f"s{i}", [i] if i % 50 == 7 else i) for i in range(200)],
    "str values": [(f"s{i}", f"v{i % 3}") for i in range(120)] + [("s5", [])],
    "wide keys": [("\u4e2d" * (i % 5 + 1) + str(i), i) for i in range(130)] + [("\u4e2d1", 0)],
    "last item repeats the first": [(f"s{i}", i) for i in range(70)] + [("s0", 99)],
}


@pytest.mark.parametrize("case", sorted(STORED_STREAMS))
@pytest.mark.parametrize("batch", [1000, 7])
def test_dicts_are_those_storing_one_by_one_leaves(tmp_path, case, batch):
    data = dict_stream(STORED_STREAMS[case], batch)
    expected = pickle.loads(data)["dict"]
    got = adopted(tmp_path, data)
    assert list(got.items()) == list(expected.items())
    assert [type(k) for k in got] == [type(k) for k in expected]
    assert dict_facts(got) == dict_facts(expected)
    # Lookups find every key, and later stores go where the host's do.
    assert all(got[key] == value for key, value in expected.items())
    got["one more"] = 1
    expected["one more"] = 1
    assert list(got.items()) == list(expected.items())
    assert sys.getsizeof(got) == sys.getsizeof(expected)


def test_each_allocation_failing_in_turn(tmp_path):
    # Wherever memory runs out while a dictionary loads, the call either
    # raises MemoryError (or the host's own error for it) or ends with the
    # very dict the host's unpickler makes, repeated keys included.
    _testcapi = pytest.importorskip("_testcapi")
    data = dict_stream([(f"k{i % 150}", i) for i in range(200)], 64)
    expected = pickle.loads(data)["dict"]
    path = tmp_path / "dict.bin"
    path.write_bytes(data)
    failures = successes = 0
    for nth in range(20_000):
        obj = prepared(tmp_path)
        obj.dict_path = str(path)
        _testcapi.set_nomemory(nth, nth + 1)
        try:
            obj.load_dict()
            error = None
        except (MemoryError, RuntimeError) as exc:  # the host's own, for a lock
            error = exc
        finally:
            _testcapi.remove_mem_hooks()
        if error is not None:
            failures += 1
            successes = 0
            continue
        assert list(obj.global_dict.items()) == list(expected.items()), nth
        assert sys.getsizeof(obj.global_dict) == sys.getsizeof(expected), nth
        successes += 1
        if successes == 40:
            break
    assert failures > 0 and successes == 40


@pytest.mark.parametrize("protocol", [4, 5])
def test_sets_load_at_protocols_with_set_opcodes(tmp_path, protocol):
    value = {"s": {1, "x", (2,)}, "f": frozenset({b"y"}), "e": set()}
    got = adopted(tmp_path, pickle.dumps({"dict": value}, protocol))
    assert got == value
    assert [type(v) for v in got.values()] == [set, frozenset, set]


@pytest.mark.parametrize("protocol", range(6))
def test_a_whole_dictionary_loads_with_its_fields(tmp_path, protocol):
    tokens = {f"t{i}": i for i in range(1, 40000)}
    path = tmp_path / "dict.bin"
    path.write_bytes(pickle.dumps({"dict": tokens, "next_id": 40000}, protocol) + b"trailing")
    obj = QBCompressor(dict_path=str(path))
    assert list(obj.global_dict.items()) == list(tokens.items())
    assert obj.inverse_dict == {i: t for t, i in tokens.items()}
    assert obj.next_id == 40000


@pytest.mark.parametrize("protocol", [2, 4, 5])
def test_large_values_span_many_reads(tmp_path, protocol):
    # Larger than the biggest read, and for protocol 2 written through _codecs.encode.
    blob = bytes(range(256)) * (5 * 4096 + 3)
    value = {"blob": blob, "text": "\u20ac" * 70000}
    assert adopted(tmp_path, pickle.dumps({"dict": value}, protocol)) == value


# ---------------------------------------------------------------------------
# Hostile streams


@pytest.fixture
def marker(tmp_path):
    path = tmp_path / "executed"
    yield path
    assert not path.exists(), "the stream ran a command"


def touch(marker):
    return f"touch {marker}"


def global_streams(marker):
    cmd = touch(marker)
    enc = cmd.encode()
    binu = b"X" + struct.pack("<I", len(enc)) + enc
    framed = su("os") + su("system") + b"\x93" + su(cmd) + b"\x85R."
    return {
        "GLOBAL": b"cos\nsystem\n(V" + enc + b"\ntR.",
        "STACK_GLOBAL": b"\x80\x04" + su("os") + su("system") + b"\x93" + su(cmd) + b"\x85R.",
        "INST": b"(V" + enc + b"\nios\nsystem\n.",
        "OBJ": b"(cos\nsystem\nV" + enc + b"\no.",
        "NEWOBJ": b"\x80\x02cos\nsystem\n" + binu + b"\x85\x81.",
        "dotted": b"\x80\x04" + su("os") + su("path.join") + b"\x93.",
        "in a frame": b"\x80\x04\x95" + struct.pack("<Q", len(framed)) + framed,
    }


@pytest.mark.parametrize("kind", sorted(global_streams("m")))
def test_globals_are_refused_without_running(tmp_path, marker, kind):
    data = global_streams(marker)[kind]
    name = "os.path.join" if kind == "dotted" else "os.system"
    exc = refused(tmp_path, data, name=name)
    assert str(exc) == f"global '{name}' is forbidden"


def test_a_refused_module_is_not_imported(tmp_path):
    candidates = ["colorsys", "sndhdr", "tabnanny", "mailcap", "netrc"]
    absent = [m for m in candidates if m not in sys.modules]
    if not absent:
        pytest.skip("every candidate module is already imported")
    module = absent[0]
    refused(tmp_path, f"c{module}\nfunc\n.".encode(), name=f"{module}.func")
    assert module not in sys.modules


@pytest.mark.parametrize("data", [b"Pid\n.", b"\x80\x01X\x02\x00\x00\x00idQ."],
                         ids=["PERSID", "BINPERSID"])
def test_persistent_ids_fail_as_the_host_fails_them(tmp_path, data):
    exc = refused(tmp_path, data)
    assert "persistent" in str(exc)


EXT_CODES = {"EXT1": 0xF3, "EXT2": 0xF3F3, "EXT4": 0x7FF3F3F3}


def ext_op(code):
    if code < 0x100:
        return b"\x82" + bytes([code])
    if code < 0x10000:
        return b"\x83" + struct.pack("<H", code)
    return b"\x84" + struct.pack("<i", code)


@pytest.fixture(params=sorted(EXT_CODES))
def registered(request):
    """os.system registered under a code of each width, removed afterwards."""
    code = EXT_CODES[request.param]
    copyreg.add_extension("os", "system", code)
    yield code
    copyreg.remove_extension("os", "system", code)


@pytest.mark.parametrize("cached", [False, True], ids=["fresh", "cached"])
def test_extension_codes_are_refused(tmp_path, marker, registered, cached):
    code = registered
    if cached:
        # The host's unpickler now serves the code without asking find_class.
        assert pickle.loads(b"\x80\x02" + ext_op(code) + b".") is __import__("os").system
    data = b"\x80\x02" + ext_op(code) + su(touch(marker)) + b"\x85R."
    exc = refused(tmp_path, data, name="os.system")
    assert str(exc) == f"global 'os.system' (extension code {code}) is forbidden"


CALLS = []


def record(arg):
    CALLS.append(arg)
    return arg


@pytest.fixture
def recorder_code():
    """An extension code for `record`, already in the host's extension cache."""
    code = 0xF4
    copyreg.add_extension(__name__, "record", code)
    assert pickle.loads(b"\x80\x02" + ext_op(code) + b".") is record
    CALLS.clear()
    yield code
    copyreg.remove_extension(__name__, "record", code)
    CALLS.clear()


def test_an_extension_code_hidden_by_a_frame_cannot_run(tmp_path, recorder_code):
    # BININT runs over the end of its 3-byte frame. Read frame by frame, the
    # host's unpickler drops the rest of the frame and takes "xyC" and the
    # length as its argument, then runs the opcodes that a linear reading
    # takes for SHORT_BINBYTES data.
    tail = ext_op(recorder_code) + su("ran") + b"\x85R"
    data = (b"\x80\x04}" + su("dict") + b"}(" + su("n") + b"\x95" + struct.pack("<Q", 3)
            + b"Jab" + b"xyC" + bytes([len(tail)]) + tail + b"Nus.")

    class Restricted(pickle.Unpickler):
        def find_class(self, module, name):
            raise pickle.UnpicklingError(name)

    Restricted(io.BytesIO(data)).load()
    assert CALLS == ["ran"]
    CALLS.clear()
    got = adopted(tmp_path, data)
    assert CALLS == []
    assert got == {"n": struct.unpack("<i", b"abxy")[0], tail: None}


def test_an_unregistered_extension_code_names_the_code(tmp_path):
    exc = refused(tmp_path, b"\x80\x02" + ext_op(0x7FF3F3F1) + b".")
    assert str(exc) == f"extension code {0x7FF3F3F1} is forbidden"


def test_an_error_before_an_extension_code_is_the_hosts(tmp_path):
    refused(tmp_path, b"\x80\x02cos\nsystem\n" + ext_op(5) + b".", name="os.system")
    path = tmp_path / "host.bin"
    path.write_bytes(b"0.")
    outcome = host_outcome(path)
    exc = refused(tmp_path, b"0" + ext_op(5) + b".", exc_type=outcome[1])
    assert str(exc) == outcome[2]


def framed(body):
    return b"\x80\x04\x95" + len(body).to_bytes(8, "little") + body


NOT_UTF8 = b"\x8c\x02\xff\xfe\x94"   # a str whose bytes are not UTF-8


@pytest.mark.parametrize("data", [
    framed(NOT_UTF8 + b"\x8c\x50ab"),
    framed(NOT_UTF8 + ext_op(5) + b"."),
    framed(b"0\x8c\x50ab"),
    # A frame inside a frame, both running past a short str at the end.
    framed(b"\x95" + (5).to_bytes(8, "little") + b"0\x8c\x50ab"),
], ids=["bad str, then short str", "bad str, then extension", "stack error, then short str",
        "stack error in a nested frame"])
def test_an_error_before_a_cut_inside_a_frame_is_the_hosts(tmp_path, data):
    # The stream is cut before a short opcode or an extension code inside a
    # frame that the file holds whole: the opcodes of the frame before the
    # cut still run, as they do with the host.
    path = tmp_path / "host.bin"
    path.write_bytes(data)
    outcome = host_outcome(path)
    exc = refused(tmp_path, data, exc_type=outcome[1])
    assert str(exc) == outcome[2]


BYTES_MISUSE = {
    "encode with another encoding": (b"\x80\x02c_codecs\nencode\nX\x03\x00\x00\x00abc"
                                     b"X\x05\x00\x00\x00utf_8\x86R.", "_codecs.encode"),
    "encode without an encoding": (b"\x80\x02c_codecs\nencode\nX\x03\x00\x00\x00abc\x85R.",
                                   "_codecs.encode"),
    "encode of bytes": (b"\x80\x03c_codecs\nencode\nC\x03abcX\x06\x00\x00\x00latin1\x86R.",
                        "_codecs.encode"),
    "bytes of a size": (b"c__builtin__\nbytes\n(I1000000000\ntR.", "__builtin__.bytes"),
    "bytes of a list": (b"\x80\x03cbuiltins\nbytes\n]K\x01a\x85R.", "builtins.bytes"),
    "bytes left as data": (b"c__builtin__\nbytes\n.", "__builtin__.bytes"),
    "encode left in a list": (b"\x80\x02]c_codecs\nencode\na.", "_codecs.encode"),
    "bytes kept in the memo": (b"\x80\x02c__builtin__\nbytes\nq\x00)R}h\x00Ns.",
                               "__builtin__.bytes"),
    "other builtins": (b"c__builtin__\neval\n(V1\ntR.", "__builtin__.eval"),
}


@pytest.mark.parametrize("case", sorted(BYTES_MISUSE))
def test_the_bytes_globals_only_in_their_own_forms(tmp_path, case):
    data, name = BYTES_MISUSE[case]
    refused(tmp_path, data, name=name)


# ---------------------------------------------------------------------------
# Corrupt and truncated streams

GOOD = pickle.dumps({"dict": {"a": 1, "b": b"xy"}, "next_id": 3}, 2)
GOOD4 = pickle.dumps({"dict": {"a": 1, "b": b"xy"}, "next_id": 3}, 4)
CORRUPT = {
    "empty": b"",
    "garbage": b"\x00garbage",
    "only a protocol": b"\x80\x04",
    "truncated inside an argument": GOOD[:-9],
    "truncated at an opcode": GOOD[:-1],
    "truncated frame": GOOD4[:20],
    "unknown protocol": b"\x80\x09N.",
    "stack underflow": b"0.",
    "missing memo": b"\x80\x02h\x05.",
    "bad line": b"Iabc\n.",
    "negative length": b"T\xff\xff\xff\xffN.",
    "stop inside a frame": b"\x95" + struct.pack("<Q", 50) + b"N.",
    "bad byte inside a frame": b"\x95" + struct.pack("<Q", 4) + b"N\x00N.",
}


@pytest.mark.parametrize("case", sorted(CORRUPT))
def test_corrupt_streams_fail_with_the_hosts_error(tmp_path, case):
    path = tmp_path / "dict.bin"
    path.write_bytes(CORRUPT[case])
    outcome = host_outcome(path)
    assert outcome[0] == "error"
    exc = refused(tmp_path, CORRUPT[case], exc_type=outcome[1])
    assert str(exc) == outcome[2]


# Mutations of plain pickles that never form a global, an extension code or a
# persistent id, so that the host's own loader can safely run them too.
NAMING = set(b"ci\x93\x82\x83\x84PQ")
SEEDS = [pickle.dumps({"d": {"k": 1, "q": [2.5, None, (True, 300, 70000, b"xy")]}, "n": 9}, p)
         for p in range(6)]


@settings(max_examples=300, deadline=None)
@given(seed=st.sampled_from(SEEDS), edits=st.lists(
    st.tuples(st.integers(0, 10**6), st.integers(0, 255)), max_size=3),
    cut=st.integers(0, 10**6))
def test_mutated_streams_behave_as_with_the_host(tmp_path_factory, seed, edits, cut):
    data = bytearray(seed)
    for pos, value in edits:
        data[pos % len(data)] = value
    data = bytes(data[: cut % (len(data) + 1)])
    assume(not NAMING & set(data))
    path = tmp_path_factory.mktemp("m") / "dict.bin"
    path.write_bytes(data)
    outcome = host_outcome(path)
    # A declared length beyond memory: the host's file fails to allocate it,
    # while the loader reads on to the end of the file without allocating.
    assume(outcome[:2] != ("error", MemoryError))
    obj = QBCompressor(dict_path=str(tmp_path_factory.mktemp("a") / "absent"))
    obj.dict_path = str(path)
    try:
        obj.load_dict()
    except Exception as exc:  # noqa: BLE001 - every outcome is compared
        line = names_and_lines(exc)[-1][1]
        if outcome[0] == "error":
            assert (line, type(exc), str(exc)) == (24, outcome[1], outcome[2])
        else:
            assert line != 24
    else:
        assert outcome[0] == "ok"


@pytest.mark.parametrize("opcode", [b"\x96", b"\x8e", b"\x8d", b"\x95"],
                         ids=["BYTEARRAY8", "BINBYTES8", "BINUNICODE8", "FRAME"])
def test_a_declared_length_beyond_the_file_is_never_allocated(tmp_path, opcode):
    # A few bytes declaring 7e18 bytes of data: truncated, not a memory
    # error, and nothing reported on the side when the call is over.
    path = tmp_path / "short.bin"
    path.write_bytes(b"\x80\x05" + opcode + struct.pack("<Q", 7 * 10**18) + b"abc")
    script = (
        "import qbc_compressor, pickle, sys\n"
        "try:\n"
        f"    qbc_compressor.QBCompressor(dict_path={str(path)!r})\n"
        "except pickle.UnpicklingError as e:\n"
        "    print(e)\n"
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ), timeout=60)
    assert (done.stdout.strip(), done.stderr) == ("pickle data was truncated", "")


def test_dev_zero_fails_at_its_first_byte(tmp_path):
    exc = refused(tmp_path, b"\x00", exc_type=pickle.UnpicklingError)
    with pytest.raises(pickle.UnpicklingError) as info:
        QBCompressor(dict_path="/dev/zero")
    assert str(info.value) == str(exc) == "invalid load key, '\\x00'."


# ---------------------------------------------------------------------------
# A replaced pickle module is called as it is


class FakePickle:
    def __init__(self):
        self.calls = []

    def load(self, f):
        self.calls.append(f.read())
        return {"dict": {"fake": 1}, "next_id": 2}


def test_a_replacement_module_is_used_and_the_original_afterwards(tmp_path, monkeypatch, marker):
    path = tmp_path / "dict.bin"
    path.write_bytes(global_streams(marker)["GLOBAL"])
    fake = FakePickle()
    monkeypatch.setattr(qbc_compressor, "pickle", fake)
    obj = QBCompressor(dict_path=str(path))
    assert fake.calls == [path.read_bytes()]
    assert obj.global_dict == {"fake": 1} and obj.next_id == 2
    monkeypatch.undo()
    refused(tmp_path, path.read_bytes(), name="os.system")
