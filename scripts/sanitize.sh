#!/usr/bin/env bash
# Builds and tests with sanitizers: "address" (ASan+UBSan, everything) or "thread" (TSan, the
# Qt-free core only).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
kind=${1:?usage: sanitize.sh address|thread}
build=${QUORVEL_BUILD_DIR:-build-$kind}
bash scripts/setup.sh
QUORVEL_BUILD_DIR=$build bash scripts/build.sh -DQUORVEL_SANITIZE="$kind" -DQUORVEL_BUILD_BENCH=OFF \
    -DCMAKE_BUILD_TYPE=Debug
cd "$build"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export LSAN_OPTIONS=suppressions=$root/tests/lsan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1
ctest --output-on-failure -j"$(nproc)" --timeout 600
