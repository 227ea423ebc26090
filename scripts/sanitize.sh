#!/usr/bin/env bash
# Engine tests and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer.
# The extension module is built with the sanitizers into build/asan and staged with the
# package's Python files in build/asan/stage, which the Python tests then import instead of
# the installed package; the ASan runtime is preloaded into the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=build/asan
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DBRANTLE_SANITIZE=ON -DBRANTLE_TESTS=ON -DBRANTLE_MODULE=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$build" -j"$(nproc)"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ASAN_OPTIONS=detect_leaks=1 .venv/bin/ctest --test-dir "$build" --output-on-failure -j"$(nproc)"

stage=$build/stage
rm -rf "$stage" && mkdir -p "$stage/brantle"
cp -r python/brantle/. "$stage/brantle/"
rm -f "$stage"/brantle/_brantle*.so
cp "$build"/_brantle*.so "$stage/brantle/"
# The interpreter itself is not built with ASan and keeps memory until exit: leak checking
# would report the interpreter, so only memory errors and undefined behaviour fail this run.
cd tests/python
LD_PRELOAD=$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so) \
ASAN_OPTIONS=detect_leaks=0 PYTHONPATH="$root/$stage" \
    "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider
