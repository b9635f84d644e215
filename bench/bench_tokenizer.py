"""Tokenizer throughput: QBCompressor().tokenize next to re.findall.

For each corpus, both tokenizers run on the same texts in the same process,
alternating run by run, and the median run is reported as MB/s of UTF-8
input together with the ratio of the two (the garbage collector paused
while the clock runs, as timeit does). English is the kernel
documentation, once as one concatenated text and once file by file (one call
per file, as the encoder makes them); Chinese is the fortunes-zh texts,
which are small, so one run goes through them several times (at least 8 MB
of input per run).

By default a run is timed in process CPU time, which leaves out the time the
process waits for a core, so that other work on the machine does not tilt
the comparison; --wall times by the wall clock instead.

    PYTHONPATH=build /usr/bin/python3 bench/bench_tokenizer.py [--runs N]
"""

from __future__ import annotations

import argparse
import gc
import os
import re
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpora  # noqa: E402

PATTERN = r"\S+|\s+"


def reference(text: str) -> list[str]:
    return re.findall(PATTERN, text)


def time_calls(fn, texts: list[str], clock) -> float:
    """Seconds that `fn` takes over all `texts`. As timeit does, the cyclic
    garbage collector is off while the clock runs (otherwise its passes over
    the growing results would be counted), and the results are dropped only
    after the clock stops, so their release is not counted either."""
    results = []
    gc.collect()
    gc.disable()
    try:
        start = clock()
        for t in texts:
            results.append(fn(t))
        elapsed = clock() - start
    finally:
        gc.enable()
    del results
    return elapsed


# A run covers at least this much input: a small corpus is gone through
# several times per run, so that one run lasts long enough to time well.
MIN_RUN_BYTES = 8_000_000


def measure(label: str, texts: list[str], runs: int, clock, tokenize) -> tuple[float, float]:
    for t in texts:
        if tokenize(t) != reference(t):
            raise SystemExit(f"{label}: tokenize and re.findall disagree")
    corpus_bytes = sum(len(t.encode("utf-8")) for t in texts)
    rounds = max(1, -(-MIN_RUN_BYTES // max(corpus_bytes, 1)))
    texts = texts * rounds
    nbytes = corpus_bytes * rounds
    re_times, native_times = [], []
    for _ in range(runs):
        re_times.append(time_calls(reference, texts, clock))
        native_times.append(time_calls(tokenize, texts, clock))
    re_rate = nbytes / statistics.median(re_times) / 1e6
    native_rate = nbytes / statistics.median(native_times) / 1e6
    print(
        f"{label:28} {corpus_bytes / 1e6:7.1f} MB  re.findall {re_rate:7.1f} MB/s  "
        f"tokenize {native_rate:7.1f} MB/s  ratio {native_rate / re_rate:5.2f}x",
        flush=True,
    )
    return re_rate, native_rate


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=5, help="timed runs per tokenizer")
    parser.add_argument("--wall", action="store_true", help="time by the wall clock")
    parser.add_argument(
        "--gcide", action="store_true", help="also run the GCIDE dictionary text (40 MB)"
    )
    args = parser.parse_args()
    clock = time.perf_counter if args.wall else time.process_time

    import qbc_compressor

    # An empty current directory, so that no dictionary file is loaded.
    with tempfile.TemporaryDirectory() as scratch:
        previous = os.getcwd()
        os.chdir(scratch)
        try:
            tokenize = qbc_compressor.QBCompressor().tokenize
        finally:
            os.chdir(previous)

    english_files = corpora.read_texts(corpora.kernel_docs())
    chinese_files = corpora.read_texts(corpora.chinese())
    print(f"clock: {'wall' if args.wall else 'process CPU'}, median of {args.runs} runs")
    measure("English, concatenated", ["".join(english_files)], args.runs, clock, tokenize)
    measure(
        f"English, {len(english_files)} files", english_files, args.runs, clock, tokenize
    )
    measure("Chinese, concatenated", ["".join(chinese_files)], args.runs, clock, tokenize)
    measure(f"Chinese, {len(chinese_files)} files", chinese_files, args.runs, clock, tokenize)
    if args.gcide:
        measure("GCIDE", corpora.read_texts(corpora.gcide()), args.runs, clock, tokenize)
    return 0


if __name__ == "__main__":
    sys.exit(main())
