#!/bin/sh
# Sets up the machine, builds and runs every test: the normal build, then the
# AddressSanitizer+UBSan and ThreadSanitizer builds.
# VELOR_PRESETS="default asan tsan" chooses which (all three by default).
set -eu
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
./scripts/format-check.sh
command -v ansible-playbook >/dev/null ||
    echo "ansible-playbook not found: the Ansible tests are skipped (scripts/install-deps.sh installs ansible-core)"
PRESETS="${VELOR_PRESETS:-default asan tsan}"
JOBS="${VELOR_JOBS:-$(nproc)}"
for preset in $PRESETS; do
    echo "== $preset"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$JOBS"
    ctest --preset "$preset" -j "$JOBS"
done
