#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, ASan, UBSan) into build-fuzz/ (or
# $QUORVEL_FUZZ_BUILD_DIR) and runs each for SECONDS (default 60) over a copy of the seed corpus,
# so the repository's corpus never grows. Fails on any crash, leak, UB report or slow input;
# the reproducer stays in <build>/artifacts/. Further arguments go to the fuzzer.
#   bash scripts/fuzz.sh [SECONDS] [libFuzzer flags...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${QUORVEL_FUZZ_BUILD_DIR:-build-fuzz}

bash scripts/setup.sh --fuzz

CC=clang-14 CXX=clang++-14 cmake -S tests/fuzz -B "$build" -DQUORVEL_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

work=$(mktemp -d "${TMPDIR:-/tmp}/quorvel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
find tests/fuzz/corpus -maxdepth 1 -type f -exec cp -t "$work/corpus/" {} +
artifacts="$build/artifacts"
mkdir -p "$artifacts"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:symbolize=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# run NAME CORPUS [flags...]: fuzzes for $seconds; on a finding shows the end of the log and fails.
run() {
    local name=$1 corpus=$2
    shift 2
    local status=0
    "$build/$name" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$artifacts/" -print_final_stats=1 "$@" "$corpus" \
        >"$work/$name.log" 2>&1 || status=$?
    if ((status != 0)); then
        tail -n 60 "$work/$name.log" >&2
        echo "$name failed (exit $status); reproducers in $artifacts/:" >&2
        ls -l "$artifacts" >&2
        exit "$status"
    fi
    grep -E "^Done [0-9]+ runs" "$work/$name.log" || true
    echo "$name: ${seconds}s without a finding"
}

run fuzz_addressfile "$work/corpus" -dict=tests/fuzz/addressfile.dict "$@"

# The messenger reply parsers: their two sources need nothing configured, so they are built here
# directly; they start from an empty corpus and run as long.
clang++-14 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined \
    -fno-omit-frame-pointer -Isrc tests/fuzz/fuzz_messenger_reply.cpp \
    src/platform/posix/MessengerClient.cpp src/platform/posix/CodePage.cpp \
    -o "$build/fuzz_messenger_reply"
mkdir "$work/messenger"
run fuzz_messenger_reply "$work/messenger"

# The receiver's frame parser, built by the CMake project above, from its own seed corpus.
mkdir "$work/receiver"
find tests/fuzz/corpus_receiver -maxdepth 1 -type f -exec cp -t "$work/receiver/" {} +
run fuzz_messenger_receiver "$work/receiver" -dict=tests/fuzz/receiver.dict
