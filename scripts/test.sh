#!/usr/bin/env bash
# Runs every test: the C++ core tests (optimised build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build) and the Python tests against the installed package.
# The full run also tests the Python package on a module built with ASan + UBSan and runs each
# libFuzzer target for 20 s (when clang is installed).
#   scripts/test.sh                 everything, with the `python` on PATH (or $PYTHON)
#   scripts/test.sh --python-only   only build, install and test the Python package
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=${PYTHON:-python}
JOBS=$(nproc 2>/dev/null || echo 2)

"$PY" -m pip install -q -r "$ROOT/requirements-dev.txt"

if [ "${1:-}" != "--python-only" ]; then
  echo "== C++ core tests"
  cmake -S "$ROOT" -B "$ROOT/build/cpp" -DKORVEL_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$ROOT/build/cpp" -j"$JOBS"
  ctest --test-dir "$ROOT/build/cpp" --output-on-failure

  if command -v qemu-x86_64 >/dev/null; then
    # A processor model without AVX2: every dispatch must take its portable kernel.
    echo "== C++ core tests on an emulated processor without AVX2"
    qemu-x86_64 -cpu Nehalem "$ROOT/build/cpp/korvel_tests" --gtest_brief=1
  fi

  echo "== C++ core tests under ASan + UBSan"
  cmake -S "$ROOT" -B "$ROOT/build/asan" -DKORVEL_BUILD_MODULE=OFF -DKORVEL_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug >/dev/null
  cmake --build "$ROOT/build/asan" -j"$JOBS"
  ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$ROOT/build/asan" --output-on-failure

  echo "== Python tests on the module built with ASan + UBSan"
  PYTHON="$PY" "$ROOT/scripts/test_sanitized_python.sh"

  if command -v clang++ >/dev/null; then
    echo "== libFuzzer targets"
    "$ROOT/scripts/fuzz.sh" 20
  else
    echo "== libFuzzer targets skipped: no clang++ on PATH"
  fi
fi

echo "== Python tests ($("$PY" --version 2>&1), NumPy $("$PY" -c 'import numpy; print(numpy.__version__)'))"
"$PY" -m pip install -q --no-build-isolation "$ROOT"
# Run from the test folder so that `korvel` resolves to the installed package.
cd "$ROOT/tests/python"
"$PY" -m pytest -q -p no:cacheprovider
