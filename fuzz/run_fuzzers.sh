#!/usr/bin/env bash
# Runs libFuzzer harnesses from their seed corpora, each for SECONDS, and prints one line per
# harness with its exec count. New inputs the fuzzer keeps and the input of any crash go to
# SCRATCH_DIR/NAME/, never into the checked-in corpus.
#
# Usage: run_fuzzers.sh BUILD_DIR SCRATCH_DIR SECONDS [NAME...]
#   BUILD_DIR  the clang build with DAP32_FUZZ=ON (build/fuzz); NAME defaults to every harness
# Exits non-zero if any harness found a crash.
set -u -o pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 BUILD_DIR SCRATCH_DIR SECONDS [NAME...]" >&2
  exit 2
fi
build=$(realpath "$1")
scratch=$2
seconds=$3
shift 3
corpora=$(cd "$(dirname "$0")" && pwd)/corpus
names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for dir in "$corpora"/*/; do names+=("$(basename "$dir")"); done
fi

failed=0
for name in "${names[@]}"; do
  work="$scratch/$name"
  mkdir -p "$work/kept"
  log="$work/fuzz.log"
  # 8192 bytes reach past the reply reader's 2047-byte lines several times over.
  "$build/fuzz/fuzz_$name" -max_total_time="$seconds" -max_len=8192 -print_final_stats=1 \
    -artifact_prefix="$work/" "$work/kept" "$corpora/$name" >"$log" 2>&1
  status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  if [ "$status" -eq 0 ]; then
    echo "fuzz $name: ${execs:-?} execs in $seconds s, no crash"
  else
    failed=1
    tail -n 40 "$log"
    echo "fuzz $name: FAILED with status $status after ${execs:-?} execs; the input is in $work/"
  fi
done
exit "$failed"
