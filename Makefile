# SPDX-License-Identifier: GPL-3.0-or-later
# Thin wrapper over CMake. `make test` is the whole check CI runs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CTEST       = ctest --output-on-failure -j$(JOBS) --test-dir

.PHONY: all deps configure build programs test test-plain test-asan run install package bench clean

all: build

deps:
	@sh scripts/deps.sh

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: test-plain test-asan

test-plain: build
	$(CTEST) $(BUILD)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DOMBREL_SANITIZE=ON -DOMBREL_BUILD_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 $(CTEST) $(ASAN_BUILD)

# Only what the window needs, not the tests, benchmarks or fuzz replays.
run: configure
	cmake --build $(BUILD) -j$(JOBS) --target ombrel
	./$(BUILD)/app/ombrel

# What an install or the package holds: the two programs.
programs: configure
	cmake --build $(BUILD) -j$(JOBS) --target ombrel ombrel-cli

# Into $(DESTDIR)$(PREFIX), freedesktop layout.
PREFIX ?= /usr/local
install: programs
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# A Debian package in $(BUILD), installing under /usr.
package: programs
	cd $(BUILD) && cpack -G DEB

bench: build
	for b in $(BUILD)/bench/*_bench; do $$b; done

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
