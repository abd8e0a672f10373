#!/usr/bin/env bash
# Builds the engine benchmarks with the module's compiler flags and runs them,
# then the Python-level benchmark against the installed module.
#
#   bash tools/bench.sh [python]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/bench"
python="${1:-python3}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_BENCH=ON >/dev/null
cmake --build "$build"
echo "== quadtree against one sequential Welford pass"; "$build/bench_quadtree"
echo; echo "== colony search phases"; "$build/bench_colony"
echo; echo "== pipeline against its phases"; "$build/bench_pipeline"
echo; echo "== from Python"; "$python" "$root/bench/bench_module.py"
