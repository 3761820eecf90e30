# The two commands of the README (make run, make test), plus make bench.
PRESET ?= release
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run bench asan-test clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)

test: build
	@ctest --preset $(PRESET)

run: build
	@scripts/run-gui build/$(PRESET)

bench: build
	@scripts/run-bench build/$(PRESET)

asan-test:
	@$(MAKE) --no-print-directory test PRESET=asan

clean:
	rm -rf build
