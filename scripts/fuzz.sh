#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer,
# UndefinedBehaviorSanitizer and assertions) and runs each one for SECONDS
# seconds after replaying its committed corpus. New inputs go to
# build/fuzz/found/TARGET, never into the committed corpus; a crash leaves its
# input in build/fuzz/crashes/ (add it to tests/data once mended).
#
#   scripts/fuzz.sh [SECONDS]     (default 12 per target)
#
# The decode, plug-in and split targets take inputs of up to 4 KiB: their seeds
# (fuzz/corpus, written by fuzz/make_seeds.cpp) reach the fast decoder's
# unchecked groups and window slides with streams of about 2 KiB, and the
# pictures stay at most 64 KiB whatever the input's length.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-12}
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)" --target decode_fuzzer plugin_fuzzer roundtrip_fuzzer split_fuzzer >/dev/null

declare -A max_len=([decode]=4096 [plugin]=4096 [split]=4096)
mkdir -p build/fuzz/crashes
for target in decode plugin roundtrip split; do
  found=build/fuzz/found/$target
  mkdir -p "$found"
  options=()
  [ -n "${max_len[$target]:-}" ] && options+=(-max_len="${max_len[$target]}")
  echo "=== ${target}_fuzzer for ${seconds}s"
  build/fuzz/fuzz/${target}_fuzzer -max_total_time="$seconds" -dict=fuzz/kx.dict -rss_limit_mb=2048 \
    "${options[@]}" -artifact_prefix=build/fuzz/crashes/${target}- -print_final_stats=1 \
    "$found" "fuzz/corpus/$target" 2>&1 |
    grep -E "^(#[0-9]+\s+DONE|Done|stat::(number_of_executed_units|average_exec_per_sec)|==[0-9]+==ERROR|property violated|SUMMARY)" || true
  # libFuzzer's own status decides.
  test "${PIPESTATUS[0]}" -eq 0
done
echo "fuzzing: 4 passed, 0 failed"
