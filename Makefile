# Thin driver over CMake; see README.md.
BUILD_DIR ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test clean

all: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

test: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

clean:
	rm -rf $(BUILD_DIR)
