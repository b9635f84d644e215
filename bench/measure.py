"""One timed benchmark sample, run in a fresh interpreter by bench/run.py.

Each sample is a separate process so that every implementation starts from
the same state: no memory left over from an earlier run to reuse, no warm
allocator, and a resident set that can be measured from just before the
call. The parent passes a JSON job on the command line and reads one JSON
line back:

    {"seconds": ..., "parts": {...}, "rss_before": bytes, "peak_growth": bytes}

Jobs (field "job"):

    encode-ours       QBCompressor(no dictionary file).encode_files(files, out)
    encode-reference  the pure-Python version, same arguments
    encode-floor      what any encoder has to do at least: read the inputs as
                      text, compress the given id stream (level, threads as
                      given) and pickle.dump the given package object
    decode-ours       QBCompressor(...).decode_package(package, outdir)
    decode-reference  the pure-Python version
    decode-floor      pickle.load of the package, decompressing its stream and
                      writing the given texts into outdir (texts read before
                      the clock starts)

The helpers below (resident-set probes, corpus views, the machine
description) are shared with run.py and demo.py.
"""

from __future__ import annotations

import gc
import json
import os
import pathlib
import pickle
import platform
import re
import sys
import time

BENCH_DIR = pathlib.Path(__file__).resolve().parent
SCRATCH = BENCH_DIR / ".scratch"
WORK = SCRATCH / "bench"
# A dictionary path that never exists, so every compressor starts empty.
NO_DICT = str(WORK / "no-such-dictionary.bin")


# ---------------------------------------------------------------- memory

def _status(field: str) -> int:
    """A size field of /proc/self/status, in bytes."""
    with open("/proc/self/status") as f:
        m = re.search(rf"^{field}:\s+(\d+) kB", f.read(), re.M)
    return int(m.group(1)) * 1024 if m else 0


def rss() -> int:
    return _status("VmRSS")


