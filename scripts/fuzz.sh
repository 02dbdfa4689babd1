#!/usr/bin/env bash
# scripts/fuzz.sh [SECONDS]: builds the libFuzzer targets (preset fuzz,
# clang) and runs the INI store's for SECONDS (60 by default), starting
# from the committed corpus in tests/fuzz/corpus/ini, then the wildcard
# matcher's against its recursive definition for a quarter of that. The
# corpus is not changed; new inputs go to a scratch folder. Non-zero on a
# build failure or when a fuzzer finds a crash, a leak or a broken
# invariant; the input that did it is kept under build/fuzz/artifacts/.
set -u
cd "$(dirname "$0")/.."
seconds=${1:-60}

if ! cmake --preset fuzz >build-fuzz.log 2>&1 || ! cmake --build --preset fuzz --target ini_fuzz pattern_fuzz >>build-fuzz.log 2>&1; then
  cat build-fuzz.log
  rm -f build-fuzz.log
  echo "fuzz: build failed"
  exit 1
fi
rm -f build-fuzz.log

# On tmpfs where there is one: the store's fsync is then free, and the
# fuzzer runs ten times as many inputs.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then
  scratch=$(mktemp -d -p /dev/shm nzini-fuzz.XXXXXX)
else
  scratch=$(mktemp -d)
fi
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/corpus" "$scratch/files" build/fuzz/artifacts
cp tests/fuzz/corpus/ini/* "$scratch/corpus/"

NZ_FUZZ_DIR="$scratch/files" build/fuzz/ini_fuzz -max_total_time="$seconds" -max_len=4096 -timeout=10 \
  -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 "$scratch/corpus" >"$scratch/log" 2>&1
rc=$?
grep -E '^(#[0-9]+ +DONE|Done|stat::number_of_executed_units|invariant broken|SUMMARY|==[0-9]+==ERROR)' "$scratch/log"
if [ $rc -eq 0 ]; then
  mkdir -p "$scratch/patterns"
  build/fuzz/pattern_fuzz -max_total_time=$((seconds / 4 + 1)) -max_len=40 -timeout=10 \
    -artifact_prefix=build/fuzz/artifacts/ -print_final_stats=1 "$scratch/patterns" >"$scratch/log" 2>&1
  rc=$?
  grep -E '^(Done|stat::number_of_executed_units|invariant broken|SUMMARY|==[0-9]+==ERROR)' "$scratch/log"
fi
if [ $rc -ne 0 ]; then
  tail -n 40 "$scratch/log"
  echo "fuzz: failed (exit $rc); inputs kept in build/fuzz/artifacts/"
  exit 1
fi
echo "fuzz: no failure in ${seconds}s and $((seconds / 4 + 1))s"
