#!/usr/bin/env bash
# Runs the whole Python test suite against an extension module built with AddressSanitizer
# and UndefinedBehaviorSanitizer (any report aborts the process). The module goes into a
# scratch copy of the package that is put first on the import path; the installed package is
# not touched. The ASan runtime is preloaded into the interpreter, which must load it first.
# Leak detection stays off here: the interpreter keeps objects alive until exit by design.
#   scripts/test_sanitized_python.sh        with the `python` on PATH (or $PYTHON)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=${PYTHON:-python}
JOBS=$(nproc 2>/dev/null || echo 2)
BUILD="$ROOT/build/asan-module"

cmake -S "$ROOT" -B "$BUILD" -DKORVEL_BUILD_MODULE=ON -DKORVEL_BUILD_TESTS=OFF -DKORVEL_SANITIZE=ON \
  -DPython_EXECUTABLE="$("$PY" -c 'import sys; print(sys.executable)')" -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$BUILD" -j"$JOBS"

PKG=$(mktemp -d)
trap 'rm -rf "$PKG"' EXIT
cp -r "$ROOT/korvel" "$PKG/korvel"
rm -f "$PKG"/korvel/_native*.so "$PKG"/korvel/_engine*.so
cp "$BUILD"/_native*.so "$BUILD"/_engine*.so "$PKG/korvel/"

export LD_PRELOAD
LD_PRELOAD=$(g++ -print-file-name=libasan.so)
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export KORVEL_SANITIZED=1
export PYTHONPATH="$PKG${PYTHONPATH:+:$PYTHONPATH}"
cd "$ROOT/tests/python"
module=$("$PY" -c 'import korvel._native as m; print(m.__file__)')
echo "sanitized module: $module"
case "$module" in
  "$PKG"/*) ;;
  *) echo "the sanitized module is not the one imported" >&2; exit 1 ;;
esac
"$PY" -m pytest -q -p no:cacheprovider
