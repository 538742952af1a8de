# `make test` installs what is needed (idempotently), builds, and runs every test.
# `make demo` runs the main job.
SHELL := /bin/bash
PYTHON ?= python3
JOBS ?= $(shell nproc)
APT_PACKAGES := build-essential cmake ninja-build pkg-config libfaiss-dev libopenblas-serial-dev libtbb-dev \
	nlohmann-json3-dev libtomlplusplus-dev zlib1g-dev libgtest-dev libbenchmark-dev
PIP_PACKAGES := "numpy>=2" scipy pytest pytest-benchmark scikit-build-core ninja

.PHONY: layers deps install cpp-test asan-test py-test test demo bench clean

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

py-test: install
	cd tests/python && $(PYTHON) -m pytest -q -p no:cacheprovider .

layers:
	$(PYTHON) scripts/check_layers.py

test: layers cpp-test asan-test py-test

demo: install
	$(PYTHON) examples/demo.py

bench: install
	cmake -S . -B build/bench -G Ninja -DQEL_BUILD_BENCH=ON -DQEL_BUILD_PYTHON=OFF >/dev/null
	cmake --build build/bench -j$(JOBS)
	for b in build/bench/bench_*; do [ -x $$b ] && $$b; done
	$(PYTHON) -m pytest -q -p no:cacheprovider bench/bench_optimizer.py
	$(PYTHON) bench/bench_outside_load.py

clean:
	rm -rf build
