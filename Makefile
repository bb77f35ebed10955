# The two commands of the README. Both install what they need first.
BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
JOBS ?= $(shell nproc)
# The concurrency tests, also run under ThreadSanitizer. (The thread-count
# check is left out there: the sanitizer runs a thread of its own.)
TSAN_TESTS ?= PlatformSync|PlatformMapping|PlatformRegistry|JobDispatcher|JobNotifications|JobActivity|JobCmdQueue|JobBase|JobManager|ScheduleManager|Options|PlatformMutex|GlobalKey|PasswordStore|CookieStore
TSAN_EXCLUDE ?= ClosedHandleLeavesThreadRunning
TSAN_TESTS := $(TSAN_TESTS)|HttpClientConnections

.PHONY: setup build build-tsan test run clean

setup:
	@bash tools/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVEL_SANITIZE=ON >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
	  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target platform_tests job_tests

test: build build-tsan
	@cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 300
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tools/tsan.supp \
	  ctest -j $(JOBS) --output-on-failure --timeout 300 -R '$(TSAN_TESTS)' -E '$(TSAN_EXCLUDE)'

run:
	@echo "The agent cannot be run yet: the service host has not been built."

clean:
	rm -rf build
