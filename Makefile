# The two commands of the README, and the builds behind them.
#   make test   bootstrap, build, run every test; then the same under ASan+UBSan
#   make demo   show what exists today, inside a simulated machine (qosim run)
# Other targets: build, test-asan, test-tsan, fuzz, bench, package, clean.

JOBS        ?= $(shell nproc)
CMAKE_GEN   := -G Ninja
BUILD       := build
BUILD_ASAN  := build-asan
BUILD_TSAN  := build-tsan
BUILD_FUZZ  := build-fuzz
BUILD_BENCH := build-bench
FUZZ_SECONDS ?= 30

.PHONY: all bootstrap build test test-release test-asan test-tsan fuzz bench package demo clean

all: build

bootstrap:
	@./scripts/bootstrap

$(BUILD)/build.ninja: | bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: bootstrap $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test-release: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: bootstrap
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQO_SANITIZE=address,undefined
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

test-tsan: bootstrap
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DQO_SANITIZE=thread
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) -L 'unit|e2e|stress'

test: test-release test-asan

fuzz: bootstrap
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DQO_FUZZ=ON -DQO_SANITIZE=address,undefined
	cmake --build $(BUILD_FUZZ) -j $(JOBS)
	./scripts/run-fuzz $(BUILD_FUZZ)/fuzz $(FUZZ_SECONDS)

bench: bootstrap
	cmake -S . -B $(BUILD_BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release -DQO_BENCH=ON
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target qo_bench qo_sim_bench qosim
	$(BUILD_BENCH)/bench/qo_bench --benchmark_min_time=0.5
	$(BUILD_BENCH)/sim/qosim run -- $(BUILD_BENCH)/bench/qo_sim_bench

# The Debian packages (build/*.deb), lintian on them (errors fail the target), then a host
# project outside the tree built against the packages unpacked into a scratch root.
package: build
	rm -f $(BUILD)/*.deb
	cd $(BUILD) && cpack -G DEB
	lintian --fail-on error $(BUILD)/*.deb
	tests/packaging/test_install.sh $(BUILD) . $(BUILD)/*.deb

# Inside a simulated machine (needs root and /dev/fuse): what the simulated driver publishes, the
# boards plugged, then the reference configuration host and the reference routing host loading
# the library.
demo: build
	$(BUILD)/sim/qosim run -- sh -c '\
	  set -e; \
	  echo "== /proc/driver/qo and /dev/qo, as the simulated driver publishes them"; \
	  ls -R /proc/driver/qo /dev/qo; \
	  echo; echo "== boards plugged (qosim ctl list)"; \
	  $(BUILD)/sim/qosim ctl list; \
	  echo; echo "== driver calls through the generated proxies (qo-drvcall): temperature, firmware version, topography"; \
	  $(BUILD)/tools/qo-drvcall qovorlix0 op0405 1=0; \
	  $(BUILD)/tools/qo-drvcall qovorlix0 op0701; \
	  $(BUILD)/tools/qo-drvcall qovorlix1 getTopographyName 2=128; \
	  echo; echo "== what the simulated driver received: raw and decoded requests (qosim ctl log)"; \
	  $(BUILD)/sim/qosim ctl log; \
	  echo; echo "== the library loaded as a host loads it (qovorlix-syscfg probe)"; \
	  $(BUILD)/tools/qovorlix-syscfg/qovorlix-syscfg --library $(BUILD)/libqovorlixatomicsae.so probe; \
	  echo; echo "== the configuration face: the boards, the property bag of one board, a refresh, a diagnostic, a firmware update (qovorlix-syscfg boards)"; \
	  $(BUILD)/tools/qovorlix-syscfg/qovorlix-syscfg --library $(BUILD)/libqovorlixatomicsae.so boards KEL0; \
	  echo; echo "== a routing host (qovorlix-route probe): session on qovorlix1, terminals, a route, a demotion"; \
	  $(BUILD)/tools/qovorlix-route/qovorlix-route --library $(BUILD)/libqovorlixatomicsae.so probe \
	    --device qovorlix1 --from Front0 --to fpgain3 \
	    --demote "$(BUILD)/sim/qosim ctl demote device=qovorlix1 ticket={ticket} >/dev/null"'

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_FUZZ) $(BUILD_BENCH)
