#!/usr/bin/env bash
# Installs what the tests need and runs all of them:
#   1. the engine's GoogleTest suite through CTest;
#   2. for each supported interpreter, a clean virtual environment with the
#      wheel built from this tree installed, the whole pytest suite, and the
#      type stubs checked (mypy.stubtest; mypy --strict on the examples and
#      the velmora package);
#   3. for Python 3.11 and 3.13, a clean environment with the wheel and its
#      eval and cluster extras (Dask; no PyTorch, no reference library), and
#      the evaluation and cluster tests;
#   4. for Python 3.11, a clean environment with the field's references,
#      sealwatch (which brings PyTorch: several GB) and conseal (with SciPy
#      1.16 or later), and the features, the ensemble and the baselines
#      against them;
#   5. the engine tests and the pytest suite again against an AddressSanitizer
#      and UndefinedBehaviorSanitizer build.
#
#   bash tools/run-tests.sh
#   VELMORA_PYTHONS="3.13" VELMORA_EVAL=0 VELMORA_CROSSCHECK=0 VELMORA_SANITIZE=0 bash tools/run-tests.sh   # a subset
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
work="${VELMORA_TEST_DIR:-$root/build/test}"
jobs="$(nproc 2>/dev/null || echo 2)"
mkdir -p "$work"

timings=()
step_start=$SECONDS
step_name=""
step() {
  if [ -n "$step_name" ]; then timings+=("$(printf '%5ss  %s' $((SECONDS - step_start)) "$step_name")"); fi
  step_name="$*"
  step_start=$SECONDS
  printf '\n==> %s\n' "$*"
}

# --- system packages ---------------------------------------------------------
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v c++ >/dev/null 2>&1 || need+=(g++)
if [ "${#need[@]}" -gt 0 ]; then
  step "installing ${need[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}" >/dev/null 2>&1 ||
    { "${sudo_cmd[@]}" apt-get update -q >/dev/null && "${sudo_cmd[@]}" apt-get install -y -q "${need[@]}" >/dev/null; }
fi

# --- engine unit tests ---------------------------------------------------------
step "engine: GoogleTest through CTest"
cmake -S "$root" -B "$work/engine" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_TESTS=ON -DVELMORA_BUILD_BENCH=ON >/dev/null
cmake --build "$work/engine" -j "$jobs"
ctest --test-dir "$work/engine" --output-on-failure -j "$jobs"

# --- Python suite, one clean environment per interpreter ----------------------
find_python() {
  local v="$1" candidate
  for candidate in "$(pyenv root 2>/dev/null)"/versions/"$v".*/bin/python"$v" \
                   "$HOME"/.pyenv/versions/"$v".*/bin/python"$v" \
                   /usr/bin/python"$v" /usr/local/bin/python"$v"; do
    [ -x "$candidate" ] && { echo "$candidate"; return 0; }
  done
  return 1
}

# interpreter -> the NumPy it is tested with, and the extras installed with
# the wheel (3.11 gets the cluster extra with the eval extra below)
declare -A numpy_for=(
  [3.11]="numpy==1.26.*"
  [3.12]="numpy>=2"
  [3.13]="numpy>=2"
)
declare -A extras_for=(
  [3.11]="cli"
  [3.12]="cli,cluster"
  [3.13]="cli,cluster"
)
pythons="${VELMORA_PYTHONS:-3.11 3.12 3.13}"

for v in $pythons; do
  py="$(find_python "$v")" || { echo "Python $v not found" >&2; exit 1; }
  env="$work/venv-$v"
  step "Python $v with ${numpy_for[$v]}, extras ${extras_for[$v]}: wheel, pytest, type stubs"
  rm -rf "$env" "$work/wheels-$v"
  "$py" -m venv "$env"
  "$env/bin/python" -m pip install -q --upgrade pip
  "$env/bin/python" -m pip install -q "${numpy_for[$v]}" pytest hypothesis mypy scikit-image
  # What is tested is what a user installs: the wheel, with its extras.
  "$env/bin/python" -m pip wheel -q --no-deps -w "$work/wheels-$v" "$root"
  wheel="$(ls "$work/wheels-$v"/velmora_core-*.whl)"
  "$env/bin/python" -m pip install -q "${wheel}[${extras_for[$v]}]" "${numpy_for[$v]}"
  "$env/bin/python" -c "import numpy, velmora_core; print('numpy', numpy.__version__, 'velmora_core', velmora_core.__file__)"
  (cd "$work" && "$env/bin/python" -m pytest -q -p no:cacheprovider "$root/tests/python")
  (cd "$work" && "$env/bin/python" -m mypy.stubtest velmora_core velmora._native)
  (cd "$work" && "$env/bin/python" -m mypy --strict --no-incremental "$root/examples" "$root/python/velmora")
done

# A clean environment for interpreter $1 at $2, and the path of the wheel built
# for that interpreter by the loop above (built now when that loop skipped it).
fresh_env_and_wheel() {
  local v="$1" env="$2" py
  py="$(find_python "$v")" || { echo "Python $v not found" >&2; exit 1; }
  rm -rf "$env"
  "$py" -m venv "$env"
  "$env/bin/python" -m pip install -q --upgrade pip >&2
  if ! ls "$work/wheels-$v"/velmora_core-*.whl >/dev/null 2>&1; then
    rm -rf "$work/wheels-$v"
    "$env/bin/python" -m pip wheel -q --no-deps -w "$work/wheels-$v" "$root" >&2
  fi
  ls "$work/wheels-$v"/velmora_core-*.whl
}

# --- the eval extra, on the oldest and the newest interpreter --------------------
if [ "${VELMORA_EVAL:-1}" = "1" ]; then
  for v in 3.11 3.13; do
    env="$work/venv-eval-$v"
    step "Python $v with the eval and cluster extras: evaluation and cluster tests"
    wheel="$(fresh_env_and_wheel "$v" "$env")"
    "$env/bin/python" -m pip install -q "${wheel}[eval,cluster]" pytest hypothesis scikit-image
    du -sh "$env" | sed 's/^/eval environment: /'
    (cd "$work" && "$env/bin/python" -m pytest -q -p no:cacheprovider \
      "$root/tests/python/test_evaluate.py" "$root/tests/python/test_cluster.py")
  done
fi

# --- the cross-check against the field's reference implementations ----------------
# sealwatch (which brings PyTorch: several GB) is the reference that the
# features and the ensemble are compared with, conseal that of the baseline
# methods; nothing else needs them.
if [ "${VELMORA_CROSSCHECK:-1}" = "1" ]; then
  v=3.11
  env="$work/venv-crosscheck-$v"
  step "Python $v with sealwatch and conseal: features, ensemble and baselines against the references"
  wheel="$(fresh_env_and_wheel "$v" "$env")"
  "$env/bin/python" -m pip install -q "${wheel}" "sealwatch==2025.9.*" "conseal==2025.11.*" "scipy>=1.16" \
    threadpoolctl pytest hypothesis scikit-image
  (cd "$work" && "$env/bin/python" -m pytest -q -p no:cacheprovider \
    "$root/tests/python/test_features_reference.py" "$root/tests/python/test_ensemble_reference.py" \
    "$root/tests/python/test_baselines_reference.py")
fi

# --- sanitizers ------------------------------------------------------------------
if [ "${VELMORA_SANITIZE:-1}" = "1" ]; then
  step "AddressSanitizer + UndefinedBehaviorSanitizer: engine tests and pytest suite"
  bash "$root/tools/sanitize.sh" "$(find_python 3.12)" "$work"
fi

step "done"
printf '\nall tests passed; time per step:\n'
printf '%s\n' "${timings[@]}"
