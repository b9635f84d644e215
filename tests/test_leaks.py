"""Repeated failing and succeeding calls must not make the process grow."""

import json
import subprocess
import sys
import textwrap

LOOP = r'''
import copy, gc, json, os, pickle, warnings
import qbc_compressor
from qbc_compressor import QBCompressor

PAGE = os.sysconf("SC_PAGE_SIZE")

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE

class Sub(QBCompressor):
    pass

class WithInt:
    def __init__(self, value):
        self.value = value
    def __int__(self):
        return self.value

class IntSub(int):
    pass

with open("corrupt.bin", "wb") as f:
    f.write(pickle.dumps({"dict": {"a": 1}, "next_id": 2})[:-3])
with open("bad_next_id.bin", "wb") as f:
    pickle.dump({"dict": {"a": 1, "b": 2}, "next_id": "x"}, f)
with open("no_items.bin", "wb") as f:
    pickle.dump({"dict": None}, f)

def attempt(action, *args, **kwargs):
    try:
        action(*args, **kwargs)
    except Exception:
        pass

def set_next_id(obj, value):
    obj.next_id = value

def one_round(i):
    obj = QBCompressor("good.bin")
    obj.global_dict["tok%d" % (i % 50)] = i % 50 + 1
    obj.inverse_dict[i % 50 + 1] = "tok%d" % (i % 50)
    obj.next_id = 51
    if i % 20 == 0:
        # Saving waits for the disk; fewer rounds of it still show a leak.
        obj.save_dict()
    obj.load_dict()
    # Argument errors.
    attempt(obj.tokenize)
    attempt(obj.tokenize, "a", "b")
    attempt(obj.tokenize, "a", text="b")
    attempt(obj.tokenize, nope=1)
    attempt(obj.tokenize, b"bytes")
    attempt(obj.encode_files, [], zstd_level=1)
    attempt(obj.encode_files, (), "out", "level")
    attempt(obj.decode_package, "p", "d", True, 4)
    attempt(obj.load_dict, 1)
    attempt(obj.save_dict, a=1)
    attempt(QBCompressor, "a", "b")
    attempt(QBCompressor, **{"dict_path": "x", "other": 1})
    attempt(lambda: QBCompressor(**{1: 2}))
    attempt(QBCompressor.load_dict)
    attempt(QBCompressor.load_dict, 5)
    attempt(qbc_compressor.__pyx_unpickle_QBCompressor, QBCompressor, 1)
    # Conversion errors.
    attempt(set_next_id, obj, "5")
    attempt(set_next_id, obj, 2 ** 31)
    attempt(set_next_id, obj, 2 ** 70)
    attempt(set_next_id, obj, WithInt("x"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        set_next_id(obj, WithInt(IntSub(3)))
        warnings.simplefilter("error")
        attempt(set_next_id, obj, WithInt(IntSub(3)))
    attempt(qbc_compressor.__pyx_unpickle_QBCompressor, QBCompressor, 1, None)
    attempt(qbc_compressor.__pyx_unpickle_QBCompressor, QBCompressor, 0x3e12e10, [1])
    attempt(obj.__setstate__, ("p", {}, {}, "x"))
    attempt(obj.__setstate__, None)
    # Loading failures.
    for path in ("corrupt.bin", "bad_next_id.bin", "no_items.bin", None, "."):
        attempt(QBCompressor, path)
    # Pickling and copying.
    back = pickle.loads(pickle.dumps(obj))
    assert back.global_dict == obj.global_dict
    sub = Sub("good.bin")
    sub.attr = [i]
    assert pickle.loads(pickle.dumps(sub, 2)).attr == [i]
    copy.deepcopy(sub)
    copy.copy(obj)
    cycle = Sub.__new__(Sub)
    cycle.global_dict = {"self": cycle}

sizes = {}
for i in range(1, 10001):
    one_round(i)
    if i in (2000, 10000):
        gc.collect()
        sizes[i] = resident()
print(json.dumps(sizes))
'''


def test_resident_memory_stays_flat(tmp_path):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(LOOP)], cwd=tmp_path,
                          capture_output=True, text=True, timeout=1200)
    assert proc.returncode == 0, proc.stderr
    sizes = json.loads(proc.stdout.strip().splitlines()[-1])
    growth = sizes["10000"] - sizes["2000"]
    # 8,000 rounds of several dozen calls each: a leak of even a few bytes per
    # call would exceed this.
    assert growth < 4 * 1024 * 1024, sizes
