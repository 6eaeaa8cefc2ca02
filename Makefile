# Thin wrapper over CMake for the targets people type.
BUILD ?= build
BUILD_TYPE ?= Release
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all configure test bench clean

all: configure
	cmake --build $(BUILD) -j $(JOBS)

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

test: all
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Throughput against memchr and memcpy on this machine; see README.
bench: all
	$(BUILD)/bench/wttable_bench

clean:
	rm -rf $(BUILD)
