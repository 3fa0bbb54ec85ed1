#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang (ASan + UBSan) and runs each one, then the
# Python target (atheris) against the installed package. Fails on any crash, leak, sanitizer
# report, broken invariant or unexpected exception; the input that did it is kept in
# build/fuzz/artifacts/.
#   scripts/fuzz.sh [seconds per target]   smoke run (default 20 s each) from a scratch copy
#                                          of the committed seeds in fuzz/corpus/
#   scripts/fuzz.sh --long [runs]          each target for `runs` executions (default
#                                          10000000), one target at a time at nice 15, from
#                                          a corpus kept in build/fuzz/corpus/ across runs;
#                                          logs in build/fuzz/<target>-long.log. Native
#                                          targets run for volume in a lean build (edge
#                                          coverage and their own checks, no sanitizers, about
#                                          5x the executions per second); the corpus they grow
#                                          is then replayed through the ASan + UBSan build.
# FUZZ_TARGETS="engine_fuzz manifest_columns_fuzz" runs only those; FUZZ_TIMEOUT=0 lifts the
# per-input time limit of the long runs (a run that is paused with SIGSTOP then survives). The Python target uses
# $PYTHON (or `python`), into which it installs this tree's package, and atheris when missing.
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
LONG=0
if [ "${1:-}" = "--long" ]; then
  LONG=1
  RUNS=${2:-10000000}
else
  SECONDS_EACH=${1:-20}
fi
JOBS=$(nproc 2>/dev/null || echo 2)
CXX_CLANG=${FUZZ_CXX:-$(command -v clang++ || command -v clang++-14)}
PY=${PYTHON:-python}
BUILD="$ROOT/build/fuzz"
NATIVE_TARGETS="sidecar_fuzz reader_fuzz query_fuzz engine_fuzz"
TARGETS=${FUZZ_TARGETS:-$NATIVE_TARGETS manifest_columns_fuzz}

# Options per target. engine_fuzz reads its request shape from the input's end and wants
# inputs of a few hundred bytes from the start.
options() {
  case "$1" in
    engine_fuzz) echo "-max_len=512 -len_control=0" ;;
    manifest_columns_fuzz) echo "-max_len=2048" ;;
    *) echo "" ;;
  esac
}

needs_native=0
for target in $TARGETS; do
  case " $NATIVE_TARGETS " in *" $target "*) needs_native=1 ;; esac
done
if [ "$needs_native" = 1 ]; then
  cmake -S "$ROOT" -B "$BUILD" -DKORVEL_BUILD_FUZZERS=ON -DKORVEL_BUILD_TESTS=OFF \
    -DKORVEL_BUILD_MODULE=OFF -DCMAKE_CXX_COMPILER="$CXX_CLANG" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$BUILD" -j"$JOBS"
  if [ "$LONG" = 1 ]; then
    cmake -S "$ROOT" -B "$BUILD-lean" -DKORVEL_BUILD_FUZZERS=ON -DKORVEL_FUZZ_SANITIZERS=OFF \
      -DKORVEL_BUILD_TESTS=OFF -DKORVEL_BUILD_MODULE=OFF -DCMAKE_CXX_COMPILER="$CXX_CLANG" \
      -DCMAKE_BUILD_TYPE=Release >/dev/null
    for target in $TARGETS; do
      case " $NATIVE_TARGETS " in
        *" $target "*) cmake --build "$BUILD-lean" -j"$JOBS" --target "$target" ;;
      esac
    done
  fi
fi
mkdir -p "$BUILD/artifacts"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

if [[ " $TARGETS " == *" manifest_columns_fuzz "* ]]; then
  # atheris 3 needs Python 3.11's bytecode tables; 2.3 serves 3.10.
  "$PY" -c "import atheris" 2>/dev/null ||
    "$PY" -m pip install -q "atheris>=2.3,<3; python_version < '3.11'" \
      "atheris>=2.3; python_version >= '3.11'"
  # The package of this tree, not whatever was installed before (an incremental build).
  "$PY" -m pip install -q --no-build-isolation "$ROOT" 2>/dev/null ||
    "$PY" -m pip install -q "$ROOT"
fi

command_of() {  # the command line that runs target $1
  case "$1" in
    manifest_columns_fuzz) echo "$PY $ROOT/fuzz/manifest_columns_fuzz.py" ;;
    *) echo "$BUILD/$1" ;;
  esac
}

for target in $TARGETS; do
  cmd=$(command_of "$target")
  if [ "$LONG" = 1 ]; then
    corpus="$BUILD/corpus/$target"
    if [ ! -d "$corpus" ]; then
      mkdir -p "$corpus"
      cp "$ROOT/fuzz/corpus/$target/"* "$corpus/"
    fi
    log="$BUILD/$target-long.log"
    echo "== $target for $RUNS executions (log: $log)"
    long_cmd=$cmd
    extra=""
    if [ "$cmd" = "$BUILD/$target" ]; then
      long_cmd="$BUILD-lean/$target"
      extra="-entropic=0"
    fi
    # shellcheck disable=SC2046
    if ! (cd "$WORK" && nice -n 15 $long_cmd -runs="$RUNS" -timeout="${FUZZ_TIMEOUT:-60}" $(options "$target") \
            $extra -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" \
            "$corpus" >"$log" 2>&1); then
      tail -n 60 "$log"
      echo "$target failed; the input is in $BUILD/artifacts/" >&2
      exit 1
    fi
    if [ "$long_cmd" != "$cmd" ]; then
      echo "== $target: the corpus ($(ls "$corpus" | wc -l) inputs) under ASan + UBSan"
      # shellcheck disable=SC2046
      if ! (cd "$WORK" && nice -n 15 $cmd -runs=0 -timeout=60 $(options "$target") \
              -artifact_prefix="$BUILD/artifacts/$target-" "$corpus" >"$log.asan" 2>&1); then
        tail -n 60 "$log.asan"
        echo "$target failed under ASan + UBSan; the input is in $BUILD/artifacts/" >&2
        exit 1
      fi
    fi
  else
    echo "== $target for ${SECONDS_EACH}s"
    mkdir "$WORK/$target"
    cp "$ROOT/fuzz/corpus/$target/"* "$WORK/$target/"
    log="$WORK/$target.log"
    # shellcheck disable=SC2046
    if ! (cd "$WORK" && $cmd -max_total_time="$SECONDS_EACH" -timeout=20 $(options "$target") \
            -print_final_stats=1 -artifact_prefix="$BUILD/artifacts/$target-" "$WORK/$target" \
            >"$log" 2>&1); then
      tail -n 60 "$log"
      echo "$target failed; the input is in $BUILD/artifacts/" >&2
      exit 1
    fi
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec)" "$log"
done
