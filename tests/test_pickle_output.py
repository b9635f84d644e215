"""The dictionary file and the package hold, byte for byte, what the host's
pickle.dump writes for the same objects: the same opcodes, memo numbers,
batches and frames."""

import gc
import pickle
import random
import sys

import pytest
from hypothesis import given, settings, strategies as st

import qbc_compressor
from qbc_compressor import QBCompressor

FRAME = 64 * 1024


def saved_bytes(tmp_path, mapping, next_id=7):
    c = QBCompressor(str(tmp_path / "none"))
    c.global_dict = mapping
    c.next_id = next_id
    c.dict_path = str(tmp_path / "dict.bin")
    c.save_dict()
    return (tmp_path / "dict.bin").read_bytes(), {"dict": mapping, "next_id": c.next_id}


def first_difference(a, b):
    return next((i for i, (x, y) in enumerate(zip(a, b)) if x != y), min(len(a), len(b)))


def assert_same_pickle(got, obj):
    expected = pickle.dumps(obj)
    assert got == expected, f"differs from byte {first_difference(got, expected)}"


INT_EDGES = [0, 1, 255, 256, 65535, 65536, 2**31 - 1, -1, -255, -256, -65536, -2**31]

MAPPINGS = {
    "empty": {},
    "one entry": {"only": 1},
    "int edges": {f"k{i}": v for i, v in enumerate(INT_EDGES)},
    "a full batch": {f"t{i}": i for i in range(1000)},
    "two full batches": {f"t{i}": i for i in range(2000)},
    "a batch and one": {f"t{i}": i for i in range(1001)},
    "every width": {"caf\u00e9": 1, "\u4e2d\u6587": 2, "\U0001F600": 3, "plain": 4, "": 5},
    "lone surrogates": {"a\ud800b": 1, "\udfff": 2},
    "frames of short keys": {f"key number {i:07d}": i for i in range(30000)},
    "a key just under a frame": {"x" * (FRAME - 1): 1, "y": 2},
    "a key of a frame": {"x" * FRAME: 1, "y": 2},
    "a wide key past a frame": {"\u4e2d" * (FRAME // 3 + 1): 1, "z": 2},
    "keys around frame ends": {("k" * n): n for n in range(FRAME // 2 - 3, FRAME // 2 + 3)},
    # Values the host pickles otherwise; it writes these itself.
    "values past 32 bits": {"big": 2**31, "small": -2**31 - 1, "huge": 10**30},
    "nested values": {"list": [1, "a", [2, b"x"]], "bytes": b"\x00" * 10, "dict": {"i": 1}},
    "bools among ints": {"a": 1, "t": True, "f": False, "b": 2},
    "non-ASCII keys among short ones": {"a": 1, "\u00e9": 2, "x" * 300: 3, b"k": 4, 5: 6},
}


@pytest.mark.parametrize("mapping", MAPPINGS.values(), ids=MAPPINGS.keys())
def test_dictionary_file_is_the_host_pickle(tmp_path, mapping):
    got, obj = saved_bytes(tmp_path, mapping)
    assert_same_pickle(got, obj)


def test_repeated_objects_are_memo_references(tmp_path):
    shared = "shared token"
    mapping = {"next_id": 1, shared: 2, "list": [shared, shared, "next_id"]}
    # The interned "next_id" is the dictionary file's own key too.
    got, obj = saved_bytes(tmp_path, mapping)
    assert_same_pickle(got, obj)


def test_key_of_the_file_itself_inside_the_dictionary(tmp_path):
    # The interned "next_id" is stored once, inside the dictionary, and
    # referred to as the file's own key after it.
    got, obj = saved_bytes(tmp_path, {"a": 1, "next_id": 2, "dict": 3})
    assert_same_pickle(got, obj)
    assert got.count(b"next_id") == 1


def test_memo_references_past_256(tmp_path):
    early = "early"
    mapping = {f"k{i}": [f"v{i}"] for i in range(300)}
    mapping["late"] = [early]
    mapping[early] = 1
    got, obj = saved_bytes(tmp_path, mapping)
    assert_same_pickle(got, obj)


class Tagged(dict):
    pass


def test_dict_subclass_goes_to_the_host(tmp_path):
    got, obj = saved_bytes(tmp_path, Tagged(a=1, b=2))
    assert pickle.loads(got) == {"dict": {"a": 1, "b": 2}, "next_id": 7}
    assert type(pickle.loads(got)["dict"]) is Tagged


def test_replaced_dump_is_called(tmp_path, monkeypatch):
    calls = []
    real_dump = pickle.dump

    class Spy:
        def dump(self, obj, f):
            calls.append(obj)
            real_dump(obj, f)

    monkeypatch.setattr(qbc_compressor, "pickle", Spy())
    got, obj = saved_bytes(tmp_path, {"a": 1})
    assert calls == [obj]
    assert_same_pickle(got, obj)


keys = st.text(max_size=12)
values = st.one_of(st.integers(-2**33, 2**33), st.sampled_from(INT_EDGES),
                   st.lists(st.integers(0, 300) | st.text(max_size=3), max_size=4))


@settings(max_examples=150, deadline=None)
@given(st.dictionaries(keys, values, max_size=60))
def test_any_mapping_is_the_host_pickle(tmp_path_factory, mapping):
    tmp_path = tmp_path_factory.mktemp("p")
    got, obj = saved_bytes(tmp_path, mapping)
    assert_same_pickle(got, obj)


def package_of(c, path):
    """The package with the compressor's own objects, as they were dumped."""
    with open(path, "rb") as f:
        loaded = pickle.load(f)
    return {"compressed": loaded["compressed"], "file_boundaries": loaded["file_boundaries"],
            "filenames": loaded["filenames"], "global_dict": c.global_dict}


@pytest.mark.parametrize("shape", ["small", "large", "names that are tokens"])
def test_package_is_the_host_pickle(tmp_path, shape):
    if shape == "small":
        texts = {"a.txt": "one two\r\nthree \u00e9\n"}
    elif shape == "large":
        texts = {f"f{i}.txt": " ".join(f"w{i}x{j}" for j in range(4000)) for i in range(30)}
    else:
        # Single-character names and tokens are the host's shared strs:
        # the pickle refers back to them.
        texts = {"a": "a b a", "b": "b\n"}
    paths = []
    for name, text in texts.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
        paths.append(str(tmp_path / name))
    c = QBCompressor(str(tmp_path / "none"))
    c.encode_files(paths + paths[:1], str(tmp_path / "p.pkg"))
    got = (tmp_path / "p.pkg").read_bytes()
    assert_same_pickle(got, package_of(c, tmp_path / "p.pkg"))


def random_word_files(tmp_path, files, words, distinct=30000, seed=5):
    """Texts of words in a random order, whose ids compress to more than a
    frame of the pickle: the package is then pickled while they are
    compressed, and the stream goes in afterwards."""
    rng = random.Random(seed)
    vocabulary = [f"w{i}" for i in range(distinct)]
    paths = []
    for i in range(files):
        path = tmp_path / f"t{i}.txt"
        path.write_text(" ".join(rng.choices(vocabulary, k=words)) + "\n", encoding="utf-8")
        paths.append(str(path))
    return paths


@pytest.mark.parametrize("shape", ["short call", "compressed as scanned", "known tokens",
                                   "names that are tokens"])
def test_package_pickled_while_compressing_is_the_host_pickle(tmp_path, shape):
    c = QBCompressor(str(tmp_path / "none"))
    if shape == "compressed as scanned":
        # More than 8 MiB of records.
        paths = random_word_files(tmp_path, 1, 1_100_000)
    else:
        paths = random_word_files(tmp_path, 2, 40_000)
    if shape == "known tokens":
        c.encode_files(paths[:1], str(tmp_path / "first.pkg"))
    elif shape == "names that are tokens":
        # The single-character names are the host's shared strs, as are the
        # tokens of the same text: the pickle refers back to them.
        for name in "ab":
            (tmp_path / name).write_text(name + " ", encoding="utf-8")
            paths.append(str(tmp_path / name))
    c.encode_files(paths, str(tmp_path / "p.pkg"))
    package = package_of(c, tmp_path / "p.pkg")
    assert len(package["compressed"]) >= FRAME
    assert_same_pickle((tmp_path / "p.pkg").read_bytes(), package)


class MeddlingPickle:
    """A pickle module whose dump, as it is looked up, changes what the
    package holds or refers to."""

    def __init__(self, change):
        self.change = change

    @property
    def dump(self):
        self.change()
        return pickle.dump


def other_names_list(names):
    return next(o for o in gc.get_objects() if type(o) is list and o == names and o is not names)


@pytest.mark.parametrize("change", ["entry added", "value changed", "entry removed",
                                    "name added", "dictionary replaced"])
def test_package_changed_before_it_is_written(tmp_path, monkeypatch, change):
    paths = random_word_files(tmp_path, 2, 40_000)
    c = QBCompressor(str(tmp_path / "none"))
    names = ["t0.txt", "t1.txt"]
    first = None

    def meddle():
        nonlocal first
        first = c.global_dict
        if change == "entry added":
            c.global_dict["added"] = 10**6
        elif change == "value changed":
            c.global_dict["w1"] = -5
        elif change == "entry removed":
            del c.global_dict["w1"]
        elif change == "name added":
            other_names_list(names).append("late")
        else:
            c.global_dict = {"other": 1}

    monkeypatch.setattr(qbc_compressor, "pickle", MeddlingPickle(meddle))
    c.encode_files(paths, str(tmp_path / "p.pkg"))
    monkeypatch.undo()
    with open(tmp_path / "p.pkg", "rb") as f:
        loaded = pickle.load(f)
    # The package holds the dictionary it was made with, as it is when dumped.
    package = {**package_of(c, tmp_path / "p.pkg"), "global_dict": first}
    assert_same_pickle((tmp_path / "p.pkg").read_bytes(), package)
    assert loaded["global_dict"] == first
    assert loaded["filenames"] == names + ["late"] * (change == "name added")
