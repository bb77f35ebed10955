# The two commands of the README. Both install what they need first.
BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
FUZZ_BUILD ?= build/fuzz
# Seconds that each fuzz target runs in the test command.
FUZZ_SECONDS ?= 6
FUZZ_TARGETS := response_head chunked_body json source_list data_heads
JOBS ?= $(shell nproc)
# The sanitised builds use clang: it compiles them in about half the time
# that gcc takes.
CLANG := -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
# ccache keeps the objects of earlier builds (other checkouts' too): a clean
# checkout then builds in a fraction of the time.
CLANG += $(if $(shell command -v ccache),-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
export CCACHE_BASEDIR ?= $(CURDIR)
export CCACHE_NOHASHDIR ?= 1
export CCACHE_MAXSIZE ?= 20G
# The concurrency tests, also run under ThreadSanitizer. (The thread-count
# check is left out there: the sanitizer runs a thread of its own.)
TSAN_TESTS ?= PlatformSync|PlatformMapping|PlatformRegistry|JobDispatcher|JobNotifications|JobActivity|JobCmdQueue|JobBase|JobManager|ScheduleManager|Options|PlatformMutex|GlobalKey|PasswordStore|CookieStore
# The curl scenarios run whole programs and are left to the AddressSanitizer run.
TSAN_EXCLUDE ?= ClosedHandleLeavesThreadRunning|Scenario
TSAN_TESTS := $(TSAN_TESTS)|HttpClientConnections|PlatformWinHttp|JobNotifyClient|PlatformProcess|UpdateSchedule|ExclusionListFile
# Job runs: both kinds of job with their offline and web storages, through
# pauses and resumptions (the heaviest end-to-end and kill sweeps run under
# AddressSanitizer only, to keep the run's time down). The paused backups
# hold a file over 1 MiB, deflated in pieces on the pool; the paused offline
# restores stream large files ahead on theirs.
TSAN_TESTS := $(TSAN_TESTS)|AheadPool|TransformationPieces|TransformationAhead|BackupJobRun|RestoreJobRun|LocalBackupStorage|LocalRestore|WebBackupStorage|WebRestoreRun|WebRestoreResume|WebRestoreStart|BackupEndToEndOffline\.Uncompressed|BackupEndToEndOffline\.ManyLargeFiles|BackupEndToEndOnline|RestoreEndToEndOffline|RestoreResumePause|BackupResumePause\.AWebRun|BackupResumePause\.AnOfflineRun|BackupResumeFaults\.ALostEndJob
# Named events across processes; the window core's queues and timers.
TSAN_TESTS := $(TSAN_TESTS)|PlatformNamedEvent|PlatformWindow|PlatformAtlWindow
TSAN_TESTS := $(TSAN_TESTS)|PlatformService
TSAN_TESTS := $(TSAN_TESTS)|WebServer|Portvane|WebEndToEnd|JobNotifyStream|JobNotifyLive
# The service host's runs, in real processes.
TSAN_TESTS := $(TSAN_TESTS)|ConsoleRun|LoggerSetup|StarterService|HiddenWindow|SpawnServerThread|MakeRun|CommandLine|ServerOptions|LogServerMessage|DataFilePath
# The tray's singletons and its job list under events at full speed.
TSAN_TESTS := $(TSAN_TESTS)|TraySingleton|TrayJobList\.
# The headless desktop: windows, input, drawing and the shell.
TSAN_TESTS := $(TSAN_TESTS)|PlatformGui|PlatformGdi|PlatformDesktop|PlatformResources
# The desktop across processes: broadcasts, the hooks' socket.
TSAN_TESTS := $(TSAN_TESTS)|PlatformCrossProcess
# The tray's notification icon, and its controller under streamed job events.
TSAN_TESTS := $(TSAN_TESTS)|TrayIcons|TrayController
# The tray's main window with its exit watcher.
TSAN_TESTS := $(TSAN_TESTS)|TrayMainDialog
# Job cards told of events streaming while they come and go.
TSAN_TESTS := $(TSAN_TESTS)|TrayPaneEvents

.PHONY: setup build build-tsan build-fuzz fuzz test power-sweep bench-increment run clean

setup:
	@bash tools/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVEL_SANITIZE=ON $(CLANG) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

build-tsan: setup
	@cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(CLANG) \
	  -DCMAKE_CXX_FLAGS="-fsanitize=thread -O1" -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
	  -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread >/dev/null
	@cmake --build $(TSAN_BUILD) -j $(JOBS) --target \
	  platform_tests job_tests webserver_tests portvane_tests portvane_web_tests starter_tests \
	  tray_tests tray_app_tests tray_controller_tests platform_gui_tests platform_xproc_tests tray_pane_tests

# The fuzz targets, with clang, libFuzzer and the sanitizers; unoptimised, as
# they build much faster so, and the test command runs each for seconds only.
build-fuzz: setup
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug $(CLANG) \
	  -DTOVEL_SANITIZE=ON -DTOVEL_FUZZ=ON -DTOVEL_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))