def reset_peak() -> bool:
    """Restarts the kernel's peak resident-set mark (VmHWM) at the current
    resident set. Returns False where the kernel does not allow it; the peak
    then covers the whole process life, which only overstates it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss() -> int:
    hwm = _status("VmHWM")
    if hwm:
        return hwm
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class PeakProbe:
    """Resident-set growth of one call: peak during it minus the resident set
    just before it."""

    def __enter__(self) -> "PeakProbe":
        gc.collect()
        reset_peak()
        self.before = rss()
        return self

    def __exit__(self, *exc) -> None:
        self.peak_growth = max(0, peak_rss() - self.before)


# ---------------------------------------------------------------- corpora

def flat_view(paths: list[pathlib.Path], root: pathlib.Path, directory: pathlib.Path) -> list[str]:
    """Symbolic links to `paths` in one directory, named after each path
    relative to `root` with "/" turned into "__".

    A package stores base names only, and a collection such as the kernel
    documentation has hundreds of files called index.rst; decoding would
    write all of them to one file. Through the links every input has a base
    name of its own, so every decoded file can be checked, while the bytes
    read are still those of the prepared corpus.
    """
    directory.mkdir(parents=True, exist_ok=True)
    wanted = {}
    for p in paths:
        name = str(pathlib.Path(p).resolve().relative_to(root.resolve())).replace(os.sep, "__")
        wanted[name] = pathlib.Path(p).resolve()
    if len(wanted) != len(paths):
        raise ValueError("two inputs map to the same flat name")
    for entry in os.scandir(directory):
        if entry.name not in wanted:
            os.unlink(entry.path)
    out = []
    for name, target in wanted.items():
        link = directory / name
        if not (link.is_symlink() and os.readlink(link) == str(target)):
            if link.is_symlink() or link.exists():
                link.unlink()
            link.symlink_to(target)
        out.append(str(link))
    return out


def read_texts(paths: list[str]) -> list[str]:
    """The inputs as the encoder reads them: strict UTF-8, universal newlines."""
    texts = []
    for p in paths:
        with open(p, "r", encoding="utf-8") as f:
            texts.append(f.read())
    return texts


def input_bytes(paths: list[str]) -> int:
    return sum(os.path.getsize(p) for p in paths)


def compare_outputs(paths: list[str], outdir: str, texts: list[str] | None = None) -> list[str]:
    """Names of the decoded files in `outdir` that differ from their inputs
    (read with universal newlines, compared as UTF-8 bytes)."""
    if texts is None:
        texts = read_texts(paths)
    bad = []
    for p, t in zip(paths, texts):
        out = os.path.join(outdir, os.path.basename(p))
        try:
            with open(out, "rb") as f:
                same = f.read() == t.encode("utf-8")
        except OSError:
            same = False
        if not same:
            bad.append(os.path.basename(p))
    return bad


# ---------------------------------------------------------------- machine

def machine() -> list[tuple[str, str]]:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mem = "unknown"
    try:
        with open("/proc/meminfo") as f:
            m = re.search(r"MemTotal:\s+(\d+) kB", f.read())
            if m:
                mem = f"{int(m.group(1)) / 1024 / 1024:.1f} GiB"
    except OSError:
        pass
    try:
        cores = str(len(os.sched_getaffinity(0)))
    except AttributeError:
        cores = str(os.cpu_count())
    import zstandard
    return [
        ("CPU", cpu),
        ("cores available", cores),
        ("memory", mem),
        ("kernel", platform.release()),
        ("Python", f"{platform.python_version()} ({sys.executable})"),
        ("zstandard", f"{zstandard.__version__} (libzstd {zstandard.ZSTD_VERSION[0]}."
                      f"{zstandard.ZSTD_VERSION[1]}.{zstandard.ZSTD_VERSION[2]})"),
    ]


# ---------------------------------------------------------------- jobs

def _load_list(path: str) -> list[str]:
    with open(path, encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def _encode_ours(job: dict) -> dict:
    import qbc_compressor
    files = _load_list(job["files"])
    c = qbc_compressor.QBCompressor(dict_path=NO_DICT)
    with PeakProbe() as probe:
        start = time.perf_counter()
        size = c.encode_files(files, job["out"], job["level"], job["threads"])
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "result": size, "rss_before": probe.before,
            "peak_growth": probe.peak_growth}


def _encode_reference(job: dict) -> dict:
    sys.path.insert(0, str(BENCH_DIR))
    import reference
    files = _load_list(job["files"])
    c = reference.ReferenceCompressor()
    with PeakProbe() as probe:
        start = time.perf_counter()
        size = c.encode_files(files, job["out"], job["level"], job["threads"])
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "result": size, "rss_before": probe.before,
            "peak_growth": probe.peak_growth}


def _encode_floor(job: dict) -> dict:
    import zstandard
    files = _load_list(job["files"])
    # The same package object and the same id stream the module produced,
    # prepared before the clock starts.
    with open(job["package"], "rb") as f:
        package = pickle.load(f)
    stream = bytearray(zstandard.ZstdDecompressor().decompress(package["compressed"]))
    level, threads = job["level"], job["threads"]
    with PeakProbe() as probe:
        t0 = time.perf_counter()
        for p in files:
            with open(p, "r", encoding="utf-8") as f:
                f.read()
        t1 = time.perf_counter()
        zstandard.ZstdCompressor(level=level, threads=threads).compress(stream)
        t2 = time.perf_counter()
        with open(job["out"], "wb") as f:
            pickle.dump(package, f)
        t3 = time.perf_counter()
    return {"seconds": t3 - t0, "parts": {"read": t1 - t0, "compress": t2 - t1, "pickle": t3 - t2},
            "rss_before": probe.before, "peak_growth": probe.peak_growth}


def _decode_ours(job: dict) -> dict:
    import qbc_compressor
    c = qbc_compressor.QBCompressor(dict_path=NO_DICT)
    with PeakProbe() as probe:
        start = time.perf_counter()
        names = c.decode_package(job["package"], job["outdir"])
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "result": len(names), "rss_before": probe.before,
            "peak_growth": probe.peak_growth}


def _decode_reference(job: dict) -> dict:
    sys.path.insert(0, str(BENCH_DIR))
    import reference
    c = reference.ReferenceCompressor()
    with PeakProbe() as probe:
        start = time.perf_counter()
        names = c.decode_package(job["package"], job["outdir"])
        seconds = time.perf_counter() - start
    return {"seconds": seconds, "result": len(names), "rss_before": probe.before,
            "peak_growth": probe.peak_growth}


def _decode_floor(job: dict) -> dict:
    import zstandard
    files = _load_list(job["files"])
    texts = read_texts(files)
    names = [os.path.basename(p) for p in files]
    outdir = job["outdir"]
    with PeakProbe() as probe:
        t0 = time.perf_counter()
        with open(job["package"], "rb") as f:
            package = pickle.load(f)
        t1 = time.perf_counter()
        zstandard.ZstdDecompressor().decompress(package["compressed"])
        t2 = time.perf_counter()
        os.makedirs(outdir, exist_ok=True)
        for name, text in zip(names, texts):
            with open(os.path.join(outdir, name), "w", encoding="utf-8", newline="") as f:
                f.write(text)
        t3 = time.perf_counter()
    return {"seconds": t3 - t0, "parts": {"unpickle": t1 - t0, "decompress": t2 - t1,
                                          "write": t3 - t2},
            "rss_before": probe.before, "peak_growth": probe.peak_growth}


JOBS = {
    "encode-ours": _encode_ours,
    "encode-reference": _encode_reference,
    "encode-floor": _encode_floor,
    "decode-ours": _decode_ours,
    "decode-reference": _decode_reference,
    "decode-floor": _decode_floor,
}


def main() -> int:
    job = json.loads(sys.argv[1])
    result = JOBS[job["job"]](job)
    sys.stdout.write(json.dumps(result) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
