# Two commands: `make demo` shows the product working, `make test` runs every test.
PRESET ?= dev
BUILD_DIR := build/$(PRESET)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: deps configure build test demo clean format torture

deps:
	@./scripts/install-deps

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 600

# The fault and attack matrix pushed harder: more seeds, more kills.
torture: build
	cd $(BUILD_DIR) && TORTURE_ROUNDS=$${TORTURE_ROUNDS:-8} ctest --output-on-failure -L torture --timeout 3600

demo: build
	@demo/run-demo.sh $(BUILD_DIR)

# One table of ratios against curl, md5sum, zstd and tar, from a release
# build (BENCH_SCALE=64 or BENCH_ARGS=--quick for a run of a few minutes).
.PHONY: bench
bench: deps
	@bench/run-bench.py $(BENCH_ARGS)

format:
	@git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build
