# Thin wrapper over CMake. `make run` builds and runs the bundled example;
# `make test` builds and runs every test (plain Release build).
BUILD ?= build
SAN_BUILD ?= build-san
TSAN_BUILD ?= build-tsan
JOBS ?= $(shell nproc)

.PHONY: deps build run test test-sanitize test-tsan bench clean

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
test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILVAR_TSAN=ON
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	TSAN_OPTIONS="second_deadlock_stack=1 $(TSAN_OPTIONS)" \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS)

bench:
	bash scripts/install-deps.sh --bench
	bash bench/run

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(TSAN_BUILD) build-bench out
