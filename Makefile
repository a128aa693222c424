# The README's commands. Each target is a thin wrapper around CMake and CTest.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=Release -DQUORVEL_WERROR=ON
FUZZ_SECONDS ?= 600

.PHONY: deps configure build test test-reliability demo bench fuzz clean

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The long form of the crash, fault, fork and model suites that make test runs
# briefly: 500 kills of a writer, 300 flipped bytes per file, 1,000 forks
# during searches and 1,000 random call sequences (about ten minutes).
test-reliability: build
	cd bindings/python/tests && \
	  PYTHONPATH=$(abspath $(BUILD))/bindings/python PYTHONDONTWRITEBYTECODE=1 \
	  QUORVEL_CRASH_KILLS=500 QUORVEL_FAULT_FLIPS=300 QUORVEL_FORKS=1000 QUORVEL_MODEL_EXAMPLES=1000 \
	  /usr/bin/python3 -m pytest -q -p no:cacheprovider test_crash.py test_faults.py test_fork.py test_model.py

# Builds everything in $(BUILD)-sanitize under AddressSanitizer and
# UndefinedBehaviorSanitizer (g++) and runs every test there, C++ and pytest
# (on /usr/bin/python3, with the ASan runtime preloaded).
.PHONY: test-sanitize
test-sanitize: deps
	CXX=g++ cmake -S . -B $(BUILD)-sanitize -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEL_WERROR=ON -DQUORVEL_SANITIZE=ON
	cmake --build $(BUILD)-sanitize -j $(JOBS)
	ctest --test-dir $(BUILD)-sanitize --output-on-failure -j $(JOBS)

# Builds the C++ tests of the engine, the storage and the index in
# $(BUILD)-tsan under ThreadSanitizer and runs them there: a data race
# between threads fails the run. oneTBB's library is built without the
# sanitizer, so reports on its own bookkeeping are suppressed
# (libs/quorvel-core/tests/onetbb.tsan). Not part of make test.
TSAN_TESTS = libs/quorvel-storage/quorvel-storage-tests libs/quorvel-core/quorvel-core-tests \
             libs/quorvel-index/quorvel-index-tests
.PHONY: test-tsan
test-tsan: deps
	CXX=g++ cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEL_WERROR=ON -DQUORVEL_SANITIZE_THREADS=ON -DQUORVEL_BUILD_PYTHON=OFF
	cmake --build $(BUILD)-tsan --target $(notdir $(TSAN_TESTS)) -j $(JOBS)
	set -e; for test in $(TSAN_TESTS); do \
	  TSAN_OPTIONS=suppressions=$(CURDIR)/libs/quorvel-core/tests/onetbb.tsan $(BUILD)-tsan/$$test; \
	done

# Stores Fashion-MNIST training images and searches with test images; the
# database file is kept in $(BUILD) and reused by the next run.
demo: build
	PYTHONPATH=$(BUILD)/bindings/python /usr/bin/python3 examples/quickstart.py --db $(BUILD)/fashion-mnist.db

bench: deps
	cmake -S . -B $(BUILD)-bench -G Ninja $(CMAKE_FLAGS) -DQUORVEL_BUILD_BENCH=ON -DQUORVEL_BUILD_TESTS=OFF
	cmake --build $(BUILD)-bench -j $(JOBS)
	bench/run-all $(BUILD)-bench

# Runs each fuzzer of FUZZ_TARGETS (in fuzz/) for FUZZ_SECONDS under ASan and
# UBSan; each corpus grows in $(BUILD)-fuzz/corpus/<target>. g++ compiles,
# clang's libFuzzer drives. One target: make fuzz FUZZ_TARGETS=record_json
FUZZ_TARGETS ?= metadata_text record_json
fuzz: deps
	CXX=g++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQUORVEL_BUILD_FUZZ=ON -DQUORVEL_BUILD_TESTS=OFF
	cmake --build $(BUILD)-fuzz --target $(FUZZ_TARGETS:%=%_fuzz) -j $(JOBS)
	set -e; for target in $(FUZZ_TARGETS); do \
	  mkdir -p $(BUILD)-fuzz/corpus/$$target; \
	  $(BUILD)-fuzz/fuzz/$${target}_fuzz -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/$$target.dict \
	    $(BUILD)-fuzz/corpus/$$target fuzz/seeds/$$target; \
	done

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-fuzz $(BUILD)-sanitize $(BUILD)-tsan

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
