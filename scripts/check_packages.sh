#!/usr/bin/env bash
# Builds the two packages a user installs from, the wheel (`pip wheel .`) and the source
# distribution (`python -m build --sdist`), installs each into a fresh virtual environment and
# runs the Python tests against it. In the wheel's environment it also checks the shipped type
# stubs against the built module (stubtest) and type-checks the package and the examples with
# `mypy --strict` as a user's project would see them (through the installed package).
#   scripts/check_packages.sh      with the `python` on PATH (or $PYTHON)
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PY=${PYTHON:-python}
OUT=$(mktemp -d "${TMPDIR:-/tmp}/korvel-packages.XXXXXX")
trap 'rm -rf "$OUT"' EXIT

"$PY" -m pip install -q build

echo "== Packages: wheel and sdist"
# A build directory of its own: the wheel is compiled from scratch in an isolated environment.
"$PY" -m pip wheel -q --no-deps "$ROOT" -w "$OUT/dist" -C build-dir="$OUT/build"
"$PY" -m build --sdist --outdir "$OUT/dist" "$ROOT" >"$OUT/build.log" 2>&1 || {
  cat "$OUT/build.log"
  exit 1
}
WHEEL=$(echo "$OUT"/dist/korvel-*.whl)
SDIST=$(echo "$OUT"/dist/korvel-*.tar.gz)
ls -l "$WHEEL" "$SDIST" | awk '{print "  " $5 " bytes  " $NF}'

# Tests run from tests/python, so `korvel` is the installed package, never the source folder.
run_tests() {  # run_tests <venv>
  (cd "$ROOT/tests/python" &&
    "$1/bin/python" -c 'import korvel, sys; sys.exit("site-packages" not in korvel.__file__)' &&
    "$1/bin/python" -m pytest -q -p no:cacheprovider)
}

for kind in wheel sdist; do
  V="$OUT/venv-$kind"
  "$PY" -m venv "$V"
  pkg=$WHEEL
  extra=(mypy)  # the type checks below run in the wheel's environment
  [ "$kind" = sdist ] && pkg=$SDIST && extra=()
  echo "== Python tests against the installed $kind ($(basename "$pkg"))"
  "$V/bin/python" -m pip install -q --disable-pip-version-check "$pkg" pytest hypothesis scikit-learn \
    "${extra[@]}"
  run_tests "$V"
done

echo "== Type stubs against the built module, mypy --strict on the package and the examples"
V="$OUT/venv-wheel"
(cd "$ROOT/tests/python" &&
  "$V/bin/python" -m mypy.stubtest korvel._native korvel._engine --allowlist "$ROOT/scripts/stubtest_allowlist.txt" &&
  "$V/bin/python" -m mypy --strict --cache-dir "$OUT/mypy-cache" -p korvel &&
  "$V/bin/python" -m mypy --strict --cache-dir "$OUT/mypy-cache" "$ROOT/examples")
