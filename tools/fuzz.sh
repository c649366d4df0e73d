#!/usr/bin/env bash
# Runs the libFuzzer harnesses of a fuzz build for SECONDS each (both unless
# named) and prints, per harness, the executions and the coverage reached.
# FUZZ_JOBS=N runs N fuzzing processes per harness (libFuzzer's fork mode).
# Exits non-zero on a finding, which is left under BUILD/fuzz-work/findings.
#   tools/fuzz.sh BUILD SECONDS [decode] [artifact]
set -euo pipefail
build=$1
seconds=$2
shift 2
harnesses=("$@")
[ ${#harnesses[@]} -eq 0 ] && harnesses=(decode artifact)
jobs=${FUZZ_JOBS:-1}
work=$build/fuzz-work
mkdir -p "$work/decode" "$work/artifact" "$work/artifact-seeds" "$work/findings"
# The artifact harness starts from the imported fixtures and the EMPTY placeholder.
cp "$build"/fixtures/*.rkyv "$build/embedded/empty.rkyv" "$work/artifact-seeds/"

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

run() {
  local name=$1
  shift
  local log=$work/$name.log
  local mode=()
  [ "$jobs" -gt 1 ] && mode=(-fork="$jobs")
  if ! "$build/fuzz_$name" "${mode[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      -timeout=20 -artifact_prefix="$work/findings/$name-" "$@" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz_$name: FINDING (log: $log)"
    return 1
  fi
  local runs cov corpus
  if [ "$jobs" -gt 1 ]; then
    # Fork mode reports "#RUNS: cov: EDGES ft: FEATURES ..." per merged job.
    runs=$(grep -E '^#[0-9]+: cov:' "$log" | tail -n 1 | sed 's/^#\([0-9]*\):.*/\1/')
    cov=$(grep -E '^#[0-9]+: cov:' "$log" | tail -n 1 |
      sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p')
  else
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -E '^#[0-9]+' "$log" | tail -n 1 |
      sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p')
  fi
  corpus=$(find "$work/$name" -type f | wc -l)
  echo "fuzz_$name: $runs executions in ${seconds} s ($jobs process(es)), coverage $cov," \
    "corpus $corpus inputs"
}

for name in "${harnesses[@]}"; do
  case $name in
    # Decoding: arbitrary bytes as the VIN, with real WMIs as the dictionary.
    decode) run decode -max_len=512 -rss_limit_mb=4096 -dict=fuzz/wmi.dict "$work/decode" \
      fuzz/seeds/decode ;;
    # The reader: a broken artifact may be refused, never read out of bounds;
    # a huge allocation from a corrupt count is a finding too.
    artifact) run artifact -max_len=16384 -rss_limit_mb=2048 -malloc_limit_mb=512 \
      "$work/artifact" "$work/artifact-seeds" ;;
    *) echo "unknown harness $name" >&2; exit 2 ;;
  esac
done
