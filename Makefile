# The front door: every build step of the project goes through CMake from here.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all deps build test run demo sanitize sanitize-address sanitize-thread format format-check clean

all: build

# The Debian packages of the README's install line: installed when missing and run as root,
# otherwise named, and the make stops.
deps:
	@tools/deps.sh

$(BUILD_DIR)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

# Every test: unit tables, pseudo-terminal integration tests, the real binary end to end.
test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# The long reliability runs against benchsim's boards, with their figures: four boards and a
# client for SOAK_SECONDS with every report counted per key (nothing lost, memory and
# descriptors flat), a client that stops reading for STALL_SECONDS, and 100 plug cycles.
SOAK_SECONDS ?= 600
STALL_SECONDS ?= 60
.PHONY: soak
soak: build
	SOAK_SECONDS=$(SOAK_SECONDS) STALL_SECONDS=$(STALL_SECONDS) ./$(BUILD_DIR)/tests/soak

# A bench day compressed: the real benchd (capture, MQTT to a real broker, fail-safe, observers)
# on a whole simulated bench for CHAOS_SECONDS, faults injected at seeded random times
# (CHAOS_SEED; CHAOS_BOARDS boards, a second bench's beyond four), then chaoscheck reads every
# log with its own decoding and prints the table; it fails on anything lost without a word.
# The run's logs stay in $(BUILD_DIR)/chaos-run.
CHAOS_SECONDS ?= 600
CHAOS_SEED ?= 1
CHAOS_BOARDS ?= 4
.PHONY: chaos
chaos: build
	./$(BUILD_DIR)/bench/chaos/chaos --seconds $(CHAOS_SECONDS) --seed $(CHAOS_SEED) \
		--boards $(CHAOS_BOARDS) --out $(BUILD_DIR)/chaos-run
	./$(BUILD_DIR)/bench/chaos/chaoscheck $(BUILD_DIR)/chaos-run

# The daemon on the real bench: scans /dev for the boards' serial ports, serves port 2015.
run: build
	./$(BUILD_DIR)/benchd

# The bench on this machine: simulated boards on pseudo-terminals, the daemon serving them and a
# monitor showing the telemetry move. PORT (default 2015), DEMO_SECONDS (default: until Ctrl-C).
# Builds the three programs it runs and nothing else: no tests, no benchmarks.
demo: $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS) --target benchd benchsim benchctl
	tools/demo.sh $(BUILD_DIR)

# The whole suite again under AddressSanitizer with UndefinedBehaviorSanitizer, then under
# ThreadSanitizer, each in a build directory of its own.
sanitize: sanitize-address sanitize-thread

sanitize-address: deps
	cmake -S . -B $(BUILD_DIR)-asan -DCMAKE_BUILD_TYPE=Debug -DBENCHD_SANITIZE=address,undefined
	cmake --build $(BUILD_DIR)-asan -j $(JOBS)
	cd $(BUILD_DIR)-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

sanitize-thread: deps
	cmake -S . -B $(BUILD_DIR)-tsan -DCMAKE_BUILD_TYPE=Debug -DBENCHD_SANITIZE=thread
	cmake --build $(BUILD_DIR)-tsan -j $(JOBS)
	cd $(BUILD_DIR)-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
		ctest --output-on-failure -j $(JOBS)

# Figures on this machine: the daemon's latencies against pseudo-terminal boards beside a plain
# relay, its idle CPU time, its cost with the bench's size (BENCH_SCALE_SIZES boards, default
# 1,8,32,64), a fleet of 20 daemons publishing to one MQTT broker for FLEET_SECONDS, then the
# micro-benchmarks of the frame parser and the client text path.
# BENCH_BASELINE=path/to/benchd (another build, e.g. of an earlier commit): the latency run ends
# with that daemon's report -> client latency against this one's, in alternating rounds.
FLEET_SECONDS ?= 60
BENCH_BASELINE ?=
BENCH_SCALE_SIZES ?=
.PHONY: bench
bench: build
	./$(BUILD_DIR)/bench/latency $(if $(BENCH_BASELINE),--baseline $(BENCH_BASELINE)) \
		$(if $(BENCH_SCALE_SIZES),--scale-sizes $(BENCH_SCALE_SIZES))
	FLEET_SECONDS=$(FLEET_SECONDS) ./$(BUILD_DIR)/bench/fleet
	@if [ -x $(BUILD_DIR)/bench/micro ]; then ./$(BUILD_DIR)/bench/micro; \
	else echo "bench/micro not built: Google Benchmark (libbenchmark-dev) is missing"; fi

# libFuzzer targets (frame parser, client text path, report handlers), built with clang in
# $(BUILD_DIR)-fuzz and each run for FUZZ_SECONDS on a copy of its seed corpus in fuzz/corpus.
# Installs clang's libFuzzer runtime when it is missing. A crash fails the run and leaves its
# input in $(BUILD_DIR)-fuzz/fuzz-artifacts/. fuzz-smoke is the short run for CI.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 10
.PHONY: fuzz fuzz-smoke
fuzz: deps
	bash fuzz/run.sh $(BUILD_DIR)-fuzz $(FUZZ_SECONDS) $(JOBS)

fuzz-smoke: deps
	bash fuzz/run.sh $(BUILD_DIR)-fuzz $(FUZZ_SMOKE_SECONDS) $(JOBS)

# The three programs, their man pages and benchd's systemd unit under PREFIX, and the commented
# configuration file in /etc/benchd (kept when it exists), staged under DESTDIR when given.
# Nothing is enabled or started.
PREFIX ?= /usr/local
.PHONY: install uninstall package
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) --prefix "$(PREFIX)"

# Removes what the last make install installed (its list is $(BUILD_DIR)/install_manifest.txt),
# under the same DESTDIR. An edited /etc/benchd/benchd.conf stays, unless PURGE=1.
PURGE ?=
uninstall:
	DESTDIR="$(DESTDIR)" cmake -DPURGE="$(PURGE)" -P $(BUILD_DIR)/packaging/uninstall.cmake

# The Debian package of the same (under /usr), written to $(BUILD_DIR)/benchd_*.deb. Its
# scripts enable and start the service where systemd runs.
package: build
	cd $(BUILD_DIR) && cpack --config CPackConfig.cmake

# The daemon built with clang's thread-safety analysis: every field declared GUARDED_BY a mutex
# is touched only with it held, every function declared REQUIRES one only called with it held.
.PHONY: thread-safety
thread-safety: deps
	CXX=clang++ cmake -S . -B $(BUILD_DIR)-tsa -DCMAKE_BUILD_TYPE=Debug -DBENCHD_THREAD_SAFETY=ON \
		-DBENCHD_TESTS=OFF -DBENCHD_BENCH=OFF
	cmake --build $(BUILD_DIR)-tsa -j $(JOBS) --target benchd

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

format-check: deps
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR)
