# make test      set up, build and run the whole test suite
# make run       set up, build and run the pendulum example (ORCHESTRATION=... for
#                another file, ARGS="..." for options)
# make sanitize  the test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# make bench     the benchmarks (the C++ program, then the Python rows)
# make bench-remote  the gRPC layer's benchmarks (REMOTE_ARGS="..." for options)
# make tsan      the tests of steps in flight together under ThreadSanitizer
# make fuzz      the fuzzers (clang), each for FUZZ_SECONDS (default 180)
BUILD ?= build
SAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
FUZZ_SECONDS ?= 180
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

PYTHON ?= /usr/bin/python3

.PHONY: bootstrap configure build test sanitize tsan run bench bench-python bench-remote fuzz clean

bootstrap:
	scripts/bootstrap

configure: bootstrap
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize: bootstrap
	cmake -S . -B $(SAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DTARVIK_SANITIZE=ON \
	  -DTARVIK_BUILD_BENCHMARKS=OFF
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

# Only what concurrent steps go through: the libraries and the facade's
# tests, with the concurrency cases run (ONNX Runtime itself is not
# instrumented; its calls are serialised by each engine's lock).
tsan: bootstrap
	cmake -S . -B $(TSAN_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARVIK_SANITIZE_THREAD=ON \
	  -DTARVIK_BUILD_BENCHMARKS=OFF -DTARVIK_BUILD_APPS=OFF -DTARVIK_BUILD_PYTHON=OFF -DTARVIK_BUILD_REMOTE=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target runvane_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  $(TSAN_BUILD)/bin/runvane_tests --gtest_filter='*ConcurrentSteps*:DirectStep*'

# Builds only the host and what it opens at run time, not the tests. The
# pendulum example by default: its orchestrator hands the steps over between a
# swing-up controller and a stabilising skill, which shows in every episode.
ORCHESTRATION ?= examples/pendulum/orchestration.json
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target tarvik-run tarvik-inspect
	$(BUILD)/bin/tarvik-run $(ORCHESTRATION) $(ARGS)

# Its own Release folder, so the main build keeps its build type.
bench: bootstrap
	cmake -S . -B $(BENCH_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tarvik_bench
	$(BENCH_BUILD)/bin/tarvik_bench $(ARGS)
	$(MAKE) --no-print-directory bench-python

# Python hosts against the C++ step, on the same Release folder.
bench-python: bootstrap
	cmake -S . -B $(BENCH_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tarvik_python_bench_all
	PYTHONPATH=$(BENCH_BUILD)/python $(PYTHON) python/bench/python_bench.py \
	  --models-tool $(BENCH_BUILD)/bin/tarvik-python-bench-models

# A clang tree of its own: libFuzzer instrumentation and sanitizers in every
# library, none of the hosts, tests or layers the fuzzers do not reach.
fuzz: bootstrap
	cmake -S . -B $(FUZZ_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DTARVIK_BUILD_FUZZERS=ON -DTARVIK_BUILD_TESTS=OFF -DTARVIK_BUILD_BENCHMARKS=OFF -DTARVIK_BUILD_APPS=OFF \
	  -DTARVIK_BUILD_PYTHON=OFF -DTARVIK_BUILD_REMOTE=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target tarvik_fuzzers
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

bench-remote: bootstrap
	cmake -S . -B $(BENCH_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tarvik_remote_bench
	$(BENCH_BUILD)/bin/tarvik_remote_bench $(REMOTE_ARGS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BENCH_BUILD) $(FUZZ_BUILD) $(TSAN_BUILD)
