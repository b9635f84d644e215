"""Text files through encode_files and decode_package come back as they were
read: byte for byte, after universal-newline translation."""
import glob
import os
import pathlib
import tempfile

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from qbc_compressor import QBCompressor

WHITESPACE = ("\t\n\x0b\x0c\r\x1c\x1d\x1e\x1f \x85\xa0\u1680"
              + "".join(chr(c) for c in range(0x2000, 0x200B))
              + "\u2028\u2029\u202f\u205f\u3000")
FORTUNES = pathlib.Path("/usr/share/games/fortunes")
MAX_DOC_SIZE = 200_000


def translated(data):
    """What a reader with universal newlines makes of UTF-8 bytes, as UTF-8."""
    text = data.decode("utf-8")
    return text.replace("\r\n", "\n").replace("\r", "\n").encode("utf-8")


def is_utf8(data):
    try:
        data.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


def fresh(where):
    return QBCompressor(str(pathlib.Path(where) / "never-saved.bin"))


def link_corpus(sources, where):
    """Symlinks each (unique name, source path) into `where`; returns the
    link paths, so that the stored base names are the unique names."""
    where.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, source in sources:
        link = where / name
        link.symlink_to(source)
        paths.append(str(link))
    return paths


def decoded(c, package, outdir):
    names = c.decode_package(str(package), str(outdir))
    return names, {name: (pathlib.Path(outdir) / name).read_bytes() for name in names}


def expected_of(paths):
    return {os.path.basename(p): translated(pathlib.Path(p).read_bytes()) for p in paths}


@pytest.fixture(scope="module")
def copyright_files():
    found = []
    for path in sorted(glob.glob("/usr/share/doc/*/copyright")):
        p = pathlib.Path(path)
        if not p.is_file() or p.stat().st_size > MAX_DOC_SIZE:
            continue
        if is_utf8(p.read_bytes()):
            found.append((p.parent.name, path))
    if len(found) < 50:
        pytest.skip("too few copyright files on this system")
    return found


@pytest.fixture(scope="module")
def russian_files():
    base = FORTUNES / "ru"
    if not base.is_dir():
        pytest.skip("fortunes-ru is not installed (tools/install-deps testdata)")
    return [("ru-" + p.name, str(p)) for p in sorted(base.iterdir())
            if p.is_file() and not p.is_symlink() and p.suffix not in (".dat", ".u8")]


@pytest.fixture(scope="module")
def chinese_file():
    path = FORTUNES / "chinese"
    if not path.is_file():
        pytest.skip("fortunes-zh is not installed (tools/install-deps testdata)")
    return [("chinese", str(path))]


