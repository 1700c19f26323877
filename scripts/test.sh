#!/bin/sh
# Sets up the machine, builds and runs every test: the normal build, then the
# AddressSanitizer+UBSan and ThreadSanitizer builds.
# VELOR_PRESETS="default asan tsan" chooses which (all three by default).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/format-check.sh
PRESETS="${VELOR_PRESETS:-default asan tsan}"
JOBS="${VELOR_JOBS:-$(nproc)}"
for preset in $PRESETS; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$JOBS"
    ctest --preset "$preset" -j "$JOBS"
done
