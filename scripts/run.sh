#!/usr/bin/env bash
# Sets up this machine, builds, and starts Quorvel (arguments go to the program).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
    cat >&2 <<MSG
Quorvel is built (build/Quorvel), but this session has no graphical display (DISPLAY is empty).
Start it on a desktop session, or under a virtual X server:
    apt-get install -y xvfb && xvfb-run -a build/Quorvel
To look at it without a desktop, make screenshots instead:
    bash scripts/screenshots.sh
MSG
    exit 1
fi
exec build/Quorvel "$@"
