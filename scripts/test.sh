#!/usr/bin/env bash
# Installs what is missing, builds every preset and runs every test:
# native (debug, sanitizers, release), the Windows module's tests under Wine,
# and the end-to-end comparison of the native and Windows hosts.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

jobs=$(nproc)
failed_steps=()
step() {  # name, command...
  local name=$1
  shift
  echo "=== $name"
  if ! "$@"; then
    failed_steps+=("$name")
  fi
}
build_and_test() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j "$jobs" && ctest --preset "$1" -j "$jobs"
}

for preset in dev asan release win32; do
  step "$preset" build_and_test "$preset"
done
step "hosts" tests/compare_hosts.sh build/release build/win32

if [ ${#failed_steps[@]} -ne 0 ]; then
  echo "FAILED: ${failed_steps[*]}"
  exit 1
fi
echo "all test steps passed"
