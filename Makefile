# The README's commands. Each target is a thin wrapper around CMake and CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DQUORVEL_WERROR=ON

.PHONY: deps configure build test demo bench fuzz clean

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	$(BUILD)/examples/record_demo $(BUILD)/demo.db

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja $(CMAKE_FLAGS) -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	bench/run-all $(BUILD)-bench

clean:
	rm -rf $(BUILD) $(BUILD)-bench
