#!/usr/bin/env bash
# Builds the engine tests and the extension module with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the C++ tests and the whole pytest suite
# against that build. The interpreter is not instrumented: the ASan runtime is
# preloaded and Python's own allocator is replaced by malloc so that ASan sees
# every allocation.
#
#   bash tools/sanitize.sh PYTHON WORKDIR
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
python="$1"
mkdir -p "$2"
work="$(cd "$2" && pwd)"  # the tests run from inside it
jobs="$(nproc 2>/dev/null || echo 2)"
env="$work/venv-asan"
build="$work/asan"

rm -rf "$env"
"$python" -m venv "$env"
"$env/bin/python" -m pip install -q --upgrade pip
"$env/bin/python" -m pip install -q "numpy>=2" pytest hypothesis scikit-image Pillow tqdm matplotlib

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMORA_SANITIZE=ON -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_MODULE=ON \
  -DPython_EXECUTABLE="$env/bin/python" >/dev/null
cmake --build "$build" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:abort_on_error=0:halt_on_error=1:malloc_context_size=2"
export LSAN_OPTIONS="suppressions=$root/tools/lsan.supp:print_suppressions=0:use_tls=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

ctest --test-dir "$build" --output-on-failure -j "$jobs"

# The modules as a wheel lays them out: velmora_core beside the velmora
# package, velmora._native inside it.
stage="$work/asan-site"
rm -rf "$stage"
mkdir -p "$stage"
cp -r "$root/python/velmora" "$stage/velmora"
ln -s "$build"/velmora_core.*.so "$stage/"
ln -s "$build"/velmora/_native.*.so "$stage/velmora/"

# The C++ runtime is preloaded too: the ASan runtime can only intercept
# exceptions thrown by the module if libstdc++ is there when it starts.
preload="$(${CXX:-c++} -print-file-name=libasan.so) $(${CXX:-c++} -print-file-name=libstdc++.so)"
(
  cd "$work"
  LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
  PYTHONPATH="$stage" VELMORA_UNDER_SANITIZER=1 \
    "$env/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python"
)
