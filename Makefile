# The two commands of the README. Both install what they need first.
BUILD ?= build/asan
JOBS ?= $(shell nproc)

.PHONY: setup build test run clean

setup:
	@bash tools/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVEL_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 300

run:
	@echo "The agent cannot be run yet: the service host has not been built."

clean:
	rm -rf build
