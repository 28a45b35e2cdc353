# Wraps CMake so that the two everyday commands are `make run` and `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
MAKEFLAGS += --no-print-directory

.PHONY: all deps build run test clean bench bench-small

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

clean:
	rm -rf $(BUILD)

# Benchmarks: pelnik beside cat, wc -l and shuf -n 1, and one checkpoint.
bench: build
	bench/run $(BUILD) full
	$(BUILD)/checkpoint_bench

# The same on small corpora, so that the benchmarks keep working (CI).
bench-small: build
	bench/run $(BUILD) small
	$(BUILD)/checkpoint_bench 5
