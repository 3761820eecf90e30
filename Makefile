# The two commands of the README (make run, make test), plus make bench and make package.
PRESET ?= release
JOBS ?= $(shell nproc)

.PHONY: all deps configure build programs test run bench asan-test asan-test-core package format format-check translations clean

all: build

deps:
	@scripts/install-deps

# CMAKE_ARGS: cache settings for the configure, kept by the later ones (CI passes
# -DVELQUOR_LINE_TABLES_ONLY=ON).
CMAKE_ARGS ?=

configure: deps
	@cmake --preset $(PRESET) $(CMAKE_ARGS) >/dev/null

# Each header compiled on its own, to prove it includes what it uses: the sanitizer build
# (make asan-test) leaves it to the release build, where it was already done.
VERIFY_HEADERS ?= yes

build: configure
	@cmake --build --preset $(PRESET) -j $(JOBS)
ifeq ($(VERIFY_HEADERS),yes)
	@cmake --build --preset $(PRESET) -j $(JOBS) --target all_verify_interface_header_sets
endif

# The programs alone, without the tests and benchmarks: what make run starts.
programs: configure
	@cmake --build --preset $(PRESET) -j $(JOBS) --target velquor velquor-cli kestod

# The kestod suite's PostgreSQL cases run in the PostgreSQL pass (as postgres.*); in the
# SQLite pass they would only be listed as skipped.
test: build
	@ctest --preset $(PRESET) --exclude-regex '^(KestodPostgresTest|KestodLostResultTest)\.'

# Whether there is a display to show the window on is known before anything is built.
run:
	@scripts/run-gui --check-display
	@$(MAKE) --no-print-directory programs
	@scripts/run-gui build/$(PRESET)

bench: build
	@scripts/run-bench build/$(PRESET)

# The Debian packages, from the release build: build/packages/{velquor,kestod}_VERSION_ARCH.deb.
package:
	@$(MAKE) --no-print-directory build PRESET=release
	@rm -f build/packages/*.deb
	@cd build/release && cpack -G DEB -B $(CURDIR)/build/packages
	@rm -rf build/packages/_CPack_Packages

# The window's .ts files brought up to date with the sources (lupdate): new texts get an
# unfinished entry to translate, texts gone from the sources lose theirs.
translations: configure
	@cmake --build --preset $(PRESET) --target update_translations

# Every C++ file of src/, tests/ and bench/ in the repository's .clang-format style.
FORMAT_FILES = $(shell git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' \
	'bench/*.cpp' 'bench/*.h')

format:
	@clang-format -i $(FORMAT_FILES)

format-check:
	@clang-format --dry-run --Werror $(FORMAT_FILES) || \
		{ echo "make format-check: run 'make format' to fix the places above" >&2; exit 1; }

asan-test:
	@$(MAKE) --no-print-directory test PRESET=asan VERIFY_HEADERS=no

# The same without the window and without the PostgreSQL pass: every parser of outside input,
# the client, the server and the CLI under the sanitizers, in less time (what CI runs).
asan-test-core:
	@$(MAKE) --no-print-directory test PRESET=asan-core VERIFY_HEADERS=no

clean:
	rm -rf build
