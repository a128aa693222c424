# The README's commands. Each target is a thin wrapper around CMake and CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DQUORVEL_WERROR=ON
FUZZ_SECONDS ?= 600

.PHONY: deps configure build test demo bench fuzz clean

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# Stores Fashion-MNIST training images and searches with test images; the
# database file is kept in $(BUILD) and reused by the next run.
demo: build
	PYTHONPATH=$(BUILD)/bindings/python /usr/bin/python3 examples/quickstart.py --db $(BUILD)/fashion-mnist.db

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja $(CMAKE_FLAGS) -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	bench/run-all $(BUILD)-bench

# Fuzzes the metadata text reader for FUZZ_SECONDS under ASan and UBSan; the
# corpus grows in $(BUILD)-fuzz/corpus. g++ compiles, clang's libFuzzer drives.
fuzz: deps
	CXX=g++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEL_BUILD_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF
	cmake --build $(BUILD)-fuzz --target metadata_text_fuzz -j $(JOBS)
	mkdir -p $(BUILD)-fuzz/corpus
	$(BUILD)-fuzz/bindings/python/metadata_text_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -dict=bindings/python/fuzz/metadata_text.dict $(BUILD)-fuzz/corpus bindings/python/fuzz/seeds

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-fuzz

# Measures quorvel against the tools users would pick instead (bench/peers):
# the full run writes bench/results/latest.json and docs/benchmarks.md; the
# quick one runs the whole harness on small sizes in under two minutes. Only
# these targets need npm (scripts/install-bench-peers).
.PHONY: bench-peers bench-peers-quick bench-peers-deps

bench-peers-deps: build
	scripts/install-bench-peers

bench-peers: bench-peers-deps
	QUORVEL_BUILD=$(BUILD) /usr/bin/python3 bench/peers/run.py --mode full

bench-peers-quick: bench-peers-deps
	QUORVEL_BUILD=$(BUILD) /usr/bin/python3 bench/peers/run.py --mode quick
