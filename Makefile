# make test      set up, build and run the whole test suite
# make run       set up, build and run the bundled example (ARGS="..." for options)
# make sanitize  the test suite under AddressSanitizer + UndefinedBehaviorSanitizer
# make bench     the benchmarks
# make bench-remote  the gRPC layer's benchmarks (REMOTE_ARGS="..." for options)
BUILD ?= build
SAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")

.PHONY: bootstrap configure build test sanitize run bench bench-remote clean

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

# Builds only the host and what it opens at run time, not the tests.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target tarvik-run tarvik-inspect
	$(BUILD)/bin/tarvik-run $(ARGS)

# Its own Release folder, so the main build keeps its build type.
bench: bootstrap
	cmake -S . -B $(BENCH_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tarvik_bench
	$(BENCH_BUILD)/bin/tarvik_bench $(ARGS)

bench-remote: bootstrap
	cmake -S . -B $(BENCH_BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DTARVIK_BUILD_BENCHMARKS=ON
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target tarvik_remote_bench
	$(BENCH_BUILD)/bin/tarvik_remote_bench $(REMOTE_ARGS)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(BENCH_BUILD)
