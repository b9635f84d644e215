# Build, test, demo and benchmark entry points. Every target installs what it
# needs from Debian's archive first and can be run again at any time.
PYTHON := /usr/bin/python3
BUILD ?= build
export PYTHONDONTWRITEBYTECODE := 1

.PHONY: all deps build test test-native test-python test-sanitize demo bench clean

all: build

deps:
	@tools/install-deps build

build: deps
	@[ -f $(BUILD)/build.ninja ] || meson setup $(BUILD) --buildtype=release
	ninja -C $(BUILD)

test: build
	@tools/install-deps testdata
	meson test -C $(BUILD) --suite native --print-errorlogs
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) -m pytest -q tests

test-native: build
	meson test -C $(BUILD) --suite native --print-errorlogs

test-python: build
	@tools/install-deps testdata
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) -m pytest -q tests

demo: build
	@tools/install-deps corpora
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/demo.py

# Packages and decoded files go to memory where /dev/shm exists, so that the
# file system's own costs of creating thousands of files stay out of the
# figures; pass e.g. BENCH_ARGS="--quick" for a short run of the codec tables
# (the tokenizer table before them always runs in full).
BENCH_SCRATCH := $(if $(wildcard /dev/shm),--scratch /dev/shm/qbc-bench,)
BENCH_ARGS ?=

bench: build
	@tools/install-deps corpora
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/bench_tokenizer.py
	PYTHONPATH=$(CURDIR)/$(BUILD) $(PYTHON) bench/run.py $(BENCH_SCRATCH) $(BENCH_ARGS)

# The native and Python tests against a build with the address and
# undefined-behaviour sanitizers, the interpreter running with their
# run-time libraries preloaded. Leak checking stays off: the interpreter
# itself keeps memory to its exit. Allocations too large to make return
# null, as they do without the sanitizer, so that the host's MemoryError
# paths run as usual.
SANITIZE_BUILD ?= build-sanitize
SANITIZE_ENV := LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-sanitize: deps
	@[ -f $(SANITIZE_BUILD)/build.ninja ] || meson setup $(SANITIZE_BUILD) --buildtype=debugoptimized \
		-Db_sanitize=address,undefined -Db_lundef=false
	ninja -C $(SANITIZE_BUILD)
	@tools/install-deps testdata
	meson test -C $(SANITIZE_BUILD) --suite native --print-errorlogs
	$(SANITIZE_ENV) PYTHONPATH=$(CURDIR)/$(SANITIZE_BUILD) $(PYTHON) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD)
