"""Encoding and decoding benchmark (`make bench`).

For each corpus (the kernel documentation, the GCIDE dictionary, Chinese
poems and fortunes; see bench/corpora.py) this measures

  * encode_files and decode_package of the module, the pure-Python version
    of the same codec (bench/reference.py) and the floor: the work any
    implementation of the package format has to do as well. For encoding
    that is reading the inputs as text, compressing the same id stream with
    the same level and threads and pickling the same package object; for
    decoding, unpickling the package, decompressing the stream and writing
    the restored texts the same way;
  * the peak resident-set growth of encoding against the input size;
  * the package size next to plain Zstandard on the concatenated text;

and then our encoding time per MB at about 10 MB, 100 MB and 1 GB of input
(the kernel documentation and GCIDE repeated), to show that the cost grows
linearly. Every timed sample runs in a fresh interpreter (bench/measure.py)
with a new compressor and no dictionary file; the median is reported. Times
are wall-clock seconds, MB are 10^6 bytes of UTF-8 input.

    PYTHONPATH=build /usr/bin/python3 bench/run.py [--quick] [--runs N]
        [--corpus NAME]... [--no-scale] [--scale-runs N] [--scale-sizes MB,...]
        [--decode-into new|existing] [--scratch DIR] [--markdown] [--keep]

--quick takes small subsets, one run and no scale row, for trying the
harness out. Packages and decoded files go to bench/.scratch/bench/ (or
--scratch DIR) and are removed at the end unless --keep is given.

Decoding writes thousands of files, and how long that takes depends on the
file system as much as on the decoder: on ext4 without a journal, creating
files soon after many were deleted is several times slower than otherwise,
and overwriting files makes ext4 start writing them out at once. A RAM file
system (--scratch /dev/shm/qbc-bench) leaves these costs out of all three
columns alike. The inputs always stay under bench/.scratch/.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import pickle
import shutil
import statistics
import subprocess
import sys
import time

BENCH_DIR = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import corpora  # noqa: E402
import measure  # noqa: E402
from measure import WORK  # noqa: E402

LEVEL = 6
THREADS = 4
MB = 1e6

# Targets, as (limit, direction): the measured value must be <= or >= limit.
ENCODE_VS_FLOOR = 1.3
ENCODE_SPEEDUP = 7.0
DECODE_VS_FLOOR = 1.3
DECODE_SPEEDUP = 3.0
ENCODE_MEMORY = 5.0
SCALE_GROWTH = 1.25
SCALE_SIZES = (10e6, 100e6, 1000e6)

QUICK_KERNEL_STRIDE = 10          # every 10th kernel file, about 2.4 MB
QUICK_GCIDE_BYTES = 3_000_000     # the first 3 MB of GCIDE


# Scratch directories removed when the benchmark ends (unless --keep).
LEFTOVERS: list[pathlib.Path] = []


def log(*args) -> None:
    print(*args, file=sys.stderr, flush=True)


# ---------------------------------------------------------------- inputs

def _truncated_copy(src: pathlib.Path, dst: pathlib.Path, limit: int) -> pathlib.Path:
    """The first `limit` bytes of `src`, cut after a line end."""
    if not dst.exists() or dst.stat().st_mtime < src.stat().st_mtime:
        with open(src, "r", encoding="utf-8", newline="") as f:
            text = f.read(limit)
        cut = text.rfind("\n")
        dst.parent.mkdir(parents=True, exist_ok=True)
        with open(dst, "w", encoding="utf-8", newline="") as f:
            f.write(text[: cut + 1] if cut >= 0 else text)
    return dst


def corpus_files(name: str, quick: bool) -> list[str]:
    """The input paths of a corpus, each with a base name of its own."""
    if name == "kernel-docs":
        paths = corpora.kernel_docs()
        if quick:
            paths = paths[::QUICK_KERNEL_STRIDE]
        root = pathlib.Path(os.path.commonpath([p.parent for p in corpora.kernel_docs()]))
        return measure.flat_view(paths, root, WORK / "input" / (name + ("-quick" if quick else "")))
    if name == "gcide":
        (path,) = corpora.gcide()
        if quick:
            path = _truncated_copy(path, WORK / "input" / "gcide-quick" / "gcide.txt",
                                   QUICK_GCIDE_BYTES)
        return [str(path)]
    if name == "chinese":
        return [str(p) for p in corpora.chinese()]
    raise ValueError(name)


def gcide_chunks(size: int = 1_000_000) -> list[str]:
    """GCIDE cut at line ends into pieces of about `size` bytes, so that the
    scale inputs can mix it evenly with the kernel documentation."""
    (src,) = corpora.gcide()
    target = WORK / "scale-gcide"
    mark = target / ".complete"
    if not (mark.exists() and mark.stat().st_mtime >= src.stat().st_mtime):
        shutil.rmtree(target, ignore_errors=True)
        target.mkdir(parents=True)
        with open(src, "r", encoding="utf-8", newline="") as f:
            text = f.read()
        start = k = 0
        while start < len(text):
            end = text.find("\n", start + size)
            end = len(text) if end < 0 else end + 1
            with open(target / f"gcide-{k:03}.txt", "w", encoding="utf-8", newline="") as out:
                out.write(text[start:end])
            start, k = end, k + 1
        mark.write_text("")
    return sorted(str(p) for p in target.glob("gcide-*.txt"))


def scale_files(target_bytes: float) -> list[str]:
    """A list of inputs of about `target_bytes`: the kernel documentation
    with a GCIDE piece after every few files, repeated as often as needed."""
    kernel = [str(p) for p in corpora.kernel_docs()]
    chunks = gcide_chunks()
    every = max(1, len(kernel) // len(chunks))
    mixed: list[str] = []
    for i, chunk in enumerate(chunks):
        mixed.extend(kernel[i * every:(i + 1) * every])
        mixed.append(chunk)
    mixed.extend(kernel[len(chunks) * every:])
    sizes = {p: os.path.getsize(p) for p in mixed}
    out, total = [], 0
    while total < target_bytes:
        for p in mixed:
            out.append(p)
            total += sizes[p]
            if total >= target_bytes:
                break
    return out


def write_list(path: pathlib.Path, files: list[str]) -> str:
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("".join(f + "\n" for f in files), encoding="utf-8")
    return str(path)


# ---------------------------------------------------------------- samples

def sample(job: dict) -> dict:
    """Runs one job of bench/measure.py in a fresh interpreter."""
    proc = subprocess.run([sys.executable, str(BENCH_DIR / "measure.py"), json.dumps(job)],
                          capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"{job['job']} failed:\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def clear_dir(path: pathlib.Path) -> None:
    shutil.rmtree(path, ignore_errors=True)


def median(values):
    return statistics.median(values)


def load_average() -> float:
    try:
        return os.getloadavg()[0]
    except OSError:
        return float("nan")


def run_corpus(name: str, args) -> dict:
    files = corpus_files(name, args.quick)
    work = args.scratch / name
    clear_dir(work)
    work.mkdir(parents=True)
    LEFTOVERS.append(work)
    listing = write_list(work / "files.txt", files)
    texts = measure.read_texts(files)        # also warms the page cache
    size = measure.input_bytes(files)
    pkg = {impl: str(work / f"{impl}.pkg") for impl in ("ours", "reference", "floor")}
    # Where decodings write. By default every run writes into a new
    # directory, and nothing is deleted until the benchmark is over: on ext4
    # without a journal, a file created shortly after many were deleted waits
    # for a search past the recently freed inodes, which would slow down
    # whatever runs after a deletion. With --decode-into existing each
    # version has one directory, filled by an untimed first decoding and
    # overwritten by the timed ones.
    def out(impl: str, r: int | str = "") -> pathlib.Path:
        return work / f"out-{impl}{r if args.decode_into == 'new' else ''}"
    common: dict[str, object] = {"files": listing, "level": LEVEL, "threads": THREADS}
    log(f"[{name}] {len(files)} files, {size / MB:.2f} MB; load {load_average():.2f}")

    # An untimed first round: makes our package (the floor uses its stream
    # and package object) and checks that it decodes to the inputs.
    sample({**common, "job": "encode-ours", "out": pkg["ours"]})
    failures = []
    for impl in ("ours", "reference", "floor"):
        first = out(impl, "-first")
        sample({"job": f"decode-{impl}", "package": pkg["ours"], "outdir": str(first),
                "files": listing})
        bad = measure.compare_outputs(files, str(first), texts)
        if bad:
            failures.append(f"decode-{impl} of our package: {len(bad)} files differ,"
                            f" e.g. {bad[:3]}")

    enc: dict[str, list[dict]] = {"ours": [], "reference": [], "floor": []}
    dec: dict[str, list[dict]] = {"ours": [], "reference": [], "floor": []}
    order = ["ours", "reference", "floor"]
    for r in range(args.runs):
        log(f"[{name}] encode run {r + 1}/{args.runs}")
        for impl in order[r % 3:] + order[:r % 3]:
            job: dict[str, object] = {**common, "job": f"encode-{impl}", "out": pkg[impl]}
            if impl == "floor":
                job["package"] = pkg["ours"]
            enc[impl].append(sample(job))
    for r in range(args.runs):
        log(f"[{name}] decode run {r + 1}/{args.runs}")
        for impl in order[r % 3:] + order[:r % 3]:
            job = {"job": f"decode-{impl}", "package": pkg["ours"], "outdir": str(out(impl, r))}
            if impl == "floor":
                job["files"] = listing
            dec[impl].append(sample(job))

    # Packages of the two versions read each other: the reference decoded
    # ours above; here ours decodes the reference's, and the contents match.
    sample({"job": "decode-ours", "package": pkg["reference"], "outdir": str(out("compat"))})
    bad = measure.compare_outputs(files, str(out("compat")), texts)
    if bad:
        failures.append(f"decode-ours of the pure-Python package: {len(bad)} files differ")
    import zstandard
    with open(pkg["ours"], "rb") as fo:
        ours_pkg = pickle.load(fo)
    with open(pkg["reference"], "rb") as fr:
        ref_pkg = pickle.load(fr)
    unzstd = zstandard.ZstdDecompressor().decompress
    stream = unzstd(ours_pkg["compressed"])
    if (stream != unzstd(ref_pkg["compressed"])
            or ours_pkg["global_dict"] != ref_pkg["global_dict"]
            or ours_pkg["file_boundaries"] != ref_pkg["file_boundaries"]
            or ours_pkg["filenames"] != ref_pkg["filenames"]):
        failures.append("the two versions' packages differ in content")

    raw = b"".join(pathlib.Path(p).read_bytes() for p in files)
    plain = len(zstandard.ZstdCompressor(level=LEVEL, threads=THREADS).compress(raw))
    result = {
        "name": name,
        "files": len(files),
        "bytes": size,
        "tokens": len(stream) // 4,
        "distinct": len(ours_pkg["global_dict"]),
        "runs": args.runs,
        "enc": enc,
        "dec": dec,
        "package_bytes": os.path.getsize(pkg["ours"]),
        "stream_bytes": len(ours_pkg["compressed"]),
        "plain_zstd_bytes": plain,
        "failures": failures,
    }
    del raw, stream, ours_pkg, ref_pkg, texts
    for f in failures:
        log(f"[{name}] FAILED: {f}")
    return result


def run_scale(args) -> list[dict]:
    rows = []
    work = args.scratch / "scale"
    LEFTOVERS.append(work)
    for target in args.scale_sizes:
        clear_dir(work)
        work.mkdir(parents=True)
        files = scale_files(target)
        listing = write_list(work / "files.txt", files)
        size = measure.input_bytes(files)
        log(f"[scale] {size / MB:.0f} MB, {len(files)} files; load {load_average():.2f}")
        for p in dict.fromkeys(files):        # warm the page cache
            pathlib.Path(p).read_bytes()
        samples = []
        for r in range(args.scale_runs):
            log(f"[scale] {size / MB:.0f} MB run {r + 1}/{args.scale_runs}")
            samples.append(sample({"job": "encode-ours", "files": listing,
                                   "out": str(work / "scale.pkg"), "level": LEVEL,
                                   "threads": THREADS}))
            pkg_bytes = os.path.getsize(work / "scale.pkg")
            os.unlink(work / "scale.pkg")
        rows.append({"bytes": size, "files": len(files), "samples": samples,
                     "package_bytes": pkg_bytes})
    clear_dir(work)
    return rows


# ---------------------------------------------------------------- output

def render(title: str, headers: list[str], rows: list[list[str]], markdown: bool) -> str:
    lines = []
    if markdown:
        lines.append(f"**{title}**")
        lines.append("")
        lines.append("| " + " | ".join(headers) + " |")
        lines.append("|" + "|".join("---" for _ in headers) + "|")
        for row in rows:
            lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |")
    else:
        widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(headers)]
        lines.append(title)
        fmt = "  ".join(f"{{:{w}}}" for w in widths)
        lines.append(fmt.format(*headers).rstrip())
        lines.append("  ".join("-" * w for w in widths))
        for row in rows:
            lines.append(fmt.format(*row).rstrip())
    return "\n".join(lines) + "\n"


def secs(s: float) -> str:
    return f"{s:.3f} s" if s < 10 else f"{s:.2f} s"


def mbs(n: float) -> str:
    return f"{n / MB:.2f} MB" if n < 100 * MB else f"{n / MB:.0f} MB"


def mark(ok: bool) -> str:
    return "PASS" if ok else "FAIL"


def corpus_table(r: dict, markdown: bool, checks: list) -> str:
    size = r["bytes"]
    rows = []

    def speed(label, samples, extra=""):
        times = [s["seconds"] for s in samples]
        t = median(times)
        spread = f" [{min(times):.3f}..{max(times):.3f}]" if len(times) > 1 else ""
        rows.append([label, f"{secs(t)}{spread}, {size / MB / t:.1f} MB/s{extra}", "", ""])
        return t

    def parts(samples, keys):
        return " (" + " + ".join(
            f"{k} {median(s['parts'][k] for s in samples):.3f}" for k in keys) + ")"

    for step, data, floor_keys, vs_floor, speedup in (
            ("encode", r["enc"], ("read", "compress", "pickle"), ENCODE_VS_FLOOR, ENCODE_SPEEDUP),
            ("decode", r["dec"], ("unpickle", "decompress", "write"), DECODE_VS_FLOOR,
             DECODE_SPEEDUP)):
        ours = speed(f"{step}: ours", data["ours"])
        ref = speed(f"{step}: pure Python", data["reference"])
        floor = speed(f"{step}: floor", data["floor"], parts(data["floor"], floor_keys))
        ratio, up = ours / floor, ref / ours
        rows.append([f"{step}: ours / floor", f"{ratio:.2f}x", f"<= {vs_floor:.2f}x",
                     mark(ratio <= vs_floor)])
        rows.append([f"{step}: speed-up over pure Python", f"{up:.1f}x", f">= {speedup:.0f}x",
                     mark(up >= speedup)])
        rows.append([f"{step}: speed-up bound (pure Python / floor)", f"{ref / floor:.1f}x",
                     "", "(info)"])
        checks.append((r["name"], f"{step} ours/floor", f"{ratio:.2f}x", f"<= {vs_floor:.2f}x",
                       ratio <= vs_floor))
        checks.append((r["name"], f"{step} speed-up", f"{up:.1f}x", f">= {speedup:.0f}x",
                       up >= speedup))

    for label, samples, target in (
            ("encode peak memory: ours", r["enc"]["ours"], ENCODE_MEMORY),
            ("encode peak memory: pure Python", r["enc"]["reference"], None),
            ("encode peak memory: floor steps", r["enc"]["floor"], None),
            ("decode peak memory: ours", r["dec"]["ours"], None),
            ("decode peak memory: pure Python", r["dec"]["reference"], None)):
        grow = median(s["peak_growth"] for s in samples)
        row = [label, f"{mbs(grow)} = {grow / size:.2f}x input", "", ""]
        if target is not None:
            row[2:] = [f"<= {target:.0f}x input", mark(grow / size <= target)]
            checks.append((r["name"], "encode memory", f"{grow / size:.2f}x", f"<= {target:.0f}x",
                           grow / size <= target))
        rows.append(row)

    rows.append(["package file", f"{mbs(r['package_bytes'])} = {100 * r['package_bytes'] / size:.1f}%"
                 f" of input (id stream {mbs(r['stream_bytes'])}, dictionary and names"
                 f" {mbs(r['package_bytes'] - r['stream_bytes'])})", "", ""])
    rows.append([f"plain zstd -{LEVEL} of the concatenated text",
                 f"{mbs(r['plain_zstd_bytes'])} = {100 * r['plain_zstd_bytes'] / size:.1f}% of input",
                 "", ""])
    for f in r["failures"]:
        rows.append(["correctness", f, "", "FAIL"])
        checks.append((r["name"], "correctness", f, "no difference", False))
    if not r["failures"]:
        rows.append(["correctness", "every decoded file equals its input; packages of both"
                     " versions decode with either", "", "PASS"])
    title = (f"{r['name']}: {r['files']} files, {size / MB:.2f} MB of UTF-8 text, "
             f"{r['tokens']:,} tokens ({r['distinct']:,} distinct); "
             f"median of {r['runs']} run{'s' if r['runs'] != 1 else ''}")
    return render(title, ["measure", "value", "target", "result"], rows, markdown)


def scale_table(rows_in: list[dict], markdown: bool, checks: list) -> str:
    rows = []
    base = None
    for row in rows_in:
        t = median(s["seconds"] for s in row["samples"])
        per_mb = t / (row["bytes"] / MB)
        base = per_mb if base is None else base
        grow = median(s["peak_growth"] for s in row["samples"])
        rows.append([mbs(row["bytes"]), f"{row['files']:,}", secs(t),
                     f"{1000 * per_mb:.2f} ms", f"{per_mb / base:.2f}x",
                     f"{mbs(grow)} = {grow / row['bytes']:.2f}x"])
    growth = per_mb / base
    ok = growth <= SCALE_GROWTH
    checks.append(("scale", f"per-MB time at {mbs(rows_in[-1]['bytes'])} vs {mbs(rows_in[0]['bytes'])}",
                   f"{growth:.2f}x", f"<= {SCALE_GROWTH:.2f}x", ok))
    n = len(rows_in[0]["samples"])
    title = (f"scale: our encode_files on the kernel documentation and GCIDE repeated; "
             f"median of {n} run{'s' if n != 1 else ''}; "
             f"target: time per MB at the largest size <= {SCALE_GROWTH:.2f}x that at the "
             f"smallest -> {growth:.2f}x {mark(ok)}")
    return render(title, ["input", "files", "encode time", "time per MB", "vs smallest",
                          "peak memory growth"], rows, markdown)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="small subsets, 1 run, no scale row (for development)")
    ap.add_argument("--runs", type=int, help="timed runs per measurement (default 5, quick 1)")
    ap.add_argument("--corpus", action="append", choices=list(corpora.CORPORA),
                    help="only this corpus (may be repeated)")
    ap.add_argument("--no-scale", action="store_true", help="leave out the scale row")
    ap.add_argument("--scale-runs", type=int, help="runs per scale size (default 3)")
    ap.add_argument("--scale-sizes", default=",".join(f"{x / MB:g}" for x in SCALE_SIZES),
                    help="input sizes of the scale row in MB, smallest first "
                         "(default %(default)s)")
    ap.add_argument("--decode-into", choices=("new", "existing"), default="new",
                    help="decode into a new directory each run (default), or over the files "
                         "of an earlier untimed decoding")
    ap.add_argument("--scratch", type=pathlib.Path, default=WORK,
                    help="where packages and decoded files go (default %(default)s); "
                         "a RAM file system such as /dev/shm/qbc-bench keeps the "
                         "file system's own costs out of the decoding times")
    ap.add_argument("--markdown", action="store_true", help="print Markdown tables")
    ap.add_argument("--keep", action="store_true", help="keep the scratch packages and outputs")
    args = ap.parse_args()
    if args.runs is None:
        args.runs = 1 if args.quick else 5
    if args.scale_runs is None:
        args.scale_runs = 3
    if args.runs < 1 or args.scale_runs < 1:
        ap.error("the number of runs must be at least 1")
    try:
        args.scale_sizes = [float(x) * MB for x in args.scale_sizes.split(",")]
    except ValueError:
        ap.error("--scale-sizes takes sizes in MB separated by commas")
    if len(args.scale_sizes) < 2:
        ap.error("--scale-sizes needs at least two sizes")
    names = args.corpus or list(corpora.CORPORA)
    scale = not (args.quick or args.no_scale)

    import qbc_compressor  # fail early when the module is not on the path
    log(f"module: {qbc_compressor.__file__}")
    WORK.mkdir(parents=True, exist_ok=True)
    args.scratch.mkdir(parents=True, exist_ok=True)
    started = time.time()
    load_before = load_average()
    results = [run_corpus(name, args) for name in names]
    scale_rows = run_scale(args) if scale else []
    load_after = load_average()

    checks: list = []
    text = []
    mach = [list(kv) for kv in measure.machine()]
    mach.append(["load average", f"{load_before:.2f} at start, {load_after:.2f} at end"])
    mach.append(["settings", f"zstd level {LEVEL}, {THREADS} threads; decoding into "
                 f"{args.decode_into} directories under {args.scratch}"
                 + ("; quick subsets" if args.quick else "")])
    text.append(render("machine", ["item", "value"], mach, args.markdown))
    for r in results:
        text.append(corpus_table(r, args.markdown, checks))
    if scale_rows:
        text.append(scale_table(scale_rows, args.markdown, checks))
    text.append(render("targets", ["corpus", "check", "measured", "target", "result"],
                       [[c, k, m, t, mark(ok)] for c, k, m, t, ok in checks], args.markdown))
    failed = sum(1 for *_, ok in checks if not ok)
    text.append(f"{len(checks) - failed} of {len(checks)} targets met; "
                f"{time.time() - started:.0f} s in all.\n")
    print("\n".join(text), end="")
    if not args.keep:
        for d in LEFTOVERS:
            clear_dir(d)
        if args.scratch != WORK:
            try:
                args.scratch.rmdir()
            except OSError:
                pass
    # Missed speed targets are reported, not fatal (timings depend on the
    # machine); a decoded file that differs from its input is.
    return 1 if any(r["failures"] for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
