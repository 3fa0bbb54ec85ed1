#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan + UBSan) and runs each one for a
# fixed time, starting from a scratch copy of its committed seeds in fuzz/corpus/. Fails on
# any crash, leak, sanitizer report or broken invariant; the input that did it is kept in
# build/fuzz/artifacts/.
#   scripts/fuzz.sh [seconds per target]     default 20
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SECONDS_EACH=${1:-20}
JOBS=$(nproc 2>/dev/null || echo 2)
CXX_CLANG=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14)}
BUILD="$ROOT/build/fuzz"

cmake -S "$ROOT" -B "$BUILD" -DKORVEL_BUILD_FUZZERS=ON -DKORVEL_BUILD_TESTS=OFF \
  -DKORVEL_BUILD_MODULE=OFF -DCMAKE_CXX_COMPILER="$CXX_CLANG" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD" -j"$JOBS"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$BUILD/artifacts"
for target in sidecar_fuzz reader_fuzz query_fuzz; do
  echo "== $target for ${SECONDS_EACH}s"
  mkdir "$WORK/$target"
  cp "$ROOT/fuzz/corpus/$target/"* "$WORK/$target/"
  if ! (cd "$WORK" && "$BUILD/$target" -max_total_time="$SECONDS_EACH" -timeout=20 \
          -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" "$WORK/$target" \
          >"$WORK/$target.log" 2>&1); then
    tail -n 60 "$WORK/$target.log"
    echo "$target failed; the input is in $BUILD/artifacts/" >&2
    exit 1
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec)" "$WORK/$target.log"
done
