"""Damaged packages and dictionary files raise ordinary exceptions; they never
crash the interpreter, and nothing is written outside the output directory.

The damage is done in a child process (this file run as a script), so that a
crash fails the test instead of taking the test run with it. The child prints
one JSON summary line, which the test checks.
"""
import collections
import glob
import json
import math
import os
import pathlib
import pickle
import random
import resource
import subprocess
import sys

SEED = 20240611
MEMORY_LIMIT = 4 << 30  # a runaway allocation becomes a MemoryError


# The child -------------------------------------------------------------------------


def odd_value(rng, depth=0):
    """A value of a type or size a package never holds."""
    simple = [
        None, True, False, 0, 1, -1, 7, 255, 256, 2**31 - 1, 2**31, -2**31, -2**31 - 1,
        2**32, 2**63, 2**64 + 5, -2**70, 10**40, 1.5, -0.0, 2.9, math.inf, -math.inf, math.nan,
        "", "x", "..", "/", "a/b", "\x00", "\ud800", "\U0001F600" * 3, " \r\n",
        b"", b"\x00\x00\x00\x01", b"\x80\x00\x00\x00", b"\xff" * 7, bytes(range(256)),
        bytearray(b"\x00\x00\x01\x02"),
    ]
    if depth >= 3 or rng.random() < 0.5:
        return rng.choice(simple)
    kind = rng.randrange(6)
    size = rng.randrange(6)
    if kind == 0:
        return [odd_value(rng, depth + 1) for _ in range(size)]
    if kind == 1:
        return tuple(odd_value(rng, depth + 1) for _ in range(size))
    if kind == 2:
        out = {}
        for _ in range(size):
            out[odd_key(rng)] = odd_value(rng, depth + 1)
        return out
    if kind == 3:
        return {str(i): odd_value(rng, depth + 1) for i in range(size)}
    if kind == 4:
        return [rng.choice([0, 1, 2, 3, -1, 2**31, 2**33, 5.5]) for _ in range(size * 3)]
    return {frozenset([1, 2]), "s", 3} if rng.random() < 0.5 else frozenset(["x", 1])


def odd_key(rng):
    return rng.choice([None, 0, -5, 2**40, 1.5, "k", b"k", (1, 2), True, "\U0001F600",
                       frozenset([3]), math.nan])


