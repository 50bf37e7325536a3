# Thin wrapper over CMake. `make run` builds and runs the bundled example;
# `make test` builds and runs every test (plain Release build).
BUILD ?= build
SAN_BUILD ?= build-san
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: deps build run test test-sanitize test-tsan test-threads bench clean

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	mkdir -p out
	$(BUILD)/bin/quilvar examples/mortality.qv --html out/report.html --csv out --json out/report.json

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUILVAR_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j $(JOBS)
	ctest --test-dir $(SAN_BUILD) --output-on-failure -j $(JOBS)

# ThreadSanitizer, for data races between the delivery, file writer and
# split-pass threads; optimised, since the checks slow the tests severalfold.
TSAN_CONFIGURE = cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVAR_TSAN=ON
TSAN_CTEST = TSAN_OPTIONS="second_deadlock_stack=1 $(TSAN_OPTIONS)" ctest --output-on-failure -j $(JOBS)
test-tsan: deps
	$(TSAN_CONFIGURE)
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	$(TSAN_CTEST) --test-dir $(TSAN_BUILD)

# The same for the test programs that run the runtime's threads (the
# quilvar program end to end, data sets, output), as CI runs it.
TSAN_TEST_DIRS = cli datasets output
test-threads: deps
	$(TSAN_CONFIGURE)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target quilvar_cli \
	  $(foreach d,$(TSAN_TEST_DIRS),$(d)_tests) worker_threads_tests report_browser_tests \
	  memory_failure_tests
	for d in $(TSAN_TEST_DIRS); do $(TSAN_CTEST) --test-dir $(TSAN_BUILD)/tests/runtime/$$d || exit 1; done

bench:
	bash scripts/install-deps.sh --bench
	bash bench/run

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) build-bench out
