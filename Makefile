# Thin driver over CMake; see README.md.
BUILD_DIR ?= build
CMAKE_ARGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test demo clean

all: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

configure:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release $(CMAKE_ARGS)

test: all
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The whole system at work with a small demo application; see demo/run-demo.sh.
demo: all
	bash demo/run-demo.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
