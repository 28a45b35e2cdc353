# Wraps CMake so that the two everyday commands are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS += --no-print-directory

.PHONY: all deps build run test clean bench bench-small test-sanitize test-valgrind test-tsan fuzz \
	install uninstall package test-install test-pip

all: build

deps:
	@scripts/install-deps

# Everything, tests included.  `make run` may have configured $(BUILD)
# without the tests; they are turned on here.
build: deps
	@grep -qx 'BUILD_TESTING:BOOL=ON' $(BUILD)/CMakeCache.txt 2>/dev/null || \
	  cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON
	cmake --build $(BUILD) -j $(JOBS)

# Print one tagline from the bundled sample collection.  Builds pelnik alone
# (no GoogleTest, tests or benchmarks needed), showing the build's lines only
# when something is rebuilt.
run:
	@scripts/install-deps program
	@[ -f $(BUILD)/CMakeCache.txt ] || \
	  cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
	@exec 3>&1; status=$$({ { cmake --build $(BUILD) --target pelnik -j $(JOBS) 2>&1; \
	  echo $$? >&4; } | grep --line-buffered -v -e '] Built target ' \
	  -e '^Consolidate compiler generated dependencies' >&3; } 4>&1); exit $$status
	@$(BUILD)/pelnik data/taglines

# ctest, then the reason of each skipped test.
test: build
	scripts/run-tests $(BUILD) -j $(JOBS)

# The whole suite built with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPELNIK_SANITIZE=address,undefined
	cmake --build build-sanitize -j $(JOBS)
	scripts/run-tests build-sanitize -j $(JOBS)

# The tests that run the threaded indexer, and the host that calls the
# library from four threads, under ThreadSanitizer.
test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNIK_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target tagdb_test tagdb_host_threads
	scripts/run-tests build-tsan -j $(JOBS) -R '^(IndexTest|StoreTest|ScanTest)\.|^host_threads$$'

# The whole suite, and every pelnik and tagwatch it starts, under memcheck.
test-valgrind:
	@EXTRA_PACKAGES=valgrind scripts/install-deps
	cmake -S . -B build-valgrind -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELNIK_VALGRIND=ON
	cmake --build build-valgrind -j $(JOBS)
	scripts/run-tests build-valgrind -j $(JOBS)

# Install the program, library, header, manual pages, completions and the
# sample collection as PREFIX/share/tovrin/taglines, which the installed
# pelnik uses as its system source: build-install/ is configured for PREFIX
# (without the tests, so only what is installed is built).  DESTDIR stages
# it; BUILD_SHARED_LIBS=ON installs the library as a shared object, and
# either kind replaces the other.  What the installs put under DESTDIR and
# PREFIX is listed in PREFIX/share/pelnik/manifest, beside a script that
# removes it (PREFIX/share/pelnik/uninstall): `make uninstall` with the same
# PREFIX and DESTDIR, from any clone, removes it (scripts/install-tree).
PREFIX ?= /usr/local
BUILD_SHARED_LIBS ?= OFF
install:
	@scripts/install-deps program
	cmake -S . -B build-install -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_INSTALL_PREFIX=$(PREFIX) -DTAGDB_SYSTEM_TAGLINES= \
	  -DBUILD_SHARED_LIBS=$(BUILD_SHARED_LIBS)
	cmake --build build-install -j $(JOBS)
	PREFIX="$(PREFIX)" DESTDIR="$(DESTDIR)" scripts/install-tree install build-install

uninstall:
	PREFIX="$(PREFIX)" DESTDIR="$(DESTDIR)" scripts/install-tree uninstall

# A Debian package for /usr, in build-deb/.
package:
	@EXTRA_PACKAGES="dpkg-dev file" scripts/install-deps program
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	  -DCMAKE_INSTALL_PREFIX=/usr -DTAGDB_SYSTEM_TAGLINES=/usr/share/tovrin/taglines \
	  -DPELNIK_ZSH_COMPLETIONS=share/zsh/vendor-completions
	cmake --build build-deb -j $(JOBS)
	cd build-deb && cpack -G DEB

# Install, consumers, manual pages and the Debian package, all checked.
test-install:
	scripts/check-install

# The Python package as pip builds and installs it, offline, in a fresh venv.
test-pip:
	@EXTRA_PACKAGES=python3-venv scripts/install-deps program
	JOBS=$(JOBS) scripts/check-pip

# Each fuzz target for FUZZ_SECONDS (clang's libFuzzer, with sanitizers).
FUZZ_SECONDS ?= 60
fuzz:
	scripts/fuzz $(FUZZ_SECONDS)

# The lists of what `make install` put where that earlier versions kept in
# build-install/manifests/ stay, for the next make install to take over.
clean:
	rm -rf $(BUILD) build-sanitize build-tsan build-valgrind build-fuzz build-deb
	[ ! -d build-install ] || find build-install -mindepth 1 -maxdepth 1 ! -name manifests \
	  -exec rm -rf {} +

# Benchmarks: pelnik beside wc -l, shuf -n 1 and cat, its peak memory and one
# checkpoint, as ratios beside their goals.  BASE=PELNIK times a second pelnik
# in the same runs, and BASE_CHECKPOINT=CHECKPOINT_BENCH a checkpoint_bench
# built with its library, so that one table shows before and after.
BASE ?=
BASE_CHECKPOINT ?=
bench: build
	bench/run $(BUILD) full $(BASE) $(BASE_CHECKPOINT)
	$(BUILD)/scan_bench