class TestRealText:
    def test_copyright_files_in_one_package(self, tmp_path, copyright_files):
        paths = link_corpus(copyright_files, tmp_path / "in")
        writer = fresh(tmp_path)
        size = writer.encode_files(paths, str(tmp_path / "p.qbc"))
        assert 0 < size < sum(os.path.getsize(p) for p in paths)
        names, files = decoded(fresh(tmp_path), tmp_path / "p.qbc", tmp_path / "out")
        assert names == [os.path.basename(p) for p in paths]
        assert files == expected_of(paths)

    def test_russian_and_chinese(self, tmp_path, russian_files, chinese_file):
        paths = link_corpus(russian_files + chinese_file, tmp_path / "in")
        writer = fresh(tmp_path)
        writer.encode_files(paths, str(tmp_path / "p.qbc"))
        reader = fresh(tmp_path)
        names, files = decoded(reader, tmp_path / "p.qbc", tmp_path / "out")
        assert files == expected_of(paths)
        assert reader.global_dict == writer.global_dict
        assert any(max(token) > "\u4e00" for token in writer.global_dict)
        assert any("\u0400" <= max(token) <= "\u04ff" for token in writer.global_dict)

    @pytest.mark.parametrize("ending", ["\r\n", "\r"])
    def test_other_line_endings_come_back_as_line_feeds(self, tmp_path, copyright_files,
                                                        russian_files, chinese_file, ending):
        sources = copyright_files[::40] + russian_files[::10] + chinese_file
        (tmp_path / "in").mkdir()
        paths, originals = [], {}
        for name, source in sources:
            data = pathlib.Path(source).read_bytes()
            text = data.decode("utf-8").replace("\r\n", "\n")
            target = tmp_path / "in" / name
            target.write_bytes(text.replace("\n", ending).encode("utf-8"))
            paths.append(str(target))
            originals[name] = translated(data)
        fresh(tmp_path).encode_files(paths, str(tmp_path / "p.qbc"))
        _, files = decoded(fresh(tmp_path), tmp_path / "p.qbc", tmp_path / "out")
        assert files == originals
        assert all(b"\r" not in data for data in files.values())

    def test_several_packages_one_dictionary(self, tmp_path, copyright_files, russian_files):
        batches = [copyright_files[0::8], russian_files[::4], copyright_files[1::8],
                   copyright_files[2::8]]
        dict_path = str(tmp_path / "shared.bin")
        c = QBCompressor(dict_path)
        packages = []
        for k, batch in enumerate(batches):
            paths = link_corpus(batch, tmp_path / f"in{k}")
            package = tmp_path / f"p{k}.qbc"
            before = dict(c.global_dict)
            c.encode_files(paths, str(package))
            # Earlier tokens keep their ids; new ones follow.
            assert {t: c.global_dict[t] for t in before} == before
            assert c.next_id == len(c.global_dict) + 1
            packages.append((package, paths))
            if k == 1:
                saved, saved_next = dict(c.global_dict), c.next_id
                c.save_dict()
                c = QBCompressor(dict_path)
                assert list(c.global_dict.items()) == list(saved.items())
                assert c.inverse_dict == {v: k for k, v in saved.items()}
                assert c.next_id == saved_next
            if k == 2:
                saved_next = c.next_id
                c.save_dict()
                c.load_dict()
                assert c.next_id == saved_next
        for k, (package, paths) in enumerate(packages):
            _, files = decoded(fresh(tmp_path), package, tmp_path / f"out{k}")
            assert files == expected_of(paths)

    def test_decode_then_keep_encoding(self, tmp_path, copyright_files, russian_files):
        first = link_corpus(copyright_files[::7], tmp_path / "a")
        second = link_corpus(russian_files[::3], tmp_path / "b")
        fresh(tmp_path).encode_files(first, str(tmp_path / "a.qbc"))
        c = fresh(tmp_path)
        _, files = decoded(c, tmp_path / "a.qbc", tmp_path / "out-a")
        assert files == expected_of(first)
        c.encode_files(second, str(tmp_path / "b.qbc"))
        for reader in (c, fresh(tmp_path)):
            _, files = decoded(reader, tmp_path / "b.qbc", tmp_path / "out-b")
            assert files == expected_of(second)


# Generated texts ----------------------------------------------------------------------

# Any code point but lone surrogates (files must be valid UTF-8), with
# whitespace of every kind and astral characters made frequent.
characters = st.one_of(
    st.characters(blacklist_categories=("Cs",)),
    st.sampled_from(WHITESPACE),
    st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF,
                  blacklist_categories=("Cs",)),
    st.sampled_from("ab\r\n"),
)
texts = st.text(characters, max_size=200)
names = st.text(st.characters(whitelist_categories=("Lu", "Ll", "Nd", "Lo")),
                min_size=1, max_size=12)
file_sets = st.lists(st.tuples(names, texts), max_size=6, unique_by=lambda f: f[0])


def write_set(where, files):
    where.mkdir(parents=True, exist_ok=True)
    paths = []
    for name, text in files:
        path = where / name
        path.write_bytes(text.encode("utf-8"))
        paths.append(str(path))
    return paths


def expected_set(files):
    return {name: translated(text.encode("utf-8")) for name, text in files}


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.lists(file_sets, min_size=1, max_size=3))
def test_generated_file_sets_round_trip(batches):
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        dict_path = str(tmp / "dict.bin")
        c = QBCompressor(dict_path)
        for k, files in enumerate(batches):
            paths = write_set(tmp / f"in{k}", files)
            package = str(tmp / f"p{k}.qbc")
            c.encode_files(paths, package)
            c.save_dict()
            if k % 2:
                c = QBCompressor(dict_path)
            reader = fresh(tmp)
            assert reader.decode_package(package, str(tmp / f"out{k}")) == [n for n, _ in files]
            got = {name: (tmp / f"out{k}" / name).read_bytes() for name, _ in files}
            assert got == expected_set(files)
            assert reader.global_dict == c.global_dict