def mutate_bytes(rng, data):
    data = bytearray(data)
    choice = rng.randrange(6)
    if choice == 0 and data:
        for _ in range(rng.randint(1, 4)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return bytes(data), "bitflip"
    if choice == 1:
        return bytes(data[: rng.randrange(len(data) + 1)]), "truncate"
    if choice == 2:
        at = rng.randrange(len(data) + 1)
        extra = bytes(rng.randrange(256) for _ in range(rng.randint(1, 16)))
        return bytes(data[:at] + extra + data[at:]), "insert"
    if choice == 3 and data:
        at = rng.randrange(len(data))
        end = min(len(data), at + rng.randint(1, 8))
        data[at:end] = bytes(rng.randrange(256) for _ in range(end - at))
        return bytes(data), "overwrite"
    if choice == 4 and data:
        at = rng.randrange(len(data))
        end = min(len(data), at + rng.randint(1, 32))
        return bytes(data[:end] + data[at:end] + data[end:]), "duplicate"
    if data:
        at = rng.randrange(len(data))
        return bytes(data[:at] + data[at + rng.randint(1, 8):]), "delete"
    return bytes(data), "none"


def frame_of(zstd, rng):
    """A real frame of odd content: a length not a multiple of 4, records
    with high bytes, ids nobody has."""
    length = rng.choice([0, 1, 3, 4, 5, 8, 400, 4001])
    content = bytes(rng.randrange(256) for _ in range(length))
    return zstd.ZstdCompressor(level=1).compress(content)


def mutate_package(rng, zstd, package):
    obj = dict(package)
    keys = ["compressed", "file_boundaries", "filenames", "global_dict"]
    choice = rng.randrange(8)
    key = rng.choice(keys)
    if choice == 0:
        del obj[key]
        return obj, "drop-" + key
    if choice == 1:
        obj["compressed"] = frame_of(zstd, rng)
        return obj, "odd-frame"
    if choice == 2:
        forward = dict(obj.get("global_dict", {}))
        for token in rng.sample(sorted(forward, key=repr), min(3, len(forward))):
            forward[token] = odd_value(rng)
        forward[odd_key(rng) if rng.random() < 0.3 else "extra"] = rng.choice(
            [0, 2**31 - 1, 2**31, -1, 1.0, "3", None])
        obj["global_dict"] = forward
        return obj, "odd-ids"
    if choice == 3:
        obj["file_boundaries"] = [rng.choice([-2**31, -5, 0, 1, 3, 10**6, 2**31 - 1, 2**31,
                                              2.5, "2", None])
                                  for _ in range(rng.randrange(6))]
        return obj, "odd-boundaries"
    if choice == 4:
        obj["filenames"] = [rng.choice(["a", "b", "", ".", "..", "/abs", "x/y", "n\x00",
                                        "\U0001F600", b"bytes", None, 3])
                            for _ in range(rng.randrange(6))]
        return obj, "odd-names"
    if choice == 5:
        obj = {k: obj[k] for k in rng.sample(list(obj), len(obj))}
        obj[odd_key(rng)] = odd_value(rng)
        return obj, "reordered-extra"
    if choice == 6:
        return odd_value(rng), "odd-package"
    obj[key] = odd_value(rng)
    return obj, "odd-" + key


def mutate_dictionary(rng, data):
    obj = dict(data)
    choice = rng.randrange(4)
    if choice == 0:
        obj["dict"] = odd_value(rng)
        return obj, "odd-dict"
    if choice == 1:
        obj["next_id"] = odd_value(rng)
        return obj, "odd-next-id"
    if choice == 2:
        forward = dict(obj.get("dict", {}))
        for token in list(forward)[:3]:
            forward[token] = odd_value(rng)
        obj["dict"] = forward
        return obj, "odd-dict-ids"
    return odd_value(rng), "odd-top"


def child(workdir):
    import faulthandler

    faulthandler.enable()
    # An address-space limit would also stop an address sanitizer, which
    # maps its shadow memory at start-up; it then reports sizes itself.
    if "asan" not in os.environ.get("LD_PRELOAD", ""):
        resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))
    import zstandard
    from qbc_compressor import QBCompressor

    rng = random.Random(SEED)
    work = pathlib.Path(workdir)
    inputs = work / "inputs"
    inputs.mkdir()
    sample = inputs / "sample.txt"
    sample.write_text("The quick brown fox\r\njumps over\tthe lazy dog.\n\u4e2d\u6587 \U0001F600\n")
    other = inputs / "other.txt"
    other.write_text("fox dog fox\n")
    docs = sorted(p for p in glob.glob("/usr/share/doc/*/copyright")
                  if os.path.getsize(p) < 20000)[:3]
    doc_paths = []
    for k, p in enumerate(docs):
        target = inputs / f"doc{k}"
        target.write_bytes(pathlib.Path(p).read_bytes())
        doc_paths.append(str(target))

    writer = QBCompressor(str(work / "writer-dict.bin"))
    bases = []
    for k, paths in enumerate([[str(sample), str(other)], [], [str(sample)] + doc_paths]):
        path = work / f"base{k}.qbc"
        try:
            writer.encode_files(paths, str(path), 1, 0)
        except UnicodeDecodeError:
            writer.encode_files([str(sample)], str(path), 1, 0)
        bases.append(path.read_bytes())
    writer.save_dict()
    dict_bases = [(work / "writer-dict.bin").read_bytes(),
                  pickle.dumps({"dict": {}, "next_id": 1}),
                  pickle.dumps({"dict": {"a": 1, "b": 2}, "next_id": 3}, protocol=0)]
    packages = [pickle.loads(b) for b in bases]

    summary = {
        "decode_cases": 0, "decode_ok": 0, "decode_errors": collections.Counter(),
        "load_cases": 0, "load_ok": 0, "load_errors": collections.Counter(),
        "encode_after": collections.Counter(), "kinds": collections.Counter(),
        "escaped": [], "outside": [],
    }

    def attempt(bucket, fn, label):
        try:
            fn()
        except Exception as exc:  # an ordinary failure
            summary[bucket][type(exc).__name__] += 1
            return False
        except BaseException as exc:  # must not happen
            summary["escaped"].append(f"{label}: {type(exc).__name__}: {exc!r}"[:300])
            return False
        return True

    def encode_with(c, k):
        # Whatever the loaded or adopted dictionary holds, encoding with it
        # either works or fails in an ordinary way.
        target = work / f"enc{k}.qbc"
        if attempt("encode_after", lambda: c.encode_files([str(sample)], str(target), 1, 0),
                   f"encode {k}"):
            summary["encode_after"]["ok"] += 1
        if target.exists():
            target.unlink()

    case = 0
    for round_ in range(360):
        base = rng.randrange(len(bases))
        if round_ % 3 == 0:
            obj, kind = mutate_package(rng, zstandard, packages[base])
            try:
                data = pickle.dumps(obj, protocol=rng.randrange(pickle.HIGHEST_PROTOCOL + 1))
            except Exception:
                data = pickle.dumps(packages[base])
                kind = "unpicklable"
        elif round_ % 3 == 1:
            data, kind = mutate_bytes(rng, bases[base])
        else:
            data, kind = bases[base], "intact"
            for _ in range(rng.randint(1, 3)):
                data, step = mutate_bytes(rng, data)
                kind = "multi-" + step
        summary["kinds"][kind] += 1
        case += 1
        path = work / f"case{case}.qbc"
        path.write_bytes(data)
        out = work / "out" / f"case{case}"
        c = QBCompressor(str(work / "no-dict.bin"))
        use_zstd = rng.random() < 0.85
        summary["decode_cases"] += 1
        if attempt("decode_errors",
                   lambda: c.decode_package(str(path), str(out), use_zstd), f"decode {kind}"):
            summary["decode_ok"] += 1
        encode_with(c, case)
        path.unlink()

    for round_ in range(180):
        base = rng.randrange(len(dict_bases))
        if round_ % 2 == 0:
            obj, kind = mutate_dictionary(rng, pickle.loads(dict_bases[base]))
            try:
                data = pickle.dumps(obj, protocol=rng.randrange(pickle.HIGHEST_PROTOCOL + 1))
            except Exception:
                data, kind = dict_bases[base], "unpicklable"
        else:
            data, kind = mutate_bytes(rng, dict_bases[base])
        summary["kinds"]["dict-" + kind] += 1
        case += 1
        path = work / f"dict{case}.bin"
        path.write_bytes(data)
        summary["load_cases"] += 1
        c = QBCompressor(str(work / "no-dict.bin"))
        c.dict_path = str(path)
        if attempt("load_errors", c.load_dict, f"load {kind}"):
            summary["load_ok"] += 1
        if attempt("load_errors", lambda: QBCompressor(str(path)), f"construct {kind}"):
            summary["load_ok"] += 1
        summary["load_cases"] += 1
        encode_with(c, case)
        path.unlink()

    # Nothing may have been written outside the output directories (and the
    # files this child made itself).
    allowed = {"inputs", "out", "writer-dict.bin"} | {f"base{k}.qbc" for k in range(3)}
    for entry in os.listdir(work):
        if entry not in allowed:
            summary["outside"].append(entry)
    for root, dirs, files in os.walk(work / "out"):
        depth = len(pathlib.Path(root).relative_to(work / "out").parts)
        if depth > 1:
            summary["outside"].append(str(pathlib.Path(root).relative_to(work)))
    print(json.dumps(summary, default=dict))


