#!/bin/sh
# Sets up the machine, builds, and runs the utility's main job.
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default
exec ./scripts/tour.sh "$@"
