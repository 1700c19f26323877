#!/bin/sh
# Sets up the machine, builds, and runs the utility: on a desktop (a display is
# there) velorcfg against its built-in simulated unit, otherwise the command-line tour.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
    exec build/default/shell/velorcfg --demo "$@"
fi
exec ./scripts/tour.sh "$@"
