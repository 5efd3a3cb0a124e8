#!/usr/bin/env bash
# Sets up this machine, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
cd "${QUORVEL_BUILD_DIR:-build}"
ctest --output-on-failure -j"$(nproc)" --timeout 300
cd - >/dev/null && bash scripts/fuzz.sh 30
