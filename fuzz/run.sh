#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UndefinedBehaviorSanitizer
# and runs each from its seed corpus for a fixed time. Exits non-zero when any
# target finds a crash, a hang, a leak or a sanitizer report.
#
#   fuzz/run.sh [seconds-per-target] [target...]
#
# CI runs the default (20 s each). A longer run, e.g. ten minutes per target:
#   fuzz/run.sh 600
# Findings land in $BMFWU_FUZZ_OUT (default build-fuzz/findings); new inputs
# that widen coverage stay in build-fuzz/corpus/<target>, never in the seeds.
set -euo pipefail

seconds=${1:-20}
shift || true
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BMFWU_FUZZ_BUILD:-$root/build-fuzz}
out=${BMFWU_FUZZ_OUT:-$build/findings}
all_targets=(fuzz_version_reply fuzz_reply_scanner fuzz_uu_decode fuzz_line_reader fuzz_isp_client
             fuzz_table fuzz_pack_report fuzz_telnet_decode)
targets=("${@:-${all_targets[@]}}")

if ! command -v clang++-14 >/dev/null || ! ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "run.sh: clang-14 and libclang-rt-14-dev are missing; install them as root" >&2
        exit 2
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-14 libclang-rt-14-dev >/dev/null
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
      -DBMFWU_FUZZ=ON -DBMFWU_TESTS=OFF -DBMFWU_SANITIZE=ON \
      -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

mkdir -p "$out"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
for target in "${targets[@]}"; do
    corpus=$build/corpus/$target
    mkdir -p "$corpus"
    # -close_fd_mask=1 silences what the code under test prints on stdout;
    # -timeout=2 makes a hang a finding (every peer wait is on a fake clock).
    if "$build/fuzz/$target" "$corpus" "$root/fuzz/corpus/$target" -max_total_time="$seconds" \
            -timeout=2 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
            -artifact_prefix="$out/$target-" >"$out/$target.log" 2>&1; then
        runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/$target.log")
        echo "$target: ${runs:-?} executions, no finding"
    else
        echo "$target: FINDING, see $out/$target.log" >&2
        tail -n 30 "$out/$target.log" >&2
        failed=1
    fi
done
exit $failed
