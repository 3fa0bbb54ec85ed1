#!/usr/bin/env bash
# Runs the tests. By default the quick set a newcomer runs: the C++ core tests (optimised build)
# and the Python tests against the installed package. --full adds everything CI runs:
#   - the C++ tests on an emulated processor without AVX2 (qemu-user), where every dispatch
#     takes its portable kernel;
#   - the AVX-512 kernels compiled against SIMDe's portable implementations and the C++ tests
#     (kernel and search differential tests included) run with KORVEL_KERNELS=avx512, so they
#     run on processors without AVX-512 too; on a processor with AVX-512 the default run already
#     takes them natively, and --full then also runs the C++ tests with KORVEL_KERNELS=avx2;
#   - the C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer (the SIMDe build too);
#   - the Python tests on a module built with ASan + UBSan;
#   - each libFuzzer target for 20 s (when clang is installed).
#   scripts/test.sh                 the quick set, with the `python` on PATH (or $PYTHON)
#   scripts/test.sh --full          everything
#   scripts/test.sh --python-only   only build, install and test the Python package
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=${PYTHON:-python}
JOBS=$(nproc 2>/dev/null || echo 2)

MODE=quick
case "${1:-}" in
  "") ;;
  --full) MODE=full ;;
  --python-only) MODE=python ;;
  *)
    echo "usage: scripts/test.sh [--full | --python-only]" >&2
    exit 2
    ;;
esac

"$PY" -m pip install -q -r "$ROOT/requirements-dev.txt"

SIMDE=OFF
if [ "$MODE" = full ]; then
  if ! grep -qw avx2 /proc/cpuinfo 2>/dev/null; then
    # The AVX-512 table takes its other kernel families from the AVX2 set.
    echo "== AVX-512 kernels through SIMDe skipped: the processor has no AVX2"
  elif [ -f /usr/include/simde/x86/avx512.h ]; then
    SIMDE=ON
  else
    echo "== AVX-512 kernels through SIMDe skipped: no SIMDe headers (apt-get install libsimde-dev)"
  fi
fi

if [ "$MODE" != python ]; then
  echo "== C++ core tests"
  cmake -S "$ROOT" -B "$ROOT/build/cpp" -DKORVEL_BUILD_MODULE=OFF -DCMAKE_BUILD_TYPE=Release \
    -DKORVEL_SIMDE_AVX512="$SIMDE" >/dev/null
  cmake --build "$ROOT/build/cpp" -j"$JOBS"
  # With SIMDe also korvel_tests_simde_avx512: the C++ tests with KORVEL_KERNELS=avx512.
  ctest --test-dir "$ROOT/build/cpp" --output-on-failure
fi

if [ "$MODE" = full ]; then
  if grep -qw avx512f /proc/cpuinfo 2>/dev/null && grep -qw avx2 /proc/cpuinfo; then
    # The default run took the AVX-512 table: the AVX2 one through the search engine too.
    echo "== C++ core tests with KORVEL_KERNELS=avx2"
    KORVEL_KERNELS=avx2 "$ROOT/build/cpp/korvel_tests" --gtest_brief=1
  fi

  if command -v qemu-x86_64 >/dev/null; then
    # A processor model without AVX2: every dispatch must take its portable kernel.
    echo "== C++ core tests on an emulated processor without AVX2"
    qemu-x86_64 -cpu Nehalem "$ROOT/build/cpp/korvel_tests" --gtest_brief=1
  else
    echo "== C++ tests on an emulated processor skipped: no qemu-x86_64 (apt-get install qemu-user)"
  fi

  echo "== C++ core tests under ASan + UBSan"
  cmake -S "$ROOT" -B "$ROOT/build/asan" -DKORVEL_BUILD_MODULE=OFF -DKORVEL_SANITIZE=ON \
    -DCMAKE_BUILD_TYPE=Debug -DKORVEL_SIMDE_AVX512="$SIMDE" >/dev/null
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
