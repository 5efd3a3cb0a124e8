#!/usr/bin/env bash
# Configures and builds into build/ (or $QUORVEL_BUILD_DIR).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${QUORVEL_BUILD_DIR:-build}
cmake -S . -B "$build" "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
