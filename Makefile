# Wraps CMake so that the two everyday commands are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS += --no-print-directory

.PHONY: all deps build run test clean bench bench-small test-sanitize test-valgrind test-tsan fuzz \
	install package test-install

all: build

deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Print one tagline from the bundled sample collection.
run: build
	@$(BUILD)/pelnik data/taglines

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPELNIK_SANITIZE=address,undefined
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && ctest --output-on-failure -j $(JOBS)

# The tests that run the threaded indexer, under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNIK_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target tagdb_test
	cd build-tsan && ctest --output-on-failure -j $(JOBS) -R '^(IndexTest|StoreTest|ScanTest)\.'

# The whole suite, and every pelnik and tagwatch it starts, under memcheck.
test-valgrind: deps
	cmake -S . -B build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNIK_VALGRIND=ON
	cmake --build build-valgrind -j $(JOBS)
	cd build-valgrind && ctest --output-on-failure -j $(JOBS)

# Install the program, library, header, manual pages, completions and the
# sample collection (as PREFIX/share/tovrin/taglines). DESTDIR stages it.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package for /usr, in build-deb/.
package: deps
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DTAGDB_SYSTEM_TAGLINES=/usr/share/tovrin/taglines
	cmake --build build-deb -j $(JOBS)
	cd build-deb && cpack -G DEB

# Install, consumers, manual pages and the Debian package, all checked.
test-install:
	scripts/check-install

# Each fuzz target for FUZZ_SECONDS (clang's libFuzzer, with sanitizers).
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-sanitize build-tsan build-valgrind build-fuzz build-install build-deb

# Benchmarks: pelnik beside wc -l, shuf -n 1 and cat, its peak memory and one
# checkpoint, as ratios beside their goals.  BASE=PELNIK times a second pelnik
# in the same runs, and BASE_CHECKPOINT=CHECKPOINT_BENCH a checkpoint_bench
# built with its library, so that one table shows before and after.
BASE ?=
BASE_CHECKPOINT ?=
bench: build
	bench/run $(BUILD) full $(BASE) $(BASE_CHECKPOINT)

# The same on small corpora, so that the benchmarks keep working (CI).
bench-small: build
	bench/run $(BUILD) small $(BASE) $(BASE_CHECKPOINT)
