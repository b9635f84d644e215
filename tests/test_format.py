"""The package file as other readers see it, and what the decoder accepts.

A package is one pickle of a dict with the keys compressed, file_boundaries,
filenames and global_dict; `compressed` is one Zstandard frame recording its
content size, whose content is one 4-byte big-endian record per token.
"""
import os
import pickle
import pickletools
import struct

import pytest
import zstandard

from qbc_compressor import QBCompressor

KEYS = ["compressed", "file_boundaries", "filenames", "global_dict"]


def fresh(tmp_path):
    """A compressor that has no dictionary file to load."""
    return QBCompressor(str(tmp_path / "no-such-dict.bin"))


def write_text(path, text):
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text)
    return str(path)


def host_load(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def stream_of(package):
    return zstandard.ZstdDecompressor().decompress(package["compressed"])


def records(*ids):
    return b"".join(struct.pack(">I", i) for i in ids)


def write_package(path, obj, protocol=None):
    with open(path, "wb") as f:
        if protocol is None:
            pickle.dump(obj, f)
        else:
            pickle.dump(obj, f, protocol=protocol)
    return str(path)


def frame(data):
    return zstandard.ZstdCompressor().compress(data)


def read_dir(path):
    return {name: (path / name).read_bytes() for name in sorted(os.listdir(path))}


@pytest.fixture
def two_files(tmp_path):
    first = write_text(tmp_path / "one.txt", "a b")
    second = write_text(tmp_path / "two.txt", "b c")
    return [first, second]


class TestWrittenPackage:
    def test_host_pickle_sees_exactly_the_four_entries(self, tmp_path, two_files):
        c = fresh(tmp_path)
        out = str(tmp_path / "p.qbc")
        c.encode_files(two_files, out)
        package = host_load(out)
        assert type(package) is dict
        assert list(package) == KEYS
        assert all(type(k) is str for k in package)
        assert type(package["compressed"]) is bytes
        assert type(package["file_boundaries"]) is list
        assert [type(b) for b in package["file_boundaries"]] == [int, int]
        assert package["file_boundaries"] == [3, 6]
        assert type(package["filenames"]) is list
        assert package["filenames"] == ["one.txt", "two.txt"]
        assert [type(n) for n in package["filenames"]] == [str, str]
        stored = package["global_dict"]
        assert type(stored) is dict
        assert all(type(k) is str and type(v) is int for k, v in stored.items())
        assert stored == c.global_dict
        assert list(stored.items()) == list(c.global_dict.items())

    def test_pickle_uses_the_host_default_protocol(self, tmp_path, two_files):
        out = str(tmp_path / "p.qbc")
        fresh(tmp_path).encode_files(two_files, out)
        data = open(out, "rb").read()
        assert data[:2] == bytes([0x80, pickle.DEFAULT_PROTOCOL])
        # One pickle and nothing after it.
        ops = list(pickletools.genops(data))
        assert ops[-1][0].name == "STOP"
        assert ops[-1][2] == len(data) - 1

    def test_ids_of_two_files_sharing_tokens(self, tmp_path, two_files):
        out = str(tmp_path / "p.qbc")
        fresh(tmp_path).encode_files(two_files, out)
        assert stream_of(host_load(out)) == records(1, 2, 3, 3, 2, 4)

    def test_frame_records_its_content_size(self, tmp_path, two_files):
        out = str(tmp_path / "p.qbc")
        size = fresh(tmp_path).encode_files(two_files, out)
        compressed = host_load(out)["compressed"]
        assert size == len(compressed)
        params = zstandard.get_frame_parameters(compressed)
        assert params.content_size == 24
        assert params.has_checksum is False
        assert params.dict_id == 0

    @pytest.mark.parametrize(
        "first_id, record",
        [
            (0, "00 00 00 00"),
            (1, "00 00 00 01"),
            (300, "00 00 01 2C"),
            (70000, "00 01 11 70"),
            (0x01020304, "01 02 03 04"),
            (2147483646, "7F FF FF FE"),
        ],
    )
    def test_record_layout_is_big_endian(self, tmp_path, first_id, record):
        c = fresh(tmp_path)
        c.next_id = first_id
        out = str(tmp_path / "p.qbc")
        c.encode_files([write_text(tmp_path / "f", "x")], out)
        assert stream_of(host_load(out)) == bytes.fromhex(record)

    def test_dictionary_holds_tokens_not_in_this_package(self, tmp_path):
        c = fresh(tmp_path)
        c.encode_files([write_text(tmp_path / "f", "old words")], str(tmp_path / "a"))
        c.encode_files([write_text(tmp_path / "g", "new")], str(tmp_path / "b"))
        package = host_load(str(tmp_path / "b"))
        assert package["global_dict"] == {"old": 1, " ": 2, "words": 3, "new": 4}
        assert stream_of(package) == records(4)

    def test_empty_input_list(self, tmp_path):
        c = fresh(tmp_path)
        c.global_dict.update({"kept": 1})
        c.next_id = 2
        out = str(tmp_path / "p.qbc")
        size = c.encode_files([], out)
        package = host_load(out)
        assert list(package) == KEYS
        assert size == len(package["compressed"]) > 0
        assert zstandard.get_frame_parameters(package["compressed"]).content_size == 0
        assert stream_of(package) == b""
        assert package["file_boundaries"] == [] and package["filenames"] == []
        assert package["global_dict"] == {"kept": 1}
        reader = fresh(tmp_path)
        assert reader.decode_package(out, str(tmp_path / "out")) == []
        assert os.listdir(tmp_path / "out") == []


class TestReading:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_host_written_package_reads_back(self, tmp_path, protocol):
        package = {
            "compressed": frame(records(1, 2, 3, 2, 1)),
            "file_boundaries": [3, 5],
            "filenames": ["first", "second"],
            "global_dict": {"x": 1, " ": 2, "\u4e2d\U0001F600": 3},
        }
        path = write_package(tmp_path / "p.qbc", package, protocol)
        c = fresh(tmp_path)
        out = tmp_path / "out"
        assert c.decode_package(path, str(out)) == ["first", "second"]
        assert read_dir(out) == {
            "first": "x \u4e2d\U0001F600".encode("utf-8"),
            "second": b" x",
        }
        assert c.global_dict == package["global_dict"]
        assert c.inverse_dict == {1: "x", 2: " ", 3: "\u4e2d\U0001F600"}

    def test_package_written_by_encoder_reads_back(self, tmp_path, two_files):
        out = str(tmp_path / "p.qbc")
        fresh(tmp_path).encode_files(two_files, out)
        reader = fresh(tmp_path)
        assert reader.decode_package(out, str(tmp_path / "o")) == ["one.txt", "two.txt"]
        assert read_dir(tmp_path / "o") == {"one.txt": b"a b", "two.txt": b"b c"}

    @pytest.mark.parametrize("extra", [b"\x00", b"\x7f\xff", b"\xff\xff\xff"])
    def test_trailing_partial_record_is_ignored(self, tmp_path, extra):
        package = {
            "compressed": frame(records(1, 2) + extra),
            "file_boundaries": [10],
            "filenames": ["f"],
            "global_dict": {"a": 1, "b": 2},
        }
        path = write_package(tmp_path / "p.qbc", package)
        fresh(tmp_path).decode_package(path, str(tmp_path / "o"))
        assert (tmp_path / "o" / "f").read_bytes() == b"ab"

    @pytest.mark.parametrize("record", ["00 00 01 02", "00 00 00 00", "7F FF FF FF"])
    def test_record_is_read_as_unsigned_big_endian(self, tmp_path, record):
        value = int(record.replace(" ", ""), 16)
        package = {
            "compressed": frame(bytes.fromhex(record)),
            "file_boundaries": [1],
            "filenames": ["f"],
            "global_dict": {"hit": value},
        }
        path = write_package(tmp_path / "p.qbc", package)
        fresh(tmp_path).decode_package(path, str(tmp_path / "o"))
        assert (tmp_path / "o" / "f").read_bytes() == b"hit"

    @pytest.mark.parametrize("bad", ["80 00 00 00", "80 00 00 01", "FF FF FF FF", "C0 00 00 00"])
    def test_record_with_high_first_byte_is_refused(self, tmp_path, bad):
        package = {
            "compressed": frame(records(1) + bytes.fromhex(bad) + records(1)),
            "file_boundaries": [3],
            "filenames": ["f"],
            "global_dict": {"a": 1},
        }
        path = write_package(tmp_path / "p.qbc", package)
        c = fresh(tmp_path)
        with pytest.raises(OverflowError, match=r"^value too large to convert to int$"):
            c.decode_package(path, str(tmp_path / "o"))
        assert c.global_dict == {"a": 1}
        assert c.inverse_dict == {1: "a"}
        assert not (tmp_path / "o").exists()

    def test_negative_id_is_never_written(self, tmp_path):
        # A negative id would need a record with the top bit set, which no
        # reader accepts; the writer refuses it instead.
        c = fresh(tmp_path)
        c.global_dict = {"neg": -5}
        out = tmp_path / "p.qbc"
        with pytest.raises(ValueError, match="-5"):
            c.encode_files([write_text(tmp_path / "f", "neg")], str(out))
        assert not out.exists()

    def test_unknown_id_reads_as_placeholder(self, tmp_path):
        package = {
            "compressed": frame(records(1, 9, 1)),
            "file_boundaries": [3],
            "filenames": ["f"],
            "global_dict": {"a": 1},
        }
        path = write_package(tmp_path / "p.qbc", package)
        fresh(tmp_path).decode_package(path, str(tmp_path / "o"))
        assert (tmp_path / "o" / "f").read_bytes() == b"a<UNK>a"
