#!/usr/bin/env bash
# Builds bmfwu and runs every test: the normal build (GCC) and its .deb, the
# same suite built by Clang with AddressSanitizer and UndefinedBehaviorSanitizer,
# the tests of the concurrent paths under ThreadSanitizer, a short run of every fuzz target, and the Windows build under Wine with its ZIP.
#   BMFWU_FUZZ_SECONDS=N  seconds per fuzz target (default 20; 0 skips fuzzing)
#   BMFWU_SKIP_WINE=1     leave out the Windows build and its suites
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/tools/install-deps.sh"
jobs=$(nproc)

run_suite() {  # build-dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

run_suite "$root/build/normal" -DCMAKE_CXX_COMPILER=g++
bash "$root/tools/check-deb.sh" "$root/build/normal"
# A second compiler for the same code, at no extra build.
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite "$root/build/sanitize" -DBMFWU_SANITIZE=ON -DCMAKE_CXX_COMPILER=clang++

# What runs on several threads (every port of a scan probed at once, two
# switches programmed at once) under ThreadSanitizer: only the tests of it.
cmake -S "$root" -B "$root/build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DBMFWU_TSAN=ON >/dev/null
cmake --build "$root/build/tsan" -j "$jobs" --target bmfwu bmfwu-sim app_program_test flash_sessions_test
(cd "$root/build/tsan" && export BMFWU_BUILD_DIR="$PWD" TSAN_OPTIONS=halt_on_error=1:abort_on_error=1 &&
  ./tests/flash/flash_sessions_test &&
  ./tests/app/app_program_test --gtest_filter='*Scan*:*Info*:Runs/AllSwitches*' &&
  python3 "$root/tests/app/json_test.py" "$PWD" "$root/docs/bmfwu-report.schema.json")

fuzz_seconds=${BMFWU_FUZZ_SECONDS:-20}
if [ "$fuzz_seconds" -gt 0 ]; then
  BMFWU_FUZZ_BUILD="$root/build/fuzz" "$root/fuzz/run.sh" "$fuzz_seconds"
fi

if [ -z "${BMFWU_SKIP_WINE:-}" ]; then
  # The native tree above already holds the host tools and the end-to-end suite.
  BMFWU_WIN_HOST_BUILD="$root/build/normal" BMFWU_WIN_BUILD="$root/build/win" bash "$root/tools/wine/ci.sh"
fi
