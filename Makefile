# Wraps CMake so that the two everyday commands are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS += --no-print-directory

.PHONY: all deps build run test clean bench bench-small test-sanitize test-valgrind fuzz \
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
	rm -rf $(BUILD) build-sanitize build-valgrind build-fuzz build-install build-deb

# Benchmarks: pelnik beside cat, wc -l and shuf -n 1, and one checkpoint.
bench: build
	bench/run $(BUILD) full
	$(BUILD)/checkpoint_bench

# The same on small corpora, so that the benchmarks keep working (CI).
bench-small: build
	bench/run $(BUILD) small
	$(BUILD)/checkpoint_bench 5

# Platforms (see the README): the whole suite on the portable build, with a
# check of what pelnik and the library import; on 32-bit x86 (-m32); and
# cross-built for aarch64, run under qemu-user.  Each installs what it needs;
# the last two build GoogleTest from Debian's sources with their compiler.
# The 32-bit one takes g++-N-multilib for the installed g++-N: g++-multilib
# itself conflicts with the aarch64 cross compiler (cmake/m32.cmake); and it
# runs under qemu-i386 where the kernel cannot start 32-bit programs.
.PHONY: test-portable test-m32 test-aarch64 clean-platforms
GTEST_SOURCES ?= /usr/src/googletest

test-portable: deps
	cmake -S . -B build-portable -DCMAKE_BUILD_TYPE=Release -DTAGDB_PORTABLE=ON
	cmake --build build-portable -j $(JOBS)
	cd build-portable && ctest --output-on-failure -j $(JOBS)

test-m32: deps
	EXTRA_PACKAGES="googletest g++-$$(g++ -dumpversion | cut -d. -f1)-multilib qemu-user" \
	  scripts/install-deps
	cmake -S . -B build-m32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake \
	  -DPELNIK_GTEST_SOURCES=$(GTEST_SOURCES)
	cmake --build build-m32 -j $(JOBS)
	cd build-m32 && ctest --output-on-failure -j $(JOBS)

test-aarch64: deps
	EXTRA_PACKAGES="googletest g++-aarch64-linux-gnu qemu-user" scripts/install-deps
	cmake -S . -B build-aarch64 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DPELNIK_GTEST_SOURCES=$(GTEST_SOURCES)
	cmake --build build-aarch64 -j $(JOBS)
	cd build-aarch64 && ctest --output-on-failure -j $(JOBS)

clean: clean-platforms
clean-platforms:
	rm -rf build-portable build-m32 build-aarch64
