# The two commands of the README, and the builds behind them.
#   make test   bootstrap, build, run every test; then the same under ASan+UBSan
#   make demo   the tour of both reference hosts, inside a simulated machine (qosim run)
# Other targets: build, test-asan, test-tsan, tidy, fuzz, bench, soak, package, clean.

JOBS        ?= $(shell nproc)
CMAKE_GEN   := -G Ninja
BUILD       := build
BUILD_ASAN  := build-asan
BUILD_TSAN  := build-tsan
BUILD_FUZZ  := build-fuzz
BUILD_BENCH := build-bench
BENCH_RESULTS := $(BUILD_BENCH)/results
FUZZ_SECONDS ?= 30
# ON in CI (.ci/run): every compiler warning fails the build.
QO_WERROR   ?= OFF
CMAKE_OPTS  := -DQO_WERROR=$(QO_WERROR)

.PHONY: all bootstrap build test test-release test-asan test-tsan tidy fuzz bench soak package demo clean

all: build

bootstrap:
	@./scripts/bootstrap

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_GEN) $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: bootstrap
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=Debug \
	  -DQO_SANITIZE=address,undefined
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan: bootstrap
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=Debug -DQO_SANITIZE=thread
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L 'unit|e2e|stress'

test: test-release test-asan

# clang-tidy (.clang-tidy: functions at most 60 lines) over the library, the simulated machine, the
# platform stand-ins and the hosts, as the Release tree compiles them.
tidy: build
	./scripts/run-tidy $(BUILD) $(JOBS)

# Every libFuzzer target for FUZZ_SECONDS each (scripts/run-fuzz); FUZZ_MERGE=1 merges new finds
# into fuzz/corpus/, FUZZ_TARGETS="fuzz_a fuzz_b" runs only those.
fuzz: bootstrap
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) $(CMAKE_OPTS) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQO_FUZZ=ON -DQO_SANITIZE=address,undefined
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	./scripts/run-fuzz $(BUILD_FUZZ)/fuzz $(FUZZ_SECONDS)

# Every benchmark (the simulated-machine ones in the default chassis, the growth series in an
# empty machine), the system calls per host operation, then bench/REPORT.md and its plots. A
# benchmark that cannot measure fails the target, after the report is written.
bench: bootstrap
	cmake -S . -B $(BUILD_BENCH) $(CMAKE_GEN) $(CMAKE_OPTS) -DCMAKE_BUILD_TYPE=Release -DQO_BENCH=ON
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target qo_bench qo_sim_bench qo_syscall_probe qosim
	rm -rf $(BENCH_RESULTS) && mkdir -p $(BENCH_RESULTS)
	rc=0; \
	$(BUILD_BENCH)/bench/qo_bench --benchmark_min_time=0.5 \
	  --benchmark_out=$(BENCH_RESULTS)/qo_bench.json || rc=1; \
	$(BUILD_BENCH)/sim/qosim run -- $(BUILD_BENCH)/bench/qo_sim_bench --benchmark_filter=-Scaling \
	  --benchmark_out=$(BENCH_RESULTS)/qo_sim_bench.json || rc=1; \
	$(BUILD_BENCH)/sim/qosim run --boards bench/sim/empty-machine.json -- \
	  $(BUILD_BENCH)/bench/qo_sim_bench --benchmark_filter=Scaling \
	  --benchmark_out=$(BENCH_RESULTS)/scaling.json || rc=1; \
	$(BUILD_BENCH)/sim/qosim run -- scripts/bench-syscalls $(BUILD_BENCH) \
	  $(BENCH_RESULTS)/syscalls.json || rc=1; \
	scripts/bench-report --build $(BUILD_BENCH) --results $(BENCH_RESULTS) --out bench/REPORT.md \
	  || rc=1; \
	exit $$rc

# Not in CI: the hotplug storm with 1000 cycles, then SOAK_MINUTES (30) of mixed load on the
# default simulated machine, sampled every 10 s into build/soak/soak.csv and drawn into
# build/soak/soak.png; fails when descriptors, threads or RSS grow past the bounds stated in
# scripts/soak (the 5-minute floors of descriptors and threads at most +4 / +1 over the first
# minute's lowest, no sample more than +10 / +3 over its highest, RSS at most +4 MiB and 1 KiB
# per board plugged).
SOAK_MINUTES ?= 30
soak: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target qo_stress_tests qosim
	SOAK_MINUTES=$(SOAK_MINUTES) ./scripts/soak $(BUILD)

# The Debian packages (build/*.deb), lintian on them (errors fail the target), then a host
# project outside the tree built against the packages unpacked into a scratch root.
package: build
	rm -f $(BUILD)/*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/*.deb
	tests/packaging/test_install.sh $(BUILD) . $(BUILD)/*.deb

# The tour (scripts/demo-tour) inside the default simulated machine (needs root and /dev/fuse):
# both reference hosts list, show, refresh, diagnose and update boards, follow a board plugged and
# pulled, and calculate, program, draw and lose a route.
demo: build
	$(BUILD)/sim/qosim run -- scripts/demo-tour $(BUILD)

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) $(BUILD_BENCH)
