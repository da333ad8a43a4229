# Entry points: `make demo` and `make test` (see README.md).
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
PYTHON     ?= /usr/bin/python3
PREFIX     ?= /usr/local

.PHONY: all deps configure build python install test test-asan fuzz bench demo clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The Python module alone, into $(BUILD)/python (PYTHONPATH=$(BUILD)/python).
python: configure
	@cmake --build $(BUILD) -j $(JOBS) --target droidlens_python

# The command, libdroidlens with its headers and CMake package, and the Python module.
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDROIDLENS_SANITIZE=ON -DDROIDLENS_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Each fuzz target for FUZZ_SECONDS under AddressSanitizer and UBSan (clang, libFuzzer).
fuzz:
	@scripts/install-deps fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDROIDLENS_FUZZ=ON \
		-DDROIDLENS_TESTS=OFF -DDROIDLENS_BENCH=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench: build
	@$(PYTHON) bench/run.py --build $(BUILD) --out bench/results.json

demo: build
	@scripts/demo $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) outputs
