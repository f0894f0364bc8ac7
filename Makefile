# Two commands: `make demo` shows the product working, `make test` runs every test.
PRESET ?= dev
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The figures of the power-cut sweep (tests/torture/power_cut_test.cc),
# printed after the tests.
POWER_CUT_SUMMARY := $(BUILD_DIR)/tests/torture/power_cut_summary.txt

.PHONY: deps configure build check test asan tsan fuzz demo clean format torture windows windows-test \
  windows-screenshots

deps:
	@./scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

# `make check` is the quick part: the build of $(PRESET) and every test.
# `make test` (what CI runs) adds the unit and integration tests under
# AddressSanitizer + UndefinedBehaviorSanitizer, the window/worker handshake
# and the display operations under ThreadSanitizer, and a short run of every
# fuzz target.
# The tests labelled "wine" drive programs of the windows build and run in
# make windows-test.
check: build
	@rm -f $(POWER_CUT_SUMMARY)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600 -LE wine
	@cat $(POWER_CUT_SUMMARY) 2>/dev/null || true

test: check asan tsan windows-test
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(SMOKE_FUZZ_SECONDS) FUZZ_JOBS=$(JOBS)

# The 64-bit Windows build (mingw-w64, static .exe files), its libraries
# cross-built from Debian's sources once into build/windows-deps/, and its
# tests under Wine with one wineserver kept running for the whole ctest run.
windows: deps
	@./scripts/windows-deps
	@cmake --preset windows >/dev/null
	@cmake --build build/windows -j $(JOBS)

# Then the Linux tree's tests labelled "wine": they drive the Windows window,
# launcher.exe and the stand-in patcher under Wine on a private Xvfb (the Qt
# painter is their reference) and walk the player's journey with them.
windows-test: windows build
	@./scripts/wine-run --server-start
	cd build/windows && ctest --output-on-failure -j $(JOBS) --timeout 600; \
	  status=$$?; ../../scripts/wine-run --server-stop; exit $$status
	cd $(BUILD_DIR) && LAUNCHER_WINDOWS_BUILD_DIR=$(CURDIR)/build/windows \
	  ctest --output-on-failure --timeout 900 -L wine

# The Windows window at 100, 150 and 200 % under Wine, written into docs/
# (screenshot-windows-scale-*.png) by the tests that check those densities.
windows-screenshots: windows build
	cd $(BUILD_DIR) && QT_QPA_PLATFORM=offscreen LAUNCHER_SCREENSHOT_DIR=$(CURDIR)/docs \
	  tests/ui/wine_window_test \
	  --gtest_filter='WineWindowTest.TheWindowIsDrawnAtTheMonitorsDensity:WineWindowTest.ScreenshotOfTheTimeLeft'

# Everything built with ASan + UBSan and every test run, but the wine-labelled
# ones (they drive the windows build), the one that measures peak memory,
# which ASan's quarantine inflates, and the power-cut sweep: it takes twice
# its minute there, the library it preloads into the publisher cannot come
# before ASan's runtime, and the engine it drives runs under ASan in the
# other tests (its file system's own test stays). Leaks that system
# libraries keep for the life of the process are suppressed (tests/lsan.supp).
ASAN_ENV := LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
  UBSAN_OPTIONS=print_stacktrace=1
asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build build/asan -j $(JOBS)
	cd build/asan && $(ASAN_ENV) ctest --output-on-failure -j $(JOBS) --timeout 900 -LE wine \
	  -E '^(torture_resources_test|power_cut_test)$$'

# The tests with two threads meeting: the cancel words and the close
# handshake, the window's display operations, the worker under the driver,
# the helpers that read installed files ahead of the worker, the helper that
# digests a download beside it.
TSAN_TESTS := cancel_test launcher_window_test launcher_app_test engine_driver_test \
  update_digest_lookahead_test update_installed_check_test engine_lookahead_test \
  update_download_digest_test update_file_fetch_test
space := $(subst ,, )
tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build build/tsan -j $(JOBS) --target $(TSAN_TESTS)
	cd build/tsan && ctest --output-on-failure --timeout 900 -R '^($(subst $(space),|,$(strip $(TSAN_TESTS))))$$'

# libFuzzer targets (clang), each run FUZZ_SECONDS, FUZZ_JOBS at a time; the
# corpus each grows is kept in build/fuzz/fuzz/corpus/ for the next run.
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= $(JOBS)
SMOKE_FUZZ_SECONDS ?= 12
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz -j $(JOBS)
	@FUZZ_JOBS=$(FUZZ_JOBS) fuzz/run.sh build/fuzz $(FUZZ_SECONDS)

# The fault and attack matrix pushed harder: more seeds, more kills.
torture: build
	@rm -f $(POWER_CUT_SUMMARY)
	cd $(BUILD_DIR) && TORTURE_ROUNDS=$${TORTURE_ROUNDS:-8} ctest --output-on-failure -L torture --timeout 3600
	@cat $(POWER_CUT_SUMMARY) 2>/dev/null || true

# The journey with the Linux launcher, then, when Wine is installed, with
# launcher.exe under Wine.
demo: build
	@demo/run-demo.sh $(BUILD_DIR)
	@if command -v wine >/dev/null 2>&1; then \
	  $(MAKE) --no-print-directory windows && demo/run-demo.sh $(BUILD_DIR) --windows build/windows; \
	else echo "(Wine is not installed: no Windows journey)"; fi

# One table of ratios against curl, md5sum, zstd and tar, from a release
# build (BENCH_SCALE=64 or BENCH_ARGS=--quick for a run of a few minutes).
.PHONY: bench
bench: deps
	@bench/run-bench.py $(BENCH_ARGS)

format:
	@git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build
