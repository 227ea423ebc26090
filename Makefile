# Every target bootstraps what it needs (Debian packages, .venv) and is quick when nothing changed.
#   make demo      simulate the bundled example scenario
#   make test      build everything and run every test (C++ and Python)
#   make bench     build and run the benchmarks under bench/
#   make sanitize  engine and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer
PY      := .venv/bin/python
CMAKE   := .venv/bin/cmake
CTEST   := .venv/bin/ctest
JOBS    ?= $(shell nproc)
PYBUILD := build/py

.PHONY: setup build demo test test-cpp test-python bench sanitize clean

setup:
	@scripts/bootstrap.sh

# Builds and installs the package into .venv (incrementally, in $(PYBUILD)), together with the
# engine's C++ test executables.
build: setup
	@$(PY) -m pip install --quiet --no-build-isolation --no-deps \
	    -C build-dir=$(PYBUILD) -C cmake.define.BRANTLE_TESTS=ON \
	    -C build.tool-args=-j$(JOBS) .

demo: build
	@.venv/bin/brantle demo

test: build
	@$(CTEST) --test-dir $(PYBUILD) --output-on-failure -j$(JOBS)
	@cd tests/python && ../../$(PY) -m pytest -q

# The station-run benchmark reads the bundled example through the installed package's loader
# (hence `build`), exported to plain text beside the benchmark executables.
bench: build
	@$(CMAKE) -S . -B build/bench -G Ninja -DBRANTLE_MODULE=OFF -DBRANTLE_BENCH=ON >/dev/null
	@$(CMAKE) --build build/bench -j$(JOBS)
	@$(PY) bench/export_scenario.py build/bench/bench/example_scenario.txt
	@for b in build/bench/bench/bench_*; do if [ -x "$$b" ]; then "$$b" || exit 1; fi; done
	@for b in bench/bench_*.py; do $(PY) "$$b" || exit 1; done

sanitize: setup
	@scripts/sanitize.sh

clean:
	rm -rf build
