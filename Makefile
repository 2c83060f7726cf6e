# Entry points: `make demo` (try korvalite against the simulated camera, or a real one with IP=...)
# and `make test` (the gate CI runs). Both install what is missing first.

PYTHON ?= python3
JOBS ?= $(shell nproc)
BUILD_DIR ?= build/cpp
DEB_PACKAGES := g++ cmake ninja-build libpugixml-dev zlib1g-dev libgtest-dev libbenchmark-dev iproute2
PY_PACKAGES := scikit-build-core nanobind pytest numpy

.PHONY: all deps deps-apt deps-pip build-cpp install-py test test-cpp test-py demo bench clean

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

test-cpp: build-cpp
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

test-py: install-py
	cd tests/python && $(PYTHON) -m pytest -q -p no:cacheprovider .

test: test-cpp test-py

demo: install-py
	$(PYTHON) -m korvalite demo $(if $(IP),--ip $(IP),)

bench: build-cpp install-py
	$(PYTHON) bench/run.py --build-dir $(BUILD_DIR)

clean:
	rm -rf build
