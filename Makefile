# Quick start:  make demo   (the plug-in listing and extracting a sample list)
#               make test   (every test of the three builds)
# Both install what is missing first (as root, with apt-get; see tools/setup.sh).

BUILD   ?= build
WIN32   := $(BUILD)/win32
WIN64   := $(BUILD)/win64
NATIVE  := $(BUILD)/native
JOBS    ?= $(shell nproc)
FUZZ_SECONDS ?= 600
TIERS   := sh tools/test-tiers.sh $(BUILD) $(JOBS)

.PHONY: all setup build windows win32 win64 native test test-native test-windows \
	test-win32 test-win64 demo fuzz bench bench-programs bench-long dist clean

all: build

setup:
	@sh tools/setup.sh

$(WIN32)/CMakeCache.txt: | setup
	cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release

$(WIN64)/CMakeCache.txt: | setup
	cmake -S . -B $(WIN64) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release

$(NATIVE)/CMakeCache.txt: | setup
	CC=clang CXX=clang++ cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Debug

win32: setup $(WIN32)/CMakeCache.txt
	cmake --build $(WIN32) -j $(JOBS)

win64: setup $(WIN64)/CMakeCache.txt
	cmake --build $(WIN64) -j $(JOBS)

windows: win64 win32

native: setup $(NATIVE)/CMakeCache.txt
	cmake --build $(NATIVE) -j $(JOBS)

build: native windows

# The tiers in order: native, win64, win32 (where this kernel runs no 32-bit
# programs, or with KESTA_NO_WIN32=1, only the static check of KESTA.SPI's
# exports). Every tier runs even when an earlier one failed; each Wine
# prefix's server is stopped after its tier; any failure fails the target.
test: build
	@$(TIERS) native win64 win32

test-native: native
	@$(TIERS) native

test-win64: win64
	@$(TIERS) win64

test-win32: win32
	@$(TIERS) win32

test-windows: windows
	@$(TIERS) win64 win32

# ./spihost picks the 32-bit build where the kernel runs it, else the 64-bit one.
demo: windows
	@python3 -B demo/demo.py $(abspath $(BUILD))

fuzz: native
	@sh tools/fuzz.sh $(abspath $(NATIVE)) $(FUZZ_SECONDS)

# The bench (bench/bench.py: a table of rows, timed by hyperfine or in-process)
# builds what it runs: the plug-in, spihost.exe and spibench.exe in both
# Windows trees, and its helpers in $(BUILD)/bench: the native fetch and the
# receive floors (Linux, and Wine at both widths). bench-long adds the 3 GiB
# member. BENCH_OPTIONS=--quick: two runs a row, no waiting for a quiet machine.
BENCH_TARGETS := --target kesta_spi spihost spibench
BENCH_TOOLS := $(BUILD)/bench
BENCH_FETCH := bench/fetch_bench.cpp urllist/urllist.cpp urllist/names.cpp $(wildcard url/*.cpp) \
	compat/win32_stub.cpp compat/idna_stub.cpp \
	$(filter-out http/tls_api.cpp http/tls_schannel.cpp http/tls_records.cpp http/certificate.cpp,$(wildcard http/*.cpp))
BENCH_RUN := python3 -B bench/bench.py --build $(abspath $(BUILD)) --out bench/results.md

bench-programs: setup $(WIN32)/CMakeCache.txt $(WIN64)/CMakeCache.txt
	cmake --build $(WIN64) -j $(JOBS) $(BENCH_TARGETS)
	cmake --build $(WIN32) -j $(JOBS) $(BENCH_TARGETS)
	mkdir -p $(BENCH_TOOLS)
	clang++ -O2 -std=c++17 -Wall -Wextra -pthread -I. -o $(BENCH_TOOLS)/fetch_bench $(BENCH_FETCH)
	clang++ -O2 -std=c++17 -Wall -Wextra -o $(BENCH_TOOLS)/native_floor bench/floor.cpp
	i686-w64-mingw32-g++-posix -O2 -static -Wall -Wextra -o $(BENCH_TOOLS)/floor32.exe \
		bench/floor.cpp -lwsock32
	x86_64-w64-mingw32-g++-posix -O2 -static -Wall -Wextra -o $(BENCH_TOOLS)/floor64.exe \
		bench/floor.cpp -lwsock32

bench: bench-programs
	@$(BENCH_RUN) $(BENCH_OPTIONS)

bench-long: bench-programs
	@$(BENCH_RUN) --long $(BENCH_OPTIONS)

# The release: both plug-in files, the readmes, the change history and their
# SHA-256 sums in dist/kesta-VERSION.zip, the same bytes on every run of one commit.
dist: setup $(WIN32)/CMakeCache.txt $(WIN64)/CMakeCache.txt
	cmake --build $(WIN32) -j $(JOBS) --target kesta_spi
	cmake --build $(WIN64) -j $(JOBS) --target kesta_spi
	@python3 -B release/dist.py . $(WIN32)/KESTA.SPI $(WIN64)/KESTA.SPH dist

clean:
	rm -rf $(BUILD)
