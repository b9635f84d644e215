"""Encoding and decoding when the process runs out of address space.

Each case runs in a child process whose address space is capped a little
above what it already uses, so that allocations fail wherever they happen
to be: in the host, in the module's own tables, on its worker threads or
inside the compression library. Whatever fails, the process must survive,
the call must raise, and the compressor must stay sound.
"""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

import pytest

import qbc_compressor

pytestmark = [
    pytest.mark.skipif(not sys.platform.startswith("linux"),
                       reason="address space limits as Linux applies them"),
    # An address sanitizer maps terabytes of shadow memory at start-up, so no
    # cap near the process's own use leaves it room to start.
    pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                       reason="under an address sanitizer"),
]

CHILD = r'''
import builtins, json, os, re, resource, sys

held = []
if sys.argv[1] == "encode-held":
    # Every text read stays referenced here as well, so that the call may
    # not give its pages back.
    real_open = builtins.open

    class Holding:
        def __init__(self, f):
            self.f = f
        def __enter__(self):
            return self
        def __exit__(self, *exc):
            self.f.close()
            return False
        def read(self):
            held.append(self.f.read())
            return held[-1]

    builtins.open = lambda path, mode="r", *args, **kwargs: (
        Holding(real_open(path, mode, *args, **kwargs)) if mode == "r"
        else real_open(path, mode, *args, **kwargs))
import qbc_compressor

mode, extra, work = sys.argv[1], int(sys.argv[2]) << 20, sys.argv[3]
long_input = mode in ("encode-long", "encode-held")
names = ("long.txt",) if long_input else ("a.txt", "b.txt")
inputs = [os.path.join(work, name) for name in names]
package = os.path.join(work, "out.pkg")
c = qbc_compressor.QBCompressor(dict_path=os.path.join(work, "none.bin"))

def capped(call):
    with open("/proc/self/status") as f:
        used = int(re.search(r"VmSize:\s+(\d+)", f.read()).group(1)) * 1024
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (used + extra, hard))
    try:
        call()
        return None
    except Exception as exc:
        return type(exc).__name__
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

result = {}
if mode.startswith("encode"):
    result["error"] = capped(lambda: c.encode_files(inputs, package, 3, 2))
    if result["error"] is None:
        # What a call that succeeded under pressure wrote restores its input.
        out = os.path.join(work, "restored")
        qbc_compressor.QBCompressor(dict_path=os.path.join(work, "none.bin")).decode_package(
            package, out)
        result["restores"] = all(
            open(os.path.join(out, os.path.basename(p)), encoding="utf-8").read()
            == open(p, encoding="utf-8").read() for p in inputs)
    forward, inverse = c.global_dict, c.inverse_dict
    result["pairs"] = all(inverse[v] == k for k, v in list(forward.items())[: len(inverse)])
    result["extra"] = len(forward) - len(inverse)
    # The next call's new token gets an id of its own.
    later = os.path.join(work, "later.txt")
    with open(later, "w") as f:
        f.write("later-token")
    c.encode_files([later], os.path.join(work, "later.pkg"))
    ids = list(c.global_dict.values())
    result["distinct"] = len(set(ids)) == len(ids)
else:
    out = os.path.join(work, "restored")
    result["error"] = capped(lambda: c.decode_package(package, out))
    result["same"] = [open(os.path.join(out, os.path.basename(p)), encoding="utf-8").read()
                      == open(p, encoding="utf-8").read()
                      for p in inputs if os.path.exists(os.path.join(out, os.path.basename(p)))]
good = "good-long.pkg" if long_input else "good.pkg"
with open(package, "rb") as f, open(os.path.join(work, good), "rb") as g:
    result["intact"] = f.read() == g.read()
print(json.dumps(result))
'''

