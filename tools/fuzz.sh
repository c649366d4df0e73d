#!/usr/bin/env bash
# Runs the libFuzzer harnesses of a fuzz build for SECONDS each (both unless
# named) and prints, per harness, the executions and the coverage reached.
# FUZZ_JOBS=N runs N fuzzing processes per harness at once.
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

# One fuzzing process; its log is $log. Prints the executions and the last
# coverage line's edges and features.
run_one() {
  local log=$1
  shift
  "$@" -max_total_time="$seconds" -print_final_stats=1 -timeout=20 >"$log" 2>&1 || return 1
}

run() {
  local name=$1
  shift
  local args=("$build/fuzz_$name" -artifact_prefix="$work/findings/$name-" "$@")
  local pids=() failed=0 k
  # FUZZ_JOBS independent processes on one corpus directory (libFuzzer
  # reloads it as it goes), each with its own log.
  for ((k = 1; k <= jobs; k++)); do
    run_one "$work/$name.$k.log" "${args[@]}" &
    pids+=($!)
  done
  for ((k = 1; k <= jobs; k++)); do
    if ! wait "${pids[$((k - 1))]}"; then
      tail -n 60 "$work/$name.$k.log"
      echo "fuzz_$name: FINDING (log: $work/$name.$k.log)"
      failed=1
    fi
  done
  [ $failed -eq 0 ] || return 1
  local runs=0 edges=0 features=0 n e f
  for ((k = 1; k <= jobs; k++)); do
    n=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.$k.log")
    read -r e f < <(grep -E '^#[0-9]+' "$work/$name.$k.log" | tail -n 1 |
      sed -n 's/.*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 \2/p') || true
    runs=$((runs + ${n:-0}))
    [ "${e:-0}" -gt $edges ] && edges=$e
    [ "${f:-0}" -gt $features ] && features=$f
  done
  echo "fuzz_$name: $runs executions in ${seconds} s ($jobs process(es)), coverage $edges edges," \
    "$features features, corpus $(find "$work/$name" -type f | wc -l) inputs"
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
