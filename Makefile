# Entry points for building, testing and running kro. Every target installs what it needs first.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30
CMAKE_FLAGS ?=

.PHONY: deps build test test-sanitize test-tsan bench fuzz run clean

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRO_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DKRO_SANITIZE=ON -DKRO_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-sanitize -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir build-sanitize --output-on-failure -j $(JOBS)

test-tsan: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRO_TSAN=ON -DKRO_WERROR=ON $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target kro_base_tests kro_store_tests kro_gen_tests kro_verify_tests
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '^(Cases/)?(Store|Verify|Parallel|Channel|ThreadScope|WindowedDispenser|OrderedCollector|LowestError)'

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKRO_BENCH=ON -DKRO_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build build-bench -j $(JOBS)
	bench/run build-bench

fuzz: deps
	CC=clang-19 CXX=clang++-19 cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRO_FUZZ=ON $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	scripts/run-fuzz build-fuzz $(FUZZ_SECONDS)

run: build
	scripts/run-demo build/kro

clean:
	rm -rf build build-sanitize build-tsan build-bench build-fuzz
