# Thin wrapper over CMake. `make demo` and `make test` work on a fresh Debian 12 machine as root.
BUILD ?= build
JOBS ?= 2
CMAKE_FLAGS ?=

.PHONY: all deps configure build demo test asan tsan install clean bench

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The demo needs the two libraries and the command only: no test suite, benchmark or test package.
demo:
	@scripts/install-deps.sh --demo
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS) --target znfssnap
	$(BUILD)/tools/znfssnap/znfssnap demo

# A build that found no GoogleTest has no suites: that fails here rather than passing empty.
test: build
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS)
	@scripts/run-extra-tests.sh $(BUILD)

asan: deps
	cmake --preset asan && cmake --build --preset asan -j $(JOBS) && ctest --preset asan

tsan: deps
	cmake --preset tsan && cmake --build --preset tsan -j $(JOBS) && ctest --preset tsan

install: build
	cmake --install $(BUILD)

bench: build
	bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz build-thread-safety