# Runs each fuzz target for FUZZ_SECONDS, all at once, on the seeds in
# tools/fuzz/corpus and on what earlier runs found (kept in the build folder),
# with the target's dictionary tools/fuzz/<target>.dict (http.dict when it has
# none). A crashing input is left in $(FUZZ_BUILD)/artifacts.
fuzz: build-fuzz
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  dict=tools/fuzz/$$t.dict; [ -f $$dict ] || dict=tools/fuzz/http.dict; \
	  { $(FUZZ_BUILD)/tools/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	      -dict=$$dict -artifact_prefix=$(abspath $(FUZZ_BUILD))/artifacts/ \
	      $(FUZZ_BUILD)/corpus/$$t tools/fuzz/corpus/$$t >$(FUZZ_BUILD)/$$t.log 2>&1; \
	    echo $$? >$(FUZZ_BUILD)/$$t.status; } & \
	done; wait; \
	status=0; for t in $(FUZZ_TARGETS); do \
	  if [ "$$(cat $(FUZZ_BUILD)/$$t.status)" = 0 ]; then \
	    echo "fuzz $$t: $$(grep -o 'Done [0-9]* runs' $(FUZZ_BUILD)/$$t.log), no crash"; \
	  else \
	    tail -n 60 $(FUZZ_BUILD)/$$t.log; echo "fuzz $$t: crashed (see $(FUZZ_BUILD)/artifacts)"; status=1; \
	  fi; \
	done; exit $$status

test: build build-tsan fuzz
	@cd $(BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest -j $(JOBS) --output-on-failure --timeout 300; status=$$?; \
	  awk '/^\[ RUN      \]/ { name = $$4 } /: Skipped$$/ { getline why; print "skipped " name ": " why }' \
	    Testing/Temporary/LastTest.log; exit $$status
	@cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tools/tsan.supp \
	  ctest -j $(JOBS) --output-on-failure --timeout 300 -R '$(TSAN_TESTS)' -E '$(TSAN_EXCLUDE)'

# A first backup of 150 000 empty files with long names to the simulator,
# whose increment check answers about 18 MB of paths, in a Release build
# (build/release-tests): prints the run's time and the peak memory growth of
# the run and of the walk alone.
bench-increment: setup
	@cmake -S . -B build/release-tests -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build/release-tests -j $(JOBS) --target job_tests
	@cd build/release-tests && TOVEL_SOURCE_DIR=$(CURDIR) TOVEL_BIG_TREE_FILES=150000 \
	  ./job/tests/job_tests --gtest_filter='IncrementCheckBigTree.*'

# The power-cut sweeps of job/tests/fault_sweep_test.cpp (longer than the
# kill sweeps that run with the tests), each in a process of its own, and the
# sweeps of a restore elsewhere.
# Their whole output is kept in $(BUILD)/power-sweep.log.
power-sweep: build
	@cd $(BUILD) && TOVEL_POWER_SWEEP=1 ASAN_OPTIONS=detect_leaks=1 \
	  ctest -j 3 -V -R 'FaultSweep\..*(PowerCut|Elsewhere)' >power-sweep.log 2>&1; status=$$?; \
	  grep -E '\[ sweep|Test +#|tests passed' power-sweep.log; exit $$status

# The agent in the console against the remote-service simulator, on the
# machine TOVEL_ROOT names (build/run-root when unset); see tools/run_agent.py.
run: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOVEL_SANITIZE=ON $(CLANG) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target starter portvane
	@python3 tools/run_agent.py --program $(BUILD)/bin/starter --conf mongoose.conf

clean:
	rm -rf build
