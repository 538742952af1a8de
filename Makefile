# `make test` installs what is needed (idempotently), builds, and runs every test.
# `make demo` runs the main job.
SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
APT_PACKAGES := build-essential cmake ninja-build pkg-config libfaiss-dev libopenblas-serial-dev libtbb-dev \
	nlohmann-json3-dev libtomlplusplus-dev zlib1g-dev libgtest-dev libbenchmark-dev clang libclang-rt-14-dev libomp-14-dev
PIP_PACKAGES := "numpy>=2" scipy pytest pytest-benchmark scikit-build-core ninja

.PHONY: layers deps install cpp-test asan-test fuzz py-test test demo bench clean

deps:
	@missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing: $$missing"; \
		apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi
	@$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore $(PIP_PACKAGES)

install: deps
	$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore --no-build-isolation .

cpp-test: deps
	cmake -S . -B build/test -G Ninja -DQEL_BUILD_TESTS=ON -DQEL_BUILD_PYTHON=OFF -DQEL_BUILD_BENCH=ON >/dev/null
	cmake --build build/test -j$(JOBS)
	cd build/test && ctest --output-on-failure -j$(JOBS)

asan-test: deps
	cmake -S . -B build/asan -G Ninja -DQEL_BUILD_TESTS=ON -DQEL_BUILD_PYTHON=OFF -DQEL_SANITIZE=ON \
		-DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build/asan -j$(JOBS)
	cd build/asan && ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

# Each fuzz target runs FUZZ_SECONDS (10 in CI; 60 for a long run) under ASan and
# UBSan; an allocation past the limit counts as a failure like a crash does.
FUZZ_SECONDS ?= 10
fuzz: deps
	cmake -S . -B build/fuzz -G Ninja -DQEL_FUZZ=ON -DQEL_BUILD_PYTHON=OFF -DCMAKE_C_COMPILER=clang \
		-DCMAKE_CXX_COMPILER=clang++ >/dev/null
	cmake --build build/fuzz -j$(JOBS) --target fuzz_targets
	@set -e; for f in build/fuzz/fuzz/fuzz_*; do \
		name=$$(basename $$f); corpus=build/fuzz/corpus/$$name; mkdir -p $$corpus; \
		seeds=tests/fuzz/seeds/$$name; [ -d $$seeds ] || seeds=; \
		echo "fuzz: $$name for $(FUZZ_SECONDS) s"; \
		ASAN_OPTIONS=detect_leaks=1 $$f -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2048 \
			-malloc_limit_mb=1024 -print_final_stats=0 -close_fd_mask=1 \
			-artifact_prefix=build/fuzz/ $$corpus $$seeds 2>build/fuzz/$$name.log \
			|| { tail -n 60 build/fuzz/$$name.log; exit 1; }; \
	done

# The tests that run several threads on one disk store, under ThreadSanitizer.
TSAN_TESTS := *DiskConcurrency*:DiskFlush*:DiskSurrogate*
tsan-test: deps
	cmake -S . -B build/tsan -G Ninja -DQEL_BUILD_TESTS=ON -DQEL_BUILD_PYTHON=OFF -DQEL_TSAN=ON \
		-DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build build/tsan -j$(JOBS) --target qel_cpp_tests
	TSAN_OPTIONS="halt_on_error=1 suppressions=$(CURDIR)/tests/tsan/tsan.supp" \
		build/tsan/qel_cpp_tests --gtest_filter='$(TSAN_TESTS)'

py-test: install
	cd tests/python && $(PYTHON) -m pytest -q -p no:cacheprovider .

layers:
	$(PYTHON) scripts/check_layers.py

test: layers cpp-test asan-test tsan-test fuzz py-test

demo: install
	@$(PYTHON) -m pip install -q --disable-pip-version-check --root-user-action=ignore matplotlib
	$(PYTHON) examples/demo.py

bench: install
	cmake -S . -B build/bench -G Ninja -DQEL_BUILD_BENCH=ON -DQEL_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/bench -j$(JOBS)
	for b in build/bench/bench_*; do [ -x $$b ] && $$b; done
	$(PYTHON) -m pytest -q -p no:cacheprovider bench/bench_optimizer.py
	$(PYTHON) bench/crash_bench.py
	$(PYTHON) bench/bench_outside_load.py

clean:
	rm -rf build