# Two inputs of 2.2 million tokens in all: 8.8 MB of records, enough for the
# compression library's worker threads and for huge pages.
WORDS = " ".join(f"w{i % 300_000}" for i in range(1_100_000))
# Megabytes of address space allowed on top of what the child already uses.
ENCODE_CAPS = list(range(0, 8, 2)) + list(range(8, 40)) + list(range(40, 272, 16)) + [384, 1024]
DECODE_CAPS = list(range(0, 128, 8)) + [160, 224, 320, 1024]
# One text of 9.6 MB, long enough to be scanned in two parts on two threads;
# the pages of each part are given back as it goes unless someone else
# holds the text ("encode-held").
LONG = " ".join(f"v{i % 500_000}" for i in range(1_200_000))
LONG_CAPS = list(range(0, 64, 8)) + list(range(64, 384, 32)) + [384, 1024]
LONG_MODES = ("encode-long", "encode-held")


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    work = tmp_path_factory.mktemp("address-space")
    for name in ("a.txt", "b.txt"):
        (work / name).write_text(WORDS, encoding="utf-8")
    (work / "child.py").write_text(CHILD, encoding="utf-8")
    c = qbc_compressor.QBCompressor(dict_path=str(work / "none.bin"))
    c.encode_files([str(work / "a.txt"), str(work / "b.txt")], str(work / "good.pkg"), 3, 2)
    (work / "long.txt").write_text(LONG, encoding="utf-8")
    c = qbc_compressor.QBCompressor(dict_path=str(work / "none.bin"))
    c.encode_files([str(work / "long.txt")], str(work / "good-long.pkg"), 3, 2)
    return work


def run_capped(work, mode, caps):
    """Runs the child once per cap, each in a directory of its own that
    holds the inputs and a good package; returns (cap, returncode, result,
    stderr) per cap."""
    def one(cap):
        d = work / f"{mode}-{cap}"
        d.mkdir()
        for name in ("a.txt", "b.txt", "long.txt", "good.pkg", "good-long.pkg"):
            os.link(work / name, d / name)
        good = "good-long.pkg" if mode in LONG_MODES else "good.pkg"
        (d / "out.pkg").write_bytes((work / good).read_bytes())
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        proc = subprocess.run([sys.executable, str(work / "child.py"), mode, str(cap), str(d)],
                              capture_output=True, text=True, env=env, timeout=300)
        lines = proc.stdout.strip().splitlines()
        result = json.loads(lines[-1]) if proc.returncode == 0 and lines else None
        return cap, proc.returncode, result, proc.stderr
    with ThreadPoolExecutor(max_workers=2) as pool:
        return list(pool.map(one, caps))


@pytest.mark.parametrize("mode, caps", [
    ("encode", ENCODE_CAPS), ("encode-long", LONG_CAPS), ("encode-held", LONG_CAPS)])
def test_encoding_out_of_address_space(work, mode, caps):
    outcomes = run_capped(work, mode, caps)
    errors = set()
    for cap, returncode, result, stderr in outcomes:
        assert returncode == 0 and result is not None, (cap, stderr[-2000:])
        assert result["error"] in (None, "MemoryError", "ZstdError"), (cap, result)
        errors.add(result["error"])
        # The maps are what storing the tokens one by one leaves, and no id
        # is handed out twice afterwards.
        assert result["pairs"] and result["extra"] in (0, 1), (cap, result)
        assert result["distinct"], (cap, result)
        # A failed call leaves the package it would have replaced alone.
        assert result["intact"] or result["error"] is None, (cap, result)
        assert result.get("restores", True), (cap, result)
    # The caps reach from failing at once to succeeding.
    assert None in errors and "MemoryError" in errors


def test_decoding_out_of_address_space(work):
    outcomes = run_capped(work, "decode", DECODE_CAPS)
    errors = set()
    for cap, returncode, result, stderr in outcomes:
        assert returncode == 0 and result is not None, (cap, stderr[-2000:])
        assert result["error"] in (None, "MemoryError"), (cap, result)
        errors.add(result["error"])
        if result["error"] is None:
            assert result["same"] == [True, True], (cap, result)
        else:
            # Files written whole before the failure are right; the one the
            # failure met may have been opened and left short.
            assert all(result["same"][:-1]), (cap, result)
    assert None in errors and "MemoryError" in errors
