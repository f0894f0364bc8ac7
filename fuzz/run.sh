#!/bin/sh
# Runs every fuzz target (or those named) for a bounded time and fails if any
# of them finds a crash or a broken invariant.
#
#   fuzz/run.sh <build-dir> <seconds-per-target> [target...]
#
# FUZZ_JOBS targets run at once (default 1; each uses one core). Each target
# starts from its committed seeds (fuzz/corpus/<target>) plus the corpus
# earlier runs grew in <build-dir>/fuzz/corpus/<target>; new inputs go to the
# latter only, so the committed seeds stay as they are. A failing input is
# saved under <build-dir>/fuzz/artifacts/ and its path printed.
set -eu

src=$(cd "$(dirname "$0")" && pwd)

# One target: fuzz/run.sh --one <build-dir> <seconds> <target>
if [ "${1:-}" = "--one" ]; then
  build=$2 seconds=$3 t=$4
  work="$build/fuzz/corpus/$t"
  log="$build/fuzz/$t.log"
  mkdir -p "$work"
  # -timeout: one input taking longer than this counts as a hang.
  if "$build/fuzz/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$build/fuzz/artifacts/$t-" \
      "$work" "$src/corpus/$t" >"$log" 2>&1; then
    runs=$(LC_ALL=C sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -aE '^#[0-9]+.*cov:' "$log" | tail -n 1 |
      sed 's/.*cov: \([0-9]*\).*ft: \([0-9]*\).*/\1 edges, \2 features/')
    echo "fuzz: $t: ${runs:-?} runs in ${seconds}s, $cov"
  else
    { echo "fuzz: $t FAILED (log: $log)"
      grep -aE 'invariant broken|ERROR:|SUMMARY:|Test unit written' "$log" | head -n 8 | sed 's/^/  /'
    } >&2
    exit 1
  fi
  exit 0
fi

build=$(cd "$1" && pwd)
seconds=$2
shift 2
targets=${*:-"string_table_fuzz server_select_fuzz list_fuzz list_path_fuzz
  state_files_fuzz signed_file_fuzz http_fuzz decompress_fuzz release_files_fuzz"}

mkdir -p "$build/fuzz/artifacts"
# Stack traces with function names and lines.
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && [ -x /usr/bin/llvm-symbolizer-14 ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/bin/llvm-symbolizer-14
fi
if ! printf '%s\n' $targets |
    xargs -P "${FUZZ_JOBS:-1}" -I '{}' "$src/run.sh" --one "$build" "$seconds" '{}'; then
  echo "fuzz: a target failed; replay its saved input with $build/fuzz/<target> <input>" >&2
  exit 1
fi
