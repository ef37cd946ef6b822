# Front door for the CMake build. Every target first makes sure the machine
# has what the build needs (scripts/bootstrap.sh).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test test-asan test-tsan bench fuzz run clean bootstrap

all: build

bootstrap:
	@bash scripts/bootstrap.sh

build: bootstrap
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: bootstrap
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_SANITIZE=asan $(CMAKE_FLAGS)
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

test-tsan: bootstrap
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVESK_SANITIZE=tsan $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS)

bench: build
	./build/bench/vesk_bench

# A short threaded run of five nodes that ends by itself after ten seconds.
run: bootstrap
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) --target vesk-sim
	./build/app/vesk-sim run-sim --duration-secs 10 --tick-ms 100 --sleep-ms 100

# libFuzzer on the script loader, the command line and the state machine,
# FUZZ_SECS seconds in all, shared between the three, each from a copy of its
# seed corpus so the tree stays clean; any crash, leak, undefined behaviour or
# broken check fails the target.
FUZZ_SECS ?= 60
FUZZ_EACH = $(shell expr \( $(FUZZ_SECS) + 2 \) / 3)
fuzz:
	@bash scripts/bootstrap.sh fuzz
	cmake -S fuzz -B build-fuzz -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 $(CMAKE_FLAGS)
	cmake --build build-fuzz -j $(JOBS)
	rm -rf build-fuzz/corpus && mkdir -p build-fuzz/corpus/script build-fuzz/corpus/cli build-fuzz/corpus/statemachine
	cp fuzz/corpus/script/* examples/*.yaml build-fuzz/corpus/script/
	cp fuzz/corpus/cli/* build-fuzz/corpus/cli/
	cp fuzz/corpus/statemachine/* build-fuzz/corpus/statemachine/
	./build-fuzz/script_fuzz -max_total_time=$(FUZZ_EACH) -timeout=10 -rss_limit_mb=512 \
		-dict=fuzz/script.dict -artifact_prefix=build-fuzz/ build-fuzz/corpus/script
	./build-fuzz/cli_fuzz -max_total_time=$(FUZZ_EACH) -timeout=10 -rss_limit_mb=2048 \
		-dict=fuzz/cli.dict -artifact_prefix=build-fuzz/ build-fuzz/corpus/cli
	./build-fuzz/statemachine_fuzz -max_total_time=$(FUZZ_EACH) -timeout=10 -rss_limit_mb=2048 \
		-artifact_prefix=build-fuzz/ build-fuzz/corpus/statemachine

clean:
	rm -rf build build-asan build-tsan build-fuzz
