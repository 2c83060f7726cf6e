# Entry points: `make demo` (try korvalite against the simulated camera, or a real one with IP=...)
# and `make test` (the gate CI runs). Both install what is missing first.

PYTHON ?= python3
JOBS ?= $(shell nproc)
BUILD_DIR ?= build/cpp
DEB_PACKAGES := g++ cmake ninja-build libpugixml-dev zlib1g-dev libgtest-dev libbenchmark-dev iproute2
PY_PACKAGES := scikit-build-core nanobind pytest pytest-timeout numpy mypy tifffile aiohttp pillow selenium
# Sanitizer and fuzz builds: GCC's sanitizer runtimes; clang 19 for libFuzzer (clang 14 and 16
# from Debian cannot compile the standard library's std::expected).
SAN_DEB_PACKAGES := libasan8 libubsan1 libtsan2
FUZZ_DEB_PACKAGES := clang-19 libclang-rt-19-dev
FUZZ_CXX ?= clang++-19
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
ASAN_DIR ?= build/asan
TSAN_DIR ?= build/tsan
FUZZ_DIR ?= build/fuzz
FUZZ_SMOKE_DIR ?= build/fuzz-smoke

.PHONY: all deps deps-apt deps-pip deps-interop deps-browser test-layers build-cpp install-py test test-cpp test-py demo bench clean \
	test-asan test-tsan fuzz

all: install-py

deps: deps-apt deps-pip

# Debian packages: install only those not yet present (dpkg-query), updating the lists once.
deps-apt:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Debian packages:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# Python packages: install only those pip does not already know.
deps-pip:
	@missing=""; for p in $(PY_PACKAGES); do \
	  $(PYTHON) -m pip show -q $$p >/dev/null 2>&1 || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing Python packages:$$missing"; \
	  $(PYTHON) -m pip install -q $$missing; \
	fi

build-cpp: deps
	cmake -S . -B $(BUILD_DIR) -G Ninja -DKORVALITE_TESTS=ON -DKORVALITE_BENCH=ON -DKORVALITE_PYTHON=OFF
	cmake --build $(BUILD_DIR) -j $(JOBS)

install-py: deps
	$(PYTHON) -m pip install -q --no-build-isolation .

# An independent GigE Vision device and client tools for the interoperability suite
# (tests/python/test_interop_aravis.py); the suite skips, saying why, when they cannot be installed.
INTEROP_DEB_PACKAGES := aravis-tools aravis-tools-cli
deps-interop:
	@$(MAKE) --no-print-directory deps-apt DEB_PACKAGES="$(INTEROP_DEB_PACKAGES)" || \
	  echo "aravis-tools could not be installed: the interoperability suite will be skipped"

# Headless Chromium and its WebDriver for the viewer's browser tests (tests/python/test_viewer.py);
# those tests skip, saying why, when they cannot be installed.
BROWSER_DEB_PACKAGES := chromium chromium-driver
deps-browser:
	@$(MAKE) --no-print-directory deps-apt DEB_PACKAGES="$(BROWSER_DEB_PACKAGES)" || \
	  echo "chromium could not be installed: the viewer's browser tests will be skipped"

test-cpp: build-cpp
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-py: install-py deps-interop deps-browser
	cd tests/python && $(PYTHON) -m pytest -q -p no:cacheprovider .

test: test-layers test-cpp test-py test-asan fuzz-smoke

# The core's include graph follows its layering (docs/architecture.md).
test-layers:
	$(PYTHON) tools/check_layers.py

# The captured PNG goes to DEMO_OUT (the demo prints its full path).
DEMO_OUT ?= build/demo
demo: install-py
	$(PYTHON) -m korvalite demo --out $(DEMO_OUT) $(if $(IP),--ip $(IP),)

bench: build-cpp install-py
	$(PYTHON) bench/run.py --build-dir $(BUILD_DIR)

# Sanitizer runs of the C++ tests (and a replay of the fuzz seeds), each in its own build.
# A request for more memory than the allocator can give returns null, as it does without the
# sanitizer, so the tests of that refusal run too.
test-asan: deps-apt
	@$(MAKE) --no-print-directory deps-apt DEB_PACKAGES="$(SAN_DEB_PACKAGES)"
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALITE_SANITIZE=address,undefined \
	  -DKORVALITE_TESTS=ON -DKORVALITE_PYTHON=OFF
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

test-tsan: deps-apt
	@$(MAKE) --no-print-directory deps-apt DEB_PACKAGES="$(SAN_DEB_PACKAGES)"
	cmake -S . -B $(TSAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKORVALITE_SANITIZE=thread \
	  -DKORVALITE_TESTS=ON -DKORVALITE_PYTHON=OFF
	cmake --build $(TSAN_DIR) -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:allocator_may_return_null=1 ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS)

# Every libFuzzer harness in fuzz/ for FUZZ_SECONDS each, one at a time; fails on any finding.
fuzz: deps-apt
	@$(MAKE) --no-print-directory deps-apt DEB_PACKAGES="$(FUZZ_DEB_PACKAGES)"
	cmake -S . -B $(FUZZ_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	  -DKORVALITE_FUZZ=ON -DKORVALITE_PYTHON=OFF
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	fuzz/run.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# The gate's short run: every harness for FUZZ_SMOKE_SECONDS (its seeds replay within the first
# second), so a harness whose checks no longer match the code fails the gate. A quicker build than
# `make fuzz` (-O1, no debug information), still libFuzzer with ASan and UBSan; replay a finding
# in the `make fuzz` build for file and line numbers.
.PHONY: fuzz-smoke
fuzz-smoke: deps-apt
	@$(MAKE) --no-print-directory deps-apt DEB_PACKAGES="$(FUZZ_DEB_PACKAGES)"
	cmake -S . -B $(FUZZ_SMOKE_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKORVALITE_FUZZ=ON -DKORVALITE_PYTHON=OFF
	cmake --build $(FUZZ_SMOKE_DIR) -j $(JOBS)
	fuzz/run.sh $(FUZZ_SMOKE_DIR) $(FUZZ_SMOKE_SECONDS)

clean:
	rm -rf build
