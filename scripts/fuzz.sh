#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang and runs them, niced, at most two at a time.
#
#   bash scripts/fuzz.sh [-t SECONDS] [-p PARALLEL] [-b] [TARGET...]
#
# TARGET is the name of a fuzz/<TARGET>_fuzzer.cc (default: all of them); each runs SECONDS
# (default 600) with its seeds (fuzz/corpus/<TARGET>) and kept inputs (fuzz/regressions/<TARGET>).
# What a run learns stays in build-fuzz/corpus/<TARGET>; its log lands in build-fuzz/runs/.
# A crash, leak, time-out or broken property leaves its input in build-fuzz/findings/ and makes
# the script fail. -b builds the targets and runs none. Installs clang and its fuzzing runtime
# from Debian when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-fuzz

seconds=600
parallel=2
build_only=0
while getopts "t:p:b" option; do
  case $option in
    t) seconds=$OPTARG ;;
    p) parallel=$OPTARG ;;
    b) build_only=1 ;;
    *) sed -n '2,11p' "$0" >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))

bash scripts/install-deps.sh cmake ninja-build clang
clang_major=$(clang --version | sed -n 's/.*clang version \([0-9]*\).*/\1/p' | head -n1)
bash scripts/install-deps.sh "libclang-rt-${clang_major}-dev"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in fuzz/*_fuzzer.cc; do
    name=$(basename "$source" _fuzzer.cc)
    targets+=("$name")
  done
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DKORU_FUZZ=ON -DKORU_TESTS=OFF >/dev/null
nice ninja -C "$build" koru_fuzzers >/dev/null
[ "$build_only" -eq 1 ] && exit 0

# Runs one target in a folder of its own (libFuzzer writes its worker log there); the summary
# line and the run's last lines on failure.
run_target() {
  local target=$1
  local work
  mkdir -p "$build/runs" "$build/corpus/$target" "$build/findings"
  work=$(mktemp -d "$build/runs/$target.$(date +%Y%m%d-%H%M%S).XXXX")
  local options=(-max_total_time="$seconds" -jobs=1 -timeout=60 -print_final_stats=1
                 -artifact_prefix="$build/findings/$target-")
  [ -f "fuzz/$target.dict" ] && options+=(-dict="$root/fuzz/$target.dict")
  local corpora=("$build/corpus/$target" "$root/fuzz/corpus/$target")
  [ -d "fuzz/regressions/$target" ] && corpora+=("$root/fuzz/regressions/$target")
  local status=0
  (cd "$work" && nice -n 10 "$build/fuzz/${target}_fuzzer" "${options[@]}" "${corpora[@]}" \
    >"$work/driver.log" 2>&1) || status=$?
  local log=$work/fuzz-0.log
  [ -f "$log" ] || log=$work/driver.log  # the worker never started
  local runs
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)
  if [ "$status" -ne 0 ] || grep -qE "^==[0-9]+== ?ERROR|^SUMMARY|broken property" "$log"; then
    echo "$target: FINDING after ${runs:-?} runs (log: $log)"
    grep -E "ERROR|SUMMARY|broken property|^input|Test unit written" "$log" | head -n 20
    return 1
  fi
  echo "$target: ${runs:-?} runs in ${seconds} s, no finding"
}

failed=0
running=0
for target in "${targets[@]}"; do
  if [ ! -f "fuzz/${target}_fuzzer.cc" ]; then
    echo "no fuzz target $target" >&2
    failed=1
    continue
  fi
  if [ "$running" -ge "$parallel" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