@settings(max_examples=100, deadline=None)
@given(texts)
def test_generated_text_tokens(text):
    c = QBCompressor("/nonexistent-dir/never.bin")
    tokens = c.tokenize(text)
    assert "".join(tokens) == text
    assert all(tokens)
    for left, right in zip(tokens, tokens[1:]):
        assert left[-1].isspace() != right[0].isspace()


@pytest.mark.parametrize("start_inside, stop_inside", [(True, False), (False, True), (True, True)])
def test_allocation_tracing_started_or_stopped_during_a_call(tmp_path, start_inside,
                                                             stop_inside):
    # The codec hooks the host's allocator for the length of a call; a
    # tracer hooked on top of it, or taken away, in the middle of a call
    # (here from a tokenize override) leaves every later call working and
    # the tracer's own start and stop intact.
    import tracemalloc

    class Tracing(QBCompressor):
        calls = 0

        def tokenize(self, text):
            Tracing.calls += 1
            if Tracing.calls == 1 and start_inside:
                tracemalloc.start()
            if Tracing.calls == 2 and stop_inside:
                tracemalloc.stop()
            return super().tokenize(text)

    text = "".join(f"w{i} " for i in range(300_000))  # megabytes of tables
    src = tmp_path / "t.txt"
    src.write_text(text)
    pkg = str(tmp_path / "p.qbc")
    try:
        if not start_inside:
            tracemalloc.start()
        Tracing(str(tmp_path / "none.bin")).encode_files([str(src)] * 2, pkg)
        assert tracemalloc.is_tracing() == (not stop_inside)
        if tracemalloc.is_tracing():
            assert tracemalloc.get_traced_memory()[1] > len(text)
    finally:
        tracemalloc.stop()
    for _ in range(2):
        c = QBCompressor(str(tmp_path / "none.bin"))
        c.encode_files([str(src)], pkg)
        out = tmp_path / "out"
        assert c.decode_package(pkg, str(out)) == ["t.txt"]
        assert (out / "t.txt").read_text() == text
    tracemalloc.start()
    try:
        QBCompressor(str(tmp_path / "none.bin")).decode_package(pkg, str(tmp_path / "o2"))
        assert tracemalloc.get_traced_memory()[1] > len(text)
    finally:
        tracemalloc.stop()


ALLOCATOR_CHILD = r"""
import sys
from qbc_compressor import QBCompressor
src, pkg, out = sys.argv[1:4]
c = QBCompressor(src + ".none")
c.encode_files([src], pkg)
d = QBCompressor(src + ".none")
assert d.decode_package(pkg, out) == ["t.txt"]
with open(src, encoding="utf-8") as f, open(out + "/t.txt", encoding="utf-8") as g:
    assert f.read() == g.read()
# Tables and texts made during the calls are resized and freed by the host
# afterwards, by whatever allocator it runs with.
for m in (c.global_dict, c.inverse_dict, d.global_dict, d.inverse_dict):
    for i in range(200_000):
        m[-1 - i] = "x"
    m.clear()
del c, d
print("ok")
"""


@pytest.mark.parametrize("allocator", ["", "malloc", "pymalloc", "debug", "malloc_debug",
                                       "pymalloc_debug"])
def test_calls_under_each_host_allocator(tmp_path, allocator):
    # Large blocks the host allocates during a call may come from the C
    # library directly; that must hold only where the host frees them as
    # its own, never under its debug allocators.
    import subprocess
    import sys

    src = tmp_path / "t.txt"
    src.write_text("".join(f"w{i} é{i}\n" for i in range(120_000)), encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    if allocator:
        env["PYTHONMALLOC"] = allocator
    proc = subprocess.run([sys.executable, "-c", ALLOCATOR_CHILD, str(src),
                           str(tmp_path / "p.qbc"), str(tmp_path / "out")],
                          env=env, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.strip() == "ok"