# The same on small corpora, so that the benchmarks keep working (CI).
bench-small: build
	bench/run $(BUILD) small $(BASE) $(BASE_CHECKPOINT)
	$(BUILD)/scan_bench 4

# Platforms (see the README): the whole suite on the portable build, with a
# check of what pelnik and the library import; on 32-bit x86 (-m32); and
# cross-built for aarch64, run under qemu-user.  Each installs what it needs;
# the last two build GoogleTest from Debian's sources with their compiler.
# The 32-bit one takes g++-N-multilib for the installed g++-N: g++-multilib
# itself conflicts with the aarch64 cross compiler (cmake/m32.cmake); and it
# runs under qemu-i386 where the kernel cannot start 32-bit programs.
.PHONY: test-portable test-libcxx test-m32 test-aarch64 clean-platforms
GTEST_SOURCES ?= /usr/src/googletest

test-portable: deps
	cmake -S . -B build-portable -DCMAKE_BUILD_TYPE=Release -DTAGDB_PORTABLE=ON
	cmake --build build-portable -j $(JOBS)
	scripts/run-tests build-portable -j $(JOBS)

# The portable build with clang, libc++ and ld.lld (cmake/clang-libcxx.cmake),
# the toolchain family of FreeBSD and macOS: the library must need no C++
# runtime there either.
test-libcxx: deps
	EXTRA_PACKAGES="googletest clang lld llvm libc++-dev libc++abi-dev" scripts/install-deps
	cmake -S . -B build-libcxx -DCMAKE_BUILD_TYPE=Release -DTAGDB_PORTABLE=ON \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/clang-libcxx.cmake -DPELNIK_GTEST_SOURCES=$(GTEST_SOURCES)
	cmake --build build-libcxx -j $(JOBS)
	scripts/run-tests build-libcxx -j $(JOBS)

test-m32: deps
	EXTRA_PACKAGES="googletest g++-$$(g++ -dumpversion | cut -d. -f1)-multilib qemu-user" \
	  scripts/install-deps
	cmake -S . -B build-m32 -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE=cmake/m32.cmake \
	  -DPELNIK_GTEST_SOURCES=$(GTEST_SOURCES)
	cmake --build build-m32 -j $(JOBS)
	scripts/run-tests build-m32 -j $(JOBS)

test-aarch64: deps
	EXTRA_PACKAGES="googletest g++-aarch64-linux-gnu qemu-user" scripts/install-deps
	cmake -S . -B build-aarch64 -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake -DPELNIK_GTEST_SOURCES=$(GTEST_SOURCES)
	cmake --build build-aarch64 -j $(JOBS)
	scripts/run-tests build-aarch64 -j $(JOBS)

# Zig 0.11 (scripts/fetch-zig fetches it from npm once per machine, into
# ~/.cache/pelnik) is the cross toolchain of the last two, through
# cmake/zig-*.cmake; LLVM's tools read what it builds.
#
# macOS on x86-64 and on arm64: the library and pelnik, cross-built, with the
# build's checks of their names and imports, read as Mach-O; nothing built
# can run here.
.PHONY: test-macos test-musl
test-macos:
	@EXTRA_PACKAGES=llvm scripts/install-deps program
	@set -e; zig=$$(scripts/fetch-zig); for processor in x86_64 aarch64; do \
	  dir=build-macos-$$processor; \
	  echo "test-macos: $$processor"; \
	  cmake -S . -B $$dir -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DPELNIK_PYTHON=OFF \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/zig-$$processor-macos.cmake -DPELNIK_ZIG=$$zig; \
	  cmake --build $$dir -j $(JOBS) --target tagdb pelnik; \
	  case $$processor in x86_64) format=x86-64 ;; aarch64) format=arm64 ;; esac; \
	  for file in $$dir/pelnik $$dir/libtagdb.a; do \
	    llvm-objdump -f $$file | grep -q "file format mach-o.* $$format\$$" || \
	      { echo "test-macos: $$file is not Mach-O for $$format" >&2; exit 1; }; \
	  done; \
	  OBJECT_FORMAT=MACHO NM=llvm-nm scripts/check-symbols tagdb/tagdb.h $$dir/libtagdb.a; \
	  OBJECT_FORMAT=MACHO NM=llvm-nm scripts/check-imports $$dir/pelnik $$dir/libtagdb.a; \
	done

# x86-64 Linux with musl: everything, GoogleTest built from its sources
# included, linked statically, and the whole suite run here.
test-musl: deps
	@EXTRA_PACKAGES="googletest llvm" scripts/install-deps
	zig=$$(scripts/fetch-zig) && cmake -S . -B build-musl -DCMAKE_BUILD_TYPE=Release \
	  -DPELNIK_PYTHON=OFF -DCMAKE_TOOLCHAIN_FILE=cmake/zig-x86_64-linux-musl.cmake \
	  -DPELNIK_ZIG=$$zig -DPELNIK_GTEST_SOURCES=$(GTEST_SOURCES)
	cmake --build build-musl -j $(JOBS)
	scripts/run-tests build-musl -j $(JOBS)

clean: clean-platforms
clean-platforms:
	rm -rf build-portable build-libcxx build-m32 build-aarch64 build-macos-x86_64 \
	  build-macos-aarch64 build-musl
