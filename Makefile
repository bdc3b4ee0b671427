# Thin driver over CMake; see README.md.
BUILD_DIR ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure dependencies test demo bench bench-launcher macos clean

all: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# On Debian, installs what the build and the tests lack (once).
dependencies:
	@bash scripts/install-dependencies.sh

configure: dependencies
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

test: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The whole system at work with a small demo application; see demo/run-demo.sh.
# Builds what the demo runs, no test.
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target demo_programs
	bash demo/run-demo.sh $(BUILD_DIR)

# The programs against their floors: the samples kept in docs/benchmarks.json,
# rendered to docs/benchmarks.md; slow, and not part of `make test`.
# `make bench ONLY=NAME` runs one benchmark alone (several: ONLY="a b"), the
# others' samples kept; `python3 bench/bench.py --list` names them.
# BENCH_ARGS passes more options (e.g. --runs 3). See bench/bench.py.
BENCH_BUILD_DIR ?= $(BUILD_DIR)/bench
BENCH_ARGS ?=
bench: dependencies
	cmake -S bench -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target bench_programs
	python3 bench/bench.py $(foreach name,$(ONLY),--only $(name)) $(BENCH_ARGS) $(BENCH_BUILD_DIR)

# The launcher alone against its floors, printed rather than written: a minute.
bench-launcher: dependencies
	cmake -S bench -B $(BENCH_BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)
	cmake --build $(BENCH_BUILD_DIR) -j $(JOBS) --target bundle_starter launch_floor \
	  bench_backend bench_frontend launch_probe
	python3 bench/bench.py --launcher-only $(BENCH_BUILD_DIR)

# The macOS check build, cross-compiled here with Zig: universal binaries in
# $(MACOS_BUILD_DIR)/universal, checked for both architectures, macOS 11.0 and
# libSystem alone; see scripts/macos-check-build.sh. Not a release build.
MACOS_BUILD_DIR ?= build-macos
macos:
	bash scripts/macos-check-build.sh $(MACOS_BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)

# The fault matrix of both programs, run against the built programs; its
# results (under the build directory) rendered as docs/fault-matrix.md.
.PHONY: fault-matrix crash-consistency fault-report
fault-matrix: all
	cmake --build $(BUILD_DIR) --target fault-matrix

# The installer killed at every step (about 5 minutes); its results rendered
# as docs/crash-consistency.md.
crash-consistency: all
	cmake --build $(BUILD_DIR) --target crash-consistency

# Both documents rendered again from the latest results, without a test run.
fault-report:
	cmake --build $(BUILD_DIR) --target fault-report
