#!/usr/bin/env bash
# Installs what the tests need and runs all of them: the engine's GoogleTest
# suite through CTest, then the Python suite against a wheel built and
# installed in a fresh virtual environment per supported interpreter.
#
#   bash tools/run-tests.sh            # everything
#   VELMORA_PYTHONS="3.13" bash tools/run-tests.sh   # a subset of the matrix
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${VELMORA_TEST_DIR:-$root/build/test}"
jobs="$(nproc 2>/dev/null || echo 2)"
mkdir -p "$work"

step() { printf '\n==> %s\n' "$*"; }
elapsed() { printf '    (%ss)\n' "$SECONDS"; SECONDS=0; }
SECONDS=0

# --- system packages ---------------------------------------------------------
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
if [ "${#need[@]}" -gt 0 ]; then
  step "installing ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}" >/dev/null 2>&1 ||
    { "${sudo_cmd[@]}" apt-get update -q >/dev/null && "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}" >/dev/null; }
  elapsed
fi

# --- engine unit tests ---------------------------------------------------------
step "engine: GoogleTest through CTest"
cmake -S "$root" -B "$work/engine" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=ON >/dev/null
cmake --build "$work/engine" -j "$jobs"
ctest --test-dir "$work/engine" --output-on-failure -j "$jobs"
elapsed

# --- Python suite, one clean environment per interpreter ----------------------
find_python() {
  local v="$1" candidate
  for candidate in "$(pyenv root 2>/dev/null)"/versions/"$v"*/bin/python"$v" \
                   "$HOME"/.pyenv/versions/"$v"*/bin/python"$v"; do
    [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  command -v "python$v" 2>/dev/null && "python$v" --version >/dev/null 2>&1 && return 0
  return 1
}

# interpreter -> NumPy it is tested with
declare -A numpy_for=(
  [3.11]="numpy==1.26.*"
  [3.12]="numpy>=2"
  [3.13]="numpy>=2"
)
pythons="${VELMORA_PYTHONS:-3.11 3.12 3.13}"

for v in $pythons; do
  py="$(find_python "$v")" || { echo "Python $v not found" >&2; exit 1; }
  env="$work/venv-$v"
  step "Python $v with ${numpy_for[$v]}: build wheel, install, pytest"
  rm -rf "$env" "$work/wheels-$v"
  "$py" -m venv "$env"
  "$env/bin/python" -m pip install -q --upgrade pip
  "$env/bin/python" -m pip install -q "${numpy_for[$v]}" pytest hypothesis
  "$env/bin/python" -m pip wheel -q --no-deps -w "$work/wheels-$v" "$root"
  "$env/bin/python" -m pip install -q --no-deps "$work/wheels-$v"/velmora_core-*.whl
  (cd "$work" && "$env/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  elapsed
done

step "all tests passed"
