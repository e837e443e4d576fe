# The two commands of the README: `make demo` and `make test`. Everything else is a step of theirs.
.PHONY: all setup native windows fuzz fuzz-campaign build check test test-native test-windows test-fuzz demo demo-programs demo-window bench pictures dist clean format

JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30

all: build

setup:
	@scripts/setup.sh

native: setup
	cmake --preset native >/dev/null
	cmake --build --preset native --parallel $(JOBS)

windows: setup
	cmake --preset windows >/dev/null
	cmake --build --preset windows --parallel $(JOBS)
	@KESTRUNE_WINEPREFIX=$(CURDIR)/build/windows/wine scripts/wine-prefix.sh

fuzz: setup
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz --parallel $(JOBS)

build: native windows fuzz

# The native unit tests alone: seconds once built.
check: native
	ctest --test-dir build/native --output-on-failure -j $(JOBS) -L unit

test-native: native
	ctest --test-dir build/native --output-on-failure -j $(JOBS)

test-windows: windows
	ctest --test-dir build/windows --output-on-failure -j $(JOBS)

test-fuzz: fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz.sh build/fuzz

# Hours, not part of the tests: every fuzz target for FUZZ_CAMPAIGN_SECONDS (default an hour)
# from its kept corpus (fuzz/corpus), which then keeps what it found.
fuzz-campaign: fuzz
	@scripts/fuzz-campaign.sh build/fuzz

test: build
	@status=0; \
	$(MAKE) --no-print-directory test-native || status=1; \
	$(MAKE) --no-print-directory test-windows || status=1; \
	$(MAKE) --no-print-directory test-fuzz || status=1; \
	exit $$status

# The demo runs two programs: only they are built, optimised and without the tests, in a tree
# of their own (build/demo), so that ./demo.sh is a download, not a test build.
demo-programs: setup
	cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=OFF >/dev/null
	cmake --build build/demo --parallel $(JOBS) --target kestrune-cli kestrune-boxsim

demo: demo-programs
	@scripts/demo.sh build/demo

# The window on this display with the box simulator on its COM1 (./demo.sh --window): the
# simulator and the window's launcher of build/demo, and Kestrune.exe alone of build/windows.
demo-window: demo-programs
	cmake --preset windows >/dev/null
	cmake --build --preset windows --parallel $(JOBS) --target Kestrune
	@KESTRUNE_WINEPREFIX=$(CURDIR)/build/windows/wine scripts/wine-prefix.sh
	@scripts/demo-window.sh build/demo

# The packages, from Release trees: build/dist/kestrune-<version>-win64.zip and
# build/dist/kestrune_<version>_amd64.deb.
dist: setup
	@JOBS=$(JOBS) scripts/dist.sh

# The README's pictures: the window from the GUI suite's screenshots, serve's progress bar from
# a real terminal.
pictures: native windows
	@scripts/pictures.sh build/windows build/native

# The benchmarks run the packages' Release programs: the native release tree of `make dist` (and
# of the package test), built once for all three.
bench: setup windows
	cmake -S . -B build/dist-native -G Ninja -DCMAKE_BUILD_TYPE=Release -DKESTRUNE_TESTS=OFF >/dev/null
	cmake --build build/dist-native --parallel $(JOBS)
	@scripts/bench.sh build/dist-native
	@scripts/bench-window.sh build/windows build/dist-native
	@scripts/bench-station.sh build/dist-native
	@scripts/bench-web.sh build/dist-native
	@scripts/bench-report.sh build/dist-native

format:
	@git ls-files '*.cpp' '*.h' ':!third_party' | xargs clang-format -i

clean:
	rm -rf build