# The test -------------------------------------------------------------------------------


def test_damaged_inputs_never_crash(tmp_path):
    import qbc_compressor

    env = dict(os.environ)
    module_dir = os.path.dirname(qbc_compressor.__file__)
    env["PYTHONPATH"] = os.pathsep.join(
        [module_dir] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    work = tmp_path / "work"
    work.mkdir()
    result = subprocess.run(
        [sys.executable, __file__, str(work)], env=env, cwd=str(tmp_path),
        capture_output=True, text=True, timeout=600,
    )
    assert result.returncode == 0, (
        f"child ended with {result.returncode}\n{result.stderr[-4000:]}")
    summary = json.loads(result.stdout.strip().splitlines()[-1])
    noise = [line for line in result.stderr.splitlines()
             if line.strip()]
    assert noise == []
    assert summary["escaped"] == []
    assert summary["outside"] == []
    assert summary["decode_cases"] == 360 and summary["load_cases"] == 360
    # The damage is varied enough to reach both outcomes of both readers.
    assert summary["decode_ok"] > 20
    assert sum(summary["decode_errors"].values()) > 100
    assert summary["load_ok"] > 20
    assert sum(summary["load_errors"].values()) > 50
    assert len(summary["decode_errors"]) >= 5


if __name__ == "__main__":
    child(sys.argv[1])
