# The two commands of the README: `make demo` and `make test`. Everything else is a step of theirs.
.PHONY: all setup native windows release fuzz fuzz-campaign build check test test-native test-windows test-fuzz demo demo-programs demo-window bench pictures dist clean format

JOBS ?= $(shell nproc)
# Each fuzz target's seconds in `make test`: a short run from the kept corpus that shows a
# target still runs and finds nothing at once; `make fuzz-campaign` is where the hours go.
FUZZ_SECONDS ?= 15
# Tests mostly wait on serial lines and time-outs, not on the processor (the native tier computes
# a third of its time): three at once per core, beside the Windows tier. Cases that share a device or a Wine prefix say so with a resource lock.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 3 )))

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

# The packages' trees: the Windows one above and a native Release one (no tests, no sanitizers),
# built here with the rest so that the package test and the benchmarks only use them.
release: windows
	@JOBS=$(JOBS) scripts/dist.sh --trees >/dev/null

build: native windows release fuzz

# The native unit tests alone: seconds once built.
check: native
	ctest --test-dir build/native --output-on-failure -j $(TEST_JOBS) -L unit

test-native: native
	ctest --test-dir build/native --output-on-failure -j $(TEST_JOBS)

# Wine computes more than the native cases do, and the tier's longest case (the Ctrl-C storm)
# sets its length anyway: half as many at once leave the native tier's timing cases their time.
WINDOWS_TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 2 )))
test-windows: windows
	ctest --test-dir build/windows --output-on-failure -j $(WINDOWS_TEST_JOBS)

test-fuzz: fuzz
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/run-fuzz.sh build/fuzz

# Hours, not part of the tests: every fuzz target for FUZZ_CAMPAIGN_SECONDS (default an hour)
# from its kept corpus (fuzz/corpus), which then keeps what it found.
fuzz-campaign: fuzz
	@scripts/fuzz-campaign.sh build/fuzz

# The Windows tier runs beside the native one (both mostly wait on lines, Wine and time-outs;
# what they share, a display or a port number, each takes afresh), its output shown when it ends;
# the fuzzing, which computes, after them.
# The last lines say what each failed case said last and how long each step took: what a slow
# or failed run spent its time on, where a reader of the end sees it.
test:
	@status=0; start=$$(date +%s); \
	$(MAKE) --no-print-directory build || exit 1; \
	built=$$(date +%s); \
	echo "== the Windows tier runs beside the native one (build/windows/test.log)"; \
	( $(MAKE) --no-print-directory test-windows >build/windows/test.log 2>&1; \
	  s=$$?; echo $$(( $$(date +%s) - built )) >build/windows/test.seconds; exit $$s ) & windows=$$!; \
	failed=""; \
	$(MAKE) --no-print-directory test-native || { status=1; failed=build/native; }; \
	native=$$(date +%s); \
	wait $$windows || { status=1; failed="$$failed build/windows"; }; \
	tiers=$$(date +%s); \
	cat build/windows/test.log; \
	$(MAKE) --no-print-directory test-fuzz || status=1; \
	[ -z "$$failed" ] || scripts/failed-cases.sh $$failed; \
	echo "== seconds: build $$((built - start)), native tier $$((native - built)), Windows tier $$(cat build/windows/test.seconds), fuzz $$(( $$(date +%s) - tiers )), all $$(( $$(date +%s) - start ))"; \
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

# The packages, from the trees of `make release`: build/dist/kestrune-<version>-win64.zip and
# build/dist/kestrune_<version>_amd64.deb.
dist: setup
	@JOBS=$(JOBS) scripts/dist.sh

# The README's pictures: the window from the GUI suite's screenshots, serve's progress bar from
# a real terminal.
pictures: native windows
	@scripts/pictures.sh build/windows build/native

# The benchmarks run the packages' programs: the trees of `make release`.
bench: release
	@scripts/bench.sh build/dist-native
	@scripts/bench-window.sh build/windows build/dist-native
	@scripts/bench-station.sh build/dist-native
	@scripts/bench-web.sh build/dist-native
	@scripts/bench-report.sh build/dist-native

format:
	@git ls-files '*.cpp' '*.h' ':!third_party' | xargs clang-format -i

clean:
	rm -rf build
