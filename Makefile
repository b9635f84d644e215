# Build, test, demo and benchmark entry points. Every target installs what it
# needs from Debian's archive first and can be run again at any time.
PYTHON := /usr/bin/python3
BUILD ?= build
export PYTHONDONTWRITEBYTECODE := 1

.PHONY: all deps build test test-native test-python demo bench clean

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

clean:
	rm -rf $(BUILD)
