# Quick start:  make demo   (the plug-in listing and extracting a sample list)
#               make test   (every test of both builds)
# Both install what is missing first (as root, with apt-get; see tools/setup.sh).

BUILD   ?= build
WIN     := $(BUILD)/windows
NATIVE  := $(BUILD)/native
JOBS    ?= $(shell nproc)
FUZZ_SECONDS ?= 600

.PHONY: all setup build windows native test test-native test-windows demo fuzz bench clean

all: build

setup:
	@sh tools/setup.sh

$(WIN)/CMakeCache.txt: | setup
	cmake -S . -B $(WIN) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

$(NATIVE)/CMakeCache.txt: | setup
	CC=clang CXX=clang++ cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Debug

windows: setup $(WIN)/CMakeCache.txt
	cmake --build $(WIN) -j $(JOBS)

native: setup $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)

build: windows native

# Runs both trees' tests even when the first fails, stops the Wine server of
# the build's prefix, and fails if either failed.
test: build
	@status=0; \
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS) || status=1; \
	ctest --test-dir $(WIN) --output-on-failure || status=1; \
	WINEPREFIX=$(abspath $(WIN))/wineprefix wineserver -k 2>/dev/null || true; \
	exit $$status

test-native: native
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS)

test-windows: windows
	@status=0; ctest --test-dir $(WIN) --output-on-failure || status=1; \
	WINEPREFIX=$(abspath $(WIN))/wineprefix wineserver -k 2>/dev/null || true; exit $$status

demo: windows
	@sh demo/demo.sh $(abspath $(WIN))

fuzz: native
	@sh tools/fuzz.sh $(abspath $(NATIVE)) $(FUZZ_SECONDS)

bench: build
	@sh bench/bench.sh $(abspath $(WIN)) $(abspath $(NATIVE))

clean:
	rm -rf $(BUILD)
