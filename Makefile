# Entry points: `make demo` and `make test` (see README.md).
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PYTHON     ?= /usr/bin/python3

.PHONY: all deps configure build test test-asan bench demo clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDROIDLENS_SANITIZE=ON -DDROIDLENS_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

bench: build
	@$(PYTHON) bench/run.py --build $(BUILD) --out bench/results.json

demo: build
	@scripts/demo $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) outputs
