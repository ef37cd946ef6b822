# Front door for the CMake build. Every target first makes sure the machine
# has what the build needs (scripts/bootstrap.sh).
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all build test test-asan test-tsan bench clean bootstrap

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

clean:
	rm -rf build build-asan build-tsan
